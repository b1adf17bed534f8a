#include "graphics/blit_modes.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <mutex>

#include "graphics/blit_simd.h"
#include "graphics/planes.h"

BlendTables g_blend;
int32_t g_colour_mapping = 0;

BlitParams ReadBlitParams(uint32_t addr) {
  BlitParams p{};
  if (addr) std::memcpy(&p, ToHost(addr), sizeof p);
  return p;
}

void BuildBlendTables() {
  static std::once_flag once;
  std::call_once(once, [] {
    BlendTables& t = g_blend;
    for (int s = 0; s < 256; ++s) {
      for (int d = 0; d < 256; ++d) {
        const int i = s * 256 + d;
        t.multiply[i] = static_cast<uint8_t>((s * d + 128) / 255);
        t.overlay[i] = static_cast<uint8_t>(d > 127 ? 255 - 2 * (255 - s) * (255 - d) / 255 : 2 * s * d / 255);
        t.hard_light[i] = static_cast<uint8_t>(s > 127 ? 255 - 2 * (255 - s) * (255 - d) / 255 : 2 * s * d / 255);
        t.dodge[i] = static_cast<uint8_t>(s + d >= 256 ? 255 : d == 0 ? 0 : 255 * d / (255 - s));
        t.burn[i] = static_cast<uint8_t>(s + d <= 254 ? 0 : s == 0 ? 255 : 255 - (255 * (255 - d)) / s);

        const double h = s / 255.0, o = d / 255.0;
        double soft;
        if (h < 0.5)
          soft = o + (o - o * o) * (2 * h - 1);
        else if (o <= 0.12549019607843137)
          soft = o + (o - o * o) * (2 * h - 1) * (3 - 8 * o);
        else
          soft = o + (std::sqrt(o) - o) * (2 * h - 1);
        t.soft_light[i] = static_cast<uint8_t>(std::clamp(static_cast<int>(soft * 255), 0, 255));

        // Row r = s (destination alpha), column c = d.
        const int r = s, c = d;
        int w = 255;
        if (r != 0) {
          const double q = 255.0 * (double(c) / r) / (1.0 - c / 255.0 + double(c) / r);
          const int v = static_cast<int>(q);
          w = v >= 256 ? 255 : v;
        }
        t.dest_alpha_weight[i] = static_cast<uint8_t>(w);
      }
    }
    uint32_t expand[32];
    for (int v = 0; v < 32; ++v) expand[v] = static_cast<uint32_t>(v * 255 / 31);
    for (int w = 0; w < 32768; ++w)
      t.rgb555[w] = expand[(w >> 10) & 31] << 16 | expand[(w >> 5) & 31] << 8 | expand[w & 31];
    for (int v = -256; v < 512; ++v) t.saturate_table[v + 256] = static_cast<uint8_t>(std::clamp(v, 0, 255));
    t.reciprocal[0] = 0;
    for (uint32_t a = 1; a < 65026; ++a) t.reciprocal[a] = UINT64_MAX / a;
  });
}

NormalisedMode NormaliseMode(const BlitParams& params) {
  NormalisedMode n{false, 0, nullptr, params};
  int mode = params.mode;
  if (mode >= 36) return n;
  const bool uses_level = mode == 3 || mode == 4 || (mode >= 7 && mode <= 21) || mode >= 24;
  if (uses_level && params.level == 0) return n;
  if (mode == 3 && params.level == 255) mode = 0;
  if (mode == 4 && params.level == 255) mode = 1;
  if (mode == 10 && params.amount == 0) mode = 7;
  if (mode == 22 && (params.channel_mask & 15) == 0) return n;
  if (mode >= 26) {
    static const uint8_t* const tables[5] = {g_blend.overlay, g_blend.soft_light, g_blend.hard_light, g_blend.dodge,
                                             g_blend.burn};
    n.table = tables[(mode - 26) / 2];
    mode = 26 + (mode & 1);
  }
  n.ok = true;
  n.row = mode;
  n.params.mode = static_cast<uint8_t>(mode);
  return n;
}

