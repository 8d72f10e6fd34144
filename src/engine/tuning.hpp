// The engine's tuning: each number that trades one cost against another,
// named with the reason for its value.  None changes a result; each changes
// how fast, in how much memory or how promptly a result comes.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quillmat::engine::tuning {

// --- cancellation ------------------------------------------------------------
// A checkpoint every so many pieces of work keeps the time between two well
// under a millisecond, without the check itself showing in the profile.
inline constexpr std::size_t rows_per_checkpoint = 4096;        // pivot search, a panel's row reads
inline constexpr std::size_t built_rows_per_checkpoint = 1024;  // reduced-system rows built
inline constexpr std::size_t kernel_rows_per_checkpoint = 256;  // kernel rows spread out
inline constexpr std::size_t monomials_per_checkpoint = 65536;  // coefficients transposed
// Steps of a loop over points or words, each a few nanoseconds: the index of
// the unknowns, the scan for a chunk's rows, a pass of the Moebius transform,
// the clearing and filling of its buffer.
inline constexpr std::size_t points_per_checkpoint = std::size_t{1} << 16;
// Subsets a row enumerates: a row of a high weight at a high degree has
// hundreds of thousands, so rows alone are too coarse a count.
inline constexpr std::size_t subsets_per_checkpoint = std::size_t{1} << 16;

// --- threads -----------------------------------------------------------------
// More threads than cores only costs memory (each has tables of its own); a
// few per core still hide the stalls of one.
inline constexpr unsigned threads_per_core = 4;
// A thread is worth starting for at least this many rows of a loop.
inline constexpr std::size_t rows_per_thread = 4096;
// The elimination uses its team once a panel's update (rows * words) is well
// above the cost of handing it over.
inline constexpr std::size_t team_words = std::size_t{1} << 16;
// Systems are solved each on threads of its own only when each is worth at
// least this much work (ReducedSystem::cost, in word operations: a few
// milliseconds); else one after the other on the calling thread, each with
// all the threads.
inline constexpr double parallel_cost = 1.5e7;

// --- memory ------------------------------------------------------------------
// Rows ahead of the one in hand that the elimination asks the cache for:
// rows lie anywhere in memory once pivots have moved.
inline constexpr std::size_t prefetch_rows = 8;
// The reduced system's index: per monomial of degree <= d, its point (4
// bytes) and its column (4 bytes) in the unknowns, and a row's place in
// the list of rows read at once (4 bytes).
inline constexpr std::size_t index_bytes_per_monomial = 12;
// What an entry of that index costs in the planning of work, in word
// operations: written once and read at random (a miss in cache each), it
// weighs about as much as eight words of elimination, and it holds memory
// that a system with few columns and many rows does not need.
inline constexpr double index_entry_cost = 8;
// The row space is read in chunks: the first of `cols + first_chunk_extra`
// rows, which for most systems of full column rank already have it; then
// chunks that fill the matrix again, which holds the rank so far and at least
// max(chunk_extra_rows, cols / chunk_extra_share) more, or as many rows as fit
// in chunk_bytes: a tall system of few columns is then read in few large
// chunks rather than a great many tiny ones.
inline constexpr std::size_t first_chunk_extra = 64;
// A system with at least this many times the first chunk's rows has that
// chunk drawn at a stride over all its rows (row_space.cpp): its later
// chunks are then read in few passes; shorter, the rest is soon read anyway.
inline constexpr std::size_t sampled_chunk_ratio = 4;
// A rank short of full by at most this many (one word of kernel vectors per
// unknown) after a chunk: the rest of the rows are tested against the
// kernel, a word per entry of a row, instead of eliminated by the rank, a
// pass over the row per pivot it holds.
inline constexpr std::size_t kernel_sifted_deficiency = 64;
inline constexpr std::size_t chunk_extra_rows = 64;
inline constexpr std::size_t chunk_extra_share = 4;
inline constexpr std::size_t chunk_bytes = std::size_t{1} << 20;
// Rows of at most this many columns (four words, one panel of the
// elimination) are made from tables and reduced by the basis so far as they
// are made (row_space.hpp), with a lookup per byte: a row then costs a few
// dozen words, against its subsets and the elimination's several passes
// with its tracking.  Wider, the tables of the reduction outgrow the cache.
inline constexpr std::size_t sifted_columns = 256;
// Such a system is read without a matrix, a piece of the truth table at a
// time: the first of this many words (4096 points), which for a system of
// full rank often ends it; then pieces twice as large each, up to 2**14
// words (a million points), enough to keep the threads busy and few enough
// that a piece's bases join the common one seldom.
inline constexpr std::size_t narrow_first_words = 64;
inline constexpr std::size_t narrow_piece_words = std::size_t{1} << 14;
// The Moebius transform of the kernel vectors goes 64 vectors per word, as
// many words at once as keep its buffer within this many words (32 MiB):
// the work is the same in more passes, each pass over the index costs far
// less than the transform, and the buffer no longer adds a quarter of a
// gigabyte to the kernel and the matrices beside it.
inline constexpr std::size_t moebius_words = std::size_t{1} << 22;

