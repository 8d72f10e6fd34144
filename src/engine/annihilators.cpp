#include "engine/annihilators.hpp"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cassert>
#include <cinttypes>
#include <cstdio>
#include <limits>

#include "engine/eliminate.hpp"

namespace quillmat::engine {
namespace {

// C(m, k) mod 2 by Lucas: odd exactly when the bits of k are among those of m.
bool odd_binomial(int m, int k) {
  return k >= 0 && m >= k && (k & ~m) == 0;
}

// Calls job(begin, end) on ranges that split 0 .. count, one per thread.
template <class Job>
void split(Control& control, std::size_t count, const Job& job) {
  const std::size_t parts =
      std::min<std::size_t>(control.threads(), std::max<std::size_t>(1, count / 4096));
  std::vector<std::function<void()>> tasks;
  for (std::size_t p = 0; p < parts; ++p) {
    tasks.emplace_back([&, p] { job(count * p / parts, count * (p + 1) / parts); });
  }
  run_together(control, tasks);
}

// Transposes a 64 x 64 bit block in place: bit j of word i goes to bit i of word j.
void transpose64(Word* block) {
  Word mask = 0x00000000ffffffffULL;
  for (unsigned width = 32; width != 0; width >>= 1, mask ^= mask << width) {
    for (unsigned i = 0; i < 64; i = (i + width + 1) & ~width) {
      const Word swapped = ((block[i] >> width) ^ block[i + width]) & mask;
      block[i] ^= swapped << width;
      block[i + width] ^= swapped;
    }
  }
}

// The kernel of a reduced row echelon form with `pivots`, one vector per
// free column (1 there, 0 at the other free columns): as rows, a row per
// column of the system holding that unknown's value in every vector.
BitMatrix kernel_by_unknown(const BitMatrix& reduced, const Echelon& echelon, Control& control) {
  const std::size_t cols = reduced.cols();
  std::vector<std::int64_t> free_index(cols, 0);
  for (std::uint32_t p : echelon.pivots) free_index[p] = -1;
  std::size_t k = 0;
  for (std::size_t c = 0; c < cols; ++c) {
    if (free_index[c] >= 0) free_index[c] = static_cast<std::int64_t>(k++);
  }
  BitMatrix kernel(cols, k);
  for (std::size_t c = 0; c < cols; ++c) {
    if (free_index[c] >= 0) kernel.set(c, static_cast<std::size_t>(free_index[c]));
  }
  split(control, echelon.rank, [&](std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i) {
      if (i % 256 == 0) control.checkpoint();
      const Word* row = reduced.row(i);
      const std::size_t unknown = echelon.pivots[i];
      for (std::size_t w = 0; w < reduced.words(); ++w) {
        for (Word set = row[w]; set != 0; set &= set - 1) {
          const std::int64_t j =
              free_index[w * word_bits + static_cast<std::size_t>(std::countr_zero(set))];
          if (j >= 0) kernel.set(unknown, static_cast<std::size_t>(j));
        }
      }
    }
  });
  return kernel;
}

// The coefficients of the kernel vectors at the monomials `wanted`: bit p of
// row j of `into` is the coefficient of wanted[p] in vector j.  Each vector's
// values at the points of weight <= d (zero but at the unknowns, `columns`)
// become its coefficients by the Moebius transform, 64 * chunk vectors at a
// time, and blocks of 64 monomials are transposed into the rows.
void kernel_coefficients(const std::vector<Mask>& columns, const BitMatrix& kernel, int n,
                         const std::vector<Mask>& wanted, BitMatrix& into, Control& control) {
  const std::size_t k = kernel.cols();
  const std::size_t points = std::size_t{1} << n;
  const std::size_t chunk = std::max<std::size_t>(
      1, std::min<std::size_t>(kernel.words(), (std::size_t{1} << 25) / points));
  const MemoryReservation memory(points * chunk * sizeof(Word), "the Moebius transform");
  std::vector<Word> values(points * chunk);
  for (std::size_t first = 0; first < kernel.words(); first += chunk) {
    const std::size_t width = std::min(chunk, kernel.words() - first);
    std::fill(values.begin(), values.end(), 0);
    for (std::size_t q = 0; q < columns.size(); ++q) {
      std::copy_n(kernel.row(q) + first, width,
                  values.begin() + static_cast<std::ptrdiff_t>(columns[q] * chunk));
    }
    for (int i = 0; i < n; ++i) {
      control.checkpoint();
      const std::size_t bit = std::size_t{1} << i;
      for (std::size_t x = 0; x < points; ++x) {
        if (!(x & bit)) continue;
        Word* to = values.data() + x * chunk;
        const Word* from = values.data() + (x ^ bit) * chunk;
        for (std::size_t w = 0; w < width; ++w) to[w] ^= from[w];
      }
    }
    std::array<Word, 64> block;
    for (std::size_t position = 0; position < wanted.size(); position += 64) {
      if (position % 65536 == 0) control.checkpoint();
      for (std::size_t w = 0; w < width; ++w) {
        for (std::size_t t = 0; t < 64; ++t) {
          const std::size_t p = position + t;
          block[t] = p < wanted.size() ? values[wanted[p] * chunk + w] : 0;
        }
        transpose64(block.data());
        for (std::size_t j = 0; j < 64; ++j) {
          const std::size_t vector = (first + w) * 64 + j;
          if (vector < k) into.row(vector)[position / 64] = block[j];
        }
      }
    }
  }
}

// The terms, in canonical order, of the polynomial of degree <= d whose values
// at the points of weight <= d are `values` (a bit per point of the cube):
// its Moebius transform.
std::vector<Mask> polynomial_with_values(std::vector<Word> values, int n, int d) {
  static constexpr Word lower[6] = {0x5555555555555555, 0x3333333333333333, 0x0f0f0f0f0f0f0f0f,
                                    0x00ff00ff00ff00ff, 0x0000ffff0000ffff, 0x00000000ffffffff};
  for (int i = 0; i < n; ++i) {
    if (i < 6) {
      for (Word& w : values) w ^= (w & lower[i]) << (1u << i);
    } else {
      const std::size_t step = std::size_t{1} << (i - 6);
      for (std::size_t w = 0; w < values.size(); ++w) {
        if (w & step) values[w] ^= values[w ^ step];
      }
    }
  }
  std::vector<Mask> terms;
  for (Mask m : monomials_up_to(n, d)) {
    if (values[m / word_bits] >> (m % word_bits) & 1) terms.push_back(m);
  }
  return terms;
}

// The terms of a row of coefficients_reversed, in canonical order.
std::vector<Mask> terms_of(const Word* row, const std::vector<Mask>& monomials) {
  std::vector<Mask> terms;
  const std::size_t total = monomials.size();
  for (std::size_t w = (total + 63) / 64; w-- > 0;) {
    for (Word set = row[w]; set != 0;) {
      const unsigned b = 63 - static_cast<unsigned>(std::countl_zero(set));
      set &= ~(Word{1} << b);
      terms.push_back(monomials[total - 1 - (w * 64 + b)]);
    }
  }
  return terms;
}

}  // namespace

