// Test entry points for single profiles, including the Matern shapes no public constructor makes.
//
// A profile is named by its kind and its defining parameters: "gaussian" (sigma), "lorentzian"
// (hwhm), "voigt" (sigma, gamma), "pseudo_voigt" (hwhm, eta), "super_gaussian" (hwhm_left,
// hwhm_right, power), "smoothed_box" (half_width, sigma), "matern_half", "matern_three_halves",
// "matern_five_halves" (length). Peak scales are derived as the public constructors derive them.
#include <string>
#include <vector>

#include "core/profiles/parameter.hpp"
#include "core/profiles/profile.hpp"
#include "core/spaces/profile_space.hpp"
#include "python/args.hpp"
#include "python/arrays.hpp"
#include "python/errors.hpp"
#include "python/space_methods.hpp"
#include "testing/testing.hpp"

namespace spanlet::py {

namespace {

bool make_profile(const std::string& kind, const std::vector<double>& p, Profile& out) {
    auto need = [&](std::size_t n) {
        if (p.size() == n) return true;
        PyErr_Format(PyExc_ValueError, "%s takes %zu parameters", kind.c_str(), n);
        return false;
    };
    if (kind == "gaussian") {
        if (!need(1)) return false;
        out = Gaussian{p[0]};
    } else if (kind == "lorentzian") {
        if (!need(1)) return false;
        out = Lorentzian{p[0]};
    } else if (kind == "voigt") {
        if (!need(2)) return false;
        out = Voigt{p[0], p[1], voigt_inv_peak(p[0], p[1])};
    } else if (kind == "pseudo_voigt") {
        if (!need(2)) return false;
        out = PseudoVoigt{p[0], p[1]};
    } else if (kind == "super_gaussian") {
        if (!need(3)) return false;
        out = SuperGaussian{p[0], p[1], p[2]};
    } else if (kind == "smoothed_box") {
        if (!need(2)) return false;
        SmoothedBox box{p[0], p[1], 1.0};
        box.inv_peak = 1.0 / box.unscaled(0.0);
        out = box;
    } else if (kind.starts_with("matern_")) {
        if (!need(1)) return false;
        const std::string order = kind.substr(7);
        MaternOrder o;
        if (order == "half") o = MaternOrder::Half;
        else if (order == "three_halves") o = MaternOrder::ThreeHalves;
        else if (order == "five_halves") o = MaternOrder::FiveHalves;
        else {
            PyErr_SetString(PyExc_ValueError, "unknown Matern order");
            return false;
        }
        out = Matern{o, p[0]};
    } else {
        PyErr_SetString(PyExc_ValueError, "unknown profile kind");
        return false;
    }
    return true;
}

bool read_profile(PyObject* kind_object, PyObject* params_object, Profile& out) {
    std::string kind;
    std::vector<double> params;
    return to_string(kind_object, "kind", kind) && to_list(params_object, "params", params, to_f64) &&
           make_profile(kind, params, out);
}

// profile_values(kind, params, x) -> (value, d_dt) at offsets x from the center.
PyObject* t_profile_values(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return guarded([&]() -> PyObject* {
        Arguments<3> a{"profile_values", {"kind", "params", "x"}};
        Profile profile = Gaussian{1.0};
        std::vector<double> x;
        if (!a.read(args, nargs, kw) || !read_profile(a[0], a[1], profile) || !read_vec(a[2], "x", x)) return nullptr;
        std::vector<double> v(x.size()), d(x.size());
        for (std::size_t i = 0; i < x.size(); ++i) {
            v[i] = value(profile, x[i]);
            d[i] = d_dt(profile, x[i]);
        }
        return Py_BuildValue("(NN)", vector_array(v), vector_array(d));
    });
}

// profile_geometry(kind, params, r, cutoff) -> (hwhm, steps at r, (left, right))
PyObject* t_profile_geometry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return guarded([&]() -> PyObject* {
        Arguments<4> a{"profile_geometry", {"kind", "params", "r", "cutoff"}};
        Profile profile = Gaussian{1.0};
        std::vector<double> r;
        double cutoff;
        if (!a.read(args, nargs, kw) || !read_profile(a[0], a[1], profile) || !read_vec(a[2], "r", r) ||
            !to_f64(a[3], "cutoff", cutoff))
            return nullptr;
        std::vector<double> steps(r.size());
        for (std::size_t i = 0; i < r.size(); ++i) steps[i] = step(profile, r[i]);
        auto reach = support(profile, cutoff);
        if (!reach) return raise_error(reach.error());
        return Py_BuildValue("(dN(dd))", hwhm(profile), vector_array(steps), reach.value().left,
                             reach.value().right);
    });
}

// profile_space(kind, params, copies, centers, cutoff) -> (lower, upper) of the space built from
// `copies` copies of the profile.
PyObject* t_profile_space(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return guarded([&]() -> PyObject* {
        Arguments<5> a{"profile_space", {"kind", "params", "copies", "centers", "cutoff"}};
        Profile profile = Gaussian{1.0};
        std::uint64_t copies;
        std::vector<double> centers;
        double cutoff;
        if (!a.read(args, nargs, kw) || !read_profile(a[0], a[1], profile) || !to_u64(a[2], "copies", copies) ||
            !read_vec(a[3], "centers", centers) || !to_f64(a[4], "cutoff", cutoff))
            return nullptr;
        auto space = profiles(std::vector<Profile>(copies, profile), centers, cutoff);
        if (!space) return raise_error(space.error());
        std::vector<double> lower, upper;
        for (const Element& e : space.value().elements()) {
            const Support s = spanlet::support(e);
            lower.push_back(s.lo);
            upper.push_back(s.hi);
        }
        return Py_BuildValue("(NN)", vector_array(lower), vector_array(upper));
    });
}

// parameter_names() -> the names of every Parameter in order, each read back by parameter_named.
PyObject* t_parameter_names(PyObject*, PyObject*) {
    return guarded([&]() -> PyObject* {
        PyRef list(PyList_New(0));
        if (!list) return nullptr;
        for (int i = 0; i <= static_cast<int>(Parameter::HalfWidth); ++i) {
            const auto p = static_cast<Parameter>(i);
            const std::string_view text = name(p);
            const auto back = parameter_named(text);
            if (!back || *back != p) {
                PyErr_SetString(PyExc_AssertionError, "parameter name does not read back");
                return nullptr;
            }
            PyRef item(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
            if (!item || PyList_Append(list.get(), item.get()) != 0) return nullptr;
        }
        return list.release();
    });
}

// parameter_named(name) -> its index, or None
PyObject* t_parameter_named(PyObject*, PyObject* arg) {
    return guarded([&]() -> PyObject* {
        std::string text;
        if (!to_string(arg, "name", text)) return nullptr;
        const auto p = parameter_named(text);
        if (!p) Py_RETURN_NONE;
        return PyLong_FromLong(static_cast<long>(*p));
    });
}

constexpr int FAST = METH_FASTCALL | METH_KEYWORDS;

}  // namespace

PyMethodDef profile_test_methods[] = {
    {"profile_values", as_cfunction(t_profile_values), FAST, nullptr},
    {"profile_geometry", as_cfunction(t_profile_geometry), FAST, nullptr},
    {"profile_space", as_cfunction(t_profile_space), FAST, nullptr},
    {"parameter_names", t_parameter_names, METH_NOARGS, nullptr},
    {"parameter_named", t_parameter_named, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace spanlet::py
