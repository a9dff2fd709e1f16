// Checked options shared by several entry points: the cosine weight and the normalisation.
#pragma once

#include <string>

#include "core/integration/integrate.hpp"
#include "core/ops/measure.hpp"
#include "python/pyref.hpp"

namespace spanlet::py {

// None or absent gives no weight; a value must convert to float and be finite and non-zero
// ("bad cosine weight scale ..." otherwise).
bool read_weight(PyObject* object, CosineWeight& out);

// The check alone, for callers that convert all arguments before checking any.
bool check_weight(bool present, double omega, CosineWeight& out);

// "integral", "rowsum" or "none", exactly; anything else is a ValueError.
bool parse_normalization(const std::string& text, Normalization& out);

}  // namespace spanlet::py
