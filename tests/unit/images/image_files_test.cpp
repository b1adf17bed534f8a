// Image files: the BMP variants that game folders hold, JPEG through libjpeg,
// the exact layout of the BMP writer, and difference images.
#include <cstdio>
#include <jpeglib.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "../files/temp_dir.h"
#include "../graphics/graphics_fixture.h"
#include "files/archive.h"
#include "graphics/image_files.h"
#include "graphics/plane_builtins.h"
#include "platform/file_system.h"

namespace {

// Little-endian byte strings for the fixtures.
struct Bytes {
  std::string s;
  Bytes& u8(uint32_t v) {
    s.push_back(static_cast<char>(v));
    return *this;
  }
  Bytes& u16(uint32_t v) { return u8(v).u8(v >> 8); }
  Bytes& u32(uint32_t v) { return u16(v).u16(v >> 16); }
  Bytes& raw(std::string_view t) {
    s.append(t);
    return *this;
  }
  Bytes& zeros(size_t n) {
    s.append(n, '\0');
    return *this;
  }
  operator std::string() const { return s; }
};

std::string FileHeader(uint32_t offset) { return Bytes().raw("BM").u32(0).u32(0).u32(offset); }
std::string Info40(int32_t w, int32_t h, int bits, uint32_t compression = 0, uint32_t image = 0,
                   uint32_t colours = 0) {
  return Bytes().u32(40).u32(w).u32(h).u16(1).u16(bits).u32(compression).u32(image).u32(0).u32(0).u32(colours).u32(0);
}
std::string Info12(int w, int h, int bits) { return Bytes().u32(12).u16(w).u16(h).u16(1).u16(bits); }
// n entries of 3 or 4 bytes; entry i is blue i, green 255 - i, red 0x40.
std::string Table(int n, int entry) {
  Bytes b;
  for (int i = 0; i < n; ++i) {
    b.u8(i).u8(255 - i).u8(0x40);
    if (entry == 4) b.u8(0);
  }
  return b;
}
constexpr uint32_t TableColour(int i) { return 0x400000u | uint32_t(255 - i) << 8 | uint32_t(i); }
// A 124-byte header with bit masks (red, green, blue, alpha) at its offset 40.
std::string Info124(int32_t w, int32_t h, int bits, uint32_t r, uint32_t g, uint32_t b, uint32_t a) {
  std::string head = Info40(w, h, bits, 3);
  head[0] = 124;
  return Bytes().raw(head).u32(r).u32(g).u32(b).u32(a).zeros(124 - 56);
}

// A 2 x 2 24-bit picture: top row red, 0x123456; bottom row blue, green.
std::string Rows24() {
  return Bytes().raw(std::string("\xFF\x00\x00\x00\xFF\x00\0\0", 8)).raw(std::string("\x00\x00\xFF\x56\x34\x12\0\0", 8));
}
std::string Bmp24() { return FileHeader(54) + Info40(2, 2, 24) + Rows24(); }

std::string CompressJpeg(int w, int h, int components, const std::vector<uint8_t>& samples, bool progressive = false) {
  jpeg_compress_struct c;
  jpeg_error_mgr e;
  c.err = jpeg_std_error(&e);
  jpeg_create_compress(&c);
  unsigned char* out = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&c, &out, &size);
  c.image_width = w;
  c.image_height = h;
  c.input_components = components;
  c.in_color_space = components == 1 ? JCS_GRAYSCALE : components == 3 ? JCS_RGB : JCS_CMYK;
  jpeg_set_defaults(&c);
  jpeg_set_quality(&c, 100, TRUE);
  if (progressive) jpeg_simple_progression(&c);
  jpeg_start_compress(&c, TRUE);
  for (int y = 0; y < h; ++y) {
    JSAMPROW row = const_cast<uint8_t*>(&samples[size_t(y) * w * components]);
    jpeg_write_scanlines(&c, &row, 1);
  }
  jpeg_finish_compress(&c);
  std::string bytes(reinterpret_cast<char*>(out), size);
  std::free(out);
  jpeg_destroy_compress(&c);
  return bytes;
}

// A 16 x 16 grey ramp: sample (x, y) = 15x + y.
std::string GreyJpeg(bool progressive = false) {
  std::vector<uint8_t> s(256);
  for (int y = 0; y < 16; ++y)
    for (int x = 0; x < 16; ++x) s[y * 16 + x] = static_cast<uint8_t>(15 * x + y);
  return CompressJpeg(16, 16, 1, s, progressive);
}

