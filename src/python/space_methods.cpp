// The method table of the Space class, in its fixed order.
#include "python/space_methods.hpp"

#include "python/space_object.hpp"

namespace spanlet::py {

namespace {
constexpr int STATIC = METH_FASTCALL | METH_KEYWORDS | METH_STATIC;
constexpr int METHOD = METH_FASTCALL | METH_KEYWORDS;
}  // namespace

PyMethodDef space_methods[] = {
    {"deltas", as_cfunction(space_deltas), STATIC, "deltas(x)\n--\n\n"},
    {"boxes", as_cfunction(space_boxes), STATIC, "boxes(edges)\n--\n\n"},
    {"hats", as_cfunction(space_hats), STATIC, "hats(nodes)\n--\n\n"},
    {"bsplines", as_cfunction(space_bsplines), STATIC, "bsplines(knots, degree)\n--\n\n"},
    {"harmonics", as_cfunction(space_harmonics), STATIC, "harmonics(n, period, start)\n--\n\n"},
    {"bsplines_periodic", as_cfunction(space_bsplines_periodic), STATIC,
     "bsplines_periodic(breakpoints, degree)\n--\n\n"},
    {"bsplines_clamped", as_cfunction(space_bsplines_clamped), STATIC,
     "bsplines_clamped(breakpoints, degree)\n--\n\n"},
    {"gaussians", as_cfunction(space_gaussians), STATIC, "gaussians(centers, sigma, cutoff)\n--\n\n"},
    {"lorentzians", as_cfunction(space_lorentzians), STATIC, "lorentzians(centers, hwhm, cutoff)\n--\n\n"},
    {"voigts", as_cfunction(space_voigts), STATIC, "voigts(centers, sigma, gamma, cutoff)\n--\n\n"},
    {"pseudo_voigts", as_cfunction(space_pseudo_voigts), STATIC,
     "pseudo_voigts(centers, hwhm, eta, cutoff)\n--\n\n"},
    {"super_gaussians", as_cfunction(space_super_gaussians), STATIC,
     "super_gaussians(centers, hwhm_left, hwhm_right, power, cutoff)\n--\n\n"},
    {"smoothed_boxes", as_cfunction(space_smoothed_boxes), STATIC,
     "smoothed_boxes(centers, half_width, sigma, cutoff)\n--\n\n"},
    {"fts", as_cfunction(space_fts), STATIC,
     "fts(centers, max_opd, cutoff, apodization=None, cosine_sum=None, polynomial=None)\n--\n\n"
     "`apodization` is a name, or None with `cosine_sum` (<= 4) or `polynomial` (<= 5)\ncoefficients."},
    {"rectangles", as_cfunction(space_rectangles), STATIC, "rectangles(centers, widths)\n--\n\n"},
    {"triangles", as_cfunction(space_triangles), STATIC, "triangles(centers, hwhm)\n--\n\n"},
    {"trapezoids", as_cfunction(space_trapezoids), STATIC, "trapezoids(centers, top, bottom)\n--\n\n"},
    {"shifted", as_cfunction(space_shifted), STATIC,
     "shifted(shape_x, shape_y, centers, stretch, interp)\n--\n\n"
     "Copies of the tabulated shape (shape_x, shape_y), shifted to `centers` and stretched by\n`stretch`."},
    {"tabulated", as_cfunction(space_tabulated), STATIC,
     "tabulated(centers, x, y, interp)\n--\n\n"
     "Per-element tables: x has 1 or len(centers) rows, y has len(centers) rows."},
    {"mapped", as_cfunction(space_mapped), METHOD,
     "mapped($self, kind, a, b, jacobian)\n--\n\n"
     "The elements as functions of x = forward(u): kind \"reciprocal\" (x = a / u) or \"affine\"\n(x = a + b\u00b7u)."},
    {"take", as_cfunction(space_take), METHOD, "take($self, indices)\n--\n\n"},
    {"derivative", as_cfunction(space_derivative), METHOD, "derivative($self, order)\n--\n\n"},
    {"lower", space_lower, METH_NOARGS, "lower($self)\n--\n\n"},
    {"upper", space_upper, METH_NOARGS, "upper($self)\n--\n\n"},
    {"centers", space_centers, METH_NOARGS, "centers($self)\n--\n\n"},
    {"integrals", as_cfunction(space_integrals), METHOD, "integrals($self, weight=None)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace spanlet::py
