// Python constructor of FTS instrument line-shape spaces.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/profiles/apodization.hpp"
#include "core/spaces/fts.hpp"
#include "python/args.hpp"
#include "python/arrays.hpp"
#include "python/errors.hpp"
#include "python/space_methods.hpp"
#include "python/space_object.hpp"

namespace spanlet::py {

namespace {

bool present(PyObject* object) { return object != nullptr && object != Py_None; }

bool optional_coefficients(PyObject* object, const char* argument, std::optional<std::vector<double>>& out) {
    if (!present(object)) return true;
    out.emplace();
    return to_list<double>(object, argument, *out, to_f64);
}

}  // namespace

PyObject* space_fts(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        Arguments<6> a{"fts", {"centers", "max_opd", "cutoff", "apodization", "cosine_sum", "polynomial"}, 3};
        std::vector<double> centers, max_opd;
        double cutoff = 0;
        std::string name;
        std::optional<std::vector<double>> cosine_sum, polynomial;
        if (!a.read(args, nargs, kwnames) || !read_vec(a[0], "centers", centers) ||
            !read_vec(a[1], "max_opd", max_opd) || !to_f64(a[2], "cutoff", cutoff) ||
            (present(a[3]) && !to_string(a[3], "apodization", name)) ||
            !optional_coefficients(a[4], "cosine_sum", cosine_sum) ||
            !optional_coefficients(a[5], "polynomial", polynomial))
            return nullptr;
        std::optional<std::string_view> apodization;
        if (present(a[3])) apodization = name;
        auto chosen = choose_apodization(apodization, cosine_sum, polynomial);
        if (!chosen) return raise_error(chosen.error());
        return wrap_space(fts(centers, max_opd, cutoff, chosen.value()));
    });
}

}  // namespace spanlet::py
