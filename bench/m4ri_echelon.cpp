// Times M4RI's reduced row echelon form (mzd_echelonize with full = 1) on one
// matrix: the bit-packed reference for what this machine can do.
//
//   m4ri-echelon MATRIX REDUCED MIN_REPETITION_SECONDS REPEATS CELL_SECONDS
//
// MATRIX holds "ROWS COLS" on its first line, then one line of '0'/'1' per
// row; the reduced matrix of the warm-up call is written to REDUCED in the
// same form, for the benchmark to compare with quillmat's.  The timing rule
// is the benchmark's (Rule in bench/timing.py): one warm-up call, calls batched
// (1, 2, 5, 10, ...) until a repetition lasts MIN_REPETITION_SECONDS, then
// REPEATS repetitions, fewer when they would cost over CELL_SECONDS.  Only
// mzd_echelonize is timed; copying the input before each call is not.
// Prints "rank R", "calls N" and "seconds T1 T2 ..." (per call).
#include <m4ri/m4ri.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

[[noreturn]] void fail(const std::string& message) {
  std::cerr << "m4ri-echelon: " << message << '\n';
  std::exit(1);
}

mzd_t* read_matrix(const char* path) {
  std::ifstream in(path);
  int rows = 0, cols = 0;
  if (!(in >> rows >> cols) || rows <= 0 || cols <= 0) fail(std::string("bad header in ") + path);
  mzd_t* matrix = mzd_init(rows, cols);
  std::string line;
  for (int r = 0; r < rows; ++r) {
    if (!(in >> line) || static_cast<int>(line.size()) != cols) fail("bad row in matrix file");
    for (int c = 0; c < cols; ++c) mzd_write_bit(matrix, r, c, line[c] == '1');
  }
  return matrix;
}

void write_matrix(const char* path, const mzd_t* matrix) {
  std::ofstream out(path);
  out << matrix->nrows << ' ' << matrix->ncols << '\n';
  std::string line(matrix->ncols, '0');
  for (rci_t r = 0; r < matrix->nrows; ++r) {
    for (rci_t c = 0; c < matrix->ncols; ++c) line[c] = mzd_read_bit(matrix, r, c) ? '1' : '0';
    out << line << '\n';
  }
  if (!out) fail("cannot write the reduced matrix");
}

// Seconds spent in `calls` echelon forms of fresh copies of `input`.
double time_calls(const mzd_t* input, mzd_t* work, long calls) {
  Clock::duration spent{};
  for (long i = 0; i < calls; ++i) {
    mzd_copy(work, input);
    const auto start = Clock::now();
    mzd_echelonize(work, 1);
    spent += Clock::now() - start;
  }
  return std::chrono::duration<double>(spent).count();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 6)
    fail("usage: m4ri-echelon MATRIX REDUCED MIN_REPETITION_SECONDS REPEATS CELL_SECONDS");
  const double min_repetition = std::atof(argv[3]);
  const long repeats = std::atol(argv[4]);
  const double cell_seconds = std::atof(argv[5]);

  mzd_t* input = read_matrix(argv[1]);
  mzd_t* work = mzd_copy(nullptr, input);
  const auto start = Clock::now();
  const rci_t rank = mzd_echelonize(work, 1);  // the warm-up, not counted
  const double warm_up = std::chrono::duration<double>(Clock::now() - start).count();
  write_matrix(argv[2], work);

  // Batches of 1, 2, 5, 10, 20, 50, ... calls, as Python's timeit.autorange.
  long calls = 1;
  double repetition = warm_up;
  for (long scale = 1; repetition < min_repetition; scale *= 10) {
    for (long step : {1, 2, 5}) {
      calls = step * scale;
      repetition = time_calls(input, work, calls);
      if (repetition >= min_repetition) break;
    }
  }
  const long runs =
      std::max(1L, std::min(repeats, static_cast<long>(cell_seconds / std::max(repetition, 1e-9))));

  std::vector<double> seconds;
  for (long run = 0; run < runs; ++run) seconds.push_back(time_calls(input, work, calls) / calls);

  std::printf("rank %d\ncalls %ld\nseconds", static_cast<int>(rank), calls);
  for (double s : seconds) std::printf(" %.9g", s);
  std::printf("\n");
  mzd_free(work);
  mzd_free(input);
  return 0;
}
