#include "engine/bit_matrix.hpp"

#include <algorithm>
#include <cassert>
#include <cstdint>
#include <limits>
#include <new>

namespace quillmat::engine {

WordBlock::WordBlock(std::size_t words) {
  constexpr std::size_t alignment = vector_words * sizeof(Word);
  if (words > (std::numeric_limits<std::size_t>::max() - alignment) / sizeof(Word)) {
    throw std::bad_alloc();
  }
  reservation_ = MemoryReservation(words * sizeof(Word) + alignment, "a bit matrix");
  block_.reset(std::calloc(words * sizeof(Word) + alignment, 1));
  if (!block_) throw std::bad_alloc();
  const auto address = reinterpret_cast<std::uintptr_t>(block_.get());
  aligned_ = reinterpret_cast<Word*>((address + alignment - 1) / alignment * alignment);
}

BitMatrix::BitMatrix(std::size_t rows, std::size_t cols)
    : cols_(cols), words_(words_for(cols)), stride_(stride_for(cols)) {
  if (stride_ != 0 && rows > std::numeric_limits<std::size_t>::max() / stride_) {
    throw std::bad_alloc();
  }
  storage_ = WordBlock(rows * stride_);
  rows_.resize(rows);
  for (std::size_t i = 0; i < rows; ++i) rows_[i] = storage_.data() + i * stride_;
}

BitMatrix BitMatrix::clone() const {
  BitMatrix copy(rows(), cols_);
  for (std::size_t i = 0; i < rows(); ++i) std::copy_n(rows_[i], stride_, copy.rows_[i]);
  return copy;
}

void BitMatrix::check_layout() const {
#ifndef NDEBUG
  assert(stride_ % vector_words == 0 && stride_ >= words_);
  if (stride_ == 0) return;  // no columns: no storage either
  const Word* base = storage_.data();
  std::vector<bool> seen(rows_.size());
  const Word tail = cols_ % word_bits == 0 ? 0 : ~Word{0} << (cols_ % word_bits);
  for (const Word* row : rows_) {
    const auto offset = static_cast<std::size_t>(row - base);
    assert(offset % stride_ == 0 && offset / stride_ < rows_.size() && !seen[offset / stride_]);
    seen[offset / stride_] = true;
    assert(reinterpret_cast<std::uintptr_t>(row) % (vector_words * sizeof(Word)) == 0);
    if (words_ > 0) assert((row[words_ - 1] & tail) == 0);
    for (std::size_t w = words_; w < stride_; ++w) assert(row[w] == 0);
  }
#endif
}

}  // namespace quillmat::engine
