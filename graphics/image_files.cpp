#include "graphics/image_files.h"

// clang-format off: jpeglib.h needs FILE and size_t declared before it.
#include <cstdio>
#include <jpeglib.h>
#include <jerror.h>
// clang-format on

#include <algorithm>
#include <bit>
#include <csetjmp>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "files/file_layer.h"
#include "platform/atomic_file.h"
#include "platform/error_box.h"
#include "platform/file_system.h"

namespace {

uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t Le32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | uint32_t{p[3]} << 24; }
void Put16(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
}
void Put32(uint8_t* p, uint32_t v) {
  Put16(p, v);
  Put16(p + 2, v >> 16);
}

struct ExpFileCloser {
  void operator()(ExpFile* f) const { CloseExpFile(f); }
};
using ExpFilePtr = std::unique_ptr<ExpFile, ExpFileCloser>;
struct PlaneFreer {
  void operator()(Plane* p) const { FreePlane(p); }
};
using PlanePtr = std::unique_ptr<Plane, PlaneFreer>;

bool ReadExact(ExpFile* f, void* buffer, uint32_t count) {
  uint32_t got = 0;
  return ReadExpFile(f, buffer, count, &got) && got == count;
}

// A zero-terminated script string, never read past the end of the arena.
std::string ScriptText(uint32_t addr) {
  const char* p = reinterpret_cast<const char*>(ToHost(addr));
  const size_t reach = static_cast<size_t>(kArenaSize - addr);
  const void* z = std::memchr(p, 0, reach);
  return std::string(p, z ? static_cast<size_t>(static_cast<const char*>(z) - p) : reach);
}

uint64_t StrideOf(uint64_t width, uint64_t bits) { return (width * bits + 31) / 32 * 4; }

// ---------------------------------------------------------------------------
// BMP reader

constexpr uint32_t kBiRgb = 0, kBiRle8 = 1, kBiRle4 = 2, kBiBitfields = 3, kBiAlphaBitfields = 6;

// One colour channel of a bit-field pixel: its mask, where it starts and its
// largest value (0 for a channel the file does not have).
struct Channel {
  uint32_t mask = 0;
  int shift = 0;
  uint32_t max = 0;
};

bool MakeChannel(uint32_t mask, int bits, Channel& c) {
  c = Channel{};
  if (!mask) return true;
  if (bits < 32 && (mask >> bits)) return false;
  c.shift = std::countr_zero(mask);
  const uint32_t v = mask >> c.shift;
  if (v & (v + 1)) return false;  // not one run of bits
  c.mask = mask;
  c.max = v;
  return true;
}

uint32_t Scale(const Channel& c, uint32_t pixel, uint32_t absent) {
  if (!c.max) return absent;
  const uint64_t v = (pixel & c.mask) >> c.shift;
  return static_cast<uint32_t>((v * 255 + c.max / 2) / c.max);
}

// Rewrites bit-field pixels in place as the plane's own format: x1r5g5b5 for
// 16 bits, blue, green, red, alpha for 32 bits (alpha 255 without an alpha mask).
bool ConvertBitfields(Plane* p, const uint32_t masks[4]) {
  Channel r, g, b, a;
  if (!MakeChannel(masks[0], p->bits, r) || !MakeChannel(masks[1], p->bits, g) ||
      !MakeChannel(masks[2], p->bits, b) || !MakeChannel(masks[3], p->bits, a))
    return false;
  for (int32_t y = 0; y < p->height; ++y) {
    uint8_t* row = PlaneRow(p, y);
    for (int32_t x = 0; x < p->width; ++x) {
      if (p->bits == 16) {
        uint8_t* px = row + 2 * x;
        const uint32_t v = Le16(px);
        Put16(px, PackRgb555(Scale(r, v, 0) << 16 | Scale(g, v, 0) << 8 | Scale(b, v, 0)));
      } else {
        uint8_t* px = row + 4 * x;
        const uint32_t v = Le32(px);
        Put32(px, Scale(a, v, 255) << 24 | Scale(r, v, 0) << 16 | Scale(g, v, 0) << 8 | Scale(b, v, 0));
      }
    }
  }
  return true;
}

