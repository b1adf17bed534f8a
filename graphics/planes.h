// Planes: off-screen bottom-up images in the script arena, the plane table of
// 1024 slots with their attachments, the view and active pages, and the colour
// model the drawing code shares (colour values, the engine colour table, the
// script palette, the nearest colour search and the inverse colour map).
//
// A plane's memory is one arena block: the 40-byte image header, the colour
// table right after it, then (64-byte aligned) the pixel rows, bottom row
// first. Scripts get the pixel and colour-table addresses from ginfo and write
// them directly; the text rasteriser and the display output read the same bytes.
#pragma once
#include <cstdint>

#include "vm/arena.h"

struct PlaneRect {
  int32_t left, top, right, bottom;  // right and bottom exclusive
};

// Host-side record of one plane. The sizes are kept here as well as in the
// header so that a script scribbling on the header can never make the engine
// reach past the pixel memory.
struct Plane {
  uint32_t header;  // VM address of the image header; the colour table follows it
  uint32_t pixels;  // VM address of the pixel memory (the bottom row)
  int32_t stride;   // bytes per row: ((width * bits + 31) / 32) * 4
  PlaneRect clip;   // destination clip of every drawing operation
  int32_t width, height, bits;
  uint32_t colours;  // colour table entries: 2, 16, 256 or 0
};

// Image header layout (little-endian, 40 bytes).
struct PlaneHeader {
  uint32_t size;  // 40
  int32_t width;
  int32_t height;  // positive: bottom-up
  uint16_t planes;  // 1
  uint16_t bit_count;
  uint32_t compression;  // 0
  uint32_t image_size;   // height * stride
  int32_t x_resolution, y_resolution;  // 0
  uint32_t colours_used, colours_important;
};
static_assert(sizeof(PlaneHeader) == 40);

constexpr int kPlaneCount = 1024;

// Pixel access. Row y (0 = top) starts at pixels + (height - 1 - y) * stride.
inline uint8_t* PlanePixels(const Plane* p) { return ToHost(p->pixels); }
uint8_t* PlaneRow(const Plane* p, int32_t y);
uint32_t* PlaneColourTable(const Plane* p);  // nullptr when the format has none
inline int PlaneBytesPerPixel(const Plane* p) { return p->bits / 8; }

// Allocates a zero-filled plane of 1, 4, 8, 16, 24 or 32 bits per pixel with
// the default colour table of its format; nullptr for bad sizes or formats or
// when the arena is exhausted. FreePlane releases it and returns 1.
Plane* CreatePlane(int32_t width, int32_t height, int32_t bits);
int FreePlane(Plane* plane);

// The plane in a slot, or nullptr (also for numbers above 1023).
Plane* PlaneAt(uint32_t number);
// The plane in the slot that `number` is attached to, or nullptr.
Plane* AttachedPlaneAt(uint32_t number);
// The slot a slot is attached to, or -1.
int32_t AttachmentOf(uint32_t number);

// Puts a plane into a slot, freeing the one there (loaders and galloc use it).
// The attachment is left as it is. False for numbers above 1023.
bool SetPlaneAt(uint32_t number, Plane* plane);
// Frees the plane of a slot unless the slot is a page; clears its attachment.
void ReleaseSlot(uint32_t number);
// Attaches a slot to another slot (-1: none). False for numbers out of range.
bool AttachSlot(uint32_t number, int32_t other);
// The highest-numbered empty slot, or -1 when every slot holds a plane.
int32_t HighestFreeSlot();
// The slot that the first argument of galloc and gload names: below 1024 the
// slot itself, its plane freed first; otherwise the address of a script word
// that receives the highest empty slot, or -1 and false when there is none.
bool ChooseTargetSlot(uint32_t target, uint32_t& slot);
// "CreatePlane : ..." at error level 1, for every caller whose creation failed.
void ReportCreatePlaneFailure();

// Address of pixel (x, y), or nullptr when x >= width or y >= height (taken
// unsigned, so negative positions are outside as well).
uint8_t* PixelAddress(const Plane* p, int32_t x, int32_t y);

// Fills the rectangle (intersected with the clip) with a raw pixel value:
// 8 bits its low byte, 16 bits 0x00RRGGBB packed to x1r5g5b5, 24 bits its low
// three bytes, 32 bits all four. Planes below 8 bits are left alone. 1 when the
// plane exists (0 for nullptr).
int FillRect(Plane* p, int32_t x, int32_t y, int32_t width, int32_t height, uint32_t value);

// Pages.
extern int32_t g_view_page;
extern int32_t g_active_page;
extern int32_t g_origin_x, g_origin_y;  // setorg; nothing draws with it

// Colour values: 0x00RRGGBB, or 0x01000000 + n for engine colour table entry n.
constexpr uint32_t kPaletteColourFlag = 0x01000000;
// The raw pixel value of a colour value for a destination of 1..4 bytes per pixel.
uint32_t ConvertColour(uint32_t colour, int bytes_per_pixel);
// Index of the engine colour table entry nearest to (r, g, b).
uint8_t NearestColour(int r, int g, int b);
// Packs 0x00RRGGBB into x1r5g5b5.
inline uint16_t PackRgb555(uint32_t rgb) {
  return static_cast<uint16_t>(((rgb >> 9) & 0x7C00) | ((rgb >> 6) & 0x03E0) | ((rgb >> 3) & 0x001F));
}

// Colour tables, all 0x00RRGGBB words (bytes blue, green, red, 0).
extern uint32_t g_engine_colours[256];  // how 8-bit pages are shown; palette-index meaning
extern uint32_t g_script_palette[256];  // what the pal_ builtins edit
struct PlatformPaletteEntry {
  uint8_t red, green, blue, flags;
};
constexpr uint8_t kPaletteReserved = 0x01;
struct PlatformPalette {
  bool present;
  uint16_t version;  // 0x300
  uint16_t count;    // 256
  PlatformPaletteEntry entries[256];
};
extern PlatformPalette g_platform_palette;

// The 3-3-2 default colour of index i for 8-bit planes.
uint32_t DefaultColour8(int i);

// Rebuilds the inverse colour map (32768 bytes, indexed by RGB555) for a
// 256-entry table: every cell ends with the entry nearest to its colour that
// the seeds reach; entry 0 is never chosen.
void BuildInverseColourMap(const uint32_t* table);

// Settings the host sets from the configuration before GraphicsStart.
struct GraphicsSettings {
  int32_t Width = 640;   // [Screen] Width
  int32_t Height = 480;  // [Screen] Height
  int32_t Depth = 24;    // [Screen] Depth
  int32_t MultiThreading = 1;  // [System] MultiThreading: split pixel rows over threads
};
extern GraphicsSettings g_graphics_settings;

// Called by pal_change when the view page is 8-bit, so that the display output
// repaints with the new colours. Unset until a display output installs it.
extern void (*g_view_repaint_hook)();

// Start: builds the blend tables (first call only), empties the inverse colour
// map, frees every plane and page, installs the 3-3-2 palette and creates
// plane 0 at the screen size (cleared). Calling it again resets all of that.
// Shut-down frees the planes and deletes the platform palette.
void GraphicsStart();
void GraphicsShutdown();
