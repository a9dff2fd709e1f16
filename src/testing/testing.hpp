// Method tables of the private test extension, one per concern; testing_module.cpp joins them.
#pragma once

#include "python/pyref.hpp"

namespace spanlet::py {

extern PyMethodDef element_test_methods[];
extern PyMethodDef numeric_test_methods[];
extern PyMethodDef special_test_methods[];
extern PyMethodDef profile_test_methods[];
extern PyMethodDef fts_test_methods[];

}  // namespace spanlet::py
