// Times quillmat's elimination kernel (engine::echelonize) on one large
// dense matrix over GF(2): the twin of m4ri_rank.cpp, which times M4RI on the
// same matrices; what the two share (the file format, the random generator,
// the options, the timing and the lines printed) is in timer.hpp, so that the
// two can be compared number for number.
//
//   engine-rank MATRIX [--methods NAME,NAME,...] [--threads N,N,...] [--repeats N]
//   engine-rank MATRIX --write FILE
//
// Build (from the repository root; scripts/bench does it):
//   c++ -O3 -DNDEBUG -std=c++20 -Isrc bench/engine_rank.cpp -pthread
//     $(grep -v '^#' src/engine/sources.txt)
//
// MATRIX is one of
//   FILE                    a file in the format of timer.hpp
//   random:ROWS:COLS:SEED   timer.hpp's generator
//   system:TABLE:DEGREE     the reduced system of the annihilators of degree
//                           <= DEGREE of the function in the file TABLE
//                           (engine::ReducedSystem(f, d).matrix(), what the
//                           immunity engine eliminates)
//   direct:TABLE:DEGREE     the direct system of the same annihilators: a row
//                           for each point x with f(x) = 1 (increasing x), a
//                           column for each monomial m of degree <= DEGREE in
//                           canonical order (monomials.hpp), entry [m inside x]
// TABLE holds one truth table, f(0) first (variable x_i is bit i of x), as
// '0'/'1' characters or as "0x" and hex digits of four values each, most
// significant first ("0x6" is 0110), as examples/algebraic_immunity.py reads
// it; whitespace is ignored.
//
// --write FILE writes the matrix in the file format (for m4ri-rank to read
// the very same matrix) and prints its rows, cols and input_fnv1a64; nothing
// is timed.
//
// Methods (default: both), each on a fresh copy of the input (the copy is not
// timed), with each thread count of --threads (default 1):
//   echelon   echelonize(A, Form::echelon)   rank only (row echelon form)
//   reduced   echelonize(A, Form::reduced)   reduced row echelon form
//
// Output: the lines of timer.hpp, where
//   build_seconds T      for system: and direct:, the time to build the matrix
//   reduced_fnv1a64 H    must equal M4RI's
//   seconds_NAME T       per method with 1 thread
//   seconds_NAME_tN T    the same with N threads, N > 1
#include <algorithm>
#include <array>
#include <bit>
#include <cctype>
#include <cstdint>
#include <exception>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/bit_matrix.hpp"
#include "engine/control.hpp"
#include "engine/eliminate.hpp"
#include "engine/monomials.hpp"
#include "engine/reduced_system.hpp"
#include "timer.hpp"

const char quillmat::bench::program[] = "engine-rank";

namespace {

using namespace quillmat::engine;
using namespace quillmat::bench;

constexpr std::string_view kUsage =
    "usage: engine-rank MATRIX|random:ROWS:COLS:SEED|system:TABLE:DEGREE|direct:TABLE:DEGREE "
    "[--methods NAME,...] [--threads N,...] [--repeats N] | --write FILE";

// How timer.hpp reaches a BitMatrix's rows.
struct Rows {
  using Matrix = BitMatrix;
  static BitMatrix make(std::size_t rows, std::size_t cols) { return BitMatrix(rows, cols); }
  static std::size_t rows(const BitMatrix& matrix) { return matrix.rows(); }
  static std::size_t cols(const BitMatrix& matrix) { return matrix.cols(); }
  static Word* row(BitMatrix& matrix, std::size_t r) { return matrix.row(r); }
  static const Word* row(const BitMatrix& matrix, std::size_t r) { return matrix.row(r); }
};

struct Method {
  std::string_view name;
  Form form;
};

constexpr std::array<Method, 2> kMethods{{
    {"echelon", Form::echelon},
    {"reduced", Form::reduced},
}};

TruthTable read_table(const std::string& path) {
  std::ifstream in(path);
  if (!in) fail("cannot open " + path);
  std::string text;
  for (char c; in.get(c);)
    if (!std::isspace(static_cast<unsigned char>(c))) text.push_back(c);
  std::string bits;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    for (char c : std::string_view(text).substr(2)) {
      int digit = 0;
      if (c >= '0' && c <= '9')
        digit = c - '0';
      else if (c >= 'a' && c <= 'f')
        digit = c - 'a' + 10;
      else if (c >= 'A' && c <= 'F')
        digit = c - 'A' + 10;
      else
        fail("not a hex digit in " + path + ": '" + std::string(1, c) + "'");
      for (int b = 3; b >= 0; --b) bits.push_back(digit >> b & 1 ? '1' : '0');
    }
  } else {
    bits = text;
  }
  const int n = std::bit_width(bits.size()) - 1;
  if (bits.size() < 2 || bits.size() != std::size_t{1} << n || n > max_variables)
    fail("a truth table has 2**n values, 1 <= n <= 30; " + path + " has " +
         std::to_string(bits.size()));
  std::vector<Word> words(words_for(bits.size()));
  for (std::size_t x = 0; x < bits.size(); ++x) {
    if (bits[x] == '1')
      words[x / word_bits] |= Word{1} << (x % word_bits);
    else if (bits[x] != '0')
      fail("not a 0/1 truth table: " + path);
  }
  return TruthTable(n, std::move(words));
}

