// Times quillmat's elimination kernel (engine::echelonize) on one large
// dense matrix over GF(2): the twin of m4ri_rank.cpp, which times M4RI on the
// same matrices and prints the same kind of lines, so that the two can be
// compared number for number.
//
//   engine-rank MATRIX [--methods NAME,NAME,...] [--threads N,N,...] [--repeats N]
//   engine-rank MATRIX --write FILE
//
// Build (from the repository root; scripts/bench does it):
//   c++ -O3 -DNDEBUG -std=c++20 -Isrc bench/engine_rank.cpp src/engine/*.cpp -pthread
//
// MATRIX is one of
//   FILE                    the file format of m4ri_rank.cpp
//   random:ROWS:COLS:SEED   m4ri_rank.cpp's generator, bit for bit
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
// Output, one "key value" per line, the keys of m4ri_rank.cpp:
//   rows R / cols C
//   input_fnv1a64 H      FNV-1a (64-bit) of the input's rows in the file layout
//   build_seconds T      for system: and direct:, the time to build the matrix
//   rank R               the same for every run, else exit 1
//   reduced_fnv1a64 H    the hash of the reduced form (pivot rows first, then
//                        zero rows), which is unique: it must equal M4RI's
//   seconds_NAME T       per method with 1 thread: the fastest of --repeats runs
//   seconds_NAME_tN T    the same with N threads, N > 1
//   peak_rss_mib M       this process's peak resident memory (VmHWM)
// Errors go to stderr with exit status 1 (2 for bad usage).
#include <sys/resource.h>

#include <algorithm>
#include <bit>
#include <cctype>
#include <charconv>
#include <chrono>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <iterator>
#include <limits>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "engine/annihilators.hpp"
#include "engine/bit_matrix.hpp"
#include "engine/control.hpp"
#include "engine/eliminate.hpp"
#include "engine/monomials.hpp"

namespace {

using namespace quillmat::engine;
using Clock = std::chrono::steady_clock;

constexpr std::string_view kUsage =
    "usage: engine-rank MATRIX|random:ROWS:COLS:SEED|system:TABLE:DEGREE|direct:TABLE:DEGREE "
    "[--methods NAME,...] [--threads N,...] [--repeats N] | --write FILE";

[[noreturn]] void fail(const std::string& message, int status = 1) {
  std::fprintf(stderr, "engine-rank: %s\n", message.c_str());
  std::exit(status);
}

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

template <typename T>
std::optional<T> parse_number(std::string_view text) {
  T value{};
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc{} || end != text.data() + text.size()) return std::nullopt;
  return value;
}

std::size_t parse_dimension(std::string_view text, const char* what) {
  const auto value = parse_number<long long>(text);
  if (!value || *value < 1 || *value > std::numeric_limits<int>::max())
    fail(std::string("bad ") + what + ": '" + std::string(text) + "'");
  return static_cast<std::size_t>(*value);
}

// The fields of "A:B:C".
std::vector<std::string_view> split_colons(std::string_view spec) {
  std::vector<std::string_view> fields;
  for (;;) {
    const auto colon = spec.find(':');
    fields.push_back(spec.substr(0, colon));
    if (colon == std::string_view::npos) return fields;
    spec = spec.substr(colon + 1);
  }
}

std::uint64_t splitmix64(std::uint64_t& state) {
  state += 0x9E3779B97F4A7C15ULL;
  std::uint64_t z = state;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return z ^ (z >> 31);
}

Word last_word_mask(std::size_t cols) {
  const std::size_t spare = cols % word_bits;
  return spare == 0 ? ~Word{0} : (Word{1} << spare) - 1;
}

BitMatrix random_matrix(std::string_view spec) {
  const auto fields = split_colons(spec);
  if (fields.size() != 3) fail("expected random:ROWS:COLS:SEED", 2);
  const std::size_t rows = parse_dimension(fields[0], "ROWS");
  const std::size_t cols = parse_dimension(fields[1], "COLS");
  const auto seed = parse_number<std::uint64_t>(fields[2]);
  if (!seed) fail("bad SEED: '" + std::string(fields[2]) + "'", 2);
  BitMatrix matrix(rows, cols);
  const Word mask = last_word_mask(cols);
  std::uint64_t state = *seed;
  for (std::size_t r = 0; r < rows; ++r) {
    Word* row = matrix.row(r);
    for (std::size_t w = 0; w < matrix.words(); ++w) row[w] = splitmix64(state);
    row[matrix.words() - 1] &= mask;
  }
  return matrix;
}

