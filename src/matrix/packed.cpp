#include "matrix/packed.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cassert>
#include <cstdint>
#include <cstring>

#include "matrix/interrupt.hpp"
#include "matrix/operations.hpp"
#include "vector_clones.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace quillmat {
namespace {

// spread[b]: the 8 bytes, each 0 or 1, whose bit j is bit j of b.
constexpr auto spread = [] {
  std::array<std::array<Cell, 8>, 256> table{};
  for (unsigned b = 0; b < 256; ++b) {
    for (unsigned j = 0; j < 8; ++j) table[b][j] = static_cast<Cell>(b >> j & 1);
  }
  return table;
}();

// Sets bit c of `words` for each cell c equal to 1, and tells whether every
// cell was 0 or 1 (when not, `words` means nothing).
bool pack_row(const Cell* cells, std::size_t columns, std::uint64_t* words) {
  std::size_t c = 0;
  Cell any = 0;
#if defined(__SSE2__)
  // Shifting each 0/1 byte to its top bit lets movemask gather 16 cells at once.
  __m128i wide = _mm_setzero_si128();
  for (; c + 16 <= columns; c += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(cells + c));
    wide = _mm_or_si128(wide, v);
    const auto sixteen = static_cast<std::uint64_t>(_mm_movemask_epi8(_mm_slli_epi16(v, 7)));
    words[c / 64] |= sixteen << (c % 64);  // c % 64 is a multiple of 16: no word straddled
  }
  // A cell above 1 has a bit set outside bit 0.
  if (_mm_movemask_epi8(
          _mm_cmpeq_epi8(_mm_and_si128(wide, _mm_set1_epi8(~1)), _mm_setzero_si128())) != 0xffff) {
    return false;
  }
#endif
  for (; c < columns; ++c) {
    any |= cells[c];
    words[c / 64] |= std::uint64_t{cells[c] & 1u} << (c % 64);
  }
  return any <= 1;
}

// Physical row `target` ^= physical row `source` on words first .. words-1, for
// each (target, source) in order.
QUILLMAT_VECTOR_CLONES
void add_slots(std::uint64_t* bits, std::size_t words, std::size_t first,
               const IndexPair* additions, std::size_t count) {
  // Raw pointers only: clang cannot link a cloned function's inline library calls.
  for (std::size_t a = 0; a < count; ++a) {
    const auto [target, source] = additions[a];
    std::uint64_t* out = bits + target * words;
    const std::uint64_t* in = bits + source * words;
    for (std::size_t w = first; w < words; ++w) out[w] ^= in[w];
  }
}

// Reserves room for the operations Gauss-Jordan may record, at most per
// pivot an exchange (3) and rows - 1 additions, so that a growing vector is
// not copied again and again; pages never written cost nothing.  Past
// `most` pairs (512 MiB) the vector grows as it goes.
void reserve_operations(Operations& operations, std::size_t rows, std::size_t columns) {
  constexpr std::size_t most = std::size_t{1} << 25;
  const std::size_t pivots = std::min(rows, columns);
  const std::size_t bound = pivots > most / (rows + 2) ? most : pivots * (rows + 2);
  try {
    operations.reserve(operations.size() + bound);
  } catch (const std::exception&) {
    // No room for it at once: the vector grows as it goes.
  }
}

}  // namespace

PackedRows::PackedRows(std::size_t rows, std::size_t columns)
    : rows_(rows), columns_(columns), words_((columns + 63) / 64), bits_(rows * words_) {
  order_.resize(rows);
  for (std::size_t r = 0; r < rows; ++r) order_[r] = r;
}

std::optional<PackedRows> PackedRows::pack(const Rows& rows) {
  if (rows.empty() || rows[0].empty()) return std::nullopt;
  const std::size_t columns = rows[0].size();
  for (const Row& row : rows) {
    if (row.size() != columns) return std::nullopt;
  }
  PackedRows packed(rows.size(), columns);
  for (std::size_t r = 0; r < rows.size(); ++r) {
    interruption_point(columns);
    if (!pack_row(rows[r].data(), columns, packed.row(r))) return std::nullopt;
  }
  assert((packed.check_layout(), true));
  return packed;
}

