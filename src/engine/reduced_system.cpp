#include "engine/reduced_system.hpp"

#include <algorithm>
#include <array>
#include <bit>

#include "engine/memory.hpp"
#include "engine/tuning.hpp"

namespace quillmat::engine {
namespace {

// C(m, k) mod 2 by Lucas: odd exactly when the bits of k are among those of m.
bool odd_binomial(int m, int k) {
  return k >= 0 && m >= k && (k & ~m) == 0;
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

}  // namespace

std::uint32_t colex(Mask z) {
  std::uint32_t rank = 0;
  std::size_t j = 1;
  for (Mask rest = z; rest != 0; rest &= rest - 1, ++j) {
    rank += binomials[static_cast<std::size_t>(std::countr_zero(rest))][j];
  }
  return rank;
}

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
  if (rows() == 0) return static_cast<double>(cols());  // nothing to eliminate, nor to index
  const int n = s_.variables();
  // The index of the points of weight <= d, each entry written once and read at random.
  const double index = tuning::index_entry_cost * static_cast<double>(monomials_up_to_count(n, d_));
  if (cols() <= tuning::sifted_columns) {
    // Each row from a lookup per byte of its point and reduced by a lookup
    // per byte of the row, a word of each per word of the row; the basis
    // costs no more than a few rows.
    const auto words = static_cast<double>(words_for(cols()));
    const double per_row = (static_cast<double>(n + 7) / 8 + 8 * words) * words;
    return index + static_cast<double>(rows()) * per_row;
  }
  // Elimination ~ r^2 * (big - r / 3) bit operations with r = min(R, C), big =
  // max(R, C), done a word at a time; writing the rows, and the subsets of
  // size <= d that each row's point enumerates; and the index.
  const double r = static_cast<double>(std::min(rows(), cols()));
  const double big = static_cast<double>(std::max(rows(), cols()));
  const double elimination = r * r * (big - r / 3.0) / word_bits;
  const double building = static_cast<double>(rows() * BitMatrix::stride_for(cols()));
  double subsets = 0;
  const auto& ones = s_.weight_profile();
  for (int w = d_ + 1; w <= n; ++w) {
    subsets += static_cast<double>(ones[static_cast<std::size_t>(w)]) *
               static_cast<double>(monomials_up_to_count(w, d_));
  }
  return elimination + building + subsets + index;
}

std::uint64_t ReducedSystem::memory() const noexcept {
  if (rows() == 0) return 0;
  const std::uint64_t index =
      tuning::index_bytes_per_monomial * monomials_up_to_count(s_.variables(), d_);
  const std::uint64_t row_bytes = BitMatrix::stride_for(cols()) * sizeof(Word);
  if (cols() <= tuning::sifted_columns) return index + cols() * row_bytes;
  const std::uint64_t extra =
      std::max({tuning::chunk_extra_rows, cols() / tuning::chunk_extra_share,
                tuning::chunk_bytes / row_bytes});
  return index + std::min<std::uint64_t>(rows(), cols() + extra) * row_bytes;
}

ReducedSystem::Columns ReducedSystem::columns(Control& control) const {
  const int n = s_.variables();
  Columns result;
  result.points.reserve(cols_);
  result.column.reserve(monomials_up_to_count(n, d_));
  result.offset.push_back(0);
  std::size_t since = 0;  // points since the last checkpoint
  for (int k = 0; k <= d_ && k <= n; ++k) {
    // The k-bit masks below 2**n in increasing order.
    const std::uint64_t end = std::uint64_t{1} << n;
    for (std::uint64_t m = (std::uint64_t{1} << k) - 1; m < end;) {
      if (++since == tuning::points_per_checkpoint) {
        control.checkpoint();
        since = 0;
      }
      if (s_.at(m)) {
        result.column.push_back(-1);  // fixed by the support: not an unknown
      } else {
        result.column.push_back(static_cast<std::int32_t>(result.points.size()));
        result.points.push_back(static_cast<Mask>(m));
      }
      if (m == 0) break;
      m = next_of_same_weight(m);
    }
    result.offset.push_back(static_cast<std::uint32_t>(result.column.size()));
  }
  return result;
}

std::vector<Mask> ReducedSystem::next_rows(Reading& reading, std::size_t count,
                                           Control& control) const {
  std::vector<Mask> result;
  result.reserve(count);
  const std::vector<Word>& bits = s_.bits();
  std::size_t since = 0;  // words since the last checkpoint
  // The support's points a word at a time: the bits past 2**n are zero.
  while (reading.next < s_.points() && result.size() < count) {
    if (++since == tuning::points_per_checkpoint / word_bits) {
      control.checkpoint();
      since = 0;
    }
    const std::size_t w = reading.next / word_bits;
    Word set = bits[w] & (~Word{0} << (reading.next % word_bits));
    for (; set != 0 && result.size() < count; set &= set - 1) {
      const auto x =
          static_cast<Mask>(w * word_bits + static_cast<std::size_t>(std::countr_zero(set)));
      reading.next = std::uint64_t{x} + 1;
      if (engine::degree(x) <= d_) continue;
      const std::uint64_t place = reading.place++;
      const bool sampled = reading.stride != 0 && place % reading.stride == 0 &&
                           place / reading.stride < reading.sampled;
      if (!sampled) result.push_back(x);
    }
    if (set == 0) reading.next = (w + 1) * word_bits;
  }
  return result;
}

std::vector<Mask> ReducedSystem::sampled_rows(std::uint64_t stride, std::size_t count,
                                              Control& control) const {
  std::vector<Mask> result;
  result.reserve(count);
  const std::vector<Word>& bits = s_.bits();
  std::uint64_t place = 0;
  for (std::size_t w = 0; w < bits.size() && result.size() < count; ++w) {
    if (w % (tuning::points_per_checkpoint / word_bits) == 0) control.checkpoint();
    for (Word set = bits[w]; set != 0 && result.size() < count; set &= set - 1) {
      const auto x =
          static_cast<Mask>(w * word_bits + static_cast<std::size_t>(std::countr_zero(set)));
      if (engine::degree(x) <= d_) continue;
      if (place++ % stride == 0) result.push_back(x);
    }
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
  split_among_threads(control, points.size(), [&](std::size_t begin, std::size_t end) {
    std::array<unsigned, max_variables> positions{};
    // The subsets of x of size <= d, grown one bit at a time, depth first,
    // each bit above those already in: at depth i the stack holds a subset of
    // size i, its colexicographic rank and the next bit of x to try.
    std::array<std::uint32_t, max_variables + 1> rank{};
    std::array<int, max_variables + 1> next{};
    std::size_t since = 0;    // rows built since the last checkpoint
    std::size_t subsets = 0;  // subsets enumerated since the last checkpoint
    for (std::size_t r = begin; r < end; ++r) {
      if (++since == tuning::built_rows_per_checkpoint) {
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
        if (++subsets == tuning::subsets_per_checkpoint) {
          control.checkpoint();
          subsets = 0;
        }
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

ReducedSystem::NarrowRows::NarrowRows(const ReducedSystem& system, const Columns& columns)
    : words_(words_for(system.cols())),
      bytes_((static_cast<std::size_t>(system.function().variables()) + 7) / 8) {
  const int n = system.function().variables();
  const int d = system.degree();
  std::vector<Word> of_variable(static_cast<std::size_t>(n) * words_);
  parity_.assign((static_cast<std::size_t>(n) + 1) * words_, 0);
  for (std::size_t q = 0; q < columns.points.size(); ++q) {
    const Mask z = columns.points[q];
    const Word bit = Word{1} << (q % word_bits);
    for (Mask rest = z; rest != 0; rest &= rest - 1) {
      of_variable[static_cast<std::size_t>(std::countr_zero(rest)) * words_ + q / word_bits] |= bit;
    }
    for (int w = d + 1; w <= n; ++w) {
      if (odd_binomial(w - engine::degree(z) - 1, d - engine::degree(z))) {
        parity_[static_cast<std::size_t>(w) * words_ + q / word_bits] |= bit;
      }
    }
  }
  lacking_.assign(bytes_ * 256 * words_, 0);
  for (std::size_t b = 0; b < bytes_; ++b) {
    for (std::size_t value = 0; value < 256; ++value) {
      Word* entry = lacking_.data() + (b * 256 + value) * words_;
      for (std::size_t i = 8 * b; i < 8 * b + 8 && i < static_cast<std::size_t>(n); ++i) {
        if (value >> (i - 8 * b) & 1) continue;
        for (std::size_t w = 0; w < words_; ++w) entry[w] |= of_variable[i * words_ + w];
      }
    }
  }
}

BitMatrix ReducedSystem::matrix(Control& control) const {
  const MemoryReservation lists(
      tuning::index_bytes_per_monomial * monomials_up_to_count(s_.variables(), d_) +
          sizeof(Mask) * rows_,
      "the reduced system's index");
  const Columns unknowns = columns(control);
  BitMatrix result(rows_, cols_);
  Reading reading;
  build(next_rows(reading, rows_, control), unknowns, result, 0, control);
  return result;
}

}  // namespace quillmat::engine
