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

// The index of each monomial of degree <= d in `monomials`, by mask; -1 elsewhere.
std::vector<std::int32_t> index_of(int n, const std::vector<Mask>& monomials) {
  check_memory((std::uint64_t{4} << n), "the monomial index");
  std::vector<std::int32_t> index(std::size_t{1} << n, -1);
  for (std::size_t i = 0; i < monomials.size(); ++i)
    index[monomials[i]] = static_cast<std::int32_t>(i);
  return index;
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
  check_memory(cols * ((k + 255) / 256 * 32), "the kernel basis");
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

// The coefficients of each kernel vector, with the monomials of degree <= d in
// reverse canonical order: row j, column D - 1 - i is the coefficient of
// monomials[i] in vector j.  Each vector's values at the points of weight
// <= d (zero but at the unknowns) become its coefficients by the Moebius
// transform, 64 * chunk vectors at a time.
BitMatrix coefficients_reversed(const ReducedSystem& system, const BitMatrix& kernel, int n,
                                const std::vector<Mask>& monomials, Control& control) {
  const std::size_t k = kernel.cols();
  const std::size_t total = monomials.size();
  check_memory(k * ((total + 255) / 256 * 32), "the annihilator coefficients");
  BitMatrix result(k, total);
  const std::size_t points = std::size_t{1} << n;
  const std::size_t chunk = std::max<std::size_t>(
      1, std::min<std::size_t>(kernel.words(), (std::size_t{1} << 25) / points));
  check_memory(points * chunk * sizeof(Word), "the Moebius transform");
  std::vector<Word> values(points * chunk);
  for (std::size_t first = 0; first < kernel.words(); first += chunk) {
    const std::size_t width = std::min(chunk, kernel.words() - first);
    std::fill(values.begin(), values.end(), 0);
    for (std::size_t q = 0; q < system.cols(); ++q) {
      std::copy_n(kernel.row(q) + first, width,
                  values.begin() + static_cast<std::ptrdiff_t>(system.columns()[q] * chunk));
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
    // Block by block of 64 reversed positions, transposed into the rows.
    std::array<Word, 64> block;
    for (std::size_t position = 0; position < total; position += 64) {
      if (position % 65536 == 0) control.checkpoint();
      for (std::size_t w = 0; w < width; ++w) {
        for (std::size_t t = 0; t < 64; ++t) {
          const std::size_t p = position + t;
          block[t] = p < total ? values[monomials[total - 1 - p] * chunk + w] : 0;
        }
        transpose64(block.data());
        for (std::size_t j = 0; j < 64; ++j) {
          const std::size_t vector = (first + w) * 64 + j;
          if (vector < k) result.row(vector)[position / 64] = block[j];
        }
      }
    }
  }
  return result;
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

std::uint64_t memory_limit() {
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long page = sysconf(_SC_PAGESIZE);
  std::uint64_t limit = pages > 0 && page > 0
                            ? static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(page)
                            : std::numeric_limits<std::uint64_t>::max();
  for (int resource : {RLIMIT_AS, RLIMIT_DATA}) {
    rlimit rl{};
    if (getrlimit(resource, &rl) == 0 && rl.rlim_cur != RLIM_INFINITY) {
      limit = std::min<std::uint64_t>(limit, rl.rlim_cur);
    }
  }
  return limit;
}

}  // namespace

void check_memory(std::uint64_t bytes, const char* what) {
  static const std::uint64_t limit = memory_limit();
  if (bytes <= limit / 4 * 3) return;
  char text[200];
  std::snprintf(text, sizeof text, "%s needs %.1f GiB, more than this process may use (%.1f GiB)",
                what, static_cast<double>(bytes) / (1 << 30),
                static_cast<double>(limit) / (1 << 30));
  throw OutOfMemory(text);
}

ReducedSystem::ReducedSystem(const TruthTable& s, int d) : s_(s), d_(d) {
  const int n = s.variables();
  for (Mask z : monomials_up_to(n, d)) {
    if (!s.at(z)) columns_.push_back(z);
  }
  if (columns_.empty()) return;
  for (std::uint64_t x = 0; x < s.points(); ++x) {
    if (degree(static_cast<Mask>(x)) > d && s.at(x)) rows_.push_back(static_cast<Mask>(x));
  }
}

std::uint64_t ReducedSystem::matrix_bytes() const noexcept {
  return static_cast<std::uint64_t>(rows()) * ((cols() + 255) / 256 * 32);
}

double ReducedSystem::cost() const noexcept {
  // Elimination work ~ r^2 * (R + C) / 2 - r^3 / 3 with r = min(R, C), in bit operations.
  const double r = static_cast<double>(std::min(rows(), cols()));
  const double big = static_cast<double>(std::max(rows(), cols()));
  return r * r * (big - r / 3.0) + static_cast<double>(rows() + cols());
}

BitMatrix ReducedSystem::build(Control& control) const {
  const int n = s_.variables();
  check_memory(matrix_bytes() + (std::uint64_t{4} << n), "the reduced system");
  BitMatrix matrix(rows(), cols());
  if (rows() == 0 || cols() == 0) return matrix;
  std::vector<std::int32_t> column_of = index_of(n, columns_);
  // odd[w][i]: whether a point of weight i contributes to a row of weight w.
  std::vector<std::array<bool, max_variables + 1>> odd(static_cast<std::size_t>(n) + 1);
  for (int w = 0; w <= n; ++w) {
    for (int i = 0; i <= std::min(w, d_); ++i) {
      odd[static_cast<std::size_t>(w)][static_cast<std::size_t>(i)] =
          w > d_ && odd_binomial(w - i - 1, d_ - i);
    }
  }
  split(control, rows(), [&](std::size_t begin, std::size_t end) {
    std::array<Mask, max_variables> bits{};
    // The subsets of x of size <= d, grown one bit at a time, depth first:
    // at depth i the stack holds a subset of size i and the next bit to try.
    std::array<Mask, max_variables + 1> subset{};
    std::array<int, max_variables + 1> next{};
    for (std::size_t r = begin; r < end; ++r) {
      if (r % 1024 == 0) control.checkpoint();
      const Mask x = rows_[r];
      int w = 0;
      for (Mask rest = x; rest != 0; rest &= rest - 1)
        bits[static_cast<std::size_t>(w++)] = rest & (~rest + 1);
      const auto& wanted = odd[static_cast<std::size_t>(w)];
      Word* row = matrix.row(r);
      auto visit = [&](Mask z, int size) {
        if (!wanted[static_cast<std::size_t>(size)]) return;
        const std::int32_t q = column_of[z];
        if (q >= 0) row[static_cast<std::size_t>(q) / word_bits] |= Word{1} << (q % word_bits);
      };
      visit(0, 0);
      int depth = 0;
      next[0] = 0;
      subset[0] = 0;
      while (depth >= 0) {
        const int b = next[static_cast<std::size_t>(depth)]++;
        if (b >= w || depth == d_) {
          --depth;
          continue;
        }
        const Mask z = subset[static_cast<std::size_t>(depth)] | bits[static_cast<std::size_t>(b)];
        visit(z, depth + 1);
        ++depth;
        subset[static_cast<std::size_t>(depth)] = z;
        next[static_cast<std::size_t>(depth)] = b + 1;
      }
    }
  });
  return matrix;
}

std::uint64_t annihilator_dimension(const TruthTable& s, int d, Control& control) {
  if (d < 0) return 0;
  const ReducedSystem system(s, d);
  if (system.cols() == 0) return 0;
  BitMatrix matrix = system.build(control);
  return system.cols() - rank_of(matrix, control);
}

std::vector<std::vector<Mask>> annihilator_basis(const TruthTable& s, int d, Wanted wanted,
                                                 Control& control) {
  if (d < 0) return {};
  const int n = s.variables();
  const ReducedSystem system(s, d);
  if (system.cols() == 0) return {};
  BitMatrix matrix = system.build(control);
  const Echelon echelon = echelonize(matrix, Form::reduced, control);
  if (echelon.rank == system.cols()) return {};
  BitMatrix kernel = kernel_by_unknown(matrix, echelon, control);
  matrix = BitMatrix();
  const std::vector<Mask> monomials = monomials_up_to(n, d);
  BitMatrix coefficients = coefficients_reversed(system, kernel, n, monomials, control);
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
