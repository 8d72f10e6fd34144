// Block Wiedemann over GF(2) on the direct system: whether its columns are
// independent, and the annihilators it has, each answer with a proof.
//
// M (black_box.hpp) is W x D over GF(2).  With the square B = M^T Q M
// (Q a random sparse mixing of the rows, wiedemann.cpp) and random blocks X
// and Y of 64 vectors each (a word a coordinate), the sequence
//
//   S_i = X^T B^(i+1) Y,  i < sigma = 2 (ceil(min(D, W) / 64) + slack) - 1,
//
// of 64 x 64 matrices costs sigma products by B, each two transforms on 64
// vectors at once (Coppersmith 1994).  Its block Hankel matrices are
// K_X^T B K_Y for the Krylov blocks K_X and K_Y, so their rank is at most
// rank(B) <= rank(M); lingen.hpp finds that rank from a checked
// approximant basis.
//
// What is proved, whatever the random choices were:
//   - a block Hankel matrix of rank D: B is invertible, so M's columns are
//     independent: no annihilator;
//   - rank(M) >= that rank r in every case: at most D - r independent
//     annihilators;
//   - each annihilator returned satisfies M g = 0, checked by a product.
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

// One try of block Wiedemann with the random choices that `seed` gives.
KernelProbe probe_kernel(DirectSystem& system, std::uint64_t seed, Control& control);
// The bytes a try holds beyond the system, for D columns and W rows.
std::uint64_t probe_memory(std::uint64_t columns, std::uint64_t rows) noexcept;
// The terms of the sequence of a try on D columns and W rows: its products
// by B.
std::uint64_t sequence_terms(std::uint64_t columns, std::uint64_t rows) noexcept;

// Faults put in on purpose, for the tests that show a broken step cannot
// give a wrong answer: the next `count` tries change a bit of the
// approximant basis found and claim full rank from it, or corrupt the
// kernel vectors found, before their checks.
enum class Fault { none, generator, kernel_vector };
void inject_faults(Fault fault, unsigned count) noexcept;

}  // namespace quillmat::engine