void PackedRows::check_layout() const {
#ifndef NDEBUG
  std::vector<bool> seen(rows_);
  for (std::size_t slot : order_) {
    assert(slot < rows_ && !seen[slot]);
    seen[slot] = true;
  }
  assert(bits_.size() == rows_ * words_);
  if (columns_ % 64 != 0) {
    const std::uint64_t padding = ~std::uint64_t{0} << (columns_ % 64);
    for (std::size_t r = 0; r < rows_; ++r) assert((row(r)[words_ - 1] & padding) == 0);
  }
#endif
}

std::optional<std::pair<Matrix, Operations>> packed_gauss_jordan(const Rows& rows) {
  std::optional<PackedRows> packed = PackedRows::pack(rows);
  if (!packed) return std::nullopt;
  Operations operations;
  packed->gauss_jordan(operations);
  return std::pair{Matrix{packed->unpack()}, std::move(operations)};
}

std::optional<Rows> packed_kernel(const Rows& rows) {
  std::optional<PackedRows> packed = PackedRows::pack(rows);
  if (!packed) return std::nullopt;
  return packed->kernel();
}

Rows PackedRows::unpack() const {
  Rows rows(rows_, Row(columns_));
  for (std::size_t r = 0; r < rows_; ++r) {
    interruption_point(columns_);
    const std::uint64_t* words = row(r);
    Cell* cells = rows[r].data();
    std::size_t c = 0;
    for (; c + 8 <= columns_; c += 8) {
      std::memcpy(cells + c, spread[words[c / 64] >> (c % 64) & 0xff].data(), 8);
    }
    for (; c < columns_; ++c) cells[c] = static_cast<Cell>(bit(r, c));
  }
  return rows;
}

void PackedRows::gauss_jordan(Operations& operations) {
  reserve_operations(operations, rows_, columns_);
  // Whether row k holds a 1 in column q depends only on the word of q in each
  // row, since additions move whole rows.  So the columns are taken a word at
  // a time: the word of every row is gathered into `column_word` (L1-sized
  // and contiguous), the block's pivots, exchanges and additions are decided
  // and recorded on it alone, and then the additions are applied to the
  // later words of the rows, in the order recorded.
  //
  // Invariant: rows 0 .. i-1 hold the pivots found so far; every row is 0 in
  // the columns before the block that hold no pivot, and each pivot row is 0
  // in the words before its own.
  std::vector<std::uint64_t> column_word(rows_);
  // live, bit k: row k's word may be non-zero.  A row whose word is 0 is
  // never a pivot or a target in the block, and stays 0.  When few rows are
  // live (a matrix reduced but for a few rows, as grown step by step), only
  // they are visited.
  std::vector<std::uint64_t> live((rows_ + 63) / 64);
  std::vector<IndexPair> additions;  // (target slot, source slot) of the block
  std::vector<std::size_t> targets(rows_);
  std::size_t i = 0;
  for (std::size_t word = 0; word < words_ && i < rows_; ++word) {
    std::size_t live_rows = 0;
    std::fill(live.begin(), live.end(), 0);
    for (std::size_t k = 0; k < rows_; ++k) {
      column_word[k] = row(k)[word];
      const bool nonzero = column_word[k] != 0;
      live[k / 64] |= std::uint64_t{nonzero} << (k % 64);
      live_rows += nonzero;
    }
    // The first row at or after k worth visiting; rows_ when there is none.
    const bool sparse = live_rows * 8 < rows_;
    auto next = [&](std::size_t k) -> std::size_t {
      if (!sparse || k >= rows_) return k;
      std::size_t w = k / 64;
      std::uint64_t bits = live[w] & (~std::uint64_t{0} << (k % 64));
      while (bits == 0) {
        if (++w == live.size()) return rows_;
        bits = live[w];
      }
      return w * 64 + static_cast<std::size_t>(std::countr_zero(bits));
    };
    additions.clear();
    const std::size_t end = std::min(columns_, (word + 1) * 64);
    for (std::size_t q = word * 64; q < end && i < rows_; ++q) {
      interruption_point(sparse ? live_rows : rows_);
      const std::uint64_t mask = std::uint64_t{1} << (q % 64);
      std::size_t j = next(i);
      while (j < rows_ && !(column_word[j] & mask)) j = next(j + 1);
      if (j == rows_) continue;
      if (j != i) {
        std::swap(order_[i], order_[j]);
        std::swap(column_word[i], column_word[j]);
        const std::uint64_t bit_i = std::uint64_t{1} << (i % 64);
        const std::uint64_t bit_j = std::uint64_t{1} << (j % 64);
        const bool was_live = live[i / 64] & bit_i;
        live[i / 64] |= bit_i;
        live[j / 64] = was_live ? live[j / 64] | bit_j : live[j / 64] & ~bit_j;
        record_exchange(operations, i, j);
      }
      // The rows holding a 1 in column q, gathered without a branch per row
      // (on random cells that branch is a coin toss), then worked in order.
      std::size_t hits = 0;
      for (std::size_t k = next(0); k < rows_; k = next(k + 1)) {
        targets[hits] = k;
        hits += column_word[k] >> (q % 64) & 1;
      }
      const std::uint64_t pivot = column_word[i];
      for (std::size_t h = 0; h < hits; ++h) {
        const std::size_t k = targets[h];
        if (k == i) continue;
        column_word[k] ^= pivot;
        record_addition(operations, k, i);
        additions.emplace_back(order_[k], order_[i]);
      }
      ++i;
    }
    for (std::size_t k = 0; k < rows_; ++k) row(k)[word] = column_word[k];
    // The additions of a block, a few thousand at a time between interruption points.
    constexpr std::size_t batch = 4096;
    for (std::size_t a = 0; a < additions.size(); a += batch) {
      const std::size_t count = std::min(batch, additions.size() - a);
      add_slots(bits_.data(), words_, word + 1, additions.data() + a, count);
      interruption_point(count * (words_ - word) * 64);
    }
  }
  assert((check_layout(), true));
}