// Expands run-length pixels (8 or 4 bits) into the plane. Pixels that fall
// outside the plane are dropped; data that ends before the end-of-image code
// and before the last row fails.
bool DecodeRle(Plane* p, const uint8_t* s, size_t size) {
  const uint8_t* end = s + size;
  const int bits = p->bits;
  int64_t x = 0, y = 0;  // y counts rows from the bottom
  auto put = [&](uint8_t value) {
    if (x >= p->width || y >= p->height) {
      ++x;
      return;
    }
    uint8_t* row = PlaneRow(p, p->height - 1 - static_cast<int32_t>(y));
    if (bits == 8) {
      row[x] = value;
    } else {
      uint8_t& byte = row[x / 2];
      byte = (x & 1) ? static_cast<uint8_t>((byte & 0xF0) | (value & 15)) : static_cast<uint8_t>((byte & 0x0F) | value << 4);
    }
    ++x;
  };
  while (end - s >= 2) {
    const uint8_t n = *s++, v = *s++;
    if (n) {  // a run of n pixels; 4 bits alternate the two nibbles of v
      for (int i = 0; i < n; ++i)
        put(bits == 8 ? v : (i & 1) ? v & 15 : v >> 4);
      continue;
    }
    switch (v) {
      case 0:  // end of row
        x = 0;
        ++y;
        break;
      case 1:  // end of image
        return true;
      case 2:  // move right and up
        if (end - s < 2) return false;
        x += s[0];
        y += s[1];
        s += 2;
        break;
      default: {  // v literal pixels, padded to a 16-bit boundary
        const size_t bytes = bits == 8 ? v : (v + 1u) / 2;
        const size_t padded = (bytes + 1) & ~size_t{1};
        if (size_t(end - s) < padded) return false;
        for (int i = 0; i < v; ++i)
          put(bits == 8 ? s[i] : (i & 1) ? s[i / 2] & 15 : s[i / 2] >> 4);
        s += padded;
      }
    }
  }
  return y >= p->height;
}

// The information header in the fields the reader uses.
struct BmpInfo {
  uint32_t size = 0;
  int32_t width = 0, height = 0;
  uint16_t bits = 0;
  uint32_t compression = 0, image_size = 0, colours_used = 0;
  uint32_t masks[4] = {};  // red, green, blue, alpha (bit fields only)
};

// Reads the information header (12, 40, 52, 56, 108 or 124 bytes) and, after a
// 40-byte one, the bit masks that follow it.
bool ReadBmpInfo(ExpFile* f, BmpInfo& h) {
  uint8_t b[124] = {};
  if (!ReadExact(f, b, 4)) return false;
  h.size = Le32(b);
  if (h.size == 12) {
    if (!ReadExact(f, b + 4, 8)) return false;
    h.width = Le16(b + 4);
    h.height = Le16(b + 6);
    h.bits = Le16(b + 10);
    return true;
  }
  if (h.size != 40 && h.size != 52 && h.size != 56 && h.size != 108 && h.size != 124) return false;
  if (!ReadExact(f, b + 4, h.size - 4)) return false;
  h.width = static_cast<int32_t>(Le32(b + 4));
  h.height = static_cast<int32_t>(Le32(b + 8));
  h.bits = Le16(b + 14);
  h.compression = Le32(b + 16);
  h.image_size = Le32(b + 20);
  h.colours_used = Le32(b + 32);
  if (h.compression == kBiBitfields || h.compression == kBiAlphaBitfields) {
    if (h.size == 40) {
      const uint32_t n = h.compression == kBiBitfields ? 12 : 16;
      if (!ReadExact(f, b + 40, n)) return false;
    } else if (h.size == 52 && h.compression == kBiAlphaBitfields) {
      return false;  // the alpha mask would follow; no writer does this
    }
    for (int i = 0; i < 4; ++i) h.masks[i] = Le32(b + 40 + 4 * i);
  }
  return true;
}

}  // namespace

