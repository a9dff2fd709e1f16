// The optional cosine weight shared by every `weight=` argument.
#pragma once

#include "core/integrate.hpp"
#include "python/pyref.hpp"

namespace spanlet::py {

// None or absent gives no weight; a value must convert to float and be finite and non-zero
// ("bad cosine weight scale ..." otherwise).
bool read_weight(PyObject* object, Weight& out);

// The check alone, for callers that convert all arguments before checking any.
bool check_weight(bool present, double omega, Weight& out);

}  // namespace spanlet::py
