// The verification of a polynomial on points.
#pragma once

#include <optional>
#include <string>
#include <utility>

#include "matrix/matrix.hpp"

namespace quillmat {

// The outcome of checking a polynomial on points: (true, none), or (false,
// (k, z[k])) for the first point z[k] where it does not vanish.
using Verdict = std::pair<bool, std::optional<std::pair<Index, std::string>>>;

// The polynomial sum of g[i] * mapping[i], checked on every point of z; a
// monomial counts 1 at a point when it divides the point (is_submonomial).
// Both give identical results and failures; verify_2 allocates nothing per
// point, and checks "0"/"1" points of one length against the bit masks of
// the terms with odd coefficients.
Verdict verify(const Strings& z, const Row& g, const Strings& mapping);
Verdict verify_2(const Strings& z, const Row& g, const Strings& mapping);

}  // namespace quillmat