Plane* ReadBmpFile(const char* path) {
  ExpFilePtr f(OpenExpFile(path));
  if (!f) return nullptr;
  const int32_t start = SeekExpFile(f.get(), 0, kSeekCurrent);
  const int32_t file_size = GetExpFileSize(f.get());
  if (start < 0 || file_size < 0) return nullptr;

  // The 14-byte file header is optional; without it the data starts with the
  // information header and the pixels follow the colour table.
  uint8_t head[14];
  uint32_t offset = 0;
  if (ReadExact(f.get(), head, sizeof head) && head[0] == 'B' && head[1] == 'M') {
    offset = Le32(head + 10);
  } else if (SeekExpFile(f.get(), start, kSeekSet) != start) {
    return nullptr;
  }

  BmpInfo h;
  if (!ReadBmpInfo(f.get(), h)) return nullptr;
  const int bits = h.bits;
  if (bits != 1 && bits != 4 && bits != 8 && bits != 16 && bits != 24 && bits != 32) return nullptr;
  if (h.width <= 0 || h.height == 0 || h.height == INT32_MIN) return nullptr;
  const bool top_down = h.height < 0;
  const int32_t rows = top_down ? -h.height : h.height;
  const bool rle = h.compression == kBiRle8 || h.compression == kBiRle4;
  const bool bitfields = h.compression == kBiBitfields || h.compression == kBiAlphaBitfields;
  if (h.compression != kBiRgb && !rle && !bitfields) return nullptr;
  if (rle && (top_down || bits != (h.compression == kBiRle8 ? 8 : 4))) return nullptr;
  if (bitfields && bits != 16 && bits != 32) return nullptr;

  const uint64_t stride = StrideOf(uint64_t(h.width), uint64_t(bits));
  const uint64_t full = stride * uint64_t(rows);
  // Every pixel, without the padding of the last row (which some writers leave out).
  const uint64_t needed = full - stride + (uint64_t(h.width) * uint64_t(bits) + 7) / 8;
  uint64_t image_size = h.image_size;
  if (rle) {
    if (image_size == 0) image_size = uint64_t(file_size);  // whatever follows, up to the end code
  } else if (image_size == 0 || image_size > full) {
    image_size = full;
  }
  const uint32_t format_colours = bits == 1 ? 2 : bits == 4 ? 16 : bits == 8 ? 256 : 0;
  const uint32_t colours = (h.size == 12 || h.colours_used == 0) ? format_colours : h.colours_used;
  // Above 8 bits a colour table is only a hint for palette displays and may be
  // of any length; it is skipped.
  if (colours > 256 && bits <= 8) return nullptr;

  uint32_t table[256] = {};
  const uint32_t entry = h.size == 12 ? 3 : 4;
  const uint32_t kept = std::min<uint32_t>(colours, 256);
  uint8_t raw[256 * 4];
  if (!ReadExact(f.get(), raw, kept * entry)) return nullptr;
  for (uint32_t i = 0; i < kept; ++i) table[i] = raw[i * entry] | raw[i * entry + 1] << 8 | raw[i * entry + 2] << 16;
  if (colours > kept) {
    const int32_t at = SeekExpFile(f.get(), 0, kSeekCurrent);
    const uint64_t skip = uint64_t(colours - kept) * entry;
    if (at < 0 || at + skip > uint64_t(file_size) ||
        SeekExpFile(f.get(), static_cast<int32_t>(skip), kSeekCurrent) != int64_t(at + skip))
      return nullptr;
  }

  if (offset != 0) {
    const int64_t at = int64_t{start} + offset;
    if (at > INT32_MAX || SeekExpFile(f.get(), static_cast<int32_t>(at), kSeekSet) != at) return nullptr;
  }
  // The pixels must be in the file before any memory is taken for them: a
  // file that ends before the image size is refused (unless only the last
  // row's padding is missing). An image size smaller than the pixels (some
  // writers leave out the row padding) is kept: exactly that many bytes are
  // read, and the rows they do not reach stay as the new plane holds them.
  const int32_t here = SeekExpFile(f.get(), 0, kSeekCurrent);
  if (here < 0 || here > file_size) return nullptr;
  const uint64_t declared = image_size;
  image_size = std::min(image_size, uint64_t(file_size - here));
  if (!rle && image_size < std::min(declared, needed)) return nullptr;

  // An image far larger than its data could describe is refused before its
  // plane is made: run-length data describes at most 255 pixels for every
  // two bytes of runs, plain data at most 8 pixels a byte, and a short image
  // size leaves the rest blank. Images up to a megapixel always load, however
  // much of them the data leaves to the background.
  constexpr uint64_t kPixelsPerDataByte = 128, kAlwaysAllowedPixels = uint64_t{1} << 20;
  if (uint64_t(h.width) * uint64_t(rows) > kPixelsPerDataByte * image_size + kAlwaysAllowedPixels) return nullptr;

  PlanePtr plane(CreatePlane(h.width, rows, bits));
  if (!plane) return nullptr;
  if (uint32_t* t = PlaneColourTable(plane.get())) std::copy(table, table + plane->colours, t);
  if (rle) {
    std::unique_ptr<uint8_t[]> data(new (std::nothrow) uint8_t[image_size ? image_size : 1]);
    if (!data || !ReadExact(f.get(), data.get(), static_cast<uint32_t>(image_size))) return nullptr;
    if (!DecodeRle(plane.get(), data.get(), image_size)) return nullptr;
    return plane.release();
  }
  if (!ReadExact(f.get(), PlanePixels(plane.get()), static_cast<uint32_t>(image_size))) return nullptr;
  if (top_down) {
    std::unique_ptr<uint8_t[]> swap(new (std::nothrow) uint8_t[plane->stride]);
    if (!swap) return nullptr;
    for (int32_t y = 0; y < rows / 2; ++y) {
      uint8_t* a = PlaneRow(plane.get(), y);
      uint8_t* b = PlaneRow(plane.get(), rows - 1 - y);
      std::memcpy(swap.get(), a, plane->stride);
      std::memcpy(a, b, plane->stride);
      std::memcpy(b, swap.get(), plane->stride);
    }
  }
  if (bitfields && !ConvertBitfields(plane.get(), h.masks)) return nullptr;
  return plane.release();
}

