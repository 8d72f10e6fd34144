#include "engine/lingen.hpp"

#include <algorithm>
#include <numeric>
#include <utility>

namespace quillmat::engine {
namespace {

using Coefficient = ApproximantBasis::Coefficient;
using Column = std::vector<Coefficient>;

// Coefficient k of F P_j = S c_j + r_j, for every j: term by term of S, so
// that one term's tables serve all 128 columns.
void residuals(const BlockSequence& s, const std::array<Column, 128>& columns, std::uint64_t k,
               std::array<Word, 128>& result) {
  std::size_t longest = 0;
  for (unsigned j = 0; j < 128; ++j) {
    result[j] = k < columns[j].size() ? columns[j][k].r : 0;
    longest = std::max(longest, columns[j].size());
  }
  const std::uint64_t end = std::min<std::uint64_t>(k + 1, longest);
  for (std::uint64_t t = 0; t < end; ++t) {
    for (unsigned j = 0; j < 128; ++j) {
      if (t < columns[j].size() && columns[j][t].c) result[j] ^= s.times(k - t, columns[j][t].c);
    }
  }
}

// One step's column additions (P_to += P_from, in order): each coefficient
// on its own, a few dozen at a time for the cache.
struct Addition {
  unsigned char to, from;
};
void add_columns(std::array<Column, 128>& columns, const std::vector<Addition>& additions) {
  std::uint64_t end = 0;
  for (const Column& column : columns) end = std::max<std::uint64_t>(end, column.size());
  constexpr std::uint64_t chunk = 64;
  for (std::uint64_t begin = 0; begin < end; begin += chunk) {
    const std::uint64_t stop = std::min(end, begin + chunk);
    for (const Addition a : additions) {
      // The source's shifted degree is at most the target's: it is no longer.
      const Column& from = columns[a.from];
      Column& to = columns[a.to];
      const std::uint64_t last = std::min<std::uint64_t>(stop, from.size());
      for (std::uint64_t t = begin; t < last; ++t) {
        to[t].c ^= from[t].c;
        to[t].r ^= from[t].r;
      }
    }
  }
}

// The rank over GF(2) of up to 128 vectors of 128 bits.
unsigned rank(std::vector<std::array<Word, 2>> rows) {
  unsigned found = 0;
  for (unsigned bit = 0; bit < 128 && found < rows.size(); ++bit) {
    const unsigned word = bit / 64;
    const Word mask = Word{1} << (bit % 64);
    auto pivot = std::find_if(rows.begin() + found, rows.end(),
                              [&](const auto& row) { return (row[word] & mask) != 0; });
    if (pivot == rows.end()) continue;
    std::iter_swap(rows.begin() + found, pivot);
    for (std::size_t i = 0; i < rows.size(); ++i) {
      if (i != found && (rows[i][word] & mask)) {
        rows[i][0] ^= rows[found][0];
        rows[i][1] ^= rows[found][1];
      }
    }
    ++found;
  }
  return found;
}

}  // namespace

BlockSequence::BlockSequence(const std::vector<Block>& terms)
    : tables_(terms.size() * Tables::size) {
  for (std::size_t i = 0; i < terms.size(); ++i)
    Tables::fill(terms[i], tables_.data() + i * Tables::size);
}

std::uint64_t ApproximantBasis::hankel_rank(std::uint64_t b) const noexcept {
  std::uint64_t kernel = 0;
  for (const std::uint64_t d : degrees) kernel += d < b ? b - d : 0;
  return 64 * b - kernel;
}

ApproximantBasis approximant_basis(const BlockSequence& s, Control& control) {
  ApproximantBasis p;
  p.order = s.size();
  // P = I: c = e_j of shifted degree 0, and r = e_i of shifted degree 1.
  for (unsigned j = 0; j < 64; ++j) {
    p.columns[j] = {Coefficient{Word{1} << j, 0}};
    p.columns[64 + j] = {Coefficient{0, Word{1} << j}, Coefficient{}};
    p.degrees[j] = 0;
    p.degrees[64 + j] = 1;
  }
  // One thread: shared among two by coefficients, a step ran slower
  // (measured at 17 variables: 9.0 s against 12.5 s a try).
  std::array<unsigned, 128> order;
  std::array<Word, 128> residual;
  struct Pivot {
    unsigned bit, column;
    Word residual;
  };
  std::vector<Pivot> pivots;
  pivots.reserve(64);
  std::vector<Addition> additions;
  for (std::uint64_t k = 0; k < p.order; ++k) {
    control.checkpoint();
    residuals(s, p.columns, k, residual);
    // Gaussian elimination of the residuals, columns of lower shifted degree
    // first: adding such a column keeps the degree, so P stays reduced.
    std::iota(order.begin(), order.end(), 0u);
    std::sort(order.begin(), order.end(), [&](unsigned x, unsigned y) {
      return p.degrees[x] != p.degrees[y] ? p.degrees[x] < p.degrees[y] : x < y;
    });
    pivots.clear();
    additions.clear();
    for (const unsigned j : order) {
      Word w = residual[j];
      for (const Pivot& pivot : pivots) {
        if (w >> pivot.bit & 1) {
          w ^= pivot.residual;
          additions.push_back(
              {static_cast<unsigned char>(j), static_cast<unsigned char>(pivot.column)});
        }
      }
      if (w) pivots.push_back({static_cast<unsigned>(__builtin_ctzll(w)), j, w});
    }
    add_columns(p.columns, additions);
    // What is left of order k is zero but at the pivots: times x, they are
    // approximants of order k + 1 too.
    for (const Pivot& pivot : pivots) {
      Column& column = p.columns[pivot.column];
      column.insert(column.begin(), Coefficient{});
      ++p.degrees[pivot.column];
    }
  }
  return p;
}

bool is_approximant_basis(const BlockSequence& s, const ApproximantBasis& p, Control& control) {
  if (p.order != s.size()) return false;
  std::uint64_t degrees = 0;
  std::vector<std::array<Word, 2>> leading(128);
  for (unsigned j = 0; j < 128; ++j) {
    const Column& column = p.columns[j];
    const std::uint64_t d = p.degrees[j];
    // d_j + 1 coefficients, r's last zero: shifted degree at most d_j.
    if (column.size() != d + 1 || column[d].r != 0) return false;
    leading[j] = {column[d].c, d > 0 ? column[d - 1].r : 0};
    degrees += d;
  }
  if (degrees != 64 * p.order + 64 || rank(std::move(leading)) != 128) return false;
  // F P mod x^sigma, term by term of S: sum over i + t = k of S_i c_t.
  const std::uint64_t sigma = p.order;
  std::vector<Word> product(128 * sigma);
  for (unsigned j = 0; j < 128; ++j) {
    for (std::uint64_t k = 0; k < std::min<std::uint64_t>(sigma, p.columns[j].size()); ++k) {
      product[j * sigma + k] = p.columns[j][k].r;
    }
  }
  for (std::uint64_t i = 0; i < sigma; ++i) {
    control.checkpoint();
    for (unsigned j = 0; j < 128; ++j) {
      const Column& column = p.columns[j];
      Word* out = product.data() + j * sigma + i;
      const std::uint64_t count = std::min<std::uint64_t>(column.size(), sigma - i);
      for (std::uint64_t t = 0; t < count; ++t) {
        if (column[t].c) out[t] ^= s.times(i, column[t].c);
      }
    }
  }
  if (!std::all_of(product.begin(), product.end(), [](Word w) { return w == 0; })) return false;
  return true;
}

}  // namespace quillmat::engine
