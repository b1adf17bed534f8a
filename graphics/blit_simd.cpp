#include "graphics/blit_simd.h"

#include <immintrin.h>

#include <algorithm>
#include <cstring>

#include "graphics/planes.h"

namespace {

// ---- scalar tails (the same arithmetic as the reference routines) ----------------

inline uint8_t MixByte(int d, int s, int w) { return static_cast<uint8_t>((s * w + d * (256 - w)) >> 8); }
inline uint8_t AddByte(int d, int s, int w) {
  int v = d + ((s * w) >> 8);
  return static_cast<uint8_t>(v > 255 ? 255 : v);
}

void BlendTail(uint8_t* d, const uint8_t* s, size_t n, int w) {
  for (size_t i = 0; i < n; ++i) d[i] = MixByte(d[i], s[i], w);
}
void AddTail(uint8_t* d, const uint8_t* s, size_t n, int w) {
  for (size_t i = 0; i < n; ++i) d[i] = AddByte(d[i], s[i], w);
}
void Copy16Tail(uint8_t* d, const uint8_t* s, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    uint16_t v;
    std::memcpy(&v, s + 2 * i, 2);
    v &= 0x7FFF;
    std::memcpy(d + 2 * i, &v, 2);
  }
}
// What the keyed and tint kernels do to a pixel: blend toward the source (modes
// 3, 4), tint the source (5, 6) or copy its colour channels (1).
enum { kOpBlend, kOpTint, kOpCopy };

// Modes 1, 4, 5, 6 on 32-bit pixels.
template <bool kKeyed, int kOp>
void Pixel32Tail(uint8_t* d, const uint8_t* s, size_t n, int w, uint32_t key, uint32_t tint) {
  for (size_t i = 0; i < n; ++i, d += 4, s += 4) {
    uint32_t sv;
    std::memcpy(&sv, s, 4);
    if (kKeyed && (sv & 0xFFFFFF) == key) continue;
    if (kOp == kOpTint) {
      d[0] = MixByte(s[0], int(tint & 255), w);
      d[1] = MixByte(s[1], int((tint >> 8) & 255), w);
      d[2] = MixByte(s[2], int((tint >> 16) & 255), w);
    } else if (kOp == kOpCopy) {
      d[0] = s[0], d[1] = s[1], d[2] = s[2];
    } else {
      for (int k = 0; k < 4; ++k) d[k] = MixByte(d[k], s[k], w);
    }
  }
}

// Mode 7 on 32-bit pixels, as the reference routine computes it.
void Alpha32Tail(uint8_t* d, const uint8_t* s, size_t n, int w) {
  for (size_t i = 0; i < n; ++i, d += 4, s += 4) {
    const int t = (s[3] * w) >> 8;
    if (t == 0) continue;
    if (t == 255) {
      d[0] = s[0], d[1] = s[1], d[2] = s[2], d[3] = 255;
      continue;
    }
    const uint32_t D = d[3], A = 255 * D + uint32_t(t) * (255 - D);
    const uint32_t ts = 255u * t, td = uint32_t(255 - t) * D;
    for (int k = 0; k < 3; ++k) d[k] = uint8_t(DivideByReciprocal(ts * s[k] + td * d[k], A));
    d[3] = uint8_t(A / 255);
  }
}

// ---- SSE2 ----------------------------------------------------------------------

// (s * w + d * (256 - w)) >> 8 on 16 bytes: the blend d + floor((s - d) * w / 256).
inline __m128i Blend16(__m128i d, __m128i s, __m128i w, __m128i iw) {
  const __m128i z = _mm_setzero_si128();
  __m128i lo = _mm_add_epi16(_mm_mullo_epi16(_mm_unpacklo_epi8(s, z), w), _mm_mullo_epi16(_mm_unpacklo_epi8(d, z), iw));
  __m128i hi = _mm_add_epi16(_mm_mullo_epi16(_mm_unpackhi_epi8(s, z), w), _mm_mullo_epi16(_mm_unpackhi_epi8(d, z), iw));
  return _mm_packus_epi16(_mm_srli_epi16(lo, 8), _mm_srli_epi16(hi, 8));
}

void BlendSse2(uint8_t* d, const uint8_t* s, size_t n, int w) {
  const __m128i vw = _mm_set1_epi16(int16_t(w)), viw = _mm_set1_epi16(int16_t(256 - w));
  size_t i = 0;
  for (; i + 16 <= n; i += 16) {
    __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i));
    __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(d + i));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(d + i), Blend16(b, a, vw, viw));
  }
  BlendTail(d + i, s + i, n - i, w);
}

void AddSse2(uint8_t* d, const uint8_t* s, size_t n, int w) {
  const __m128i vw = _mm_set1_epi16(int16_t(w)), z = _mm_setzero_si128();
  size_t i = 0;
  if (w == 256) {  // full strength: a plain saturating add
    for (; i + 16 <= n; i += 16) {
      __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i));
      __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(d + i));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(d + i), _mm_adds_epu8(b, a));
    }
  }
  for (; i + 16 <= n; i += 16) {
    __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i));
    __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(d + i));
    __m128i lo = _mm_srli_epi16(_mm_mullo_epi16(_mm_unpacklo_epi8(a, z), vw), 8);
    __m128i hi = _mm_srli_epi16(_mm_mullo_epi16(_mm_unpackhi_epi8(a, z), vw), 8);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(d + i), _mm_adds_epu8(b, _mm_packus_epi16(lo, hi)));
  }
  AddTail(d + i, s + i, n - i, w);
}

