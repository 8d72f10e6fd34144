// Fuzzes the matrix core: random sequences of operations on a few random
// records, each checked against a plain model written from the behaviour the
// operations promise (results, failure texts, and that a failure changes
// nothing), plus invariants of the reductions checked by independent GF(2)
// arithmetic.  Any mismatch aborts; so does a sanitizer report or a C++
// exception other than the operations' own Failure.
#include <fcntl.h>
#include <fuzzer/FuzzedDataProvider.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "matrix/failure.hpp"
#include "matrix/matrix.hpp"
#include "matrix/monomial.hpp"
#include "matrix/operations.hpp"
#include "matrix/packed.hpp"
#include "matrix/reduce.hpp"
#include "matrix/verify.hpp"

using namespace quillmat;

namespace {

constexpr std::size_t kMax = std::numeric_limits<std::size_t>::max();

[[noreturn]] void mismatch(const char* what, const std::string& detail = "") {
  std::fprintf(stderr, "core_fuzzer: %s %s\n", what, detail.c_str());
  std::abort();
}

void expect(bool condition, const char* what, const std::string& detail = "") {
  if (!condition) mismatch(what, detail);
}

// --- failure texts, as the operations promise them -----------------------

std::string index_text(std::size_t len, std::size_t index) {
  return "index out of bounds: the len is " + std::to_string(len) + " but the index is " +
         std::to_string(index);
}
const std::string kUnwrap = "called `Option::unwrap()` on a `None` value";

// The outcome of one call: a value, or the failure text.
template <class T>
struct Outcome {
  std::optional<T> value;
  std::string failure;
};

template <class F>
auto run(F&& f) -> Outcome<decltype(f())> {
  try {
    return {f(), {}};
  } catch (const Failure& failure) {
    return {std::nullopt, failure.text()};
  }
}

struct Nothing {};
template <class F>
Outcome<Nothing> run_void(F&& f) {
  return run([&] {
    f();
    return Nothing{};
  });
}

template <class T, class U>
void same_outcome(const Outcome<T>& got, const Outcome<U>& want, const char* what) {
  expect(got.value.has_value() == want.value.has_value(), what,
         "failed with '" + got.failure + "', model: '" + want.failure + "'");
  if (!got.value) expect(got.failure == want.failure, what, got.failure + " vs " + want.failure);
}

// --- the model ---------------------------------------------------------------

using Model = std::vector<std::vector<Cell>>;

std::size_t model_ncols(const Model& m) {
  return m.empty() ? 0 : m[0].size();
}

bool is_bits(const Model& m) {
  for (const auto& row : m) {
    if (row.size() != model_ncols(m)) return false;
    for (Cell c : row)
      if (c > 1) return false;
  }
  return true;
}

std::string model_repr(const Model& m) {
  std::string text = "[";
  for (std::size_t i = 0; i < m.size(); ++i) {
    text += i ? ", [" : "[";
    for (std::size_t j = 0; j < m[i].size(); ++j) {
      text += (j ? ", " : "") + std::to_string(m[i][j]);
    }
    text += "]";
  }
  return text + "]";
}

// Column by column: source row, source cell, target row, target cell.
std::optional<std::string> model_add_rows(Model& m, std::size_t target, std::size_t source) {
  const std::size_t n = model_ncols(m);
  for (std::size_t i = 0; i < n; ++i) {
    if (source >= m.size()) return index_text(m.size(), source);
    if (i >= m[source].size()) return index_text(m[source].size(), i);
    if (target >= m.size()) return index_text(m.size(), target);
    if (i >= m[target].size()) return index_text(m[target].size(), i);
  }
  for (std::size_t i = 0; i < n; ++i) m[target][i] ^= m[source][i];
  return std::nullopt;
}

// Code points of valid UTF-8.
std::vector<char32_t> code_points(const std::string& text) {
  std::vector<char32_t> out;
  for (std::size_t i = 0; i < text.size();) {
    const auto b = static_cast<unsigned char>(text[i]);
    const int n = b < 0x80 ? 1 : b < 0xe0 ? 2 : b < 0xf0 ? 3 : 4;
    char32_t v = n == 1 ? b : b & (0x7f >> n);
    for (int k = 1; k < n; ++k) v = (v << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3f);
    out.push_back(v);
    i += static_cast<std::size_t>(n);
  }
  return out;
}

Outcome<Cell> model_str_ops(const std::string& point, const std::string& exponents) {
  const auto p = code_points(point), e = code_points(exponents);
  unsigned value = 1;
  for (std::size_t i = 0; i < std::min(p.size(), e.size()); ++i) {
    if (p[i] < '0' || p[i] > '9' || e[i] < '0' || e[i] > '9') return {std::nullopt, kUnwrap};
    unsigned power = 1;
    for (char32_t k = 0; k < e[i] - '0'; ++k) power = power * (p[i] - '0') % 256;
    value = value * power % 256;
  }
  return {static_cast<Cell>(value), {}};
}

Outcome<Row> model_apply(const Operations& ops, Row column) {
  for (const auto& [t, s] : ops) {
    if (t >= column.size()) return {std::nullopt, index_text(column.size(), t)};
    if (s >= column.size()) return {std::nullopt, index_text(column.size(), s)};
    column[t] = static_cast<Cell>((column[t] + column[s]) % 2);
  }
  return {column, {}};
}

Outcome<bool> model_submonomial(const std::string& sub, const std::string& monom) {
  if (sub.size() != monom.size()) {
    return {std::nullopt,
            "assertion `left == right` failed: The lengths of sub_monom and monom must be equal"
            "\n  left: " +
                std::to_string(sub.size()) + "\n right: " + std::to_string(monom.size())};
  }
  const auto a = code_points(sub), b = code_points(monom);
  for (std::size_t i = 0; i < std::min(a.size(), b.size()); ++i)
    if (a[i] > b[i]) return {false, {}};
  return {true, {}};
}

Outcome<Verdict> model_verify(const Strings& z, const Row& g, const Strings& mapping) {
  for (std::size_t k = 0; k < z.size(); ++k) {
    unsigned sum = 0;
    for (std::size_t i = 0; i < g.size(); ++i) {
      if (i >= mapping.size()) return {std::nullopt, index_text(mapping.size(), i)};
      const auto divides = model_submonomial(mapping[i], z[k]);
      if (!divides.value) return {std::nullopt, divides.failure};
      if (*divides.value) sum += g[i];
    }
    if (sum % 2) return {Verdict{false, std::pair{k, z[k]}}, {}};
  }
  return {Verdict{true, std::nullopt}, {}};
}

// The evaluated row of one point; the first failing cell fails it.
Outcome<Row> model_row(const std::string& point, const Strings& monomials) {
  Row row;
  for (const auto& m : monomials) {
    const auto cell = model_str_ops(point, m);
    if (!cell.value) return {std::nullopt, cell.failure};
    row.push_back(*cell.value);
  }
  return {row, {}};
}

Outcome<Model> model_compute_next(const Model& m, const Strings& M, const Strings& P, Index idx,
                                  const Operations& ops) {
  if (idx >= static_cast<Index>(std::numeric_limits<std::ptrdiff_t>::max()))
    return {std::nullopt, "capacity overflow"};
  Row row, column;
  for (std::size_t i = 0; i <= idx; ++i) {
    if (P.empty()) return {std::nullopt, index_text(0, kMax)};
    if (i >= M.size()) return {std::nullopt, index_text(M.size(), i)};
    const auto cell = model_str_ops(P.back(), M[i]);
    if (!cell.value) return {std::nullopt, cell.failure};
    row.push_back(*cell.value);
  }
  for (std::size_t i = 0; i < idx; ++i) {
    if (i >= P.size()) return {std::nullopt, index_text(P.size(), i)};
    const auto cell = model_str_ops(P[i], M.back());
    if (!cell.value) return {std::nullopt, cell.failure};
    column.push_back(*cell.value);
  }
  const auto replayed = model_apply(ops, column);
  if (!replayed.value) return {std::nullopt, replayed.failure};
  if (replayed.value->size() < m.size())
    return {std::nullopt, index_text(replayed.value->size(), replayed.value->size())};
  Model grown = m;
  for (std::size_t i = 0; i < grown.size(); ++i) grown[i].push_back((*replayed.value)[i]);
  grown.push_back(row);
  return {grown, {}};
}

// --- independent GF(2) arithmetic on rectangular 0/1 matrices ------------------

std::size_t gf2_rank(Model m) {
  std::size_t rank = 0;
  const std::size_t n = model_ncols(m);
  for (std::size_t c = 0; c < n && rank < m.size(); ++c) {
    std::size_t p = rank;
    while (p < m.size() && !m[p][c]) ++p;
    if (p == m.size()) continue;
    std::swap(m[p], m[rank]);
    for (std::size_t r = 0; r < m.size(); ++r)
      if (r != rank && m[r][c])
        for (std::size_t k = 0; k < n; ++k) m[r][k] ^= m[rank][k];
    ++rank;
  }
  return rank;
}

// Each (t, s) as row t ^= row s over whole rows: exact for rows of equal length.
Model replay(const Operations& ops, Model m) {
  for (const auto& [t, s] : ops) {
    expect(t < m.size() && s < m.size(), "operation names a missing row");
    for (std::size_t k = 0; k < m[t].size(); ++k) m[t][k] ^= m[s][k];
  }
  return m;
}

bool is_reduced_echelon(const Model& m) {
  std::optional<std::size_t> previous;
  bool zero_seen = false;
  for (const auto& row : m) {
    const auto lead = std::find(row.begin(), row.end(), 1);
    if (lead == row.end()) {
      zero_seen = true;
      continue;
    }
    const auto c = static_cast<std::size_t>(lead - row.begin());
    if (zero_seen || (previous && *previous >= c)) return false;
    previous = c;
    std::size_t ones = 0;
    for (const auto& other : m) ones += other[c];
    if (ones != 1) return false;
  }
  return true;
}

// --- reading the input -----------------------------------------------------------

struct Input {
  FuzzedDataProvider& fdp;

