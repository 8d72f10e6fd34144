#include "engine/lingen.hpp"

#include <algorithm>
#include <cassert>
#include <numeric>
#include <utility>

namespace quillmat::engine {
namespace {

using Column = std::vector<Word>;

bool any(const Word* w, std::size_t size) noexcept {
  return std::any_of(w, w + size, [](Word x) { return x != 0; });
}

// Coefficient k of F P_j = S c_j + r_j, for every j, K words each: term by
// term of S, so that one term's tables serve all the columns.
void residuals(const BlockSequence& s, const ApproximantBasis& p, std::uint64_t k,
               std::vector<Word>& result) {
  const unsigned K = p.blocks;
  const std::size_t coefficient = 2 * std::size_t{K};
  std::fill(result.begin(), result.end(), 0);
  std::size_t longest = 0;
  for (std::size_t j = 0; j < p.width(); ++j) {
    if (k < p.terms(j)) std::copy_n(p.r(j, k), K, result.data() + j * K);
    longest = std::max(longest, p.terms(j));
  }
  const std::uint64_t end = std::min<std::uint64_t>(k + 1, longest);
  for (std::size_t j = 0; j < p.width(); ++j) {
    const Word* c = p.columns[j].data();
    const std::uint64_t last = std::min<std::uint64_t>(end, p.columns[j].size() / coefficient);
    Word* out = result.data() + j * K;
    for (std::uint64_t t = 0; t < last; ++t) s.multiply_add(k - t, c + t * coefficient, out);
  }
}

// One step's column additions (P_to += P_from, in order): each coefficient
// on its own, a few dozen at a time for the cache.
struct Addition {
  std::uint32_t to, from;
};
void add_columns(ApproximantBasis& p, const std::vector<Addition>& additions) {
  std::uint64_t end = 0;
  for (const Column& column : p.columns) end = std::max<std::uint64_t>(end, column.size());
  const std::uint64_t chunk = 128 * p.blocks;
  for (std::uint64_t begin = 0; begin < end; begin += chunk) {
    const std::uint64_t stop = std::min(end, begin + chunk);
    for (const Addition a : additions) {
      // The source's shifted degree is at most the target's: it is no longer.
      const Column& from = p.columns[a.from];
      Column& to = p.columns[a.to];
      assert(from.size() <= to.size());
      const std::uint64_t last = std::min<std::uint64_t>(stop, from.size());
      for (std::uint64_t t = begin; t < last; ++t) to[t] ^= from[t];
    }
  }
}

// The rank over GF(2) of vectors of equal length in words.
std::size_t rank(std::vector<std::vector<Word>> rows) {
  if (rows.empty()) return 0;
  const std::size_t bits = 64 * rows[0].size();
  std::size_t found = 0;
  for (std::size_t bit = 0; bit < bits && found < rows.size(); ++bit) {
    const std::size_t word = bit / 64;
    const Word mask = Word{1} << (bit % 64);
    auto pivot = std::find_if(rows.begin() + static_cast<std::ptrdiff_t>(found), rows.end(),
                              [&](const auto& row) { return (row[word] & mask) != 0; });
    if (pivot == rows.end()) continue;
    std::iter_swap(rows.begin() + static_cast<std::ptrdiff_t>(found), pivot);
    for (std::size_t i = 0; i < rows.size(); ++i) {
      if (i != found && (rows[i][word] & mask)) {
        for (std::size_t w = word; w < rows[i].size(); ++w) rows[i][w] ^= rows[found][w];
      }
    }
    ++found;
  }
  return found;
}

}  // namespace

BlockSequence::BlockSequence(unsigned blocks, const std::vector<Block>& terms)
    : blocks_(blocks), tables_(terms.size() * Tables::size) {
  assert(blocks > 0 && terms.size() % (std::size_t{blocks} * blocks) == 0);
  for (std::size_t i = 0; i < terms.size(); ++i)
    Tables::fill(terms[i], tables_.data() + i * Tables::size);
}

bool ApproximantBasis::has_c(std::size_t j) const noexcept {
  for (std::size_t t = 0; t < terms(j); ++t) {
    if (any(c(j, t), blocks)) return true;
  }
  return false;
}

std::uint64_t ApproximantBasis::hankel_rank(std::uint64_t b) const noexcept {
  std::uint64_t kernel = 0;
  for (const std::uint64_t d : degrees) kernel += d < b ? b - d : 0;
  return 64 * std::uint64_t{blocks} * b - kernel;
}

ApproximantBasis approximant_basis(const BlockSequence& s, Control& control) {
  const unsigned K = s.blocks();
  const std::size_t m = 64 * std::size_t{K}, width = 2 * m, coefficient = 2 * std::size_t{K};
  ApproximantBasis p;
  p.blocks = K;
  p.order = s.size();
  p.columns.assign(width, Column{});
  p.degrees.assign(width, 0);
  // P = I: c = e_j of shifted degree 0, and r = e_i of shifted degree 1.
  for (std::size_t j = 0; j < m; ++j) {
    p.columns[j].assign(coefficient, 0);
    p.columns[j][j / 64] = Word{1} << (j % 64);
    p.columns[m + j].assign(2 * coefficient, 0);
    p.columns[m + j][K + j / 64] = Word{1} << (j % 64);
    p.degrees[m + j] = 1;
  }
  // One thread: shared among two by coefficients, a step ran slower
  // (measured at 17 variables: 9.0 s against 12.5 s a try).
  std::vector<std::uint32_t> order(width);
  std::vector<Word> residual(width * K), pivot_residuals;
  struct Pivot {
    std::size_t bit;
    std::uint32_t column;
  };
  std::vector<Pivot> pivots;
  pivots.reserve(m);
  pivot_residuals.reserve(m * K);
  std::vector<Addition> additions;
  for (std::uint64_t k = 0; k < p.order; ++k) {
    control.checkpoint();
    residuals(s, p, k, residual);
    // Gaussian elimination of the residuals, columns of lower shifted degree
    // first: adding such a column keeps the degree, so P stays reduced.
    std::iota(order.begin(), order.end(), 0u);
    std::sort(order.begin(), order.end(), [&](std::uint32_t x, std::uint32_t y) {
      return p.degrees[x] != p.degrees[y] ? p.degrees[x] < p.degrees[y] : x < y;
    });
    pivots.clear();
    pivot_residuals.clear();
    additions.clear();
    for (const std::uint32_t j : order) {
      Word* w = residual.data() + std::size_t{j} * K;
      for (std::size_t i = 0; i < pivots.size(); ++i) {
        if (w[pivots[i].bit / 64] >> (pivots[i].bit % 64) & 1) {
          const Word* v = pivot_residuals.data() + i * K;
          for (unsigned a = 0; a < K; ++a) w[a] ^= v[a];
          additions.push_back({j, pivots[i].column});
        }
      }
      const Word* nonzero = std::find_if(w, w + K, [](Word x) { return x != 0; });
      if (nonzero != w + K) {
        const std::size_t word = static_cast<std::size_t>(nonzero - w);
        pivots.push_back({64 * word + static_cast<std::size_t>(__builtin_ctzll(*nonzero)), j});
        pivot_residuals.insert(pivot_residuals.end(), w, w + K);
      }
    }
    add_columns(p, additions);
    // What is left of order k is zero but at the pivots: times x, they are
    // approximants of order k + 1 too.
    for (const Pivot& pivot : pivots) {
      Column& column = p.columns[pivot.column];
      column.insert(column.begin(), coefficient, Word{0});
      ++p.degrees[pivot.column];
    }
  }
  return p;
}

bool is_approximant_basis(const BlockSequence& s, const ApproximantBasis& p, Control& control) {
  const unsigned K = p.blocks;
  const std::size_t m = 64 * std::size_t{K}, width = 2 * m;
  if (K != s.blocks() || p.order != s.size() || p.columns.size() != width ||
      p.degrees.size() != width) {
    return false;
  }
  std::uint64_t degrees = 0;
  std::vector<std::vector<Word>> leading(width);
  for (std::size_t j = 0; j < width; ++j) {
    const std::uint64_t d = p.degrees[j];
    // d_j + 1 coefficients, r's last zero: shifted degree at most d_j.
    if (p.columns[j].size() != 2 * K * (d + 1) || any(p.r(j, d), K)) return false;
    leading[j].assign(p.c(j, d), p.c(j, d) + K);
    if (d > 0) {
      leading[j].insert(leading[j].end(), p.r(j, d - 1), p.r(j, d - 1) + K);
    } else {
      leading[j].resize(2 * K, 0);
    }
    degrees += d;
  }
  if (degrees != m * p.order + m || rank(std::move(leading)) != width) return false;
  // F P mod x^sigma, term by term of S: sum over i + t = k of S_i c_t.
  const std::uint64_t sigma = p.order;
  std::vector<Word> product(width * sigma * K);
  auto at = [&](std::size_t j, std::uint64_t k) { return product.data() + (j * sigma + k) * K; };
  for (std::size_t j = 0; j < width; ++j) {
    for (std::uint64_t k = 0; k < std::min<std::uint64_t>(sigma, p.terms(j)); ++k) {
      std::copy_n(p.r(j, k), K, at(j, k));
    }
  }
  const std::size_t coefficient = 2 * std::size_t{K};
  for (std::uint64_t i = 0; i < sigma; ++i) {
    control.checkpoint();
    for (std::size_t j = 0; j < width; ++j) {
      const Word* c = p.columns[j].data();
      const std::uint64_t count = std::min<std::uint64_t>(p.degrees[j] + 1, sigma - i);
      Word* out = at(j, i);
      for (std::uint64_t t = 0; t < count; ++t) {
        s.multiply_add(i, c + t * coefficient, out + t * K);
      }
    }
  }
  return std::all_of(product.begin(), product.end(), [](Word w) { return w == 0; });
}

}  // namespace quillmat::engine
