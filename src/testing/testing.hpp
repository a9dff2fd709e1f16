// Method tables of the private test extension, one per concern; testing_module.cpp joins them.
#pragma once

#include <memory>

#include "core/spaces/space.hpp"
#include "python/pyref.hpp"

namespace spanlet::py {

extern PyMethodDef element_test_methods[];
extern PyMethodDef numeric_test_methods[];
extern PyMethodDef function_test_methods[];
extern PyMethodDef profile_test_methods[];
extern PyMethodDef fts_test_methods[];
extern PyMethodDef derivative_test_methods[];

// A core space from a Space object of the public module or from a list of element tuples.
bool to_core_space(PyObject* object, std::shared_ptr<const Space>& out);

}  // namespace spanlet::py