void Copy16Sse2(uint8_t* d, const uint8_t* s, size_t pixels) {
  const __m128i m = _mm_set1_epi16(0x7FFF);
  size_t i = 0;
  for (; i + 8 <= pixels; i += 8) {
    __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 2 * i));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(d + 2 * i), _mm_and_si128(a, m));
  }
  Copy16Tail(d + 2 * i, s + 2 * i, pixels - i);
}

template <bool kKeyed, int kOp>
void Pixel32Sse2(uint8_t* d, const uint8_t* s, size_t n, int w, uint32_t key, uint32_t tint) {
  const __m128i vw = _mm_set1_epi16(int16_t(w)), viw = _mm_set1_epi16(int16_t(256 - w));
  const __m128i rgb = _mm_set1_epi32(0x00FFFFFF), vkey = _mm_set1_epi32(int(key)), vtint = _mm_set1_epi32(int(tint));
  size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 4 * i));
    __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(d + 4 * i));
    __m128i r;
    if (kOp == kOpTint) {
      // Tint: mix(s, B, w) on the colours, the destination keeps its alpha.
      r = Blend16(a, vtint, vw, viw);
      r = _mm_or_si128(_mm_and_si128(rgb, r), _mm_andnot_si128(rgb, b));
    } else if (kOp == kOpCopy) {
      r = _mm_or_si128(_mm_and_si128(rgb, a), _mm_andnot_si128(rgb, b));
    } else {
      r = Blend16(b, a, vw, viw);
    }
    if (kKeyed) {
      __m128i hit = _mm_cmpeq_epi32(_mm_and_si128(a, rgb), vkey);
      r = _mm_or_si128(_mm_and_si128(hit, b), _mm_andnot_si128(hit, r));
    }
    _mm_storeu_si128(reinterpret_cast<__m128i*>(d + 4 * i), r);
  }
  Pixel32Tail<kKeyed, kOp>(d + 4 * i, s + 4 * i, n - i, w, key, tint);
}

// Mode 7 on four 32-bit pixels. Every numerator is below 2^24, so the
// products and sums are exact in single precision; the quotient from the
// reciprocal is at most one off and is corrected against the exact product.
inline __m128i Alpha4(__m128i s, __m128i d, __m128i vw) {
  const __m128i byte = _mm_set1_epi32(255), v255 = _mm_set1_epi32(255);
  const __m128i t = _mm_srli_epi32(_mm_mullo_epi16(_mm_srli_epi32(s, 24), vw), 8);
  const __m128i D = _mm_srli_epi32(d, 24);
  const __m128i A = _mm_add_epi32(_mm_mullo_epi16(D, v255), _mm_mullo_epi16(t, _mm_sub_epi32(v255, D)));
  const __m128 ts = _mm_cvtepi32_ps(_mm_mullo_epi16(t, v255));
  const __m128 td = _mm_cvtepi32_ps(_mm_mullo_epi16(_mm_sub_epi32(v255, t), D));
  // A is 0 only where t is 0, whose pixels keep the destination anyway.
  const __m128 af = _mm_cvtepi32_ps(_mm_sub_epi32(A, _mm_cmpeq_epi32(A, _mm_setzero_si128())));
  const __m128 rcp = _mm_div_ps(_mm_set1_ps(1.0f), af);
  __m128i out = _mm_slli_epi32(_mm_srli_epi32(_mm_mulhi_epu16(A, _mm_set1_epi32(0x8081)), 7), 24);
  for (int k = 0; k < 3; ++k) {
    const __m128 sc = _mm_cvtepi32_ps(_mm_and_si128(_mm_srli_epi32(s, 8 * k), byte));
    const __m128 dc = _mm_cvtepi32_ps(_mm_and_si128(_mm_srli_epi32(d, 8 * k), byte));
    const __m128 n = _mm_add_ps(_mm_mul_ps(ts, sc), _mm_mul_ps(td, dc));
    __m128i q = _mm_cvttps_epi32(_mm_mul_ps(n, rcp));
    const __m128 qa = _mm_mul_ps(_mm_cvtepi32_ps(q), af);
    q = _mm_add_epi32(q, _mm_castps_si128(_mm_cmpgt_ps(qa, n)));  // one too high
    const __m128 next = _mm_add_ps(_mm_mul_ps(_mm_cvtepi32_ps(q), af), af);
    q = _mm_sub_epi32(q, _mm_castps_si128(_mm_cmple_ps(next, n)));  // one too low
    out = _mm_or_si128(out, _mm_slli_epi32(q, 8 * k));
  }
  const __m128i none = _mm_cmpeq_epi32(t, _mm_setzero_si128());
  return _mm_or_si128(_mm_and_si128(none, d), _mm_andnot_si128(none, out));
}