// The same file claiming another size in its frame header.
std::string Resized(std::string jpeg, uint16_t w, uint16_t h) {
  for (size_t i = 0; i + 9 < jpeg.size(); ++i) {
    if (uint8_t(jpeg[i]) == 0xFF && (uint8_t(jpeg[i + 1]) == 0xC0 || uint8_t(jpeg[i + 1]) == 0xC2)) {
      jpeg[i + 5] = char(h >> 8);
      jpeg[i + 6] = char(h);
      jpeg[i + 7] = char(w >> 8);
      jpeg[i + 8] = char(w);
      return jpeg;
    }
  }
  ADD_FAILURE() << "no frame header";
  return jpeg;
}
// 8 x 8 of one colour (red, green, blue samples).
std::string ColourJpeg(uint8_t r, uint8_t g, uint8_t b) {
  std::vector<uint8_t> s;
  for (int i = 0; i < 64; ++i) s.insert(s.end(), {r, g, b});
  return CompressJpeg(8, 8, 3, s);
}

std::vector<std::string> g_boxes;

// "LoadPlane : 画像ファイルの読み込みに失敗しました。\nFile : "
const std::string kLoadFailed =
    "LoadPlane : \x89\xe6\x91\x9c\x83\x74\x83\x40\x83\x43\x83\x8b\x82\xcc\x93\xc7\x82\xdd\x8d\x9e\x82\xdd"
    "\x82\xc9\x8e\xb8\x94\x73\x82\xb5\x82\xdc\x82\xb5\x82\xbd\x81\x42\nFile : ";
// "ファイルの作成に失敗しました。"
const std::string kCreateFailed =
    "\x83\x74\x83\x40\x83\x43\x83\x8b\x82\xcc\x8d\xec\x90\xac\x82\xc9\x8e\xb8\x94\x73\x82\xb5\x82\xdc\x82\xb5"
    "\x82\xbd\x81\x42";

constexpr uint32_t kSlot = 5;

class ImageTest : public GraphicsTest {
 protected:
  void SetUp() override {
    GraphicsTest::SetUp();
    g_boxes.clear();
    SetErrorLevel(2);
    SetErrorBoxBackend([](std::string_view, std::string_view text) { g_boxes.emplace_back(text); });
  }
  void TearDown() override {
    SetErrorBoxBackend(nullptr);
    GraphicsTest::TearDown();
  }

  // Puts a string into script memory and returns its address.
  uint32_t Text(const std::string& s, uint32_t offset = 1024) {
    std::memcpy(ToHost(Buffer(offset)), s.c_str(), s.size() + 1);
    return Buffer(offset);
  }
  uint32_t Gload(uint32_t target, const std::string& path) { return Call(builtin_gload, {target, Text(path)}); }
  uint32_t Pixel(uint32_t slot, int x, int y) { return Call(builtin_getpixel, {slot, uint32_t(x), uint32_t(y)}); }
  std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  TempDir dir;
};

struct Px {
  int x, y;
  uint32_t rgb;  // as getpixel reads it
};

struct BmpCase {
  const char* name;
  const char* file;
  std::string bytes;
  int width, height, bits;
  std::vector<Px> pixels;
};

