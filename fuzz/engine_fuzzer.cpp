// Fuzzes the algebraic-immunity engine against the Matrix record.
//
// Each input gives a Boolean function of up to 7 variables and a bit matrix.
// For the function, the dimensions of the annihilator spaces and their
// canonical bases are computed the direct way: the byte matrix of the support
// points against the monomials of degree <= d, brought to reduced form by
// Matrix::echelon_form, whose Matrix::kernel is the canonical basis.  The
// engine's algebraic_immunity, immunity_profile and annihilator_basis must
// agree with it exactly, and the black-box method in all it proves; its
// products by the system must be the matrix's.  For the matrix, echelonize in both forms (and on a
// leading block of rows) must agree with a plain Gauss-Jordan elimination:
// the rank, the pivot columns, the row space, the reduced form itself, and
// the zero padding of every row.  Any difference aborts.
#if __has_include(<fuzzer/FuzzedDataProvider.h>)
#include <fuzzer/FuzzedDataProvider.h>
#else
#include "fuzzed_data.hpp"  // the same decoding, for the replay built without libFuzzer
#endif

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/bit_matrix.hpp"
#include "engine/black_box.hpp"
#include "engine/control.hpp"
#include "engine/eliminate.hpp"
#include "engine/fast_immunity.hpp"
#include "engine/immunity.hpp"
#include "engine/kernel.hpp"
#include "engine/lingen.hpp"
#include "engine/monomials.hpp"
#include "engine/reduced_system.hpp"
#include "engine/row_space.hpp"
#include "engine/sbox.hpp"
#include "engine/solver.hpp"
#include "engine/tuning.hpp"
#include "engine/vanishing.hpp"
#include "matrix/matrix.hpp"

using namespace quillmat;
using engine::Mask;
using engine::Word;