// Mode 7 on four 32-bit pixels over an opaque destination (alpha 255, as on
// most screens): A is then 255 * 255, so each colour is
// (t * s + (255 - t) * d) / 255, which fits 16-bit lanes, with the division
// done exactly as (x + 1 + (x >> 8)) >> 8 (exact for x below 65535); the
// alpha stays 255.
inline __m128i AlphaOverOpaque4(__m128i s, __m128i d, __m128i vw) {
  const __m128i z = _mm_setzero_si128(), v255 = _mm_set1_epi16(255), one = _mm_set1_epi16(1);
  auto half = [&](__m128i s16, __m128i d16) {  // four channels of two pixels
    __m128i a = _mm_shufflehi_epi16(_mm_shufflelo_epi16(s16, _MM_SHUFFLE(3, 3, 3, 3)), _MM_SHUFFLE(3, 3, 3, 3));
    __m128i t = _mm_srli_epi16(_mm_mullo_epi16(a, vw), 8);
    __m128i x = _mm_add_epi16(_mm_mullo_epi16(t, s16), _mm_mullo_epi16(_mm_sub_epi16(v255, t), d16));
    return _mm_srli_epi16(_mm_add_epi16(_mm_add_epi16(x, one), _mm_srli_epi16(x, 8)), 8);
  };
  __m128i lo = half(_mm_unpacklo_epi8(s, z), _mm_unpacklo_epi8(d, z));
  __m128i hi = half(_mm_unpackhi_epi8(s, z), _mm_unpackhi_epi8(d, z));
  return _mm_or_si128(_mm_packus_epi16(lo, hi), _mm_set1_epi32(int(0xFF000000u)));
}

// Runs of fully transparent source pixels are skipped, and at full strength
// runs of opaque ones are copied, before any arithmetic.
void Alpha32Sse2(uint8_t* d, const uint8_t* s, size_t n, int w) {
  const __m128i vw = _mm_set1_epi32(w), vw16 = _mm_set1_epi16(int16_t(w)), alpha = _mm_set1_epi32(int(0xFF000000u));
  size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 4 * i));
    const int opaque = _mm_movemask_epi8(_mm_cmpeq_epi32(_mm_and_si128(a, alpha), alpha));
    const int clear = _mm_movemask_epi8(_mm_cmpeq_epi32(_mm_and_si128(a, alpha), _mm_setzero_si128()));
    if (clear == 0xFFFF) continue;
    if (opaque == 0xFFFF && w == 256) {
      _mm_storeu_si128(reinterpret_cast<__m128i*>(d + 4 * i), a);
      continue;
    }
    __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(d + 4 * i));
    if (_mm_movemask_epi8(_mm_cmpeq_epi32(_mm_and_si128(b, alpha), alpha)) == 0xFFFF) {
      _mm_storeu_si128(reinterpret_cast<__m128i*>(d + 4 * i), AlphaOverOpaque4(a, b, vw16));
      continue;
    }
    _mm_storeu_si128(reinterpret_cast<__m128i*>(d + 4 * i), Alpha4(a, b, vw));
  }
  Alpha32Tail(d + 4 * i, s + 4 * i, n - i, w);
}

// ---- AVX2 ----------------------------------------------------------------------

__attribute__((target("avx2"))) inline __m256i Blend32(__m256i d, __m256i s, __m256i w, __m256i iw) {
  const __m256i z = _mm256_setzero_si256();
  __m256i lo = _mm256_add_epi16(_mm256_mullo_epi16(_mm256_unpacklo_epi8(s, z), w),
                                _mm256_mullo_epi16(_mm256_unpacklo_epi8(d, z), iw));
  __m256i hi = _mm256_add_epi16(_mm256_mullo_epi16(_mm256_unpackhi_epi8(s, z), w),
                                _mm256_mullo_epi16(_mm256_unpackhi_epi8(d, z), iw));
  return _mm256_packus_epi16(_mm256_srli_epi16(lo, 8), _mm256_srli_epi16(hi, 8));
}

__attribute__((target("avx2"))) void BlendAvx2(uint8_t* d, const uint8_t* s, size_t n, int w) {
  const __m256i vw = _mm256_set1_epi16(int16_t(w)), viw = _mm256_set1_epi16(int16_t(256 - w));
  size_t i = 0;
  for (; i + 32 <= n; i += 32) {
    __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + i));
    __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(d + i));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(d + i), Blend32(b, a, vw, viw));
  }
  BlendSse2(d + i, s + i, n - i, w);
}

__attribute__((target("avx2"))) void AddAvx2(uint8_t* d, const uint8_t* s, size_t n, int w) {
  const __m256i vw = _mm256_set1_epi16(int16_t(w)), z = _mm256_setzero_si256();
  size_t i = 0;
  if (w == 256) {
    for (; i + 32 <= n; i += 32) {
      __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + i));
      __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(d + i));
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(d + i), _mm256_adds_epu8(b, a));
    }
  }
  for (; i + 32 <= n; i += 32) {
    __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + i));
    __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(d + i));
    __m256i lo = _mm256_srli_epi16(_mm256_mullo_epi16(_mm256_unpacklo_epi8(a, z), vw), 8);
    __m256i hi = _mm256_srli_epi16(_mm256_mullo_epi16(_mm256_unpackhi_epi8(a, z), vw), 8);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(d + i), _mm256_adds_epu8(b, _mm256_packus_epi16(lo, hi)));
  }
  AddSse2(d + i, s + i, n - i, w);
}