TEST_F(ImageTest, BmpVariantsLoad) {
  const std::vector<BmpCase> cases = {
      {"24-bit bottom-up rows with padding", "a.bmp", Bmp24(), 2, 2, 24,
       {{0, 0, 0xFF0000}, {1, 0, 0x123456}, {0, 1, 0x0000FF}, {1, 1, 0x00FF00}}},
      {"no file header, 8 bits, default colour count", "b.bmp", Info40(2, 1, 8) + Table(256, 4) + std::string("\x05\xFA\0\0", 4), 2,
       1, 8, {{0, 0, TableColour(5)}, {1, 0, TableColour(250)}}},
      {"12-byte header with a 3-byte 8-bit table", "c.bmp",
       FileHeader(14 + 12 + 768) + Info12(3, 1, 8) + Table(256, 3) + std::string("\x01\x02\xFF\0", 4), 3, 1, 8,
       {{0, 0, TableColour(1)}, {1, 0, TableColour(2)}, {2, 0, TableColour(255)}}},
      {"12-byte header, 1 bit, no file header", "d.bmp",
       Info12(9, 1, 1) + Table(2, 3) + std::string("\x80\x80\0\0", 4), 9, 1, 1,
       {{0, 0, TableColour(1)}, {1, 0, TableColour(0)}, {8, 0, TableColour(1)}}},
      {"upper-case .JPG holding a BMP", "photo.JPG", Bmp24(), 2, 2, 24, {{1, 0, 0x123456}}},
      {"image size beyond the pixels taken as the real size", "e.bmp",
       FileHeader(54) + Info40(2, 2, 24, 0, 0xFFFFFFFF) + Rows24(), 2, 2, 24, {{1, 1, 0x00FF00}}},
      // an image size below height x stride is kept: its bytes fill the plane
      // in order, and rows beyond them stay as the plane was made
      {"image size without row padding, read as it stands", "p.bmp",
       FileHeader(54) + Info40(2, 2, 24, 0, 12) + std::string("\xFF\x00\x00\x00\xFF\x00\x00\x00\xFF\x56\x34\x12", 12),
       2, 2, 24, {{0, 1, 0x0000FF}, {1, 1, 0x00FF00}, {0, 0, 0x3456FF}, {1, 0, 0x000012}}},
      {"image size of one row in a tall picture", "q.bmp",
       Info40(1, 1000, 8, 0, 4) + Table(256, 4) + std::string("\x05\0\0\0", 4), 1, 1000, 8,
       {{0, 999, TableColour(5)}, {0, 998, TableColour(0)}, {0, 0, TableColour(0)}}},
      {"last row without its padding", "o.bmp", Bmp24().substr(0, Bmp24().size() - 2), 2, 2, 24,
       {{0, 0, 0xFF0000}, {1, 0, 0x123456}}},
      {"pixel offset past a gap, colours used 2", "f.bmp",
       FileHeader(14 + 40 + 8 + 6) + Info40(9, 1, 1, 0, 0, 2) + Table(2, 4) + std::string(6, 'x') +
           std::string("\x40\x00\0\0", 4),
       9, 1, 1, {{0, 0, TableColour(0)}, {1, 0, TableColour(1)}, {8, 0, TableColour(0)}}},
      {"fewer colours than the format: the rest are black", "g.bmp",
       Info40(2, 1, 8, 0, 0, 1) + Table(1, 4) + std::string("\x00\x07\0\0", 4), 2, 1, 8,
       {{0, 0, TableColour(0)}, {1, 0, 0}}},
      {"a long colour table before 24-bit pixels is skipped", "n.bmp",
       Info40(1, 1, 24, 0, 0, 300) + Table(256, 4) + Table(44, 4) + std::string("\x01\x02\x03\0", 4), 1, 1, 24,
       {{0, 0, 0x030201}}},
      {"top-down (negative height)", "h.bmp",
       Info40(1, -2, 24) + std::string("\x00\x00\xFF\0\xFF\x00\x00\0", 8), 1, 2, 24,
       {{0, 0, 0xFF0000}, {0, 1, 0x0000FF}}},
      {"16-bit bit fields 5-6-5", "i.bmp",
       Info40(3, 1, 16, 3) + Bytes().u32(0xF800).u32(0x07E0).u32(0x001F).u16(0xF800).u16(0x07E0).u16(0x0010).u16(0).s,
       3, 1, 16, {{0, 0, 0xFF0000}, {1, 0, 0x00FF00}, {2, 0, 0x000084}}},
      {"32-bit bit fields in red, green, blue byte order", "j.bmp",
       Info40(1, 1, 32, 3) + Bytes().u32(0x0000FF).u32(0x00FF00).u32(0xFF0000).u32(0x332211).s, 1, 1, 32,
       {{0, 0, 0x112233}}},
      {"124-byte header with an alpha mask", "k.bmp",
       FileHeader(14 + 124) + Info124(1, 1, 32, 0xFF0000, 0xFF00, 0xFF, 0xFF000000) + "\x33\x22\x11\x80", 1, 1, 32,
       {{0, 0, 0x112233}}},
      {"run-length 8 bits: run, move, end of row, literal, end", "l.bmp",
       Info40(4, 2, 8, 1, 18) + Table(256, 4) +
           std::string("\x02\x07\x00\x02\x01\x00\x01\x09\x00\x00" "\x00\x03\x01\x02\x03\x00" "\x00\x01", 18),
       4, 2, 8,
       {{0, 1, TableColour(7)}, {1, 1, TableColour(7)}, {2, 1, TableColour(0)}, {3, 1, TableColour(9)},
        {0, 0, TableColour(1)}, {2, 0, TableColour(3)}, {3, 0, TableColour(0)}}},
      {"run-length 4 bits, a run past the right edge is cut", "m.bmp",
       Info40(3, 1, 4, 2, 4) + Table(16, 4) + std::string("\x04\x12\x00\x01", 4), 3, 1, 4,
       {{0, 0, TableColour(1)}, {1, 0, TableColour(2)}, {2, 0, TableColour(1)}}},
  };
  for (const BmpCase& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(Gload(kSlot, dir.Write(c.file, c.bytes)), 1u);
    const Plane* p = PlaneAt(kSlot);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->width, c.width);
    EXPECT_EQ(p->height, c.height);
    EXPECT_EQ(p->bits, c.bits);
    for (const Px& px : c.pixels) EXPECT_EQ(Pixel(kSlot, px.x, px.y), px.rgb) << px.x << "," << px.y;
  }
  EXPECT_TRUE(g_boxes.empty());
}