// ---------------------------------------------------------------------------
// JPEG reader

namespace {

struct JpegSource {
  jpeg_source_mgr pub;
  ExpFile* file;
  JOCTET buffer[4096];
};

struct JpegError {
  jpeg_error_mgr pub;
  std::jmp_buf jump;
};

[[noreturn]] void JpegFail(j_common_ptr cinfo) { std::longjmp(reinterpret_cast<JpegError*>(cinfo->err)->jump, 1); }
void JpegQuiet(j_common_ptr) {}
// Warnings pass silently, except the one that says the entropy data ran out:
// the decoder would fill the rest of a (possibly huge) frame with nothing.
void JpegWarning(j_common_ptr cinfo, int level) {
  if (level < 0 && (cinfo->err->msg_code == JWRN_HIT_MARKER || cinfo->err->msg_code == JWRN_JPEG_EOF)) JpegFail(cinfo);
}

void JpegInitSource(j_decompress_ptr) {}
void JpegTermSource(j_decompress_ptr) {}

// A file that ends before the image does is an error, not a grey tail.
boolean JpegFill(j_decompress_ptr cinfo) {
  auto* src = reinterpret_cast<JpegSource*>(cinfo->src);
  uint32_t got = 0;
  if (!ReadExpFile(src->file, src->buffer, sizeof src->buffer, &got) || got == 0) ERREXIT(cinfo, JERR_INPUT_EOF);
  src->pub.next_input_byte = src->buffer;
  src->pub.bytes_in_buffer = got;
  return TRUE;
}

void JpegSkip(j_decompress_ptr cinfo, long count) {
  auto* src = reinterpret_cast<JpegSource*>(cinfo->src);
  if (count <= 0) return;
  if (static_cast<unsigned long>(count) <= src->pub.bytes_in_buffer) {
    src->pub.next_input_byte += count;
    src->pub.bytes_in_buffer -= static_cast<size_t>(count);
    return;
  }
  const long rest = count - static_cast<long>(src->pub.bytes_in_buffer);
  src->pub.bytes_in_buffer = 0;
  if (rest > INT32_MAX || SeekExpFile(src->file, static_cast<int32_t>(rest), kSeekCurrent) < 0)
    ERREXIT(cinfo, JERR_INPUT_EOF);
}

// Decodes with libjpeg's error exits; nothing here may own C++ resources.
Plane* DecodeJpeg(ExpFile* file) {
  jpeg_decompress_struct cinfo;
  JpegError error;
  JpegSource source;
  Plane* volatile plane = nullptr;
  cinfo.err = jpeg_std_error(&error.pub);
  error.pub.error_exit = JpegFail;
  error.pub.output_message = JpegQuiet;
  error.pub.emit_message = JpegWarning;
  if (setjmp(error.jump)) {
    jpeg_destroy_decompress(&cinfo);
    if (plane) FreePlane(plane);
    return nullptr;
  }
  jpeg_create_decompress(&cinfo);
  source.file = file;
  source.pub.next_input_byte = nullptr;
  source.pub.bytes_in_buffer = 0;
  source.pub.init_source = JpegInitSource;
  source.pub.fill_input_buffer = JpegFill;
  source.pub.skip_input_data = JpegSkip;
  source.pub.resync_to_restart = jpeg_resync_to_restart;
  source.pub.term_source = JpegTermSource;
  cinfo.src = &source.pub;

  jpeg_read_header(&cinfo, TRUE);
  // Refuse what no plane can hold before the decoder sizes its buffers, and
  // keep those buffers (whole-image ones for progressive files) bounded.
  if (uint64_t{cinfo.image_width} * cinfo.image_height * (cinfo.num_components == 1 ? 1 : 3) > (uint64_t{1} << 31))
    ERREXIT(&cinfo, JERR_IMAGE_TOO_BIG);
  cinfo.mem->max_memory_to_use = 1L << 30;
  cinfo.dct_method = JDCT_FLOAT;
  // Colour arrives in the plane's byte order; grey stays one sample. CMYK
  // (as Adobe writes it, inverted) is turned into colour below. Colour
  // quantisation is never asked for, so an 8-bit result is always grey.
  if (cinfo.out_color_space == JCS_RGB) cinfo.out_color_space = JCS_EXT_BGR;
  jpeg_start_decompress(&cinfo);
  const bool grey = cinfo.out_color_space == JCS_GRAYSCALE && cinfo.output_components == 1;
  const bool colour = cinfo.out_color_space == JCS_EXT_BGR && cinfo.output_components == 3;
  const bool cmyk = cinfo.out_color_space == JCS_CMYK && cinfo.output_components == 4;
  if (!grey && !colour && !cmyk) ERREXIT(&cinfo, JERR_CONVERSION_NOTIMPL);
  plane = CreatePlane(static_cast<int32_t>(cinfo.output_width), static_cast<int32_t>(cinfo.output_height),
                      grey ? 8 : 24);
  if (!plane) ERREXIT(&cinfo, JERR_OUT_OF_MEMORY);
  if (grey) {
    uint32_t* table = PlaneColourTable(plane);
    for (uint32_t i = 0; i < 256; ++i) table[i] = i << 16 | i << 8 | i;
  }
  JSAMPARRAY cmyk_row =
      cmyk ? (*cinfo.mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(&cinfo), JPOOL_IMAGE, cinfo.output_width * 4, 1)
           : nullptr;
  const bool inverted = cinfo.saw_Adobe_marker;
  while (cinfo.output_scanline < cinfo.output_height) {
    uint8_t* row = PlaneRow(plane, static_cast<int32_t>(cinfo.output_scanline));
    JSAMPROW target = cmyk ? cmyk_row[0] : row;
    if (jpeg_read_scanlines(&cinfo, &target, 1) != 1) ERREXIT(&cinfo, JERR_INPUT_EOF);
    if (cmyk) {
      for (JDIMENSION x = 0; x < cinfo.output_width; ++x) {
        const uint8_t* s = cmyk_row[0] + 4 * x;
        const unsigned k = inverted ? s[3] : 255u - s[3];
        for (int c = 0; c < 3; ++c) row[3 * x + 2 - c] = static_cast<uint8_t>((inverted ? s[c] : 255u - s[c]) * k / 255);
      }
    }
  }
  // Every row is in; whatever follows the last scan is not needed.
  jpeg_destroy_decompress(&cinfo);
  return plane;
}

}  // namespace