__attribute__((target("avx2"))) void Copy16Avx2(uint8_t* d, const uint8_t* s, size_t pixels) {
  const __m256i m = _mm256_set1_epi16(0x7FFF);
  size_t i = 0;
  for (; i + 16 <= pixels; i += 16) {
    __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + 2 * i));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(d + 2 * i), _mm256_and_si256(a, m));
  }
  Copy16Sse2(d + 2 * i, s + 2 * i, pixels - i);
}

template <bool kKeyed, int kOp>
__attribute__((target("avx2"))) void Pixel32Avx2(uint8_t* d, const uint8_t* s, size_t n, int w, uint32_t key,
                                                 uint32_t tint) {
  const __m256i vw = _mm256_set1_epi16(int16_t(w)), viw = _mm256_set1_epi16(int16_t(256 - w));
  const __m256i rgb = _mm256_set1_epi32(0x00FFFFFF), vkey = _mm256_set1_epi32(int(key));
  const __m256i vtint = _mm256_set1_epi32(int(tint));
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + 4 * i));
    __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(d + 4 * i));
    __m256i r;
    if (kOp == kOpTint) {
      r = Blend32(a, vtint, vw, viw);
      r = _mm256_blendv_epi8(b, r, rgb);
    } else if (kOp == kOpCopy) {
      r = _mm256_blendv_epi8(b, a, rgb);
    } else {
      r = Blend32(b, a, vw, viw);
    }
    if (kKeyed) {
      __m256i hit = _mm256_cmpeq_epi32(_mm256_and_si256(a, rgb), vkey);
      r = _mm256_blendv_epi8(r, b, hit);
    }
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(d + 4 * i), r);
  }
  Pixel32Sse2<kKeyed, kOp>(d + 4 * i, s + 4 * i, n - i, w, key, tint);
}

// pick[k] puts byte k of each pixel alone in its 32-bit lane.
struct ChannelPicks {
  alignas(32) int8_t pick[3][32];
};
constexpr ChannelPicks MakeChannelPicks() {
  ChannelPicks c{};
  for (int k = 0; k < 3; ++k)
    for (int i = 0; i < 32; ++i) c.pick[k][i] = int8_t((i & 3) == 0 ? (i & 12) + k : -1);
  return c;
}
constexpr ChannelPicks kChannelPicks = MakeChannelPicks();

// floor(n / a) on eight lanes by one correctly rounded division, for whole
// numbers n < 2^24 and 1 <= a <= 65025 with n <= 255 a. Both are exact in
// single precision. Where n / a is a whole number k the division returns k
// itself. Otherwise n / a = k + j / a with 0 < j < a lies at least 1 / a >=
// 1 / 65025 > 2^-16 below k + 1, while the division is off by at most half a
// unit in the last place, 2^-17 for quotients below 256: the result stays in
// [k, k + 1) and truncation gives k.
__attribute__((target("avx2,fma"))) inline __m256i Quotients8(__m256 n, __m256 a) {
  return _mm256_cvttps_epi32(_mm256_div_ps(n, a));
}

__attribute__((target("avx2,fma"))) void QuotientsByDivisionAvx2(const uint32_t* n, const uint32_t* a, uint32_t* q,
                                                               size_t count) {
  for (size_t i = 0; i + 8 <= count; i += 8) {
    const __m256 nf = _mm256_cvtepi32_ps(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(n + i)));
    const __m256 af = _mm256_cvtepi32_ps(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(a + i)));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(q + i), Quotients8(nf, af));
  }
}

// Mode 7 on eight 32-bit pixels, exactly the reference composite. With t the
// effective source alpha and D the destination's, every term of
// N = 255 t s + (255 - t) D d and A = 255 t + (255 - t) D is a whole number
// below 2^24, so the products and sums are exact in single precision and each
// channel is Quotients8(N, A). The alpha floor(A / 255) is
// trunc(A / 255 + 0.5 / 255): A = 255 m + j with j <= 254 puts the sum at
// least 0.5 / 255 above m and below m + 1 by as much, far more than the
// rounding of the constants and of the fused multiply-add (under 2^-15).
// Where t is 0 the destination stays as it is; A is 0 there when D is, and
// what those lanes divide is dropped.
template <bool kFull>
__attribute__((target("avx2,fma"))) inline __m256i AlphaByDivision8(__m256i s, __m256i d, __m256i vw) {
  const __m256i sa = _mm256_srli_epi32(s, 24);
  const __m256i t = kFull ? sa : _mm256_srli_epi32(_mm256_mullo_epi16(sa, vw), 8);
  const __m256 tf = _mm256_cvtepi32_ps(t), df = _mm256_cvtepi32_ps(_mm256_srli_epi32(d, 24));
  const __m256 v255 = _mm256_set1_ps(255.0f);
  const __m256 ts = _mm256_mul_ps(tf, v255);                            // 255 t
  const __m256 td = _mm256_fnmadd_ps(tf, df, _mm256_mul_ps(df, v255));  // (255 - t) D
  const __m256 a = _mm256_add_ps(ts, td);
  __m256i q[4];
  for (int k = 0; k < 3; ++k) {
    const __m256i pick = _mm256_load_si256(reinterpret_cast<const __m256i*>(kChannelPicks.pick[k]));
    const __m256 sc = _mm256_cvtepi32_ps(_mm256_shuffle_epi8(s, pick));
    const __m256 dc = _mm256_cvtepi32_ps(_mm256_shuffle_epi8(d, pick));
    q[k] = Quotients8(_mm256_fmadd_ps(ts, sc, _mm256_mul_ps(td, dc)), a);
  }
  q[3] = _mm256_cvttps_epi32(_mm256_fmadd_ps(a, _mm256_set1_ps(1.0f / 255), _mm256_set1_ps(0.5f / 255)));
  // Channel planes to bytes (blue 0..3, green 0..3, red 0..3, alpha 0..3 per
  // half), then back to pixels.
  const __m256i planes = _mm256_packus_epi16(_mm256_packus_epi32(q[0], q[1]), _mm256_packus_epi32(q[2], q[3]));
  const __m256i pixels = _mm256_shuffle_epi8(
      planes, _mm256_setr_epi8(0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15, 0, 4, 8, 12, 1, 5, 9, 13, 2, 6,
                               10, 14, 3, 7, 11, 15));
  return _mm256_blendv_epi8(pixels, d, _mm256_cmpeq_epi32(t, _mm256_setzero_si256()));
}

