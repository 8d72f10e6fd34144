// The matrix Berlekamp-Massey step of block Wiedemann, as an approximant
// basis, and the rank of a block Hankel matrix that it proves.
//
// A sequence S_0, S_1, ... of m x m matrices over GF(2), m = 64 K for K
// blocks of 64 (one a Krylov chain, block_split.hpp), S(x) = sum S_i x^i,
// and F = [S | I] (m x 2m).  An approximant of order sigma is a column
// v = (c; r) of 2m polynomials with F v = S c + r = 0 mod x^sigma.  With the
// shift s = (0 for the m entries of c, 1 for the m of r), v's shifted
// degree is max(deg c, deg r + 1).
//
// approximant_basis() finds 2m approximants P_0..P_(2m-1) that are an
// s-reduced basis of all of them (Beckermann and Labahn's order-by-order
// step), with shifted degrees d_j.  Their use is a count: by the predictable
// degree property, the approximants of shifted degree < b are
// sum_j u_j P_j with deg u_j < b - d_j, so there are sum_j max(0, b - d_j)
// independent ones.  And an approximant of shifted degree < b is exactly a
// kernel vector of the block Hankel matrix
//
//   H(a, b) = [S_{i+k}], 0 <= i < a, 0 <= k < b, a = sigma - b + 1,
//
// (c_k = coefficient b - 1 - k of c; r is then fixed), whose rank is thus
// m b - sum_j max(0, b - d_j).  A proof of that count needs only that P is
// an s-reduced approximant basis of order sigma, which is_approximant_basis()
// checks apart from the algorithm that found it.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "engine/bit_matrix.hpp"
#include "engine/control.hpp"

namespace quillmat::engine {

// A 64 x 64 matrix over GF(2) by columns: bit r of columns[c] is entry (r, c).
using Block = std::array<Word, 64>;

// A linear map of words over GF(2), bit i to images[i], as tables of the
// combinations of each group of `Bits` images: 64 / Bits lookups a word, in
// tables of 2^Bits * 64 / Bits words.
template <int Bits>
struct WordMapTables {
  static constexpr std::size_t groups = 64 / Bits, size = groups << Bits;
  static void fill(const std::array<Word, 64>& images, Word* tables) noexcept {
    for (std::size_t b = 0; b < groups; ++b) {
      Word* table = tables + (b << Bits);
      table[0] = 0;
      for (unsigned value = 1; value < (1u << Bits); ++value) {
        table[value] = table[value & (value - 1)] ^ images[Bits * b + __builtin_ctz(value)];
      }
    }
  }
  static Word apply(const Word* tables, Word w) noexcept {
    constexpr Word mask = (Word{1} << Bits) - 1;
    Word result = 0;
    for (std::size_t b = 0; b < groups; ++b, w >>= Bits) result ^= tables[(b << Bits) + (w & mask)];
    return result;
  }
};

// Products S_i c for one sequence of m x m terms, K x K blocks of 64 x 64 a
// term, by tables of four columns (16 lookups a block, 2 KiB a block): small
// enough that the thousands of blocks of a long sequence stay in the cache.
class BlockSequence {
 public:
  using Tables = WordMapTables<4>;
  // blocks[(i * K + a) * K + b]: block (a, b) of S_i, rows 64 a.., columns
  // 64 b...
  BlockSequence(unsigned blocks, const std::vector<Block>& terms);
  unsigned blocks() const noexcept { return blocks_; }
  std::size_t size() const noexcept { return tables_.size() / (Tables::size * blocks_ * blocks_); }
  // out ^= S_i c, for c and out of K words.
  void multiply_add(std::size_t i, const Word* c, Word* out) const noexcept {
    const Word* term = tables_.data() + i * blocks_ * blocks_ * Tables::size;
    if (blocks_ == 1) {  // one machine's one chain: the common case
      if (*c) *out ^= Tables::apply(term, *c);
      return;
    }
    for (unsigned a = 0; a < blocks_; ++a) {
      for (unsigned b = 0; b < blocks_; ++b) {
        if (c[b]) out[a] ^= Tables::apply(term + (a * blocks_ + b) * Tables::size, c[b]);
      }
    }
  }
  // The bytes a sequence of `terms` terms of K x K blocks holds.
  static std::uint64_t memory(std::uint64_t terms, unsigned blocks) noexcept {
    return 8 * Tables::size * terms * blocks * blocks;
  }

 private:
  unsigned blocks_;
  std::vector<Word> tables_;
};

struct ApproximantBasis {
  unsigned blocks = 1;  // K: the basis has 2m = 128 K columns
  // columns[j]: the coefficients of P_j, d_j + 1 of them (r's last is 0),
  // 2 K words each: c's m entries, then r's.
  std::vector<std::vector<Word>> columns;
  std::vector<std::uint64_t> degrees;  // shifted degrees d_j
  std::uint64_t order = 0;             // sigma

  std::size_t width() const noexcept { return 128 * std::size_t{blocks}; }
  std::size_t terms(std::size_t j) const noexcept { return columns[j].size() / (2 * blocks); }
  const Word* c(std::size_t j, std::size_t t) const noexcept {
    return columns[j].data() + 2 * blocks * t;
  }
  const Word* r(std::size_t j, std::size_t t) const noexcept { return c(j, t) + blocks; }
  // Whether column j has some nonzero entry of c.
  bool has_c(std::size_t j) const noexcept;
  // The rank of H(sigma - b + 1, b), proved when the basis is.
  std::uint64_t hankel_rank(std::uint64_t b) const noexcept;
};

// The basis of order s.size() from P = I, one order at a time.
ApproximantBasis approximant_basis(const BlockSequence& s, Control& control);

// Whether P is an s-reduced basis of the approximants of order sigma of s:
// each column an approximant (F P = 0 mod x^sigma), shifted degrees as
// stated, a nonsingular leading matrix and sum_j (d_j - s_j) = m sigma, the
// degree of the determinant of every basis.  Then P's columns span what a
// basis spans, and the counts above hold.
bool is_approximant_basis(const BlockSequence& s, const ApproximantBasis& p, Control& control);

}  // namespace quillmat::engine
