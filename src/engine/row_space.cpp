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
  std::uint64_t next = 0;
  std::size_t left = system.rows();
  std::size_t chunk = std::min(left, cols + tuning::first_chunk_extra);
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
    chunk = std::min(left, rows - space.echelon.rank);
  }
  if (purpose == Purpose::kernel && form != Form::reduced) {
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