// AlphaOverOpaque4 on eight pixels; one half (four pixels in 16-bit lanes) at a time.
__attribute__((target("avx2"))) inline __m256i AlphaOverOpaqueHalf(__m256i s16, __m256i d16, __m256i vw) {
  const __m256i v255 = _mm256_set1_epi16(255), one = _mm256_set1_epi16(1);
  __m256i a = _mm256_shufflehi_epi16(_mm256_shufflelo_epi16(s16, _MM_SHUFFLE(3, 3, 3, 3)), _MM_SHUFFLE(3, 3, 3, 3));
  __m256i t = _mm256_srli_epi16(_mm256_mullo_epi16(a, vw), 8);
  __m256i x = _mm256_add_epi16(_mm256_mullo_epi16(t, s16), _mm256_mullo_epi16(_mm256_sub_epi16(v255, t), d16));
  return _mm256_srli_epi16(_mm256_add_epi16(_mm256_add_epi16(x, one), _mm256_srli_epi16(x, 8)), 8);
}

__attribute__((target("avx2"))) inline __m256i AlphaOverOpaque8(__m256i s, __m256i d, __m256i vw) {
  const __m256i z = _mm256_setzero_si256();
  __m256i lo = AlphaOverOpaqueHalf(_mm256_unpacklo_epi8(s, z), _mm256_unpacklo_epi8(d, z), vw);
  __m256i hi = AlphaOverOpaqueHalf(_mm256_unpackhi_epi8(s, z), _mm256_unpackhi_epi8(d, z), vw);
  return _mm256_or_si256(_mm256_packus_epi16(lo, hi), _mm256_set1_epi32(int(0xFF000000u)));
}

// Runs of eight transparent source pixels are skipped, at full strength runs
// of eight opaque ones are copied, and over eight opaque destination pixels
// the composite takes 16-bit lanes.
template <bool kFull>
__attribute__((target("avx2,fma"))) void Alpha32Avx2Runs(uint8_t* d, const uint8_t* s, size_t n, int w) {
  const __m256i vw = _mm256_set1_epi32(w), vw16 = _mm256_set1_epi16(int16_t(w)),
                alpha = _mm256_set1_epi32(int(0xFF000000u));
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + 4 * i));
    if (_mm256_testz_si256(a, alpha)) continue;
    if (kFull && _mm256_testc_si256(a, alpha)) {
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(d + 4 * i), a);
      continue;
    }
    const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(d + 4 * i));
    const __m256i r = _mm256_testc_si256(b, alpha) ? AlphaOverOpaque8(a, b, vw16) : AlphaByDivision8<kFull>(a, b, vw);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(d + 4 * i), r);
  }
  Alpha32Sse2(d + 4 * i, s + 4 * i, n - i, w);
}

void Alpha32Avx2(uint8_t* d, const uint8_t* s, size_t n, int w) {
  w == 256 ? Alpha32Avx2Runs<true>(d, s, n, w) : Alpha32Avx2Runs<false>(d, s, n, w);
}

// ---- 24-bit pixels -----------------------------------------------------------------

inline bool IsKey24(const uint8_t* s, uint32_t key) { return uint32_t(s[0] | s[1] << 8 | s[2] << 16) == key; }

template <bool kKeyed, int kOp>
void Pixel24Tail(uint8_t* d, const uint8_t* s, size_t n, int w, uint32_t key, uint32_t tint) {
  for (size_t i = 0; i < n; ++i, d += 3, s += 3) {
    if (kKeyed && IsKey24(s, key)) continue;
    for (int k = 0; k < 3; ++k)
      d[k] = kOp == kOpTint   ? MixByte(s[k], int((tint >> (8 * k)) & 255), w)
             : kOp == kOpCopy ? s[k]
                              : MixByte(d[k], s[k], w);
  }
}

