#include "engine/vanishing.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cassert>
#include <functional>

#include "engine/bit_matrix.hpp"
#include "engine/eliminate.hpp"
#include "engine/memory.hpp"
#include "engine/tuning.hpp"

namespace quillmat::engine {
namespace {

constexpr std::size_t group_bits = 8;
constexpr std::size_t group_sums = std::size_t{1} << group_bits;

// The values at a block of up to 64 points of the monomials in K's column
// order: bit j of values[c] is monomial N - 1 - c at point j.  Past `count`
// the bits are 0, so that padding points vanish for every polynomial.
void monomial_values(const WideMask* points, std::size_t count,
                     const std::vector<WideMask>& monomials, Word* values) {
  assert(count >= 1 && count <= word_bits);
  std::array<Word, word_bits> variable{};
  std::copy_n(points, count, variable.begin());
  transpose64(variable.data());  // now bit j of variable[i] is x_i at point j
  const Word valid = count == word_bits ? ~Word{0} : (Word{1} << count) - 1;
  const std::size_t n = monomials.size();
  for (std::size_t c = 0; c < n; ++c) {
    Word v = valid;
    for (WideMask m = monomials[n - 1 - c]; m != 0; m &= m - 1) {
      v &= variable[static_cast<std::size_t>(std::countr_zero(m))];
    }
    values[c] = v;
  }
}

// The matrix [P | K]: `blocks` words of products, then the coefficients.
struct Layout {
  std::size_t blocks;        // product words a row: the points of a batch / 64
  std::size_t coefficients;  // N, the monomials
  std::size_t groups() const { return (coefficients + group_bits - 1) / group_bits; }
};

// The byte of coefficients of group g in a row: columns 8g .. 8g + 7 of K.
inline std::size_t group_byte(const Word* row, const Layout& layout, std::size_t g) {
  return static_cast<std::size_t>(row[layout.blocks + g / 8] >> (8 * (g % 8)) & 0xff);
}

// Product word `block` of rows 0 .. active-1: bit j is the polynomial's value
// at point j of the block, sum over its terms of `values`, read from tables
// of all 256 sums of 8 monomials' values a tile of groups at a time.
void block_products(BitMatrix& matrix, std::size_t active, const Layout& layout, std::size_t block,
                    const Word* values, std::vector<Word>& tables, Control& control) {
  const std::size_t groups = layout.groups();
  for (std::size_t first = 0; first < groups; first += tuning::vanishing_table_groups) {
    control.checkpoint();
    const std::size_t last = std::min(groups, first + tuning::vanishing_table_groups);
    for (std::size_t g = first; g < last; ++g) {
      Word* table = tables.data() + (g - first) * group_sums;
      const std::size_t width = std::min(group_bits, layout.coefficients - g * group_bits);
      table[0] = 0;
      for (std::size_t s = 1; s < group_sums; ++s) {
        const auto low = static_cast<std::size_t>(std::countr_zero(s));
        table[s] = table[s & (s - 1)] ^ (low < width ? values[g * group_bits + low] : 0);
      }
    }
    for (std::size_t r = 0; r < active; ++r) {
      Word* row = matrix.row(r);
      Word sum = 0;
      for (std::size_t g = first; g < last; ++g) {
        sum ^= tables[(g - first) * group_sums + group_byte(row, layout, g)];
      }
      row[block] ^= sum;
    }
  }
}

// Fills the product words of rows 0 .. active-1 for the batch of `points`.
void batch_products(BitMatrix& matrix, std::size_t active, const Layout& layout,
                    std::span<const WideMask> points, const std::vector<WideMask>& monomials,
                    Control& control) {
  const std::size_t blocks = (points.size() + word_bits - 1) / word_bits;
  for (std::size_t r = 0; r < active; ++r) std::fill_n(matrix.row(r), layout.blocks, Word{0});
  auto products_of = [&](std::size_t begin, std::size_t end) {
    std::vector<Word> values(layout.coefficients);
    std::vector<Word> tables(tuning::vanishing_table_groups * group_sums);
    for (std::size_t b = begin; b < end; ++b) {
      const std::size_t from = b * word_bits;
      monomial_values(points.data() + from, std::min(word_bits, points.size() - from), monomials,
                      values.data());
      block_products(matrix, active, layout, b, values.data(), tables, control);
    }
  };
  const double reads = static_cast<double>(active) * static_cast<double>(layout.groups()) *
                       static_cast<double>(blocks);
  const std::size_t parts =
      reads < tuning::vanishing_thread_reads ? 1 : std::min<std::size_t>(control.threads(), blocks);
  std::vector<std::function<void()>> tasks;
  for (std::size_t p = 0; p < parts; ++p) {
    tasks.emplace_back([&, p] { products_of(blocks * p / parts, blocks * (p + 1) / parts); });
  }
  run_together(control, tasks);
}

// Keeps, of rows 0 .. active-1, a basis of the combinations whose products
// are all 0, and returns how many: the rows left after eliminating each
// product column by a pivot row, which is then dropped (moved past the end).
std::size_t keep_vanishing(BitMatrix& matrix, std::size_t active, const Layout& layout,
                           Control& control) {
  std::vector<Word*>& rows = matrix.row_order();
  const std::size_t words = layout.blocks + words_for(layout.coefficients);
  std::size_t pivots = 0;  // rows 0 .. pivots-1 are the pivots so far
  for (std::size_t w = 0; w < layout.blocks; ++w) {
    Word seen = 0;  // product bits of this word that some row has
    for (std::size_t r = pivots; r < active; ++r) seen |= rows[r][w];
    for (; seen != 0; seen &= seen - 1) {
      const Word bit = seen & (~seen + 1);
      std::size_t r = pivots;
      while (r < active && (rows[r][w] & bit) == 0) ++r;
      if (r == active) continue;  // eliminated by an earlier pivot
      control.checkpoint();
      std::swap(rows[pivots], rows[r]);
      const Word* pivot = rows[pivots++];
      for (std::size_t s = pivots; s < active; ++s) {
        Word* row = rows[s];
        if ((row[w] & bit) == 0) continue;
        for (std::size_t k = w; k < words; ++k) row[k] ^= pivot[k];
      }
    }
  }
  std::rotate(rows.begin(), rows.begin() + static_cast<std::ptrdiff_t>(pivots),
              rows.begin() + static_cast<std::ptrdiff_t>(active));
  return active - pivots;
}

// The canonical basis of what rows 0 .. active-1 span: their coefficients'
// reduced row echelon form, read back in canonical order.
std::vector<std::vector<WideMask>> canonical_basis(const BitMatrix& matrix, std::size_t active,
                                                   const Layout& layout,
                                                   const std::vector<WideMask>& monomials,
                                                   Control& control) {
  const std::size_t n = layout.coefficients;
  BitMatrix k(active, n);
  for (std::size_t r = 0; r < active; ++r) {
    std::copy_n(matrix.row(r) + layout.blocks, k.words(), k.row(r));
  }
  const Echelon echelon = echelonize(k, Form::reduced, control);
  assert(echelon.rank == active);  // K's rows are independent throughout
  std::vector<std::vector<WideMask>> basis;
  basis.reserve(active);
  // Row i's pivot is its leftmost 1, its highest term: the last row has the lowest.
  for (std::size_t i = active; i-- > 0;) {
    std::vector<WideMask> terms;
    const Word* row = k.row(i);
    for (std::size_t w = k.words(); w-- > 0;) {
      for (Word set = row[w]; set != 0;) {
        const auto high = static_cast<std::size_t>(63 - std::countl_zero(set));
        set ^= Word{1} << high;
        terms.push_back(monomials[n - 1 - (w * word_bits + high)]);
      }
    }
    basis.push_back(std::move(terms));
  }
  return basis;
}

}  // namespace

VanishingSpace vanishing_space(std::span<const WideMask> points,
                               const std::vector<WideMask>& monomials, Want want,
                               Control& control) {
  const Layout layout{tuning::vanishing_batch_blocks, monomials.size()};
  const std::size_t batch = layout.blocks * word_bits;
  // K starts as every monomial: before any point, every polynomial vanishes.
  BitMatrix matrix(layout.coefficients, layout.blocks * word_bits + layout.coefficients);
  for (std::size_t c = 0; c < layout.coefficients; ++c) matrix.set(c, batch + c);
  std::size_t active = layout.coefficients;
  control.plan(points.size());
  for (std::size_t from = 0; from < points.size() && active > 0; from += batch) {
    const std::span<const WideMask> part =
        points.subspan(from, std::min(batch, points.size() - from));
    batch_products(matrix, active, layout, part, monomials, control);
    active = keep_vanishing(matrix, active, layout, control);
    control.advance(part.size());
  }
  matrix.check_layout();
  VanishingSpace space;
  space.dimension = active;
  if (want == Want::basis)
    space.basis = canonical_basis(matrix, active, layout, monomials, control);
  return space;
}

VanishingSpace vanishing_space(std::span<const WideMask> points, int n, int d, Want want,
                               Control& control) {
  // The matrix holds N rows of N + 64 * batch blocks bits; N is counted in
  // floating point first, since for 64 variables it may not fit a word.
  double count = 0;
  for (int k = 0; k <= d && k <= n; ++k) {
    double binomial = 1;
    for (int i = 1; i <= k; ++i) binomial = binomial * (n - k + i) / i;
    count += binomial;
  }
  const double bytes = count * (count + 64.0 * tuning::vanishing_batch_blocks) / 8;
  {  // beyond 2**62 bytes the budget refuses all the same
    const MemoryReservation trial(static_cast<std::uint64_t>(std::min(bytes, 0x1p62)),
                                  "the polynomials vanishing on the points");
  }
  return vanishing_space(points, wide_monomials_up_to(n, d), want, control);
}

}  // namespace quillmat::engine