  std::size_t index() {
    const auto b = fdp.ConsumeIntegral<std::uint8_t>();
    if (b < 240) return b % 8;
    constexpr std::size_t special[] = {kMax, kMax - 1, std::size_t{1} << 32, std::size_t{1} << 63};
    return b < 244 ? special[b - 240] : fdp.ConsumeIntegral<std::size_t>();
  }
  Cell cell(bool bits_only = false) {
    const auto b = fdp.ConsumeIntegral<std::uint8_t>();
    return bits_only || b < 224 ? b & 1 : b;
  }
  Row row(std::size_t length, bool bits_only = false) {
    Row r(length);
    for (auto& c : r) c = cell(bits_only);
    return r;
  }
  Row row() { return row(fdp.ConsumeIntegralInRange<std::size_t>(0, 6)); }
  Model ragged() {
    Model m(fdp.ConsumeIntegralInRange<std::size_t>(0, 6));
    for (auto& r : m) r = row();
    return m;
  }
  Model bits() {
    Model m(fdp.ConsumeIntegralInRange<std::size_t>(0, 7));
    const auto n = fdp.ConsumeIntegralInRange<std::size_t>(0, 7);
    for (auto& r : m) r = row(n, true);
    return m;
  }
  // Mostly digit strings, sometimes other characters, some of them not ASCII.
  std::string text() {
    static const char* const tokens[] = {
        "0", "1", "0", "1", "2", "3", "9", "x", "\xc3\xa9", "\xe2\x82\xac", "\xf0\x9f\x98\x80",
        "/", ":"};
    std::string s;
    const auto n = fdp.ConsumeIntegralInRange<std::size_t>(0, 4);
    for (std::size_t i = 0; i < n; ++i) {
      const auto t = fdp.ConsumeIntegral<std::uint8_t>();
      s += tokens[t < 200 ? t % 2 : t % std::size(tokens)];
    }
    return s;
  }
  Strings texts() {
    Strings s(fdp.ConsumeIntegralInRange<std::size_t>(0, 5));
    for (auto& t : s) t = text();
    return s;
  }
  Operations operations(std::size_t bound) {
    Operations ops(fdp.ConsumeIntegralInRange<std::size_t>(0, 5));
    for (auto& [t, s] : ops) {
      t = fdp.ConsumeIntegralInRange<std::size_t>(0, bound + 1);
      s = fdp.ConsumeIntegralInRange<std::size_t>(0, bound + 1);
    }
    return ops;
  }
};

// --- checks of the whole-matrix operations ---------------------------------------

// On a 0/1 record with rows of one length, the packed way of each reduction
// and of the kernel gives exactly what the byte-wise way gives: cells,
// operations, and the basis, also of a matrix that is not reduced.
void check_both_ways(const Matrix& matrix, const Model& model, bool rectangular) {
  const auto packed = packed_gauss_jordan(matrix.elements);
  const bool packs = rectangular && !model.empty() && model_ncols(model) > 0;
  expect(packed.has_value() == packs, "packing refused a 0/1 record or took another");
  if (!packs) return;
  const auto bytewise = run([&] { return bytewise_echelon_form(matrix); });
  expect(bytewise.value && bytewise.value->first.elements == packed->first.elements &&
             bytewise.value->second == packed->second,
         "the packed and byte-wise echelon_form differ", model_repr(model));
  const auto full = run([&] { return bytewise_row_echelon_full_matrix(matrix); });
  expect(full.value && full.value->first.elements == packed->first.elements &&
             full.value->second == packed->second,
         "the packed and byte-wise row_echelon_full_matrix differ", model_repr(model));
  for (const Rows* rows : {&matrix.elements, &packed->first.elements}) {
    const auto packed_basis = packed_kernel(*rows);
    const auto bytewise_basis = run([&] { return bytewise_kernel(Matrix{*rows}); });
    expect(packed_basis && bytewise_basis.value && *packed_basis == *bytewise_basis.value,
           "the packed and byte-wise kernel differ", model_repr(*rows));
  }
}

void check_reductions(const Matrix& matrix, const Model& model) {
  const auto first = run([&] { return matrix.echelon_form(); });
  const auto second = run([&] { return matrix.row_echelon_full_matrix(); });
  const bool rectangular = std::all_of(
      model.begin(), model.end(), [&](const auto& r) { return r.size() == model_ncols(model); });
  if (rectangular) {
    expect(first.value.has_value(), "echelon_form failed on a rectangular matrix", first.failure);
    // XOR swaps and additions over whole rows: the operations list tells the whole story.
    expect(replay(first.value->second, model) == first.value->first.elements,
           "echelon_form operations do not replay to its result");
  }
  if (!is_bits(model)) return;
  check_both_ways(matrix, model, rectangular);
  expect(second.value.has_value(), "row_echelon_full_matrix failed on bits", second.failure);
  const Model reduced = first.value->first.elements;
  expect(reduced == second.value->first.elements && first.value->second == second.value->second,
         "the two reductions differ on a 0/1 matrix");
  expect(is_reduced_echelon(reduced), "echelon_form result is not reduced", model_repr(reduced));
  const std::size_t rank = gf2_rank(model);
  expect(first.value->first.rank() == rank, "rank of the reduced matrix");
  // The kernel of the reduced matrix spans the null space of the input.
  const Rows kernel = first.value->first.kernel();
  const std::size_t n = model_ncols(model);
  expect(kernel.size() == (model.empty() ? 0 : n - rank), "kernel dimension");
  for (const Row& v : kernel) {
    expect(v.size() == n, "kernel vector length");
    for (const auto& row : model) {
      unsigned sum = 0;
      for (std::size_t k = 0; k < n; ++k) sum += row[k] * v[k];
      expect(sum % 2 == 0, "kernel vector is not in the null space");
    }
  }
  expect(gf2_rank(kernel) == kernel.size(), "kernel vectors are dependent");
}

void check_last_row(const Matrix& matrix, const Model& model, bool reduced_above) {
  for (const bool full : {true, false}) {
    const auto got = run([&] {
      return full ? matrix.reduced_echelon_form_last_row() : matrix.echelon_form_last_row_dep();
    });
    if (model.empty()) {
      same_outcome(got, Outcome<int>{std::nullopt, index_text(0, kMax)}, "last row of nothing");
    }
    if (!reduced_above || model.empty()) continue;
    expect(got.value.has_value(), "last-row reduction failed on reduced rows", got.failure);
    expect(replay(got.value->second, model) == got.value->first.elements,
           "last-row operations do not replay to the result");
    expect(gf2_rank(got.value->first.elements) == gf2_rank(model), "last-row reduction rank");
  }
}

struct Slot {
  Matrix matrix;
  Model model;
};

void check_same(const Slot& slot, const char* after) {
  expect(slot.matrix.elements == slot.model, "record differs from the model after", after);
}

void step(Input& in, std::vector<Slot>& slots) {
  FuzzedDataProvider& fdp = in.fdp;
  Slot& s = slots[fdp.ConsumeIntegralInRange<std::size_t>(0, slots.size() - 1)];
  Slot& other = slots[fdp.ConsumeIntegralInRange<std::size_t>(0, slots.size() - 1)];
  Matrix& m = s.matrix;
  switch (fdp.ConsumeIntegralInRange(0, 17)) {
    case 0: {
      s.model = in.ragged();
      m = Matrix{s.model};
      break;
    }
    case 1: {
      s.model = in.bits();
      m = Matrix{s.model};
      break;
    }
    case 2: {
      const std::size_t r = in.index(), c = in.index();
      const Outcome<Cell> want =
          r >= s.model.size()      ? Outcome<Cell>{std::nullopt, index_text(s.model.size(), r)}
          : c >= s.model[r].size() ? Outcome<Cell>{std::nullopt, index_text(s.model[r].size(), c)}
                                   : Outcome<Cell>{s.model[r][c], {}};
      const auto got = run([&] { return m.get(r, c); });
      same_outcome(got, want, "get");
      if (got.value) expect(*got.value == *want.value, "get value");
      break;
    }
    case 3: {
      const std::size_t t = in.index(), src = in.index();
      const auto want = model_add_rows(s.model, t, src);
      same_outcome(run_void([&] { m.add_rows(t, src); }),
                   Outcome<int>{want ? std::nullopt : std::optional<int>(0), want.value_or("")},
                   "add_rows");
      break;
    }
    case 4: {
      const std::size_t a = in.index(), b = in.index();
      std::optional<std::string> want;
      if (a >= s.model.size())
        want = index_text(s.model.size(), a);
      else if (b >= s.model.size())
        want = index_text(s.model.size(), b);
      else
        std::swap(s.model[a], s.model[b]);
      same_outcome(run_void([&] { m.swap_rows(a, b); }),
                   Outcome<int>{want ? std::nullopt : std::optional<int>(0), want.value_or("")},
                   "swap_rows");
      break;
    }
    case 5: {
      const std::size_t r = in.index();
      const auto got = run([&] { return m.is_zero_row(r); });
      if (r >= s.model.size()) {
        same_outcome(got, Outcome<bool>{std::nullopt, index_text(s.model.size(), r)}, "zero");
      } else {
        expect(got.value ==
                   std::all_of(s.model[r].begin(), s.model[r].end(), [](Cell c) { return c == 0; }),
               "is_zero_row");
      }
      break;
    }
    case 6: {
      Row v = in.row();
      s.model.push_back(v);
      m.append_row(std::move(v));
      break;
    }
    case 7: {
      Row v = in.row(fdp.ConsumeIntegralInRange<std::size_t>(0, s.model.size() + 1));
      std::optional<std::string> want;
      if (v.size() < s.model.size()) {
        want = index_text(v.size(), v.size());
      } else {
        for (std::size_t i = 0; i < s.model.size(); ++i) s.model[i].push_back(v[i]);
      }
      same_outcome(run_void([&] { m.append_column(v); }),
                   Outcome<int>{want ? std::nullopt : std::optional<int>(0), want.value_or("")},
                   "append_column");
      break;
    }
    case 8: {
      const std::size_t a = in.index(), b = in.index();
      const auto got = run([&] { return m.get_sub_matrix(a, b); });
      if (b < a) {
        same_outcome(got,
                     Outcome<int>{std::nullopt, "slice index starts at " + std::to_string(a) +
                                                    " but ends at " + std::to_string(b)},
                     "get_sub_matrix order");
      } else if (b > s.model.size()) {
        same_outcome(got,
                     Outcome<int>{std::nullopt, "range end index " + std::to_string(b) +
                                                    " out of range for slice of length " +
                                                    std::to_string(s.model.size())},
                     "get_sub_matrix end");
      } else {
        expect(got.value.has_value(), "get_sub_matrix failed", got.failure);
        other.model = Model(s.model.begin() + static_cast<std::ptrdiff_t>(a),
                            s.model.begin() + static_cast<std::ptrdiff_t>(b));
        other.matrix = std::move(*got.value);
      }
      break;
    }
    case 9: {
      Matrix copied = m.copy();
      other.model = s.model;
      other.matrix = std::move(copied);
      break;
    }
    case 10:
      check_reductions(m, s.model);
      break;
    case 11: {
      std::set<std::size_t> leading;
      for (const auto& row : s.model) {
        const auto one = std::find(row.begin(), row.end(), 1);
        if (one != row.end()) leading.insert(static_cast<std::size_t>(one - row.begin()));
      }
      expect(m.rank() == leading.size(), "rank counts distinct leading ones");
      expect(m.repr() == model_repr(s.model), "repr", m.repr());
      expect(m.nrows() == s.model.size() && m.ncols() == model_ncols(s.model), "shape");
      (void)run([&] { return m.kernel(); });  // any record: a result or a failure
      break;
    }
    case 12: {
      // Reduced rows and a new last row, or any record at all.
      if (is_bits(s.model) && fdp.ConsumeBool()) {
        Model grown = s.model.empty() ? Model{} : m.echelon_form().first.elements;
        grown.push_back(in.row(model_ncols(s.model), true));
        check_last_row(Matrix{grown}, grown, !s.model.empty());
      } else {
        check_last_row(m, s.model, false);
      }
      break;
    }
    case 13: {
      const Strings support = in.texts(), monomials = in.texts();
      Outcome<Model> want{Model{}, {}};
      for (const auto& p : support) {
        const auto row = model_row(p, monomials);
        if (!row.value) {
          want = {std::nullopt, row.failure};
          break;
        }
        want.value->push_back(*row.value);
      }
      const auto got = run([&] { return Matrix::compute_vandermonde(support, monomials); });
      same_outcome(got, want, "compute_vandermonde");
      if (got.value) expect(*got.value == *want.value, "compute_vandermonde value");
      const auto filled = run([&] { return m.fill_rows(support, monomials); });
      same_outcome(filled, want, "fill_rows");
      if (filled.value) {
        Model expected = s.model;
        expected.insert(expected.end(), want.value->begin(), want.value->end());
        expect(filled.value->elements == expected, "fill_rows value");
      }
      break;
    }
    case 14: {
      const Strings support = in.texts();
      const std::string monom = in.text();
      const Operations ops = in.operations(s.model.size());
      Outcome<Model> want{std::nullopt, {}};
      Row column;
      for (std::size_t i = 0; i < s.model.size() && want.failure.empty(); ++i) {
        if (i >= support.size()) {
          want.failure = index_text(support.size(), i);
          break;
        }
        const auto cell = model_str_ops(support[i], monom);
        if (!cell.value)
          want.failure = cell.failure;
        else
          column.push_back(*cell.value);
      }
      if (want.failure.empty()) {
        const auto replayed = model_apply(ops, column);
        if (!replayed.value) {
          want.failure = replayed.failure;
        } else {
          want.value = s.model;
          for (std::size_t i = 0; i < s.model.size(); ++i)
            want.value->at(i).push_back((*replayed.value)[i]);
        }
      }
      const auto got = run([&] { return m.construct_and_add_column(support, monom, ops); });
      same_outcome(got, want, "construct_and_add_column");
      if (got.value) expect(got.value->elements == *want.value, "construct_and_add_column value");
      break;
    }
    case 15: {
      const Strings monoms = in.texts(), points = in.texts();
      // Small, or too large to reserve: a real reservation of 2**62 bytes would
      // only measure the sanitizer's allocator.
      const std::size_t idx =
          fdp.ConsumeBool()   ? fdp.ConsumeIntegralInRange<std::size_t>(0, 6)
          : fdp.ConsumeBool() ? static_cast<std::size_t>(std::numeric_limits<std::ptrdiff_t>::max())
                              : kMax - fdp.ConsumeIntegralInRange<std::size_t>(0, 3);
      const Operations ops = in.operations(idx < 8 ? idx : 0);
      const auto want = model_compute_next(s.model, monoms, points, idx, ops);
      const auto got = run([&] { return m.compute_next(monoms, points, idx, ops); });
      same_outcome(got, want, "compute_next");
      if (got.value) expect(got.value->elements == *want.value, "compute_next value");
      break;
    }
    case 16: {
      const Strings z = in.texts(), mapping = in.texts();
      const Row g = in.row();
      const auto want = model_verify(z, g, mapping);
      const auto first = run([&] { return verify(z, g, mapping); });
      const auto second = run([&] { return verify_2(z, g, mapping); });
      same_outcome(first, want, "verify");
      same_outcome(second, want, "verify_2");
      if (first.value)
        expect(*first.value == *want.value && *second.value == *want.value, "verdict");
      break;
    }
    case 17: {
      // The replay helper on its own, against the model.
      Row column = in.row();
      const Operations ops = in.operations(column.size());
      const auto got = run([&] { return apply_operations(ops, column); });
      const auto want = model_apply(ops, column);
      same_outcome(got, want, "apply_operations");
      if (got.value) expect(*got.value == *want.value, "apply_operations value");
      break;
    }
  }
  for (const Slot& slot : slots) check_same(slot, "a step");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The last-row reduction writes "inverting" to file descriptor 1.
  const int null = ::open("/dev/null", O_WRONLY);
  if (null >= 0) ::dup2(null, STDOUT_FILENO);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider fdp(data, size);
  Input in{fdp};
  std::vector<Slot> slots(3);
  for (int steps = 0; steps < 64 && fdp.remaining_bytes() > 0; ++steps) step(in, slots);
  return 0;
}
