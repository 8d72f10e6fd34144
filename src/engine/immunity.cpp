#include "engine/immunity.hpp"

#include <algorithm>
#include <array>
#include <cassert>
#include <functional>
#include <map>
#include <optional>
#include <stdexcept>
#include <utility>

#include "engine/memory.hpp"
#include "engine/solver.hpp"
#include "engine/tuning.hpp"

namespace quillmat::engine {
namespace {

// The dimensions of the annihilator spaces of f (side 0) and f + 1 (side 1),
// computed once each, and derived without elimination where the duality
//
//   dim Ann_d(f) - dim Ann_{n-d-1}(f + 1) = D_d - wt(f)
//
// allows (RM(d, n)'s dual code is RM(n-d-1, n)): from the other side at
// n-d-1 when that is known, and from a degree known to have none.
class Spaces {
 public:
  explicit Spaces(const TruthTable& f) : f_(f), complement_(f.complement()), n_(f.variables()) {
    weight_[0] = f_.weight();
    weight_[1] = complement_.weight();
  }

  const TruthTable& side(int s) const { return s == 0 ? f_ : complement_; }
  std::uint64_t weight(int s) const { return weight_[s]; }

  // Below this degree, neither side has an annihilator.
  int none_below = 0;
  // Whether the first annihilator at the immunity is wanted: then a side's
  // system at none_below, solved on the calling thread, gives it with its
  // dimension, and first() has it.
  bool find_first = false;

  // The first annihilator of side s at degree d, when it came with the dimension.
  const std::vector<Mask>* first(int s, int d) const {
    auto it = firsts_.find({s, d});
    return it == firsts_.end() ? nullptr : &it->second;
  }

  // dim Ann_d(side s), when it is known or follows from what is.
  std::optional<std::uint64_t> known(int s, int d) const {
    if (auto direct = known_direct(s, d)) return direct;
    if (auto dual = known_direct(1 - s, n_ - d - 1)) return *dual + excess(s, d);
    return std::nullopt;
  }

  // What deciding dim Ann_d(side s) costs the solver that would decide it.
  double cost(int s, int d) const { return solver_for(side(s), d).cost(side(s), d); }

  // The bytes that deciding dim Ann_d of both sides holds at most, each by
  // the system compute() would choose for it (0 for what is known).
  std::uint64_t memory(int d) const {
    std::uint64_t most = 0;
    for (int s = 0; s < 2; ++s) {
      if (known(s, d)) continue;
      const int dual = n_ - d - 1;
      const bool by_dual = this->cost(1 - s, dual) < this->cost(s, d);
      const int side = by_dual ? 1 - s : s;
      const int degree = by_dual ? dual : d;
      most = std::max(most, solver_for(this->side(side), degree).memory(this->side(side), degree));
    }
    return most;
  }

  // Throws OutOfMemory now when deciding degree d would hold more than the
  // process may: before any work, rather than after the work below it.
  void require_memory(int d) const {
    const MemoryReservation trial(memory(d), "the annihilator systems of the degree asked");
  }

  // Computes the dimensions of every (side, degree) asked that is not known,
  // the two sides at once when both are needed.
  void compute(const std::vector<std::pair<int, int>>& asked, Control& control) {
    std::vector<std::pair<int, int>> needed;
    double cheapest = 0;  // of the systems needed
    for (auto [s, d] : asked) {
      if (known(s, d)) continue;
      // The cheaper of the system itself and its dual.
      const int dual = n_ - d - 1;
      const double direct = this->cost(s, d);
      const double by_dual = this->cost(1 - s, dual);
      std::pair<int, int> job = by_dual < direct ? std::pair{1 - s, dual} : std::pair{s, d};
      if (std::find(needed.begin(), needed.end(), job) != needed.end()) continue;
      const double job_cost = std::min(direct, by_dual);
      cheapest = needed.empty() ? job_cost : std::min(cheapest, job_cost);
      needed.push_back(job);
    }
    std::vector<std::uint64_t> results(needed.size());
    auto solve = [&](std::size_t i) {
      const auto [s, d] = needed[i];
      results[i] = solver_for(side(s), d).dimension(side(s), d, control);
    };
    const unsigned threads = control.threads();
    if (needed.size() < 2 || threads < 2 || cheapest < tuning::parallel_cost) {
      // One after the other: a thread would cost more than it saves, or a
      // cheap system would soon leave the costly one a share of the threads
      // where it could have had them all.
      for (std::size_t i = 0; i < needed.size(); ++i) {
        const auto [s, d] = needed[i];
        // At none_below an annihilator is one of the lowest degree: f's is
        // the one the search returns, f + 1's only when f has none.
        const bool f_has_one =
            s == 1 && (known(0, d).value_or(0) > 0 ||
                       (i > 0 && needed[0] == std::pair{0, d} && results[0] > 0));
        if (find_first && d == none_below && !f_has_one) {
          auto [dimension, annihilator] = solver_for(side(s), d).lowest_degree(side(s), d, control);
          results[i] = dimension;
          if (dimension > 0) firsts_[needed[i]] = std::move(annihilator);
        } else {
          solve(i);
        }
      }
    } else {
      // Each system on a thread of its own, with its share of the threads.
      std::vector<std::function<void()>> tasks;
      for (std::size_t i = 0; i < needed.size(); ++i) tasks.emplace_back([&, i] { solve(i); });
      const ThreadCount share(control,
                              std::max(1u, threads / static_cast<unsigned>(needed.size())));
      run_together(control, tasks);
    }
    for (std::size_t i = 0; i < needed.size(); ++i) dims_[needed[i]] = results[i];
  }

