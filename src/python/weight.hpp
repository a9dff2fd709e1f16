// Checked options shared by several entry points: the cosine weight, the normalisation and the
// parameter of a derivative.
#pragma once

#include <string>

#include "core/integration/integrate.hpp"
#include "core/ops/measure.hpp"
#include "core/profiles/parameter.hpp"
#include "python/pyref.hpp"

namespace spanlet::py {

// None or absent gives no weight; a value must convert to float and be finite and non-zero
// ("bad cosine weight scale ..." otherwise).
bool read_weight(PyObject* object, CosineWeight& out);

// The check alone, for callers that convert all arguments before checking any.
bool check_weight(bool present, double omega, CosineWeight& out);

// "integral", "rowsum" or "none", exactly; anything else is a ValueError.
bool parse_normalization(const std::string& text, Normalization& out);

// A parameter name, exactly; anything else is a ValueError naming it.
bool parse_parameter(const std::string& text, Parameter& out);

}  // namespace spanlet::py