ReducedSystem::ReducedSystem(const TruthTable& s, int d) : s_(s), d_(d) {
  const int n = s.variables();
  const auto& ones = s.weight_profile();
  for (int w = 0; w <= n; ++w) {
    const std::uint64_t at = ones[static_cast<std::size_t>(w)];
    if (w <= d) {
      cols_ += binomial(n, w) - at;
    } else {
      rows_ += at;
    }
  }
  if (cols_ == 0) rows_ = 0;
}

double ReducedSystem::cost() const noexcept {
  // Elimination work ~ r^2 * (R + C) / 2 - r^3 / 3 with r = min(R, C), in bit operations.
  const double r = static_cast<double>(std::min(rows(), cols()));
  const double big = static_cast<double>(std::max(rows(), cols()));
  return r * r * (big - r / 3.0) + static_cast<double>(rows() + cols());
}

// binomials[c][j] = C(c, j) for the positions of a Mask.
const std::array<std::array<std::uint32_t, max_variables + 2>, max_variables + 2> binomials = [] {
  std::array<std::array<std::uint32_t, max_variables + 2>, max_variables + 2> table{};
  for (std::size_t c = 0; c < table.size(); ++c) {
    table[c][0] = 1;
    for (std::size_t j = 1; j <= c; ++j) table[c][j] = table[c - 1][j - 1] + table[c - 1][j];
  }
  return table;
}();

ReducedSystem::Columns ReducedSystem::columns() const {
  const int n = s_.variables();
  Columns result;
  result.points.reserve(cols_);
  result.offset.push_back(0);
  for (int k = 0; k <= d_ && k <= n; ++k) {
    // The k-bit masks below 2**n in increasing order (Gosper's hack).
    const std::uint64_t end = std::uint64_t{1} << n;
    for (std::uint64_t m = (std::uint64_t{1} << k) - 1; m < end;) {
      if (s_.at(m)) {
        result.column.push_back(-1);  // fixed by the support: not an unknown
      } else {
        result.column.push_back(static_cast<std::int32_t>(result.points.size()));
        result.points.push_back(static_cast<Mask>(m));
      }
      if (m == 0) break;
      const std::uint64_t low = m & (~m + 1);
      const std::uint64_t ripple = m + low;
      m = ripple | (((ripple ^ m) >> 2) / low);
    }
    result.offset.push_back(static_cast<std::uint32_t>(result.column.size()));
  }
  return result;
}

