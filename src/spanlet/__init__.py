r"""spanlet: one-dimensional function bases with exact integrals, Gram matrices and fits.

A basis is a :class:`Space`: an ordered list of functions (elements) of one real variable --
B-splines, hats, boxes, triangles, rectangles, trapezoids, tabulated shapes, point masses,
spectrometer (FTS) line shapes and harmonic waves. On spaces spanlet computes point values,
integrals, inner products and measurement matrices (exact on polynomial pieces),
least-squares projections between spaces, penalised fits of data seen through kernels, and
covariances of Gaussian random fields averaged over (products of) elements. The
numerical work runs in a native core, in parallel, with the interpreter lock released.

Spaces
    Space                 the basis type; static constructors ``bsplines``, ``bsplines_clamped``,
                          ``bsplines_periodic``, ``hats``, ``boxes``, ``deltas``, ``triangles``,
                          ``rectangles``, ``trapezoids``, ``tabulated``, ``shifted``, ``fts``,
                          ``harmonics``, ``gaussians``, ``lorentzians``, ``voigts``,
                          ``pseudo_voigts``, ``super_gaussians``, ``smoothed_boxes``; transforms
                          ``take``, ``derivative``, ``mapped``; ``integrals``
Matrices (``scipy.sparse.csr_array``)
    evaluate              point values, rows = points, columns = elements
    inner_products        Gram-type matrices of two spaces
    measure               measurement matrices, with row normalisation
    measure_derivative    a measurement matrix and its derivative in one kernel parameter
    measure_derivatives   the same for several parameters, from one pass over the kernels
Operators
    Projection            least-squares projection between spaces (rebinning, resampling)
    Fit                   penalised least-squares fit of data seen through kernels
    Spline                a function expanded in a space: values, derivative, integral
    lsq_spline            least-squares spline of point samples (``make_lsq_spline``)
    smoothing_spline      cubic smoothing spline of point samples (``make_smoothing_spline``),
                          its weight given or chosen by GCV or REML
    SmoothingChoice       the chosen weight, its score, effective degrees of freedom and fit
Covariance (module ``spanlet.covariance``: Gaussian and Matern fields over product atoms)
    covariance_matrix     covariance matrix between product atoms (points, pixels, averages)
    covariance_diagonal   the variances of product atoms
    covariance_length_derivatives
                          the symmetric matrix with its length and variance-factor derivatives
    GaussianProcess       regression on points and averages over elements (module ``spanlet.gp``)
Line spectra (module ``spanlet.lines``: its docstring describes the model)
    Lines                 a group of line profiles of one family, with starting values and constraints
    fit_lines             joint fit of lines and a continuum seen through any kernels, with errors
    LineFit               its result: values, standard errors, covariance, chi-square, status
    find_lines            line candidates (peaks above a threshold) as starting values
    LineCandidates        the candidates: centers, half widths, heights, areas
Special functions
    faddeeva_re           Re w(x + iy), the real part of the Faddeeva function
Other
    SingularError         raised for systems that cannot be solved (a ``ValueError``)
    FWHM_PER_SIGMA        full width at half maximum of a Gaussian per unit sigma

Conventions
-----------
- Element pieces are half-open, :math:`[a, b)`: at the right end of its support a piecewise
  element is 0. ``Space.bsplines_clamped(..., closed=True)`` includes the last breakpoint.
- Array arguments accept anything :func:`numpy.asarray` turns into real numbers; they are
  converted to contiguous ``float64`` before the native call.
- Data are transformed along the last axis: an input of shape (..., n) gives (..., m).
- ``weight`` is always the frequency :math:`\omega` of a cosine weight :math:`\cos(\omega t)`,
  never sample weights; those are ``w`` (or ``variance``).
- Fits and projections refuse NaN or inf data unless ``check_finite=False``.
- Accuracy: integrals, Gram entries and measurement rows of piecewise-polynomial spaces are
  computed in each knot interval's own offset, so they do not depend on where the axis origin
  lies, and under a cosine weight they are closed-form at any :math:`\omega`. Two limits remain.
  A point is a double, so its position is only known to :math:`\mathrm{ulp}(|x|)`: a value at
  ``x`` may be off by about :math:`\mathrm{ulp}(|x|)/h` relative for knot spacing :math:`h`.
  A cosine weight needs :math:`\cos(\omega x)` at large phases, where rounding of
  :math:`\omega x` costs about :math:`\varepsilon\,|\omega x|` absolute.
- Space, Projection, Fit, Spline and SingularError pickle (so they travel to multiprocessing,
  joblib or dask workers); immutable objects copy as themselves.
- The native module ``spanlet._spanlet`` is the strict, undocumented layer below: float64 arrays
  only, sparse results as ``(indptr, indices, data, shape)`` tuples. Package objects expose
  their native object as ``.native``.

Examples
--------
>>> import numpy as np, spanlet
>>> basis = spanlet.Space.bsplines_clamped(np.linspace(0, 1, 6), 3)
>>> basis
Space(8 clamped cubic B-splines on [0, 1])
>>> B = spanlet.evaluate(basis, [0.1, 0.5])
>>> print(B.sum(axis=1))
[1. 1.]
"""

import copyreg as _copyreg

from spanlet import _spanlet
from spanlet._fitting import lsq_spline, smoothing_spline
from spanlet.covariance import covariance_diagonal, covariance_length_derivatives, covariance_matrix
from spanlet.gp import GaussianProcess
from spanlet._functions import evaluate, inner_products, measure, measure_derivative, measure_derivatives
from spanlet.lines import LineCandidates, LineFit, Lines, find_lines, fit_lines
from spanlet._operators import Fit, Projection
from spanlet._smoothing import SmoothingChoice
from spanlet._space import Space
from spanlet._special import faddeeva_re
from spanlet._spline import Spline
from spanlet._spanlet import FWHM_PER_SIGMA, SingularError, __version__

__all__ = [
    "__version__",
    "FWHM_PER_SIGMA",
    "SingularError",
    "Space",
    "Projection",
    "Fit",
    "Spline",
    "SmoothingChoice",
    "evaluate",
    "inner_products",
    "measure",
    "measure_derivative",
    "measure_derivatives",
    "lsq_spline",
    "smoothing_spline",
    "covariance_matrix",
    "covariance_diagonal",
    "covariance_length_derivatives",
    "GaussianProcess",
    "faddeeva_re",
    "Lines",
    "LineFit",
    "LineCandidates",
    "fit_lines",
    "find_lines",
]


def _singular_error(*args):
    return SingularError(*args)


def _reduce_singular_error(error):
    # The class lives in the native module, which pickle cannot import by its own name.
    return (_singular_error, error.args, error.__dict__ or None)


_copyreg.pickle(SingularError, _reduce_singular_error)
# Also as the method: libraries that register their own reducer for every exception class
# (tblib, installed by dask.distributed) start from the exception's __reduce_ex__.
setattr(SingularError, "__reduce__", _reduce_singular_error)
