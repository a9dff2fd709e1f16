// _spanlet_tests: core routines that the public module does not reach, for the test suite only.
#include <vector>

#include "python/arrays.hpp"
#include "testing/testing.hpp"

namespace spanlet::py {
namespace {

std::vector<PyMethodDef> all_methods() {
    std::vector<PyMethodDef> methods;
    for (PyMethodDef* table : {element_test_methods, numeric_test_methods, function_test_methods, fts_test_methods,
                                profile_test_methods, derivative_test_methods})
        for (PyMethodDef* def = table; def->ml_name != nullptr; ++def) methods.push_back(*def);
    methods.push_back({nullptr, nullptr, 0, nullptr});
    return methods;
}

}  // namespace
}  // namespace spanlet::py

extern "C" PyMODINIT_FUNC PyInit__spanlet_tests() {
    if (!spanlet::py::ensure_numpy()) return nullptr;
    // Joined on first import: the tables of other files are only complete after static init.
    static std::vector<PyMethodDef> methods = spanlet::py::all_methods();
    static PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "_spanlet_tests", "Core routines for the test suite.",
                                     -1, methods.data(), nullptr, nullptr, nullptr, nullptr};
    return PyModule_Create(&module_def);
}