TEST_F(ImageTest, BitFieldAlphaIsKeptOrOpaque) {
  ASSERT_EQ(Gload(kSlot, dir.Write("a.bmp", FileHeader(14 + 124) +
                                                Info124(1, 1, 32, 0xFF0000, 0xFF00, 0xFF, 0xFF000000) +
                                                "\x33\x22\x11\x80")),
            1u);
  EXPECT_EQ(PixelAddress(PlaneAt(kSlot), 0, 0)[3], 0x80);
  ASSERT_EQ(Gload(kSlot, dir.Write("b.bmp", Info40(1, 1, 32, 3) + Bytes().u32(0xFF).u32(0xFF00).u32(0xFF0000).u32(0).s)),
            1u);
  EXPECT_EQ(PixelAddress(PlaneAt(kSlot), 0, 0)[3], 0xFF);
  // Plain 32-bit pixels keep their fourth byte as it is.
  ASSERT_EQ(Gload(kSlot, dir.Write("c.bmp", Info40(1, 1, 32) + "\x01\x02\x03\x04")), 1u);
  EXPECT_EQ(PixelAddress(PlaneAt(kSlot), 0, 0)[3], 0x04);
}

TEST_F(ImageTest, DamagedBmpFilesAreRefused) {
  const std::string table8 = Table(256, 4);
  const std::vector<std::pair<const char*, std::string>> cases = {
      {"empty file", ""},
      {"file header only", FileHeader(54)},
      {"pixels cut short", Bmp24().substr(0, Bmp24().size() - 3)},
      {"pixels cut short of a small image size", Info40(2, 2, 24, 0, 12) + std::string(11, '\0')},
      {"colour table cut short", (FileHeader(14 + 12 + 768) + Info12(3, 1, 8) + Table(256, 3)).substr(0, 14 + 12 + 100)},
      {"unknown header size", Bytes().u32(64).u32(1).u32(1).u16(1).u16(24).zeros(64 - 16).raw("\0\0\0\0").s},
      {"7 bits per pixel", Info40(1, 1, 7) + std::string(4, '\0')},
      {"width 0", Info40(0, 1, 24) + std::string(4, '\0')},
      {"height 0", Info40(1, 0, 24) + std::string(4, '\0')},
      {"negative width", Info40(-1, 1, 24) + std::string(4, '\0')},
      {"embedded JPEG compression", Info40(1, 1, 24, 4) + std::string(4, '\0')},
      {"more than 256 colours on 8 bits", Info40(1, 1, 8, 0, 0, 300) + Table(256, 4) + Table(44, 4) + std::string(4, '\0')},
      {"pixel offset past the end", FileHeader(4000) + Info40(1, 1, 24) + std::string(4, '\0')},
      {"huge size, few bytes", Info40(20000, 20000, 8) + table8 + std::string(64, '\0')},
      {"colour table longer than the file", Info40(1, 1, 24, 0, 0, 0x40000000) + std::string(64, '\0')},
      {"bit fields on 24 bits", Info40(1, 1, 24, 3) + Bytes().u32(0xFF0000).u32(0xFF00).u32(0xFF).zeros(4).s},
      {"bit fields with a broken mask", Info40(1, 1, 16, 3) + Bytes().u32(0xF0F0).u32(0x0F00).u32(0x000F).zeros(4).s},
      {"bit fields wider than the pixel", Info40(1, 1, 16, 3) + Bytes().u32(0x1F0000).u32(0x07E0).u32(0x1F).zeros(4).s},
      {"bit fields cut short", Info40(1, 1, 32, 3) + Bytes().u32(0xFF0000).s},
      {"run-length top-down", Info40(1, -1, 8, 1, 2) + table8 + std::string("\x00\x01", 2)},
      {"run-length on 24 bits", Info40(1, 1, 24, 1, 2) + std::string("\x00\x01", 2)},
      {"run-length without its end", Info40(2, 2, 8, 1, 4) + table8 + std::string("\x02\x07\x00\x00", 4)},
      {"run-length literal cut short", Info40(4, 1, 8, 1, 4) + table8 + std::string("\x00\x04\x01\x02", 4)},
      {"run-length far larger than its data", Info40(4, 150994946, 4, 2) + Table(16, 4) + std::string("\x00\x01", 2)},
      {"short image size under a huge plane", Info40(20000, 20000, 24, 0, 4) + std::string(4, '\0')},
  };
  for (const auto& [name, bytes] : cases) {
    SCOPED_TRACE(name);
    ASSERT_EQ(Call(builtin_galloc, {kSlot, 2, 2, 8}), 1u);
    g_boxes.clear();
    const std::string path = dir.Write("bad.bmp", bytes);
    EXPECT_EQ(Gload(kSlot, path), 0u);
    EXPECT_EQ(PlaneAt(kSlot), nullptr);  // the old plane went, whatever the outcome
    ASSERT_EQ(g_boxes.size(), 1u);
    EXPECT_EQ(g_boxes[0], kLoadFailed + path);
  }
}

