// Arithmetic in GF(2^64), the field the black-box solver draws its random
// choices from.
//
// An element is a 64-bit word: bit i is the coefficient of t^i of a
// polynomial over GF(2), taken modulo the irreducible t^64 + t^4 + t^3 + t + 1.
// Addition is XOR.  GF(2^64) is a vector space over GF(2) with the bits as
// coordinates, so a 0/1 matrix acts on a vector of elements bit by bit: a
// word vector is at once one vector over GF(2^64) and 64 vectors over GF(2).
//
// Products use the carry-less multiplication instruction where the CPU has
// one (chosen once, at the first call) and a table-free shift-and-add loop
// elsewhere; both give the same results, which the engine's fuzzer checks.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quillmat::engine::gf2_64 {

using Element = std::uint64_t;

// The portable product, the reference for the fast one.
Element multiply_portable(Element a, Element b) noexcept;
Element multiply(Element a, Element b) noexcept;
// a^-1 for a != 0 (a^(2^64 - 2)); 0 for 0.
Element inverse(Element a) noexcept;

// x[i] = x[i] * scale[i] for i < count.
void scale_each(Element* x, const Element* scale, std::size_t count) noexcept;
// y[i] = x[i] * scale[i] for i < count.
void scaled_copy(Element* y, const Element* x, const Element* scale, std::size_t count) noexcept;
// sum of a[i] * b[i] for i < count.
Element dot(const Element* a, const Element* b, std::size_t count) noexcept;
// x[i] += c * y[i] for i < count.
void add_scaled(Element* x, Element c, const Element* y, std::size_t count) noexcept;

// Whether the carry-less instruction is used (for the fuzzer, which compares).
bool fast() noexcept;

}  // namespace quillmat::engine::gf2_64
