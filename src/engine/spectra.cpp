#include "engine/spectra.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdlib>

#include "engine/memory.hpp"
#include "engine/tuning.hpp"

namespace quillmat::engine {
namespace {

// The Moebius transform within a word, for the variables x_0 .. x_5: at
// step i, every bit with bit i of its index set gains its partner's.
constexpr Word in_word_masks[6] = {0x5555555555555555, 0x3333333333333333, 0x0f0f0f0f0f0f0f0f,
                                   0x00ff00ff00ff00ff, 0x0000ffff0000ffff, 0x00000000ffffffff};

// Butterflies (u, v) -> (u + v, u - v) between x and x + step, for the x
// without bit `level`, in [begin, end): contiguous runs of `step` values,
// which the compiler vectorises once step is a few words.
template <class T>
void butterflies(T* values, std::size_t begin, std::size_t end, int level) {
  const std::size_t step = std::size_t{1} << level;
  for (std::size_t block = begin; block < end; block += 2 * step) {
    T* low = values + block;
    T* high = low + step;
    for (std::size_t x = 0; x < step; ++x) {
      const T u = low[x], v = high[x];
      low[x] = u + v;
      high[x] = u - v;
    }
  }
}

// The unnormalised Walsh-Hadamard transform in place of the levels `from`
// .. n - 1: the low ones a cache-sized block at a time, then each higher
// one in a pass over the array, a checkpoint a chunk.
template <class T>
void hadamard(std::vector<T>& values, int n, int from, Control& control) {
  const std::size_t size = values.size();
  constexpr int block_levels = 14;  // 2^14 values: 64 or 128 KiB
  const int low = std::min(n, block_levels);
  const std::size_t block = std::size_t{1} << low;
  for (std::size_t begin = 0; begin < size; begin += block) {
    if (begin % tuning::points_per_checkpoint == 0) control.checkpoint();
    for (int level = from; level < low; ++level) {
      butterflies(values.data(), begin, begin + block, level);
    }
  }
  for (int level = std::max(from, low); level < n; ++level) {
    const std::size_t chunk = std::max(tuning::points_per_checkpoint, std::size_t{2} << level);
    for (std::size_t begin = 0; begin < size; begin += chunk) {
      control.checkpoint();
      butterflies(values.data(), begin, std::min(size, begin + chunk), level);
    }
  }
}

// lin[a], a < 64: the table of x -> a.x on the 64 points of a word.
std::array<Word, 64> linear_words() {
  std::array<Word, 64> lin{};
  for (unsigned a = 0; a < 64; ++a) {
    for (unsigned x = 0; x < 64; ++x) lin[a] |= Word{std::popcount(a & x) & 1u} << x;
  }
  return lin;
}

}  // namespace

TruthTable algebraic_normal_form(const TruthTable& f, Control& control) {
  const int n = f.variables();
  std::vector<Word> bits = f.bits();
  for (int i = 0; i < std::min(n, 6); ++i) {
    const int shift = 1 << i;
    for (Word& w : bits) w ^= (w & in_word_masks[i]) << shift;
  }
  for (int i = 6; i < n; ++i) {
    const int shift = i - 6;
    const std::size_t step = std::size_t{1} << shift, half = bits.size() / 2;
    for (std::size_t begin = 0; begin < half; begin += tuning::points_per_checkpoint) {
      control.checkpoint();
      const std::size_t end = std::min(half, begin + tuning::points_per_checkpoint);
      for (std::size_t k = begin; k < end; ++k) {
        const std::size_t w = (k >> shift << (shift + 1)) | (k & (step - 1));
        bits[w + step] ^= bits[w];
      }
    }
  }
  return TruthTable(n, std::move(bits));
}

int algebraic_degree(const TruthTable& anf) noexcept {
  int degree = -1;
  const std::vector<Word>& bits = anf.bits();
  for (std::size_t w = 0; w < bits.size(); ++w) {
    for (Word b = bits[w]; b != 0; b &= b - 1) {
      const std::uint64_t m = w * word_bits + static_cast<std::uint64_t>(std::countr_zero(b));
      degree = std::max(degree, std::popcount(m));
    }
  }
  return degree;
}

std::vector<std::int32_t> walsh_spectrum(const TruthTable& f, Control& control) {
  const int n = f.variables();
  const MemoryReservation reservation(spectra_memory(n), "the Walsh spectrum");
  std::vector<std::int32_t> values(f.points());
  if (n < 6) {
    for (std::uint64_t x = 0; x < values.size(); ++x) values[x] = f.at(x) ? -1 : 1;
    hadamard(values, n, 0, control);
    return values;
  }
  // The six low levels at once: on the 64 points of word w, the transform
  // at a < 64 is sum_x (-1)^(f(x) + a.x) = 64 - 2 wt(f's word + a.x).
  static const std::array<Word, 64> lin = linear_words();
  const std::vector<Word>& bits = f.bits();
  for (std::size_t w = 0; w < bits.size(); ++w) {
    if (w % 1024 == 0) control.checkpoint();
    std::int32_t* out = values.data() + 64 * w;
    for (unsigned a = 0; a < 64; ++a) out[a] = 64 - 2 * std::popcount(bits[w] ^ lin[a]);
  }
  hadamard(values, n, 6, control);
  return values;
}

SpectralProfile spectral_profile(const std::vector<std::int32_t>& walsh, int n, Control& control) {
  SpectralProfile p;
  // |W| <= 2^n and even for n > 0: a counter per possible value, half as
  // many as the spectrum's values.
  std::vector<std::uint32_t> counts(n > 0 ? (std::size_t{1} << (n - 1)) + 1 : 2);
  for (const std::int32_t w : walsh) {
    const auto magnitude = static_cast<std::uint32_t>(w < 0 ? -std::int64_t{w} : w);
    ++counts[magnitude >> (n > 0 ? 1 : 0)];
  }
  for (std::size_t i = 0; i < counts.size(); ++i) {
    if (counts[i] == 0) continue;
    const std::uint64_t magnitude = n > 0 ? 2 * i : i;
    p.distribution[magnitude] = counts[i];
    p.max_walsh = static_cast<std::int64_t>(magnitude);
  }
  p.nonlinearity = (std::uint64_t{1} << n >> 1) - static_cast<std::uint64_t>(p.max_walsh) / 2;
  // The least weight of an a != 0 with W(a) != 0, less one.
  int least = n + 1;
  for (std::uint64_t a = 1; a < walsh.size(); ++a) {
    if (walsh[a] != 0) least = std::min(least, std::popcount(a));
  }
  p.correlation_immunity = least - 1;
  // r = 2^-n H(W^2): exact, since H(W^2) = 2^n r.
  const MemoryReservation reservation(std::uint64_t{8} << n, "the autocorrelation");
  std::vector<std::int64_t> squares(walsh.size());
  for (std::size_t a = 0; a < walsh.size(); ++a) {
    squares[a] = std::int64_t{walsh[a]} * walsh[a];
  }
  hadamard(squares, n, 0, control);
  for (std::size_t a = 0; a < squares.size(); ++a) {
    const std::int64_t r = squares[a] >> n;  // exact: a multiple of 2^n
    const std::uint64_t magnitude = static_cast<std::uint64_t>(r < 0 ? -r : r);
    if (a != 0) p.absolute_indicator = std::max(p.absolute_indicator, magnitude);
  }
  return p;
}

std::uint64_t spectra_memory(int n) noexcept {
  return std::uint64_t{4} << n;
}

}  // namespace quillmat::engine
