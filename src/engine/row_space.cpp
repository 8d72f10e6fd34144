#include "engine/row_space.hpp"

#include <algorithm>
#include <utility>
#include <vector>

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

// Reduces rows rank .. rank+count-1 of the space's matrix by its rows 0 ..
// rank-1, an echelon form with the pivots `space.echelon.pivots`, and moves
// those that stay non-zero, in their order, to rows rank, rank+1, ...: the
// same row space, as the others are sums of the rows above.  Returns how
// many stay.
std::size_t sift_rows(RowSpace& space, std::size_t rank, std::size_t count) {
  BitMatrix& matrix = space.basis;
  const std::vector<std::uint32_t>& pivots = space.echelon.pivots;
  const std::size_t words = matrix.words();
  std::vector<Word*>& order = matrix.row_order();
  std::size_t kept = 0;
  for (std::size_t i = rank; i < rank + count; ++i) {
    Word* row = order[i];
    Word any = 0;
    // In order of the pivots: each leads where the rows before it are zero.
    for (std::size_t j = 0; j < rank; ++j) {
      const std::size_t p = pivots[j];
      if (row[p / word_bits] >> (p % word_bits) & 1) {
        const Word* pivot = order[j];
        for (std::size_t w = p / word_bits; w < words; ++w) row[w] ^= pivot[w];
      }
    }
    for (std::size_t w = 0; w < words; ++w) any |= row[w];
    if (any != 0) std::swap(order[rank + kept++], order[i]);
  }
  return kept;
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
  RowSpace space{std::move(index), system.columns(), BitMatrix(rows, cols), Echelon{}};
  // Narrow rows are reduced by the rank so far as they come, and only those
  // it leaves non-zero are eliminated: a tall system's rows are nearly all
  // in the span already, and a few words per row tell which.
  const bool sift = cols <= tuning::sifted_columns;
  std::uint64_t next = 0;
  std::size_t left = system.rows();
  std::size_t chunk = std::min(left, cols + tuning::first_chunk_extra);
  Form form = Form::echelon;
  while (chunk > 0) {
    const std::size_t rank = space.echelon.rank;
    const std::vector<Mask> points = system.next_rows(next, chunk);
    system.build(points, space.columns, space.basis, rank, control);
    left -= chunk;
    const std::size_t kept = sift && rank > 0 ? sift_rows(space, rank, chunk) : chunk;
    // The last chunk of a kernel's system is reduced in the same pass.
    form = purpose == Purpose::kernel && left == 0 ? Form::reduced : Form::echelon;
    space.echelon = echelonize(space.basis, rank + kept, form, control);
    // A full rank leaves no kernel: the rest need not be read for either purpose.
    if (space.echelon.rank == cols) break;
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
