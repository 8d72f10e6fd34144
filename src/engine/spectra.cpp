#include "engine/spectra.hpp"

#include <algorithm>
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

// The unnormalised Walsh-Hadamard transform in place: butterflies
// (u, v) -> (u + v, u - v) for each variable, a checkpoint a block.
template <class T>
void hadamard(std::vector<T>& values, int n, Control& control) {
  const std::size_t size = values.size(), chunk = tuning::points_per_checkpoint;
  for (int i = 0; i < n; ++i) {
    const std::size_t step = std::size_t{1} << i;
    // Pairs (x, x + step) for the x without bit i, a chunk of them at a time.
    for (std::size_t begin = 0; begin < size / 2; begin += chunk) {
      control.checkpoint();
      const std::size_t end = std::min(size / 2, begin + chunk);
      for (std::size_t k = begin; k < end; ++k) {
        const std::size_t x = (k >> i << (i + 1)) | (k & (step - 1));
        const T u = values[x], v = values[x + step];
        values[x] = u + v;
        values[x + step] = u - v;
      }
    }
  }
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
  const MemoryReservation reservation(spectra_memory(f.variables()), "the Walsh spectrum");
  std::vector<std::int32_t> values(f.points());
  for (std::uint64_t x = 0; x < values.size(); ++x) values[x] = f.at(x) ? -1 : 1;
  hadamard(values, f.variables(), control);
  return values;
}

SpectralProfile spectral_profile(const std::vector<std::int32_t>& walsh, int n, Control& control) {
  SpectralProfile p;
  for (const std::int32_t w : walsh) {
    const std::uint64_t magnitude = static_cast<std::uint64_t>(std::abs(std::int64_t{w}));
    p.max_walsh = std::max<std::int64_t>(p.max_walsh, static_cast<std::int64_t>(magnitude));
    ++p.distribution[magnitude];
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
  hadamard(squares, n, control);
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
