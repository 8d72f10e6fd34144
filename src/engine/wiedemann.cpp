#include "engine/wiedemann.hpp"

#include <algorithm>
#include <atomic>
#include <stdexcept>
#include <utility>

#include "engine/gf2_64.hpp"
#include "engine/memory.hpp"

namespace quillmat::engine {
namespace {

using gf2_64::Element;

std::atomic<Fault> injected_fault{Fault::none};
std::atomic<unsigned> injected_count{0};

bool take_fault(Fault fault) noexcept {
  if (injected_fault.load() != fault) return false;
  unsigned count = injected_count.load();
  while (count > 0 && !injected_count.compare_exchange_weak(count, count - 1)) {
  }
  return count > 0;
}

// SplitMix64: a seed's stream of random elements.
class Random {
 public:
  explicit Random(std::uint64_t seed) : state_(seed) {}
  Element next() noexcept {
    Element z = (state_ += 0x9e3779b97f4a7c15);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9;
    z = (z ^ (z >> 27)) * 0x94d049bb133111eb;
    return z ^ (z >> 31);
  }
  Element nonzero() noexcept {
    for (;;) {
      if (const Element e = next()) return e;
    }
  }
  std::vector<Element> vector(std::size_t size, bool nonzero_entries) {
    std::vector<Element> v(size);
    for (Element& e : v) e = nonzero_entries ? nonzero() : next();
    return v;
  }

 private:
  std::uint64_t state_;
};

bool all_zero(const std::vector<Element>& v) {
  return std::all_of(v.begin(), v.end(), [](Element e) { return e == 0; });
}

// B = S M^T C M, applied: similar to A M^T C M A for S = A^2, so with the
// same minimal polynomial and rank, at one scaling of the columns a product
// instead of two; and its kernel is that of M^T C M itself.
class Preconditioned {
 public:
  Preconditioned(DirectSystem& m, Random& random)
      : m_(m),
        s_(random.vector(m.cols(), true)),
        c_(random.vector(m.rows(), true)),
        by_rows_(m.rows()) {}

  // out = B x; out and x may not be the same.
  void apply(const std::vector<Element>& x, std::vector<Element>& out, Control& control) {
    m_.apply(x.data(), by_rows_.data(), control);
    gf2_64::scale_each(by_rows_.data(), c_.data(), c_.size());
    m_.apply_transpose(by_rows_.data(), out.data(), control);
    gf2_64::scale_each(out.data(), s_.data(), s_.size());
    control.advance(1);
  }