// Tint of 16 pixels (48 bytes): each byte mixes toward its channel's tint byte.
inline void Tint48(uint8_t* d, const uint8_t* s, const __m128i* pattern, __m128i vw, __m128i viw) {
  for (int k = 0; k < 3; ++k) {
    __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 16 * k));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(d + 16 * k), Blend16(a, pattern[k], vw, viw));
  }
}

// Modes 1, 4, 5 and 6 on 24-bit pixels, 16 pixels at a time: runs without a key
// pixel take the vector path, runs of key pixels are skipped, mixed runs go
// pixel by pixel.
template <bool kKeyed, int kOp, bool kAvx2>
void Pixel24(uint8_t* d, const uint8_t* s, size_t n, int w, uint32_t key, uint32_t tint) {
  __m128i pattern[3];
  {
    alignas(16) uint8_t bytes[48];
    for (int i = 0; i < 48; ++i) bytes[i] = uint8_t(tint >> (8 * (i % 3)));
    for (int k = 0; k < 3; ++k) pattern[k] = _mm_load_si128(reinterpret_cast<const __m128i*>(bytes + 16 * k));
  }
  const __m128i vw = _mm_set1_epi16(int16_t(w)), viw = _mm_set1_epi16(int16_t(256 - w));
  size_t i = 0;
  for (; i + 16 <= n; i += 16) {
    uint8_t* dd = d + 3 * i;
    const uint8_t* ss = s + 3 * i;
    int keys = 0;
    if (kKeyed)
      for (int p = 0; p < 16; ++p) keys += IsKey24(ss + 3 * p, key);
    if (keys == 16) continue;
    if (keys) {
      Pixel24Tail<kKeyed, kOp>(dd, ss, 16, w, key, tint);
    } else if (kOp == kOpTint) {
      Tint48(dd, ss, pattern, vw, viw);
    } else if (kOp == kOpCopy) {
      std::memcpy(dd, ss, 48);
    } else {
      kAvx2 ? BlendAvx2(dd, ss, 48, w) : BlendSse2(dd, ss, 48, w);
    }
  }
  Pixel24Tail<kKeyed, kOp>(d + 3 * i, s + 3 * i, n - i, w, key, tint);
}

// Mode 7 from 3-byte sources (x1r5g5b5 word, alpha byte) onto 24-bit pixels.
// Without a destination alpha (taken as 255) the composite reduces exactly to
// (t * s + (255 - t) * d) / 255, which also covers t = 0 and t = 255.
inline int Expand5(int v) { return (v * 1053) >> 7; }  // v * 255 / 31 for v in 0..31

void Alpha24Tail(uint8_t* d, const uint8_t* s, size_t n, int w) {
  for (size_t i = 0; i < n; ++i, d += 3, s += 3) {
    const int t = (s[2] * w) >> 8;
    if (t == 0) continue;
    const int v = s[0] | s[1] << 8;
    const int c[3] = {Expand5(v & 31), Expand5((v >> 5) & 31), Expand5((v >> 10) & 31)};
    for (int k = 0; k < 3; ++k) d[k] = uint8_t((t * c[k] + (255 - t) * d[k]) / 255);
  }
}

__attribute__((target("avx2"))) void Alpha24Avx2(uint8_t* d, const uint8_t* s, size_t n, int w) {
  // Eight 3-byte pixels spread into 32-bit lanes and back.
  const __m256i spread_dwords = _mm256_setr_epi32(0, 1, 2, 3, 3, 4, 5, 6);
  const __m256i spread = _mm256_setr_epi8(0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1, 0, 1, 2, -1, 3, 4, 5,
                                          -1, 6, 7, 8, -1, 9, 10, 11, -1);
  const __m256i gather = _mm256_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1, 0, 1, 2, 4, 5, 6,
                                          8, 9, 10, 12, 13, 14, -1, -1, -1, -1);
  const __m256i gather_dwords = _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 7, 7);
  const __m256i vw = _mm256_set1_epi32(w), five = _mm256_set1_epi32(31), byte = _mm256_set1_epi32(255);
  const __m256i expand = _mm256_set1_epi32(1053), by255 = _mm256_set1_epi32(0x8081);
  size_t i = 0;
  for (; i + 11 <= n; i += 8) {  // each load reads 32 bytes, 24 of them pixels
    const __m256i sraw = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + 3 * i));
    const __m256i draw = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(d + 3 * i));
    const __m256i sp = _mm256_shuffle_epi8(_mm256_permutevar8x32_epi32(sraw, spread_dwords), spread);
    const __m256i dp = _mm256_shuffle_epi8(_mm256_permutevar8x32_epi32(draw, spread_dwords), spread);
    const __m256i t = _mm256_srli_epi32(_mm256_mullo_epi16(_mm256_srli_epi32(sp, 16), vw), 8);
    const __m256i it = _mm256_sub_epi32(byte, t);
    __m256i out = _mm256_setzero_si256();
    for (int k = 0; k < 3; ++k) {
      const __m256i sc = _mm256_srli_epi32(
          _mm256_mullo_epi16(_mm256_and_si256(_mm256_srli_epi32(sp, 5 * k), five), expand), 7);
      const __m256i dc = _mm256_and_si256(_mm256_srli_epi32(dp, 8 * k), byte);
      const __m256i x = _mm256_add_epi32(_mm256_mullo_epi16(t, sc), _mm256_mullo_epi16(it, dc));
      const __m256i q = _mm256_srli_epi32(_mm256_mulhi_epu16(x, by255), 7);
      out = _mm256_or_si256(out, _mm256_slli_epi32(q, 8 * k));
    }
    __m256i packed = _mm256_permutevar8x32_epi32(_mm256_shuffle_epi8(out, gather), gather_dwords);
    packed = _mm256_blend_epi32(packed, draw, 0xC0);  // the 8 bytes past the pixels stay
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(d + 3 * i), packed);
  }
  Alpha24Tail(d + 3 * i, s + 3 * i, n - i, w);
}