TEST_F(ImageTest, GloadWithAnOutAddressTakesTheHighestFreeSlot) {
  const std::string path = dir.Write("a.bmp", Bmp24());
  ASSERT_EQ(Call(builtin_galloc, {1023, 1, 1, 8}), 1u);
  const uint32_t out = Buffer(0);
  EXPECT_EQ(Gload(out, path), 1u);
  EXPECT_EQ(Word(out), 1022u);
  EXPECT_EQ(PlaneAt(1022)->width, 2);
  // A missing file leaves the chosen slot empty; the number is still stored.
  EXPECT_EQ(Gload(out, dir / "missing.bmp"), 0u);
  EXPECT_EQ(Word(out), 1021u);
  EXPECT_EQ(PlaneAt(1021), nullptr);
  for (uint32_t n = 1; n < 1021; ++n) ASSERT_EQ(Call(builtin_galloc, {n, 1, 1, 8}), 1u);
  EXPECT_EQ(Gload(out, path), 1u);
  EXPECT_EQ(Word(out), 1021u);
  EXPECT_EQ(Gload(out, path), 0u);
  EXPECT_EQ(Word(out), 0xFFFFFFFFu);
}

TEST_F(ImageTest, GreyJpegGivesAnEightBitPlaneWithTheGreyRamp) {
  // Named .bmp, it still loads: the JPEG reader comes second.
  for (const char* name : {"grey.jpg", "grey.bmp"}) {
    SCOPED_TRACE(name);
    ASSERT_EQ(Gload(kSlot, dir.Write(name, GreyJpeg())), 1u);
    const Plane* p = PlaneAt(kSlot);
    ASSERT_EQ(p->bits, 8);
    EXPECT_EQ(p->width, 16);
    EXPECT_EQ(p->height, 16);
    const uint32_t* table = PlaneColourTable(p);
    for (uint32_t i = 0; i < 256; ++i) ASSERT_EQ(table[i], i * 0x010101u) << i;
    for (int y = 0; y < 16; ++y)
      for (int x = 0; x < 16; ++x) EXPECT_NEAR(*PixelAddress(p, x, y), 15 * x + y, 3) << x << "," << y;
  }
}

TEST_F(ImageTest, ColourJpegGivesTwentyFourBitsInBlueGreenRedOrder) {
  ASSERT_EQ(Gload(kSlot, dir.Write("c.JPG", ColourJpeg(250, 128, 10))), 1u);
  const Plane* p = PlaneAt(kSlot);
  ASSERT_EQ(p->bits, 24);
  ASSERT_EQ(p->width, 8);
  const uint8_t* px = PixelAddress(p, 7, 7);
  EXPECT_NEAR(px[0], 10, 3);
  EXPECT_NEAR(px[1], 128, 3);
  EXPECT_NEAR(px[2], 250, 3);
  // CMYK as Adobe stores it (inverted: 255 is no ink): full magenta and yellow make red.
  std::vector<uint8_t> ink;
  for (int i = 0; i < 64; ++i) ink.insert(ink.end(), {255, 0, 0, 255});
  ASSERT_EQ(Gload(kSlot, dir.Write("cmyk.jpg", CompressJpeg(8, 8, 4, ink))), 1u);
  ASSERT_EQ(PlaneAt(kSlot)->bits, 24);
  px = PixelAddress(PlaneAt(kSlot), 3, 3);
  EXPECT_NEAR(px[0], 0, 3);
  EXPECT_NEAR(px[1], 0, 3);
  EXPECT_NEAR(px[2], 255, 3);
}

TEST_F(ImageTest, DamagedJpegFilesAreRefused) {
  const std::string jpeg = ColourJpeg(1, 2, 3);
  // Frames larger than their data: the progressive one would need whole-image
  // buffers of gigabytes, the others would be filled with nothing.
  for (const std::string& bytes : {jpeg.substr(0, jpeg.size() / 2), jpeg.substr(0, 20), std::string("\xFF\xD8\xFF\xD9"),
                                   Resized(GreyJpeg(true), 40000, 40000), Resized(jpeg, 60000, 60000),
                                   Resized(GreyJpeg(), 4000, 4000)}) {
    const std::string path = dir.Write("bad.jpg", bytes);
    g_boxes.clear();
    EXPECT_EQ(Gload(kSlot, path), 0u);
    EXPECT_EQ(PlaneAt(kSlot), nullptr);
    EXPECT_EQ(g_boxes, std::vector<std::string>{kLoadFailed + path});
  }
}