 private:
  DirectSystem& m_;
  std::vector<Element> s_, c_;
  std::vector<Element> by_rows_;
};

// The connection polynomial c (c[0] = 1) of the shortest linear recurrence
//   sum_{j=0}^{length} c[j] a[i - j] = 0 for length <= i < a.size(),
// by Berlekamp and Massey's algorithm.  c has length + 1 entries.
struct Recurrence {
  std::vector<Element> c;
  std::size_t length = 0;
};

// sum_{j=0}^{length} c[j] a[i - j], with `reversed` a reversed: a[i - j] is
// reversed[N - 1 - i + j].
Element discrepancy(const std::vector<Element>& c, std::size_t length,
                    const std::vector<Element>& reversed, std::size_t i) {
  return gf2_64::dot(c.data(), reversed.data() + (reversed.size() - 1 - i), length + 1);
}

Recurrence berlekamp_massey(const std::vector<Element>& a, const std::vector<Element>& reversed,
                            Control& control) {
  const std::size_t count = a.size();
  std::vector<Element> c(count + 1), previous(count + 1), saved;
  c[0] = previous[0] = 1;
  std::size_t length = 0, c_size = 1, previous_size = 1, shift = 1;
  Element previous_discrepancy = 1;
  for (std::size_t i = 0; i < count; ++i) {
    if (i % 16 == 0)
      control.checkpoint();  // each step up to D products: milliseconds at 18 variables
    const Element d = discrepancy(c, std::min(length, c_size - 1), reversed, i);
    if (d == 0) {
      ++shift;
      continue;
    }
    const Element factor = gf2_64::multiply(d, gf2_64::inverse(previous_discrepancy));
    const bool grows = 2 * length <= i;
    if (grows) saved.assign(c.begin(), c.begin() + c_size);
    // c -= factor * x^shift * previous
    gf2_64::add_scaled(c.data() + shift, factor, previous.data(), previous_size);
    c_size = std::max(c_size, shift + previous_size);
    if (grows) {
      length = i + 1 - length;
      std::fill(previous.begin(), previous.end(), 0);
      std::copy(saved.begin(), saved.end(), previous.begin());
      previous_size = saved.size();
      previous_discrepancy = d;
      shift = 1;
    } else {
      ++shift;
    }
  }
  c.resize(length + 1);  // its degree is at most length
  return {std::move(c), length};
}

// Whether `r` generates all of a: the check that a certificate rests on,
// made apart from the algorithm that found r.
bool generates(const Recurrence& r, const std::vector<Element>& reversed, Control& control) {
  for (std::size_t i = r.length; i < reversed.size(); ++i) {
    if (i % 16 == 0)
      control.checkpoint();  // each step up to D products: milliseconds at 18 variables
    if (discrepancy(r.c, r.length, reversed, i) != 0) return false;
  }
  return true;
}

// The 64 bit planes of g: plane b holds bit b of every entry, D bits packed.
std::vector<std::vector<Word>> bit_planes(const std::vector<Element>& g) {
  std::vector<std::vector<Word>> planes(64, std::vector<Word>(words_for(g.size())));
  for (std::size_t j = 0; j < g.size(); ++j) {
    for (Element e = g[j]; e != 0; e &= e - 1) {
      planes[__builtin_ctzll(e)][j / word_bits] |= Word{1} << (j % word_bits);
    }
  }
  return planes;
}

}  // namespace

std::vector<std::vector<Word>> reduced_echelon(std::vector<std::vector<Word>> vectors) {
  auto highest = [](const std::vector<Word>& v) -> long {
    for (std::size_t w = v.size(); w-- > 0;) {
      if (v[w]) return static_cast<long>(w * word_bits + 63 - __builtin_clzll(v[w]));
    }
    return -1;
  };
  auto has = [](const std::vector<Word>& v, long bit) {
    return (v[static_cast<std::size_t>(bit) / word_bits] >> (bit % word_bits) & 1) != 0;
  };
  auto add = [](std::vector<Word>& v, const std::vector<Word>& other) {
    for (std::size_t w = 0; w < v.size(); ++w) v[w] ^= other[w];
  };
  std::vector<std::pair<long, std::vector<Word>>> basis;  // (pivot, vector)
  for (std::vector<Word>& v : vectors) {
    // Reduced by the basis so far, highest pivots first: what is left has
    // none of their bits, so its highest bit is a new pivot.
    std::sort(basis.begin(), basis.end(),
              [](const auto& x, const auto& y) { return x.first > y.first; });
    for (const auto& [pivot, b] : basis) {
      if (has(v, pivot)) add(v, b);
    }
    const long top = highest(v);
    if (top < 0) continue;
    for (auto& [pivot, b] : basis) {
      if (has(b, top)) add(b, v);
    }
    basis.emplace_back(top, std::move(v));
  }
  std::sort(basis.begin(), basis.end(),
            [](const auto& x, const auto& y) { return x.first < y.first; });
  std::vector<std::vector<Word>> result;
  for (auto& entry : basis) result.push_back(std::move(entry.second));
  return result;
}

void inject_faults(Fault fault, unsigned count) noexcept {
  injected_fault.store(fault);
  injected_count.store(count);
}

KernelProbe probe_kernel(DirectSystem& system, std::uint64_t seed, Control& control) {
  const std::size_t size = system.cols();
  KernelProbe probe;
  if (size == 0) {
    probe.full_rank = true;
    return probe;
  }
  const std::uint64_t terms = 2 * std::uint64_t{size};
  // The sequence, its reverse and the recurrence's three polynomials, and
  // the vectors of the Krylov steps.
  const MemoryReservation reservation(
      8 * (5 * (terms + 1) + 6 * std::uint64_t{size} + 2 * system.rows()),
      "the black-box solver's sequences");
  Random random(seed);
  Preconditioned b(system, random);
  const std::vector<Element> u = random.vector(size, false);
  const std::vector<Element> v = random.vector(size, false);
  control.plan(3 * size);

  // a_i = u^T B^i v.
  std::vector<Element> a(terms), krylov = v, next(size);
  for (std::uint64_t i = 0; i < terms; ++i) {
    a[i] = gf2_64::dot(u.data(), krylov.data(), size);
    if (i + 1 < terms) {
      b.apply(krylov, next, control);
      krylov.swap(next);
    }
  }
  const std::vector<Element> reversed(a.rbegin(), a.rend());
  Recurrence r = berlekamp_massey(a, reversed, control);
  if (take_fault(Fault::generator)) {
    // A generator of full degree and a nonzero constant term: what would
    // prove B invertible, were it not checked.
    r.c.resize(size + 1);
    r.c[size] |= 1;
    r.length = size;
  }
  // A recurrence longer than B's size, or one that does not generate the
  // sequence, is a fault: this try proves nothing.
  if (r.length > size || !generates(r, reversed, control)) {
    probe.dimension_at_most = size;
    return probe;
  }
  const std::size_t length = r.length;
  // P(x) = sum_k f_k x^k, f_k = c[length - k]: the minimal generator.
  auto f = [&](std::size_t k) { return r.c[length - k]; };
  if (length == size && f(0) != 0) {
    probe.full_rank = true;
    return probe;
  }
  probe.dimension_at_most = length == 0 ? size : size - length + 1;
  // P = x^e Q with Q(0) != 0; w = Q(B) v lies where B^e vanishes when P
  // generates v's own sequence, and B^j w for the last j with it nonzero is
  // in B's kernel.
  std::size_t e = 0;
  while (e <= length && f(e) == 0) ++e;
  if (e == 0 || e > length) return probe;
  std::vector<Element> w(size);
  for (std::size_t j = 0; j < size; ++j) w[j] = gf2_64::multiply(f(length), v[j]);
  for (std::size_t k = length; k-- > e;) {
    b.apply(w, next, control);
    gf2_64::add_scaled(next.data(), f(k), v.data(), size);
    w.swap(next);
  }
  if (all_zero(w)) return probe;
  bool found = false;
  for (std::size_t j = 0; j <= e && !found; ++j) {
    b.apply(w, next, control);
    if (all_zero(next)) {
      found = true;
    } else {
      w.swap(next);
    }
  }
  if (!found) return probe;
  // B w = 0 makes w a kernel vector of M when rank(M^T C M) = rank(M),
  // which the check below decides.
  std::vector<Element>& g = w;
  if (take_fault(Fault::kernel_vector)) g[0] ^= 1;
  std::vector<Element> values(system.rows());
  system.apply(g.data(), values.data(), control);
  if (!all_zero(values)) return probe;
  // M acts on each bit plane alone: every plane of g is a kernel vector.
  probe.annihilators = reduced_echelon(bit_planes(g));
  return probe;
}

}  // namespace quillmat::engine
