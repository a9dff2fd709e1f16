#include "python/errors.hpp"

#include <new>
#include <stdexcept>

#include "core/base/pool.hpp"

namespace spanlet::py {

PyObject* singular_error_class() {
    static PyObject* cls = nullptr;
    if (cls == nullptr) cls = PyErr_NewException("_spanlet.SingularError", PyExc_ValueError, nullptr);
    return cls;
}

PyObject* raise_error(const Error& error) {
    PyObject* type = PyExc_ValueError;
    if (error.kind == Error::Kind::Singular) {
        type = singular_error_class();
        if (type == nullptr) return nullptr;
    }
    PyRef message(PyUnicode_DecodeUTF8(error.message.data(), static_cast<Py_ssize_t>(error.message.size()),
                                       "replace"));
    if (message) PyErr_SetObject(type, message.get());
    return nullptr;
}

namespace {

PyObject* take_pending_exception() {
#if PY_VERSION_HEX >= 0x030C0000
    return PyErr_GetRaisedException();
#else
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (value != nullptr && traceback != nullptr) PyException_SetTraceback(value, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return value;
#endif
}

}  // namespace

void name_pending_error(const char* argument) {
    PyRef original(take_pending_exception());
    if (!original) return;
    PyRef text(PyObject_Str(original.get()));
    if (!text) {
        PyErr_Clear();
        text = PyRef(PyUnicode_FromString("conversion failed"));
    }
    PyRef message(PyUnicode_FromFormat("argument '%s': %U", argument, text.get()));
    if (!message) return;
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(original.get()));
    PyRef renamed(PyObject_CallOneArg(type, message.get()));
    if (!renamed || !PyExceptionInstance_Check(renamed.get())) {
        // Exception types that need more than a message (UnicodeError and the like).
        PyErr_Clear();
        PyObject* fallback = PyErr_GivenExceptionMatches(type, PyExc_TypeError) ? PyExc_TypeError : PyExc_ValueError;
        renamed = PyRef(PyObject_CallOneArg(fallback, message.get()));
        if (!renamed) return;
    }
    PyException_SetCause(renamed.get(), original.release());
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(renamed.get())), renamed.get());
}

PyObject* raise_cpp_exception(std::exception_ptr caught) noexcept {
    try {
        std::rethrow_exception(caught);
    } catch (const Cancelled&) {
        // A signal handler stopped the work and left its exception set.
        if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_Format(PyExc_RuntimeError, "internal error: %s", e.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "internal error");
    }
    return nullptr;
}

}  // namespace spanlet::py
