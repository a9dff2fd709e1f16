// The one place where core errors and conversion failures become Python exceptions.
#pragma once

#include <exception>

#include "core/base/error.hpp"
#include "python/pyref.hpp"

namespace spanlet::py {

// The module's SingularError class (a ValueError subclass), created once on first need.
PyObject* singular_error_class();

// Raises ValueError or SingularError with the core message; returns nullptr for convenience.
PyObject* raise_error(const Error& error);

// Re-raises the pending exception with "argument '<name>': " before its message, keeping its
// type where that type can be built from a message alone.
void name_pending_error(const char* argument);

// Turns a C++ exception caught at an entry point into a Python exception (MemoryError for
// allocation failure); returns nullptr.
PyObject* raise_cpp_exception(std::exception_ptr caught) noexcept;

// Wraps the body of a CPython entry point: no C++ exception ever crosses into Python.
template <class F>
PyObject* guarded(F&& body) noexcept {
    try {
        return body();
    } catch (...) {
        return raise_cpp_exception(std::current_exception());
    }
}

}  // namespace spanlet::py