BitMatrix read_matrix(const char* path) {
  std::FILE* file = std::fopen(path, "rb");
  if (!file) fail(std::string("cannot open ") + path);
  std::string header;
  for (int c; (c = std::fgetc(file)) != '\n';) {
    if (c == EOF || header.size() > 40) fail(std::string("bad header in ") + path);
    header.push_back(static_cast<char>(c));
  }
  const auto space = header.find(' ');
  if (space == std::string::npos) fail(std::string("bad header in ") + path);
  const std::size_t rows = parse_dimension(std::string_view(header).substr(0, space), "ROWS");
  const std::size_t cols = parse_dimension(std::string_view(header).substr(space + 1), "COLS");

  BitMatrix matrix(rows, cols);
  const std::size_t row_bytes = (cols + 7) / 8;
  const unsigned padding_mask = cols % 8 == 0 ? 0u : 0xFFu << (cols % 8);
  std::vector<unsigned char> bytes(row_bytes);
  for (std::size_t r = 0; r < rows; ++r) {
    if (std::fread(bytes.data(), 1, row_bytes, file) != row_bytes)
      fail("short file: row " + std::to_string(r) + " is missing in " + path);
    if (bytes.back() & padding_mask & 0xFFu)
      fail("padding bits set in row " + std::to_string(r) + " of " + path);
    Word* row = matrix.row(r);
    for (std::size_t b = 0; b < row_bytes; ++b)
      row[b / 8] |= static_cast<Word>(bytes[b]) << (8 * (b % 8));
  }
  if (std::fgetc(file) != EOF) fail(std::string("data after the last row in ") + path);
  std::fclose(file);
  return matrix;
}

void write_matrix(const BitMatrix& matrix, const char* path) {
  std::FILE* file = std::fopen(path, "wb");
  if (!file) fail(std::string("cannot write ") + path);
  std::fprintf(file, "%zu %zu\n", matrix.rows(), matrix.cols());
  const std::size_t row_bytes = (matrix.cols() + 7) / 8;
  std::vector<unsigned char> bytes(row_bytes);
  for (std::size_t r = 0; r < matrix.rows(); ++r) {
    const Word* row = matrix.row(r);
    for (std::size_t b = 0; b < row_bytes; ++b)
      bytes[b] = static_cast<unsigned char>(row[b / 8] >> (8 * (b % 8)));
    if (std::fwrite(bytes.data(), 1, row_bytes, file) != row_bytes)
      fail(std::string("cannot write ") + path);
  }
  if (std::fclose(file) != 0) fail(std::string("cannot write ") + path);
}

// FNV-1a over the rows packed as in the file format (ceil(cols/8) bytes a
// row); the padding bits are zero in a BitMatrix.
std::uint64_t fnv1a64(const BitMatrix& matrix) {
  const std::size_t row_bytes = (matrix.cols() + 7) / 8;
  std::uint64_t hash = 0xCBF29CE484222325ULL;
  for (std::size_t r = 0; r < matrix.rows(); ++r) {
    const Word* row = matrix.row(r);
    for (std::size_t b = 0; b < row_bytes; ++b) {
      hash ^= static_cast<unsigned char>(row[b / 8] >> (8 * (b % 8)));
      hash *= 0x100000001B3ULL;
    }
  }
  return hash;
}

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

struct Run {
  std::string name;
  Form form;
  unsigned threads;
};

std::vector<std::string_view> split_commas(std::string_view list) {
  std::vector<std::string_view> items;
  while (!list.empty()) {
    const auto comma = list.find(',');
    items.push_back(list.substr(0, comma));
    list = comma == std::string_view::npos ? std::string_view{} : list.substr(comma + 1);
  }
  return items;
}

// The peak resident memory of this program: VmHWM, which starts afresh at
// exec, unlike ru_maxrss, which keeps the forking parent's (a Python
// benchmark's hundreds of MiB); ru_maxrss where /proc is missing.
double peak_rss_mib() {
  if (std::FILE* status = std::fopen("/proc/self/status", "r")) {
    char line[256];
    long kib = -1;
    while (std::fgets(line, sizeof line, status))
      if (std::sscanf(line, "VmHWM: %ld kB", &kib) == 1) break;
    std::fclose(status);
    if (kib >= 0) return static_cast<double>(kib) / 1024.0;
  }
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

}  // namespace

