// S-boxes S: F_2^n -> F_2^m given by their tables: the points of their
// graphs, and the algebraic immunity of every component.
//
// Bit i of x is x_i and bit j of S(x) is y_j, as in a truth table; on the
// graph, (x, S(x)) is the point x | S(x) << n, so y_j is variable n + j.
#pragma once

#include <cstdint>
#include <vector>

#include "engine/control.hpp"
#include "engine/immunity.hpp"
#include "engine/monomials.hpp"

namespace quillmat::engine {

struct SBox {
  int n = 0;                          // input bits, at most max_variables
  int m = 0;                          // output bits, n + m at most max_wide_variables
  std::vector<std::uint64_t> values;  // 2^n of them, each below 2^m
};

// The 2^n points (x, S(x)).
std::vector<WideMask> graph_points(const SBox& s);

// The monomials of degree <= 2 with at most one x and at most one y (1, x_i,
// y_j, x_i y_j), in canonical order: the bi-affine equations' terms.
std::vector<WideMask> bi_affine_monomials(int n, int m);

// The component v.S: x -> the parity of v & S(x).
TruthTable component(const SBox& s, std::uint64_t v);

// AI(v.S) for v = 1 .. 2^m - 1 (entry v - 1), the components shared among
// control.threads() threads, each solved on one.
std::vector<int> component_immunities(const SBox& s, Control& control, Choice choice);

}  // namespace quillmat::engine
