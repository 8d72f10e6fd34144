#include "engine/row_space.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <functional>
#include <utility>
#include <vector>

#include "engine/kernel.hpp"
#include "engine/tuning.hpp"

namespace quillmat::engine {
namespace {

// The rows the matrix holds: the rank, at most cols, and room for a chunk.
std::size_t capacity(const ReducedSystem& system) {
  const std::size_t cols = system.cols();
  const std::size_t row_bytes = BitMatrix::stride_for(cols) * sizeof(Word);
  const std::size_t extra = std::max({tuning::chunk_extra_rows, cols / tuning::chunk_extra_share,
                                      tuning::chunk_bytes / row_bytes});
  return std::min(system.rows(), cols + extra);
}

// A reduced row echelon basis of narrow rows of `Words` words, unordered.
// Reducing a row by it is one sum: of the basis rows whose pivots are among
// the row's 1s, since no basis row has a 1 at another's pivot.  The sum is
// read from tables, a lookup per byte (the entry of a byte's value is the
// sum of the basis rows whose pivots are among its bits), or, while the
// tables are out of date, added up row by row.  An insert only marks them
// so: rebuilding all of them costs as much as thousands of direct sums,
// which is all a small system does, so they are rebuilt once the rows
// reduced since the last insert have cost about that much.
template <std::size_t Words>
class Sieve {
 public:
  Sieve() : by_column_(Words * word_bits, absent) {}

  std::size_t rank() const noexcept { return pivots_.size(); }
  const Word* row(std::size_t i) const noexcept { return rows_.data() + i * Words; }

  // Reduces `row` by the basis; true when something is left.
  bool reduce(Word* row) const noexcept {
    Word sum[Words] = {};
    if (current_) {
      for (std::size_t b = 0; b < 8 * Words; ++b) {
        const std::size_t value = row[b / 8] >> (8 * (b % 8)) & 0xff;
        const Word* entry = tables_.data() + (b * 256 + value) * Words;
        for (std::size_t w = 0; w < Words; ++w) sum[w] ^= entry[w];
      }
    } else {
      for (std::size_t v = 0; v < Words; ++v) {
        for (Word set = row[v] & pivot_mask_[v]; set != 0; set &= set - 1) {
          const Word* basis_row = this->row(
              by_column_[v * word_bits + static_cast<std::size_t>(std::countr_zero(set))]);
          for (std::size_t w = 0; w < Words; ++w) sum[w] ^= basis_row[w];
        }
      }
    }
    Word any = 0;
    for (std::size_t w = 0; w < Words; ++w) any |= row[w] ^= sum[w];
    return any != 0;
  }

  // reduce() for the one thread that also inserts: it brings the tables up
  // to date once direct sums have cost about what rebuilding them does.
  bool reduce_own(Word* row) {
    if (!current_ && ++stale_reduces_ * std::max<std::size_t>(1, rank()) >= rebuild_cost) {
      refresh();
    }
    return reduce(row);
  }

  // Adds a row that reduce() left non-zero, with its lowest column as its
  // pivot, clearing that column from the other rows.
  void insert(const Word* row) {
    std::size_t w0 = 0;
    while (row[w0] == 0) ++w0;
    const auto pivot = static_cast<std::uint32_t>(
        w0 * word_bits + static_cast<std::size_t>(std::countr_zero(row[w0])));
    for (std::size_t i = 0; i < rank(); ++i) {
      Word* other = rows_.data() + i * Words;
      if (other[w0] >> (pivot % word_bits) & 1) {
        for (std::size_t w = 0; w < Words; ++w) other[w] ^= row[w];
      }
    }
    by_column_[pivot] = rank();
    pivot_mask_[w0] |= Word{1} << (pivot % word_bits);
    rows_.insert(rows_.end(), row, row + Words);
    pivots_.push_back(pivot);
    current_ = false;
    stale_reduces_ = 0;
  }

