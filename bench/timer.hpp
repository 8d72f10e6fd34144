// What the two kernel timers share: engine_rank.cpp (quillmat's engine) and
// m4ri_rank.cpp (M4RI) read and make the same matrices, take the same
// options, time the same way and print the same lines, so that the benchmark
// can compare them number for number.  Each timer keeps only its matrix type
// and its elimination calls.
//
// A timer tells this header how to reach its matrices through a class Rows:
//   Rows::Matrix                      the matrix type
//   Rows::make(rows, cols)            a zero matrix
//   Rows::rows(m), Rows::cols(m)      its size
//   Rows::row(m, r)                   the 64-bit words of row r, bit j of the
//                                     row being bit j%64 of its word j/64;
//                                     the padding bits past cols may be
//                                     anything (they are not read)
//
// The file format: the ASCII line "ROWS COLS\n" (two decimal integers >= 1,
// one space), then ROWS rows of ceil(COLS/8) bytes each and nothing after
// them.  Bit j of a row is bit j%8 (LSB first) of the row's byte j/8; the
// padding bits past COLS in a row's last byte must be 0.
//
// random:ROWS:COLS:SEED makes a dense random matrix from one splitmix64
// stream, state = SEED (an unsigned 64-bit decimal), each draw being
//     state += 0x9E3779B97F4A7C15          (mod 2**64)
//     z = state
//     z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9
//     z = (z ^ (z >> 27)) * 0x94D049BB133111EB
//     return z ^ (z >> 31)
// Row 0 comes first; each row draws ceil(COLS/64) words in order, and bit j
// of the row is bit j%64 of its word j/64.  When COLS is not a multiple of
// 64, the row's last word is drawn whole and its bits COLS%64..63 are then
// cleared (they are not carried to the next row).  Seed 0's first two draws
// are 0xE220A8397B1DCDAF and 0x6E789E6AA1B965F4.  In Python:
//     def words(seed, count):
//         s = seed
//         for _ in range(count):
//             s = (s + 0x9E3779B97F4A7C15) & (2**64 - 1)
//             z = ((s ^ (s >> 30)) * 0xBF58476D1CE4E5B9) & (2**64 - 1)
//             z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & (2**64 - 1)
//             yield z ^ (z >> 31)
//
// The lines, one "key value" each:
//   rows R / cols C
//   input_fnv1a64 H      FNV-1a (64-bit) of the input's packed rows, in the
//                        file's byte layout (header excluded): lets another
//                        generator check that it made the identical matrix
//   build_seconds T      where the timer built the input, the time it took
//   rank R               the same for every run of every method, else exit 1
//   reduced_fnv1a64 H    the same hash of the reduced row echelon form (pivot
//                        rows first, then zero rows), which is unique, so
//                        any engine's RREF can be compared with it; printed
//                        when a reduced method ran, all of which must agree
//   seconds_NAME T       per method: the fastest of the --repeats runs (1)
//   peak_rss_mib M       the timer's peak resident memory (VmHWM)
// Errors go to stderr with exit status 1 (2 for bad usage).
#pragma once

#include <sys/resource.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <chrono>
#include <cinttypes>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quillmat::bench {

using Clock = std::chrono::steady_clock;

// The timer's name, for its error messages; each timer defines it.
extern const char program[];

[[noreturn]] inline void fail(const std::string& message, int status = 1) {
  std::fprintf(stderr, "%s: %s\n", program, message.c_str());
  std::exit(status);
}

inline double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

template <typename T>
std::optional<T> parse_number(std::string_view text) {
  T value{};
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc{} || end != text.data() + text.size()) return std::nullopt;
  return value;
}

// A matrix's rows or cols: at least 1, at most what an int holds (M4RI's rci_t).
inline std::size_t parse_dimension(std::string_view text, const char* what) {
  const auto value = parse_number<long long>(text);
  if (!value || *value < 1 || *value > std::numeric_limits<int>::max())
    fail(std::string("bad ") + what + ": '" + std::string(text) + "'");
  return static_cast<std::size_t>(*value);
}

// The items of "A,B,C" (none in "").
inline std::vector<std::string_view> split_commas(std::string_view list) {
  std::vector<std::string_view> items;
  while (!list.empty()) {
    const auto comma = list.find(',');
    items.push_back(list.substr(0, comma));
    list = comma == std::string_view::npos ? std::string_view{} : list.substr(comma + 1);
  }
  return items;
}

inline std::uint64_t splitmix64(std::uint64_t& state) {
  state += 0x9E3779B97F4A7C15ULL;
  std::uint64_t z = state;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return z ^ (z >> 31);
}

inline std::size_t words_for_cols(std::size_t cols) {
  return (cols + 63) / 64;
}

