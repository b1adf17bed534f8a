#include "display/display_output.h"

#include <png.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "graphics/blit_modes.h"
#include "graphics/sprites.h"
#include "platform/atomic_file.h"
#include "platform/presenter.h"
#include "platform/window_thread.h"

namespace {

std::mutex display_lock;  // the frame, the dirty and invalid regions, the output rectangle
std::mutex view_lock;     // the painted output: held while the view is painted
std::vector<uint32_t> frame;  // X8R8G8B8, row 0 at the top
int32_t frame_w = 0, frame_h = 0;
bool full_upload = false;
PlaneRect dirty{0, 0, 0, 0};    // changed since the window last got the frame
PlaneRect invalid{0, 0, 0, 0};  // the painted output: still to be painted from the view page
OutputRect output{0, 0, 0, 0};  // where the frame goes in the client area
// A copy of it for readers that must not wait for a present under the lock
// (the pointer is mapped through it on script threads): x, y and w, h.
std::atomic<uint64_t> published_origin{0}, published_size{0};
bool present_posted = false;
// The video's picture over the frame, and the frame with it over (display lock).
std::vector<uint32_t> video_picture;
int32_t video_w = 0, video_h = 0;
OutputRect video_on_screen{0, 0, 0, 0};
bool video_shown = false;
bool video_changed = false;  // not yet handed to the window
std::vector<uint32_t> composed;
// The last client size seen, also before the output starts.
int32_t client_w = 0, client_h = 0;
bool client_full_screen = false;

bool Painted() { return !g_display_settings.scaled; }

uint64_t Pack(int32_t a, int32_t b) { return uint64_t{static_cast<uint32_t>(a)} | uint64_t{static_cast<uint32_t>(b)} << 32; }

// Display lock held.
void SetOutput(const OutputRect& r) {
  output = r;
  published_origin.store(Pack(r.x, r.y));
  published_size.store(Pack(r.w, r.h));
}

bool Intersect(PlaneRect& r, const PlaneRect& with) {
  r.left = std::max(r.left, with.left);
  r.top = std::max(r.top, with.top);
  r.right = std::min(r.right, with.right);
  r.bottom = std::min(r.bottom, with.bottom);
  return r.left < r.right && r.top < r.bottom;
}

bool Empty(const PlaneRect& r) { return r.left >= r.right || r.top >= r.bottom; }

// Grows a region to cover r as well.
void Unite(PlaneRect& region, const PlaneRect& r) {
  if (Empty(r)) return;
  if (Empty(region)) {
    region = r;
    return;
  }
  region = {std::min(region.left, r.left), std::min(region.top, r.top), std::max(region.right, r.right),
            std::max(region.bottom, r.bottom)};
}

void AddDirty(const PlaneRect& r) { Unite(dirty, r); }

void ConvertRow(const Plane* p, int32_t y, int32_t left, int32_t right, uint32_t* out) {
  const uint8_t* row = PlaneRow(p, y);
  switch (p->bits) {
    case 32:
      std::memcpy(out + left, row + 4 * left, 4 * static_cast<size_t>(right - left));
      break;
    case 24:
      // A 4-byte load per pixel, its fourth byte dropped: the byte after the
      // row's last pixel is still arena memory (padding, the next row, or the
      // reservation's spare tail).
      for (int32_t x = left; x < right; ++x) {
        uint32_t v;
        std::memcpy(&v, row + 3 * x, 4);
        out[x] = (out[x] & 0xFF000000u) | (v & 0x00FFFFFFu);
      }
      break;
    case 16:
      for (int32_t x = left; x < right; ++x) {
        uint16_t v;
        std::memcpy(&v, row + 2 * x, 2);
        out[x] = g_blend.rgb555[v & 0x7FFF];
      }
      break;
    case 8:
      for (int32_t x = left; x < right; ++x) out[x] = g_engine_colours[row[x]];
      break;
    default:
      break;
  }
}

// 1- and 4-bit rows through the plane's own colour table (the painted output
// shows them as the platform's bitmap copy does).
void ConvertPackedRow(const Plane* p, int32_t y, int32_t left, int32_t right, uint32_t* out) {
  const uint8_t* row = PlaneRow(p, y);
  const uint32_t* table = PlaneColourTable(p);
  for (int32_t x = left; x < right; ++x) {
    uint32_t index = p->bits == 4 ? (row[x / 2] >> (x % 2 ? 0 : 4)) & 0x0F : (row[x / 8] >> (7 - x % 8)) & 1;
    out[x] = table && index < p->colours ? table[index] & 0x00FFFFFF : 0;
  }
}

// Converts the rectangle r (inside the plane and the frame) into the frame.
// Display lock held.
void ConvertRect(const Plane* plane, const PlaneRect& r, bool packed_too) {
  if (plane->bits < 8 && !packed_too) return;
  uint32_t* base = frame.data();
  const int32_t w = frame_w;
  auto convert = plane->bits < 8 ? ConvertPackedRow : ConvertRow;
#pragma omp parallel for schedule(static) if (g_display_settings.multi_threading && r.bottom - r.top >= 64)
  for (int32_t y = r.top; y < r.bottom; ++y) convert(plane, y, r.left, r.right, base + static_cast<size_t>(y) * w);
}

// Display lock held: the frame, or the frame with the video's picture over
// it, scaled to its screen rectangle.
const std::vector<uint32_t>& ShownFrame() {
  if (!video_shown) return frame;
  composed = frame;
  const OutputRect& v = video_on_screen;
  PlaneRect r{v.x, v.y, v.x + v.w, v.y + v.h};
  if (v.w <= 0 || v.h <= 0 || !Intersect(r, {0, 0, frame_w, frame_h})) return composed;
  for (int32_t y = r.top; y < r.bottom; ++y) {
    const int64_t from_y = int64_t{y - v.y} * video_h / v.h;
    const uint32_t* from = video_picture.data() + static_cast<size_t>(from_y) * video_w;
    uint32_t* to = composed.data() + static_cast<size_t>(y) * frame_w;
    for (int32_t x = r.left; x < r.right; ++x) to[x] = from[int64_t{x - v.x} * video_w / v.w];
  }
  return composed;
}

// Window thread, display lock held: hands the dirty part of the frame to the
// window and shows it.
void PresentLocked() {
  present_posted = false;
  if (frame.empty()) return;
  PresenterRect region{dirty.left, dirty.top, dirty.right - dirty.left, dirty.bottom - dirty.top};
  dirty = {0, 0, 0, 0};
  if (!video_shown) {
    PresentToWindow(frame.data(), frame_w, frame_h, region, {output.x, output.y, output.w, output.h});
    return;
  }
  OutputRect at = VideoPictureRectangle(output, frame_w, frame_h, video_on_screen);
  PresenterPicture picture{video_picture.data(), video_w, video_h, {at.x, at.y, at.w, at.h}, video_changed};
  video_changed = false;
  PresentToWindow(frame.data(), frame_w, frame_h, region, {output.x, output.y, output.w, output.h}, &picture);
}

void PresentOnWindowThread(uintptr_t) {
  std::lock_guard lock(display_lock);
  PresentLocked();
}

// Window thread: paints what has been invalidated.
void PaintInvalidOnWindowThread(uintptr_t) {
  PlaneRect r;
  {
    std::lock_guard lock(display_lock);
    r = invalid;
    invalid = {0, 0, 0, 0};
  }
  if (!Empty(r)) PaintView(r);
}

// Marks a rectangle of the view invalid and has the window thread paint it;
// returns when the paint has run.
void InvalidateAndPaint(const PlaneRect& r) {
  {
    std::lock_guard lock(display_lock);
    Unite(invalid, r);
  }
  CallOnWindowThread(PaintInvalidOnWindowThread, 0);
}

void WritePng(std::FILE* f, const std::vector<uint32_t>& pixels, int32_t w, int32_t h, bool& ok) {
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png ? png_create_info_struct(png) : nullptr;
  if (!png || !info || setjmp(png_jmpbuf(png))) {
    ok = false;
    png_destroy_write_struct(&png, &info);
    return;
  }
  png_init_io(png, f);
  png_set_IHDR(png, info, static_cast<png_uint_32>(w), static_cast<png_uint_32>(h), 8, PNG_COLOR_TYPE_RGB,
               PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  std::vector<uint8_t> row(3 * static_cast<size_t>(w));
  for (int32_t y = 0; y < h; ++y) {
    for (int32_t x = 0; x < w; ++x) {
      uint32_t c = pixels[static_cast<size_t>(y) * w + x];
      row[3 * x] = static_cast<uint8_t>(c >> 16);
      row[3 * x + 1] = static_cast<uint8_t>(c >> 8);
      row[3 * x + 2] = static_cast<uint8_t>(c);
    }
    png_write_row(png, row.data());
  }
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
}

void Put16(std::vector<uint8_t>& b, uint32_t v) { b.push_back(static_cast<uint8_t>(v)); b.push_back(static_cast<uint8_t>(v >> 8)); }
void Put32(std::vector<uint8_t>& b, uint32_t v) { Put16(b, v & 0xFFFF); Put16(b, v >> 16); }

std::vector<uint8_t> EncodeBmp(const std::vector<uint32_t>& pixels, int32_t w, int32_t h) {
  uint32_t stride = (3 * static_cast<uint32_t>(w) + 3) & ~3u;
  uint32_t image = stride * static_cast<uint32_t>(h);
  std::vector<uint8_t> b;
  b.reserve(54 + image);
  b.push_back('B');
  b.push_back('M');
  Put32(b, 54 + image);
  Put32(b, 0);
  Put32(b, 54);
  Put32(b, 40);
  Put32(b, static_cast<uint32_t>(w));
  Put32(b, static_cast<uint32_t>(h));
  Put16(b, 1);
  Put16(b, 24);
  Put32(b, 0);
  Put32(b, image);
  for (int i = 0; i < 4; ++i) Put32(b, 0);
  for (int32_t y = h - 1; y >= 0; --y) {
    size_t start = b.size();
    for (int32_t x = 0; x < w; ++x) {
      uint32_t c = pixels[static_cast<size_t>(y) * w + x];
      b.push_back(static_cast<uint8_t>(c));
      b.push_back(static_cast<uint8_t>(c >> 8));
      b.push_back(static_cast<uint8_t>(c >> 16));
    }
    b.resize(start + stride, 0);
  }
  return b;
}

}  // namespace

OutputRect OutputRectangle(int32_t client_w, int32_t client_h, bool full_screen, bool fixed, int32_t width,
                           int32_t height) {
  if (!full_screen || !fixed) return {0, 0, client_w, client_h};
  float r = static_cast<float>(width) / static_cast<float>(height);
  float q = static_cast<float>(client_w) / static_cast<float>(client_h);
  int32_t w = client_w, h = client_h;
  if (r < q) w = static_cast<int32_t>(static_cast<float>(client_h) * r + 0.5f);
  else if (r > q) h = static_cast<int32_t>(static_cast<float>(client_w) / r + 0.5f);
  return {(client_w - w) / 2, (client_h - h) / 2, w, h};
}

int StartDisplayOutput() {
  {
    std::lock_guard lock(display_lock);
    BuildBlendTables();  // the RGB555 expansion
    frame_w = std::max(g_display_settings.width, 1);
    frame_h = std::max(g_display_settings.height, 1);
    frame.assign(static_cast<size_t>(frame_w) * frame_h, 0);
    full_upload = false;
    dirty = {0, 0, frame_w, frame_h};
    invalid = {0, 0, 0, 0};
    SetOutput({0, 0, frame_w, frame_h});
    if (!Painted() && client_w > 0 && client_h > 0)
      SetOutput(OutputRectangle(client_w, client_h, client_full_screen, g_display_settings.fixed_aspect_ratio, frame_w,
                                frame_h));
  }
  g_view_repaint_hook = PaintWindow;
  g_page_drawing_lock = OutputLock;
  if (Painted()) StartWindowOutput();
  return 1;
}

void StopDisplayOutput() {
  if (Painted()) StopWindowOutput();
  g_view_repaint_hook = nullptr;
  g_page_drawing_lock = nullptr;
  std::lock_guard lock(display_lock);
  frame.clear();
  video_shown = false;
  frame_w = frame_h = 0;
}

std::mutex& OutputLock() { return Painted() ? view_lock : display_lock; }

int UploadPage(const Plane* plane, const PlaneRect* region) {
  std::lock_guard lock(display_lock);
  if (frame.empty() || !plane) return 0;
  PlaneRect r{0, 0, plane->width, plane->height};
  if (!full_upload && region && !Intersect(r, *region)) return 0;
  if (!Intersect(r, {0, 0, frame_w, frame_h})) return 0;
  ConvertRect(plane, r, false);
  AddDirty(r);
  full_upload = false;
  return 1;
}

void PresentFrame() {
  if (OnWindowThread()) {
    PresentOnWindowThread(0);
    return;
  }
  {
    std::lock_guard lock(display_lock);
    if (present_posted) return;
    present_posted = true;
  }
  PostToWindowThread(PresentOnWindowThread, 0);
}

void DisplayClientResized(int32_t w, int32_t h, bool full_screen) {
  std::lock_guard lock(display_lock);
  client_w = w;
  client_h = h;
  client_full_screen = full_screen;
  if (frame.empty()) return;
  if (!Painted())
    SetOutput(OutputRectangle(w, h, full_screen, g_display_settings.fixed_aspect_ratio, frame_w, frame_h));
  full_upload = true;
  dirty = {0, 0, frame_w, frame_h};
}

OutputRect PresentationRectangle() {
  const uint64_t origin = published_origin.load(), size = published_size.load();
  return {static_cast<int32_t>(origin), static_cast<int32_t>(origin >> 32), static_cast<int32_t>(size),
          static_cast<int32_t>(size >> 32)};
}

void PaintWindow() {
  if (!Painted()) {
    PresentFrame();
    return;
  }
  InvalidateAndPaint({0, 0, INT32_MAX, INT32_MAX});  // the painting clips it to the view
}

void PaintView(const PlaneRect& rect) {
  std::lock_guard view(view_lock);
  std::lock_guard lock(display_lock);
  if (frame.empty()) return;
  PlaneRect r = rect;
  if (!Intersect(r, {0, 0, frame_w, frame_h})) return;
  if (const Plane* page = PlaneAt(static_cast<uint32_t>(g_view_page))) {
    PlaneRect on_page = r;
    if (Intersect(on_page, {0, 0, page->width, page->height})) ConvertRect(page, on_page, true);
  } else {
    for (int32_t y = r.top; y < r.bottom; ++y) {
      uint32_t* row = frame.data() + static_cast<size_t>(y) * frame_w;
      std::fill(row + r.left, row + r.right, 0u);
    }
  }
  AddDirty(r);
  PresentLocked();
}

void PlaceView(const OutputRect& view) {
  {
    std::lock_guard lock(display_lock);
    if (frame.empty()) return;
    SetOutput(view);
    dirty = {0, 0, frame_w, frame_h};
  }
  PaintWindow();
}

OutputRect VideoPictureRectangle(const OutputRect& output, int32_t width, int32_t height, const OutputRect& on_screen) {
  const OutputRect& r = on_screen;
  if ((output.w == width && output.h == height) || width <= 0 || height <= 0)
    return {output.x + r.x, output.y + r.y, r.w, r.h};
  auto scale = [](int32_t v, int32_t by, int32_t of) { return static_cast<int32_t>(int64_t{v} * by / of); };
  return {output.x + scale(r.x, output.w, width), output.y + scale(r.y, output.h, height), scale(r.w, output.w, width),
          scale(r.h, output.h, height)};
}

void ShowVideoPicture(const uint32_t* pixels, int32_t w, int32_t h, const OutputRect& on_screen) {
  if (!pixels || w <= 0 || h <= 0) return;
  {
    std::lock_guard lock(display_lock);
    if (frame.empty()) return;
    video_picture.assign(pixels, pixels + static_cast<size_t>(w) * h);
    video_w = w;
    video_h = h;
    video_on_screen = on_screen;
    if (!video_shown) dirty = {0, 0, frame_w, frame_h};
    video_shown = true;
    video_changed = true;
  }
  PresentFrame();
}

void HideVideoPicture() {
  {
    std::lock_guard lock(display_lock);
    if (!video_shown) return;
    video_shown = false;
    video_picture = {};
    composed = {};
    dirty = {0, 0, frame_w, frame_h};
  }
  PresentFrame();
}

std::vector<uint32_t> FrameSnapshot() {
  std::lock_guard lock(display_lock);
  std::vector<uint32_t> copy(ShownFrame());
  for (uint32_t& c : copy) c &= 0x00FFFFFF;
  return copy;
}

bool SaveFrame(const std::string& host_path, std::string& error) {
  std::vector<uint32_t> pixels = FrameSnapshot();
  int32_t w = frame_w, h = frame_h;
  if (pixels.empty()) {
    error = "no display output";
    return false;
  }
  std::string ext = host_path.size() >= 4 ? host_path.substr(host_path.size() - 4) : "";
  for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  bool png = ext == ".png";
  if (!png && ext != ".bmp") {
    error = "the file name must end in .png or .bmp";
    return false;
  }
  // Replaced in one step: a temporary file beside it, flushed and renamed.
  AtomicReplace replace;
  std::FILE* f = replace.Begin(host_path) ? replace.OpenStream() : nullptr;
  if (!f) {
    error = std::strerror(errno);
    return false;
  }
  bool ok = true;
  if (png) {
    WritePng(f, pixels, w, h, ok);
  } else {
    std::vector<uint8_t> bmp = EncodeBmp(pixels, w, h);
    ok = std::fwrite(bmp.data(), 1, bmp.size(), f) == bmp.size();
  }
  ok = (std::fclose(f) == 0) && ok;
  if (!ok || !replace.Commit()) {
    error = ok ? std::strerror(errno) : "write failed";
    return false;
  }
  return true;
}

uint32_t builtin_update(BuiltinArgs args) {
  uint32_t addr = args.u(0);
  PlaneRect screen{0, 0, g_display_settings.width, g_display_settings.height};
  PlaneRect region = screen;
  if (addr) {
    if (!InArena(addr, 16)) return 0;
    std::memcpy(&region, ToHost(addr), 16);
    if (!Intersect(region, screen)) return 0;
  }
  if (Painted()) {
    InvalidateAndPaint(region);
    return 1;
  }
  const Plane* view = PlaneAt(static_cast<uint32_t>(g_view_page));
  if (view) UploadPage(view, addr ? &region : nullptr);
  PresentFrame();
  return 1;
}
