// Times M4RI's echelon forms on one large dense matrix over GF(2): the
// bit-packed reference for rank and reduced-echelon work at sizes where the
// benchmark's text-file timer (m4ri_echelon.cpp) would spend longer reading
// than reducing.
//
//   m4ri-rank MATRIX [--methods NAME,NAME,...] [--repeats N]
//
// Build:  c++ -O2 -std=c++20 bench/m4ri_rank.cpp -o m4ri-rank $(pkg-config --cflags --libs m4ri)
//
// MATRIX is either a file or the spec random:ROWS:COLS:SEED.
//
// The file: the ASCII line "ROWS COLS\n" (two decimal integers >= 1, one
// space), then ROWS rows of ceil(COLS/8) bytes each and nothing after them.
// Bit j of a row is bit j%8 (LSB first) of the row's byte j/8; the padding
// bits past COLS in a row's last byte must be 0.
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
// Output, one "key value" per line:
//   rows R / cols C
//   input_fnv1a64 H      FNV-1a (64-bit) of the input's packed rows, in the
//                        file's byte layout (header excluded): lets another
//                        generator check that it made the identical matrix
//   rank R               the same for every method run, else exit 1
//   reduced_fnv1a64 H    the same hash of the reduced row echelon form (pivot
//                        rows first, then zero rows), which is unique, so
//                        any engine's RREF can be compared with it; printed
//                        when a reduced method ran, all of which must agree
//   seconds_NAME T       per method: the fastest of the --repeats runs (1)
//   peak_rss_mib M       this process's peak resident memory (VmHWM)
// Errors go to stderr with exit status 1 (2 for bad usage).
#include <m4ri/m4ri.h>
#include <sys/resource.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <chrono>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

[[noreturn]] void fail(const std::string& message, int status = 1) {
  std::fprintf(stderr, "m4ri-rank: %s\n", message.c_str());
  std::exit(status);
}

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

template <typename T>
std::optional<T> parse_number(std::string_view text) {
  T value{};
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc{} || end != text.data() + text.size()) return std::nullopt;
  return value;
}

rci_t parse_dimension(std::string_view text, const char* what) {
  const auto value = parse_number<long long>(text);
  if (!value || *value < 1 || *value > std::numeric_limits<rci_t>::max())
    fail(std::string("bad ") + what + ": '" + std::string(text) + "'");
  return static_cast<rci_t>(*value);
}

word last_word_mask(rci_t cols) {
  const int spare = cols % 64;
  return spare == 0 ? ~word{0} : (word{1} << spare) - 1;
}

std::uint64_t splitmix64(std::uint64_t& state) {
  state += 0x9E3779B97F4A7C15ULL;
  std::uint64_t z = state;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return z ^ (z >> 31);
}

mzd_t* random_matrix(std::string_view spec) {
  // spec is "ROWS:COLS:SEED"
  const auto first = spec.find(':');
  const auto second = first == std::string_view::npos ? first : spec.find(':', first + 1);
  if (second == std::string_view::npos) fail("expected random:ROWS:COLS:SEED", 2);
  const rci_t rows = parse_dimension(spec.substr(0, first), "ROWS");
  const rci_t cols = parse_dimension(spec.substr(first + 1, second - first - 1), "COLS");
  const auto seed = parse_number<std::uint64_t>(spec.substr(second + 1));
  if (!seed) fail("bad SEED: '" + std::string(spec.substr(second + 1)) + "'", 2);
  mzd_t* matrix = mzd_init(rows, cols);
  const wi_t width = matrix->width;
  const word mask = last_word_mask(cols);
  std::uint64_t state = *seed;
  for (rci_t r = 0; r < rows; ++r) {
    word* row = mzd_row(matrix, r);
    for (wi_t w = 0; w < width; ++w) row[w] = splitmix64(state);
    row[width - 1] &= mask;
  }
  return matrix;
}

mzd_t* read_matrix(const char* path) {
  std::FILE* file = std::fopen(path, "rb");
  if (!file) fail(std::string("cannot open ") + path);
  std::string header;
  for (int c; (c = std::fgetc(file)) != '\n';) {
    if (c == EOF || header.size() > 40) fail(std::string("bad header in ") + path);
    header.push_back(static_cast<char>(c));
  }
  const auto space = header.find(' ');
  if (space == std::string::npos) fail(std::string("bad header in ") + path);
  const rci_t rows = parse_dimension(std::string_view(header).substr(0, space), "ROWS");
  const rci_t cols = parse_dimension(std::string_view(header).substr(space + 1), "COLS");

  mzd_t* matrix = mzd_init(rows, cols);
  const std::size_t row_bytes = (static_cast<std::size_t>(cols) + 7) / 8;
  const unsigned padding_mask = cols % 8 == 0 ? 0u : 0xFFu << (cols % 8);
  std::vector<unsigned char> bytes(row_bytes);
  for (rci_t r = 0; r < rows; ++r) {
    if (std::fread(bytes.data(), 1, row_bytes, file) != row_bytes)
      fail(std::string("short file: row ") + std::to_string(r) + " is missing in " + path);
    if (bytes.back() & padding_mask)
      fail("padding bits set in row " + std::to_string(r) + " of " + path);
    word* row = mzd_row(matrix, r);
    for (wi_t w = 0; w < matrix->width; ++w) {
      word value = 0;
      for (std::size_t b = 0; b < 8 && 8 * static_cast<std::size_t>(w) + b < row_bytes; ++b)
        value |= static_cast<word>(bytes[8 * static_cast<std::size_t>(w) + b]) << (8 * b);
      row[w] = value;
    }
  }
  if (std::fgetc(file) != EOF) fail(std::string("data after the last row in ") + path);
  std::fclose(file);
  return matrix;
}

