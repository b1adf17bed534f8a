#include "runtime/system_variables.h"

#include <strings.h>
#include <sys/utsname.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "graphics/blit_modes.h"
#include "graphics/sprites.h"
#include "platform/clock.h"
#include "runtime/runtime_settings.h"

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#include <x86intrin.h>
#define KEVA_HAVE_CPUID 1
#endif

namespace {

constexpr std::array<const char*, 19> kNames = {
    "fullscreen",      "width",           "height",          "depth",        "cpu_clock",
    "cpu_vender",      "cpu_feature_eax", "cpu_feature_ebx", "cpu_feature_ecx", "cpu_feature_edx",
    "os_platform",     "os_major",        "os_minor",        "os_build",     "global_focus",
    "global_sound",    "color_mapping",   "smoothing",       "sp_count",
};

enum Variable {
  kFullScreen, kWidth, kHeight, kDepth, kCpuClock, kCpuVendor, kCpuEax, kCpuEbx, kCpuEcx, kCpuEdx,
  kOsPlatform, kOsMajor, kOsMinor, kOsBuild, kGlobalFocus, kGlobalSound, kColourMapping, kSmoothing,
  kSpriteCount,
};

// Names are short: compare at most this many bytes of script memory.
constexpr size_t kLongestName = 32;

int Lookup(const char* name) {
  if (!name) return -1;
  for (size_t i = 0; i < kNames.size(); ++i) {
    if (strncasecmp(name, kNames[i], kLongestName) == 0) return static_cast<int>(i);
  }
  return -1;
}

struct CpuInfo {
  bool present = false;
  uint32_t vendor = 0;
  uint32_t eax = 0, ebx = 0, ecx = 0, edx = 0;
};

const CpuInfo& Cpu() {
  static const CpuInfo info = [] {
    CpuInfo c;
#ifdef KEVA_HAVE_CPUID
    unsigned a, b, cx, d;
    if (!__get_cpuid(0, &a, &b, &cx, &d)) return c;
    c.present = true;
    char vendor[13] = {};
    std::memcpy(vendor, &b, 4);
    std::memcpy(vendor + 4, &d, 4);
    std::memcpy(vendor + 8, &cx, 4);
    static const char* const kVendors[] = {"GenuineIntel", "AuthenticAMD", "CyrixInstead", "CentaurHauls",
                                           "RiseRiseRise"};
    for (uint32_t i = 0; i < 5; ++i) {
      if (std::strcmp(vendor, kVendors[i]) == 0) c.vendor = i + 1;
    }
    if (__get_cpuid(1, &a, &b, &cx, &d)) {
      c.eax = a;
      c.ebx = b;
      c.ecx = cx;
      c.edx = d;
    }
#endif
    return c;
  }();
  return info;
}

// Time-stamp-counter ticks across one second, measured on every call.
uint32_t CpuClock() {
#ifdef KEVA_HAVE_CPUID
  const CpuInfo& c = Cpu();
  if (!c.present || !(c.edx & (1u << 4))) return 0;
  uint64_t start = __rdtsc();
  SleepMs(1000);
  return static_cast<uint32_t>(__rdtsc() - start);
#else
  return 0;
#endif
}

int32_t Hook(int32_t (*hook)()) { return hook ? hook() : 0; }

}  // namespace

OsVersion RunningOsVersion() {
  static const OsVersion version = [] {
    OsVersion v{2, 0, 0, 0};
    utsname u{};
    if (uname(&u) == 0) std::sscanf(u.release, "%u.%u.%u", &v.major, &v.minor, &v.build);
    return v;
  }();
  return version;
}

uint32_t GetSystemVariable(const char* name) {
  switch (Lookup(name)) {
    case kFullScreen: return static_cast<uint32_t>(Hook(g_runtime_host_hooks.is_full_screen));
    case kWidth: return static_cast<uint32_t>(Hook(g_runtime_host_hooks.desktop_width));
    case kHeight: return static_cast<uint32_t>(Hook(g_runtime_host_hooks.desktop_height));
    case kDepth: return static_cast<uint32_t>(Hook(g_runtime_host_hooks.desktop_depth));
    case kCpuClock: return CpuClock();
    case kCpuVendor: return Cpu().vendor;
    case kCpuEax: return Cpu().eax;
    case kCpuEbx: return Cpu().ebx;
    case kCpuEcx: return Cpu().ecx;
    case kCpuEdx: return Cpu().edx;
    case kOsPlatform: return RunningOsVersion().platform;
    case kOsMajor: return RunningOsVersion().major;
    case kOsMinor: return RunningOsVersion().minor;
    case kOsBuild: return RunningOsVersion().build;
    case kGlobalFocus: return static_cast<uint32_t>(g_runtime_settings.global_focus);
    case kGlobalSound: return static_cast<uint32_t>(g_runtime_settings.global_sound);
    case kColourMapping: return static_cast<uint32_t>(g_colour_mapping);
    case kSmoothing: return static_cast<uint32_t>(g_runtime_settings.smoothing);
    case kSpriteCount: return static_cast<uint32_t>(SpriteCount());
    default: return 0;
  }
}

uint32_t SetSystemVariable(const char* name, uint32_t value) {
  int32_t v = static_cast<int32_t>(value);
  switch (Lookup(name)) {
    case kFullScreen: {
      int32_t current = Hook(g_runtime_host_hooks.is_full_screen);
      if (v == current || !g_runtime_host_hooks.set_full_screen) return 0;
      return static_cast<uint32_t>(g_runtime_host_hooks.set_full_screen(v));
    }
    case kGlobalFocus: g_runtime_settings.global_focus = v; return 1;
    case kGlobalSound: g_runtime_settings.global_sound = v; return 1;
    case kColourMapping: g_colour_mapping = v; return 1;
    case kSmoothing: g_runtime_settings.smoothing = v; return 1;
    default: return 0;
  }
}

uint32_t builtin_getsystem(BuiltinArgs args) {
  return args.u(0) && InArena(args.u(0), kLongestName) ? GetSystemVariable(args.str(0)) : 0;
}

uint32_t builtin_setsystem(BuiltinArgs args) {
  return args.u(0) && InArena(args.u(0), kLongestName) ? SetSystemVariable(args.str(0), args.u(1)) : 0;
}
