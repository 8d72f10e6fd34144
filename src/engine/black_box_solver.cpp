// The black-box solver: tries of block Wiedemann (wiedemann.hpp) until what
// was asked is proved.
#include <algorithm>
#include <stdexcept>
#include <string>
#include <utility>

#include "engine/black_box.hpp"
#include "engine/solver.hpp"
#include "engine/tuning.hpp"
#include "engine/wiedemann.hpp"

namespace quillmat::engine {

// What the tries proved of Ann_d(s): independent annihilators, in reduced
// echelon form, and a bound on the dimension; the whole kernel once the two
// meet.
struct BlackBoxSolver::Kernel {
  std::size_t columns = 0;
  std::vector<Mask> monomials;
  std::uint64_t at_most = 0;
  std::vector<std::vector<Word>> vectors;
  bool whole() const noexcept { return vectors.size() == at_most; }
  std::vector<Mask> terms(const std::vector<Word>& v) const {
    std::vector<Mask> result;
    for (std::size_t j = 0; j < columns; ++j) {
      if (v[j / word_bits] >> (j % word_bits) & 1) result.push_back(monomials[j]);
    }
    return result;
  }
};

namespace {

std::uint64_t mixed(std::uint64_t z) {
  z = (z ^ (z >> 31)) * 0xd6e8feb86659fd93;
  return z ^ (z >> 32);
}

[[noreturn]] void unproved(int d, const char* what) {
  throw Unproved("the black-box method found no proof " + std::string(what) + " for degree " +
                 std::to_string(d) + " in " + std::to_string(tuning::black_box_tries) +
                 " tries; method=\"dense\" gives it exactly");
}

}  // namespace

std::uint64_t try_seed(std::uint64_t seed, const TruthTable& s, int d, unsigned attempt) {
  std::uint64_t z = mixed(seed ^ 0x9e3779b97f4a7c15 * (static_cast<std::uint64_t>(d) + 1));
  for (const Word w : s.bits()) z = mixed(z ^ w);
  return mixed(z ^ (attempt + 1) * 0x9e3779b97f4a7c15);
}

BlackBoxSolver::Kernel BlackBoxSolver::probe(const TruthTable& s, int d, bool whole,
                                             Control& control) const {
  DirectSystem system(s, d);
  Kernel kernel;
  kernel.columns = system.cols();
  kernel.monomials = system.monomials();
  kernel.at_most = system.cols();
  for (unsigned attempt = 0; attempt < tuning::black_box_tries; ++attempt) {
    const KernelProbe found = probe_kernel(system, try_seed(seed_, s, d, attempt), control);
    if (found.full_rank) {
      kernel.at_most = 0;
      kernel.vectors.clear();
      return kernel;
    }
    kernel.at_most = std::min(kernel.at_most, found.dimension_at_most);
    if (!found.annihilators.empty()) {
      std::vector<std::vector<Word>> all = std::move(kernel.vectors);
      all.insert(all.end(), found.annihilators.begin(), found.annihilators.end());
      kernel.vectors = reduced_echelon(std::move(all));
    }
    if (kernel.whole() || (!whole && !kernel.vectors.empty())) return kernel;
  }
  if (!whole && kernel.vectors.empty()) unproved(d, "of an annihilator or of none");
  return kernel;
}

double BlackBoxSolver::cost(const TruthTable& s, int d, unsigned chains) const {
  // A try: sigma products by B on each chain (each two transforms of about
  // n 2^(n-1) word operations, the mixing of the rows and a projection per
  // block of X), the approximant basis and its check (tuning::lingen_cost a
  // term squared for one chain; K^3 times that a term squared for K, whose
  // terms are K times fewer), and for an annihilator about sigma / 2 more
  // products.  One try nearly always proves what is asked.
  const double n = s.variables(), points = static_cast<double>(s.points());
  const std::uint64_t columns = monomials_up_to_count(s.variables(), d);
  const double rows = static_cast<double>(s.weight()), k = chains;
  const double terms = static_cast<double>(sequence_terms(columns, s.weight(), chains));
  const double product =
      n * points + 2 * points + 4 * rows + (4 + 12 * k) * static_cast<double>(columns);
  return 1.5 * terms * product + tuning::lingen_cost * k * k * k * terms * terms;
}

std::uint64_t BlackBoxSolver::memory(const TruthTable& s, int d, unsigned chains) const {
  return DirectSystem::memory(s, d) +
         probe_memory(monomials_up_to_count(s.variables(), d), s.weight(), chains);
}

namespace {

// Whether Ann_d(s) is known, before any work, to be too large to prove whole.
bool surely_large(const TruthTable& s, int d) {
  return monomials_up_to_count(s.variables(), d) > s.weight() + tuning::black_box_whole_kernel;
}

}  // namespace

std::uint64_t BlackBoxSolver::dimension(const TruthTable& s, int d, Control& control) const {
  if (surely_large(s, d)) return unknown_dimension;
  const Kernel kernel = probe(s, d, true, control);
  return kernel.whole() ? kernel.at_most : unknown_dimension;
}

std::vector<std::vector<Mask>> BlackBoxSolver::basis(const TruthTable& s, int d,
                                                     Control& control) const {
  if (surely_large(s, d)) {
    throw Unproved("the annihilators of degree " + std::to_string(d) + " number at least " +
                   std::to_string(monomials_up_to_count(s.variables(), d) - s.weight()) +
                   ", more than the black-box method proves whole; method=\"dense\" gives them");
  }
  const Kernel kernel = probe(s, d, true, control);
  if (!kernel.whole()) {
    throw Unproved("the black-box method proved " + std::to_string(kernel.vectors.size()) +
                   " independent annihilators of degree " + std::to_string(d) + " and at most " +
                   std::to_string(kernel.at_most) +
                   ", too few for the whole basis; method=\"dense\" gives it exactly");
  }
  std::vector<std::vector<Mask>> result;
  for (const auto& v : kernel.vectors) result.push_back(kernel.terms(v));
  return result;
}

Solver::Found BlackBoxSolver::find(const TruthTable& s, int d, Control& control) const {
  const Kernel kernel = probe(s, d, false, control);
  Found found;
  found.exists = !kernel.vectors.empty();
  if (kernel.whole()) found.dimension = kernel.at_most;
  // In reduced echelon form the first vector has the earliest highest term:
  // the canonical first annihilator once the kernel is whole.
  found.canonical = kernel.whole();
  if (found.exists) found.annihilator = kernel.terms(kernel.vectors.front());
  return found;
}

std::vector<Mask> BlackBoxSolver::first_of_lowest_degree(const TruthTable& s, int d,
                                                         Control& control) const {
  Found found = find(s, d, control);
  if (!found.exists)
    throw std::logic_error("the annihilator search found no annihilator at the immunity");
  return std::move(found.annihilator);
}

Solver::Lowest BlackBoxSolver::lowest_degree(const TruthTable& s, int d, Control& control) const {
  Found found = find(s, d, control);
  return Lowest{found.exists ? found.dimension : 0, std::move(found.annihilator)};
}

}  // namespace quillmat::engine