namespace {

// The checks' own loops need no coverage feedback, which would only slow them
// and reward inputs for what the checks do.
#if defined(__clang__)
#define QUILLMAT_PLAIN __attribute__((no_sanitize("coverage")))
#else
#define QUILLMAT_PLAIN
#endif

[[noreturn]] void mismatch(const char* what, const std::string& detail = "") {
  std::fprintf(stderr, "engine_fuzzer: %s %s\n", what, detail.c_str());
  std::abort();
}

void expect(bool condition, const char* what, const std::string& detail = "") {
  if (!condition) mismatch(what, detail);
}

using Polynomial = std::vector<Mask>;
using Basis = std::vector<Polynomial>;

std::string text(const Basis& basis) {
  std::string out = "[";
  for (const Polynomial& p : basis) {
    out += "{";
    for (Mask m : p) out += std::to_string(m) + " ";
    out += "}";
  }
  out += "]";
  return out.size() > 600 ? out.substr(0, 600) + "..." : out;
}

// --- the function and the direct route -------------------------------------------

// The monomials of degree <= d in canonical order, from scratch: by degree, then
// by the increasing list of their variables compared lexicographically.
QUILLMAT_PLAIN std::vector<Mask> canonical_monomials(int n, int d) {
  std::vector<Mask> all;
  for (Mask m = 0; m < (Mask{1} << n); ++m) {
    if (std::popcount(m) <= d) all.push_back(m);
  }
  auto variables = [](Mask m) {
    std::vector<int> v;
    for (int i = 0; m != 0; ++i, m >>= 1) {
      if (m & 1) v.push_back(i);
    }
    return v;
  };
  std::sort(all.begin(), all.end(), [&](Mask a, Mask b) {
    if (std::popcount(a) != std::popcount(b)) return std::popcount(a) < std::popcount(b);
    return variables(a) < variables(b);
  });
  return all;
}

// The canonical basis of Ann_d(s) by the Matrix record: the kernel of the
// reduced evaluation matrix of the support against the monomials.
QUILLMAT_PLAIN Basis direct_basis(const std::vector<bool>& s, int n, int d) {
  const std::vector<Mask> monomials = canonical_monomials(n, d);
  Matrix evaluation;
  for (Mask x = 0; x < s.size(); ++x) {
    if (!s[x]) continue;
    Row row(monomials.size());
    for (std::size_t j = 0; j < monomials.size(); ++j) row[j] = (monomials[j] & x) == monomials[j];
    evaluation.elements.push_back(std::move(row));
  }
  Basis basis;
  if (evaluation.nrows() == 0) {  // nothing to vanish on: every monomial alone
    for (Mask m : monomials) basis.push_back({m});
    return basis;
  }
  for (const Row& vector : evaluation.echelon_form().first.kernel()) {
    expect(vector.size() == monomials.size(), "kernel vector length");
    Polynomial p;
    for (std::size_t j = 0; j < vector.size(); ++j) {
      expect(vector[j] <= 1, "kernel cell beyond 0/1");
      if (vector[j]) p.push_back(monomials[j]);
    }
    basis.push_back(std::move(p));
  }
  return basis;
}

// That a polynomial is zero on every point of the support, term by term.
QUILLMAT_PLAIN bool vanishes(const Polynomial& p, const std::vector<bool>& s) {
  for (Mask x = 0; x < s.size(); ++x) {
    if (!s[x]) continue;
    int value = 0;
    for (Mask m : p) value ^= (m & x) == m;
    if (value) return false;
  }
  return true;
}

engine::TruthTable table_of(const std::vector<bool>& s, int n) {
  std::vector<Word> bits(engine::words_for(s.size()));
  for (std::size_t x = 0; x < s.size(); ++x) {
    if (s[x]) bits[x / engine::word_bits] |= Word{1} << (x % engine::word_bits);
  }
  return engine::TruthTable(n, std::move(bits));
}

std::vector<bool> read_function(FuzzedDataProvider& fdp, int n) {
  const std::size_t size = std::size_t{1} << n;
  std::vector<bool> f(size);
  const int shape = fdp.ConsumeIntegralInRange(0, 4);
  if (shape >= 3) {  // a few points, or all but a few
    const int count = fdp.ConsumeIntegralInRange(0, 2 * n + 2);
    for (int k = 0; k < count; ++k) f[fdp.ConsumeIntegralInRange<std::size_t>(0, size - 1)] = true;
    if (shape == 4) f.flip();
    return f;
  }
  for (std::size_t x = 0; x < size; x += 8) {
    std::uint8_t byte = fdp.ConsumeIntegral<std::uint8_t>();
    if (shape == 1) byte &= fdp.ConsumeIntegral<std::uint8_t>();  // sparse
    if (shape == 2) byte |= fdp.ConsumeIntegral<std::uint8_t>();  // dense
    for (std::size_t b = 0; b < 8 && x + b < size; ++b) f[x + b] = byte >> b & 1;
  }
  return f;
}

void check_function(FuzzedDataProvider& fdp) {
  const int n = fdp.ConsumeIntegralInRange(0, 7);
  const std::vector<bool> f = read_function(fdp, n);
  std::vector<bool> g(f);
  g.flip();
  const engine::TruthTable table = table_of(f, n);
  const engine::TruthTable other = table_of(g, n);
  expect(table.weight() == static_cast<std::uint64_t>(std::count(f.begin(), f.end(), true)),
         "weight");
  engine::Control control;
  control.set_threads(fdp.ConsumeIntegralInRange(1u, 3u));

  // Every degree, both sides, the direct way: the bases, and so the dimensions.
  std::vector<engine::Dimensions> dims;
  std::vector<Basis> bases[2];
  for (int d = 0; d <= n; ++d) {
    for (int side = 0; side < 2; ++side) {
      const std::vector<bool>& s = side ? g : f;
      bases[side].push_back(direct_basis(s, n, d));
      for (const Polynomial& p : bases[side].back())
        expect(!p.empty() && vanishes(p, s), "direct basis vanishes");
    }
    dims.push_back({bases[0][static_cast<std::size_t>(d)].size(),
                    bases[1][static_cast<std::size_t>(d)].size()});
  }

  // The engine's bases at one degree of each side.
  for (int side = 0; side < 2; ++side) {
    const int d = fdp.ConsumeIntegralInRange(0, n);
    const engine::TruthTable& t = side ? other : table;
    const Basis& want = bases[side][static_cast<std::size_t>(d)];
    const Basis got = engine::annihilator_basis(t, d, engine::Wanted::all, control);
    expect(got == want, "annihilator_basis(all)",
           "n=" + std::to_string(n) + " d=" + std::to_string(d) + " got " + text(got) + " want " +
               text(want));
    const Basis first = engine::annihilator_basis(t, d, engine::Wanted::first, control);
    expect(first == Basis(want.begin(), want.begin() + std::min<std::size_t>(want.size(), 1)),
           "annihilator_basis(first)", text(first) + " want " + text(want));
  }

  // annihilators(): the canonical basis at any degree up to n, and no degree beyond.
  const int at = fdp.ConsumeIntegralInRange(0, n);
  expect(engine::annihilators(table, at, control) == bases[0][static_cast<std::size_t>(at)],
         "annihilators", "d=" + std::to_string(at));
  bool refused = false;
  try {
    engine::annihilators(table, n + 1, control);
  } catch (const std::invalid_argument&) {
    refused = true;
  }
  expect(refused, "annihilators beyond n variables");

  const int extra = fdp.ConsumeIntegralInRange(0, 2);
  const std::vector<engine::Dimensions> profile =
      engine::immunity_profile(table, n + extra, control);
  expect(profile.size() == static_cast<std::size_t>(n + extra + 1), "profile length");
  for (int d = 0; d <= n + extra; ++d) {
    const engine::Dimensions want = dims[static_cast<std::size_t>(std::min(d, n))];
    const engine::Dimensions got = profile[static_cast<std::size_t>(d)];
    expect(got == want, "immunity_profile",
           "d=" + std::to_string(d) + " got " + std::to_string(got.of_f) + "," +
               std::to_string(got.of_complement) + " want " + std::to_string(want.of_f) + "," +
               std::to_string(want.of_complement));
  }

  const engine::Immunity result = engine::algebraic_immunity(table, control);
  int degree = 0;
  while (dims[static_cast<std::size_t>(degree)].of_f == 0 &&
         dims[static_cast<std::size_t>(degree)].of_complement == 0) {
    ++degree;
  }
  expect(result.degree == degree, "immunity degree",
         std::to_string(result.degree) + " want " + std::to_string(degree));
  expect(result.dimensions == dims[static_cast<std::size_t>(degree)], "immunity dimensions");
  const bool of_complement = dims[static_cast<std::size_t>(degree)].of_f == 0;
  expect(result.of_complement == of_complement, "immunity side");
  const Polynomial& want = bases[of_complement][static_cast<std::size_t>(degree)].front();
  expect(result.annihilator == want, "immunity annihilator",
         text({result.annihilator}) + " want " + text({want}));
  const Basis lowest = engine::annihilator_basis(of_complement ? other : table, degree,
                                                 engine::Wanted::first_of_lowest_degree, control);
  expect(lowest == Basis{want}, "annihilator_basis(first_of_lowest_degree)", text(lowest));

  // The black-box method, whatever its random choices: the same degree and
  // side, an annihilator that vanishes on the support, and where it proves a
  // dimension or calls its annihilator canonical, the direct ones.
  const engine::Choice black_box{engine::Method::black_box, fdp.ConsumeIntegral<std::uint64_t>()};
  const engine::Immunity found = engine::algebraic_immunity(table, control, black_box);
  expect(found.degree == degree && found.of_complement == of_complement, "black-box degree");
  expect(!found.annihilator.empty() && vanishes(found.annihilator, of_complement ? g : f),
         "black-box annihilator vanishes", text({found.annihilator}));
  if (found.canonical) expect(found.annihilator == want, "black-box canonical annihilator");
  const engine::Dimensions& at_degree = dims[static_cast<std::size_t>(degree)];
  expect(
      found.dimensions.of_f == engine::unknown_dimension || found.dimensions.of_f == at_degree.of_f,
      "black-box dim_f");
  expect(found.dimensions.of_complement == engine::unknown_dimension ||
             found.dimensions.of_complement == at_degree.of_complement,
         "black-box dim_complement");
  const int asked = fdp.ConsumeIntegralInRange(0, n);
  const Basis& direct = bases[0][static_cast<std::size_t>(asked)];
  try {
    expect(engine::annihilators(table, asked, control, black_box) == direct, "black-box basis",
           "d=" + std::to_string(asked));
  } catch (const engine::Unproved&) {
    // Only a kernel larger than the solver proves whole may go unproved.
    expect(direct.size() > engine::tuning::black_box_whole_kernel, "black-box basis unproved",
           std::to_string(direct.size()));
  }
  const std::vector<engine::Dimensions> sparse =
      engine::immunity_profile(table, n, control, black_box);
  for (int d = 0; d <= n; ++d) {
    const engine::Dimensions& got = sparse[static_cast<std::size_t>(d)];
    const engine::Dimensions& truth = dims[static_cast<std::size_t>(d)];
    expect((got.of_f == engine::unknown_dimension || got.of_f == truth.of_f) &&
               (got.of_complement == engine::unknown_dimension ||
                got.of_complement == truth.of_complement),
           "black-box immunity_profile", "d=" + std::to_string(d));
  }

  // The black box's products against the matrix itself: (M x)(p) is the sum
  // of x(m) over the monomials m inside support point p, and M^T the same
  // sums the other way.
  const int d = fdp.ConsumeIntegralInRange(0, n);
  engine::DirectSystem system(table, d);
  std::vector<Word> x(system.cols()), y(system.rows());
  for (Word& w : x) w = fdp.ConsumeIntegral<Word>();
  for (Word& w : y) w = fdp.ConsumeIntegral<Word>();
  std::vector<Word> mx(system.rows()), mty(system.cols());
  system.apply(x.data(), mx.data(), control);
  system.apply_transpose(y.data(), mty.data(), control);
  std::vector<Word> want_mx(system.rows()), want_mty(system.cols());
  std::size_t row = 0;
  for (std::size_t p = 0; p < f.size(); ++p) {
    if (!f[p]) continue;
    for (std::size_t j = 0; j < system.cols(); ++j) {
      if ((system.monomials()[j] & ~static_cast<Mask>(p)) == 0) {
        want_mx[row] ^= x[j];
        want_mty[j] ^= y[row];
      }
    }
    ++row;
  }
  expect(mx == want_mx && mty == want_mty, "black-box products", "d=" + std::to_string(d));
}

// --- block Hankel ranks from the approximant basis ----------------------------------

std::uint64_t splitmix(std::uint64_t& state) {
  std::uint64_t z = (state += 0x9e3779b97f4a7c15ULL);
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
  return z ^ (z >> 31);
}

// The rank over GF(2) of rows of equal length.
std::size_t plain_rank(std::vector<std::vector<Word>> rows, std::size_t bits) {
  std::size_t found = 0;
  for (std::size_t bit = 0; bit < bits && found < rows.size(); ++bit) {
    const Word mask = Word{1} << (bit % 64);
    std::size_t p = found;
    while (p < rows.size() && !(rows[p][bit / 64] & mask)) ++p;
    if (p == rows.size()) continue;
    std::swap(rows[found], rows[p]);
    for (std::size_t i = found + 1; i < rows.size(); ++i) {
      if (rows[i][bit / 64] & mask) {
        for (std::size_t w = 0; w < rows[i].size(); ++w) rows[i][w] ^= rows[found][w];
      }
    }
    ++found;
  }
  return found;
}

// A Krylov sequence S_i = X^T B^(i+1) Y of a small random B, with X and Y
// of K blocks of 64 vectors, whose block Hankel matrices have the low ranks
// that block Wiedemann reads: the rank the approximant basis gives against
// an elimination of each matrix.
void check_lingen(FuzzedDataProvider& fdp) {
  const unsigned K = fdp.ConsumeIntegralInRange(1, 2);
  const std::size_t size = fdp.ConsumeIntegralInRange<std::size_t>(1, 160 * K);
  const unsigned density = fdp.ConsumeIntegralInRange(0, 4);
  std::uint64_t state = fdp.ConsumeIntegral<std::uint64_t>();
  auto random = [&] {
    Word w = splitmix(state);
    for (unsigned i = 0; i < density; ++i) w &= splitmix(state);  // sparser
    return w;
  };
  std::vector<std::vector<Word>> b(size, std::vector<Word>(engine::words_for(size)));
  for (auto& row : b) {
    for (std::size_t c = 0; c < size; ++c) {
      if (random() & 1) row[c / 64] |= Word{1} << (c % 64);
    }
  }
  // x[a][t], v[b][t]: coordinate t of the 64 vectors of block a of X, b of Y.
  std::vector<std::vector<Word>> x(K, std::vector<Word>(size)), v(K, std::vector<Word>(size));
  for (auto& block : x) {
    for (Word& w : block) w = splitmix(state);
  }
  for (auto& block : v) {
    for (Word& w : block) w = random();
  }
  const std::size_t terms = fdp.ConsumeIntegralInRange<std::size_t>(1, 8);
  // blocks[(i K + a) K + b] = X_a^T B^(i+1) Y_b, by columns.
  std::vector<engine::Block> blocks(terms * K * K);
  for (std::size_t i = 0; i < terms; ++i) {
    for (unsigned yb = 0; yb < K; ++yb) {
      std::vector<Word> next(size);
      for (std::size_t r = 0; r < size; ++r) {
        for (std::size_t c = 0; c < size; ++c) {
          if (b[r][c / 64] >> (c % 64) & 1) next[r] ^= v[yb][c];
        }
      }
      v[yb] = std::move(next);
      for (unsigned xa = 0; xa < K; ++xa) {
        engine::Block& s = blocks[(i * K + xa) * K + yb];
        for (std::size_t t = 0; t < size; ++t) {
          for (int c = 0; c < 64; ++c) {
            if (v[yb][t] >> c & 1) s[c] ^= x[xa][t];
          }
        }
      }
    }
  }
  const engine::BlockSequence s(K, blocks);
  engine::Control control;
  const engine::ApproximantBasis basis = engine::approximant_basis(s, control);
  const std::string where = "K=" + std::to_string(K) + " size=" + std::to_string(size) +
                            " terms=" + std::to_string(terms);
  expect(engine::is_approximant_basis(s, basis, control), "approximant basis unchecked", where);
  const std::size_t m = 64 * K;
  for (std::size_t width = 1; width <= terms; ++width) {
    const std::size_t height = terms - width + 1;
    // Row (i, a, r), column (k, b, c): entry (r, c) of block (a, b) of S_(i+k).
    std::vector<std::vector<Word>> hankel(m * height, std::vector<Word>(K * width));
    for (std::size_t i = 0; i < height; ++i) {
      for (std::size_t k = 0; k < width; ++k) {
        for (unsigned xa = 0; xa < K; ++xa) {
          for (unsigned yb = 0; yb < K; ++yb) {
            const engine::Block& block = blocks[((i + k) * K + xa) * K + yb];
            for (int r = 0; r < 64; ++r) {
              for (int c = 0; c < 64; ++c) {
                if (block[c] >> r & 1) hankel[m * i + 64 * xa + r][k * K + yb] |= Word{1} << c;
              }
            }
          }
        }
      }
    }
    expect(basis.hankel_rank(width) == plain_rank(std::move(hankel), m * width),
           "block Hankel rank", where + " width=" + std::to_string(width));
  }
  // A basis with one bit changed is no longer one.
  engine::ApproximantBasis broken = basis;
  const std::size_t column = fdp.ConsumeIntegralInRange<std::size_t>(0, 2 * m - 1);
  broken.columns[column][K] ^= 1;  // r's first word of the constant coefficient
  expect(!engine::is_approximant_basis(s, broken, control), "a broken basis passes its check",
         where);
}

// --- echelonize against a plain elimination --------------------------------------------

using Rows64 = std::vector<std::vector<Word>>;

struct Plain {
  Rows64 reduced;  // the rows of the reduced row echelon form, by pivot
  std::vector<std::uint32_t> pivots;
};

QUILLMAT_PLAIN std::size_t leading(const std::vector<Word>& row) {
  for (std::size_t w = 0; w < row.size(); ++w) {
    if (row[w] != 0) return w * 64 + static_cast<std::size_t>(std::countr_zero(row[w]));
  }
  return SIZE_MAX;
}

QUILLMAT_PLAIN void add(std::vector<Word>& to, const std::vector<Word>& from) {
  for (std::size_t w = 0; w < to.size(); ++w) to[w] ^= from[w];
}

// Row by row: each row reduced by the basis so far joins it by its leading
// column; then each basis row is cleared above the others' pivots.
QUILLMAT_PLAIN Plain plain_reduced(const Rows64& rows, std::size_t count, std::size_t cols) {
  std::vector<std::vector<Word>> by_column(cols);
  for (std::size_t i = 0; i < count; ++i) {
    std::vector<Word> row = rows[i];
    for (std::size_t lead = leading(row); lead != SIZE_MAX; lead = leading(row)) {
      if (by_column[lead].empty()) {
        by_column[lead] = std::move(row);
        break;
      }
      add(row, by_column[lead]);
    }
  }
  Plain out;
  for (std::size_t c = 0; c < cols; ++c) {
    if (!by_column[c].empty()) out.pivots.push_back(static_cast<std::uint32_t>(c));
  }
  // Clear each pivot column in the rows above it, from the last pivot back.
  for (std::size_t k = out.pivots.size(); k-- > 0;) {
    const std::uint32_t p = out.pivots[k];
    for (std::size_t j = 0; j < k; ++j) {
      std::vector<Word>& row = by_column[out.pivots[j]];
      if (row[p / 64] >> (p % 64) & 1) add(row, by_column[p]);
    }
  }
  for (std::uint32_t p : out.pivots) out.reduced.push_back(std::move(by_column[p]));
  return out;
}

QUILLMAT_PLAIN std::vector<Word> row_of(const engine::BitMatrix& m, std::size_t i) {
  return std::vector<Word>(m.row(i), m.row(i) + m.words());
}

QUILLMAT_PLAIN void check_padding(const engine::BitMatrix& m, const char* what) {
  const std::size_t tail = m.cols() % 64;
  for (std::size_t i = 0; i < m.rows(); ++i) {
    const Word* row = m.row(i);
    if (tail != 0) expect((row[m.words() - 1] >> tail) == 0, what, "bits past the last column");
    for (std::size_t w = m.words(); w < m.stride(); ++w) expect(row[w] == 0, what, "padding word");
  }
}

// `m`, echelonized on its first `block` rows, against `plain`, the reduced
// form of those rows of `original`.
QUILLMAT_PLAIN void check_echelon(const engine::BitMatrix& m, const engine::Echelon& e,
                                  const Plain& plain, const Rows64& original, std::size_t block,
                                  engine::Form form) {
  const char* what = form == engine::Form::reduced ? "echelonize(reduced)" : "echelonize(echelon)";
  expect(e.rank == plain.pivots.size(), what,
         "rank " + std::to_string(e.rank) + " want " + std::to_string(plain.pivots.size()));
  expect(e.pivots == plain.pivots, what, "pivots");
  check_padding(m, what);
  for (std::size_t i = block; i < m.rows(); ++i)
    expect(row_of(m, i) == original[i], what, "rows past the block");
  for (std::size_t i = e.rank; i < block; ++i) {
    expect(leading(row_of(m, i)) == SIZE_MAX, what, "non-zero row past the rank");
  }
  for (std::size_t i = 0; i < e.rank; ++i) {
    std::vector<Word> row = row_of(m, i);
    if (form == engine::Form::reduced) {
      expect(row == plain.reduced[i], what,
             "row " + std::to_string(i) + " differs from the reduced form");
      continue;
    }
    // Leading 1 at its pivot, and inside the row space: the plain reduced form
    // clears it completely.
    expect(leading(row) == e.pivots[i], what,
           "row " + std::to_string(i) + " does not lead at its pivot");
    for (std::size_t k = i; k < e.rank; ++k) {
      const std::uint32_t q = plain.pivots[k];
      if (row[q / 64] >> (q % 64) & 1) add(row, plain.reduced[k]);
    }
    expect(leading(row) == SIZE_MAX, what, "row " + std::to_string(i) + " outside the row space");
  }
}

QUILLMAT_PLAIN void check_elimination(FuzzedDataProvider& fdp) {
  // Sizes across the panels (256 columns), the tiles (512) and, for low rank,
  // enough rows for the elimination to use its team of threads.
  const bool large = fdp.ConsumeBool();
  const std::size_t rows = fdp.ConsumeIntegralInRange<std::size_t>(0, large ? 4000 : 300);
  // At least one column: BitMatrix::check_layout divides by the stride, which
  // is 0 without columns.
  const std::size_t cols = fdp.ConsumeIntegralInRange<std::size_t>(1, large ? 2100 : 700);
  const int shape = fdp.ConsumeIntegralInRange(0, 4);
  const int rank_limit =
      large ? fdp.ConsumeIntegralInRange(0, 48) : fdp.ConsumeIntegralInRange(1, 320);
  const std::size_t block = fdp.ConsumeIntegralInRange<std::size_t>(0, rows);
  const unsigned threads = fdp.ConsumeIntegralInRange(1u, 3u);
  std::uint64_t state = fdp.ConsumeIntegral<std::uint64_t>();

  const std::size_t words = engine::words_for(cols);
  auto random_row = [&](int sparsity) {
    std::vector<Word> row(words);
    for (Word& w : row) {
      w = splitmix(state);
      for (int k = 0; k < sparsity; ++k) w &= splitmix(state);
    }
    if (cols % 64 != 0 && words > 0) row.back() &= (Word{1} << (cols % 64)) - 1;
    return row;
  };
  Rows64 original(rows, std::vector<Word>(words));
  if (large || shape == 2) {  // sums of a few generators: low rank
    Rows64 generators;
    for (int k = 0; k < rank_limit; ++k)
      generators.push_back(random_row(fdp.ConsumeIntegralInRange(0, 2)));
    for (auto& row : original) {
      for (const auto& generator : generators) {
        if (splitmix(state) & 1) {
          for (std::size_t w = 0; w < words; ++w) row[w] ^= generator[w];
        }
      }
    }
  } else if (shape == 0 || shape == 1) {  // dense or sparse rows
    for (auto& row : original) row = random_row(shape * 3);
  } else if (shape == 3) {  // repeated rows and zero rows
    for (std::size_t i = 0; i < rows; ++i) {
      const std::uint64_t r = splitmix(state) % 4;
      if (r == 0 && i > 0) original[i] = original[splitmix(state) % i];
      if (r == 1) original[i] = random_row(0);
    }
  } else {  // a staircase: the pivots where the fuzzer puts them
    for (std::size_t i = 0; i < rows && cols > 0; ++i) {
      const std::size_t lead = splitmix(state) % cols;
      std::vector<Word> row = random_row(1);
      for (std::size_t c = 0; c < lead; ++c) row[c / 64] &= ~(Word{1} << (c % 64));
      row[lead / 64] |= Word{1} << (lead % 64);
      original[i] = row;
    }
  }

  const Plain plain_whole = plain_reduced(original, rows, cols);
  const Plain plain_block = plain_reduced(original, block, cols);
  for (engine::Form form : {engine::Form::echelon, engine::Form::reduced}) {
    for (bool whole : {true, false}) {
      engine::BitMatrix m(rows, cols);
      for (std::size_t i = 0; i < rows; ++i)
        std::copy(original[i].begin(), original[i].end(), m.row(i));
      engine::Control control;
      control.set_threads(threads);
      const engine::Echelon e = whole ? engine::echelonize(m, form, control)
                                      : engine::echelonize(m, block, form, control);
      expect(m.rows() == rows && m.cols() == cols, "echelonize changed the shape");
      check_echelon(m, e, whole ? plain_whole : plain_block, original, whole ? rows : block, form);
      if (whole && form == engine::Form::echelon) {
        engine::BitMatrix again(rows, cols);
        for (std::size_t i = 0; i < rows; ++i)
          std::copy(original[i].begin(), original[i].end(), again.row(i));
        expect(engine::rank_of(again, control) == e.rank, "rank_of");
      }
    }
  }
}

}  // namespace

