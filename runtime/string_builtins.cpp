#include "runtime/string_builtins.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "platform/text_encoding.h"

size_t ScriptStrnlen(uint32_t addr, size_t max) {
  size_t reach = static_cast<size_t>(std::min<uint64_t>(kArenaSize - addr, max));
  const void* p = ToHost(addr);
  const void* z = std::memchr(p, 0, reach);
  return z ? static_cast<size_t>(static_cast<const uint8_t*>(z) - static_cast<const uint8_t*>(p)) : reach;
}

size_t ScriptStrlen(uint32_t addr) { return ScriptStrnlen(addr, SIZE_MAX); }

std::string_view ScriptString(uint32_t addr) {
  return {reinterpret_cast<const char*>(ToHost(addr)), ScriptStrlen(addr)};
}

namespace {

uint8_t Byte(std::string_view s, size_t i) { return static_cast<uint8_t>(s[i]); }

// The character at s[i]: its code (lead * 256 + trail for a double-byte
// character) and its length; length 0 at the end of the text, which a lead
// byte without its trail also is.
struct Char {
  uint32_t code;
  size_t len;
};
Char CharAt(std::string_view s, size_t i) {
  if (i >= s.size()) return {0, 0};
  uint8_t c = Byte(s, i);
  if (!IsSjisLead(c)) return {c, 1};
  if (i + 1 >= s.size()) return {0, 0};
  return {uint32_t{c} << 8 | Byte(s, i + 1), 2};
}

// Whether s[at] starts a character. A byte outside the lead range always
// ends a character, so from the last such byte before `at` the lead-range
// bytes pair up, and `at` starts a character when their count is even.
bool IsCharacterStart(std::string_view s, size_t at) {
  size_t run = at;
  while (run > 0 && IsSjisLead(Byte(s, run - 1))) --run;
  return (at - run) % 2 == 0;
}

bool InSet(std::string_view set, uint32_t code) {
  for (size_t i = 0;;) {
    Char c = CharAt(set, i);
    if (!c.len) return false;
    if (c.code == code) return true;
    i += c.len;
  }
}

// Bytes from the start of s made of characters that are (want = true) or are
// not (want = false) in set.
size_t SpanOf(std::string_view s, std::string_view set, bool want) {
  size_t i = 0;
  for (Char c; (c = CharAt(s, i)).len && InSet(set, c.code) == want;) i += c.len;
  return i;
}

// Case mapping of the code page: A-Z and a-z among single bytes; the
// full-width Latin, Greek and Cyrillic letters among double bytes.
uint32_t ToUpperCode(uint32_t c) {
  if (c < 0x100) return c >= 'a' && c <= 'z' ? c - 0x20 : c;
  if (c >= 0x8281 && c <= 0x829A) return c - 0x21;  // full-width a-z
  if (c >= 0x83BF && c <= 0x83D6) return c - 0x20;  // Greek
  if (c >= 0x8470 && c <= 0x8491 && c != 0x847F) return 0x8440 + (c - 0x8470) - (c > 0x847F ? 1 : 0);  // Cyrillic
  return c;
}
uint32_t ToLowerCode(uint32_t c) {
  if (c < 0x100) return c >= 'A' && c <= 'Z' ? c + 0x20 : c;
  if (c >= 0x8260 && c <= 0x8279) return c + 0x21;
  if (c >= 0x839F && c <= 0x83B6) return c + 0x20;
  if (c >= 0x8440 && c <= 0x8460) {
    uint32_t lower = 0x8470 + (c - 0x8440);
    return lower >= 0x847F ? lower + 1 : lower;  // the trail byte 0x7F does not exist
  }
  return c;
}

// Rewrites s in place, character by character, through map.
uint32_t MapCase(uint32_t addr, uint32_t (*map)(uint32_t)) {
  if (addr == 0) return 0;
  std::string_view s = ScriptString(addr);
  uint8_t* p = ToHost(addr);
  for (size_t i = 0;;) {
    Char c = CharAt(s, i);
    if (!c.len) break;
    uint32_t m = map(c.code);
    if (c.len == 1) {
      p[i] = static_cast<uint8_t>(m);
    } else {
      p[i] = static_cast<uint8_t>(m >> 8);
      p[i + 1] = static_cast<uint8_t>(m);
    }
    i += c.len;
  }
  return addr;
}

// Character codes compared in order; the end of a text counts as code 0.
uint32_t Compare(std::string_view a, std::string_view b, bool fold) {
  for (size_t i = 0, j = 0;;) {
    Char x = CharAt(a, i), y = CharAt(b, j);
    uint32_t cx = x.code, cy = y.code;
    if (fold) {
      // Single bytes compare in lower case, double bytes in upper case.
      cx = x.len == 2 ? ToUpperCode(cx) : ToLowerCode(cx);
      cy = y.len == 2 ? ToUpperCode(cy) : ToLowerCode(cy);
    }
    if (cx != cy) return cx > cy ? 1u : static_cast<uint32_t>(-1);
    if (!x.len) return 0;
    i += x.len;
    j += y.len;
  }
}

// Writes bytes (and a terminator) to script memory at dst, or refuses when
// they would reach past 4 GiB.
bool WriteString(uint32_t dst, std::string_view bytes) {
  if (!InArena(dst, uint64_t{bytes.size()} + 1)) return false;
  std::memmove(ToHost(dst), bytes.data(), bytes.size());
  ToHost(dst)[bytes.size()] = 0;
  return true;
}

uint32_t NewString(std::string_view bytes) {
  uint32_t block = ArenaAlloc(bytes.size() + 1);
  if (!block) return 0;
  std::memcpy(ToHost(block), bytes.data(), bytes.size());
  ToHost(block)[bytes.size()] = 0;
  return block;
}

// strtok positions: one per script thread, and one for callers outside any.
constexpr int kTokenSlots = 33;
uint32_t token_positions[kTokenSlots];

uint32_t& TokenPosition() {
  const ScriptContext* ctx = CurrentContext();
  uint32_t slot = ctx ? std::min<uint32_t>(ctx->thread_slot, kTokenSlots - 1) : kTokenSlots - 1;
  return token_positions[slot];
}

}  // namespace

