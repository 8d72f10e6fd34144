// A dense matrix over GF(2), one bit per entry, each row packed in 64-bit words.
//
// Layout (check_layout() asserts all of it in builds with asserts on):
//   - bit c of a row is bit c % 64 of its word c / 64: least significant first;
//   - every row owns `stride()` words, a multiple of 4 (one 256-bit vector),
//     and starts on a 32-byte boundary, so kernels may load whole vectors;
//   - bits at columns >= cols() (the padding) are zero.  Kernels XOR whole
//     words and vectors, and rank and kernel reads take a non-zero word as a
//     non-zero row, so every operation keeps the padding clear;
//   - row(i) is a pointer into one allocation, and the row pointers are a
//     permutation of its rows: exchanging two rows exchanges two pointers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "engine/memory.hpp"

namespace quillmat::engine {

using Word = std::uint64_t;
inline constexpr std::size_t word_bits = 64;
inline constexpr std::size_t vector_words = 4;

constexpr std::size_t words_for(std::size_t bits) {
  return (bits + word_bits - 1) / word_bits;
}

// Word storage aligned to 32 bytes and zeroed, from calloc: pages of a large
// block are mapped lazily and cost nothing until written.  It takes its
// bytes from the engine's memory budget first (engine/memory.hpp).
class WordBlock {
 public:
  WordBlock() = default;
  explicit WordBlock(std::size_t words);
  Word* data() const noexcept { return aligned_; }

 private:
  struct Free {
    void operator()(void* block) const noexcept { std::free(block); }
  };
  MemoryReservation reservation_;
  std::unique_ptr<void, Free> block_;
  Word* aligned_ = nullptr;
};

// Transposes a 64 x 64 bit block in place: bit j of word i goes to bit i of word j.
inline void transpose64(Word* block) {
  Word mask = 0x00000000ffffffffULL;
  for (unsigned width = 32; width != 0; width >>= 1, mask ^= mask << width) {
    for (unsigned i = 0; i < 64; i = (i + width + 1) & ~width) {
      const Word swapped = ((block[i] >> width) ^ block[i + width]) & mask;
      block[i] ^= swapped << width;
      block[i + width] ^= swapped;
    }
  }
}

class BitMatrix {
 public:
  // The words each row of a matrix of `cols` columns owns.
  static constexpr std::size_t stride_for(std::size_t cols) {
    return (words_for(cols) + vector_words - 1) / vector_words * vector_words;
  }

  BitMatrix() = default;
  BitMatrix(std::size_t rows, std::size_t cols);
  BitMatrix(BitMatrix&&) noexcept = default;
  BitMatrix& operator=(BitMatrix&&) noexcept = default;
  // A copy with the same logical rows, laid out in order.
  BitMatrix clone() const;

  std::size_t rows() const noexcept { return rows_.size(); }
  std::size_t cols() const noexcept { return cols_; }
  // Words that hold columns: words_for(cols()).
  std::size_t words() const noexcept { return words_; }
  std::size_t stride() const noexcept { return stride_; }

  Word* row(std::size_t i) noexcept { return rows_[i]; }
  const Word* row(std::size_t i) const noexcept { return rows_[i]; }
  bool get(std::size_t i, std::size_t c) const noexcept {
    return rows_[i][c / word_bits] >> (c % word_bits) & 1;
  }
  void set(std::size_t i, std::size_t c) noexcept {
    rows_[i][c / word_bits] |= Word{1} << (c % word_bits);
  }
  void swap_rows(std::size_t a, std::size_t b) noexcept { std::swap(rows_[a], rows_[b]); }
  // The row pointers, for algorithms that reorder many rows at once.
  std::vector<Word*>& row_order() noexcept { return rows_; }

  // Asserts the layout above (a no-op when NDEBUG is defined).
  void check_layout() const;

 private:
  std::size_t cols_ = 0;
  std::size_t words_ = 0;
  std::size_t stride_ = 0;
  WordBlock storage_;
  std::vector<Word*> rows_;
};

}  // namespace quillmat::engine
