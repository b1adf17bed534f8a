#include "platform/debug_window.h"

#include <SDL.h>
#include <fontconfig/fontconfig.h>
#include <ft2build.h>
#include FT_FREETYPE_H

#include <algorithm>
#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "platform/debug_output.h"
#include "platform/text_encoding.h"
#include "platform/window.h"
#include "platform/window_internal.h"
#include "platform/window_thread.h"

namespace {

constexpr int kWidth = 400, kHeight = 280, kMargin = 6, kButtonW = 88, kButtonH = 26, kFontPixels = 13,
              kLineHeight = 16;
constexpr uint32_t kBackground = 0xFFF0F0F0, kListBackground = 0xFFFFFFFF, kBorder = 0xFF808080;

SDL_Window* window = nullptr;
SDL_Renderer* renderer = nullptr;
SDL_Texture* texture = nullptr;
FT_Library library = nullptr;
FT_Face face = nullptr;
std::vector<uint32_t> canvas;  // ARGB, kWidth x kHeight

std::mutex lines_lock;
std::vector<std::string> lines;  // UTF-8
int top_line = 0;                // first visible line
bool follow_end = true;          // keep the newest line in view
std::atomic<bool> redraw_posted{false};

struct Box {
  int x, y, w, h;
  bool contains(int px, int py) const { return px >= x && px < x + w && py >= y && py < y + h; }
};
const Box kList{kMargin, kMargin, kWidth - 2 * kMargin, kHeight - 3 * kMargin - kButtonH};
const Box kClearButton{kWidth - 2 * kMargin - 2 * kButtonW, kHeight - kMargin - kButtonH, kButtonW, kButtonH};
const Box kCloseButton{kWidth - kMargin - kButtonW, kHeight - kMargin - kButtonH, kButtonW, kButtonH};
int VisibleLines() { return (kList.h - 4) / kLineHeight; }

bool LoadFont() {
  if (FT_Init_FreeType(&library) != 0) return false;
  FcConfig* config = FcInitLoadConfigAndFonts();
  FcPattern* pattern = FcNameParse(reinterpret_cast<const FcChar8*>("IPAGothic:lang=ja"));
  FcConfigSubstitute(config, pattern, FcMatchPattern);
  FcDefaultSubstitute(pattern);
  FcResult result;
  FcPattern* match = FcFontMatch(config, pattern, &result);
  FcChar8* file = nullptr;
  bool ok = match && FcPatternGetString(match, FC_FILE, 0, &file) == FcResultMatch &&
            FT_New_Face(library, reinterpret_cast<const char*>(file), 0, &face) == 0;
  if (match) FcPatternDestroy(match);
  FcPatternDestroy(pattern);
  FcConfigDestroy(config);
  if (ok) FT_Set_Pixel_Sizes(face, 0, kFontPixels);
  return ok;
}

void Fill(const Box& b, uint32_t colour) {
  for (int y = std::max(b.y, 0); y < std::min(b.y + b.h, kHeight); ++y)
    std::fill_n(&canvas[static_cast<size_t>(y) * kWidth + std::max(b.x, 0)], std::max(0, std::min(b.w, kWidth - b.x)), colour);
}

void Frame(const Box& b, uint32_t colour) {
  Fill({b.x, b.y, b.w, 1}, colour);
  Fill({b.x, b.y + b.h - 1, b.w, 1}, colour);
  Fill({b.x, b.y, 1, b.h}, colour);
  Fill({b.x + b.w - 1, b.y, 1, b.h}, colour);
}

// Next code point of UTF-8 text; advances i.
uint32_t NextCodePoint(const std::string& s, size_t& i) {
  uint8_t c = static_cast<uint8_t>(s[i++]);
  int extra = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : 0;
  uint32_t cp = extra ? c & (0x3F >> extra) : c;
  for (; extra > 0 && i < s.size(); --extra) cp = (cp << 6) | (static_cast<uint8_t>(s[i++]) & 0x3F);
  return cp;
}

// Draws text with its baseline at y, clipped to the box.
void Text(const std::string& s, int x, int y, const Box& clip) {
  for (size_t i = 0; i < s.size();) {
    uint32_t cp = NextCodePoint(s, i);
    if (FT_Load_Char(face, cp, FT_LOAD_RENDER) != 0) continue;
    FT_GlyphSlot g = face->glyph;
    for (unsigned row = 0; row < g->bitmap.rows; ++row) {
      int py = y - g->bitmap_top + static_cast<int>(row);
      if (py < clip.y || py >= clip.y + clip.h) continue;
      for (unsigned col = 0; col < g->bitmap.width; ++col) {
        int px = x + g->bitmap_left + static_cast<int>(col);
        if (px < clip.x || px >= clip.x + clip.w) continue;
        uint32_t a = g->bitmap.buffer[row * static_cast<unsigned>(g->bitmap.pitch) + col];
        uint32_t& d = canvas[static_cast<size_t>(py) * kWidth + px];
        uint32_t v = ((d & 0xFF) * (255 - a)) / 255;  // black text over a grey or white ground
        d = 0xFF000000u | (v << 16) | (v << 8) | v;
      }
    }
    x += static_cast<int>(g->advance.x >> 6);
    if (x >= clip.x + clip.w) break;
  }
}

void Button(const Box& b, const char* label_utf8) {
  Fill(b, 0xFFE0E0E0);
  Frame(b, kBorder);
  Text(label_utf8, b.x + 12, b.y + b.h / 2 + kFontPixels / 2 - 2, b);
}

void Redraw(uintptr_t) {
  redraw_posted = false;
  if (!window || !(SDL_GetWindowFlags(window) & SDL_WINDOW_SHOWN)) return;
  canvas.assign(static_cast<size_t>(kWidth) * kHeight, kBackground);
  Fill(kList, kListBackground);
  Frame(kList, kBorder);
  {
    std::lock_guard lock(lines_lock);
    int visible = VisibleLines();
    int count = static_cast<int>(lines.size());
    if (follow_end) top_line = std::max(0, count - visible);
    top_line = std::clamp(top_line, 0, std::max(0, count - 1));
    Box inner{kList.x + 2, kList.y + 2, kList.w - 4, kList.h - 4};
    for (int i = 0; i < visible && top_line + i < count; ++i)
      Text(lines[static_cast<size_t>(top_line + i)], inner.x + 2, inner.y + (i + 1) * kLineHeight - 4, inner);
  }
  Button(kClearButton, "\xE3\x82\xAF\xE3\x83\xAA\xE3\x82\xA2(C)");      // クリア(C)
  Button(kCloseButton, "\xE9\x96\x89\xE3\x81\x98\xE3\x82\x8B(X)");      // 閉じる(X)
  SDL_UpdateTexture(texture, nullptr, canvas.data(), kWidth * 4);
  SDL_RenderClear(renderer);
  SDL_RenderCopy(renderer, texture, nullptr, nullptr);
  SDL_RenderPresent(renderer);
}

void PostRedraw() {
  if (!redraw_posted.exchange(true)) PostToWindowThread(Redraw, 0);
}

void AppendLine(std::string_view line_sjis) {
  {
    std::lock_guard lock(lines_lock);
    lines.push_back(SjisToUtf8(line_sjis));
    follow_end = true;  // each new line is scrolled into view, wherever the reader had scrolled
  }
  PostRedraw();
}

void ClearLines() {
  {
    std::lock_guard lock(lines_lock);
    lines.clear();
    top_line = 0;
    follow_end = true;
  }
  PostRedraw();
}

const DebugOutputBackend window_backend{AppendLine, ClearLines};

void Hide() {
  if (window) SDL_HideWindow(window);
}

void Scroll(int by) {
  {
    std::lock_guard lock(lines_lock);
    int count = static_cast<int>(lines.size());
    top_line = std::clamp(top_line + by, 0, std::max(0, count - VisibleLines()));
    follow_end = top_line >= count - VisibleLines();
  }
  PostRedraw();
}

}  // namespace