// ---- routines --------------------------------------------------------------------

// True when the columns run straight through the source and the destination,
// as in every unscaled, unmirrored copy.
bool Contiguous(const BlitJob& j, int bytes) {
  if (j.dst_step != bytes) return false;
  const ptrdiff_t base = j.src_cols[0];
  for (int i = 1; i < j.cols; ++i)
    if (j.src_cols[i] != base + ptrdiff_t(i) * bytes) return false;
  return true;
}

// True when the source pixels a job reads may lie among the destination
// pixels it writes (a plane blitted onto itself).
bool SourceMeetsDestination(const BlitJob& j, int bytes, bool contiguous) {
  const uint8_t* first_row = j.dst;
  const uint8_t* last_row = j.dst + j.dst_row * (j.rows - 1);
  const ptrdiff_t row_bytes = ptrdiff_t(j.cols) * bytes;
  const uint8_t* dst_lo = std::min(first_row, last_row) - (j.dst_step < 0 ? row_bytes - bytes : 0);
  const uint8_t* dst_hi = std::max(first_row, last_row) + (j.dst_step < 0 ? bytes : row_bytes);
  ptrdiff_t col_lo = j.src_cols[0], col_hi = j.src_cols[0];
  if (contiguous) col_hi += row_bytes - bytes;
  else
    for (int i = 1; i < j.cols; ++i) col_lo = std::min(col_lo, j.src_cols[i]), col_hi = std::max(col_hi, j.src_cols[i]);
  const auto [row_lo, row_hi] = std::minmax_element(j.src_rows, j.src_rows + j.rows);
  const uint8_t* src_lo = j.src + *row_lo + col_lo;
  const uint8_t* src_hi = j.src + *row_hi + col_hi + bytes;
  return src_lo < dst_hi && dst_lo < src_hi;
}

// The keyed kernels and the tints serve 24- and 32-bit pixels.
enum Kernel { kCopy, kCopy16, kBlend, kAdd, kKeyedCopy, kKeyedBlend, kTintColour, kKeyedTint, kAlpha };

template <Kernel K, int Bytes, bool kAvx2>
void FastRoutine(const BlitJob& j) {
  if (j.cols <= 0 || j.rows <= 0) return;
  constexpr int kRow = K == kCopy || K == kCopy16 ? 0 : K == kKeyedCopy ? 1 : K == kBlend ? 3 : K == kAdd ? 13
                       : K == kKeyedBlend ? 4 : K == kTintColour ? 5 : K == kKeyedTint ? 6 : 7;
  // Scaled or mirrored rows are gathered into a contiguous run first; a
  // destination that does not step by whole pixels goes to the scalar routine.
  const bool contiguous = Contiguous(j, Bytes);
  if (!contiguous && j.dst_step != Bytes && j.dst_step != -Bytes) {
    FindScalarBlitRoutine(kRow, Bytes, Bytes, false)(j);
    return;
  }
  const BlitParams& p = *j.params;
  const int w = (K == kTintColour || K == kKeyedTint) ? Weight(p.amount) : Weight(p.level);
  const uint32_t key = p.colour_a & 0xFFFFFF;
  const uint32_t tint = ConvertColour(p.colour_b, 4);
  const size_t n = size_t(j.cols);
  // One run of m pixels: destination d and source s both ascending.
  auto span = [&](uint8_t* d, const uint8_t* s, size_t m) {
    if constexpr (K == kCopy) {
      std::memmove(d, s, m * Bytes);
    } else if constexpr (K == kCopy16) {
      kAvx2 ? Copy16Avx2(d, s, m) : Copy16Sse2(d, s, m);
    } else if constexpr (K == kBlend) {
      kAvx2 ? BlendAvx2(d, s, m * Bytes, w) : BlendSse2(d, s, m * Bytes, w);
    } else if constexpr (K == kAdd) {
      kAvx2 ? AddAvx2(d, s, m * Bytes, w) : AddSse2(d, s, m * Bytes, w);
    } else if constexpr (K == kAlpha && Bytes == 3) {
      kAvx2 ? Alpha24Avx2(d, s, m, w) : Alpha24Tail(d, s, m, w);
    } else if constexpr (K == kAlpha) {
      kAvx2 ? Alpha32Avx2(d, s, m, w) : Alpha32Sse2(d, s, m, w);
    } else {
      constexpr bool kKeyed = K != kTintColour;
      constexpr int kOp = K == kKeyedCopy ? kOpCopy : K == kKeyedBlend ? kOpBlend : kOpTint;
      if constexpr (Bytes == 3)
        Pixel24<kKeyed, kOp, kAvx2>(d, s, m, w, key, tint);
      else if constexpr (kAvx2)
        Pixel32Avx2<kKeyed, kOp>(d, s, m, w, key, tint);
      else
        Pixel32Sse2<kKeyed, kOp>(d, s, m, w, key, tint);
    }
  };
  auto row = [&](int y) {
    uint8_t* d = j.dst + j.dst_row * y;
    const uint8_t* srow = j.src + j.src_rows[y];
    if (contiguous) {
      span(d, srow + j.src_cols[0], n);
      return;
    }
    constexpr size_t kChunk = 256;
    alignas(32) uint8_t run[kChunk * Bytes];
    const bool reversed = j.dst_step < 0;
    for (size_t x0 = 0; x0 < n; x0 += kChunk) {
      const size_t m = std::min(kChunk, n - x0);
      for (size_t k = 0; k < m; ++k) {
        const size_t x = reversed ? x0 + m - 1 - k : x0 + k;
        std::memcpy(run + k * Bytes, srow + j.src_cols[x], Bytes);
      }
      span(reversed ? d - ptrdiff_t(x0 + m - 1) * Bytes : d + ptrdiff_t(x0) * Bytes, run, m);
    }
  };
  // Planes are stored bottom-up, so the rows of a job usually descend through
  // memory; walking them in memory order instead lets the processor's
  // prefetcher stream them (several times faster on large blits). Only when
  // the source cannot be the destination's own pixels: a blit of a plane onto
  // itself keeps the row order its result depends on.
  const bool upward = j.dst_row < 0 && !SourceMeetsDestination(j, Bytes, contiguous);
  if (!BlitRowsInParallel(j)) {
    if (upward) for (int y = j.rows - 1; y >= 0; --y) row(y);
    else for (int y = 0; y < j.rows; ++y) row(y);
    return;
  }
#pragma omp parallel for schedule(static)
  for (int y = 0; y < j.rows; ++y) row(upward ? j.rows - 1 - y : y);
}

