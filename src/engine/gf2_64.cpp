#include "engine/gf2_64.hpp"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define QUILLMAT_CLMUL 1
#endif

namespace quillmat::engine::gf2_64 {
namespace {

// t^64 = t^4 + t^3 + t + 1 modulo the field's polynomial.
constexpr Element low_terms = 0x1b;

// The 128-bit product (high, low) reduced: high * t^64 folds into high *
// low_terms, whose own high part (at most 4 bits) folds once more.
Element reduce_portable(Element high, Element low) noexcept {
  // high * (t^4 + t^3 + t + 1), as 128 bits.
  const Element spill = (high >> 60) ^ (high >> 61) ^ (high >> 63);
  low ^= high ^ (high << 1) ^ (high << 3) ^ (high << 4);
  return low ^ spill ^ (spill << 1) ^ (spill << 3) ^ (spill << 4);
}

#ifdef QUILLMAT_CLMUL
__attribute__((target("pclmul,sse4.1"))) inline Element reduce_fast(__m128i product) noexcept {
  const __m128i poly = _mm_set_epi64x(0, low_terms);
  // high * low_terms: at most 68 bits.
  const __m128i fold = _mm_clmulepi64_si128(product, poly, 0x01);
  // Its bits past 64 (at most 4) fold once more, into at most 8 bits.
  const __m128i spill = _mm_clmulepi64_si128(fold, poly, 0x01);
  const __m128i sum = _mm_xor_si128(_mm_xor_si128(product, fold), spill);
  return static_cast<Element>(_mm_cvtsi128_si64(sum));
}

__attribute__((target("pclmul,sse4.1"))) inline __m128i product_fast(Element a,
                                                                     Element b) noexcept {
  return _mm_clmulepi64_si128(_mm_cvtsi64_si128(static_cast<long long>(a)),
                              _mm_cvtsi64_si128(static_cast<long long>(b)), 0x00);
}

__attribute__((target("pclmul,sse4.1"))) Element multiply_fast(Element a, Element b) noexcept {
  return reduce_fast(product_fast(a, b));
}

__attribute__((target("pclmul,sse4.1"))) void scaled_copy_fast(Element* y, const Element* x,
                                                               const Element* scale,
                                                               std::size_t count) noexcept {
  for (std::size_t i = 0; i < count; ++i) y[i] = reduce_fast(product_fast(x[i], scale[i]));
}

// The products are summed unreduced, and reduced once: reduction is linear.
__attribute__((target("pclmul,sse4.1"))) Element dot_fast(const Element* a, const Element* b,
                                                          std::size_t count) noexcept {
  __m128i sum0 = _mm_setzero_si128(), sum1 = _mm_setzero_si128();
  std::size_t i = 0;
  for (; i + 2 <= count; i += 2) {
    sum0 = _mm_xor_si128(sum0, product_fast(a[i], b[i]));
    sum1 = _mm_xor_si128(sum1, product_fast(a[i + 1], b[i + 1]));
  }
  if (i < count) sum0 = _mm_xor_si128(sum0, product_fast(a[i], b[i]));
  return reduce_fast(_mm_xor_si128(sum0, sum1));
}

__attribute__((target("pclmul,sse4.1"))) void add_scaled_fast(Element* x, Element c,
                                                              const Element* y,
                                                              std::size_t count) noexcept {
  for (std::size_t i = 0; i < count; ++i) x[i] ^= reduce_fast(product_fast(c, y[i]));
}

bool have_clmul() noexcept {
  static const bool have = __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
  return have;
}
#else
bool have_clmul() noexcept {
  return false;
}
#endif

}  // namespace

Element multiply_portable(Element a, Element b) noexcept {
  Element high = 0, low = 0;
  for (int i = 0; i < 64; ++i) {
    if (b >> i & 1) {
      low ^= a << i;
      if (i > 0) high ^= a >> (64 - i);
    }
  }
  return reduce_portable(high, low);
}

bool fast() noexcept {
  return have_clmul();
}

Element multiply(Element a, Element b) noexcept {
#ifdef QUILLMAT_CLMUL
  if (have_clmul()) return multiply_fast(a, b);
#endif
  return multiply_portable(a, b);
}

Element inverse(Element a) noexcept {
  // a^(2^64 - 2) = a^(2 + 4 + ... + 2^63), by squaring.
  Element result = 1, square = a;
  for (int i = 1; i < 64; ++i) {
    square = multiply(square, square);
    result = multiply(result, square);
  }
  return result;
}

void scaled_copy(Element* y, const Element* x, const Element* scale, std::size_t count) noexcept {
#ifdef QUILLMAT_CLMUL
  if (have_clmul()) return scaled_copy_fast(y, x, scale, count);
#endif
  for (std::size_t i = 0; i < count; ++i) y[i] = multiply_portable(x[i], scale[i]);
}

void scale_each(Element* x, const Element* scale, std::size_t count) noexcept {
  scaled_copy(x, x, scale, count);
}

Element dot(const Element* a, const Element* b, std::size_t count) noexcept {
#ifdef QUILLMAT_CLMUL
  if (have_clmul()) return dot_fast(a, b, count);
#endif
  Element sum = 0;
  for (std::size_t i = 0; i < count; ++i) sum ^= multiply_portable(a[i], b[i]);
  return sum;
}

void add_scaled(Element* x, Element c, const Element* y, std::size_t count) noexcept {
#ifdef QUILLMAT_CLMUL
  if (have_clmul()) return add_scaled_fast(x, c, y, count);
#endif
  for (std::size_t i = 0; i < count; ++i) x[i] ^= multiply_portable(c, y[i]);
}

}  // namespace quillmat::engine::gf2_64