bool CreateDebugWindow() {
  if (window) return true;
  if (!face && !LoadFont()) return false;
  window = SDL_CreateWindow("Debug Output", SDL_WINDOWPOS_UNDEFINED, SDL_WINDOWPOS_UNDEFINED, kWidth, kHeight,
                            SDL_WINDOW_HIDDEN | SDL_WINDOW_UTILITY);
  if (!window) return false;
  renderer = SDL_CreateRenderer(window, -1, 0);
  // A child of the main window for the window manager: above it, no taskbar
  // entry of its own (a utility window), and no maximise button (a fixed size).
  if (auto* main_window = static_cast<SDL_Window*>(MainWindowHandle())) SDL_SetWindowModalFor(window, main_window);
  texture = renderer ? SDL_CreateTexture(renderer, SDL_PIXELFORMAT_ARGB8888, SDL_TEXTUREACCESS_STREAMING, kWidth, kHeight)
                     : nullptr;
  if (!texture) {
    DestroyDebugWindow();
    return false;
  }
  SetDebugOutputBackend(&window_backend);
  return true;
}

void DestroyDebugWindow() {
  SetDebugOutputBackend(nullptr);
  if (texture) SDL_DestroyTexture(texture);
  if (renderer) SDL_DestroyRenderer(renderer);
  if (window) SDL_DestroyWindow(window);
  texture = nullptr;
  renderer = nullptr;
  window = nullptr;
}

bool DebugWindowExists() { return window != nullptr; }

void ToggleDebugWindow() {
  if (!window) return;
  if (SDL_GetWindowFlags(window) & SDL_WINDOW_SHOWN) {
    Hide();
  } else {
    SDL_ShowWindow(window);
    PostRedraw();
  }
}

bool HandleDebugWindowEvent(const SDL_Event& e) {
  if (!window) return false;
  Uint32 id = SDL_GetWindowID(window);
  switch (e.type) {
    case SDL_WINDOWEVENT:
      if (e.window.windowID != id) return false;
      if (e.window.event == SDL_WINDOWEVENT_CLOSE) Hide();
      if (e.window.event == SDL_WINDOWEVENT_EXPOSED) PostRedraw();
      return true;
    case SDL_MOUSEBUTTONDOWN:
      if (e.button.windowID != id) return false;
      if (kClearButton.contains(e.button.x, e.button.y)) ClearLines();
      if (kCloseButton.contains(e.button.x, e.button.y)) Hide();
      return true;
    case SDL_MOUSEBUTTONUP:
      return e.button.windowID == id;
    case SDL_MOUSEMOTION:
      return e.motion.windowID == id;
    case SDL_MOUSEWHEEL:
      if (e.wheel.windowID != id) return false;
      Scroll(-3 * e.wheel.y);
      return true;
    case SDL_KEYDOWN:
      if (e.key.windowID != id) return false;
      if (e.key.keysym.sym == SDLK_F8) Hide();
      if ((e.key.keysym.mod & KMOD_ALT) && e.key.keysym.sym == SDLK_c) ClearLines();
      if ((e.key.keysym.mod & KMOD_ALT) && e.key.keysym.sym == SDLK_x) Hide();
      if (e.key.keysym.sym == SDLK_PAGEUP) Scroll(-VisibleLines());
      if (e.key.keysym.sym == SDLK_PAGEDOWN) Scroll(VisibleLines());
      return true;
    case SDL_TEXTINPUT:
      return e.text.windowID == id;
    case SDL_KEYUP:
      return e.key.windowID == id;
  }
  return false;
}
