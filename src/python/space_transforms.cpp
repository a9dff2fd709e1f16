// Python methods that make new spaces from a space: take, derivative, mapped.
#include <string>
#include <vector>

#include "core/base/format.hpp"
#include "core/spaces/transforms.hpp"
#include "python/args.hpp"
#include "python/errors.hpp"
#include "python/space_methods.hpp"
#include "python/space_object.hpp"

namespace spanlet::py {

PyObject* space_take(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        Arguments<1> a{"take", {"indices"}};
        std::vector<std::uint64_t> indices;
        if (!a.read(args, nargs, kwnames) || !to_list(a[0], "indices", indices, to_u64)) return nullptr;
        return wrap_space(take(core_space(self), indices));
    });
}

PyObject* space_derivative(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        Arguments<1> a{"derivative", {"order"}};
        std::uint64_t order = 0;
        if (!a.read(args, nargs, kwnames) || !to_u64(a[0], "order", order)) return nullptr;
        return wrap_space(derivative(core_space(self), order));
    });
}

PyObject* space_mapped(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        Arguments<4> a{"mapped", {"kind", "a", "b", "jacobian"}};
        std::string kind;
        double offset = 0.0, scale = 0.0;
        bool jacobian = false;
        if (!a.read(args, nargs, kwnames) || !to_string(a[0], "kind", kind) || !to_f64(a[1], "a", offset) ||
            !to_f64(a[2], "b", scale) || !to_bool(a[3], "jacobian", jacobian))
            return nullptr;
        if (kind != "reciprocal" && kind != "affine")
            return raise_error(Error::invalid("map kind must be 'reciprocal' or 'affine', got " + quoted(kind)));
        const MapKind map = kind == "reciprocal" ? MapKind::Reciprocal : MapKind::Affine;
        return wrap_space(mapped(core_space(self), map, offset, scale, jacobian));
    });
}

}  // namespace spanlet::py
