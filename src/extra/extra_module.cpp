// Module initialisation of spanlet._extra.
#include <vector>

#include "extra/extra.hpp"
#include "python/arrays.hpp"
#include "python/errors.hpp"

namespace spanlet::py {

namespace {

std::vector<PyMethodDef> all_functions() {
    std::vector<PyMethodDef> methods;
    for (PyMethodDef* table : {derivative_functions, inverse_functions, propagate_functions, space_functions})
        for (PyMethodDef* def = table; def->ml_name != nullptr; ++def) methods.push_back(*def);
    methods.push_back({nullptr, nullptr, 0, nullptr});
    return methods;
}

bool add_type(PyObject* module, const char* name, PyTypeObject* type) {
    return type != nullptr && PyModule_AddObjectRef(module, name, reinterpret_cast<PyObject*>(type)) == 0;
}

PyObject* create_module() {
    if (!ensure_numpy()) return nullptr;
    // Joined on first import: the tables of other files are only complete after static init.
    static std::vector<PyMethodDef> methods = all_functions();
    static PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "_extra",
                                     "Native helpers of the spanlet package layer.", -1, methods.data(),
                                     nullptr, nullptr, nullptr, nullptr};
    PyRef module(PyModule_Create(&module_def));
    if (!module || !add_type(module.get(), "Penalised", penalised_type()) ||
        !add_type(module.get(), "PenalisedFit", penalised_fit_type()))
        return nullptr;
    return module.release();
}

}  // namespace

}  // namespace spanlet::py

extern "C" PyMODINIT_FUNC PyInit__extra() {
    return spanlet::py::guarded([] { return spanlet::py::create_module(); });
}
