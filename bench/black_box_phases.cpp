// Where a try of block Wiedemann spends its time, at the hardest degree of a
// random function (d = n / 2 - 1, the last without annihilators), and what
// bounds each phase:
//   - a product pair (M x, then M^T y) against the machine's streaming
//     bandwidth, measured on a buffer of the transform's size;
//   - the approximant basis and its check on sigma random terms;
//   - one whole try (probe_kernel), for the total.
// Built and run from the repository's root (one command line):
//   g++ -std=c++20 -O2 -march=native -Isrc -pthread bench/black_box_phases.cpp
//       $(grep -v '^#' src/engine/sources.txt) -o build/black_box_phases
//   build/black_box_phases 16 17 18
// It prints a Markdown table.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "engine/black_box.hpp"
#include "engine/lingen.hpp"
#include "engine/wiedemann.hpp"

using namespace quillmat::engine;
using Clock = std::chrono::steady_clock;

double since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// GB/s of a ^= b over two buffers of `words` words.
double streaming(std::size_t words) {
  std::vector<Word> a(words, 1), b(words, 3);
  const int rounds = static_cast<int>(std::max<std::size_t>(4, (std::size_t{1} << 26) / words));
  const auto start = Clock::now();
  for (int r = 0; r < rounds; ++r) {
    for (std::size_t i = 0; i < words; ++i) a[i] ^= b[i] + static_cast<Word>(r);
  }
  const double seconds = since(start);
  volatile Word keep = a[words / 2];
  (void)keep;
  return 3.0 * 8 * static_cast<double>(words) * rounds / seconds / 1e9;  // 2 loads, 1 store
}

int main(int argc, char** argv) {
  std::printf(
      "| n | D | sigma | product pair | its passes over memory | stream a^=b on 2^n words "
      "| approximant basis | its check | whole try |\n|---|---|---|---|---|---|---|---|---|\n");
  for (int a = 1; a < argc; ++a) {
    const int n = std::atoi(argv[a]), d = n / 2 - 1;
    std::mt19937_64 rng(n);
    std::vector<Word> bits(words_for(std::size_t{1} << n));
    for (Word& w : bits) w = rng();
    if (n < 6) bits[0] &= (Word{1} << (1u << n)) - 1;
    const TruthTable s(n, bits);
    DirectSystem system(s, d);
    Control control;
    const std::uint64_t sigma = sequence_terms(system.cols(), system.rows());

    std::vector<Word> x(system.cols()), y(system.rows());
    for (Word& w : x) w = rng();
    const int pairs = 20;
    auto start = Clock::now();
    for (int i = 0; i < pairs; ++i) {
      system.apply(x.data(), y.data(), control);
      system.apply_transpose(y.data(), x.data(), control);
    }
    const double pair = since(start) / pairs;

    std::vector<Block> terms(sigma);
    for (Block& t : terms) {
      for (Word& w : t) w = rng();
    }
    const BlockSequence sequence(1, terms);
    start = Clock::now();
    const ApproximantBasis basis = approximant_basis(sequence, control);
    const double lingen = since(start);
    start = Clock::now();
    const bool checked = is_approximant_basis(sequence, basis, control);
    const double check = since(start);
    if (!checked) return std::fprintf(stderr, "the basis failed its check\n"), 1;

    start = Clock::now();
    const KernelProbe probe = probe_kernel(system, rng(), control);
    const double whole = since(start);
    // Each transform reads and writes its buffer once for the 12 low
    // variables (in the cache block by block), then once for every two more.
    const double passes = 1 + (n > 12 ? (n - 12 + 1) / 2 : 0);
    const double moved = 2 * passes * 16.0 * static_cast<double>(std::size_t{1} << n);
    std::printf(
        "| %d | %zu | %llu | %.3f ms | %.1f GB/s | %.1f GB/s | %.2f s | %.2f s | %.2f s (%s) |\n",
        n, system.cols(), static_cast<unsigned long long>(sigma), 1e3 * pair, moved / pair / 1e9,
        streaming(std::size_t{1} << n), lingen, check, whole,
        probe.full_rank ? "full rank proved" : "not proved full");
    std::fflush(stdout);
  }
}