// --- the row space's ways against the whole matrix -----------------------------------

// Systems of 8 to 11 variables: narrow ones (made by tables and sifted),
// tall ones (the first chunk drawn at a stride, the rest tested against a
// small kernel) and wide ones, each rank against that of the whole matrix
// eliminated at once, and the kernel's dimension against it too.
void check_row_space(FuzzedDataProvider& fdp) {
  const int n = fdp.ConsumeIntegralInRange(8, 11);
  std::uint64_t state = fdp.ConsumeIntegral<std::uint64_t>();
  const int shape = fdp.ConsumeIntegralInRange(0, 3);
  const int d = fdp.ConsumeIntegralInRange(0, n / 2 + 1);
  std::vector<Word> bits(engine::words_for(std::size_t{1} << n));
  for (Word& word : bits) {
    word = splitmix(state);
    if (shape == 1) word &= splitmix(state);  // sparse
    if (shape == 2) word |= splitmix(state);  // dense
  }
  if (shape == 3) {  // 1 above weight d, with a few points flipped: nearly full rank
    for (std::size_t x = 0; x < (std::size_t{1} << n); ++x) {
      const bool one = std::popcount(x) > d || splitmix(state) % 64 == 0;
      bits[x / engine::word_bits] = (bits[x / engine::word_bits] & ~(Word{1} << x % 64)) |
                                    Word{one} << (x % engine::word_bits);
    }
  }
  const engine::TruthTable table(n, std::move(bits));
  engine::Control control;
  control.set_threads(fdp.ConsumeIntegralInRange(1u, 3u));
  const engine::ReducedSystem system(table, d);
  engine::BitMatrix whole = system.matrix(control);
  const std::uint64_t want = system.cols() - engine::rank_of(whole, control);
  const std::uint64_t got = engine::annihilator_dimension(table, d, control);
  expect(got == want, "annihilator_dimension against the whole matrix",
         "n=" + std::to_string(n) + " d=" + std::to_string(d) + " got " + std::to_string(got) +
             " want " + std::to_string(want));
  const Basis basis = engine::annihilator_basis(table, d, engine::Wanted::all, control);
  expect(basis.size() == want, "annihilator_basis size against the whole matrix");
  for (const Polynomial& p : basis) {
    std::vector<bool> s(table.points());
    for (std::size_t x = 0; x < s.size(); ++x) s[x] = table.at(x);
    expect(vanishes(p, s), "annihilator_basis vanishes");
  }
}

