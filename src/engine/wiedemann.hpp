// Block Wiedemann over GF(2) on the direct system: whether its columns are
// independent, and the annihilators it has, each answer with a proof.
//
// M (black_box.hpp) is W x D over GF(2).  With the square B = M^T Q M
// (Q a random sparse mixing of the rows, wiedemann.cpp) and random blocks X
// and Y of m = 64 K vectors each (a word a coordinate per block of 64), the
// sequence
//
//   S_i = X^T B^(i+1) Y,  i < sigma = 2 (ceil(min(D, W) / m) + slack) - 1,
//
// of m x m matrices costs sigma products by B on each of the K blocks of Y,
// each two transforms on 64 vectors at once (Coppersmith 1994).  The K
// chains B^i Y_b are independent of one another: one machine runs the one
// chain of K = 1, a cluster one chain a worker.  The block Hankel matrices
// of S are K_X^T B K_Y for the Krylov blocks K_X and K_Y, so their rank is
// at most rank(B) <= rank(M); lingen.hpp finds that rank from a checked
// approximant basis.
//
// What is proved, whatever the random choices were:
//   - a block Hankel matrix of rank D: B is invertible, so M's columns are
//     independent: no annihilator;
//   - rank(M) >= that rank r in every case: at most D - r independent
//     annihilators;
//   - each annihilator returned satisfies M g = 0, checked by a product.
// Random choices that prove neither are discarded, never reported: the
// caller tries again with fresh ones.
//
// A try runs in three stages, each a pure function of the system, the seed
// and the stage before, so that the chains of a stage can run anywhere, stop
// and go on: the sequence chains, the conclusion (lingen, its check and the
// rank), then, when the kernel is not proved empty, the combination chains
// (the kernel vectors' parts from each chain) and the finish.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "engine/black_box.hpp"
#include "engine/control.hpp"
#include "engine/lingen.hpp"

namespace quillmat::engine {

struct KernelProbe {
  // Proved: the columns are independent (and `annihilators` is empty).
  bool full_rank = false;
  // Proved: the kernel's dimension is at most this.
  std::uint64_t dimension_at_most = 0;
  // Independent vectors of the kernel over GF(2), each checked: D bits
  // packed in words, bit j the coefficient of monomial j.
  std::vector<std::vector<Word>> annihilators;
};

// The reduced echelon form of GF(2) vectors of equal length, each pivot its
// highest bit, ordered by pivot: the canonical basis of what they span when
// bit j stands for monomial j of the canonical order.
std::vector<std::vector<Word>> reduced_echelon(std::vector<std::vector<Word>> vectors);

// Where a chain is: `done` steps taken, `vector` = B^done Y_b (empty before
// the first step), and for a combination chain the sum `w` so far.
struct ChainState {
  std::uint64_t done = 0;
  std::vector<Word> vector, w;
};

// What the sequence proved, and what the combination chains need when it
// did not prove the columns independent.
struct Conclusion {
  enum Status { unproved, full_rank, kernel } status = unproved;
  std::uint64_t rank = 0;  // proved: rank(M) >= rank
  // The approximants chosen for kernel vectors (at most 64), by shifted
  // degree: degrees[v] + 1 coefficients each, K words of c a coefficient.
  std::vector<std::uint64_t> degrees;
  std::vector<std::vector<Word>> coefficients;
  // The steps of each combination chain: the highest degree, plus one.
  std::uint64_t steps() const noexcept;
};

// The random choices of one try and the stages that use them.
class Try {
 public:
  Try(DirectSystem& system, std::uint64_t seed, unsigned blocks);
  ~Try();
  Try(const Try&) = delete;
  Try& operator=(const Try&) = delete;

  unsigned blocks() const noexcept { return blocks_; }
  // sigma: the products of each sequence chain.
  std::uint64_t terms() const noexcept { return terms_; }

  // Chain b of the sequence, `count` steps on from `state`: for each, one
  // product and the K blocks X_a^T B^(i+1) Y_b appended to `out`.
  void sequence_steps(unsigned b, ChainState& state, std::uint64_t count, std::vector<Block>& out,
                      Control& control);
  // lingen on the K chains' blocks (chains[b][i K + a]), checked, and the
  // rank it proves.
  Conclusion conclude(const std::vector<std::vector<Block>>& chains, Control& control);
  // Chain b of the kernel vectors: the sum over k of B^k Y_b c^b_(d-k), 64
  // candidates at once, `count` steps on from `state`.
  void combination_steps(unsigned b, const Conclusion& conclusion, ChainState& state,
                         std::uint64_t count, Control& control);
  // The kernel vectors from the sum w of the chains' parts, each checked.
  KernelProbe finish(const Conclusion& conclusion, const std::vector<Word>& w, Control& control);

 private:
  class Mixed;
  std::vector<Word> y_block(unsigned b) const;
  DirectSystem& system_;
  unsigned blocks_;
  std::uint64_t seed_, terms_;
  std::unique_ptr<Mixed> b_;
  std::vector<std::vector<Word>> x_;  // X_a, a < K
};

// One try of block Wiedemann, K = 1, with the random choices that `seed` gives.
KernelProbe probe_kernel(DirectSystem& system, std::uint64_t seed, Control& control);
// The bytes a try holds beyond the system, for D columns and W rows, in the
// process that runs all its stages.
std::uint64_t probe_memory(std::uint64_t columns, std::uint64_t rows, unsigned blocks = 1) noexcept;
// The terms of the sequence of a try on D columns and W rows: its products
// by B on each chain.
std::uint64_t sequence_terms(std::uint64_t columns, std::uint64_t rows,
                             unsigned blocks = 1) noexcept;

// Faults put in on purpose, for the tests that show a broken step cannot
// give a wrong answer: the next `count` tries change a bit of the
// approximant basis found and claim full rank from it, or corrupt the
// kernel vectors found, before their checks.
enum class Fault { none, generator, kernel_vector };
void inject_faults(Fault fault, unsigned count) noexcept;

}  // namespace quillmat::engine