 private:
  // dim Ann_d(side s) without the duality: none below a degree without any,
  // every function of the other points at d >= n, else what was computed.
  std::optional<std::uint64_t> known_direct(int s, int d) const {
    if (d < 0 || d < none_below) return 0;
    if (d >= n_) return (std::uint64_t{1} << n_) - weight_[s];
    if (auto it = dims_.find({s, d}); it != dims_.end()) return it->second;
    return std::nullopt;
  }
  // D_d - wt(side s), which the duality adds.
  std::uint64_t excess(int s, int d) const { return monomials_up_to_count(n_, d) - weight_[s]; }

  const TruthTable& f_;
  TruthTable complement_;
  std::array<std::uint64_t, 2> weight_{};
  int n_;
  std::map<std::pair<int, int>, std::uint64_t> dims_;
  std::map<std::pair<int, int>, std::vector<Mask>> firsts_;
};

// What deciding whether degree d has an annihilator still costs.
double decision_cost(const Spaces& spaces, int d) {
  double cost = 0;
  for (int s = 0; s < 2; ++s) {
    if (!spaces.known(s, d)) cost += spaces.cost(s, d);
  }
  return cost;
}

// The lowest degree at which some side has an annihilator: by the lighter
// side's weight, the first degree with more monomials than its points.
int immunity_bound(const TruthTable& f, std::uint64_t weight, std::uint64_t complement_weight) {
  int bound = 0;
  while (monomials_up_to_count(f.variables(), bound) <= std::min(weight, complement_weight))
    ++bound;
  return bound;
}

// The search when some system goes to the black-box solver, which proves
// whether an annihilator exists without a dimension: degrees upward, f
// before f + 1, each system by the solver chosen for it.  Below the
// immunity both sides are proved to have none; at it, the first side found
// gives the annihilator.
Immunity immunity_by_degrees(const TruthTable& f, const Solvers& solvers, Control& control) {
  const TruthTable complement = f.complement();
  const int bound = immunity_bound(f, f.weight(), complement.weight());
  for (int d = 0; d <= bound; ++d) {
    std::array<Solver::Found, 2> found;
    // Two black-box systems (one thread each, but at many variables) go
    // side by side when each is worth a thread of its own; the answer is the
    // same, f's side first.
    auto worth_a_thread = [&](const TruthTable& side) {
      const Solver& solver = solvers.for_system(side, d);
      return solver.method() == Method::black_box &&
             solver.cost(side, d) >= tuning::black_box_thread_cost;
    };
    const bool together = control.threads() >= 2 && worth_a_thread(f) && worth_a_thread(complement);
    if (together) {
      Team team(control, 2);
      team.run([&](unsigned s) {
        const TruthTable& side = s == 0 ? f : complement;
        found[s] = solvers.for_system(side, d).find(side, d, control);
      });
    }
    for (int s = 0; s < 2; ++s) {
      const TruthTable& side = s == 0 ? f : complement;
      if (!together) found[s] = solvers.for_system(side, d).find(side, d, control);
      if (found[s].exists) {
        Immunity result;
        result.degree = d;
        result.of_complement = s == 1;
        result.annihilator = std::move(found[s].annihilator);
        result.canonical = found[s].canonical;
        result.method = solvers.for_system(side, d).method();
        result.dimensions.of_f = s == 0 ? found[0].dimension : 0;
        result.dimensions.of_complement = s == 1 ? found[1].dimension : unknown_dimension;
        return result;
      }
    }
  }
  throw std::logic_error("the annihilator search found no annihilator at the immunity's bound");
}

}  // namespace

std::vector<SystemCosts> system_costs(const TruthTable& f, unsigned chains) {
  const TruthTable complement = f.complement();
  const int bound = immunity_bound(f, f.weight(), complement.weight());
  const DenseSolver dense;
  const BlackBoxSolver black_box(0);
  std::vector<SystemCosts> costs(static_cast<std::size_t>(bound) + 1);
  for (int d = 0; d <= bound; ++d) {
    SystemCosts& c = costs[static_cast<std::size_t>(d)];
    for (int s = 0; s < 2; ++s) {
      const TruthTable& side = s == 0 ? f : complement;
      c.dense[s] = dense.cost(side, d);
      c.dense_memory[s] = dense.memory(side, d);
      c.black_box[s] = black_box.cost(side, d, chains);
      c.black_box_memory[s] = black_box.memory(side, d, chains);
    }
  }
  return costs;
}

Immunity algebraic_immunity(const TruthTable& f, Control& control, Choice choice) {
  const Solvers solvers(choice.method, choice.seed);
  if (choice.method != Method::dense) {
    // The dense search, with its dimensions, when each side's system below
    // the bound (the costliest it may solve) goes to the dense solver.
    const TruthTable complement = f.complement();
    const int top = immunity_bound(f, f.weight(), complement.weight()) - 1;
    if (choice.method == Method::black_box ||
        (top >= 0 && (solvers.for_system(f, top).method() != Method::dense ||
                      solvers.for_system(complement, top).method() != Method::dense))) {
      return immunity_by_degrees(f, solvers, control);
    }
  }
  Spaces spaces(f);
  spaces.find_first = true;
  // Some side has an annihilator of degree `bound`: the first with more
  // monomials than the lighter side has points.
  const int bound = immunity_bound(f, spaces.weight(0), spaces.weight(1));
  // Degrees below `low` have no annihilator; `high` has one.  Cheap degrees
  // are tried from below, so that a low immunity is found at low cost; then
  // the degree just below `high`, which for most functions settles it.
  int low = 0, high = bound;
  // When the degree below the bound is beyond the memory, only an
  // annihilator of a degree low and cheap enough to try lets the search end;
  // any other degree tried first would only put off the MemoryError.
  const bool top_fits = [&] {
    try {
      if (low < high) spaces.require_memory(high - 1);
      return true;
    } catch (const OutOfMemory&) {
      return false;
    }
  }();
  while (low < high) {
    const double ascend_cost = decision_cost(spaces, low);
    const bool ascend = ascend_cost * tuning::ascend_cost_ratio <= decision_cost(spaces, high - 1);
    const int d = ascend ? low : high - 1;
    if (!top_fits && (!ascend || ascend_cost > tuning::hopeful_cost))
      spaces.require_memory(high - 1);
    spaces.compute({{0, d}, {1, d}}, control);
    if (*spaces.known(0, d) == 0 && *spaces.known(1, d) == 0) {
      low = d + 1;
      spaces.none_below = low;
    } else {
      high = d;
    }
  }
  Immunity result;
  result.method = Method::dense;
  result.degree = low;
  spaces.compute({{0, low}, {1, low}}, control);
  result.dimensions = {*spaces.known(0, low), *spaces.known(1, low)};
  result.of_complement = result.dimensions.of_f == 0;
  assert(result.dimensions.of_f + result.dimensions.of_complement > 0);
  const int s = result.of_complement ? 1 : 0;
  if (const std::vector<Mask>* first = spaces.first(s, low)) {
    result.annihilator = *first;
  } else {
    const TruthTable& side = spaces.side(s);
    result.annihilator = solver_for(side, low).first_of_lowest_degree(side, low, control);
  }
  return result;
}

std::vector<Dimensions> immunity_profile(const TruthTable& f, int max_degree, Control& control,
                                         Choice choice) {
  const Solvers solvers(choice.method, choice.seed);
  const TruthTable complement = f.complement();
  bool all_dense = choice.method != Method::black_box;
  for (int d = 0; d <= max_degree && all_dense; ++d) {
    all_dense = solvers.for_system(f, d, true).method() == Method::dense &&
                solvers.for_system(complement, d, true).method() == Method::dense;
  }
  if (!all_dense) {
    // Each system by its own solver, which may leave a dimension unproved.
    std::vector<Dimensions> result;
    for (int d = 0; d <= max_degree; ++d) {
      result.push_back({solvers.for_system(f, d, true).dimension(f, d, control),
                        solvers.for_system(complement, d, true).dimension(complement, d, control)});
    }
    return result;
  }
  Spaces spaces(f);
  std::vector<Dimensions> result;
  // Every degree is needed: one beyond the memory fails the call before any work.
  for (int d = 0; d <= max_degree; ++d) spaces.require_memory(d);
  for (int d = 0; d <= max_degree; ++d) {
    spaces.compute({{0, d}, {1, d}}, control);
    result.push_back({*spaces.known(0, d), *spaces.known(1, d)});
  }
  return result;
}

std::vector<std::vector<Mask>> annihilators(const TruthTable& f, int degree, Control& control,
                                            Choice choice) {
  if (degree > f.variables()) {
    throw std::invalid_argument("an annihilator degree of at most the number of variables");
  }
  const Solvers solvers(choice.method, choice.seed);
  return solvers.for_system(f, degree, true).basis(f, degree, control);
}

}  // namespace quillmat::engine