// --- the fast algebraic immunity against every g ---------------------------------

// The ANF's degree of a function of n <= 5 variables given as a word of 2^n bits.
QUILLMAT_PLAIN int plain_degree(Word values, int n) {
  int degree = -1;
  for (Mask m = 0; m < (Mask{1} << n); ++m) {
    unsigned coefficient = 0;
    for (Mask x = 0; x <= m; ++x) {
      if ((x & ~m) == 0) coefficient ^= values >> x & 1;
    }
    if (coefficient) degree = std::max(degree, std::popcount(m));
  }
  return degree;
}

// min(2 AI, deg g + deg(f g)) over every g of degree 1 .. AI - 1, and the
// engine's value and witness against it.
QUILLMAT_PLAIN void check_fast_immunity(FuzzedDataProvider& fdp) {
  const int n = fdp.ConsumeIntegralInRange(0, 5);
  const std::vector<bool> f = read_function(fdp, n);
  const engine::TruthTable table = table_of(f, n);
  engine::Control control;
  const engine::FastImmunity fast = engine::fast_algebraic_immunity(table, control);
  const int ai = fast.immunity.degree;
  std::vector<Mask> monomials;
  for (Mask m = 0; m < (Mask{1} << n); ++m) {
    if (std::popcount(m) < ai) monomials.push_back(m);
  }
  if (monomials.size() > 12) return;               // 4096 g at most a run
  const Word points = (Word{1} << (1u << n)) - 1;  // n <= 5: 32 points at most
  Word fw = 0;
  for (std::size_t x = 0; x < f.size(); ++x) fw |= Word{f[x]} << x;
  int best = 2 * ai;
  for (std::uint64_t chosen = 1; chosen < (std::uint64_t{1} << monomials.size()); ++chosen) {
    Word g = 0;
    int degree_g = 0;
    for (std::size_t i = 0; i < monomials.size(); ++i) {
      if (!(chosen >> i & 1)) continue;
      degree_g = std::max(degree_g, std::popcount(monomials[i]));
      for (Mask x = 0; x < (Mask{1} << n); ++x) {
        if ((x & monomials[i]) == monomials[i]) g ^= Word{1} << x;
      }
    }
    if (degree_g == 0) continue;
    const int product = plain_degree(fw & g & points, n);
    if (product >= 0) best = std::min(best, degree_g + product);
  }
  const std::string where = "n=" + std::to_string(n) + " ai=" + std::to_string(ai);
  expect(fast.value == best, "fast algebraic immunity",
         where + " engine=" + std::to_string(fast.value) + " brute=" + std::to_string(best));
  if (!fast.from_annihilator) {
    Word g = 0;
    for (const Mask m : fast.g) {
      for (Mask x = 0; x < (Mask{1} << n); ++x) {
        if ((x & m) == m) g ^= Word{1} << x;
      }
    }
    expect(plain_degree(fw & g & points, n) == fast.degree_product &&
               fast.degree_g + fast.degree_product == fast.value,
           "fast algebraic immunity's witness", where);
  }
}