TEST_F(ImageTest, ImagesLoadFromArchiveMembers) {
  const std::vector<std::string> names = {"a.bmp", "b.jpg", "c.bmp"};
  const std::vector<std::string> data = {Bmp24(), GreyJpeg(), Info12(9, 1, 1) + Table(2, 3) + std::string("\x80\x80\0\0", 4)};
  HostFile out = CreateHostFileForWrite(dir / "pack.bin");
  std::string error;
  ASSERT_TRUE(WriteArchive(out, names, 3,
                           [&](size_t i, HostFile& f, std::string&) { return f.Write(data[i].data(), data[i].size()); },
                           error))
      << error;
  ASSERT_TRUE(out.Close());
  ASSERT_EQ(Gload(kSlot, dir / "pack/a.bmp"), 1u);
  EXPECT_EQ(Pixel(kSlot, 1, 0), 0x123456u);
  ASSERT_EQ(Gload(kSlot, dir / "pack/b.jpg"), 1u);
  EXPECT_EQ(PlaneAt(kSlot)->bits, 8);
  EXPECT_NEAR(*PixelAddress(PlaneAt(kSlot), 15, 15), 240, 3);
  ASSERT_EQ(Gload(kSlot, dir / "pack/c.bmp"), 1u);
  EXPECT_EQ(Pixel(kSlot, 8, 0), TableColour(1));
}

// Fills every pixel byte of a plane from (x, y, byte index).
void Pattern(Plane* p) {
  const int bpp = p->bits / 8;
  for (int y = 0; y < p->height; ++y)
    for (int x = 0; x < p->width; ++x)
      for (int b = 0; b < bpp; ++b) PixelAddress(p, x, y)[b] = static_cast<uint8_t>(16 * x + y + 0x40 * b);
}

TEST_F(ImageTest, GsaveOfA24BitThreeByTwoRectangleIs78Bytes) {
  ASSERT_EQ(Call(builtin_galloc, {kSlot, 5, 4, 24}), 1u);
  Pattern(PlaneAt(kSlot));
  const std::string path = dir / "shot.bmp";
  SetWords(Buffer(0), {1, 1, 4, 3});
  ASSERT_EQ(Call(builtin_gsave, {Text(path), kSlot, Buffer(0)}), 1u);
  Bytes want;
  want.raw("BM").u32(78).u32(0).u32(54);
  want.u32(40).u32(3).u32(2).u16(1).u16(24).u32(0).u32(24).u32(0).u32(0).u32(0).u32(0);
  for (int y : {2, 1}) {  // bottom row first
    for (int x = 1; x < 4; ++x) want.u8(16 * x + y).u8(16 * x + y + 0x40).u8(16 * x + y + 0x80);
    want.zeros(3);
  }
  EXPECT_EQ(ReadFile(path), want.s);
  EXPECT_FALSE(std::filesystem::exists(path + ".tmp"));
}

TEST_F(ImageTest, GsaveWritesTheColourTableAndLoadsBack) {
  ASSERT_EQ(Call(builtin_galloc, {kSlot, 3, 2, 8}), 1u);
  Plane* p = PlaneAt(kSlot);
  Pattern(p);
  PlaneColourTable(p)[0x11] = 0xABCDEF;
  const std::string path = dir.Write("pal.bmp", "an older file, replaced");
  ASSERT_EQ(Call(builtin_gsave, {Text(path), kSlot, 0}), 1u);
  const std::string file = ReadFile(path);
  ASSERT_EQ(file.size(), 54u + 1024 + 2 * 4);
  EXPECT_EQ(file.substr(10, 4), std::string("\x36\x04\0\0", 4));        // pixels at 54 + 1024
  EXPECT_EQ(file.substr(46, 8), std::string("\0\x01\0\0\0\x01\0\0", 8));  // 256 colours used, important
  EXPECT_EQ(file.substr(54 + 4 * 0x11, 4), std::string("\xEF\xCD\xAB\0", 4));
  ASSERT_EQ(Gload(7, path), 1u);
  const Plane* q = PlaneAt(7);
  ASSERT_EQ(q->bits, 8);
  for (int y = 0; y < 2; ++y)
    for (int x = 0; x < 3; ++x) EXPECT_EQ(Pixel(7, x, y), Pixel(kSlot, x, y)) << x << "," << y;
  EXPECT_EQ(PlaneColourTable(q)[0x11], 0xABCDEFu);
}