std::vector<Mask> ReducedSystem::next_rows(std::uint64_t& next, std::size_t count) const {
  std::vector<Mask> result;
  result.reserve(count);
  for (; next < s_.points() && result.size() < count; ++next) {
    if (engine::degree(static_cast<Mask>(next)) > d_ && s_.at(next))
      result.push_back(static_cast<Mask>(next));
  }
  return result;
}

void ReducedSystem::build(const std::vector<Mask>& points, const Columns& columns,
                          BitMatrix& matrix, std::size_t first, Control& control) const {
  const int n = s_.variables();
  // odd[w][i]: whether a point of weight i contributes to a row of weight w.
  std::vector<std::array<bool, max_variables + 1>> odd(static_cast<std::size_t>(n) + 1);
  for (int w = d_ + 1; w <= n; ++w) {
    for (int i = 0; i <= d_; ++i) {
      odd[static_cast<std::size_t>(w)][static_cast<std::size_t>(i)] =
          odd_binomial(w - i - 1, d_ - i);
    }
  }
  // Building counts as work too: a row costs about as much as one pass over it.
  control.plan(points.size() * matrix.stride());
  split(control, points.size(), [&](std::size_t begin, std::size_t end) {
    std::array<unsigned, max_variables> positions{};
    // The subsets of x of size <= d, grown one bit at a time, depth first,
    // each bit above those already in: at depth i the stack holds a subset of
    // size i, its colexicographic rank and the next bit of x to try.
    std::array<std::uint32_t, max_variables + 1> rank{};
    std::array<int, max_variables + 1> next{};
    std::size_t since = 0;  // rows built since the last checkpoint
    for (std::size_t r = begin; r < end; ++r) {
      if (++since == 1024) {
        control.checkpoint();
        control.advance(since * matrix.stride());
        since = 0;
      }
      const Mask x = points[r];
      int w = 0;
      for (Mask rest = x; rest != 0; rest &= rest - 1) {
        positions[static_cast<std::size_t>(w++)] = static_cast<unsigned>(std::countr_zero(rest));
      }
      const auto& wanted = odd[static_cast<std::size_t>(w)];
      Word* row = matrix.row(first + r);
      std::fill_n(row, matrix.stride(), Word{0});
      auto visit = [&](std::uint32_t colex, int size) {
        if (!wanted[static_cast<std::size_t>(size)]) return;
        const std::int32_t q =
            columns.column[columns.offset[static_cast<std::size_t>(size)] + colex];
        if (q >= 0) row[static_cast<std::size_t>(q) / word_bits] |= Word{1} << (q % word_bits);
      };
      visit(0, 0);
      int depth = 0;
      next[0] = 0;
      rank[0] = 0;
      while (depth >= 0) {
        const int b = next[static_cast<std::size_t>(depth)]++;
        if (b >= w || depth == d_) {
          --depth;
          continue;
        }
        const std::uint32_t colex =
            rank[static_cast<std::size_t>(depth)] +
            binomials[positions[static_cast<std::size_t>(b)]][static_cast<std::size_t>(depth) + 1];
        visit(colex, depth + 1);
        ++depth;
        rank[static_cast<std::size_t>(depth)] = colex;
        next[static_cast<std::size_t>(depth)] = b + 1;
      }
    }
    control.advance(since * matrix.stride());
  });
}

BitMatrix ReducedSystem::matrix(Control& control) const {
  const MemoryReservation lists(12 * monomials_up_to_count(s_.variables(), d_) + 4 * rows_,
                                "the reduced system's index");
  const Columns unknowns = columns();
  BitMatrix result(rows_, cols_);
  std::uint64_t next = 0;
  build(next_rows(next, rows_), unknowns, result, 0, control);
  return result;
}

