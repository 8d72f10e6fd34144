// Wiedemann's method over GF(2^64) on the direct system: whether its columns
// are independent, and the annihilators it has, each answer with a proof.
//
// M (black_box.hpp) is W x D over GF(2).  With random diagonal matrices
// S (D x D) and C (W x W) of nonzero elements of GF(2^64), the square
//
//   B = S M^T C M
//
// (similar to A M^T C M A for S = A^2) has, with high probability,
// rank(B) = rank(M) and a minimal polynomial of degree rank(B) + 1 (or D,
// when B is invertible): the diagonal preconditioners of Chen, Eberly,
// Kaltofen, Saunders, Turner and Villard (2002).  The sequence a_i = u^T B^i v, i < 2D, for random
// u and v, has a minimal generator P, which Berlekamp and Massey's algorithm finds.
//
// What is proved, whatever the random choices were:
//   - deg P = D and P(0) != 0: P is then B's minimal polynomial (a generator
//     of degree D of a sequence that B's own, of degree <= D, generates), so
//     B is invertible and M's columns are independent: no annihilator.
//   - rank(M) >= rank(B) >= deg P - 1 in every case: at most D - deg P + 1
//     independent annihilators.
//   - Each annihilator returned satisfies M g = 0, checked by a product.
// Random choices that prove neither are discarded, never reported: the
// caller tries again with fresh ones.
#pragma once

#include <cstdint>
#include <vector>

#include "engine/black_box.hpp"
#include "engine/control.hpp"

namespace quillmat::engine {

struct KernelProbe {
  // Proved: the columns are independent (and `annihilators` is empty).
  bool full_rank = false;
  // Proved: the kernel's dimension is at most this.
  std::uint64_t dimension_at_most = 0;
  // Independent vectors of the kernel over GF(2), each checked: D bits
  // packed in words, bit j the coefficient of monomial j.
  std::vector<std::vector<Word>> annihilators;
};

// The reduced echelon form of GF(2) vectors of equal length, each pivot its
// highest bit, ordered by pivot: the canonical basis of what they span when
// bit j stands for monomial j of the canonical order.
std::vector<std::vector<Word>> reduced_echelon(std::vector<std::vector<Word>> vectors);

// One try of Wiedemann's method with the random choices that `seed` gives.
KernelProbe probe_kernel(DirectSystem& system, std::uint64_t seed, Control& control);

// Faults put in on purpose, for the tests that show a broken step cannot
// give a wrong answer: the next `count` tries replace the generator found
// by one of full degree (which would prove B invertible), or corrupt the
// kernel vector found, before their checks.
enum class Fault { none, generator, kernel_vector };
void inject_faults(Fault fault, unsigned count) noexcept;

}  // namespace quillmat::engine