TEST_F(ImageTest, GsaveShiftsSubBytePixelsToTheRectangleEdge) {
  // 1 bit: pixels 3..11 of 10110011 10001111 are 100111000.
  ASSERT_EQ(Call(builtin_galloc, {kSlot, 16, 1, 1}), 1u);
  PlaneRow(PlaneAt(kSlot), 0)[0] = 0xB3;
  PlaneRow(PlaneAt(kSlot), 0)[1] = 0x8F;
  SetWords(Buffer(0), {3, 0, 12, 1});
  const std::string one = dir / "one.bmp";
  ASSERT_EQ(Call(builtin_gsave, {Text(one), kSlot, Buffer(0)}), 1u);
  EXPECT_EQ(ReadFile(one).substr(62), std::string("\x9C\x00\0\0", 4));
  // 4 bits: pixels 1..3 of 0x12 0x34 are 2, 3, 4.
  ASSERT_EQ(Call(builtin_galloc, {kSlot, 4, 1, 4}), 1u);
  PlaneRow(PlaneAt(kSlot), 0)[0] = 0x12;
  PlaneRow(PlaneAt(kSlot), 0)[1] = 0x34;
  SetWords(Buffer(0), {1, 0, 4, 1});
  const std::string four = dir / "four.bmp";
  ASSERT_EQ(Call(builtin_gsave, {Text(four), kSlot, Buffer(0)}), 1u);
  EXPECT_EQ(ReadFile(four).substr(54 + 64), std::string("\x23\x40\0\0", 4));
}

TEST_F(ImageTest, GsaveRefusals) {
  ASSERT_EQ(Call(builtin_galloc, {kSlot, 4, 4, 24}), 1u);
  const std::string path = dir / "x.bmp";
  SetWords(Buffer(0), {4, 0, 8, 4});    // right of the plane
  SetWords(Buffer(16), {3, 3, 1, 1});   // inverted
  EXPECT_EQ(Call(builtin_gsave, {0, kSlot, 0}), 0u);
  EXPECT_EQ(Call(builtin_gsave, {Text(path), 1024, 0}), 0u);
  EXPECT_EQ(Call(builtin_gsave, {Text(path), 6, 0}), 0u);
  EXPECT_EQ(Call(builtin_gsave, {Text(path), kSlot, Buffer(0)}), 0u);
  EXPECT_EQ(Call(builtin_gsave, {Text(path), kSlot, Buffer(16)}), 0u);
  EXPECT_FALSE(std::filesystem::exists(path));
  EXPECT_TRUE(g_boxes.empty());
  // A folder that does not exist.
  const std::string nowhere = dir / "no/such/x.bmp";
  EXPECT_EQ(Call(builtin_gsave, {Text(nowhere), kSlot, 0}), 0u);
  EXPECT_EQ(g_boxes, std::vector<std::string>{"SavePlane : '" + nowhere + "' " + kCreateFailed});
  // A rectangle partly outside is cut to the plane.
  SetWords(Buffer(0), {-2u, 2, 2, 9});
  ASSERT_EQ(Call(builtin_gsave, {Text(path), kSlot, Buffer(0)}), 1u);
  EXPECT_EQ(ReadFile(path).size(), 54u + 2 * 8);
}

// A difference image: header and run stream.
std::string Diff(uint32_t bits, int32_t l, int32_t t, int32_t r, int32_t b, std::string_view stream,
                 std::string_view magic = "DIFF") {
  return Bytes().raw(magic).zeros(8).u32(bits).u32(l).u32(t).u32(r).u32(b).raw(stream);
}

struct DiffCase {
  const char* name;
  int bits;
  int32_t x, y;
  std::string image;
  uint32_t result;
  std::vector<std::pair<Px, std::string>> writes;  // pixel and the bytes it then holds
};

