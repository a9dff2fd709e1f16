// Test entry points for the FTS line shapes and the harmonic profile: values and slopes at
// given arguments, before any element or space is built around them.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/profiles/apodization.hpp"
#include "core/profiles/fts_line.hpp"
#include "core/profiles/harmonic.hpp"
#include "python/args.hpp"
#include "python/arrays.hpp"
#include "python/errors.hpp"
#include "python/space_methods.hpp"
#include "testing/testing.hpp"

namespace spanlet::py {

namespace {

bool given(PyObject* object) { return object != nullptr && object != Py_None; }

PyObject* pair(const std::vector<double>& a, const std::vector<double>& b) {
    PyRef first(vector_array(a));
    if (!first) return nullptr;
    PyRef second(vector_array(b));
    if (!second) return nullptr;
    return PyTuple_Pack(2, first.get(), second.get());
}

// fts_line_shape(theta, apodization=None, cosine_sum=None, polynomial=None) -> (L, dL/dtheta)
PyObject* t_fts_line_shape(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return guarded([&]() -> PyObject* {
        Arguments<4> a{"fts_line_shape", {"theta", "apodization", "cosine_sum", "polynomial"}, 1};
        std::vector<double> theta;
        std::string name;
        std::optional<std::vector<double>> cosine_sum, polynomial;
        if (!a.read(args, nargs, kw) || !read_vec(a[0], "theta", theta) ||
            (given(a[1]) && !to_string(a[1], "apodization", name)))
            return nullptr;
        if (given(a[2]) && !to_list<double>(a[2], "cosine_sum", cosine_sum.emplace(), to_f64)) return nullptr;
        if (given(a[3]) && !to_list<double>(a[3], "polynomial", polynomial.emplace(), to_f64)) return nullptr;
        std::optional<std::string_view> chosen_name;
        if (given(a[1])) chosen_name = name;
        auto apodization = choose_apodization(chosen_name, cosine_sum, polynomial);
        if (!apodization) return raise_error(apodization.error());
        std::vector<double> values(theta.size()), slopes(theta.size());
        for (std::size_t i = 0; i < theta.size(); ++i) {
            values[i] = line_shape(apodization.value(), theta[i]);
            slopes[i] = line_shape_derivative(apodization.value(), theta[i]);
        }
        return pair(values, slopes);
    });
}

// harmonic_profile(wavenumber, period, phase, center, x) -> (value, d_dt) at offsets x
PyObject* t_harmonic_profile(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return guarded([&]() -> PyObject* {
        Arguments<5> a{"harmonic_profile", {"wavenumber", "period", "phase", "center", "x"}};
        double k = 0, period = 0, phase = 0, center = 0;
        std::vector<double> x;
        if (!a.read(args, nargs, kw) || !to_f64(a[0], "wavenumber", k) || !to_f64(a[1], "period", period) ||
            !to_f64(a[2], "phase", phase) || !to_f64(a[3], "center", center) || !read_vec(a[4], "x", x))
            return nullptr;
        auto profile = harmonic(k, period, phase, center);
        if (!profile) return raise_error(profile.error());
        std::vector<double> values(x.size()), slopes(x.size());
        for (std::size_t i = 0; i < x.size(); ++i) {
            values[i] = profile.value().value(x[i]);
            slopes[i] = profile.value().d_dt(x[i]);
        }
        return pair(values, slopes);
    });
}

constexpr int FAST = METH_FASTCALL | METH_KEYWORDS;

}  // namespace

PyMethodDef fts_test_methods[] = {
    {"fts_line_shape", as_cfunction(t_fts_line_shape), FAST, nullptr},
    {"harmonic_profile", as_cfunction(t_harmonic_profile), FAST, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace spanlet::py