Rows PackedRows::kernel() const {
  // Pivot detection exactly as on bytes: the pointer r rests on a row until
  // that row shows a 1 in the column visited.
  constexpr std::size_t none = SIZE_MAX;
  std::vector<IndexPair> pivots;          // (column, row), in increasing column order
  std::vector<std::size_t> free_columns;  // free column f of the basis is free_columns[f]
  std::vector<std::size_t> free_index(columns_, none), pivot_index(columns_, none);
  for (std::size_t c = 0, r = 0; c < columns_; ++c) {
    if (r < rows_ && bit(r, c)) {
      pivot_index[c] = pivots.size();
      pivots.emplace_back(c, r++);
    } else {
      free_index[c] = free_columns.size();
      free_columns.push_back(c);
    }
  }
  // On bytes, vector f starts as the unit vector of its free column and each
  // pivot column p (row r) in turn gets the parity of (vector & row r), in
  // which only the free column and the pivot columns filled before p can be
  // 1.  All vectors are computed at once here: x[t] holds, at bit f, vector
  // f's value in pivot column t, so x[t] is the XOR of the unit bits of the
  // free columns where row r has a 1 and of x[t'] for each earlier pivot
  // column t' where row r has a 1.
  const std::size_t free_words = (free_columns.size() + 63) / 64;
  std::vector<std::uint64_t> x(pivots.size() * free_words);
  for (std::size_t t = 0; t < pivots.size(); ++t) {
    interruption_point(words_ * 64);
    std::uint64_t* xt = x.data() + t * free_words;
    const std::uint64_t* cells = row(pivots[t].second);
    for (std::size_t w = 0; w < words_; ++w) {
      for (std::uint64_t ones = cells[w]; ones != 0; ones &= ones - 1) {
        const std::size_t c = w * 64 + static_cast<std::size_t>(std::countr_zero(ones));
        if (const std::size_t f = free_index[c]; f != none) {
          xt[f / 64] ^= std::uint64_t{1} << (f % 64);
        } else if (const std::size_t earlier = pivot_index[c]; earlier < t) {
          const std::uint64_t* xe = x.data() + earlier * free_words;
          for (std::size_t i = 0; i < free_words; ++i) xt[i] ^= xe[i];
        }  // later pivot columns, and column t itself, are still 0
      }
    }
  }
  Rows basis(free_columns.size(), Row(columns_, 0));
  for (std::size_t f = 0; f < free_columns.size(); ++f) basis[f][free_columns[f]] = 1;
  for (std::size_t t = 0; t < pivots.size(); ++t) {
    interruption_point(free_words * 64);
    const std::uint64_t* xt = x.data() + t * free_words;
    for (std::size_t i = 0; i < free_words; ++i) {
      for (std::uint64_t ones = xt[i]; ones != 0; ones &= ones - 1) {
        basis[i * 64 + static_cast<std::size_t>(std::countr_zero(ones))][pivots[t].first] = 1;
      }
    }
  }
  return basis;
}

}  // namespace quillmat