namespace {

// A row echelon form of the system's row space, read a chunk of rows at a
// time into a matrix of at most cols + max(64, cols / 4) rows: the rank so
// far, then the next chunk, eliminated together.  The first chunk has cols
// + 64 rows, which for most systems of full column rank already have it:
// with `stop_when_full` the rest is then never built.
struct RowSpace {
  MemoryReservation memory;        // for the lists (the matrix holds its own)
  ReducedSystem::Columns columns;  // the unknowns
  BitMatrix basis;                 // rows 0 .. rank-1
  Echelon echelon;
};

// What row_space is for: the rank alone (and it may stop once it is full),
// or the kernel, for which the last pass leaves a reduced row echelon form.
enum class Purpose { rank, kernel };

RowSpace row_space(const ReducedSystem& system, Purpose purpose, Control& control) {
  const int n = system.function().variables();
  const std::size_t cols = system.cols();
  const std::size_t capacity = std::min(system.rows(), cols + std::max<std::size_t>(64, cols / 4));
  // The lists of monomials and columns, then the matrix: the reservations
  // come before the allocations.
  MemoryReservation lists(12 * monomials_up_to_count(n, system.degree()),
                          "the reduced system's index");
  RowSpace space{std::move(lists), system.columns(), BitMatrix(capacity, cols), Echelon{}};
  std::uint64_t next = 0;
  std::size_t left = system.rows();
  std::size_t chunk = std::min(left, cols + 64);
  Form form = Form::echelon;
  while (chunk > 0) {
    const std::size_t rank = space.echelon.rank;
    const std::vector<Mask> points = system.next_rows(next, chunk);
    system.build(points, space.columns, space.basis, rank, control);
    left -= chunk;
    // The last chunk of a kernel's system is reduced in the same pass.
    form = purpose == Purpose::kernel && left == 0 ? Form::reduced : Form::echelon;
    space.echelon = echelonize(space.basis, rank + chunk, form, control);
    if (purpose == Purpose::rank && space.echelon.rank == cols) break;
    chunk = std::min(left, capacity - space.echelon.rank);
  }
  if (purpose == Purpose::kernel && form != Form::reduced) {
    space.echelon = echelonize(space.basis, space.echelon.rank, Form::reduced, control);
  }
  return space;
}

}  // namespace

std::uint64_t annihilator_dimension(const TruthTable& s, int d, Control& control) {
  if (d < 0) return 0;
  const ReducedSystem system(s, d);
  if (system.cols() == 0) return 0;
  const RowSpace space = row_space(system, Purpose::rank, control);
  return system.cols() - space.echelon.rank;
}

std::vector<std::vector<Mask>> annihilator_basis(const TruthTable& s, int d, Wanted wanted,
                                                 Control& control) {
  if (d < 0) return {};
  const int n = s.variables();
  const ReducedSystem system(s, d);
  if (system.cols() == 0) return {};
  RowSpace space = row_space(system, Purpose::kernel, control);
  const std::vector<Mask>& columns = space.columns.points;
  if (space.echelon.rank == system.cols()) return {};
  BitMatrix kernel = kernel_by_unknown(space.basis, space.echelon, control);
  space.basis = BitMatrix();
  const std::size_t k = kernel.cols();
  if (wanted == Wanted::first_of_lowest_degree) {
    // No annihilator of lower degree: the top-degree coefficients alone tell
    // the annihilators apart, and an identity beside them records which
    // combination of kernel vectors each row of their echelon form is.
    std::vector<Mask> top;
    for (Mask m : monomials_up_to(n, d)) {
      if (degree(m) == d) top.push_back(m);
    }
    std::reverse(top.begin(), top.end());
    BitMatrix tops(k, top.size() + k);
    kernel_coefficients(columns, kernel, n, top, tops, control);
    for (std::size_t j = 0; j < k; ++j) tops.set(j, top.size() + j);
    const Echelon echelon = echelonize(tops, Form::echelon, control);
    assert(echelon.rank == k && echelon.pivots.back() < top.size());
    // The last row: the earliest highest term, and its combination c of kernel vectors.
    std::vector<Word> combination(kernel.words());
    for (std::size_t j = 0; j < k; ++j) {
      if (tops.get(k - 1, top.size() + j)) combination[j / word_bits] |= Word{1} << (j % word_bits);
    }
    std::vector<Word> values(words_for(std::size_t{1} << n));
    for (std::size_t q = 0; q < columns.size(); ++q) {
      Word parity = 0;
      for (std::size_t w = 0; w < kernel.words(); ++w) parity ^= kernel.row(q)[w] & combination[w];
      if (std::popcount(parity) & 1)
        values[columns[q] / word_bits] |= Word{1} << (columns[q] % word_bits);
    }
    return {polynomial_with_values(std::move(values), n, d)};
  }
  const std::vector<Mask> monomials = monomials_up_to(n, d);
  std::vector<Mask> reversed(monomials.rbegin(), monomials.rend());
  BitMatrix coefficients(k, monomials.size());
  kernel_coefficients(columns, kernel, n, reversed, coefficients, control);
  kernel = BitMatrix();
  // With the monomials reversed, a row echelon form's last row is zero at
  // every monomial after its pivot, the earliest highest term there is; a
  // reduced form's rows are the canonical basis, last row first.
  const Echelon basis =
      echelonize(coefficients, wanted == Wanted::first ? Form::echelon : Form::reduced, control);
  assert(basis.rank == coefficients.rows());
  std::vector<std::vector<Mask>> result;
  for (std::size_t i = basis.rank; i-- > 0;) {
    result.push_back(terms_of(coefficients.row(i), monomials));
    if (wanted == Wanted::first) break;
  }
  return result;
}

}  // namespace quillmat::engine
