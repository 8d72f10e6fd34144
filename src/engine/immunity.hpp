// Algebraic immunity: the lowest degree of an annihilator of f or of f + 1.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "engine/control.hpp"
#include "engine/monomials.hpp"
#include "engine/solver.hpp"

namespace quillmat::engine {

// dim Ann_d(f) and dim Ann_d(f + 1).
struct Dimensions {
  std::uint64_t of_f = 0;
  std::uint64_t of_complement = 0;
  bool operator==(const Dimensions&) const = default;
};

// What the search proved; the annihilator is always checked.
struct Immunity {
  int degree = 0;
  // The first canonical annihilator of f at that degree, or of f + 1 when f
  // has none; another, checked, when `canonical` is false (the black-box
  // solver's, of a kernel too large to prove whole).
  bool of_complement = false;
  std::vector<Mask> annihilator;
  bool canonical = true;
  // At `degree`; unknown_dimension where no proof was found.
  Dimensions dimensions;
  // The solver of the system that gave the annihilator.
  Method method = Method::dense;
};

// The calls' choice of solver: `method`, and the seed of the black-box
// solver's random choices (which change only the time an answer takes).
struct Choice {
  Method method = Method::dense;
  std::uint64_t seed = 0;
};

Immunity algebraic_immunity(const TruthTable& f, Control& control, Choice choice = {});

// Dimensions for d = 0 .. max_degree (unknown_dimension where unproved).
std::vector<Dimensions> immunity_profile(const TruthTable& f, int max_degree, Control& control,
                                         Choice choice = {});

// The canonical basis of Ann_degree(f) (kernel.hpp), for degree <= f.variables():
// a greater degree throws std::invalid_argument (Ann_n(f) already holds every
// function that vanishes on the support).
std::vector<std::vector<Mask>> annihilators(const TruthTable& f, int degree, Control& control,
                                            Choice choice = {});

// What deciding each side's system at each degree up to the bound (the
// degree at which some side surely has an annihilator) costs each solver,
// in its cost units and peak bytes, before any work: what an estimate of a
// search's time is made of.  The black-box figures are for `chains` chains a
// try, each on a core of its own (1: one machine's one chain); its memory
// is one process's.
struct SystemCosts {
  std::array<double, 2> dense{}, black_box{};  // side 0 is f, side 1 is f + 1
  std::array<std::uint64_t, 2> dense_memory{}, black_box_memory{};
};
std::vector<SystemCosts> system_costs(const TruthTable& f, unsigned chains);

}  // namespace quillmat::engine
