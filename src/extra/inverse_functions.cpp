// inverse_band(matrix): the entries of the inverse of a symmetric positive definite matrix
// inside the envelope of its Cholesky factor.
#include "core/linalg/banded.hpp"
#include "core/linalg/banded_inverse.hpp"
#include "extra/extra.hpp"
#include "python/args.hpp"
#include "python/csr_parts.hpp"
#include "python/errors.hpp"
#include "python/gil.hpp"
#include "python/space_methods.hpp"

namespace spanlet::py {

namespace {

PyObject* inverse_band(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        Arguments<1> a{"inverse_band", {"matrix"}};
        Csr matrix;
        if (!a.read(args, nargs, kwnames) || !read_csr(a[0], "matrix", matrix)) return nullptr;
        auto band = [&]() -> Result<Csr> {
            ReleaseGil released;
            SPANLET_TRY(factor, BandedCholesky::factor(matrix));
            return InverseEnvelope(factor).to_csr();
        }();
        if (!band) return raise_error(band.error());
        return csr_parts(std::move(band).value());
    });
}

}  // namespace

PyMethodDef inverse_functions[] = {
    {"inverse_band", as_cfunction(inverse_band), METH_FASTCALL | METH_KEYWORDS, "inverse_band(matrix)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace spanlet::py
