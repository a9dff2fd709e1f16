// The argument reader of every entry point (fast calling convention with keywords) and one
// converter per declared argument type. Every failure names the argument.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "python/pyref.hpp"

namespace spanlet::py {

// Matches positional and keyword arguments to `names`; slots[i] receives a borrowed reference
// or nullptr when parameter i was not given. The first `required` parameters must be given.
bool read_arguments(const char* function, const char* const* names, std::size_t count, std::size_t required,
                    PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** slots);

// The same for the classic (tuple, dict) convention of constructors.
bool read_tuple_arguments(const char* function, const char* const* names, std::size_t count, std::size_t required,
                          PyObject* args, PyObject* kwargs, PyObject** slots);

template <std::size_t N>
struct Arguments {
    const char* function;
    const char* names[N];
    std::size_t required = N;
    PyObject* slots[N] = {};

    bool read(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
        return read_arguments(function, names, N, required, args, nargs, kwnames, slots);
    }
    bool read_tuple(PyObject* args, PyObject* kwargs) {
        return read_tuple_arguments(function, names, N, required, args, kwargs, slots);
    }
    PyObject* operator[](std::size_t i) const { return slots[i]; }
};

bool to_u64(PyObject* object, const char* argument, std::uint64_t& out);
bool to_f64(PyObject* object, const char* argument, double& out);
bool to_bool(PyObject* object, const char* argument, bool& out);
bool to_string(PyObject* object, const char* argument, std::string& out);
// An absent or None value leaves `present` false.
bool to_optional_f64(PyObject* object, const char* argument, bool& present, double& out);

// Any sequence but str, each item converted by `item`; the reported length is only a capacity hint.
template <class T, class Convert>
bool to_list(PyObject* object, const char* argument, std::vector<T>& out, Convert item);
bool sequence_items(PyObject* object, const char* argument, std::vector<PyRef>& items);

// A tuple (not a list) of exactly `length` items.
bool tuple_items(PyObject* object, const char* argument, std::size_t length, std::vector<PyObject*>& items);

template <class T, class Convert>
bool to_list(PyObject* object, const char* argument, std::vector<T>& out, Convert item) {
    std::vector<PyRef> items;
    if (!sequence_items(object, argument, items)) return false;
    out.clear();
    out.reserve(items.size());
    for (const auto& entry : items) {
        T value;
        if (!item(entry.get(), argument, value)) return false;
        out.push_back(std::move(value));
    }
    return true;
}

}  // namespace spanlet::py
