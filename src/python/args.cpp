#include "python/args.hpp"

#include <algorithm>
#include <cstring>
#include <vector>

#include "python/arrays.hpp"
#include "python/errors.hpp"
#include "python/numpy_api.hpp"

#include <numpy/arrayscalars.h>

namespace spanlet::py {

bool read_arguments(const char* function, const char* const* names, std::size_t count, std::size_t required,
                    PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** slots) {
    std::fill(slots, slots + count, nullptr);
    if (static_cast<std::size_t>(nargs) > count) {
        PyErr_Format(PyExc_TypeError, "%s() takes at most %zu arguments (%zd given)", function, count, nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = args[i];
    const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        std::size_t match = count;
        for (std::size_t i = 0; i < count; ++i)
            if (PyUnicode_CompareWithASCIIString(key, names[i]) == 0) {
                match = i;
                break;
            }
        if (match == count) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", function, key);
            return false;
        }
        if (slots[match] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", function, names[match]);
            return false;
        }
        slots[match] = args[nargs + k];
    }
    for (std::size_t i = 0; i < required; ++i)
        if (slots[i] == nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s'", function, names[i]);
            return false;
        }
    return true;
}

bool read_tuple_arguments(const char* function, const char* const* names, std::size_t count, std::size_t required,
                          PyObject* args, PyObject* kwargs, PyObject** slots) {
    // Lay the arguments out as the fast convention does: positionals, then keyword values.
    std::vector<PyObject*> flat;
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    for (Py_ssize_t i = 0; i < nargs; ++i) flat.push_back(PyTuple_GET_ITEM(args, i));
    PyRef kwnames;
    if (kwargs != nullptr && PyDict_GET_SIZE(kwargs) > 0) {
        kwnames = PyRef(PyTuple_New(PyDict_GET_SIZE(kwargs)));
        if (!kwnames) return false;
        Py_ssize_t position = 0, k = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &position, &key, &value)) {
            if (!PyUnicode_Check(key)) {
                PyErr_Format(PyExc_TypeError, "%s() keywords must be strings", function);
                return false;
            }
            Py_INCREF(key);
            PyTuple_SET_ITEM(kwnames.get(), k++, key);
            flat.push_back(value);
        }
    }
    return read_arguments(function, names, count, required, flat.data(), nargs, kwnames.get(), slots);
}

bool to_u64(PyObject* object, const char* argument, std::uint64_t& out) {
    if (PyFloat_Check(object) || !PyIndex_Check(object)) {
        PyErr_Format(PyExc_TypeError, "argument '%s': expected an integer, got %s", argument,
                     Py_TYPE(object)->tp_name);
        return false;
    }
    PyRef index(PyNumber_Index(object));
    if (index) {
        const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
        if (!(value == static_cast<unsigned long long>(-1) && PyErr_Occurred())) {
            out = value;
            return true;
        }
    }
    name_pending_error(argument);
    return false;
}

bool to_f64(PyObject* object, const char* argument, double& out) {
    const double value = PyFloat_AsDouble(object);
    if (value == -1.0 && PyErr_Occurred()) {
        name_pending_error(argument);
        return false;
    }
    out = value;
    return true;
}

bool to_optional_f64(PyObject* object, const char* argument, bool& present, double& out) {
    present = object != nullptr && object != Py_None;
    return !present || to_f64(object, argument, out);
}

bool to_bool(PyObject* object, const char* argument, bool& out) {
    if (PyBool_Check(object)) {
        out = object == Py_True;
        return true;
    }
    if (ensure_numpy() && PyArray_IsScalar(object, Bool)) {
        out = PyArrayScalar_VAL(object, Bool) != 0;
        return true;
    }
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError, "argument '%s': expected a bool, got %s", argument, Py_TYPE(object)->tp_name);
    return false;
}

bool to_string(PyObject* object, const char* argument, std::string& out) {
    if (!PyUnicode_Check(object)) {
        PyErr_Format(PyExc_TypeError, "argument '%s': expected a str, got %s", argument, Py_TYPE(object)->tp_name);
        return false;
    }
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(object, &size);
    if (text == nullptr) {
        // A str that has no UTF-8 form (lone surrogates) is not a usable string argument.
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError, "argument '%s': expected a str encodable as UTF-8", argument);
        return false;
    }
    out.assign(text, static_cast<std::size_t>(size));
    return true;
}

bool sequence_items(PyObject* object, const char* argument, std::vector<PyRef>& items) {
    if (PyUnicode_Check(object)) {
        PyErr_Format(PyExc_TypeError, "argument '%s': a str is not taken as a sequence", argument);
        return false;
    }
    if (!PySequence_Check(object)) {
        PyErr_Format(PyExc_TypeError, "argument '%s': expected a sequence, got %s", argument,
                     Py_TYPE(object)->tp_name);
        return false;
    }
    const Py_ssize_t hint = PySequence_Size(object);
    if (hint < 0) {
        name_pending_error(argument);
        return false;
    }
    // The reported length is not trusted beyond a modest reservation.
    items.clear();
    items.reserve(static_cast<std::size_t>(std::min<Py_ssize_t>(hint, 1 << 16)));
    PyRef iterator(PyObject_GetIter(object));
    if (!iterator) {
        name_pending_error(argument);
        return false;
    }
    while (PyObject* item = PyIter_Next(iterator.get())) items.emplace_back(item);
    if (PyErr_Occurred()) {
        name_pending_error(argument);
        return false;
    }
    return true;
}

bool tuple_items(PyObject* object, const char* argument, std::size_t length, std::vector<PyObject*>& items) {
    if (!PyTuple_Check(object)) {
        PyErr_Format(PyExc_TypeError, "argument '%s': expected a tuple, got %s", argument, Py_TYPE(object)->tp_name);
        return false;
    }
    const auto actual = static_cast<std::size_t>(PyTuple_GET_SIZE(object));
    if (actual != length) {
        PyErr_Format(PyExc_ValueError, "argument '%s': expected a tuple of length %zu, got length %zu", argument,
                     length, actual);
        return false;
    }
    items.assign(length, nullptr);
    for (std::size_t i = 0; i < length; ++i) items[i] = PyTuple_GET_ITEM(object, static_cast<Py_ssize_t>(i));
    return true;
}

}  // namespace spanlet::py
