#include "engine/monomials.hpp"

#include <array>
#include <bit>
#include <stdexcept>
#include <utility>

namespace quillmat::engine {

std::uint64_t binomial(int n, int k) {
  if (k < 0 || k > n) return 0;
  std::uint64_t value = 1;
  for (int i = 1; i <= k; ++i) value = value * static_cast<std::uint64_t>(n - k + i) / i;
  return value;
}

std::uint64_t monomials_up_to_count(int n, int d) {
  std::uint64_t total = 0;
  for (int k = 0; k <= d && k <= n; ++k) total += binomial(n, k);
  return total;
}

namespace {

template <class M>
std::vector<M> monomials_in_canonical_order(int n, int d) {
  std::vector<M> result;
  result.reserve(monomials_up_to_count(n, d));
  for (int k = 0; k <= d && k <= n; ++k) {
    // The k-subsets of 0 .. n-1 as increasing index lists, in lexicographic order.
    std::vector<int> chosen(static_cast<std::size_t>(k));
    for (int i = 0; i < k; ++i) chosen[static_cast<std::size_t>(i)] = i;
    for (;;) {
      M m = 0;
      for (int i : chosen) m |= M{1} << i;
      result.push_back(m);
      int i = k - 1;
      while (i >= 0 && chosen[static_cast<std::size_t>(i)] == n - k + i) --i;
      if (i < 0) break;
      ++chosen[static_cast<std::size_t>(i)];
      for (int j = i + 1; j < k; ++j) {
        chosen[static_cast<std::size_t>(j)] = chosen[static_cast<std::size_t>(j - 1)] + 1;
      }
    }
  }
  return result;
}

}  // namespace

std::vector<Mask> monomials_up_to(int n, int d) {
  return monomials_in_canonical_order<Mask>(n, d);
}

std::vector<WideMask> wide_monomials_up_to(int n, int d) {
  return monomials_in_canonical_order<WideMask>(n, d);
}

TruthTable::TruthTable(int n, std::vector<Word> bits) : n_(n), bits_(std::move(bits)) {
  if (n < 0 || n > max_variables || bits_.size() != words_for(points())) {
    throw std::invalid_argument("a truth table of 2**n bits, n <= 30");
  }
  if (points() % word_bits != 0) bits_.back() &= (Word{1} << points() % word_bits) - 1;
  profile_.assign(static_cast<std::size_t>(n) + 1, 0);
  // Point 64w + b has weight popcount(w) + popcount(b): a word's points of
  // each weight are its bits under the mask of the b of that weight.
  constexpr std::array<Word, 7> of_weight = [] {
    std::array<Word, 7> masks{};
    for (unsigned b = 0; b < 64; ++b)
      masks[static_cast<std::size_t>(std::popcount(b))] |= Word{1} << b;
    return masks;
  }();
  for (std::size_t w = 0; w < bits_.size(); ++w) {
    const Word set = bits_[w];
    if (set == 0) continue;
    const auto high = static_cast<std::size_t>(std::popcount(w));
    for (std::size_t j = 0; j < of_weight.size() && high + j < profile_.size(); ++j) {
      profile_[high + j] += static_cast<std::uint64_t>(std::popcount(set & of_weight[j]));
    }
  }
}

std::uint64_t TruthTable::weight() const noexcept {
  std::uint64_t total = 0;
  for (Word w : bits_) total += static_cast<std::uint64_t>(std::popcount(w));
  return total;
}

TruthTable TruthTable::complement() const {
  std::vector<Word> flipped(bits_);
  for (Word& w : flipped) w = ~w;
  return TruthTable(n_, std::move(flipped));
}

}  // namespace quillmat::engine