inline std::size_t bytes_for_cols(std::size_t cols) {
  return (cols + 7) / 8;
}

// The bits of a row's last word that hold columns.
inline std::uint64_t last_word_mask(std::size_t cols) {
  const std::size_t spare = cols % 64;
  return spare == 0 ? ~std::uint64_t{0} : (std::uint64_t{1} << spare) - 1;
}

// The matrix of "ROWS:COLS:SEED", what follows "random:".
template <typename Rows>
typename Rows::Matrix random_matrix(std::string_view spec) {
  const auto first = spec.find(':');
  const auto second = first == std::string_view::npos ? first : spec.find(':', first + 1);
  if (second == std::string_view::npos || spec.find(':', second + 1) != std::string_view::npos)
    fail("expected random:ROWS:COLS:SEED", 2);
  const std::size_t rows = parse_dimension(spec.substr(0, first), "ROWS");
  const std::size_t cols = parse_dimension(spec.substr(first + 1, second - first - 1), "COLS");
  const auto seed = parse_number<std::uint64_t>(spec.substr(second + 1));
  if (!seed) fail("bad SEED: '" + std::string(spec.substr(second + 1)) + "'", 2);
  typename Rows::Matrix matrix = Rows::make(rows, cols);
  const std::size_t words = words_for_cols(cols);
  const std::uint64_t mask = last_word_mask(cols);
  std::uint64_t state = *seed;
  for (std::size_t r = 0; r < rows; ++r) {
    std::uint64_t* row = Rows::row(matrix, r);
    for (std::size_t w = 0; w < words; ++w) row[w] = splitmix64(state);
    row[words - 1] &= mask;
  }
  return matrix;
}

template <typename Rows>
typename Rows::Matrix read_matrix(const char* path) {
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

  typename Rows::Matrix matrix = Rows::make(rows, cols);
  const std::size_t row_bytes = bytes_for_cols(cols);
  const unsigned padding_mask = cols % 8 == 0 ? 0u : 0xFFu << (cols % 8);
  std::vector<unsigned char> bytes(row_bytes);
  for (std::size_t r = 0; r < rows; ++r) {
    if (std::fread(bytes.data(), 1, row_bytes, file) != row_bytes)
      fail("short file: row " + std::to_string(r) + " is missing in " + path);
    if (bytes.back() & padding_mask)
      fail("padding bits set in row " + std::to_string(r) + " of " + path);
    std::uint64_t* row = Rows::row(matrix, r);
    for (std::size_t w = 0; w < words_for_cols(cols); ++w) {
      std::uint64_t value = 0;
      for (std::size_t b = 0; b < 8 && 8 * w + b < row_bytes; ++b)
        value |= static_cast<std::uint64_t>(bytes[8 * w + b]) << (8 * b);
      row[w] = value;
    }
  }
  if (std::fgetc(file) != EOF) fail(std::string("data after the last row in ") + path);
  std::fclose(file);
  return matrix;
}

// Byte b of a row in the file layout, the padding bits past cols cleared.
inline unsigned char row_byte(const std::uint64_t* row, std::size_t b, std::size_t cols) {
  std::uint64_t word = row[b / 8];
  if (b / 8 + 1 == words_for_cols(cols)) word &= last_word_mask(cols);
  return static_cast<unsigned char>(word >> (8 * (b % 8)));
}

template <typename Rows>
void write_matrix(const typename Rows::Matrix& matrix, const char* path) {
  std::FILE* file = std::fopen(path, "wb");
  if (!file) fail(std::string("cannot write ") + path);
  const std::size_t cols = Rows::cols(matrix);
  std::fprintf(file, "%zu %zu\n", Rows::rows(matrix), cols);
  const std::size_t row_bytes = bytes_for_cols(cols);
  std::vector<unsigned char> bytes(row_bytes);
  for (std::size_t r = 0; r < Rows::rows(matrix); ++r) {
    const std::uint64_t* row = Rows::row(matrix, r);
    for (std::size_t b = 0; b < row_bytes; ++b) bytes[b] = row_byte(row, b, cols);
    if (std::fwrite(bytes.data(), 1, row_bytes, file) != row_bytes)
      fail(std::string("cannot write ") + path);
  }
  if (std::fclose(file) != 0) fail(std::string("cannot write ") + path);
}

// FNV-1a over the rows packed as in the file format (ceil(cols/8) bytes a row).
template <typename Rows>
std::uint64_t fnv1a64(const typename Rows::Matrix& matrix) {
  const std::size_t cols = Rows::cols(matrix);
  const std::size_t row_bytes = bytes_for_cols(cols);
  std::uint64_t hash = 0xCBF29CE484222325ULL;
  for (std::size_t r = 0; r < Rows::rows(matrix); ++r) {
    const std::uint64_t* row = Rows::row(matrix, r);
    for (std::size_t b = 0; b < row_bytes; ++b) {
      hash ^= row_byte(row, b, cols);
      hash *= 0x100000001B3ULL;
    }
  }
  return hash;
}

