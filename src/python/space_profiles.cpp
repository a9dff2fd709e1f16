// Python constructors of line-shape profile spaces: gaussians, lorentzians, voigts,
// pseudo_voigts, super_gaussians, smoothed_boxes.
#include <array>
#include <cstddef>
#include <vector>

#include "core/spaces/profile_space.hpp"
#include "python/args.hpp"
#include "python/arrays.hpp"
#include "python/errors.hpp"
#include "python/space_methods.hpp"
#include "python/space_object.hpp"

namespace spanlet::py {

namespace {

// Reads (centers, p_1 .. p_K, cutoff) in signature order: arrays, then the float cutoff.
template <std::size_t K>
struct ProfileArguments {
    std::vector<double> centers;
    std::array<std::vector<double>, K> parameters;
    double cutoff = 0.0;

    bool read(const char* function, const std::array<const char*, K>& names, PyObject* const* args,
              Py_ssize_t nargs, PyObject* kwnames) {
        Arguments<K + 2> a{function, {}};
        a.names[0] = "centers";
        for (std::size_t k = 0; k < K; ++k) a.names[k + 1] = names[k];
        a.names[K + 1] = "cutoff";
        if (!a.read(args, nargs, kwnames) || !read_vec(a[0], "centers", centers)) return false;
        for (std::size_t k = 0; k < K; ++k)
            if (!read_vec(a[k + 1], names[k], parameters[k])) return false;
        return to_f64(a[K + 1], "cutoff", cutoff);
    }
};

}  // namespace

PyObject* space_gaussians(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        ProfileArguments<1> a;
        if (!a.read("gaussians", {"sigma"}, args, nargs, kwnames)) return nullptr;
        return wrap_space(gaussians(a.centers, a.parameters[0], a.cutoff));
    });
}

PyObject* space_lorentzians(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        ProfileArguments<1> a;
        if (!a.read("lorentzians", {"hwhm"}, args, nargs, kwnames)) return nullptr;
        return wrap_space(lorentzians(a.centers, a.parameters[0], a.cutoff));
    });
}

PyObject* space_voigts(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        ProfileArguments<2> a;
        if (!a.read("voigts", {"sigma", "gamma"}, args, nargs, kwnames)) return nullptr;
        return wrap_space(voigts(a.centers, a.parameters[0], a.parameters[1], a.cutoff));
    });
}

PyObject* space_pseudo_voigts(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        ProfileArguments<2> a;
        if (!a.read("pseudo_voigts", {"hwhm", "eta"}, args, nargs, kwnames)) return nullptr;
        return wrap_space(pseudo_voigts(a.centers, a.parameters[0], a.parameters[1], a.cutoff));
    });
}

PyObject* space_super_gaussians(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        ProfileArguments<3> a;
        if (!a.read("super_gaussians", {"hwhm_left", "hwhm_right", "power"}, args, nargs, kwnames)) return nullptr;
        return wrap_space(super_gaussians(a.centers, a.parameters[0], a.parameters[1], a.parameters[2], a.cutoff));
    });
}

PyObject* space_smoothed_boxes(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        ProfileArguments<2> a;
        if (!a.read("smoothed_boxes", {"half_width", "sigma"}, args, nargs, kwnames)) return nullptr;
        return wrap_space(smoothed_boxes(a.centers, a.parameters[0], a.parameters[1], a.cutoff));
    });
}

}  // namespace spanlet::py