// --- polynomials vanishing on a list of points -----------------------------------

// The canonical basis over `monomials` by the Matrix record: the kernel of the
// reduced evaluation matrix, a row per point as listed (repeats included).
QUILLMAT_PLAIN std::vector<std::vector<engine::WideMask>> direct_vanishing(
    const std::vector<engine::WideMask>& points, const std::vector<engine::WideMask>& monomials) {
  std::vector<std::vector<engine::WideMask>> basis;
  Matrix evaluation;
  for (const engine::WideMask x : points) {
    Row row(monomials.size());
    for (std::size_t j = 0; j < monomials.size(); ++j) row[j] = (monomials[j] & x) == monomials[j];
    evaluation.elements.push_back(std::move(row));
  }
  if (evaluation.nrows() == 0 || monomials.empty()) {
    for (const engine::WideMask m : monomials) basis.push_back({m});
    return basis;
  }
  for (const Row& vector : evaluation.echelon_form().first.kernel()) {
    std::vector<engine::WideMask> p;
    for (std::size_t j = 0; j < vector.size(); ++j) {
      if (vector[j]) p.push_back(monomials[j]);
    }
    basis.push_back(std::move(p));
  }
  return basis;
}

// Point sets of up to 12 variables (some of up to 64, few monomials), with
// repeats, in a subcube or not, past a batch of points or not: the basis of
// every monomial of degree <= d, and of the bi-affine ones, against the
// direct route, with the dimension alone and on 1 to 3 threads.
QUILLMAT_PLAIN void check_vanishing(FuzzedDataProvider& fdp) {
  const int shape = fdp.ConsumeIntegralInRange(0, 3);
  const int n = shape == 3 ? fdp.ConsumeIntegralInRange(13, 64) : fdp.ConsumeIntegralInRange(0, 12);
  // Up to 386 monomials (n = 10, d = 4): past one panel of the elimination.
  const int d = fdp.ConsumeIntegralInRange(0, std::min(n, shape == 3 ? 1 : n > 10 ? 2 : 4));
  std::uint64_t state = fdp.ConsumeIntegral<std::uint64_t>();
  const std::size_t count = shape == 2 ? fdp.ConsumeIntegralInRange<std::size_t>(900, 1300)
                                       : fdp.ConsumeIntegralInRange<std::size_t>(0, 90);
  const engine::WideMask cube = n == 0 ? 0 : ~engine::WideMask{0} >> (64 - n);
  const engine::WideMask within = shape == 1 ? cube >> fdp.ConsumeIntegralInRange(0, n) : cube;
  std::vector<engine::WideMask> points;
  for (std::size_t k = 0; k < count; ++k) {
    const engine::WideMask p = splitmix(state) & within;
    points.push_back(p);
    if (splitmix(state) % 8 == 0) points.push_back(p);  // a repeat
  }
  engine::Control control;
  control.set_threads(fdp.ConsumeIntegralInRange(1u, 3u));
  const std::string where = "n=" + std::to_string(n) + " d=" + std::to_string(d) +
                            " points=" + std::to_string(points.size());
  const auto all = engine::wide_monomials_up_to(n, d);
  const auto got = engine::vanishing_space(points, n, d, engine::Want::basis, control);
  expect(got.basis == direct_vanishing(points, all), "vanishing basis against the direct route",
         where);
  expect(got.dimension == got.basis.size(), "vanishing dimension against its basis", where);
  expect(engine::vanishing_space(points, n, d, engine::Want::dimension, control).dimension ==
             got.dimension,
         "vanishing dimension alone", where);
  if (n >= 1 && shape != 3) {
    const int inputs = fdp.ConsumeIntegralInRange(0, n);
    const auto bi_affine = engine::bi_affine_monomials(inputs, n - inputs);
    expect(engine::vanishing_space(points, bi_affine, engine::Want::basis, control).basis ==
               direct_vanishing(points, bi_affine),
           "bi-affine basis against the direct route", where);
  }
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider fdp(data, size);
  check_function(fdp);
  check_elimination(fdp);
  check_row_space(fdp);
  check_lingen(fdp);
  check_fast_immunity(fdp);
  check_vanishing(fdp);
  return 0;
}