// --- the degree search -------------------------------------------------------
// The search tries the lowest open degree while it costs at most 1/8 of the
// degree just below the known bound: a low immunity is then found at low
// cost, and a high one costs at most an eighth more than going down from the
// bound alone would.
inline constexpr double ascend_cost_ratio = 8;
// When the degree below the bound needs more memory than the process may
// use, lower degrees are still tried while each costs at most this much (in
// ReducedSystem::cost's word operations: a few seconds), since a low
// immunity needs no more; the first dearer one raises MemoryError at once.
inline constexpr double hopeful_cost = 1e10;

// --- the black-box solver ----------------------------------------------------
// The approximant basis of block Wiedemann and its check cost about this
// many transform word operations per term of the sequence squared (measured
// at 17 variables: 8.7 s for 2053 terms, transforms at 4e9 a second).
inline constexpr double lingen_cost = 8000;
// The black-box solver's cost units run about this many times slower than
// the dense solver's (measured at 17 variables: about 4e9 a second against
// 1.2e10): its transforms stream a buffer of 2^n words where elimination
// works on rows in the cache.  The choice of solver compares the two costs
// in time.
inline constexpr double black_box_cost_ratio = 4;
// The most work (in its cost units, about ten hours at the rate above) that
// method "auto" gives the black-box solver; a dearer system goes to the
// dense solver, which fails at once where it does not fit, rather than run
// for days unasked.
inline constexpr double black_box_horizon = 1e14;
// Block Wiedemann's Krylov blocks have this many blocks of 64 vectors more
// than the D / 64 that could span the D columns, so that a rank short by
// chance is rare.
inline constexpr std::uint64_t block_slack = 3;
// The two sides' black-box systems of a degree run on two threads when each
// costs at least this much (a few dozen milliseconds): below it, starting a
// thread is a large part of the work.
inline constexpr double black_box_thread_cost = 1e8;
// Tries of block Wiedemann before the solver gives up proving an answer.
// One proves what is asked unless B's kernel is larger than M's by more
// than the vectors found (rare), or the kernel is large: each try finds at
// most 64 annihilators.
inline constexpr unsigned black_box_tries = 12;
// A kernel of more annihilators than this is not worth proving whole with
// tries of 64 vectors each; one of more monomials than points by more than
// this is at least that large, which is known before any work.
inline constexpr std::uint64_t black_box_whole_kernel = 48;

// --- polynomials vanishing on points (vanishing.cpp) -------------------------
// Points a batch, in blocks of 64: each batch's products read every
// remaining polynomial once, and its elimination touches them once more, so
// a larger batch costs fewer passes but drops what no longer vanishes later.
inline constexpr std::size_t vanishing_batch_blocks = 16;
// Four Russians tables of this many groups of 8 monomials at a time (each
// group 256 words): 64 KiB, which stays in the first-level cache's
// neighbourhood while every polynomial's bytes of those groups are read.
inline constexpr std::size_t vanishing_table_groups = 32;
// A batch's products are split among threads when they cost this many table
// reads (polynomials * groups * blocks): below it a thread costs more than it saves.
inline constexpr double vanishing_thread_reads = 4e6;

}  // namespace quillmat::engine::tuning
