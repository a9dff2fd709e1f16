// The Faddeeva function w(z) = exp(-z^2) erfc(-iz) in the upper half-plane.
//
// Method: Weideman's rational expansion with N = 40 terms (J. A. C. Weideman, "Computation of the
// complex error function", SIAM J. Numer. Anal. 31 (1994) 1497-1518):
//   w(z) = 2 P(Z) / (L - iz)^2 + 1 / (sqrt(pi) (L - iz)),  Z = (L + iz) / (L - iz),
// P a polynomial of degree 39 (evaluated as four interleaved Horner chains in Z^4) whose coefficients are the Fourier coefficients of
// exp(-t^2) (L^2 + t^2) sampled at t = L tan(k pi / 160), L = sqrt(N / sqrt 2).
// Where x^2 or (L + y)^2 would overflow (|x| or y above 1e150) the leading asymptotic term
// i / (sqrt(pi) z) is used instead; it is exact to double precision there.
//
// Accuracy measured against 30-digit references (tests/data/faddeeva.txt, up to |x|, y = 1e12):
// |w - w_ref| / |w_ref| at most 1.8e-15 for |z| < 1, 1.1e-15 for 1 <= |z| < 10 and 4e-16 beyond.
// Re w and Im w are as accurate relative to |w|; where
// Re w << |w| (y << 1 < |x|) the relative error of Re w grows by |w| / |Re w|.
//
// Kernels never fail and never allocate; no check is made on y (for y < 0 the value is whatever
// the expansion gives), and non-finite input propagates as NaN or infinity.
#pragma once

#include <array>
#include <cstddef>

namespace spanlet {

struct Complex {
    double re, im;
};

// The expansion's coefficient table, built once per process on first use.
struct Weideman {
    static constexpr int N = 40;
    std::array<double, N> coefficients;  // a_1 .. a_40, index 0 holding a_1
    double scale;                        // L

    static const Weideman& get();
};

// w(x + iy) for y >= 0.
Complex faddeeva(double x, double y) noexcept;

// Re w(x[i] + iy) for i < n, bit for bit as faddeeva(x[i], y).re: the points run side by side
// through the same operations (in SIMD lanes where the processor has them).
void faddeeva_re(const double* x, double y, double* re, std::size_t n) noexcept;
// w(x[i] + iy) = re[i] + i im[i] for i < n, likewise bit for bit as faddeeva(x[i], y).
void faddeeva(const double* x, double y, double* re, double* im, std::size_t n) noexcept;

}  // namespace spanlet
