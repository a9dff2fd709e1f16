// Python constructor of harmonic (Fourier) spaces.
#include <cstdint>

#include "core/spaces/harmonics.hpp"
#include "python/args.hpp"
#include "python/errors.hpp"
#include "python/space_methods.hpp"
#include "python/space_object.hpp"

namespace spanlet::py {

PyObject* space_harmonics(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        Arguments<3> a{"harmonics", {"n", "period", "start"}};
        std::uint64_t n = 0;
        double period = 0, start = 0;
        if (!a.read(args, nargs, kwnames) || !to_u64(a[0], "n", n) || !to_f64(a[1], "period", period) ||
            !to_f64(a[2], "start", start))
            return nullptr;
        return wrap_space(harmonics(n, period, start));
    });
}

}  // namespace spanlet::py