Plane* ReadJpegFile(const char* path) {
  ExpFilePtr f(OpenExpFile(path));
  return f ? DecodeJpeg(f.get()) : nullptr;
}

Plane* LoadPlane(const char* path) {
  const size_t n = std::strlen(path);
  bool jpeg_first = n >= 4;
  for (size_t i = 0; jpeg_first && i < 4; ++i) {
    const char c = path[n - 4 + i];
    jpeg_first = (c >= 'A' && c <= 'Z' ? c + 32 : c) == ".jpg"[i];
  }
  Plane* p = jpeg_first ? ReadJpegFile(path) : ReadBmpFile(path);
  if (!p) p = jpeg_first ? ReadBmpFile(path) : ReadJpegFile(path);
  if (!p) {
    // "LoadPlane : 画像ファイルの読み込みに失敗しました。\nFile : %s"
    ShowError(1,
              "LoadPlane : \x89\xe6\x91\x9c\x83\x74\x83\x40\x83\x43\x83\x8b\x82\xcc\x93\xc7\x82\xdd\x8d\x9e\x82\xdd"
              "\x82\xc9\x8e\xb8\x94\x73\x82\xb5\x82\xdc\x82\xb5\x82\xbd\x81\x42\nFile : %s",
              path);
  }
  return p;
}

