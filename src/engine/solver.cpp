#include "engine/solver.hpp"

#include <stdexcept>
#include <utility>

#include "engine/kernel.hpp"
#include "engine/memory.hpp"
#include "engine/reduced_system.hpp"
#include "engine/row_space.hpp"
#include "engine/tuning.hpp"

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

Solver::Found DenseSolver::find(const TruthTable& s, int d, Control& control) const {
  auto [dimension, first] = annihilators_of_lowest_degree(s, d, control);
  return Found{dimension > 0, std::move(first), dimension, true};
}

const Solver& Solvers::for_system(const TruthTable& s, int d, bool whole) const {
  switch (method_) {
    case Method::dense:
      return dense_;
    case Method::black_box:
      return black_box_;
    case Method::automatic:
      break;
  }
  if (whole &&
      monomials_up_to_count(s.variables(), d) > s.weight() + tuning::black_box_whole_kernel)
    return dense_;
  // Past the horizon the black-box solver is never started unasked: the
  // dense one then raises MemoryError at once, where it does not fit.
  const double black_box = black_box_.cost(s, d);
  if (black_box > tuning::black_box_horizon) return dense_;
  const bool dense_fits = dense_.memory(s, d) <= memory_budget() / 2;
  if (dense_fits && dense_.cost(s, d) <= tuning::black_box_cost_ratio * black_box) return dense_;
  return black_box_;
}

const Solver& solver_for(const TruthTable&, int) {
  static const DenseSolver dense;
  return dense;
}

}  // namespace quillmat::engine
