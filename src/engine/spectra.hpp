// The algebraic normal form and the spectra of one Boolean function: what a
// paper reports beside its algebraic immunity.
//
// For f of n variables (bit x of the table is f(x), x_i bit i of x):
//   - the ANF's coefficient of monomial m (the product of the x_i with bit
//     i of m set) is the sum over GF(2) of f(x) over the x inside m: the
//     Moebius transform, its own inverse;
//   - the Walsh spectrum is W(a) = sum_x (-1)^(f(x) + a.x), W(0) = 2^n -
//     2 wt(f), as SageMath's walsh_hadamard_transform gives it;
//   - the autocorrelation is r(a) = sum_x (-1)^(f(x) + f(x + a)), which is
//     2^-n times the Walsh transform of W^2 (Wiener-Khinchin).
// |W(a)| <= 2^n <= 2^30 fits 32 bits; W^2 sums to 2^(2n) (Parseval), so the
// autocorrelation's transform runs in 64.
#pragma once

#include <cstdint>
#include <map>
#include <vector>

#include "engine/control.hpp"
#include "engine/monomials.hpp"

namespace quillmat::engine {

// The ANF's coefficients as a table: bit m is the coefficient of monomial m.
TruthTable algebraic_normal_form(const TruthTable& f, Control& control);

// The highest weight of a monomial in the ANF; -1 for the zero function.
int algebraic_degree(const TruthTable& anf) noexcept;

// W(a) for a = 0 .. 2^n - 1.
std::vector<std::int32_t> walsh_spectrum(const TruthTable& f, Control& control);

// What the spectra give, each as SageMath defines it where it has it.
struct SpectralProfile {
  std::uint64_t nonlinearity = 0;  // 2^(n-1) - max |W| / 2
  std::int64_t max_walsh = 0;      // max over a of |W(a)|
  // The largest t with W(a) = 0 for every a of weight 1 .. t (Xiao and
  // Massey), n when all are 0.  Balanced (W(0) = 0) and t-th order
  // correlation immune is t-resilient.
  int correlation_immunity = 0;
  // max over a != 0 of |r(a)|.
  std::uint64_t absolute_indicator = 0;
  // |W| -> how many a have it.
  std::map<std::uint64_t, std::uint64_t> distribution;
};

SpectralProfile spectral_profile(const std::vector<std::int32_t>& walsh, int n, Control& control);

// The bytes the Walsh spectrum of n variables holds (spectral_profile()
// holds twice as many more for the autocorrelation's transform).
std::uint64_t spectra_memory(int n) noexcept;

}  // namespace quillmat::engine
