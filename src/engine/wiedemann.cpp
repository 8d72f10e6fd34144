#include "engine/wiedemann.hpp"

#include <algorithm>
#include <atomic>
#include <stdexcept>
#include <utility>

#include "engine/lingen.hpp"
#include "engine/memory.hpp"
#include "engine/tuning.hpp"

namespace quillmat::engine {
namespace {

std::atomic<Fault> injected_fault{Fault::none};
std::atomic<unsigned> injected_count{0};

bool take_fault(Fault fault) noexcept {
  if (injected_fault.load() != fault) return false;
  unsigned count = injected_count.load();
  while (count > 0 && !injected_count.compare_exchange_weak(count, count - 1)) {
  }
  return count > 0;
}

// SplitMix64: a seed's stream of random words.
class Random {
 public:
  explicit Random(std::uint64_t seed) : state_(seed) {}
  Word next() noexcept {
    Word z = (state_ += 0x9e3779b97f4a7c15);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9;
    z = (z ^ (z >> 27)) * 0x94d049bb133111eb;
    return z ^ (z >> 31);
  }
  std::vector<Word> words(std::size_t size) {
    std::vector<Word> v(size);
    for (Word& w : v) w = next();
    return v;
  }
  std::size_t below(std::size_t bound) noexcept { return next() % bound; }

 private:
  std::uint64_t state_;
};

// The seed of stream `index` of a try: X_a is stream a, Y_b stream K + b.
std::uint64_t stream(std::uint64_t seed, unsigned index) noexcept {
  return Random(seed ^ (0x632be59bd9b4e019 * (std::uint64_t{index} + 1))).next();
}

constexpr std::size_t no_row = static_cast<std::size_t>(-1);

// B = M^T Q M with Q = I + Pi Delta, for a random permutation Pi of the rows
// and a random 0/1 diagonal Delta: rank(B) <= rank(M), so an invertible B
// proves M's columns independent, and B's kernel holds M's.  Q is
// invertible unless a cycle of Pi falls wholly on Delta's ones, and mixes
// the rows so that B is invertible, when M's columns are independent, for
// about a quarter to a third of the choices, as a random square matrix
// over GF(2) is (0.289).
class Preconditioned {
 public:
  Preconditioned(DirectSystem& m, Random& random)
      : m_(m), source_(m.rows(), no_row), by_rows_(m.rows()), mixed_(m.rows()) {
    std::vector<std::size_t> pi(m.rows());
    for (std::size_t i = 0; i < pi.size(); ++i) pi[i] = i;
    for (std::size_t i = pi.size(); i > 1; --i) std::swap(pi[i - 1], pi[random.below(i)]);
    Word bits = 0;
    for (std::size_t i = 0; i < pi.size(); ++i) {
      if (i % 64 == 0) bits = random.next();
      if (bits >> (i % 64) & 1) source_[i] = pi[i];
    }
  }

  // out = B x, 64 vectors a word; out and x may not be the same.
  void apply(const Word* x, Word* out, Control& control) {
    m_.apply(x, by_rows_.data(), control);
    for (std::size_t i = 0; i < by_rows_.size(); ++i) {
      mixed_[i] = by_rows_[i] ^ (source_[i] == no_row ? 0 : by_rows_[source_[i]]);
    }
    m_.apply_transpose(mixed_.data(), out, control);
    control.advance(1);
  }
  // M x of the last product.
  const std::vector<Word>& rows() const noexcept { return by_rows_; }

 private:
  DirectSystem& m_;
  std::vector<std::size_t> source_;  // Q's second entry in each row, or no_row
  std::vector<Word> by_rows_, mixed_;
};

// X^T v for blocks of 64 vectors (a word a coordinate), by columns: column
// c is the sum of the x[t] where bit c of v[t] is set.
Block project(const std::vector<Word>& x, const Word* v) {
  std::vector<Word> sums(8 * 256);
  for (std::size_t t = 0; t < x.size(); ++t) {
    Word vt = v[t];
    for (int b = 0; b < 8; ++b, vt >>= 8) sums[b * 256 + (vt & 0xff)] ^= x[t];
  }
  Block columns{};
  for (int b = 0; b < 8; ++b) {
    for (unsigned value = 1; value < 256; ++value) {
      for (unsigned bits = value; bits != 0; bits &= bits - 1) {
        columns[8 * b + __builtin_ctz(bits)] ^= sums[b * 256 + value];
      }
    }
  }
  return columns;
}

// A linear map of words, bit i to images[i]: 8 lookups a word.
class WordMap {
 public:
  using Tables = WordMapTables<8>;
  explicit WordMap(const std::array<Word, 64>& images) : tables_(Tables::size) {
    Tables::fill(images, tables_.data());
  }
  Word operator()(Word w) const noexcept { return Tables::apply(tables_.data(), w); }