void ResetStringTokens() { std::fill(std::begin(token_positions), std::end(token_positions), 0); }

uint32_t builtin_strlen(BuiltinArgs args) { return static_cast<uint32_t>(ScriptStrlen(args.u(0))); }

uint32_t builtin_strclen(BuiltinArgs args) {
  std::string_view s = ScriptString(args.u(0));
  uint32_t count = 0;
  for (size_t i = 0; CharAt(s, i).len; i += CharAt(s, i).len) ++count;
  return count;
}

uint32_t builtin_strcpy(BuiltinArgs args) {
  uint32_t dst = args.u(0);
  return WriteString(dst, ScriptString(args.u(1))) ? dst : 0;
}

uint32_t builtin_strncpy(BuiltinArgs args) {
  uint32_t dst = args.u(0);
  int32_t n = args.i(2);
  if (n <= 0) return dst;
  if (!InArena(dst, static_cast<uint32_t>(n))) return 0;
  std::string_view src = ScriptString(args.u(1));
  auto at = [&](size_t k) -> uint8_t { return k < src.size() ? Byte(src, k) : 0; };
  // Built first, so an overlapping source is read as it was.
  std::string out;
  size_t count = static_cast<size_t>(n);
  size_t i = 0;
  bool pad = true;
  while (out.size() < count) {
    uint8_t c = at(i++);
    if (IsSjisLead(c)) {
      if (out.size() + 1 == count) {  // the trail byte does not fit
        out += '\0';
        pad = false;
        break;
      }
      uint8_t t = at(i++);
      if (t == 0) {  // no trail byte: the lead becomes the terminator
        out += '\0';
        break;
      }
      out += static_cast<char>(c);
      out += static_cast<char>(t);
    } else {
      out += static_cast<char>(c);
      if (c == 0) break;
    }
  }
  std::memcpy(ToHost(dst), out.data(), out.size());
  if (pad) std::memset(ToHost(dst) + out.size(), 0, count - out.size());
  return dst;
}

