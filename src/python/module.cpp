// Module initialisation: registers the module's names in their fixed order.
#include "core/base/constants.hpp"
#include "python/arrays.hpp"
#include "python/errors.hpp"
#include "python/module_functions.hpp"
#include "python/fit_object.hpp"
#include "python/projection_object.hpp"
#include "python/space_object.hpp"

namespace spanlet::py {

namespace {

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_spanlet", "Numerical core of spanlet: one-dimensional function bases.", -1,
    nullptr, nullptr, nullptr, nullptr, nullptr,
};

bool add(PyObject* module, const char* name, PyObject* value) {
    if (value == nullptr) return false;
    return PyModule_AddObjectRef(module, name, value) == 0;
}

bool add_owned(PyObject* module, const char* name, PyObject* value) {
    PyRef owned(value);
    return add(module, name, owned.get());
}

bool add_functions(PyObject* module) {
    PyRef name(PyUnicode_FromString("spanlet._spanlet"));
    if (!name) return false;
    for (PyMethodDef* def = module_functions; def->ml_name != nullptr; ++def)
        if (!add_owned(module, def->ml_name, PyCFunction_NewEx(def, nullptr, name.get()))) return false;
    return true;
}

PyObject* create_module() {
    PyRef module(PyModule_Create(&module_def));
    if (!module) return nullptr;
    const bool ok = add_owned(module.get(), "__version__", PyUnicode_FromString(SPANLET_VERSION)) &&
                    add(module.get(), "SingularError", singular_error_class()) &&
                    add_owned(module.get(), "FWHM_PER_SIGMA", PyFloat_FromDouble(FWHM_PER_SIGMA)) &&
                    add(module.get(), "Space", reinterpret_cast<PyObject*>(space_type())) &&
                    add(module.get(), "Projection", reinterpret_cast<PyObject*>(projection_type())) &&
                    add(module.get(), "Fit", reinterpret_cast<PyObject*>(fit_type())) &&
                    add_functions(module.get());
    return ok ? module.release() : nullptr;
}

}  // namespace

}  // namespace spanlet::py

extern "C" PyMODINIT_FUNC PyInit__spanlet() {
    return spanlet::py::guarded([] { return spanlet::py::create_module(); });
}