template <bool kAvx2>
BlitRoutine FastFor(int row, int bytes, bool mapping) {
  switch (row) {
    case 0:
      if (bytes == 1) return mapping ? nullptr : &FastRoutine<kCopy, 1, kAvx2>;
      if (bytes == 2) return &FastRoutine<kCopy16, 2, kAvx2>;
      return bytes == 3 ? &FastRoutine<kCopy, 3, kAvx2> : &FastRoutine<kCopy, 4, kAvx2>;
    case 3:
      if (bytes == 1) return mapping ? nullptr : &FastRoutine<kBlend, 1, kAvx2>;  // index numbers
      if (bytes == 3) return &FastRoutine<kBlend, 3, kAvx2>;
      return bytes == 4 ? &FastRoutine<kBlend, 4, kAvx2> : nullptr;
    case 13:
      if (bytes == 1) return mapping ? nullptr : &FastRoutine<kAdd, 1, kAvx2>;
      if (bytes == 3) return &FastRoutine<kAdd, 3, kAvx2>;
      return bytes == 4 ? &FastRoutine<kAdd, 4, kAvx2> : nullptr;
    case 1:
      if (bytes == 3) return &FastRoutine<kKeyedCopy, 3, kAvx2>;
      return bytes == 4 ? &FastRoutine<kKeyedCopy, 4, kAvx2> : nullptr;
    case 4:
      if (bytes == 3) return &FastRoutine<kKeyedBlend, 3, kAvx2>;
      return bytes == 4 ? &FastRoutine<kKeyedBlend, 4, kAvx2> : nullptr;
    case 5:
      if (bytes == 3) return &FastRoutine<kTintColour, 3, kAvx2>;
      return bytes == 4 ? &FastRoutine<kTintColour, 4, kAvx2> : nullptr;
    case 6:
      if (bytes == 3) return &FastRoutine<kKeyedTint, 3, kAvx2>;
      return bytes == 4 ? &FastRoutine<kKeyedTint, 4, kAvx2> : nullptr;
    case 7:
      if (bytes == 3) return &FastRoutine<kAlpha, 3, kAvx2>;
      return bytes == 4 ? &FastRoutine<kAlpha, 4, kAvx2> : nullptr;
    default: return nullptr;
  }
}

}  // namespace

void QuotientsByDivision(const uint32_t* n, const uint32_t* a, uint32_t* q, size_t count) {
  QuotientsByDivisionAvx2(n, a, q, count);
}

SimdLevel DetectedSimdLevel() {
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")) return SimdLevel::kAvx2;
  return SimdLevel::kSse2;  // every x86-64 processor has SSE2
}

SimdLevel g_simd_level = DetectedSimdLevel();

BlitRoutine FindFastBlitRoutine(int row, int src_bytes, int dst_bytes, bool mapping) {
  if (src_bytes != dst_bytes) return nullptr;
  switch (g_simd_level) {
    case SimdLevel::kAvx2: return FastFor<true>(row, src_bytes, mapping);
    case SimdLevel::kSse2: return FastFor<false>(row, src_bytes, mapping);
    default: return nullptr;
  }
}
