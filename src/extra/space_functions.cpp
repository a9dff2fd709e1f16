// bsplines_clamped_closed(breakpoints, degree): clamped B-splines whose last knot interval holds
// the last breakpoint too, as scipy's splines do, returned as a spanlet._spanlet.Space. The native
// module's own constructor keeps its half-open pieces; moving the last breakpoint by one unit in
// the last place instead cannot close an interval that the elements' own variable does not resolve.
#include <vector>

#include "core/spaces/bsplines.hpp"
#include "extra/extra.hpp"
#include "python/args.hpp"
#include "python/arrays.hpp"
#include "python/errors.hpp"
#include "python/owner_object.hpp"
#include "python/space_methods.hpp"

namespace spanlet::py {

PyRef native_space_type() {
    PyRef module(PyImport_ImportModule("spanlet._spanlet"));
    if (!module) return PyRef();
    PyRef type(PyObject_GetAttrString(module.get(), "Space"));
    if (!type) return PyRef();
    if (!PyType_Check(type.get())) {
        PyErr_SetString(PyExc_TypeError, "spanlet._spanlet.Space is not a type");
        return PyRef();
    }
    return type;
}

bool read_native_space(PyObject* object, const char* argument, std::shared_ptr<const Space>& out) {
    PyRef type = native_space_type();
    if (!type) return false;
    if (!PyObject_TypeCheck(object, reinterpret_cast<PyTypeObject*>(type.get()))) {
        PyErr_Format(PyExc_TypeError, "argument '%s': expected a Space, got %s", argument, Py_TYPE(object)->tp_name);
        return false;
    }
    out = reinterpret_cast<OwnerObject<Space>*>(object)->value;
    return true;
}

namespace {

// A new spanlet._spanlet.Space owning the space: the type and its layout are the native module's.
PyObject* native_space(Space space) {
    PyRef type = native_space_type();
    if (!type) return nullptr;
    return new_owner(reinterpret_cast<PyTypeObject*>(type.get()), std::move(space));
}

PyObject* bsplines_clamped_closed(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        Arguments<2> a{"bsplines_clamped_closed", {"breakpoints", "degree"}};
        std::vector<double> breakpoints;
        std::uint64_t degree = 0;
        if (!a.read(args, nargs, kwnames) || !read_vec(a[0], "breakpoints", breakpoints) ||
            !to_u64(a[1], "degree", degree))
            return nullptr;
        Result<Space> space = bsplines_clamped(breakpoints, degree, true);
        if (!space) return raise_error(space.error());
        return native_space(std::move(space).value());
    });
}

}  // namespace

PyMethodDef space_functions[] = {
    {"bsplines_clamped_closed", as_cfunction(bsplines_clamped_closed), METH_FASTCALL | METH_KEYWORDS,
     "bsplines_clamped_closed(breakpoints, degree)\n--\n\n"
     "Clamped B-splines whose last knot interval includes the last breakpoint."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace spanlet::py
