#include "engine/fast_immunity.hpp"

#include <algorithm>
#include <stdexcept>

#include "engine/bit_matrix.hpp"
#include "engine/eliminate.hpp"
#include "engine/memory.hpp"
#include "engine/spectra.hpp"

namespace quillmat::engine {
namespace {

// The monomials of degree >= low, by decreasing degree (canonical order
// within a degree), and each one's column (or -1).
struct Columns {
  std::vector<Mask> monomials;
  std::vector<std::int64_t> index;  // by mask
  Columns(int n, int low) : index(std::size_t{1} << n, -1) {
    for (int k = n; k >= low; --k) {
      for (const Mask m : monomials_up_to(n, k)) {
        if (degree(m) == k) {
          index[m] = static_cast<std::int64_t>(monomials.size());
          monomials.push_back(m);
        }
      }
    }
  }
  // The columns of degree >= t.
  std::size_t at_least(int t) const noexcept {
    return static_cast<std::size_t>(
        std::count_if(monomials.begin(), monomials.end(), [t](Mask m) { return degree(m) >= t; }));
  }
};

// The points x holding m (x & m == m), a word of 64 points at a time: the
// low six variables pick bits inside a word, the others whole words.
constexpr Word variable_bits[6] = {0xaaaaaaaaaaaaaaaa, 0xcccccccccccccccc, 0xf0f0f0f0f0f0f0f0,
                                   0xff00ff00ff00ff00, 0xffff0000ffff0000, 0xffffffff00000000};

// The ANF of f x^m, m's row: f on the points holding m, then the Moebius transform.
TruthTable product_anf(const TruthTable& f, Mask m, Control& control) {
  Word inside = ~Word{0};
  for (int i = 0; i < 6; ++i) {
    if (m >> i & 1) inside &= variable_bits[i];
  }
  const std::uint64_t high = m >> 6;
  std::vector<Word> bits = f.bits();
  for (std::uint64_t w = 0; w < bits.size(); ++w) bits[w] &= (w & high) == high ? inside : 0;
  return algebraic_normal_form(TruthTable(f.variables(), std::move(bits)), control);
}

// Rows f m for the monomials of degree <= e (canonical order), over `columns`
// (the first `width` of them), and, with `track`, the identity beside them.
BitMatrix product_rows(const TruthTable& f, const std::vector<Mask>& rows, const Columns& columns,
                       std::size_t width, bool track, Control& control) {
  BitMatrix matrix(rows.size(), width + (track ? rows.size() : 0));
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const TruthTable anf = product_anf(f, rows[i], control);
    const std::vector<Word>& bits = anf.bits();
    for (std::size_t w = 0; w < bits.size(); ++w) {
      for (Word b = bits[w]; b != 0; b &= b - 1) {
        const std::int64_t c = columns.index[w * word_bits + __builtin_ctzll(b)];
        if (c >= 0 && static_cast<std::size_t>(c) < width)
          matrix.set(i, static_cast<std::size_t>(c));
      }
    }
    if (track) matrix.set(i, width + i);
  }
  return matrix;
}

int degree_of_product(const TruthTable& f, const std::vector<Mask>& g, Control& control) {
  std::vector<Word> bits(f.bits().size());
  for (std::uint64_t x = 0; x < f.points(); ++x) {
    bool value = false;
    for (const Mask m : g) value ^= (x & m) == m;
    if (value && f.at(x)) bits[x / word_bits] |= Word{1} << (x % word_bits);
  }
  return algebraic_degree(
      algebraic_normal_form(TruthTable(f.variables(), std::move(bits)), control));
}

}  // namespace

std::uint64_t fast_immunity_memory(int n, int ai) noexcept {
  if (ai < 2) return 0;
  const std::uint64_t rows = monomials_up_to_count(n, ai - 1);
  const std::uint64_t cols = (std::uint64_t{1} << n) - monomials_up_to_count(n, ai);
  return rows * 8 * (words_for(cols + rows) + 8) + (std::uint64_t{16} << n);
}

FastImmunity fast_algebraic_immunity(const TruthTable& f, Control& control, Choice choice) {
  FastImmunity result;
  result.immunity = algebraic_immunity(f, control, choice);
  const int n = f.variables(), ai = result.immunity.degree;
  result.value = 2 * ai;
  if (ai < 2) return result;
  const MemoryReservation reservation(fast_immunity_memory(n, ai),
                                      "the fast algebraic immunity's products");
  const int degree_f = algebraic_degree(algebraic_normal_form(f, control));
  // Every f g != 0 has degree >= AI: the columns of degree <= AI never
  // decide anything.
  const Columns columns(n, ai + 1);
  int best_e = 0, best_t = 0;
  for (int e = 1; e < ai; ++e) {
    // Only deg(f g) < best - e would lower the value.
    const int bound = result.value - e;
    result.searched.push_back(bound);
    result.least.push_back(-1);
    if (bound <= ai) continue;
    const std::vector<Mask> rows = monomials_up_to(n, e);
    BitMatrix matrix = product_rows(f, rows, columns, columns.monomials.size(), false, control);
    const Echelon echelon = echelonize(matrix, Form::echelon, control);
    // Some g not constant has deg(f g) < t.
    auto below = [&](int t) {
      const std::size_t width = columns.at_least(t);
      const auto rank = static_cast<std::size_t>(
          std::lower_bound(echelon.pivots.begin(), echelon.pivots.end(), width) -
          echelon.pivots.begin());
      const std::size_t spare = rows.size() - rank;
      return spare >= 2 || (spare == 1 && degree_f >= t);
    };
    if (!below(bound)) continue;
    int t = bound;
    while (t - 1 > ai && below(t - 1)) --t;  // nothing is below AI
    // The least degree is t - 1.
    result.least.back() = t - 1;
    result.value = e + t - 1;
    best_e = e;
    best_t = t;
  }
  if (best_e == 0) return result;
  // The witness: a combination of the rows f m, deg m <= best_e, that is 0
  // on the columns of degree >= best_t and is not g = 1.
  const std::vector<Mask> rows = monomials_up_to(n, best_e);
  const std::size_t width = columns.at_least(best_t);
  BitMatrix matrix = product_rows(f, rows, columns, width, true, control);
  const Echelon echelon = echelonize(matrix, Form::reduced, control);
  for (std::size_t r = 0; r < echelon.rank; ++r) {
    if (echelon.pivots[r] < width) continue;  // not 0 on those columns
    std::vector<Mask> g;
    for (std::size_t i = 0; i < rows.size(); ++i) {
      if (matrix.get(r, width + i)) g.push_back(rows[i]);
    }
    if (g.size() == 1 && g[0] == 0) continue;  // g = 1
    result.from_annihilator = false;
    result.g = std::move(g);
    result.degree_g = 0;
    for (const Mask m : result.g) result.degree_g = std::max(result.degree_g, degree(m));
    result.degree_product = degree_of_product(f, result.g, control);
    if (result.degree_g + result.degree_product != result.value) {
      throw std::logic_error("the fast algebraic immunity's witness does not reach its value");
    }
    return result;
  }
  throw std::logic_error("the fast algebraic immunity found no witness for its value");
}

}  // namespace quillmat::engine
