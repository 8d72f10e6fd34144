#include "engine/solver.hpp"

#include <stdexcept>
#include <utility>

#include "engine/kernel.hpp"
#include "engine/reduced_system.hpp"
#include "engine/row_space.hpp"

namespace quillmat::engine {

double DenseSolver::cost(const TruthTable& s, int d) const {
  return ReducedSystem(s, d).cost();
}

std::uint64_t DenseSolver::memory(const TruthTable& s, int d) const {
  return ReducedSystem(s, d).memory();
}

std::uint64_t DenseSolver::dimension(const TruthTable& s, int d, Control& control) const {
  return annihilator_dimension(s, d, control);
}

std::vector<std::vector<Mask>> DenseSolver::basis(const TruthTable& s, int d,
                                                  Control& control) const {
  return annihilator_basis(s, d, Wanted::all, control);
}

std::vector<Mask> DenseSolver::first_of_lowest_degree(const TruthTable& s, int d,
                                                      Control& control) const {
  auto basis = annihilator_basis(s, d, Wanted::first_of_lowest_degree, control);
  if (basis.size() != 1) {
    // Impossible when s has an annihilator of degree d; a failure here beats a crash.
    throw std::logic_error("the annihilator search found no annihilator at the immunity");
  }
  return std::move(basis.front());
}

Solver::Lowest DenseSolver::lowest_degree(const TruthTable& s, int d, Control& control) const {
  auto [dimension, first] = annihilators_of_lowest_degree(s, d, control);
  return Lowest{dimension, std::move(first)};
}

const Solver& solver_for(const TruthTable&, int) {
  static const DenseSolver dense;
  return dense;
}

}  // namespace quillmat::engine
