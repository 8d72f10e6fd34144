#include "engine/sbox.hpp"

#include <atomic>
#include <bit>
#include <functional>

namespace quillmat::engine {

std::vector<WideMask> graph_points(const SBox& s) {
  std::vector<WideMask> points(s.values.size());
  for (std::size_t x = 0; x < points.size(); ++x) points[x] = x | s.values[x] << s.n;
  return points;
}

std::vector<WideMask> bi_affine_monomials(int n, int m) {
  const WideMask xs = n == 0 ? 0 : ~WideMask{0} >> (max_wide_variables - n);
  std::vector<WideMask> kept;
  for (const WideMask t : wide_monomials_up_to(n + m, 2)) {
    if (std::popcount(t & xs) <= 1 && std::popcount(t & ~xs) <= 1) kept.push_back(t);
  }
  return kept;
}

TruthTable component(const SBox& s, std::uint64_t v) {
  std::vector<Word> bits(words_for(s.values.size()));
  for (std::size_t x = 0; x < s.values.size(); ++x) {
    bits[x / word_bits] |= Word(std::popcount(s.values[x] & v) & 1) << (x % word_bits);
  }
  return TruthTable(s.n, std::move(bits));
}

std::vector<int> component_immunities(const SBox& s, Control& control, Choice choice) {
  const std::uint64_t count = (std::uint64_t{1} << s.m) - 1;
  std::vector<int> immunity(count);
  std::atomic<std::uint64_t> next{1};
  control.plan(count);
  // Many small systems: each thread takes whole components, one at a time.
  auto work = [&] {
    for (std::uint64_t v; (v = next.fetch_add(1)) <= count;) {
      control.checkpoint();
      immunity[v - 1] = algebraic_immunity(component(s, v), control, choice).degree;
      control.advance(1);
    }
  };
  const unsigned threads = static_cast<unsigned>(std::min<std::uint64_t>(control.threads(), count));
  const ThreadCount one_each(control, 1);
  std::vector<std::function<void()>> tasks(std::max(1u, threads), work);
  run_together(control, tasks);
  return immunity;
}

}  // namespace quillmat::engine