BitMatrix direct_system(const TruthTable& f, int d) {
  const int n = f.variables();
  const std::vector<Mask> monomials = monomials_up_to(n, d);
  std::vector<std::int32_t> column_of(std::size_t{1} << n, -1);
  for (std::size_t i = 0; i < monomials.size(); ++i)
    column_of[monomials[i]] = static_cast<std::int32_t>(i);
  BitMatrix matrix(f.weight(), monomials.size());
  std::size_t r = 0;
  for (std::uint64_t x = 0; x < f.points(); ++x) {
    if (!f.at(x)) continue;
    Word* row = matrix.row(r++);
    const Mask point = static_cast<Mask>(x);
    // Every subset m of x, x itself first, down to 0.
    for (Mask m = point;; m = (m - 1) & point) {
      if (degree(m) <= d) {
        const auto q = static_cast<std::size_t>(column_of[m]);
        row[q / word_bits] |= Word{1} << (q % word_bits);
      }
      if (m == 0) break;
    }
  }
  return matrix;
}

}  // namespace

int main(int argc, char** argv) {
  const char* write_to = nullptr;
  std::vector<unsigned> thread_counts{1};
  const auto options =
      parse_options(argc, argv, kMethods, kUsage, [&](std::string_view arg, const char* value) {
        if (arg == "--threads") {
          thread_counts.clear();
          for (std::string_view t : split_commas(value)) {
            const auto count = parse_number<unsigned>(t);
            if (!count || *count < 1 || *count > 256)
              fail("bad thread count '" + std::string(t) + "'", 2);
            thread_counts.push_back(*count);
          }
          if (thread_counts.empty()) fail("--threads needs at least one count", 2);
        } else if (arg == "--write") {
          write_to = value;
        } else {
          return false;
        }
        return true;
      });

  Results results;
  try {
    const std::string_view spec = options.source;
    BitMatrix input;
    std::optional<double> build_seconds;
    if (spec.starts_with("random:")) {
      input = random_matrix<Rows>(spec.substr(7));
    } else if (spec.starts_with("system:") || spec.starts_with("direct:")) {
      // TABLE:DEGREE, the path possibly holding colons: the degree follows the last.
      const std::string_view rest = spec.substr(7);
      const auto colon = rest.rfind(':');
      if (colon == std::string_view::npos)
        fail("expected " + std::string(spec.substr(0, 6)) + ":TABLE:DEGREE", 2);
      const auto d = parse_number<int>(rest.substr(colon + 1));
      if (!d || *d < 0) fail("bad DEGREE: '" + std::string(rest.substr(colon + 1)) + "'", 2);
      const TruthTable f = read_table(std::string(rest.substr(0, colon)));
      const auto start = Clock::now();
      if (spec.starts_with("system:")) {
        Control control;
        input = ReducedSystem(f, std::min(*d, f.variables())).matrix(control);
      } else {
        input = direct_system(f, std::min(*d, f.variables()));
      }
      build_seconds = seconds_since(start);
    } else {
      input = read_matrix<Rows>(options.source);
    }
    if (input.rows() == 0 || input.cols() == 0) fail("the matrix is empty");
    print_input<Rows>(input, build_seconds);
    if (write_to) {
      write_matrix<Rows>(input, write_to);
      return 0;
    }

    for (unsigned threads : thread_counts) {
      for (const Method* method : options.methods) {
        std::string name(method->name);
        if (threads > 1) name += "_t" + std::to_string(threads);
        results.time<Rows>(name, method->form == Form::reduced, options.repeats, [&](auto time) {
          BitMatrix work = input.clone();
          Control control;
          control.set_threads(threads);
          time(work, [&] { return echelonize(work, method->form, control).rank; });
        });
      }
    }
  } catch (const std::exception& error) {
    fail(error.what());
  }
  results.print();
  return 0;
}