 private:
  std::vector<Word> tables_;
};

// The words alpha with sum_j alpha_j (column j of rows) = 0: a basis of the
// null space of the map alpha -> (rows[t] . alpha)_t.
std::vector<Word> null_space(const std::vector<Word>& rows) {
  std::array<Word, 64> basis{};  // basis[p]: a row with highest bit p
  for (Word w : rows) {
    while (w) {
      const int top = 63 - __builtin_clzll(w);
      if (!basis[top]) {
        basis[top] = w;
        break;
      }
      w ^= basis[top];
    }
  }
  for (int p = 0; p < 64; ++p) {  // reduced: each pivot in its row alone
    if (!basis[p]) continue;
    for (int q = p + 1; q < 64; ++q) {
      if (basis[q] >> p & 1) basis[q] ^= basis[p];
    }
  }
  std::vector<Word> result;
  for (int free = 0; free < 64; ++free) {
    if (basis[free]) continue;
    Word alpha = Word{1} << free;
    for (int p = 0; p < 64; ++p) {
      if (basis[p] >> free & 1) alpha |= Word{1} << p;
    }
    result.push_back(alpha);
  }
  return result;
}

// The map from bit v of a block to the combinations holding it: bit i of
// images[v] is bit v of combinations[i].
std::array<Word, 64> images_of(const std::vector<Word>& combinations) {
  std::array<Word, 64> images{};
  for (std::size_t i = 0; i < combinations.size(); ++i) {
    for (Word a = combinations[i]; a != 0; a &= a - 1) images[__builtin_ctzll(a)] |= Word{1} << i;
  }
  return images;
}

bool all_zero(const std::vector<Word>& v) {
  return std::all_of(v.begin(), v.end(), [](Word w) { return w == 0; });
}

// The columns of a block of vectors (bit i of word t is entry t of vector
// i) that are not zero, D bits packed each.
std::vector<std::vector<Word>> vectors_of(const std::vector<Word>& block) {
  std::vector<std::vector<Word>> vectors(64, std::vector<Word>(words_for(block.size())));
  for (std::size_t t = 0; t < block.size(); ++t) {
    for (Word w = block[t]; w != 0; w &= w - 1) {
      vectors[__builtin_ctzll(w)][t / word_bits] |= Word{1} << (t % word_bits);
    }
  }
  std::erase_if(vectors, all_zero);
  return vectors;
}

}  // namespace

std::vector<std::vector<Word>> reduced_echelon(std::vector<std::vector<Word>> vectors) {
  auto highest = [](const std::vector<Word>& v) -> long {
    for (std::size_t w = v.size(); w-- > 0;) {
      if (v[w]) return static_cast<long>(w * word_bits + 63 - __builtin_clzll(v[w]));
    }
    return -1;
  };
  auto has = [](const std::vector<Word>& v, long bit) {
    return (v[static_cast<std::size_t>(bit) / word_bits] >> (bit % word_bits) & 1) != 0;
  };
  auto add = [](std::vector<Word>& v, const std::vector<Word>& other) {
    for (std::size_t w = 0; w < v.size(); ++w) v[w] ^= other[w];
  };
  std::vector<std::pair<long, std::vector<Word>>> basis;  // (pivot, vector)
  for (std::vector<Word>& v : vectors) {
    // Reduced by the basis so far, highest pivots first: what is left has
    // none of their bits, so its highest bit is a new pivot.
    std::sort(basis.begin(), basis.end(),
              [](const auto& x, const auto& y) { return x.first > y.first; });
    for (const auto& [pivot, b] : basis) {
      if (has(v, pivot)) add(v, b);
    }
    const long top = highest(v);
    if (top < 0) continue;
    for (auto& [pivot, b] : basis) {
      if (has(b, top)) add(b, v);
    }
    basis.emplace_back(top, std::move(v));
  }
  std::sort(basis.begin(), basis.end(),
            [](const auto& x, const auto& y) { return x.first < y.first; });
  std::vector<std::vector<Word>> result;
  for (auto& entry : basis) result.push_back(std::move(entry.second));
  return result;
}

void inject_faults(Fault fault, unsigned count) noexcept {
  injected_fault.store(fault);
  injected_count.store(count);
}

std::uint64_t sequence_terms(std::uint64_t columns, std::uint64_t rows, unsigned blocks) noexcept {
  // rank(B) <= rank(M) <= min(D, W): Krylov blocks of that many vectors and
  // a few blocks more show all of it.
  const std::uint64_t m = 64 * std::uint64_t{blocks};
  return 2 * ((std::min(columns, rows) + m - 1) / m + tuning::block_slack) - 1;
}

std::uint64_t Conclusion::steps() const noexcept {
  std::uint64_t longest = 0;
  for (const std::uint64_t d : degrees) longest = std::max(longest, d + 1);
  return longest;
}

class Try::Mixed : public Preconditioned {
 public:
  using Preconditioned::Preconditioned;
};

Try::Try(DirectSystem& system, std::uint64_t seed, unsigned blocks)
    : system_(system),
      blocks_(blocks),
      seed_(seed),
      terms_(sequence_terms(system.cols(), system.rows(), blocks)) {
  Random random(seed);
  b_ = std::make_unique<Mixed>(system, random);
  for (unsigned a = 0; a < blocks; ++a) x_.push_back(Random(stream(seed, a)).words(system.cols()));
}

Try::~Try() = default;

void Try::sequence_steps(unsigned b, ChainState& state, std::uint64_t count,
                         std::vector<Block>& out, Control& control) {
  const std::size_t size = system_.cols();
  if (state.done == 0 && state.vector.empty()) state.vector = y_block(b);
  std::vector<Word> next(size);
  for (std::uint64_t i = 0; i < count; ++i) {
    b_->apply(state.vector.data(), next.data(), control);
    state.vector.swap(next);
    for (unsigned a = 0; a < blocks_; ++a) out.push_back(project(x_[a], state.vector.data()));
    ++state.done;
  }
}

Conclusion Try::conclude(const std::vector<std::vector<Block>>& chains, Control& control) {
  const unsigned K = blocks_;
  Conclusion conclusion;
  const std::size_t size = system_.cols();
  // S_i block (a, b) = X_a^T B^(i+1) Y_b: chain b's (i K + a)th.
  std::vector<Block> terms(terms_ * K * K);
  for (unsigned b = 0; b < K; ++b) {
    if (chains.at(b).size() != terms_ * K)
      throw std::logic_error("a sequence chain of the wrong length");
    for (std::uint64_t i = 0; i < terms_; ++i) {
      for (unsigned a = 0; a < K; ++a) terms[(i * K + a) * K + b] = chains[b][i * K + a];
    }
  }
  const BlockSequence s(K, terms);
  terms.clear();
  terms.shrink_to_fit();
  ApproximantBasis basis = approximant_basis(s, control);
  // The fault: a basis changed in one bit that claims B invertible.
  const bool forged = take_fault(Fault::generator);
  if (forged) basis.columns[0][K] ^= 1;
  // A basis that is not one is a fault: this try proves nothing.
  if (!is_approximant_basis(s, basis, control)) return conclusion;
  std::uint64_t rank = 0;
  for (std::uint64_t width = 1; width <= terms_; ++width) {
    rank = std::max(rank, basis.hankel_rank(width));
  }
  if (forged) rank = size;
  if (rank > size) return conclusion;  // more than B's size: a fault
  conclusion.rank = rank;
  if (rank == size) {
    conclusion.status = Conclusion::full_rank;
    return conclusion;
  }
  // Kernel vectors of H(a, b) of least degree, each w = sum_k B^k Y c_(d-k)
  // for an approximant c of shifted degree d: X-Krylov^T B w = 0, so B w = 0
  // when the X-Krylov space is all, and M w = 0 when B's kernel is M's.
  std::vector<std::size_t> chosen;
  for (std::size_t j = 0; j < basis.width(); ++j) {
    if (basis.has_c(j)) chosen.push_back(j);
  }
  std::sort(chosen.begin(), chosen.end(), [&](std::size_t i, std::size_t j) {
    return basis.degrees[i] != basis.degrees[j] ? basis.degrees[i] < basis.degrees[j] : i < j;
  });
  if (chosen.size() > 64) chosen.resize(64);
  if (chosen.empty()) return conclusion;
  for (const std::size_t j : chosen) {
    const std::uint64_t d = basis.degrees[j];
    conclusion.degrees.push_back(d);
    std::vector<Word> c;
    c.reserve((d + 1) * K);
    for (std::uint64_t t = 0; t <= d; ++t) c.insert(c.end(), basis.c(j, t), basis.c(j, t) + K);
    conclusion.coefficients.push_back(std::move(c));
  }
  conclusion.status = Conclusion::kernel;
  return conclusion;
}

void Try::combination_steps(unsigned b, const Conclusion& conclusion, ChainState& state,
                            std::uint64_t count, Control& control) {
  const std::size_t size = system_.cols();
  const unsigned K = blocks_;
  if (state.done == 0 && state.vector.empty()) {
    state.vector = y_block(b);
    state.w.assign(size, 0);
  }
  std::vector<Word> next(size);
  const std::uint64_t end = std::min(conclusion.steps(), state.done + count);
  for (std::uint64_t k = state.done; k < end; ++k) {
    if (k > 0) {
      b_->apply(state.vector.data(), next.data(), control);
      state.vector.swap(next);
    }
    std::array<Word, 64> images{};  // bit i of B^k Y_b to the vectors it enters
    for (std::size_t v = 0; v < conclusion.degrees.size(); ++v) {
      const std::uint64_t d = conclusion.degrees[v];
      if (k > d) continue;
      for (Word c = conclusion.coefficients[v][(d - k) * K + b]; c != 0; c &= c - 1) {
        images[__builtin_ctzll(c)] |= Word{1} << v;
      }
    }
    const WordMap map(images);
    for (std::size_t t = 0; t < size; ++t) state.w[t] ^= map(state.vector[t]);
    state.done = k + 1;
    control.checkpoint();
  }
}

KernelProbe Try::finish(const Conclusion& conclusion, const std::vector<Word>& w,
                        Control& control) {
  const std::size_t size = system_.cols();
  KernelProbe probe;
  probe.dimension_at_most = size - conclusion.rank;
  if (w.size() != size) throw std::logic_error("a kernel combination of the wrong length");
  // The combinations of the w in B's kernel, and of those in M's.
  std::vector<Word> bw(size);
  b_->apply(w.data(), bw.data(), control);
  const std::vector<Word> in_b = null_space(bw);
  if (in_b.empty()) return probe;
  const WordMap to_b(images_of(in_b));
  std::vector<Word> kernel_b(size), values(system_.rows());
  for (std::size_t t = 0; t < size; ++t) kernel_b[t] = to_b(w[t]);
  for (std::size_t t = 0; t < values.size(); ++t) values[t] = to_b(b_->rows()[t]);
  const std::vector<Word> in_m = null_space(values);
  const WordMap to_m(images_of(in_m));
  std::vector<Word> g(size);
  for (std::size_t t = 0; t < size; ++t) g[t] = to_m(kernel_b[t]);
  if (take_fault(Fault::kernel_vector)) g[0] ^= 1;
  // The certificate: M g = 0 for the 64 vectors of g at once, by a product
  // apart from the one that chose them.
  system_.apply(g.data(), values.data(), control);
  if (!all_zero(values)) return probe;
  probe.annihilators = reduced_echelon(vectors_of(g));
  // M's kernel lies in B's, so when the vectors found span B's kernel (as
  // many independent ones as the rank leaves), those of M's kernel among
  // them are all of it.
  const std::uint64_t spanned = in_b.size() - null_space(kernel_b).size();
  if (spanned == size - conclusion.rank) {
    probe.dimension_at_most = probe.annihilators.size();
    probe.full_rank = probe.annihilators.empty();
  }
  return probe;
}

std::vector<Word> Try::y_block(unsigned b) const {
  return Random(stream(seed_, blocks_ + b)).words(system_.cols());
}

KernelProbe probe_kernel(DirectSystem& system, std::uint64_t seed, Control& control) {
  KernelProbe probe;
  if (system.cols() == 0) {
    probe.full_rank = true;
    return probe;
  }
  const MemoryReservation reservation(probe_memory(system.cols(), system.rows()),
                                      "the black-box solver's sequences");
  Try one(system, seed, 1);
  control.plan(one.terms() + one.terms() / 2 + 2);
  std::vector<std::vector<Block>> chains(1);
  ChainState state;
  one.sequence_steps(0, state, one.terms(), chains[0], control);
  const Conclusion conclusion = one.conclude(chains, control);
  probe.dimension_at_most = system.cols() - conclusion.rank;
  if (conclusion.status == Conclusion::full_rank) {
    probe.full_rank = true;
    probe.dimension_at_most = 0;
  }
  if (conclusion.status != Conclusion::kernel) return probe;
  state = ChainState{};
  one.combination_steps(0, conclusion, state, conclusion.steps(), control);
  return one.finish(conclusion, state.w, control);
}

std::uint64_t probe_memory(std::uint64_t columns, std::uint64_t rows, unsigned blocks) noexcept {
  const std::uint64_t terms = sequence_terms(columns, rows, blocks), K = blocks;
  // The chains' blocks and the sequence's tables, the basis (128 K columns
  // of about sigma / 2 coefficients of 16 K bytes), X and five vectors of
  // columns, three of rows.
  return BlockSequence::memory(terms, blocks) + 8 * 64 * terms * K * K +
         128 * K * 16 * K * (terms / 2 + 8) + 8 * ((5 + K) * columns + 4 * rows);
}

}  // namespace quillmat::engine
