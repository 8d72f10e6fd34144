#include "engine/black_box.hpp"

#include <algorithm>
#include <cstring>
#include <functional>

#include "engine/tuning.hpp"
#include "vector_clones.hpp"

namespace quillmat::engine {
namespace {

// The transforms go in blocks of 2^low_bits words (32 KiB, in the L1 or L2
// cache while all their low passes run), then over the whole buffer for the
// higher bits.  Each pass sums along two variables at once (radix 4): half
// the passes over memory of one variable at a time.
constexpr int low_bits = 12;

// Upward: values[x + 2^bit] += values[x] for the x with `bit` clear; the
// transpose (downward) adds the other way.
template <bool Upward>
inline void butterfly(Word& low, Word& high) {
  if constexpr (Upward) {
    high ^= low;
  } else {
    low ^= high;
  }
}

// Variables 0 and 1 of a group of 4 words, in registers.
template <bool Upward>
inline void four(Word* w) {
  Word w0 = w[0], w1 = w[1], w2 = w[2], w3 = w[3];
  butterfly<Upward>(w0, w1);
  butterfly<Upward>(w2, w3);
  butterfly<Upward>(w0, w2);
  butterfly<Upward>(w1, w3);
  w[0] = w0, w[1] = w1, w[2] = w2, w[3] = w3;
}

// Variables `bit` and `bit + 1` (both >= 2) over words [begin, end) of the
// quadruples they pair, counted as the index of the first word of each.
// The four words of a step (2^bit >= 4) go as one vector of four words:
// one register in the avx2 clone, two in the default one.
typedef Word Vector __attribute__((vector_size(4 * sizeof(Word))));

template <bool Upward>
inline __attribute__((always_inline)) void quadruples(Word* values, std::size_t step,
                                                      std::size_t begin, std::size_t end) {
  for (std::size_t group = begin; group < end; group += 4 * step) {
    Word* a = values + group;
    for (std::size_t j = 0; j < step; j += 4) {
      Vector w0, w1, w2, w3;
      __builtin_memcpy(&w0, a + j, sizeof w0);
      __builtin_memcpy(&w1, a + step + j, sizeof w1);
      __builtin_memcpy(&w2, a + 2 * step + j, sizeof w2);
      __builtin_memcpy(&w3, a + 3 * step + j, sizeof w3);
      if constexpr (Upward) {
        w1 ^= w0, w3 ^= w2, w2 ^= w0, w3 ^= w1;
      } else {
        w0 ^= w1, w2 ^= w3, w0 ^= w2, w1 ^= w3;
      }
      __builtin_memcpy(a + j, &w0, sizeof w0);
      __builtin_memcpy(a + step + j, &w1, sizeof w1);
      __builtin_memcpy(a + 2 * step + j, &w2, sizeof w2);
      __builtin_memcpy(a + 3 * step + j, &w3, sizeof w3);
    }
  }
}

QUILLMAT_VECTOR_CLONES
void quadruples_upward(Word* values, std::size_t step, std::size_t begin, std::size_t end) {
  quadruples<true>(values, step, begin, end);
}

QUILLMAT_VECTOR_CLONES
void quadruples_downward(Word* values, std::size_t step, std::size_t begin, std::size_t end) {
  quadruples<false>(values, step, begin, end);
}

template <bool Upward>
void pass_of_two(Word* values, int bit, std::size_t begin, std::size_t end) {
  const std::size_t step = std::size_t{1} << bit;
  if constexpr (Upward) {
    quadruples_upward(values, step, begin, end);
  } else {
    quadruples_downward(values, step, begin, end);
  }
}

template <bool Upward>
void pass_of_one(Word* values, int bit, std::size_t begin, std::size_t end) {
  const std::size_t step = std::size_t{1} << bit;
  for (std::size_t group = begin; group < end; group += 2 * step) {
    Word* __restrict a = values + group;
    Word* __restrict b = a + step;
    for (std::size_t j = 0; j < step; ++j) butterfly<Upward>(a[j], b[j]);
  }
}

// Variables low .. high - 1 of the words [begin, end), a multiple of
// 2^high words apart from the buffer's start.
template <bool Upward>
void passes(Word* values, int low, int high, std::size_t begin, std::size_t end) {
  int bit = low;
  if (bit == 0 && high >= 2) {
    for (std::size_t x = begin; x < end; x += 4) four<Upward>(values + x);
    bit = 2;
  }
  // From variable 2 on, a step holds whole vectors of four words.
  for (; bit >= 2 && bit + 1 < high; bit += 2) pass_of_two<Upward>(values, bit, begin, end);
  if (bit < high) pass_of_one<Upward>(values, bit, begin, end);
}

template <bool Upward>
void transform(Word* values, int n, Control& control) {
  const std::size_t size = std::size_t{1} << n;
  const int low = std::min(n, low_bits);
  const std::size_t block = std::size_t{1} << low;
  // Threads, started for each pass, pay for themselves only on buffers far
  // past the cache: at 17 variables two made a try of block Wiedemann 30%
  // slower, at 18 no faster.
  const unsigned threads = n >= 19 ? std::max(1u, control.threads()) : 1;
  // Calls job(begin, end) on ranges of `count` items split among the
  // threads, a checkpoint after each piece of about points_per_checkpoint words.
  auto split = [&](std::size_t count, std::size_t words_per_item, const auto& job) {
    const std::size_t piece =
        std::max<std::size_t>(1, tuning::points_per_checkpoint / words_per_item);
    auto run = [&](std::size_t first, std::size_t last) {
      for (std::size_t i = first; i < last; i += piece) {
        job(i, std::min(last, i + piece));
        control.checkpoint();
      }
    };
    const unsigned parts = static_cast<unsigned>(std::min<std::size_t>(threads, count));
    if (parts < 2) return run(0, count);
    std::vector<std::function<void()>> tasks;
    for (unsigned p = 0; p < parts; ++p) {
      tasks.emplace_back([&, p] { run(count * p / parts, count * (p + 1) / parts); });
    }
    run_together(control, tasks);
  };
  // The low variables, block by block.
  split(size / block, block, [&](std::size_t first, std::size_t last) {
    for (std::size_t b = first; b < last; ++b) {
      passes<Upward>(values, 0, low, b * block, (b + 1) * block);
    }
  });
  // The high ones two at a time, each pass split by its groups of 2^(bit+2)
  // words or, when those are fewer than the threads, by the words of each.
  for (int bit = low; bit < n; bit += 2) {
    const int top = std::min(n, bit + 2);
    const std::size_t group = std::size_t{1} << top;
    const std::size_t groups = size / group;
    if (groups >= threads) {
      split(groups, group, [&](std::size_t first, std::size_t last) {
        passes<Upward>(values, bit, top, first * group, last * group);
      });
    } else {
      // One group (the last variables): split its columns j instead.
      const std::size_t step = std::size_t{1} << bit;
      const std::size_t ways = top - bit == 2 ? 4 : 2;
      split(step / block, block, [&](std::size_t first, std::size_t last) {
        for (std::size_t g = 0; g < size; g += group) {
          Word* w[4];
          for (std::size_t k = 0; k < ways; ++k) w[k] = values + g + k * step;
          for (std::size_t j = first * block; j < last * block; ++j) {
            if (ways == 4) {
              Word w0 = w[0][j], w1 = w[1][j], w2 = w[2][j], w3 = w[3][j];
              butterfly<Upward>(w0, w1);
              butterfly<Upward>(w2, w3);
              butterfly<Upward>(w0, w2);
              butterfly<Upward>(w1, w3);
              w[0][j] = w0, w[1][j] = w1, w[2][j] = w2, w[3][j] = w3;
            } else {
              butterfly<Upward>(w[0][j], w[1][j]);
            }
          }
        }
      });
    }
  }
}

}  // namespace

void subset_sum_transform(Word* values, int n, Control& control) {
  transform<true>(values, n, control);
}

void superset_sum_transform(Word* values, int n, Control& control) {
  transform<false>(values, n, control);
}

DirectSystem::DirectSystem(const TruthTable& s, int d)
    : n_(s.variables()), d_(d), monomials_(monomials_up_to(s.variables(), d)) {
  const MemoryReservation index(std::uint64_t{4} * s.weight(), "the black-box system's rows");
  support_.reserve(s.weight());
  const std::vector<Word>& bits = s.bits();
  for (std::size_t w = 0; w < bits.size(); ++w) {
    for (Word word = bits[w]; word != 0; word &= word - 1) {
      support_.push_back(static_cast<Mask>(w * word_bits + __builtin_ctzll(word)));
    }
  }
  buffer_ = WordBlock(std::size_t{1} << n_);
}

std::uint64_t DirectSystem::memory(const TruthTable& s, int d) {
  return 4 * (s.weight() + monomials_up_to_count(s.variables(), d)) +
         8 * (std::uint64_t{1} << s.variables());
}

void DirectSystem::apply(const Word* x, Word* y, Control& control) {
  Word* values = buffer_.data();
  std::memset(values, 0, sizeof(Word) << n_);
  for (std::size_t j = 0; j < monomials_.size(); ++j) values[monomials_[j]] = x[j];
  subset_sum_transform(values, n_, control);
  for (std::size_t i = 0; i < support_.size(); ++i) y[i] = values[support_[i]];
}

void DirectSystem::apply_transpose(const Word* y, Word* x, Control& control) {
  Word* values = buffer_.data();
  std::memset(values, 0, sizeof(Word) << n_);
  for (std::size_t i = 0; i < support_.size(); ++i) values[support_[i]] = y[i];
  superset_sum_transform(values, n_, control);
  for (std::size_t j = 0; j < monomials_.size(); ++j) x[j] = values[monomials_[j]];
}

}  // namespace quillmat::engine
