#include "matrix/packed.hpp"

#include <array>
#include <bit>
#include <cstring>

#include "matrix/fast_paths.hpp"

namespace quillmat {
namespace {

// Gathers the low bits of 8 bytes, each 0 or 1, into one byte: byte j gives bit j.
std::uint64_t gather8(const Cell* cells) {
  std::uint64_t eight;
  std::memcpy(&eight, cells, 8);
  if constexpr (std::endian::native == std::endian::big) eight = __builtin_bswap64(eight);
  return (eight * 0x0102040810204080ULL) >> 56;
}

// spread[b]: the 8 bytes, each 0 or 1, whose bit j is bit j of b.
constexpr auto spread = [] {
  std::array<std::array<Cell, 8>, 256> table{};
  for (unsigned b = 0; b < 256; ++b) {
    for (unsigned j = 0; j < 8; ++j) table[b][j] = static_cast<Cell>(b >> j & 1);
  }
  return table;
}();

bool only_bits(const Row& row) {
  Cell any = 0;
  for (const Cell cell : row) any |= cell;
  return any <= 1;
}

#if defined(__x86_64__) && defined(__GNUC__)
__attribute__((target_clones("avx2", "default")))
#endif
void xor_words(std::uint64_t* target, const std::uint64_t* source, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) target[i] ^= source[i];
}

}  // namespace

PackedRows::PackedRows(std::size_t rows, std::size_t columns)
    : rows_(rows), columns_(columns), words_((columns + 63) / 64), bits_(rows * words_) {
  order_.resize(rows);
  for (std::size_t r = 0; r < rows; ++r) order_[r] = r;
}

std::optional<PackedRows> PackedRows::pack(const Rows& rows) {
  if (!fast_paths_enabled() || rows.empty() || rows[0].empty()) return std::nullopt;
  const std::size_t columns = rows[0].size();
  for (const Row& row : rows) {
    if (row.size() != columns || !only_bits(row)) return std::nullopt;
  }
  PackedRows packed(rows.size(), columns);
  for (std::size_t r = 0; r < rows.size(); ++r) {
    const Cell* cells = rows[r].data();
    std::uint64_t* words = packed.row(r);
    std::size_t c = 0;
    for (; c + 8 <= columns; c += 8) words[c / 64] |= gather8(cells + c) << (c % 64);
    for (; c < columns; ++c) words[c / 64] |= std::uint64_t{cells[c]} << (c % 64);
  }
  return packed;
}

Rows PackedRows::unpack() const {
  Rows rows(rows_, Row(columns_));
  for (std::size_t r = 0; r < rows_; ++r) {
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
  // Invariant: rows 0 .. i-1 hold the pivots found so far; every row is 0 in
  // the columns before q that hold no pivot, so additions start at q's word.
  std::size_t i = 0;
  for (std::size_t q = 0; q < columns_ && i < rows_; ++q) {
    const std::size_t word = q / 64;
    const std::uint64_t mask = std::uint64_t{1} << (q % 64);
    std::size_t j = i;
    while (j < rows_ && !(row(j)[word] & mask)) ++j;
    if (j == rows_) continue;
    if (j != i) {
      std::swap(order_[i], order_[j]);
      operations.insert(operations.end(), {{i, j}, {j, i}, {i, j}});
    }
    const std::uint64_t* pivot = row(i);
    for (std::size_t k = 0; k < rows_; ++k) {
      if (k == i || !(row(k)[word] & mask)) continue;
      xor_words(row(k) + word, pivot + word, words_ - word);
      operations.emplace_back(k, i);
    }
    ++i;
  }
}

Rows PackedRows::kernel() const {
  // Pivot detection exactly as on bytes: the pointer r rests on a row until
  // that row shows a 1 in the column visited.
  std::vector<IndexPair> pivots;
  std::vector<std::size_t> free_columns;
  for (std::size_t c = 0, r = 0; c < columns_; ++c) {
    if (r < rows_ && bit(r, c)) {
      pivots.emplace_back(c, r++);
    } else {
      free_columns.push_back(c);
    }
  }
  Rows basis;
  basis.reserve(free_columns.size());
  std::vector<std::uint64_t> v(words_);
  for (const std::size_t l : free_columns) {
    std::fill(v.begin(), v.end(), 0);
    v[l / 64] |= std::uint64_t{1} << (l % 64);
    // Over bits, the byte sum of products is the parity of the common ones.
    for (const auto& [p, r] : pivots) {
      const std::uint64_t* cells = row(r);
      std::uint64_t common = 0;
      for (std::size_t w = 0; w < words_; ++w) common ^= v[w] & cells[w];
      v[p / 64] |= std::uint64_t{static_cast<unsigned>(std::popcount(common)) & 1u} << (p % 64);
    }
    Row vector(columns_);
    for (std::size_t c = 0; c < columns_; ++c)
      vector[c] = static_cast<Cell>(v[c / 64] >> (c % 64) & 1);
    basis.push_back(std::move(vector));
  }
  return basis;
}

}  // namespace quillmat