  // Brings the tables up to date, before threads share the basis.
  void refresh() {
    if (current_ || rank() == 0) return;  // the empty basis sums to zero either way
    tables_.resize(Words * 8 * 256 * Words);
    for (std::size_t b = 0; b < 8 * Words; ++b) {
      Word* table = tables_.data() + b * 256 * Words;
      for (std::size_t value = 1; value < 256; ++value) {
        const auto low = static_cast<std::size_t>(std::countr_zero(value));
        const Word* previous = table + (value & (value - 1)) * Words;
        const std::size_t added = by_column_[8 * b + low];
        for (std::size_t w = 0; w < Words; ++w) {
          table[value * Words + w] = previous[w] ^ (added != absent ? row(added)[w] : 0);
        }
      }
    }
    current_ = true;
  }

 private:
  static constexpr std::size_t absent = ~std::size_t{0};
  // Word operations of a rebuild, in units of a direct sum's per basis row.
  static constexpr std::size_t rebuild_cost = 8 * 256 * Words;

  std::vector<Word> tables_;  // made at the first refresh; entry 0 of each byte stays zero
  std::vector<Word> rows_;
  std::vector<std::uint32_t> pivots_;
  std::vector<std::size_t> by_column_;  // the basis row of each pivot column
  Word pivot_mask_[Words] = {};
  bool current_ = false;
  std::size_t stale_reduces_ = 0;
};

// The row space of a narrow system, its rows made from tables and sifted as
// they come, without a matrix of them: a piece of the truth table at a time,
// split among the threads, each reducing its rows by the basis so far and
// keeping what is left in a basis of its own, which joins the common one
// after the piece.  The pieces grow from a few words of the table, since a
// system of full rank often has it after a few hundred rows.  The basis ends
// in `basis` in the form asked: a row space has one reduced form, so the
// kernel is the one any order of the rows gives.
template <std::size_t Words>
Echelon narrow_row_space(const ReducedSystem& system, const ReducedSystem::Columns& columns,
                         BitMatrix& basis, Form form, Control& control) {
  const std::size_t cols = system.cols();
  const ReducedSystem::NarrowRows rows(system, columns);
  const int d = system.degree();
  const std::vector<Word>& bits = system.function().bits();
  constexpr std::size_t words_per_checkpoint = tuning::points_per_checkpoint / word_bits;
  Sieve<Words> sieve;
  std::size_t piece = tuning::narrow_first_words;
  for (std::size_t start = 0; start < bits.size() && sieve.rank() < cols;) {
    const std::size_t end = std::min(bits.size(), start + piece);
    control.plan((end - start) * word_bits);
    const std::size_t parts = std::min<std::size_t>(
        control.threads(),
        std::max<std::size_t>(1, (end - start) * word_bits / tuning::rows_per_thread));
    sieve.refresh();  // the threads read it, and its tables, at once
    std::vector<Sieve<Words>> own(parts);
    std::vector<std::function<void()>> tasks;
    for (std::size_t p = 0; p < parts; ++p) {
      tasks.emplace_back([&, p] {
        const std::size_t from = start + (end - start) * p / parts;
        const std::size_t to = start + (end - start) * (p + 1) / parts;
        Sieve<Words>& mine = own[p];
        Word row[Words];
        for (std::size_t w = from; w < to; ++w) {
          if ((w - from) % words_per_checkpoint == 0) {
            control.checkpoint();
            control.advance(std::min(to - w, words_per_checkpoint) * word_bits);
          }
          for (Word set = bits[w]; set != 0; set &= set - 1) {
            const auto x =
                static_cast<Mask>(w * word_bits + static_cast<std::size_t>(std::countr_zero(set)));
            if (engine::degree(x) <= d) continue;
            rows.make<Words>(x, row);
            if (sieve.reduce(row) && mine.reduce_own(row)) mine.insert(row);
          }
        }
      });
    }
    run_together(control, tasks);
    for (const Sieve<Words>& part : own) {
      for (std::size_t i = 0; i < part.rank() && sieve.rank() < cols; ++i) {
        Word row[Words];
        std::copy_n(part.row(i), Words, row);
        if (sieve.reduce(row)) sieve.insert(row);
      }
    }
    start = end;
    piece = std::min(piece * 2, tuning::narrow_piece_words);
  }
  basis = BitMatrix(sieve.rank(), cols);
  for (std::size_t i = 0; i < sieve.rank(); ++i) std::copy_n(sieve.row(i), Words, basis.row(i));
  return echelonize(basis, form, control);
}

Echelon narrow_row_space(const ReducedSystem& system, const ReducedSystem::Columns& columns,
                         BitMatrix& basis, Form form, Control& control) {
  static_assert(tuning::sifted_columns == 4 * word_bits);
  switch (words_for(system.cols())) {
    case 1:
      return narrow_row_space<1>(system, columns, basis, form, control);
    case 2:
      return narrow_row_space<2>(system, columns, basis, form, control);
    case 3:
      return narrow_row_space<3>(system, columns, basis, form, control);
    default:
      return narrow_row_space<4>(system, columns, basis, form, control);
  }
}

// The rest of a system whose rank so far falls short of full by at most
// tuning::kernel_sifted_deficiency: a row is in the span exactly when it is
// orthogonal to the span's kernel (the row space is the kernel's orthogonal
// complement), so each remaining row is tested against the few kernel
// vectors, at the cost of a word per entry, instead of being eliminated by
// the whole rank.  A row that is not joins the basis, and the kernel keeps
// the combinations of its vectors orthogonal to it.  `space` holds its rank
// rows in reduced echelon form on entry; on return, in the form asked.
void sift_by_kernel(const ReducedSystem& system, RowSpace& space, ReducedSystem::Reading& reading,
                    std::size_t left, Form form, Control& control) {
  const std::size_t cols = system.cols();
  const std::size_t rank = space.echelon.rank;
  // Row q: the value of unknown q in every kernel vector; a vector turned
  // orthogonal to a row joined is zero from then on.
  BitMatrix kernel = kernel_by_unknown(space.basis, space.echelon, control);
  const std::size_t words = kernel.words();
  std::size_t live = kernel.cols();
  std::size_t added = 0;
  const std::size_t row_bytes = BitMatrix::stride_for(cols) * sizeof(Word);
  const std::size_t piece =
      std::max<std::size_t>(tuning::rows_per_thread, tuning::chunk_bytes / row_bytes);
  BitMatrix rows(std::min(piece, left), cols);
  std::vector<Word> syndrome(words);
  while (left > 0 && live > 0) {
    const std::vector<Mask> points = system.next_rows(reading, std::min(piece, left), control);
    left -= points.size();
    if (points.empty()) break;
    system.build(points, space.columns, rows, 0, control);
    for (std::size_t i = 0; i < points.size() && live > 0; ++i) {
      if (i % tuning::rows_per_checkpoint == 0) control.checkpoint();
      const Word* row = rows.row(i);
      std::fill(syndrome.begin(), syndrome.end(), Word{0});
      for (std::size_t w = 0; w < rows.words(); ++w) {
        for (Word set = row[w]; set != 0; set &= set - 1) {
          const Word* values =
              kernel.row(w * word_bits + static_cast<std::size_t>(std::countr_zero(set)));
          for (std::size_t k = 0; k < words; ++k) syndrome[k] ^= values[k];
        }
      }
      std::size_t j = 0;
      while (j < words && syndrome[j] == 0) ++j;
      if (j == words) continue;  // in the span
      // Vector `first` is not orthogonal to the row: it is added to every
      // other vector that is not either, and itself becomes zero.
      const std::size_t first =
          j * word_bits + static_cast<std::size_t>(std::countr_zero(syndrome[j]));
      for (std::size_t q = 0; q < cols; ++q) {
        Word* values = kernel.row(q);
        if (values[first / word_bits] >> (first % word_bits) & 1) {
          for (std::size_t k = 0; k < words; ++k) values[k] ^= syndrome[k];
        }
      }
      std::copy_n(row, rows.stride(), space.basis.row(rank + added));
      ++added;
      --live;
    }
  }
  if (added > 0 || form == Form::echelon) {
    space.echelon = echelonize(space.basis, rank + added, form, control);
  }
}

}  // namespace

RowSpace row_space(const ReducedSystem& system, Purpose purpose, Control& control) {
  const int n = system.function().variables();
  const std::size_t cols = system.cols();
  const std::size_t rows = capacity(system);
  // The index, then the matrix: the reservations come before the allocations.
  MemoryReservation index(
      tuning::index_bytes_per_monomial * monomials_up_to_count(n, system.degree()),
      "the reduced system's index");
  if (cols <= tuning::sifted_columns) {
    RowSpace space{std::move(index), system.columns(control), BitMatrix(), Echelon{}};
    space.echelon =
        narrow_row_space(system, space.columns, space.basis,
                         purpose == Purpose::kernel ? Form::reduced : Form::echelon, control);
    return space;
  }
  RowSpace space{std::move(index), system.columns(control), BitMatrix(rows, cols), Echelon{}};
  ReducedSystem::Reading reading;
  std::size_t left = system.rows();
  std::size_t chunk = std::min(left, cols + tuning::first_chunk_extra);
  // A tall system's first chunk is drawn from all its rows at a stride: in
  // their order the first rows lack the high variables, and ranks short of
  // full need many chunks to reach what rows from the whole cube give at
  // once.  The later chunks pass over the rows drawn.
  if (chunk > 0 && left / chunk >= tuning::sampled_chunk_ratio) {
    reading.stride = left / chunk;
    reading.sampled = chunk;
  }
  Form form = Form::echelon;
  while (chunk > 0) {
    const std::size_t rank = space.echelon.rank;
    const bool first = left == system.rows();
    const std::vector<Mask> points = first && reading.stride != 0
                                         ? system.sampled_rows(reading.stride, chunk, control)
                                         : system.next_rows(reading, chunk, control);
    system.build(points, space.columns, space.basis, rank, control);
    left -= chunk;
    // The last chunk of a kernel's system is reduced in the same pass.
    form = purpose == Purpose::kernel && left == 0 ? Form::reduced : Form::echelon;
    space.echelon = echelonize(space.basis, rank + chunk, form, control);
    // A full rank leaves no kernel: the rest need not be read for either purpose.
    if (space.echelon.rank == cols) break;
    if (left > 0 && cols - space.echelon.rank <= tuning::kernel_sifted_deficiency) {
      if (form != Form::reduced) {
        space.echelon = echelonize(space.basis, space.echelon.rank, Form::reduced, control);
      }
      form = purpose == Purpose::kernel ? Form::reduced : Form::echelon;
      sift_by_kernel(system, space, reading, left, form, control);
      return space;
    }
    chunk = std::min(left, rows - space.echelon.rank);
  }
  if (purpose == Purpose::kernel && form != Form::reduced && space.echelon.rank < cols) {
    space.echelon = echelonize(space.basis, space.echelon.rank, Form::reduced, control);
  }
  return space;
}

std::uint64_t annihilator_dimension(const TruthTable& s, int d, Control& control) {
  if (d < 0) return 0;
  const ReducedSystem system(s, d);
  // No rows (a support without points above d): every unknown is free, and
  // the index of the unknowns, which may hold nearly 2**n points, is not needed.
  if (system.rows() == 0) return system.cols();
  return system.cols() - row_space(system, Purpose::rank, control).echelon.rank;
}

}  // namespace quillmat::engine