uint32_t builtin_strcat(BuiltinArgs args) {
  uint32_t dst = args.u(0);
  size_t used = ScriptStrlen(dst);
  if (used >= (uint64_t{1} << 32) - dst) return 0;
  return WriteString(dst + static_cast<uint32_t>(used), ScriptString(args.u(1))) ? dst : 0;
}

uint32_t builtin_strcmp(BuiltinArgs args) { return Compare(ScriptString(args.u(0)), ScriptString(args.u(1)), false); }
uint32_t builtin_strcmpi(BuiltinArgs args) { return Compare(ScriptString(args.u(0)), ScriptString(args.u(1)), true); }
uint32_t builtin_strlwr(BuiltinArgs args) { return MapCase(args.u(0), ToLowerCode); }
uint32_t builtin_strupr(BuiltinArgs args) { return MapCase(args.u(0), ToUpperCode); }

uint32_t builtin_strchr(BuiltinArgs args) {
  uint32_t addr = args.u(0);
  uint32_t code = args.u(1);
  if (code >= 0xFFFFFF80u) code &= 0xFF;  // a byte passed as a negative char
  std::string_view s = ScriptString(addr);
  size_t i = 0;
  uint32_t found = 0;
  for (Char c; (c = CharAt(s, i)).len; i += c.len) {
    if (c.code == code) found = addr + static_cast<uint32_t>(i);
  }
  if (code == 0) return addr + static_cast<uint32_t>(s.size());  // the terminator
  return found;
}

uint32_t builtin_strtok(BuiltinArgs args) {
  uint32_t& position = TokenPosition();
  uint32_t start = args.u(0) ? args.u(0) : position;
  if (!start) return 0;
  std::string_view s = ScriptString(start);
  std::string_view set = ScriptString(args.u(1));
  size_t token = SpanOf(s, set, true);
  if (!CharAt(s, token).len) {
    position = 0;
    return 0;
  }
  size_t end = token + SpanOf(s.substr(token), set, false);
  Char sep = CharAt(s, end);
  if (sep.len) {
    std::memset(ToHost(start) + end, 0, sep.len);
    position = start + static_cast<uint32_t>(end + sep.len);
  } else {
    position = 0;
  }
  return start + static_cast<uint32_t>(token);
}

uint32_t builtin_strcspn(BuiltinArgs args) {
  return static_cast<uint32_t>(SpanOf(ScriptString(args.u(0)), ScriptString(args.u(1)), false));
}

uint32_t builtin_strspn(BuiltinArgs args) {
  return static_cast<uint32_t>(SpanOf(ScriptString(args.u(0)), ScriptString(args.u(1)), true));
}

uint32_t builtin_strpbrk(BuiltinArgs args) {
  uint32_t addr = args.u(0);
  std::string_view s = ScriptString(addr);
  size_t i = SpanOf(s, ScriptString(args.u(1)), false);
  return CharAt(s, i).len ? addr + static_cast<uint32_t>(i) : 0;
}

uint32_t builtin_strstr(BuiltinArgs args) {
  uint32_t addr = args.u(0);
  std::string_view s = ScriptString(addr);
  std::string_view t = ScriptString(args.u(1));
  if (t.empty()) return addr;
  // Candidates come from a plain byte search; one that does not start on a
  // character boundary is skipped. Both texts end in a terminator unless
  // they ran into the end of the reservation.
  const bool terminated = uint64_t{addr} + s.size() < kArenaSize && uint64_t{args.u(1)} + t.size() < kArenaSize;
  for (size_t from = 0; from + t.size() <= s.size();) {
    const void* hit = terminated ? std::strstr(s.data() + from, t.data())
                                 : memmem(s.data() + from, s.size() - from, t.data(), t.size());
    if (!hit) return 0;
    size_t at = static_cast<size_t>(static_cast<const char*>(hit) - s.data());
    if (IsCharacterStart(s, at)) return addr + static_cast<uint32_t>(at);
    from = at + 1;
  }
  return 0;
}