int main(int argc, char** argv) {
  const char* source = nullptr;
  const char* write_to = nullptr;
  std::vector<std::string_view> methods{"echelon", "reduced"};
  std::vector<unsigned> thread_counts{1};
  long repeats = 1;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--methods" && i + 1 < argc) {
      methods = split_commas(argv[++i]);
      if (methods.empty()) fail("--methods needs at least one name", 2);
      for (std::string_view m : methods)
        if (m != "echelon" && m != "reduced") fail("unknown method '" + std::string(m) + "'", 2);
    } else if (arg == "--threads" && i + 1 < argc) {
      thread_counts.clear();
      for (std::string_view t : split_commas(argv[++i])) {
        const auto value = parse_number<unsigned>(t);
        if (!value || *value < 1 || *value > 256)
          fail("bad thread count '" + std::string(t) + "'", 2);
        thread_counts.push_back(*value);
      }
      if (thread_counts.empty()) fail("--threads needs at least one count", 2);
    } else if (arg == "--repeats" && i + 1 < argc) {
      const auto value = parse_number<long>(argv[++i]);
      if (!value || *value < 1) fail("--repeats needs a positive integer", 2);
      repeats = *value;
    } else if (arg == "--write" && i + 1 < argc) {
      write_to = argv[++i];
    } else if (!source && !arg.starts_with("--")) {
      source = argv[i];
    } else {
      fail(std::string(kUsage), 2);
    }
  }
  if (!source) fail(std::string(kUsage), 2);

  try {
    const std::string_view spec = source;
    BitMatrix input;
    std::optional<double> build_seconds;
    if (spec.starts_with("random:")) {
      input = random_matrix(spec.substr(7));
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
      input = read_matrix(source);
    }
    if (input.rows() == 0 || input.cols() == 0) fail("the matrix is empty");
    std::printf("rows %zu\ncols %zu\ninput_fnv1a64 %016" PRIx64 "\n", input.rows(), input.cols(),
                fnv1a64(input));
    if (build_seconds) std::printf("build_seconds %.6f\n", *build_seconds);
    std::fflush(stdout);
    if (write_to) {
      write_matrix(input, write_to);
      return 0;
    }

    std::vector<Run> runs;
    for (unsigned threads : thread_counts) {
      for (std::string_view m : methods) {
        std::string name(m);
        if (threads > 1) name += "_t" + std::to_string(threads);
        runs.push_back({name, m == "reduced" ? Form::reduced : Form::echelon, threads});
      }
    }
    std::optional<std::size_t> rank;
    std::optional<std::uint64_t> reduced_hash;
    std::vector<std::pair<std::string, double>> seconds;
    for (const Run& run : runs) {
      double best = std::numeric_limits<double>::infinity();
      for (long repeat = 0; repeat < repeats; ++repeat) {
        BitMatrix work = input.clone();
        Control control;
        control.set_threads(run.threads);
        const auto start = Clock::now();
        const Echelon echelon = echelonize(work, run.form, control);
        best = std::min(best, seconds_since(start));
        if (rank && echelon.rank != *rank)
          fail(run.name + " found rank " + std::to_string(echelon.rank) + ", not " +
               std::to_string(*rank));
        rank = echelon.rank;
        if (run.form == Form::reduced && repeat == 0) {
          const std::uint64_t hash = fnv1a64(work);
          if (reduced_hash && hash != *reduced_hash)
            fail(run.name + " gave another reduced echelon form");
          reduced_hash = hash;
        }
      }
      seconds.emplace_back(run.name, best);
    }

    std::printf("rank %zu\n", *rank);
    if (reduced_hash) std::printf("reduced_fnv1a64 %016" PRIx64 "\n", *reduced_hash);
    for (const auto& [name, t] : seconds) std::printf("seconds_%s %.6f\n", name.c_str(), t);
  } catch (const std::exception& error) {
    fail(error.what());
  }
  std::printf("peak_rss_mib %.1f\n", peak_rss_mib());
  return 0;
}