// FNV-1a over the rows packed as in the file format (ceil(cols/8) bytes a row).
std::uint64_t fnv1a64(const mzd_t* matrix) {
  const std::size_t row_bytes = (static_cast<std::size_t>(matrix->ncols) + 7) / 8;
  std::uint64_t hash = 0xCBF29CE484222325ULL;
  for (rci_t r = 0; r < matrix->nrows; ++r) {
    const word* row = mzd_row(matrix, r);
    for (std::size_t b = 0; b < row_bytes; ++b) {
      const word w = (b / 8 + 1 == static_cast<std::size_t>(matrix->width))
                         ? row[b / 8] & matrix->high_bitmask
                         : row[b / 8];
      hash ^= static_cast<unsigned char>(w >> (8 * (b % 8)));
      hash *= 0x100000001B3ULL;
    }
  }
  return hash;
}

std::vector<const Method*> parse_methods(std::string_view list) {
  std::vector<const Method*> chosen;
  while (!list.empty()) {
    const auto comma = list.find(',');
    const std::string_view name = list.substr(0, comma);
    const auto found = std::find_if(kMethods.begin(), kMethods.end(),
                                    [&](const Method& m) { return m.name == name; });
    if (found == kMethods.end()) fail("unknown method '" + std::string(name) + "'", 2);
    chosen.push_back(&*found);
    list = comma == std::string_view::npos ? std::string_view{} : list.substr(comma + 1);
  }
  if (chosen.empty()) fail("--methods needs at least one name", 2);
  return chosen;
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
  std::vector<const Method*> methods;
  long repeats = 1;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--methods" && i + 1 < argc) {
      methods = parse_methods(argv[++i]);
    } else if (arg == "--repeats" && i + 1 < argc) {
      const auto value = parse_number<long>(argv[++i]);
      if (!value || *value < 1) fail("--repeats needs a positive integer", 2);
      repeats = *value;
    } else if (!source && !arg.starts_with("--")) {
      source = argv[i];
    } else {
      fail("usage: m4ri-rank MATRIX|random:ROWS:COLS:SEED [--methods NAME,...] [--repeats N]", 2);
    }
  }
  if (!source)
    fail("usage: m4ri-rank MATRIX|random:ROWS:COLS:SEED [--methods NAME,...] [--repeats N]", 2);
  if (methods.empty())
    for (const Method& m : kMethods) methods.push_back(&m);

  const std::string_view spec = source;
  mzd_t* input = spec.starts_with("random:") ? random_matrix(spec.substr(7)) : read_matrix(source);
  std::printf("rows %d\ncols %d\ninput_fnv1a64 %016" PRIx64 "\n", static_cast<int>(input->nrows),
              static_cast<int>(input->ncols), fnv1a64(input));
  std::fflush(stdout);

  mzd_t* work = mzd_init(input->nrows, input->ncols);
  std::optional<rci_t> rank;
  std::optional<std::uint64_t> reduced_hash;
  std::vector<std::pair<std::string_view, double>> seconds;
  for (const Method* method : methods) {
    double best = std::numeric_limits<double>::infinity();
    for (long run = 0; run < repeats; ++run) {
      mzd_copy(work, input);
      const auto start = Clock::now();
      const rci_t r = method->run(work);
      best = std::min(best, std::chrono::duration<double>(Clock::now() - start).count());
      if (rank && r != *rank)
        fail(std::string(method->name) + " found rank " + std::to_string(r) + ", not " +
             std::to_string(*rank));
      rank = r;
    }
    if (method->reduced) {
      const std::uint64_t hash = fnv1a64(work);
      if (reduced_hash && hash != *reduced_hash)
        fail(std::string(method->name) + " gave another reduced echelon form");
      reduced_hash = hash;
    }
    seconds.emplace_back(method->name, best);
  }

  std::printf("rank %d\n", static_cast<int>(*rank));
  if (reduced_hash) std::printf("reduced_fnv1a64 %016" PRIx64 "\n", *reduced_hash);
  for (const auto& [name, t] : seconds)
    std::printf("seconds_%.*s %.6f\n", static_cast<int>(name.size()), name.data(), t);
  std::printf("peak_rss_mib %.1f\n", peak_rss_mib());
  mzd_free(work);
  mzd_free(input);
  return 0;
}
