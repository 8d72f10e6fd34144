// What the degree search asks of a solver of the annihilator systems, and
// the choice among solvers.
//
// The search (immunity.cpp) only ever asks three things about Ann_d(s), the
// annihilators of degree <= d of one side s of the function: its dimension,
// its canonical basis, and its first canonical annihilator when s has none
// of lower degree (with the dimension, from the same work, when the search
// has neither yet); and, to plan, what each would cost.  The dense solver
// eliminates Dalai and Maitra's reduced system (reduced_system.hpp).  A
// solver that needs only products with the system (a black-box one) would
// answer the same questions; solver_for is where a cost model chooses.
#pragma once

#include <cstdint>
#include <vector>

#include "engine/control.hpp"
#include "engine/monomials.hpp"

namespace quillmat::engine {

class Solver {
 public:
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
};

// The solver for Ann_d(s): the one that its cost model expects to be the
// cheapest.  There is one today, the dense solver.
const Solver& solver_for(const TruthTable& s, int d);

}  // namespace quillmat::engine
