"""The package ``Space``: a documented face over the native space with a replayable recipe."""

from __future__ import annotations

import operator
from typing import Any, Sequence

import numpy as np

from spanlet import _extra, _spanlet
from spanlet._arrays import choice, cosine_frequency, finite, native_space, positive, recorded, rows, vector
from spanlet._arrays import degree as check_degree

__all__ = ["Space"]

_DEGREE_NAMES = {0: "constant", 1: "linear", 2: "quadratic", 3: "cubic"}

# The window names the native fts constructor knows, in its own order.
APODIZATIONS = ("none", "boxcar", "hann", "hanning", "hamming", "happ_genzel", "blackman", "blackman_harris",
                "triangle", "norton_beer_weak", "norton_beer_medium", "norton_beer_strong")


def _number(value: float) -> str:
    return f"{value:.6g}"


# Space constructors of spanlet._extra, by recipe name.
_EXTRA_CONSTRUCTORS = frozenset({"bsplines_clamped_closed"})


class Space:
    r"""An ordered basis of functions of one real variable.

    A space holds elements :math:`\phi_0, \dots, \phi_{n-1}`; the element order is the column
    order of every matrix built with the space as basis (and the row order when it is the
    first argument, for example the kernels of :func:`measure`). Spaces are immutable.

    Spaces are made only by the static constructors (:meth:`bsplines`, :meth:`bsplines_clamped`,
    :meth:`bsplines_periodic`, :meth:`hats`, :meth:`boxes`, :meth:`deltas`, :meth:`triangles`,
    :meth:`rectangles`, :meth:`trapezoids`, :meth:`tabulated`, :meth:`shifted`, :meth:`fts`,
    :meth:`harmonics`) and by the
    transforms (:meth:`take`, :meth:`derivative`, :meth:`mapped`).

    Notes
    -----
    **Half-open convention.** Every piecewise element is defined on half-open pieces
    :math:`[a, b)`: a box on ``[0, 1]`` is 1 at 0 and 0 at 1, and at the last breakpoint of a
    clamped B-spline space every element is 0. Point evaluation (:func:`evaluate`) follows this
    rule exactly. Where a sample at the right end must count, build the basis with
    ``bsplines_clamped(..., closed=True)`` (the package's fitting functions do).

    Array arguments are anything :func:`numpy.asarray` turns into real numbers (lists, integers,
    ``float32``, non-contiguous views); they are converted to ``float64`` before the native call.
    Per-element parameters (``hwhm``, ``widths``, ``top``, ``bottom``, ``stretch``) may be one
    number shared by all elements or one value per element.

    A space pickles as the recipe it was built from (constructor, arguments, transforms), which is
    small and rebuilds the same elements bit for bit. The native object is :attr:`native`.

    Examples
    --------
    >>> import spanlet
    >>> basis = spanlet.Space.bsplines_clamped([0, 0.5, 1], 2)
    >>> basis
    Space(4 clamped quadratic B-splines on [0, 1])
    >>> len(basis), basis.lower().tolist(), basis.upper().tolist()
    (4, [0.0, 0.0, 0.0, 0.5], [0.5, 1.0, 1.0, 1.0])
    """

    __slots__ = ("_native", "_recipe")
    _native: Any
    _recipe: tuple

    def __init__(self) -> None:
        raise TypeError("spanlet.Space has no constructor; use a static constructor such as "
                        "Space.bsplines_clamped")

    # Every space is made here: from the native result and the call that produced it, so that
    # pickling can replay the call. `parent` is None for the static constructors. The arguments
    # are copied first and the copy is both built and recorded, so the caller's later changes
    # reach neither.
    @classmethod
    def _made(cls, method: str, parent: Space | None, args: tuple) -> Space:
        args = tuple(recorded(arg) for arg in args)
        if parent is None:
            # Constructors beyond the native module's fixed set come from the package's helper module.
            native = getattr(_extra if method in _EXTRA_CONSTRUCTORS else _spanlet.Space, method)(*args)
        else:
            native = getattr(parent._native, method)(*args)
        space = object.__new__(cls)
        space._native = native
        space._recipe = (method, parent, args)
        return space

    def __reduce__(self) -> tuple:
        method, parent, args = self._recipe
        return (_replay, (method, parent, args))

    def __copy__(self) -> Space:
        return self

    def __deepcopy__(self, memo: dict) -> Space:
        # Immutable: a copy could not be told apart from the original.
        return self

    def __len__(self) -> int:
        return len(self._native)

    def __repr__(self) -> str:
        return f"Space({self._describe()})"

    def _describe(self) -> str:
        method, parent, args = self._recipe
        n = len(self)
        if parent is not None:
            if method == "take":
                return f"{n} elements taken from {parent._describe()}"
            if method == "derivative":
                return f"order-{args[0]} derivatives of {parent._describe()}"
            return f"{parent._describe()}, mapped by the {args[0]} map a={_number(args[1])}, b={_number(args[2])}"
        if method.startswith("bsplines"):
            degree = _DEGREE_NAMES.get(args[1], f"degree-{args[1]}")
            flavour = {"bsplines": "", "bsplines_clamped": "clamped ", "bsplines_clamped_closed": "clamped ",
                       "bsplines_periodic": "periodic "}[method]
            what = f"{flavour}{degree} B-splines"
        elif method == "fts":
            form = args[3] if args[3] is not None else ("cosine_sum" if args[4] is not None else "polynomial")
            what = f"FTS line shapes ({form})"
        elif method == "harmonics":
            what = "harmonic waves"
        elif method in ("tabulated", "shifted"):
            what = f"{method} shapes ({args[-1]})"
        else:
            what = method
        if n == 0:
            return f"0 {what}"
        return f"{n} {what} on [{_number(self.lower().min())}, {_number(self.upper().max())}]"

    @property
    def native(self) -> Any:
        """The native ``spanlet._spanlet.Space`` this space wraps (for the native functions)."""
        return self._native

    # -- B-splines -------------------------------------------------------------------------

    @staticmethod
    def bsplines(knots: Any, degree: int) -> Space:
        r"""B-splines of degree 0 to 3 on a knot vector.

        Element :math:`j` is the B-spline :math:`B_{j,p}` of the Cox--de Boor recursion on the
        knots :math:`t_j \le \dots \le t_{j+p+1}`, supported on :math:`[t_j, t_{j+p+1}]`.

        Parameters
        ----------
        knots : array_like, shape (m,)
            Finite, nondecreasing knots; a knot may repeat up to ``degree + 1`` times.
        degree : int
            Polynomial degree ``p``, 0 to 3.

        Returns
        -------
        Space
            ``m - p - 1`` elements, each an exact piecewise cubic.

        Raises
        ------
        ValueError
            For a degree above 3, fewer than ``p + 2`` knots, decreasing or non-finite knots.

        Examples
        --------
        >>> import spanlet
        >>> s = spanlet.Space.bsplines([0, 1, 2, 3], 2)
        >>> print(spanlet.evaluate(s, [1, 1.5, 2]).toarray().ravel())
        [0.5  0.75 0.5 ]
        """
        points = vector(knots, "knots")
        check_degree(degree)
        return Space._made("bsplines", None, (points, degree))

    @staticmethod
    def bsplines_clamped(breakpoints: Any, degree: int, closed: bool = False) -> Space:
        r"""Clamped B-splines: the spline space on ``breakpoints`` with free ends.

        The knots are the breakpoints with the first and the last repeated ``degree`` more
        times, so the first element is 1 at the first breakpoint and the elements sum to 1 on
        :math:`[x_0, x_L)`. With ``b`` breakpoints there are ``b + degree - 1`` elements.

        Parameters
        ----------
        breakpoints : array_like, shape (b,)
            At least 2 finite, strictly increasing values.
        degree : int
            Polynomial degree, 0 to 3.
        closed : bool, optional
            False (default) keeps the half-open convention: at the last breakpoint every element
            is 0. True closes the last knot interval, so that a point at the last breakpoint gets
            the limit values from the left, as in ``scipy.interpolate.BSpline``, and the elements
            sum to 1 there too; elsewhere they are the same functions as without it.

        Returns
        -------
        Space

        Examples
        --------
        >>> import spanlet
        >>> open_end = spanlet.Space.bsplines_clamped([0, 1, 2], 2)
        >>> closed_end = spanlet.Space.bsplines_clamped([0, 1, 2], 2, closed=True)
        >>> print(spanlet.evaluate(open_end, [0, 2]).toarray()[:, [0, -1]])
        [[1. 0.]
         [0. 0.]]
        >>> print(spanlet.evaluate(closed_end, [0, 2]).toarray()[:, [0, -1]].round(12))
        [[1. 0.]
         [0. 1.]]
        """
        points = vector(breakpoints, "breakpoints")
        check_degree(degree)
        return Space._made("bsplines_clamped_closed" if closed else "bsplines_clamped", None, (points, degree))

    @staticmethod
    def bsplines_periodic(breakpoints: Any, degree: int) -> Space:
        r"""Periodic B-splines with period :math:`P = x_L - x_0`.

        One element per interval: element :math:`j` is the B-spline on
        :math:`[x_{j-p}, x_{j+1}]` (degree :math:`p`), indices taken modulo :math:`L`, so the
        first :math:`p` elements wrap around the period. The elements sum to
        1 on :math:`[x_0, x_L)`.

        Parameters
        ----------
        breakpoints : array_like, shape (L + 1,)
            Strictly increasing, finite; at least ``degree + 1`` intervals.
        degree : int
            Polynomial degree, 0 to 3.

        Returns
        -------
        Space
            ``L`` elements.

        Examples
        --------
        >>> import spanlet
        >>> s = spanlet.Space.bsplines_periodic([0, 1, 2, 3, 4], 1)
        >>> print(spanlet.evaluate(s, [0, 3.5]).toarray())
        [[1.  0.  0.  0. ]
         [0.5 0.  0.  0.5]]
        """
        points = vector(breakpoints, "breakpoints")
        check_degree(degree)
        return Space._made("bsplines_periodic", None, (points, degree))

    # -- line shapes and waves -------------------------------------------------------------

    @staticmethod
    def fts(centers: Any, max_opd: Any, cutoff: float, apodization: str | None = None,
            cosine_sum: Sequence[float] | None = None, polynomial: Sequence[float] | None = None) -> Space:
        r"""Instrument line shapes of a Fourier-transform spectrometer, one per center.

        The line shape is the cosine transform of the apodization :math:`A(u)` over the
        normalised optical path difference :math:`u \in [-1, 1]`,
        :math:`L(\theta) = \int_{-1}^{1} A(u) \cos(\theta u)\, du` with
        :math:`\theta = 2\pi\, \mathrm{max\_opd}\, (x - c)`, scaled to 1 at the center. The
        half width is taken as ``0.5 / max_opd`` and each element is cut at ``cutoff`` half widths
        on both sides (both ends included).

        Parameters
        ----------
        centers : array_like, shape (n,)
            Finite line positions.
        max_opd : array_like or float
            Maximum optical path difference (in the reciprocal unit of ``centers``), finite and
            positive: one for all, or one per center.
        cutoff : float
            Finite, positive number of half widths kept on each side.
        apodization : str, optional
            A window name: "none" or "boxcar", "hann" or "hanning", "hamming" or "happ_genzel",
            "blackman", "blackman_harris", "triangle", "norton_beer_weak",
            "norton_beer_medium", "norton_beer_strong" (exact, case-sensitive).
        cosine_sum : sequence of float, optional
            1 to 4 coefficients :math:`a_k` of :math:`A(u) = \sum_k a_k \cos(k \pi u)`.
        polynomial : sequence of float, optional
            1 to 5 coefficients :math:`c_n` of :math:`A(u) = \sum_n c_n (1 - u^2)^n`.

        Give exactly one of ``apodization``, ``cosine_sum`` and ``polynomial``.

        Returns
        -------
        Space
            ``n`` elements.

        Raises
        ------
        ValueError
            For an unknown name, not exactly one apodization form, a bad ``max_opd`` or
            ``cutoff``, an apodization whose integral is not positive, or a non-finite center.

        Examples
        --------
        >>> import spanlet
        >>> s = spanlet.Space.fts([0, 1], 2, 8, "hann")
        >>> print(s.lower(), s.upper())
        [-2. -1.] [2. 3.]
        >>> print(spanlet.evaluate(s, [0, 0.25]).toarray().round(6))
        [[1.  0. ]
         [0.5 0. ]]
        """
        points = vector(centers, "centers")
        opd = vector(max_opd, "max_opd", scalar=True)
        if opd.size == 1 and points.size > 1:
            opd = np.full(points.size, opd[0])
        finite(points, "centers")
        choice(apodization, APODIZATIONS, "apodization")
        return Space._made("fts", None, (points, opd, cutoff, apodization, cosine_sum, polynomial))

    @staticmethod
    def harmonics(n: int, period: float, start: float) -> Space:
        r"""The Fourier basis of one period: :math:`\cos(2\pi k t / P)` and :math:`\sin(2\pi k t / P)`
        for :math:`k = 1 \dots n`, each on :math:`[\mathrm{start}, \mathrm{start} + P]`.

        The elements are orthogonal, each with norm :math:`P/2`. There is no constant element;
        add one from another space where needed.

        Parameters
        ----------
        n : int
            Number of harmonics, at least 1.
        period : float
            The period :math:`P`, finite and positive.
        start : float
            Finite start of the period.

        Returns
        -------
        Space
            ``2 n`` elements in the order cos 1, sin 1, ..., cos n, sin n.

        Examples
        --------
        >>> import spanlet
        >>> s = spanlet.Space.harmonics(2, 2.0, 0.0)
        >>> print(spanlet.inner_products(s, s).toarray().round(12))
        [[ 1.  0. -0.  0.]
         [ 0.  1. -0.  0.]
         [-0. -0.  1.  0.]
         [ 0.  0.  0.  1.]]
        """
        return Space._made("harmonics", None, (operator.index(n), period, start))

    # -- line-shape profiles ---------------------------------------------------------------

    @staticmethod
    def _profiles(method: str, centers: Any, parameters: dict, cutoff: float) -> Space:
        # Parameters are one number for every center or one value per center.
        points = vector(centers, "centers")
        arrays = []
        for name, value in parameters.items():
            array = vector(value, name, scalar=True)
            if array.size == 1 and points.size > 1:
                array = np.full(points.size, array[0])
            arrays.append(array)
        finite(points, "centers")
        return Space._made(method, None, (points, *arrays, cutoff))

    @staticmethod
    def gaussians(centers: Any, sigma: Any, cutoff: float) -> Space:
        r"""Gaussians :math:`\exp(-(x - c)^2 / 2\sigma^2)`, 1 at their centers, cut at
        ``cutoff`` standard deviations on both sides (both ends included).

        Parameters
        ----------
        centers : array_like, shape (n,)
            Finite centers.
        sigma : array_like or float
            Positive standard deviations: one for all, or one per center.
        cutoff : float
            Finite, positive number of standard deviations kept on each side.

        Returns
        -------
        Space
            ``n`` profile elements; integrals and inner products are adaptive.

        Examples
        --------
        >>> import spanlet
        >>> s = spanlet.Space.gaussians([0, 10], 1, 3)
        >>> print(s.lower(), s.upper())
        [-3.  7.] [ 3. 13.]
        >>> print(s.integrals().round(6))
        [2.499861 2.499861]
        """
        return Space._profiles("gaussians", centers, {"sigma": sigma}, cutoff)

    @staticmethod
    def lorentzians(centers: Any, hwhm: Any, cutoff: float) -> Space:
        r"""Lorentzians :math:`1 / (((x - c) / h)^2 + 1)`, 1 at their centers, cut at ``cutoff``
        half widths on both sides.

        Parameters
        ----------
        centers : array_like, shape (n,)
        hwhm : array_like or float
            Positive half widths at half maximum :math:`h`: one for all, or one per center.
        cutoff : float
            Finite, positive number of half widths kept on each side.

        Returns
        -------
        Space

        Examples
        --------
        >>> import spanlet
        >>> s = spanlet.Space.lorentzians([0], 2, 10)
        >>> print(spanlet.evaluate(s, [2, 20]).toarray())
        [[0.5       ]
         [0.00990099]]
        """
        return Space._profiles("lorentzians", centers, {"hwhm": hwhm}, cutoff)

    @staticmethod
    def voigts(centers: Any, sigma: Any, gamma: Any, cutoff: float) -> Space:
        r"""Voigt profiles (a Gaussian of standard deviation ``sigma`` convolved with a Lorentzian
        of half width ``gamma``), scaled to 1 at their centers and cut at ``cutoff`` half widths.

        The value is :math:`\mathrm{Re}\,w((x - c + i\gamma) / (\sigma\sqrt 2))` over its value
        at the center, :math:`w` the Faddeeva function. The half width is the approximation of
        Olivero and Longbothum (about 2e-4 relative). A zero ``sigma`` gives a Lorentzian, a zero
        ``gamma`` a Gaussian (cut at ``cutoff`` sigmas).

        Parameters
        ----------
        centers : array_like, shape (n,)
        sigma, gamma : array_like or float
            Finite, non-negative, not both 0: one for all, or one per center.
        cutoff : float
            Finite, positive number of half widths kept on each side.

        Returns
        -------
        Space

        Examples
        --------
        >>> import spanlet
        >>> s = spanlet.Space.voigts([0], 1, 0.5, 10)
        >>> print(spanlet.evaluate(s, [0, 1]).toarray().round(6))
        [[1.      ]
         [0.717604]]
        """
        return Space._profiles("voigts", centers, {"sigma": sigma, "gamma": gamma}, cutoff)

    @staticmethod
    def pseudo_voigts(centers: Any, hwhm: Any, eta: Any, cutoff: float) -> Space:
        r"""Pseudo-Voigt profiles :math:`\eta L + (1 - \eta) G`: a Lorentzian and a Gaussian of the
        same half width, 1 at their centers, cut at ``cutoff`` half widths.

        Parameters
        ----------
        centers : array_like, shape (n,)
        hwhm : array_like or float
            Positive half widths at half maximum.
        eta : array_like or float
            Lorentzian fractions in [0, 1].
        cutoff : float
            Finite, positive number of half widths kept on each side.

        Returns
        -------
        Space

        Examples
        --------
        >>> import spanlet
        >>> s = spanlet.Space.pseudo_voigts([0], 1, 0.5, 10)
        >>> print(spanlet.evaluate(s, [1]).toarray())
        [[0.5]]
        """
        return Space._profiles("pseudo_voigts", centers, {"hwhm": hwhm, "eta": eta}, cutoff)

    @staticmethod
    def super_gaussians(centers: Any, hwhm_left: Any, hwhm_right: Any, power: Any, cutoff: float) -> Space:
        r"""Super-Gaussians :math:`\exp(-\ln 2\, (|x - c| / h)^p)`, with :math:`h` the half width
        on the side of x; flat-topped for large powers. Cut at ``cutoff`` half widths per side.

        Parameters
        ----------
        centers : array_like, shape (n,)
        hwhm_left, hwhm_right : array_like or float
            Positive half widths below and above the center.
        power : array_like or float
            Exponents :math:`p \ge 1`.
        cutoff : float
            Finite, positive number of half widths kept on each side.

        Returns
        -------
        Space

        Examples
        --------
        >>> import spanlet
        >>> s = spanlet.Space.super_gaussians([0], 1, 3, 4, 2)
        >>> print(s.lower(), s.upper())
        [-2.] [6.]
        """
        return Space._profiles("super_gaussians", centers,
                               {"hwhm_left": hwhm_left, "hwhm_right": hwhm_right, "power": power}, cutoff)

    @staticmethod
    def smoothed_boxes(centers: Any, half_width: Any, sigma: Any, cutoff: float) -> Space:
        r"""Boxes of half width ``half_width`` smoothed by a Gaussian of standard deviation
        ``sigma``, scaled to 1 at their centers and cut at ``half_width + cutoff * sigma``.

        Parameters
        ----------
        centers : array_like, shape (n,)
        half_width, sigma : array_like or float
            Positive half widths of the boxes and standard deviations of the smoothing.
        cutoff : float
            Finite, positive number of standard deviations kept beyond each edge.

        Returns
        -------
        Space

        Examples
        --------
        >>> import spanlet
        >>> s = spanlet.Space.smoothed_boxes([0], 2, 0.1, 5)
        >>> print(spanlet.evaluate(s, [0, 2, 4]).toarray().round(6))
        [[1. ]
         [0.5]
         [0. ]]
        """
        return Space._profiles("smoothed_boxes", centers, {"half_width": half_width, "sigma": sigma}, cutoff)

    # -- piecewise spaces ------------------------------------------------------------------

    @staticmethod
    def hats(nodes: Any) -> Space:
        r"""Piecewise-linear hat functions: the linear interpolation basis on ``nodes``.

        Hat :math:`i` is 1 at ``nodes[i]`` and falls linearly to 0 at the neighbouring nodes; the
        first and the last are half hats. They sum to 1 on ``[nodes[0], nodes[-1]]``.

        Parameters
        ----------
        nodes : array_like, shape (n,)
            At least 2 finite, strictly increasing values.

        Returns
        -------
        Space
            ``n`` elements.

        Examples
        --------
        >>> import spanlet
        >>> s = spanlet.Space.hats([0, 1, 3])
        >>> print(spanlet.evaluate(s, 2).toarray())
        [[0.  0.5 0.5]]
        """
        return Space._made("hats", None, (vector(nodes, "nodes"),))

    @staticmethod
    def boxes(edges: Any) -> Space:
        r"""Indicator functions of the cells ``[edges[i], edges[i + 1])``.

        Parameters
        ----------
        edges : array_like, shape (n + 1,)
            At least 2 finite, strictly increasing values.

        Returns
        -------
        Space
            ``n`` elements of height 1 (not unit area); the last edge belongs to no box.

        Examples
        --------
        >>> import spanlet
        >>> s = spanlet.Space.boxes([0, 1, 2])
        >>> print(s.integrals())
        [1. 1.]
        """
        return Space._made("boxes", None, (vector(edges, "edges"),))

    @staticmethod
    def deltas(x: Any) -> Space:
        r"""Unit point masses :math:`\delta(t - x_i)`: point samples as kernels.

        Measuring a function through a delta kernel gives its value at the point, so
        ``Space.deltas(x)`` is the kernel space of point data in :class:`Fit`.

        Parameters
        ----------
        x : array_like or float
            Finite positions, in any order; repeats are kept.

        Returns
        -------
        Space
            One element per position.

        Examples
        --------
        >>> import spanlet
        >>> spanlet.Space.deltas([0.5, 0.25, 2])
        Space(3 deltas on [0.25, 2])
        """
        points = vector(x, "x", scalar=True)
        finite(points, "x")
        return Space._made("deltas", None, (points,))

    @staticmethod
    def triangles(centers: Any, hwhm: Any) -> Space:
        r"""Triangles of height 1 on :math:`[c - 2h, c + 2h]` with half width at half maximum h.

        Parameters
        ----------
        centers : array_like, shape (n,)
            Peak positions, in any order.
        hwhm : array_like or float
            Positive half widths at half maximum: one for all, or one per center.

        Returns
        -------
        Space
            ``n`` hat elements.

        Examples
        --------
        >>> import spanlet
        >>> s = spanlet.Space.triangles([0, 10], 1)
        >>> print(spanlet.evaluate(s, [1, 10]).toarray())
        [[0.5 0. ]
         [0.  1. ]]
        """
        points, half = vector(centers, "centers"), vector(hwhm, "hwhm", scalar=True)
        finite(points, "centers")
        positive(half, "hwhm")
        return Space._made("triangles", None, (points, half))

    @staticmethod
    def rectangles(centers: Any, widths: Any) -> Space:
        r"""Boxes :math:`[c - w/2, c + w/2)` of height 1.

        Parameters
        ----------
        centers : array_like, shape (n,)
        widths : array_like or float
            Positive full widths: one for all, or one per center.

        Returns
        -------
        Space
            ``n`` box elements.

        Examples
        --------
        >>> import spanlet
        >>> spanlet.Space.rectangles([0, 3], 2)
        Space(2 rectangles on [-1, 4])
        """
        points, full = vector(centers, "centers"), vector(widths, "widths", scalar=True)
        finite(points, "centers")
        positive(full, "widths")
        return Space._made("rectangles", None, (points, full))

    @staticmethod
    def trapezoids(centers: Any, top: Any, bottom: Any) -> Space:
        r"""Trapezoids: 1 on :math:`[c - \mathrm{top}, c + \mathrm{top}]`, 0 beyond
        :math:`c \pm \mathrm{bottom}`, linear in between.

        Parameters
        ----------
        centers : array_like, shape (n,)
        top, bottom : array_like or float
            Half widths of the flat top and of the base (``0 <= top <= bottom``, ``bottom > 0``):
            one for all, or one per center.

        Returns
        -------
        Space
            ``n`` elements.

        Examples
        --------
        >>> import spanlet
        >>> s = spanlet.Space.trapezoids([0], 1, 2)
        >>> print(spanlet.evaluate(s, [0, 1.5]).toarray().ravel())
        [1.  0.5]
        """
        points = vector(centers, "centers")
        flat, base = vector(top, "top", scalar=True), vector(bottom, "bottom", scalar=True)
        finite(points, "centers")
        return Space._made("trapezoids", None, (points, flat, base))

    # -- tabulated shapes ------------------------------------------------------------------

    @staticmethod
    def tabulated(centers: Any, x: Any, y: Any, interp: str) -> Space:
        r"""Elements given by tables: element :math:`i` is the interpolant of the table
        :math:`(c_i + x_{i,k}, y_{i,k})`.

        Parameters
        ----------
        centers : array_like, shape (n,)
        x : array_like, shape (m,), (1, m) or (n, m)
            Offsets from the center, strictly increasing; one row for all elements or one per
            element.
        y : array_like, shape (n, m)
            Values, one row per element.
        interp : {"linear", "pchip"}
            "linear": piecewise-linear interpolation; "pchip": monotone piecewise-cubic Hermite
            interpolation (the same interpolant as ``scipy.interpolate.PchipInterpolator``).

        Returns
        -------
        Space
            ``n`` elements, each supported on ``[c + x[0], c + x[-1]]`` and 0 at its last
            abscissa (half-open).

        Examples
        --------
        >>> import spanlet
        >>> s = spanlet.Space.tabulated([0, 5], [-1, 0, 1], [[0, 1, 0], [0, 2, 0]], "linear")
        >>> print(spanlet.evaluate(s, [0.5, 5]).toarray())
        [[0.5 0. ]
         [0.  2. ]]
        """
        return Space._made("tabulated", None, (vector(centers, "centers"), rows(x, "x", single_row=True),
                                               rows(y, "y", single_row=True), interp))

    @staticmethod
    def shifted(shape_x: Any, shape_y: Any, centers: Any, stretch: Any, interp: str) -> Space:
        r"""Copies of one tabulated shape :math:`s` placed at ``centers`` and stretched:
        element :math:`i` is :math:`s((t - c_i) / \sigma_i)` (no :math:`1/\sigma` factor).

        Parameters
        ----------
        shape_x, shape_y : array_like, shape (m,)
            The table of the shape; ``shape_x`` strictly increasing.
        centers : array_like, shape (n,)
        stretch : array_like or float
            Positive stretch factors: one for all, or one per center.
        interp : {"linear", "pchip"}
            As in :meth:`tabulated`.

        Returns
        -------
        Space
            ``n`` elements sharing one shape.

        Examples
        --------
        >>> import spanlet
        >>> s = spanlet.Space.shifted([-1, 0, 1], [0, 1, 0], [0, 10], 2, "linear")
        >>> print(s.lower(), s.upper())
        [-2.  8.] [ 2. 12.]
        """
        return Space._made("shifted", None, (vector(shape_x, "shape_x"), vector(shape_y, "shape_y"),
                                             vector(centers, "centers"), vector(stretch, "stretch", scalar=True),
                                             interp))

    # -- transforms ------------------------------------------------------------------------

    def take(self, indices: Sequence[int]) -> Space:
        """The space of the selected elements, in the order of ``indices``.

        Parameters
        ----------
        indices : sequence of int
            Indices into this space; repeats are allowed, an empty sequence gives an empty space.

        Returns
        -------
        Space

        Examples
        --------
        >>> import spanlet
        >>> s = spanlet.Space.boxes([0, 1, 2, 3]).take([2, 0])
        >>> print(s.lower())
        [2. 0.]
        """
        if isinstance(indices, np.ndarray):
            indices = indices.tolist()
        return Space._made("take", self, (indices,))

    def derivative(self, order: int = 1) -> Space:
        r"""The space of the ``order``-th derivatives :math:`\phi_i^{(\mathrm{order})}`.

        Parameters
        ----------
        order : int, optional
            Derivative order (default 1); 0 copies the space.

        Returns
        -------
        Space
            Same number and order of elements.

        Raises
        ------
        ValueError
            For order >= 1 on a space with point masses or mapped elements.

        Examples
        --------
        >>> import spanlet
        >>> d = spanlet.Space.hats([0, 1, 3]).derivative(1)
        >>> print(spanlet.evaluate(d, [0.5, 2]).toarray())
        [[-1.   1.   0. ]
         [ 0.  -0.5  0.5]]
        """
        return Space._made("derivative", self, (order,))

    def mapped(self, kind: str, a: float, b: float = 1.0, jacobian: bool = False) -> Space:
        r"""The elements carried through a change of variable :math:`x = \mathrm{forward}(u)`.

        The new element is :math:`\psi(x) = \phi(u(x))`, times :math:`|du/dx|` with
        ``jacobian``, so that with the Jacobian the integral over :math:`x` equals the integral
        of :math:`\phi` over :math:`u`.

        Parameters
        ----------
        kind : {"affine", "reciprocal"}
            "affine": :math:`x = a + b u`; "reciprocal": :math:`x = a / u` (for example
            wavenumber to wavelength), ``b`` unused; every support must lie on one side of 0.
        a, b : float
            Map parameters.
        jacobian : bool, optional
            Multiply by :math:`|du/dx|` (:math:`1/|b|` or :math:`|a|/x^2`). Default False.

        Returns
        -------
        Space

        Examples
        --------
        >>> import spanlet
        >>> s = spanlet.Space.boxes([0, 1]).mapped("affine", 1, 2)
        >>> print(s.lower(), s.upper(), s.integrals())
        [1.] [3.] [2.]
        """
        try:
            return Space._made("mapped", self, (kind, a, b, jacobian))
        except ValueError as error:
            if str(error) != "delta position must be finite":
                raise
            raise ValueError(f"the {kind} map with a={a!r}, b={b!r} sends a point mass to a non-finite "
                             "position") from error

    # -- accessors -------------------------------------------------------------------------

    def lower(self) -> np.ndarray:
        """The lower end of every element's support, shape (n,).

        Examples
        --------
        >>> import spanlet
        >>> print(spanlet.Space.hats([0, 1, 3]).lower())
        [0. 0. 1.]
        """
        return self._native.lower()

    def upper(self) -> np.ndarray:
        """The upper end of every element's support, shape (n,).

        Examples
        --------
        >>> import spanlet
        >>> print(spanlet.Space.hats([0, 1, 3]).upper())
        [1. 3. 3.]
        """
        return self._native.upper()

    def centers(self) -> np.ndarray:
        """The center of every element, shape (n,): the peak of a hat, the midpoint of a box
        or of a B-spline's support, the position of a point mass.

        Examples
        --------
        >>> import spanlet
        >>> print(spanlet.Space.boxes([0, 1, 3]).centers())
        [0.5 2. ]
        """
        return self._native.centers()

    def integrals(self, weight: float | None = None) -> np.ndarray:
        r"""The integral of every element, :math:`\int \phi_i(t)\,w(t)\,dt`, shape (n,).

        Parameters
        ----------
        weight : float, optional
            None (default) for :math:`w = 1`, or a non-zero finite frequency :math:`\omega` for
            the cosine weight :math:`w(t) = \cos(\omega t)` (not sample weights). Polynomial
            pieces are integrated in closed form at any :math:`\omega`; rounding the phase
            :math:`\omega t` costs about :math:`\varepsilon\,|\omega t|` absolute.

        Returns
        -------
        numpy.ndarray of float64, shape (n,)

        Examples
        --------
        >>> import spanlet
        >>> print(spanlet.Space.hats([0, 1, 3]).integrals())
        [0.5 1.5 1. ]
        """
        return self._native.integrals(cosine_frequency(weight))


def _replay(method: str, parent: Space | None, args: tuple) -> Space:
    return Space._made(method, parent, args)