TEST_F(ImageTest, DifferenceStreams) {
  using S = std::string;
  const std::vector<DiffCase> cases = {
      {"two pixels", 8, 1, 1, Diff(8, 0, 0, 2, 1, S("\x00\x03\x11\x22\x00\x01", 6)), 1,
       {{{1, 1, 0}, "\x11"}, {{2, 1, 0}, "\x22"}}},
      {"skip and next row", 8, 0, 0, Diff(8, 0, 0, 4, 2, S("\x02\x00\x02\x33\x00\x00\x01\x00\x02\x44\x00\x01", 12)), 1,
       {{{2, 0, 0}, "\x33"}, {{1, 1, 0}, "\x44"}}},
      {"24-bit pixels", 24, 4, 3, Diff(24, 0, 0, 2, 1, S("\x00\x03\x01\x02\x03\x04\x05\x06\x00\x01", 10)), 1,
       {{{4, 3, 0}, "\x01\x02\x03"}, {{5, 3, 0}, "\x04\x05\x06"}}},
      {"bits per pixel of another format", 8, 0, 0, Diff(16, 0, 0, 1, 1, S("\x00\x02\x11\x00\x00\x01", 6)), 0, {}},
      {"no magic", 8, 0, 0, Diff(8, 0, 0, 1, 1, S("\x00\x02\x11\x00\x01", 5), "DIFX"), 0, {}},
      {"empty changed rectangle", 8, 0, 0, Diff(8, 2, 0, 2, 1, S("\x00\x02\x11\x00\x01", 5)), 0, {}},
      {"rectangle past the right edge", 8, 5, 0, Diff(8, 0, 0, 2, 1, S("\x00\x02\x11\x00\x01", 5)), 0, {}},
      {"rectangle above the top", 8, 1, 1, Diff(8, 0, -2, 1, 1, S("\x00\x02\x11\x00\x01", 5)), 0, {}},
      {"negative position", 8, -1, 0, Diff(8, 1, 0, 2, 1, S("\x00\x02\x11\x00\x01", 5)), 0, {}},
      {"a 4-bit plane", 4, 0, 0, Diff(4, 0, 0, 1, 1, S("\x00\x02\x11\x00\x01", 5)), 0, {}},
      // Row 0 is the last row in memory: the second run would run past the plane.
      {"run off the right edge stops there", 8, 0, 0,
       Diff(8, 0, 0, 2, 1, S("\x00\x03\x55\x66\x04\x00\x05\x01\x02\x03\x04\x00\x01", 13)), 0,
       {{{0, 0, 0}, "\x55"}, {{1, 0, 0}, "\x66"}}},
      {"run off the bottom", 8, 0, 0, Diff(8, 0, 0, 1, 1, S("\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x77\x00\x01", 13)),
       0, {}},
  };
  for (const DiffCase& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(Call(builtin_galloc, {kSlot, 6, 4, uint32_t(c.bits)}), 1u);
    Plane* p = PlaneAt(kSlot);
    const size_t bytes = size_t(p->stride) * p->height;
    std::memset(PlanePixels(p), 0xEE, bytes);
    std::string want(bytes, '\xEE');
    for (const auto& [px, value] : c.writes)
      want.replace(size_t(PixelAddress(p, px.x, px.y) - PlanePixels(p)), value.size(), value);
    const uint32_t image = Buffer(1536);
    std::memcpy(ToHost(image), c.image.data(), c.image.size());
    SetWords(Buffer(0), {0xCCCCCCCC, 0, 0, 0});
    EXPECT_EQ(Call(builtin_dcopy, {kSlot, uint32_t(c.x), uint32_t(c.y), image, Buffer(0)}), c.result);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(PlanePixels(p)), bytes), want);
    if (c.result) {
      EXPECT_EQ(std::string(reinterpret_cast<char*>(ToHost(Buffer(0))), 16), c.image.substr(16, 16));
    }
  }
}

TEST_F(ImageTest, DloadReadsTheWholeFileAndReportsTheChangedRectangle) {
  ASSERT_EQ(Call(builtin_galloc, {kSlot, 4, 4, 8}), 1u);
  Plane* p = PlaneAt(kSlot);
  const std::string good = dir.Write("a.dif", Diff(8, 1, 0, 2, 3, std::string("\x00\x03\x11\x22\x00\x01", 6)));
  EXPECT_EQ(Call(builtin_dload, {kSlot, 1, 1, Text(good), Buffer(0)}), 1u);
  EXPECT_EQ(*PixelAddress(p, 1, 1), 0x11);
  EXPECT_EQ(*PixelAddress(p, 2, 1), 0x22);
  EXPECT_EQ(Word(Buffer(0)), 1u);
  EXPECT_EQ(Word(Buffer(12)), 3u);
  // A stream cut off at the end of the file: refused, but the rectangle has
  // been reported as soon as the file was read.
  const std::string cut = dir.Write("b.dif", Diff(8, 0, 0, 1, 2, std::string("\x00\x02\x33", 3)));
  EXPECT_EQ(Call(builtin_dload, {kSlot, 0, 0, Text(cut), Buffer(0)}), 0u);
  EXPECT_EQ(Word(Buffer(12)), 2u);
  EXPECT_EQ(*PixelAddress(p, 0, 0), 0x33);
  // Shorter than the header: nothing is reported.
  const std::string tiny = dir.Write("c.dif", "DIFF");
  SetWords(Buffer(0), {7, 7, 7, 7});
  EXPECT_EQ(Call(builtin_dload, {kSlot, 0, 0, Text(tiny), Buffer(0)}), 0u);
  EXPECT_EQ(Word(Buffer(0)), 7u);
  EXPECT_EQ(Call(builtin_dload, {kSlot, 0, 0, Text(dir / "missing.dif"), Buffer(0)}), 0u);
  EXPECT_EQ(Call(builtin_dload, {kSlot, 0, 0, 0, Buffer(0)}), 0u);
  EXPECT_EQ(Call(builtin_dload, {6, 0, 0, Text(good), 0}), 0u);
}

}  // namespace
