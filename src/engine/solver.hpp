// What the degree search asks of a solver of the annihilator systems, and
// the choice among solvers.
//
// The search (immunity.cpp) only ever asks three things about Ann_d(s), the
// annihilators of degree <= d of one side s of the function: its dimension,
// its canonical basis, and its first canonical annihilator when s has none
// of lower degree (with the dimension, from the same work, when the search
// has neither yet); and, to plan, what each would cost.  The dense solver
// eliminates Dalai and Maitra's reduced system (reduced_system.hpp); the
// black-box solver (wiedemann.hpp) needs only products with the direct
// system, in memory linear in 2^n, and proves each answer it gives, but a
// dimension or a basis only when the kernel is small.  Solvers::for_system
// is where a cost model chooses.
#pragma once

#include <cstdint>
#include <limits>
#include <stdexcept>
#include <vector>

#include "engine/control.hpp"
#include "engine/monomials.hpp"

namespace quillmat::engine {

// A dimension no proof was found for (the black-box solver's, of a large kernel).
inline constexpr std::uint64_t unknown_dimension = std::numeric_limits<std::uint64_t>::max();

enum class Method { automatic, dense, black_box };

// Thrown when the black-box solver found no proof of what was asked.
// The random choices of try `attempt` of the black-box solver on Ann_d(s):
// fresh for each system and try, and the same in every run with the same
// seed, whatever else runs beside it (or on another machine).
std::uint64_t try_seed(std::uint64_t seed, const TruthTable& s, int d, unsigned attempt);

class Unproved : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class Solver {
 public:
  virtual Method method() const = 0;
  virtual ~Solver() = default;

  // A measure of the work to find dim Ann_d(s), in bit operations, that the
  // search compares between the two sides, between a system and its dual
  // and between degrees (and a choice between solvers would compare).
  virtual double cost(const TruthTable& s, int d) const = 0;
  // The bytes it holds at most while it finds dim Ann_d(s).
  virtual std::uint64_t memory(const TruthTable& s, int d) const = 0;
  // dim Ann_d(s); 0 for d < 0.
  virtual std::uint64_t dimension(const TruthTable& s, int d, Control& control) const = 0;
  // The canonical basis of Ann_d(s) (kernel.hpp).
  virtual std::vector<std::vector<Mask>> basis(const TruthTable& s, int d,
                                               Control& control) const = 0;
  // Its first vector, when s is known to have no annihilator of degree below
  // d and to have one of degree d.
  virtual std::vector<Mask> first_of_lowest_degree(const TruthTable& s, int d,
                                                   Control& control) const = 0;
  // dim Ann_d(s) and, when it is not 0, that first vector, when s is known
  // to have no annihilator of degree below d: what the dimension's work
  // leaves behind gives the annihilator, and a second pass over the system
  // is saved.  `first` is empty when the dimension is 0.
  struct Lowest {
    std::uint64_t dimension = 0;
    std::vector<Mask> first;
  };
  virtual Lowest lowest_degree(const TruthTable& s, int d, Control& control) const = 0;

  // Whether Ann_d(s) is not 0, for s known to have no annihilator of degree
  // below d, with one annihilator when it is: the canonical first one, or,
  // when `canonical` is false, another, checked.  The dimension is
  // unknown_dimension where it was not proved.
  struct Found {
    bool exists = false;
    std::vector<Mask> annihilator;
    std::uint64_t dimension = unknown_dimension;
    bool canonical = true;
  };
  virtual Found find(const TruthTable& s, int d, Control& control) const = 0;
};

// By elimination of the reduced system, dense and bit-packed.
class DenseSolver final : public Solver {
 public:
  double cost(const TruthTable& s, int d) const override;
  std::uint64_t memory(const TruthTable& s, int d) const override;
  std::uint64_t dimension(const TruthTable& s, int d, Control& control) const override;
  std::vector<std::vector<Mask>> basis(const TruthTable& s, int d, Control& control) const override;
  std::vector<Mask> first_of_lowest_degree(const TruthTable& s, int d,
                                           Control& control) const override;
  Lowest lowest_degree(const TruthTable& s, int d, Control& control) const override;
  Found find(const TruthTable& s, int d, Control& control) const override;
  Method method() const override { return Method::dense; }
};

// By block Wiedemann on the direct system (wiedemann.hpp), with random
// choices drawn from `seed`: they change only the time an answer takes.
// Its dimension() is unknown_dimension, and its basis() throws Unproved,
// where the kernel is too large to be proved whole.
class BlackBoxSolver final : public Solver {
 public:
  explicit BlackBoxSolver(std::uint64_t seed) : seed_(seed) {}
  double cost(const TruthTable& s, int d) const override { return cost(s, d, 1); }
  std::uint64_t memory(const TruthTable& s, int d) const override { return memory(s, d, 1); }
  // With the sequence in `chains` chains, each on a core of its own: the
  // time of one chain and of the conclusion; the memory of one process.
  double cost(const TruthTable& s, int d, unsigned chains) const;
  std::uint64_t memory(const TruthTable& s, int d, unsigned chains) const;
  std::uint64_t dimension(const TruthTable& s, int d, Control& control) const override;
  std::vector<std::vector<Mask>> basis(const TruthTable& s, int d, Control& control) const override;
  std::vector<Mask> first_of_lowest_degree(const TruthTable& s, int d,
                                           Control& control) const override;
  Lowest lowest_degree(const TruthTable& s, int d, Control& control) const override;
  Found find(const TruthTable& s, int d, Control& control) const override;
  Method method() const override { return Method::black_box; }

 private:
  struct Kernel;
  Kernel probe(const TruthTable& s, int d, bool whole, Control& control) const;
  std::uint64_t seed_;
};

// The solvers of one call: the one asked for, or with Method::automatic the
// one a cost model of time and memory expects to be the cheapest for each
// system (dense while it fits in memory and costs less, black-box only up
// to tuning::black_box_horizon), and for the whole
// space only where the black-box solver could prove it (more monomials
// than points by at most tuning::black_box_whole_kernel).
class Solvers {
 public:
  Solvers(Method method, std::uint64_t seed) : method_(method), black_box_(seed) {}
  Method method() const noexcept { return method_; }
  // The solver of Ann_d(s); `whole` when its dimension or basis is asked,
  // which the black-box solver proves only for a small kernel.
  const Solver& for_system(const TruthTable& s, int d, bool whole = false) const;

 private:
  Method method_;
  DenseSolver dense_;
  BlackBoxSolver black_box_;
};

// The solver for Ann_d(s) when nothing was asked: the dense one.
const Solver& solver_for(const TruthTable& s, int d);

}  // namespace quillmat::engine
