// The method table of the Space class, in its fixed order.
#include "python/space_methods.hpp"

#include "python/space_object.hpp"

namespace spanlet::py {

namespace {
constexpr int STATIC = METH_FASTCALL | METH_KEYWORDS | METH_STATIC;
}

PyMethodDef space_methods[] = {
    {"bsplines", as_cfunction(space_bsplines), STATIC, "bsplines(knots, degree)\n--\n\n"},
    {"bsplines_periodic", as_cfunction(space_bsplines_periodic), STATIC,
     "bsplines_periodic(breakpoints, degree)\n--\n\n"},
    {"bsplines_clamped", as_cfunction(space_bsplines_clamped), STATIC,
     "bsplines_clamped(breakpoints, degree)\n--\n\n"},
    {"lower", space_lower, METH_NOARGS, "lower($self)\n--\n\n"},
    {"upper", space_upper, METH_NOARGS, "upper($self)\n--\n\n"},
    {"centers", space_centers, METH_NOARGS, "centers($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace spanlet::py