// ---- scalar routines -----------------------------------------------------------

namespace {

// How a routine reads source pixels and reads and writes destination pixels.
enum SrcKind {
  kSIndexRaw,    // 8 bits: the index number as the only channel
  kSIndex,       // 8 bits: the colour of the index in the source colour table
  kS555,         // x1r5g5b5
  kSBgr,         // blue, green, red
  kSBgra,        // blue, green, red, alpha
  kSIndexAlpha,  // 2 bytes: index, alpha
  kS555Alpha,    // 3 bytes: x1r5g5b5 word, alpha
};
enum DstKind {
  kDIndexRaw,   // 8 bits: the index number as the only channel
  kDIndex,      // 8 bits: colours through the colour table, back through the inverse map
  kD555,        // x1r5g5b5, bit 15 written 0
  kDBgr,        // blue, green, red
  kDBgra,       // blue, green, red, alpha
  kD555Alpha,   // 3 bytes: x1r5g5b5 word, alpha (the behind mode)
  kDIndexAlpha, // 2 bytes: index, alpha (the behind mode)
};

constexpr bool SrcHasAlpha(int k) { return k == kSBgra || k == kSIndexAlpha || k == kS555Alpha; }
constexpr bool IsAlphaLayout(int k) { return k == kD555Alpha || k == kDIndexAlpha; }
constexpr bool DstHasAlpha(int k) { return k == kDBgra || IsAlphaLayout(k); }

struct Px {
  int b, g, r, a;
  uint32_t key;  // raw value compared with a colour key
};

// Per-call values derived from the parameters.
struct Ctx {
  int lw, aw;          // level', amount'
  int level, amount;
  uint32_t key_src;    // colour A for the source format (keyed modes)
  uint32_t key_dst;    // colour A for the destination format (destination key)
  int bb, bg, br;      // colour B as destination channels
  uint8_t channels;    // mode 22 mask
  const uint8_t* table;
  const uint32_t* scol;
  const uint32_t* dcol;
  uint8_t ramp[256];   // mode 12
};

inline int Mix(int d, int x, int w) { return d + (((x - d) * w) >> 8); }
inline int Sat(int v) { return g_blend.saturate_table[v + 256]; }
inline uint16_t Pack555(int r, int g, int b) { return static_cast<uint16_t>((r >> 3) << 10 | (g >> 3) << 5 | (b >> 3)); }
inline uint16_t Word(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
inline Px FromRgb(uint32_t c, int a, uint32_t key) {
  return Px{int(c & 255), int((c >> 8) & 255), int((c >> 16) & 255), a, key};
}

template <int K>
inline Px ReadSrc(const uint8_t* p, const Ctx& c) {
  if constexpr (K == kSIndexRaw) {
    return Px{p[0], p[0], p[0], 255, p[0]};
  } else if constexpr (K == kSIndex) {
    return FromRgb(c.scol[p[0]], 255, p[0]);
  } else if constexpr (K == kS555) {
    uint32_t col = g_blend.rgb555[Word(p) & 0x7FFF];
    return FromRgb(col, 255, col);
  } else if constexpr (K == kSBgr) {
    return Px{p[0], p[1], p[2], 255, uint32_t(p[0] | p[1] << 8 | p[2] << 16)};
  } else if constexpr (K == kSBgra) {
    return Px{p[0], p[1], p[2], p[3], uint32_t(p[0] | p[1] << 8 | p[2] << 16)};
  } else if constexpr (K == kSIndexAlpha) {
    return FromRgb(c.scol[p[0]], p[1], p[0]);
  } else {
    uint32_t col = g_blend.rgb555[Word(p) & 0x7FFF];
    return FromRgb(col, p[2], col);
  }
}

template <int K>
inline Px ReadDst(const uint8_t* p, const Ctx& c) {
  if constexpr (K == kDIndexRaw) {
    return Px{p[0], p[0], p[0], 255, p[0]};
  } else if constexpr (K == kDIndex) {
    return FromRgb(c.dcol[p[0]], 255, p[0]);
  } else if constexpr (K == kD555) {
    uint32_t w = Word(p) & 0x7FFFu;
    return FromRgb(g_blend.rgb555[w], 255, w);
  } else if constexpr (K == kDBgr) {
    return Px{p[0], p[1], p[2], 255, uint32_t(p[0] | p[1] << 8 | p[2] << 16)};
  } else if constexpr (K == kDBgra) {
    return Px{p[0], p[1], p[2], p[3], uint32_t(p[0] | p[1] << 8 | p[2] << 16)};
  } else if constexpr (K == kDIndexAlpha) {
    return FromRgb(c.dcol[p[0]], p[1], p[0]);
  } else {
    uint32_t w = Word(p) & 0x7FFFu;
    return FromRgb(g_blend.rgb555[w], p[2], w);
  }
}

// write: 1 = colour channels, 2 = colour channels and alpha.
template <int K>
inline void WriteDst(uint8_t* p, const Px& d, int write) {
  if constexpr (K == kDIndexRaw) {
    p[0] = static_cast<uint8_t>(d.b);
  } else if constexpr (K == kDIndex || K == kDIndexAlpha) {
    p[0] = g_blend.inverse_map[Pack555(d.r, d.g, d.b)];
    if constexpr (K == kDIndexAlpha)
      if (write == 2) p[1] = static_cast<uint8_t>(d.a);
  } else if constexpr (K == kD555 || K == kD555Alpha) {
    uint16_t w = Pack555(d.r, d.g, d.b);
    p[0] = static_cast<uint8_t>(w);
    p[1] = static_cast<uint8_t>(w >> 8);
    if constexpr (K == kD555Alpha)
      if (write == 2) p[2] = static_cast<uint8_t>(d.a);
  } else {
    p[0] = static_cast<uint8_t>(d.b);
    p[1] = static_cast<uint8_t>(d.g);
    p[2] = static_cast<uint8_t>(d.r);
    if constexpr (K == kDBgra)
      if (write == 2) p[3] = static_cast<uint8_t>(d.a);
  }
}

// The alpha composite of modes 7 and 10: t is the effective source alpha.
template <bool kDstAlpha>
inline int Composite(const Px& s, Px& d, int t) {
  if (t == 0) return 0;
  if (t == 255) {
    d.b = s.b, d.g = s.g, d.r = s.r, d.a = 255;
    return 2;
  }
  const int D = kDstAlpha ? d.a : 255;
  const uint32_t A = 255u * D + uint32_t(t) * (255 - D);
  if (A == 0) {
    d = Px{0, 0, 0, 0, 0};
    return 2;
  }
  const uint32_t ts = 255u * t, td = uint32_t(255 - t) * D;
  d.b = int(DivideByReciprocal(ts * s.b + td * d.b, A));
  d.g = int(DivideByReciprocal(ts * s.g + td * d.g, A));
  d.r = int(DivideByReciprocal(ts * s.r + td * d.r, A));
  d.a = int(A / 255);
  return 2;
}

// Blending toward x with weight t + 1; the destination alpha rises likewise
// (modes 24, 25, 27).
inline int Cover(Px& d, int xb, int xg, int xr, int t) {
  if (t == 0) return 0;
  if (t == 255) {
    d.b = xb, d.g = xg, d.r = xr, d.a = 255;
    return 2;
  }
  d.b = Mix(d.b, xb, t + 1);
  d.g = Mix(d.g, xg, t + 1);
  d.r = Mix(d.r, xr, t + 1);
  d.a = d.a + (((255 - d.a) * (t + 1)) >> 8);
  return 2;
}

// One pixel of a row. Returns what to write (0 nothing, 1 colour, 2 colour and alpha).
template <int Row, int SK, int DK>
inline int Apply(Px s, Px& d, const Ctx& c) {
  constexpr bool kAll = SrcHasAlpha(SK) && DstHasAlpha(DK);  // "all four" includes alpha
  constexpr int kAllWrite = kAll ? 2 : 1;
  auto each = [&](auto f) {
    d.b = f(s.b, d.b);
    d.g = f(s.g, d.g);
    d.r = f(s.r, d.r);
    if constexpr (kAll) d.a = f(s.a, d.a);
    return kAllWrite;
  };
  auto each_rgb = [&](auto f) {
    d.b = f(s.b, d.b);
    d.g = f(s.g, d.g);
    d.r = f(s.r, d.r);
    return 1;
  };
  if constexpr (Row == 0) {
    d.b = s.b, d.g = s.g, d.r = s.r, d.a = s.a;
    return kAllWrite;
  } else if constexpr (Row == 1) {
    if (s.key == c.key_src) return 0;
    d.b = s.b, d.g = s.g, d.r = s.r;
    return 1;
  } else if constexpr (Row == 2) {
    if (d.key == c.key_dst) return 0;
    d.b = s.b, d.g = s.g, d.r = s.r;
    return 1;
  } else if constexpr (Row == 3 || Row == 4) {
    if (Row == 4 && s.key == c.key_src) return 0;
    const int w = c.lw;
    return each([w](int x, int y) { return Mix(y, x, w); });
  } else if constexpr (Row == 5 || Row == 6) {
    if (Row == 6 && s.key == c.key_src) return 0;
    d.b = Mix(s.b, c.bb, c.aw);
    d.g = Mix(s.g, c.bg, c.aw);
    d.r = Mix(s.r, c.br, c.aw);
    return 1;
  } else if constexpr (Row == 7) {
    return Composite<DstHasAlpha(DK)>(s, d, (s.a * c.lw) >> 8);
  } else if constexpr (Row == 8) {
    const int t = (d.a * c.lw) >> 8;
    if (t == 255) return 0;
    if (t == 0) {
      d.b = s.b, d.g = s.g, d.r = s.r;
      return 1;
    }
    return each_rgb([t](int x, int y) { return Mix(x, y, t + 1); });
  } else if constexpr (Row == 9) {
    const int D = DstHasAlpha(DK) ? d.a : 255;
    const int m = g_blend.dest_alpha_weight[D * 256 + (255 - s.a)];
    if (m == 255) return 0;
    if (m == 0) {
      d.b = s.b, d.g = s.g, d.r = s.r;
      return 1;
    }
    return each_rgb([m](int x, int y) { return Mix(x, y, m + 1); });
  } else if constexpr (Row == 10) {
    s.b = Mix(s.b, c.bb, c.aw);
    s.g = Mix(s.g, c.bg, c.aw);
    s.r = Mix(s.r, c.br, c.aw);
    return Composite<DstHasAlpha(DK)>(s, d, (s.a * c.lw) >> 8);
  } else if constexpr (Row == 11) {
    if (uint32_t(s.a - c.level) > uint32_t(c.amount)) return 0;
    d.b = s.b, d.g = s.g, d.r = s.r;
    return 1;
  } else if constexpr (Row == 12) {
    const int m = c.ramp[s.a];
    if (m == 0) return 0;
    if (m == 255) {
      d.b = s.b, d.g = s.g, d.r = s.r;
      return 1;
    }
    return each_rgb([m](int x, int y) { return Mix(y, x, m + 1); });
  } else if constexpr (Row == 13) {
    const int w = c.lw;
    return each([w](int x, int y) { return Sat(y + ((x * w) >> 8)); });
  } else if constexpr (Row == 14) {
    const int w = c.lw;
    return each([w](int x, int y) { return Sat(y - ((x * w) >> 8)); });
  } else if constexpr (Row == 15) {
    const int w = c.lw;
    return each([w](int x, int y) { return Mix(y, g_blend.multiply[x * 256 + y], w); });
  } else if constexpr (Row == 16) {
    const int w = c.lw;
    return each([w](int x, int y) { return Mix(y, x & y, w); });
  } else if constexpr (Row == 17) {
    const int w = c.lw;
    return each([w](int x, int y) { return Mix(y, x | y, w); });
  } else if constexpr (Row == 18) {
    const int w = c.lw;
    return each([w](int x, int y) { return Mix(y, x ^ y, w); });
  } else if constexpr (Row == 19) {
    const int w = c.lw;
    return each([w](int x, int y) { return Mix(y, 255 - g_blend.multiply[(255 - x) * 256 + (255 - y)], w); });
  } else if constexpr (Row == 20) {
    const int w = c.lw;
    return each([w](int x, int y) { return Mix(y, std::max(x, y), w); });
  } else if constexpr (Row == 21) {
    const int w = c.lw;
    return each([w](int x, int y) { return Mix(y, std::min(x, y), w); });
  } else if constexpr (Row == 22) {
    const uint8_t m = c.channels;
    if constexpr (DK == kDIndex || DK == kDIndexRaw) {
      if ((m & 7) == 0) return 0;  // an 8-bit destination has no alpha to change
    }
    if (m & 1) d.b = s.b;
    if (m & 2) d.g = s.g;
    if (m & 4) d.r = s.r;
    if constexpr (kAll) {
      if (m & 8) {
        d.a = s.a;
        return 2;
      }
    }
    return 1;
  } else if constexpr (Row == 24) {
    return Cover(d, c.bb, c.bg, c.br, (int(s.key) * c.lw) >> 8);
  } else if constexpr (Row == 25) {
    const int y = (19595 * s.r + 38470 * s.g + 7471 * s.b) >> 16;
    return Cover(d, Mix(y, c.bb, c.aw), Mix(y, c.bg, c.aw), Mix(y, c.br, c.aw), (s.a * c.lw) >> 8);
  } else if constexpr (Row == 26) {
    const int w = c.lw;
    const uint8_t* T = c.table;
    return each_rgb([w, T](int x, int y) { return Mix(y, T[x * 256 + y], w); });
  } else if constexpr (Row == 27) {
    const uint8_t* T = c.table;
    return Cover(d, T[s.b * 256 + d.b], T[s.g * 256 + d.g], T[s.r * 256 + d.r], (s.a * c.lw) >> 8);
  } else {
    static_assert(Row < 0, "no such row");
    return 0;
  }
}

// Destination channels of colour B, colour A as each side compares it, and
// the ramp, each only for the rows that use it (a palette search per call is
// not free when the caller runs one row at a time).
template <int Row, int SK, int DK>
void Prepare(Ctx& c, const BlitJob& j) {
  const BlitParams& p = *j.params;
  c.lw = Weight(p.level);
  c.aw = Weight(p.amount);
  c.level = p.level;
  c.amount = p.amount;
  c.channels = p.channel_mask;
  c.table = j.blend;
  c.scol = j.src_colours ? j.src_colours : g_engine_colours;
  c.dcol = j.dst_colours ? j.dst_colours : g_engine_colours;
  constexpr bool kSrc8 = SK == kSIndexRaw || SK == kSIndex;
  if constexpr (Row == 1 || Row == 4 || Row == 6)
    c.key_src = kSrc8 ? ConvertColour(p.colour_a, 1) : (p.colour_a & 0xFFFFFF);
  if constexpr (Row != 2 && Row != 5 && Row != 6 && Row != 10 && Row != 24 && Row != 25) {
    // neither colour A of the destination nor colour B
  } else if constexpr (DK == kDIndexRaw) {
    c.key_dst = ConvertColour(p.colour_a, 1);
    const int b = int(ConvertColour(p.colour_b, 1));
    c.bb = c.bg = c.br = b;
  } else {
    uint32_t rgb;
    if constexpr (DK == kDIndex) {
      c.key_dst = ConvertColour(p.colour_a, 1);
      rgb = ConvertColour(p.colour_b, 3);
    } else if constexpr (DK == kD555 || DK == kD555Alpha) {
      c.key_dst = ConvertColour(p.colour_a, 2);
      rgb = g_blend.rgb555[ConvertColour(p.colour_b, 2)];
    } else {
      c.key_dst = ConvertColour(p.colour_a, 3);
      rgb = ConvertColour(p.colour_b, 3);
    }
    c.bb = int(rgb & 255), c.bg = int((rgb >> 8) & 255), c.br = int((rgb >> 16) & 255);
  }
  if constexpr (Row == 12) {
    for (int i = 0; i < 256; ++i) {
      int v;
      if (i < c.level)
        v = 255;
      else if (i >= c.level + c.amount)
        v = 0;
      else
        v = std::clamp(255 + (255 * (c.level - i)) / c.amount, 0, 255);
      c.ramp[i] = static_cast<uint8_t>(v);
    }
  }
}

template <int Row, int SK, int DK, bool Masked>
void RunRow(const BlitJob& j, const Ctx& c, int y) {
  uint8_t* d = j.dst + j.dst_row * y;
  const uint8_t* srow = j.src + j.src_rows[y];
  const uint8_t* mrow = Masked ? j.mask + j.mask_rows[y] : nullptr;
  for (int x = 0; x < j.cols; ++x, d += j.dst_step) {
    Px s = ReadSrc<SK>(srow + j.src_cols[x], c);
    if constexpr (Masked) s.a = mrow[j.mask_cols[x]];
    Px dp = ReadDst<DK>(d, c);
    if (int w = Apply<Row, SK, DK>(s, dp, c)) WriteDst<DK>(d, dp, w);
  }
}

}  // namespace

bool BlitRowsInParallel(const BlitJob& j) {
  return g_graphics_settings.MultiThreading != 0 && j.rows > 1 && int64_t(j.rows) * j.cols >= 16384;
}

namespace {

template <int Row, int SK, int DK, bool Masked>
void Routine(const BlitJob& j) {
  Ctx c{};
  Prepare<Row, SK, DK>(c, j);
  if (!BlitRowsInParallel(j)) {
    for (int y = 0; y < j.rows; ++y) RunRow<Row, SK, DK, Masked>(j, c, y);
    return;
  }
#pragma omp parallel for schedule(static)
  for (int y = 0; y < j.rows; ++y) RunRow<Row, SK, DK, Masked>(j, c, y);
}

// Alpha transfer: a 32-bit destination's alpha byte takes the source's alpha
// (the index value of an 8-bit source); 8-bit to 8-bit copies the byte.
template <int SrcBytes, int DstBytes>
void AlphaTransfer(const BlitJob& j) {
  constexpr int kAlphaByte = SrcBytes == 1 ? 0 : SrcBytes - 1;
  constexpr int kDstByte = DstBytes == 1 ? 0 : 3;
  auto row = [&](int y) {
    uint8_t* d = j.dst + j.dst_row * y;
    const uint8_t* s = j.src + j.src_rows[y];
    for (int x = 0; x < j.cols; ++x, d += j.dst_step) d[kDstByte] = s[j.src_cols[x] + kAlphaByte];
  };
  if (!BlitRowsInParallel(j)) {
    for (int y = 0; y < j.rows; ++y) row(y);
    return;
  }
#pragma omp parallel for schedule(static)
  for (int y = 0; y < j.rows; ++y) row(y);
}

constexpr bool IsAlphaRow(int row) {
  return row == 7 || row == 9 || row == 10 || row == 11 || row == 12 || row == 23 || row == 25 || row == 27;
}

// Which reader and writer a row uses for a format pair; -1: no routine.
struct Kinds {
  int src, dst;
};
constexpr Kinds PickKinds(int row, int sb, int db, bool masked, bool mapped) {
  const bool raw8 = sb == 1 && db == 1 && !mapped && row != 22;
  int sk = -1, dk = -1;
  if (row == 24) {
    sk = sb == 1 ? kSIndexRaw : -1;
  } else if (IsAlphaRow(row)) {
    if (sb == 1) sk = masked ? (raw8 ? kSIndexRaw : kSIndex) : -1;
    else sk = sb == 2 ? kSIndexAlpha : sb == 3 ? kS555Alpha : kSBgra;
  } else {
    sk = sb == 1 ? (raw8 ? kSIndexRaw : kSIndex) : sb == 2 ? kS555 : sb == 3 ? kSBgr : kSBgra;
  }
  if (row == 8) {
    dk = db == 2 ? kDIndexAlpha : db == 3 ? kD555Alpha : db == 4 ? kDBgra : -1;
  } else {
    dk = db == 1 ? (raw8 ? kDIndexRaw : kDIndex) : db == 2 ? kD555 : db == 3 ? kDBgr : kDBgra;
  }
  if (sk < 0 || dk < 0) return {-1, -1};
  return {sk, dk};
}

// The routine for one (row, source kind, destination kind), or nullptr for
// combinations no pair selects: the index-number readers only meet each other
// (mode 24 reads any 8-bit source as coverage), and the behind mode writes the
// alpha layouts only.
template <int Row, int SK, int DK, bool Masked>
BlitRoutine Make() {
  constexpr bool kRawSrc = SK == kSIndexRaw && Row != 24;
  if constexpr (kRawSrc != (DK == kDIndexRaw) && !(Row == 24 && DK == kDIndexRaw)) {
    return nullptr;
  } else if constexpr ((Row == 8 && !IsAlphaLayout(DK) && DK != kDBgra) || (Row != 8 && IsAlphaLayout(DK))) {
    return nullptr;
  } else {
    return &Routine<Row, SK, DK, Masked>;
  }
}

template <int Row, bool Masked, int SK>
BlitRoutine WithDst(int dk) {
  switch (dk) {
    case kDIndexRaw: return Make<Row, SK, kDIndexRaw, Masked>();
    case kDIndex: return Make<Row, SK, kDIndex, Masked>();
    case kD555: return Make<Row, SK, kD555, Masked>();
    case kDBgr: return Make<Row, SK, kDBgr, Masked>();
    case kDBgra: return Make<Row, SK, kDBgra, Masked>();
    case kD555Alpha: return Make<Row, SK, kD555Alpha, Masked>();
    case kDIndexAlpha: return Make<Row, SK, kDIndexAlpha, Masked>();
  }
  return nullptr;
}

template <int Row, bool Masked>
BlitRoutine WithKinds(Kinds k) {
  if (k.src < 0) return nullptr;
  if constexpr (Row == 24) {
    return k.src == kSIndexRaw ? WithDst<Row, Masked, kSIndexRaw>(k.dst) : nullptr;
  } else if constexpr (IsAlphaRow(Row)) {
    switch (k.src) {
      case kSIndexRaw: return WithDst<Row, Masked, kSIndexRaw>(k.dst);
      case kSIndex: return WithDst<Row, Masked, kSIndex>(k.dst);
      case kSIndexAlpha: return WithDst<Row, Masked, kSIndexAlpha>(k.dst);
      case kS555Alpha: return WithDst<Row, Masked, kS555Alpha>(k.dst);
      case kSBgra: return WithDst<Row, Masked, kSBgra>(k.dst);
    }
    return nullptr;
  } else {
    switch (k.src) {
      case kSIndexRaw: return WithDst<Row, Masked, kSIndexRaw>(k.dst);
      case kSIndex: return WithDst<Row, Masked, kSIndex>(k.dst);
      case kS555: return WithDst<Row, Masked, kS555>(k.dst);
      case kSBgr: return WithDst<Row, Masked, kSBgr>(k.dst);
      case kSBgra: return WithDst<Row, Masked, kSBgra>(k.dst);
    }
    return nullptr;
  }
}

BlitRoutine AlphaTransferFor(int sb, int db) {
  if (sb == 1 && db == 1) return &AlphaTransfer<1, 1>;
  if (db != 4) return nullptr;
  switch (sb) {
    case 1: return &AlphaTransfer<1, 4>;
    case 2: return &AlphaTransfer<2, 4>;
    case 3: return &AlphaTransfer<3, 4>;
    default: return &AlphaTransfer<4, 4>;
  }
}

template <int Row>
BlitRoutine MakeRoutine(int sb, int db, bool masked, bool mapped) {
  if constexpr (Row == 23) {
    return masked ? nullptr : AlphaTransferFor(sb, db);
  } else if constexpr (Row == 7 || Row == 10 || Row == 11 || Row == 12) {
    Kinds k = PickKinds(Row, sb, db, masked, mapped);
    return masked ? WithKinds<Row, true>(k) : WithKinds<Row, false>(k);
  } else {
    if (masked) return nullptr;
    return WithKinds<Row, false>(PickKinds(Row, sb, db, false, mapped));
  }
}

struct RoutineTables {
  BlitRoutine main[28][16];
  BlitRoutine main_mapped8[28];  // 8-bit to 8-bit with colour mapping on
  BlitRoutine masked[4][16];     // rows 7, 10, 11, 12
  BlitRoutine masked_mapped8[4];
};

template <int... Rows>
void FillTables(RoutineTables& t, std::integer_sequence<int, Rows...>) {
  auto fill_row = [&t](auto row_constant) {
    constexpr int Row = decltype(row_constant)::value;
    for (int pair = 0; pair < 16; ++pair) t.main[Row][pair] = MakeRoutine<Row>(pair / 4 + 1, pair % 4 + 1, false, false);
    t.main_mapped8[Row] = MakeRoutine<Row>(1, 1, false, true);
  };
  (fill_row(std::integral_constant<int, Rows>{}), ...);
}

const RoutineTables& Tables() {
  static const RoutineTables tables = [] {
    BuildBlendTables();  // routines are useless without them, whoever asks first
    RoutineTables t{};
    FillTables(t, std::make_integer_sequence<int, 28>{});
    const int masked_rows[4] = {7, 10, 11, 12};
    for (int m = 0; m < 4; ++m) {
      for (int pair = 0; pair < 16; ++pair) {
        const int sb = pair / 4 + 1, db = pair % 4 + 1;
        switch (masked_rows[m]) {
          case 7: t.masked[m][pair] = MakeRoutine<7>(sb, db, true, false); break;
          case 10: t.masked[m][pair] = MakeRoutine<10>(sb, db, true, false); break;
          case 11: t.masked[m][pair] = MakeRoutine<11>(sb, db, true, false); break;
          default: t.masked[m][pair] = MakeRoutine<12>(sb, db, true, false); break;
        }
      }
    }
    t.masked_mapped8[0] = MakeRoutine<7>(1, 1, true, true);
    t.masked_mapped8[1] = MakeRoutine<10>(1, 1, true, true);
    t.masked_mapped8[2] = MakeRoutine<11>(1, 1, true, true);
    t.masked_mapped8[3] = MakeRoutine<12>(1, 1, true, true);
    return t;
  }();
  return tables;
}

int MaskedIndex(int row) { return row == 7 ? 0 : row == 10 ? 1 : row == 11 ? 2 : row == 12 ? 3 : -1; }

}  // namespace

BlitRoutine FindScalarBlitRoutine(int row, int src_bytes, int dst_bytes, bool masked) {
  if (row < 0 || row >= 28 || src_bytes < 1 || src_bytes > 4 || dst_bytes < 1 || dst_bytes > 4) return nullptr;
  const RoutineTables& t = Tables();
  const bool mapped8 = src_bytes == 1 && dst_bytes == 1 && g_colour_mapping != 0;
  const int m = masked ? MaskedIndex(row) : -1;
  if (m >= 0) return mapped8 ? t.masked_mapped8[m] : t.masked[m][FormatPair(src_bytes, dst_bytes)];
  return mapped8 ? t.main_mapped8[row] : t.main[row][FormatPair(src_bytes, dst_bytes)];
}

BlitRoutine FindBlitRoutine(int row, int src_bytes, int dst_bytes, bool masked) {
  BlitRoutine scalar = FindScalarBlitRoutine(row, src_bytes, dst_bytes, masked);
  if (!scalar || (masked && MaskedIndex(row) >= 0)) return scalar;
  if (BlitRoutine fast = FindFastBlitRoutine(row, src_bytes, dst_bytes, g_colour_mapping != 0)) return fast;
  return scalar;
}