// ---------------------------------------------------------------------------
// BMP writer

namespace {

void ReportSaveFailure(bool creating, const char* path) {
  if (creating)  // "SavePlane : '%s' ファイルの作成に失敗しました。"
    ShowError(2,
              "SavePlane : '%s' \x83\x74\x83\x40\x83\x43\x83\x8b\x82\xcc\x8d\xec\x90\xac\x82\xc9\x8e\xb8\x94\x73"
              "\x82\xb5\x82\xdc\x82\xb5\x82\xbd\x81\x42",
              path);
  else  // "SavePlane : '%s' ファイルの書き込みに失敗しました。"
    ShowError(2,
              "SavePlane : '%s' \x83\x74\x83\x40\x83\x43\x83\x8b\x82\xcc\x8f\x91\x82\xab\x8d\x9e\x82\xdd\x82\xc9"
              "\x8e\xb8\x94\x73\x82\xb5\x82\xdc\x82\xb5\x82\xbd\x81\x42",
              path);
}

// Pixel x of a row of 1 or 4 bits per pixel.
unsigned SmallPixel(const uint8_t* row, int64_t x, int bits) {
  return bits == 1 ? (row[x >> 3] >> (7 - (x & 7))) & 1 : (row[x >> 1] >> ((x & 1) ? 0 : 4)) & 15;
}

}  // namespace