uint32_t builtin_strdup(BuiltinArgs args) { return NewString(ScriptString(args.u(0))); }

uint32_t builtin_strndup(BuiltinArgs args) {
  return NewString(std::string_view(reinterpret_cast<const char*>(args.ptr(0)), ScriptStrnlen(args.u(0), args.u(1))));
}

namespace {

// The longest start of s that has at most max bytes and ends on a character
// boundary.
std::string_view CutAtCharacter(std::string_view s, size_t max) {
  if (s.size() <= max) return s;
  size_t i = 0;
  while (i < s.size()) {
    size_t len = IsSjisLead(Byte(s, i)) && i + 1 < s.size() ? 2 : 1;
    if (i + len > max) break;
    i += len;
  }
  return s.substr(0, i);
}

// Last character of s is a single-byte "\" or "/".
bool EndsWithSeparator(std::string_view s) {
  size_t last = std::string_view::npos;
  for (size_t i = 0; i < s.size(); i += IsSjisLead(Byte(s, i)) && i + 1 < s.size() ? 2 : 1) last = i;
  return last != std::string_view::npos && last + 1 == s.size() && (s[last] == '\\' || s[last] == '/');
}

}  // namespace

uint32_t builtin_splitpath(BuiltinArgs args) {
  // Parts are cut to the runtime's limits (2, 255, 255 and 255 bytes) so
  // that buffers of the usual sizes hold them.
  constexpr size_t kMaxPart = 255;
  std::string_view path = ScriptString(args.u(0));
  std::string_view drive;
  if (path.size() >= 2 && path[1] == ':') {
    drive = path.substr(0, 2);
    path.remove_prefix(2);
  }
  size_t dir_end = 0;
  size_t dot = std::string_view::npos;
  for (size_t i = 0; i < path.size();) {
    uint8_t c = Byte(path, i);
    if (IsSjisLead(c) && i + 1 < path.size()) {
      i += 2;
      continue;
    }
    if (c == '\\' || c == '/') dir_end = i + 1;
    else if (c == '.') dot = i;
    ++i;
  }
  std::string_view dir = path.substr(0, dir_end);
  std::string_view rest = path.substr(dir_end);
  std::string_view name = rest, ext;
  if (dot != std::string_view::npos && dot >= dir_end) {
    name = rest.substr(0, dot - dir_end);
    ext = rest.substr(dot - dir_end);
  }
  const std::string_view parts[4] = {drive, CutAtCharacter(dir, kMaxPart), CutAtCharacter(name, kMaxPart),
                                     CutAtCharacter(ext, kMaxPart)};
  // Copied before any is written: an output buffer may overlap the path.
  std::string copies[4];
  for (int k = 0; k < 4; ++k) copies[k] = parts[k];
  for (int k = 0; k < 4; ++k) {
    if (uint32_t out = args.u(k + 1)) WriteString(out, copies[k]);
  }
  return 1;
}

uint32_t builtin_makepath(BuiltinArgs args) {
  std::string out;
  auto part = [&](int k) { return args.u(k) ? ScriptString(args.u(k)) : std::string_view(); };
  std::string_view drive = part(1), dir = part(2), name = part(3), ext = part(4);
  if (!drive.empty()) {
    out += drive[0];
    out += ':';
  }
  if (!dir.empty()) {
    out += dir;
    if (!EndsWithSeparator(dir)) out += '\\';
  }
  out += name;
  if (!ext.empty()) {
    if (ext[0] != '.') out += '.';
    out += ext;
  }
  return WriteString(args.u(0), out) ? 1 : 0;
}
