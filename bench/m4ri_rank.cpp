// Times M4RI's echelon forms on one large dense matrix over GF(2): the
// bit-packed reference for rank and reduced-echelon work at sizes where the
// benchmark's text-file timer (m4ri_echelon.cpp) would spend longer reading
// than reducing.  The twin of engine_rank.cpp: what the two share (the file
// format, the random generator, the options, the timing and the lines
// printed) is in timer.hpp.
//
//   m4ri-rank MATRIX [--methods NAME,NAME,...] [--repeats N]
//
// Build:  c++ -O2 -std=c++20 bench/m4ri_rank.cpp -o m4ri-rank $(pkg-config --cflags --libs m4ri)
//
// MATRIX is either a file in the format of timer.hpp or random:ROWS:COLS:SEED,
// a matrix of its generator.
//
// Methods (default: all, in this order), each on a fresh copy of the input;
// the copy is not timed:
//   echelon       mzd_echelonize(A, 0)          rank only (row echelon form)
//   reduced       mzd_echelonize(A, 1)          reduced row echelon form
//   pluq          mzd_echelonize_pluq(A, 0)
//   pluq_reduced  mzd_echelonize_pluq(A, 1)
//   m4ri          mzd_echelonize_m4ri(A, 0, 0)
//   m4ri_reduced  mzd_echelonize_m4ri(A, 1, 0)
// mzd_echelonize is M4RI's default: the M4RI elimination with its density
// heuristic, which switches to PLUQ once the rest of the matrix is dense;
// mzd_echelonize_m4ri is the same elimination without that switch.
//
// Output: the lines of timer.hpp (no build_seconds).
#include <m4ri/m4ri.h>

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

#include "timer.hpp"

const char quillmat::bench::program[] = "m4ri-rank";

namespace {

using namespace quillmat::bench;

// How timer.hpp reaches an M4RI matrix's rows.
struct Rows {
  using Matrix = mzd_t*;
  static mzd_t* make(std::size_t rows, std::size_t cols) {
    return mzd_init(static_cast<rci_t>(rows), static_cast<rci_t>(cols));
  }
  static std::size_t rows(const mzd_t* matrix) { return static_cast<std::size_t>(matrix->nrows); }
  static std::size_t cols(const mzd_t* matrix) { return static_cast<std::size_t>(matrix->ncols); }
  static word* row(const mzd_t* matrix, std::size_t r) {
    return mzd_row(matrix, static_cast<rci_t>(r));
  }
};

struct Method {
  std::string_view name;
  bool reduced;
  rci_t (*run)(mzd_t*);
};

constexpr std::array<Method, 6> kMethods{{
    {"echelon", false, [](mzd_t* a) { return mzd_echelonize(a, 0); }},
    {"reduced", true, [](mzd_t* a) { return mzd_echelonize(a, 1); }},
    {"pluq", false, [](mzd_t* a) { return mzd_echelonize_pluq(a, 0); }},
    {"pluq_reduced", true, [](mzd_t* a) { return mzd_echelonize_pluq(a, 1); }},
    {"m4ri", false, [](mzd_t* a) { return mzd_echelonize_m4ri(a, 0, 0); }},
    {"m4ri_reduced", true, [](mzd_t* a) { return mzd_echelonize_m4ri(a, 1, 0); }},
}};

}  // namespace

int main(int argc, char** argv) {
  const auto options = parse_options(
      argc, argv, kMethods,
      "usage: m4ri-rank MATRIX|random:ROWS:COLS:SEED [--methods NAME,...] [--repeats N]",
      [](std::string_view, const char*) { return false; });

  const std::string_view spec = options.source;
  mzd_t* input = spec.starts_with("random:") ? random_matrix<Rows>(spec.substr(7))
                                             : read_matrix<Rows>(options.source);
  print_input<Rows>(input);

  mzd_t* work = mzd_init(input->nrows, input->ncols);
  Results results;
  for (const Method* method : options.methods) {
    results.time<Rows>(std::string(method->name), method->reduced, options.repeats, [&](auto time) {
      mzd_copy(work, input);
      time(work, [&] { return method->run(work); });
    });
  }
  results.print();
  mzd_free(work);
  mzd_free(input);
  return 0;
}