int SavePlane(const char* path, const Plane* p, const PlaneRect* rect) {
  PlaneRect r{0, 0, p->width, p->height};
  if (rect) {
    r.left = std::max(rect->left, 0);
    r.top = std::max(rect->top, 0);
    r.right = std::min(rect->right, p->width);
    r.bottom = std::min(rect->bottom, p->height);
  }
  if (r.left >= r.right || r.top >= r.bottom) return 0;
  const int bits = p->bits;
  const uint64_t width = uint64_t(r.right - r.left), rows = uint64_t(r.bottom - r.top);
  const uint32_t colours = p->colours;
  const uint64_t row_size = StrideOf(width, uint64_t(bits));
  const uint64_t pixel_offset = 54 + 4 * uint64_t{colours};
  const uint64_t total = pixel_offset + rows * row_size;
  if (total > UINT32_MAX) return 0;
  std::unique_ptr<uint8_t[]> file(new (std::nothrow) uint8_t[total]());
  if (!file) return 0;
  uint8_t* b = file.get();
  b[0] = 'B';
  b[1] = 'M';
  Put32(b + 2, static_cast<uint32_t>(total));
  Put32(b + 10, static_cast<uint32_t>(pixel_offset));
  Put32(b + 14, 40);
  Put32(b + 18, static_cast<uint32_t>(width));
  Put32(b + 22, static_cast<uint32_t>(rows));
  Put16(b + 26, 1);
  Put16(b + 28, static_cast<uint32_t>(bits));
  Put32(b + 34, static_cast<uint32_t>(rows * row_size));
  Put32(b + 46, colours);
  Put32(b + 50, colours);
  if (const uint32_t* table = PlaneColourTable(p))
    for (uint32_t i = 0; i < colours; ++i) Put32(b + 54 + 4 * i, table[i]);
  const uint64_t used = (width * uint64_t(bits) + 7) / 8;
  const bool byte_aligned = (int64_t{r.left} * bits) % 8 == 0;
  uint8_t* out = b + pixel_offset;
  for (int32_t y = r.bottom - 1; y >= r.top; --y, out += row_size) {
    const uint8_t* row = PlaneRow(p, y);
    if (byte_aligned) {
      std::memcpy(out, row + int64_t{r.left} * bits / 8, used);
      continue;
    }
    // A left edge inside a byte: shift the pixels to the start of the row.
    const int per_byte = 8 / bits;
    for (uint64_t i = 0; i < width; ++i) {
      const unsigned v = SmallPixel(row, r.left + int64_t(i), bits);
      out[i / per_byte] |= static_cast<uint8_t>(v << ((per_byte - 1 - int(i % per_byte)) * bits));
    }
  }

  // Written beside the target and renamed over it once complete, so a failed
  // save never leaves a damaged file under the real name.
  std::string host;
  AtomicReplace replace;
  if (!ResolveSavePath(path, false, host) || !replace.Begin(host)) {
    ReportSaveFailure(true, path);
    return 0;
  }
  if (!replace.file().Write(b, total) || !replace.Commit()) {
    ReportSaveFailure(false, path);
    return 0;
  }
  return 1;
}

// ---------------------------------------------------------------------------
// Difference images

