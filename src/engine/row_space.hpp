// The row space of a reduced system, read a chunk of rows at a time.
//
// The matrix holds at most cols + extra rows (tuning.hpp says how many): the
// rank so far, then the next chunk, eliminated together.  The first chunk has
// cols + tuning::first_chunk_extra rows, which for most systems of full
// column rank already have it: when only the rank is wanted, the rest is then
// never built.  Memory is the matrix and the index of the unknowns, never a
// row per point.  A narrow system (at most tuning::sifted_columns columns)
// needs no matrix of its rows: each is reduced by the basis so far as it is
// made, and the matrix holds the basis alone.
#pragma once

#include <cstdint>

#include "engine/bit_matrix.hpp"
#include "engine/control.hpp"
#include "engine/eliminate.hpp"
#include "engine/memory.hpp"
#include "engine/reduced_system.hpp"

namespace quillmat::engine {

struct RowSpace {
  MemoryReservation memory;        // for the index (the matrix holds its own)
  ReducedSystem::Columns columns;  // the unknowns
  BitMatrix basis;                 // rows 0 .. echelon.rank-1 span the system's rows
  Echelon echelon;
};

// What the row space is for: the rank alone, or the kernel, for which it
// ends in reduced row echelon form.  Either stops once the rank is full;
// then the kernel is empty, and the form only an echelon form.
enum class Purpose { rank, kernel };

RowSpace row_space(const ReducedSystem& system, Purpose purpose, Control& control);

// dim Ann_d(s): the unknowns less the rank.
std::uint64_t annihilator_dimension(const TruthTable& s, int d, Control& control);

}  // namespace quillmat::engine