// The peak resident memory of this program: VmHWM, which starts afresh at
// exec, unlike ru_maxrss, which keeps the forking parent's (a Python
// benchmark's hundreds of MiB); ru_maxrss where /proc is missing.
inline double peak_rss_mib() {
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

// The input's lines, printed before any timing (and flushed, so that they
// are there even when the timer is stopped).
template <typename Rows>
void print_input(const typename Rows::Matrix& input,
                 std::optional<double> build_seconds = std::nullopt) {
  std::printf("rows %zu\ncols %zu\ninput_fnv1a64 %016" PRIx64 "\n", Rows::rows(input),
              Rows::cols(input), fnv1a64<Rows>(input));
  if (build_seconds) std::printf("build_seconds %.6f\n", *build_seconds);
  std::fflush(stdout);
}

// The options: MATRIX, --methods NAME,... (the names of a timer's table of
// methods, all of them by default) and --repeats N.
template <typename Method>
struct Options {
  const char* source = nullptr;
  std::vector<const Method*> methods;
  long repeats = 1;
};

// Reads the options; option(arg, value) reads a timer's own options, each
// of which takes a value, and says whether arg was one of them.
template <typename Method, std::size_t N, typename Option>
Options<Method> parse_options(int argc, char** argv, const std::array<Method, N>& table,
                              std::string_view usage, Option option) {
  Options<Method> options;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--methods" && i + 1 < argc) {
      options.methods.clear();
      for (std::string_view name : split_commas(argv[++i])) {
        const auto found = std::find_if(table.begin(), table.end(),
                                        [&](const Method& m) { return m.name == name; });
        if (found == table.end()) fail("unknown method '" + std::string(name) + "'", 2);
        options.methods.push_back(&*found);
      }
      if (options.methods.empty()) fail("--methods needs at least one name", 2);
    } else if (arg == "--repeats" && i + 1 < argc) {
      const auto value = parse_number<long>(argv[++i]);
      if (!value || *value < 1) fail("--repeats needs a positive integer", 2);
      options.repeats = *value;
    } else if (arg.starts_with("--") && i + 1 < argc && option(arg, argv[i + 1])) {
      ++i;
    } else if (!options.source && !arg.starts_with("--")) {
      options.source = argv[i];
    } else {
      fail(std::string(usage), 2);
    }
  }
  if (!options.source) fail(std::string(usage), 2);
  if (options.methods.empty())
    for (const Method& m : table) options.methods.push_back(&m);
  return options;
}

// What the runs found, checked to agree, and each method's fastest time.
class Results {
 public:
  // Times `repeats` runs of a method.  Each run calls run(time), which makes
  // a fresh copy of the input (not timed) and calls time(copy, eliminate):
  // only eliminate(), which reduces the copy and returns the rank, is timed.
  // A reduced method's reduced form is hashed after its first run.
  template <typename Rows, typename Run>
  void time(const std::string& method, bool reduced, long repeats, Run run) {
    double best = std::numeric_limits<double>::infinity();
    for (long repeat = 0; repeat < repeats; ++repeat) {
      run([&](const typename Rows::Matrix& copy, auto eliminate) {
        const auto start = Clock::now();
        const auto rank = static_cast<std::size_t>(eliminate());
        best = std::min(best, seconds_since(start));
        if (rank_ && rank != *rank_)
          fail(method + " found rank " + std::to_string(rank) + ", not " + std::to_string(*rank_));
        rank_ = rank;
        if (reduced && repeat == 0) {
          const std::uint64_t hash = fnv1a64<Rows>(copy);
          if (reduced_hash_ && hash != *reduced_hash_)
            fail(method + " gave another reduced echelon form");
          reduced_hash_ = hash;
        }
      });
    }
    seconds_.emplace_back(method, best);
  }

  // The lines after the timing, peak_rss_mib last.
  void print() const {
    if (rank_) std::printf("rank %zu\n", *rank_);
    if (reduced_hash_) std::printf("reduced_fnv1a64 %016" PRIx64 "\n", *reduced_hash_);
    for (const auto& [name, t] : seconds_) std::printf("seconds_%s %.6f\n", name.c_str(), t);
    std::printf("peak_rss_mib %.1f\n", peak_rss_mib());
  }

 private:
  std::optional<std::size_t> rank_;
  std::optional<std::uint64_t> reduced_hash_;
  std::vector<std::pair<std::string, double>> seconds_;
};

}  // namespace quillmat::bench