namespace {

constexpr size_t kDiffHeader = 32;

// Every check before the stream: magic, format, a non-empty changed rectangle
// that lies inside the plane once placed at (x, y).
bool CheckDifference(const Plane* p, int32_t x, int32_t y, const uint8_t* data, size_t size) {
  if (size < kDiffHeader || std::memcmp(data, "DIFF", 4) != 0) return false;
  if (Le32(data + 12) != uint32_t(p->bits) || p->bits < 8) return false;
  const int64_t left = int32_t(Le32(data + 16)), top = int32_t(Le32(data + 20));
  const int64_t right = int32_t(Le32(data + 24)), bottom = int32_t(Le32(data + 28));
  if (left >= right || top >= bottom) return false;
  return x + left >= 0 && x + right <= p->width && y + top >= 0 && y + bottom <= p->height;
}

// Runs the stream from pixel (x, y). A copy that would leave the plane, or a
// stream that ends without its end code, stops it.
int RunDifference(Plane* p, int32_t x, int32_t y, const uint8_t* data, size_t size) {
  const uint8_t* s = data + kDiffHeader;
  const uint8_t* end = data + size;
  const int bpp = p->bits / 8;
  int64_t cx = x, cy = y;
  while (s < end) {
    const uint8_t n = *s++;
    if (n) {
      cx += n;
      continue;
    }
    if (s == end) break;
    const uint8_t m = *s++;
    if (m == 0) {
      cx = x;
      ++cy;
    } else if (m == 1) {
      return 1;
    } else {
      const size_t count = m - 1u, bytes = count * size_t(bpp);
      if (size_t(end - s) < bytes || cy >= p->height || cx + int64_t(count) > p->width) return 0;
      std::memcpy(PixelAddress(p, static_cast<int32_t>(cx), static_cast<int32_t>(cy)), s, bytes);
      s += bytes;
      cx += int64_t(count);
    }
  }
  return 0;
}

void CopyChangedRect(uint32_t rect, const uint8_t* data) {
  if (rect && InArena(rect, 16)) std::memcpy(ToHost(rect), data + 16, 16);
}

}  // namespace

int ApplyDifference(Plane* plane, int32_t x, int32_t y, const uint8_t* data, size_t size) {
  if (!plane || x < 0 || y < 0 || !CheckDifference(plane, x, y, data, size)) return 0;
  return RunDifference(plane, x, y, data, size);
}

// ---------------------------------------------------------------------------
// Builtins

uint32_t builtin_gload(BuiltinArgs args) {
  uint32_t slot;
  if (!ChooseTargetSlot(args.u(0), slot)) return 0;
  const std::string path = ScriptText(args.u(1));
  Plane* p = LoadPlane(path.c_str());
  if (!p) return 0;
  SetPlaneAt(slot, p);
  return 1;
}

uint32_t builtin_gsave(BuiltinArgs args) {
  const uint32_t path = args.u(0), rect = args.u(2);
  const Plane* p = PlaneAt(args.u(1));
  if (!path || !p) return 0;
  PlaneRect r;
  if (rect) {
    if (!InArena(rect, sizeof r)) return 0;
    std::memcpy(&r, ToHost(rect), sizeof r);
  }
  return static_cast<uint32_t>(SavePlane(ScriptText(path).c_str(), p, rect ? &r : nullptr));
}

uint32_t builtin_dload(BuiltinArgs args) {
  Plane* p = PlaneAt(args.u(0));
  const int32_t x = args.i(1), y = args.i(2);
  const uint32_t path = args.u(3), rect = args.u(4);
  if (!path || !p || x < 0 || y < 0) return 0;
  ExpFilePtr f(OpenExpFile(ScriptText(path).c_str()));
  if (!f) return 0;
  const int32_t size = GetExpFileSize(f.get());
  if (size < 0) return 0;
  std::unique_ptr<uint8_t[]> data(new (std::nothrow) uint8_t[size ? size : 1]);
  if (!data || !ReadExact(f.get(), data.get(), static_cast<uint32_t>(size))) return 0;
  f.reset();
  if (size_t(size) >= kDiffHeader) CopyChangedRect(rect, data.get());
  return static_cast<uint32_t>(ApplyDifference(p, x, y, data.get(), size_t(size)));
}

uint32_t builtin_dcopy(BuiltinArgs args) {
  Plane* p = PlaneAt(args.u(0));
  const int32_t x = args.i(1), y = args.i(2);
  const uint32_t image = args.u(3), rect = args.u(4);
  if (!image || !p || x < 0 || y < 0) return 0;
  // The image is read no further than the end of script memory.
  const uint8_t* data = ToHost(image);
  const size_t reach = static_cast<size_t>((uint64_t{1} << 32) - image);
  if (!CheckDifference(p, x, y, data, reach)) return 0;
  CopyChangedRect(rect, data);
  return static_cast<uint32_t>(RunDifference(p, x, y, data, reach));
}
