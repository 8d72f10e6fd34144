// Algebraic immunity: the lowest degree of an annihilator of f or of f + 1.
#pragma once

#include <cstdint>
#include <vector>

#include "engine/control.hpp"
#include "engine/monomials.hpp"

namespace quillmat::engine {

// dim Ann_d(f) and dim Ann_d(f + 1).
struct Dimensions {
  std::uint64_t of_f = 0;
  std::uint64_t of_complement = 0;
  bool operator==(const Dimensions&) const = default;
};

struct Immunity {
  int degree = 0;
  // The first canonical annihilator of f at that degree, or of f + 1 when f has none.
  bool of_complement = false;
  std::vector<Mask> annihilator;
  Dimensions dimensions;  // at `degree`
};

Immunity algebraic_immunity(const TruthTable& f, Control& control);

// Dimensions for d = 0 .. max_degree.
std::vector<Dimensions> immunity_profile(const TruthTable& f, int max_degree, Control& control);

// The canonical basis of Ann_degree(f) (kernel.hpp), for degree <= f.variables():
// a greater degree throws std::invalid_argument (Ann_n(f) already holds every
// function that vanishes on the support).
std::vector<std::vector<Mask>> annihilators(const TruthTable& f, int degree, Control& control);

}  // namespace quillmat::engine
