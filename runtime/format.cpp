#include "runtime/format.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstring>
#include <string>
#include <string_view>

#include "runtime/string_builtins.h"

namespace {

// Precision is capped as the runtime caps it.
constexpr int kMaxPrecision = 512;

// Output that is cut at its room but keeps counting what would have been
// written, which is what %n stores.
struct Sink {
  char* dst;
  size_t room;  // bytes that may be written before the terminator
  size_t written = 0;
  uint64_t produced = 0;

  void Put(const char* s, size_t n) {
    produced += n;
    size_t k = std::min(n, room - written);
    if (k) std::memcpy(dst + written, s, k);
    written += k;
  }
  void Put(std::string_view s) { Put(s.data(), s.size()); }
  void Repeat(char c, int64_t n) {
    if (n <= 0) return;
    produced += static_cast<uint64_t>(n);
    size_t k = std::min(static_cast<uint64_t>(n), static_cast<uint64_t>(room - written));
    if (k) std::memset(dst + written, c, k);
    written += k;
  }
};

// The argument words, read in order from script memory.
struct Words {
  uint32_t addr;
  uint32_t Next() {
    uint32_t v;
    std::memcpy(&v, ToHost(addr), 4);
    addr += 4;
    return v;
  }
  uint64_t Next64() {
    uint64_t lo = Next();
    return lo | uint64_t{Next()} << 32;
  }
};

enum : unsigned {
  kLeft = 1u << 0,
  kSign = 1u << 1,
  kSpace = 1u << 2,
  kAlternate = 1u << 3,
  kLeadZero = 1u << 4,
  kSigned = 1u << 5,
  kNegative = 1u << 6,
  kShort = 1u << 7,
  kLong = 1u << 8,
  kWide = 1u << 9,
  kInt64 = 1u << 10,
  kForceOctal = 1u << 11,
};

bool IsDigit(uint8_t c) { return c >= '0' && c <= '9'; }

// A double as the runtime's converter sees it: at most 17 significant digits
// and the position of the decimal point relative to them. Infinities and
// NaNs come out as the digit strings "1#INF", "1#IND", "1#QNAN" and "1#SNAN"
// with the point after the "1", and go through the same rounding as digits.
struct Decimal {
  bool negative = false;
  std::string digits;
  int decpt = 0;
};

Decimal ToDecimal(double v) {
  Decimal d;
  uint64_t bits = std::bit_cast<uint64_t>(v);
  d.negative = (bits >> 63) != 0;
  uint64_t mantissa = bits & ((uint64_t{1} << 52) - 1);
  if (((bits >> 52) & 0x7FF) == 0x7FF) {
    constexpr uint64_t kQuiet = uint64_t{1} << 51;
    const char* special = mantissa == 0                       ? "1#INF"
                          : (mantissa == kQuiet && d.negative) ? "1#IND"
                          : (mantissa & kQuiet)                ? "1#QNAN"
                                                               : "1#SNAN";
    return Decimal{d.negative, std::string(special), 1};
  }
  if (v == 0) return Decimal{d.negative, std::string(1, '0'), 0};
  char buf[40];
  auto r = std::to_chars(buf, buf + sizeof buf, std::fabs(v), std::chars_format::scientific, 16);
  // d.dddddddddddddddde[+-]xx
  d.digits.assign(1, buf[0]);
  d.digits.append(buf + 2, 16);
  const char* e = std::find(buf, r.ptr, 'e') + 1;
  if (*e == '+') ++e;
  int exponent = 0;
  std::from_chars(e, r.ptr, exponent);
  d.decpt = exponent + 1;
  return d;
}

// The first `count` digits, padded with zeros and rounded half up on the
// digit after them (no rounding when count < 0). A carry out of the first
// digit gives one more leading digit and moves the point.
std::string RoundDigits(Decimal& d, int count) {
  std::string buf = "0";
  for (int i = 0; i < count; ++i) buf += i < static_cast<int>(d.digits.size()) ? d.digits[i] : '0';
  char next = count >= 0 && count < static_cast<int>(d.digits.size()) ? d.digits[count] : '\0';
  if (count >= 0 && next >= '5') {
    size_t i = buf.size() - 1;
    while (buf[i] == '9') buf[i--] = '0';
    buf[i] = static_cast<char>(buf[i] + 1);
  }
  if (buf[0] == '1') ++d.decpt;
  else buf.erase(0, 1);
  return buf;
}

// "ddd.ddd" from rounded digits: the integer part is the digits before the
// point (or "0"); then, when fraction_digits > 0, the point, the zeros
// between it and the first digit, and the remaining digits.
std::string PlaceFixed(const Decimal& d, const std::string& digits, int fraction_digits, int leading_zeros) {
  std::string out;
  if (d.negative) out += '-';
  size_t used = 0;
  if (d.decpt <= 0) {
    out += '0';
  } else {
    used = std::min(digits.size(), static_cast<size_t>(d.decpt));
    out.append(digits, 0, used);
  }
  if (fraction_digits > 0) {
    out += '.';
    if (d.decpt < 0) out.append(static_cast<size_t>(leading_zeros), '0');
    out.append(digits, used, std::string::npos);
  }
  return out;
}

std::string FixedText(Decimal d, int precision) {
  std::string digits = RoundDigits(d, d.decpt + precision);
  return PlaceFixed(d, digits, precision, std::min(precision, -d.decpt));
}

// "d.ddde+xxx": the first digit, the point and `precision` more digits, and
// an exponent of at least three digits (zero for the value zero).
std::string PlaceExponent(const Decimal& d, const std::string& digits, int precision, int exponent, bool caps) {
  std::string out;
  if (d.negative) out += '-';
  out += digits[0];
  if (precision > 0) {
    out += '.';
    out.append(digits, 1, static_cast<size_t>(precision));
  }
  out += caps ? 'E' : 'e';
  out += exponent < 0 ? '-' : '+';
  std::string number = std::to_string(exponent < 0 ? -exponent : exponent);
  if (number.size() < 3) out.append(3 - number.size(), '0');
  out += number;
  return out;
}

std::string ExponentText(Decimal d, int precision, bool caps) {
  std::string digits = RoundDigits(d, precision + 1);
  int exponent = d.digits[0] != '0' ? d.decpt - 1 : 0;
  return PlaceExponent(d, digits, precision, exponent, caps);
}

// %g: `significant` digits, in exponent form when the exponent after
// rounding is below -4 or not below the digit count, else in fixed form.
std::string GeneralText(Decimal d, int significant, bool caps) {
  std::string digits = RoundDigits(d, significant);
  if (static_cast<int>(digits.size()) > significant) digits.pop_back();  // carry: keep the count
  int magnitude = d.decpt - 1;
  if (magnitude < -4 || magnitude >= significant) {
    int exponent = d.digits[0] != '0' ? magnitude : 0;
    return PlaceExponent(d, digits, significant - 1, exponent, caps);
  }
  return PlaceFixed(d, digits, significant - d.decpt, -d.decpt);
}

// Removes trailing zeros of the fraction, and the point when nothing is left
// after it.
void CropZeros(std::string& t) {
  size_t point = t.find('.');
  if (point == std::string::npos) return;
  size_t stop = t.find_first_of("eE", point);
  if (stop == std::string::npos) stop = t.size();
  size_t keep = stop;
  while (keep > point + 1 && t[keep - 1] == '0') --keep;
  if (keep == point + 1) keep = point;
  t.erase(keep, stop - keep);
}

// '#' with precision 0: a point after the leading digits.
void ForcePoint(std::string& t) {
  size_t i = 1;
  while (i < t.size() && IsDigit(static_cast<uint8_t>(t[i]))) ++i;
  t.insert(i, 1, '.');
}

// Bytes of a zero-terminated wide (UTF-16) script string that the "C"
// locale converts: characters below 256 become that byte; the text stops at
// the first other character.
size_t WideLength(uint32_t addr, size_t limit) {
  size_t n = 0;
  uint64_t max_units = (kArenaSize - addr) / 2;
  while (n < limit && n < max_units) {
    uint16_t unit;
    std::memcpy(&unit, ToHost(addr) + 2 * n, 2);
    if (unit == 0 || unit >= 256) break;
    ++n;
  }
  return n;
}

}  // namespace

size_t FormatScriptText(uint32_t format, uint32_t args, char* dst, size_t capacity) {
  Sink out{dst, capacity ? capacity - 1 : 0};
  std::string_view f = ScriptString(format);
  Words words{args};
  size_t i = 0;
  const size_t n = f.size();
  auto at = [&](size_t k) -> char { return k < n ? f[k] : '\0'; };

  while (i < n) {
    if (f[i] != '%') {
      size_t run = f.find('%', i);
      if (run == std::string_view::npos) run = n;
      out.Put(f.substr(i, run - i));
      i = run;
      continue;
    }
    char ch = f[i++];
    unsigned flags = 0;
    int64_t width = 0;
    int precision = -1;
    for (;; ++i) {
      char c = at(i);
      if (c == '-') flags |= kLeft;
      else if (c == '+') flags |= kSign;
      else if (c == ' ') flags |= kSpace;
      else if (c == '#') flags |= kAlternate;
      else if (c == '0') flags |= kLeadZero;
      else break;
    }
    if (at(i) == '*') {
      int32_t v = static_cast<int32_t>(words.Next());
      if (v < 0) flags |= kLeft;
      width = v < 0 ? -int64_t{v} : v;
      ++i;
    } else {
      while (IsDigit(at(i))) width = std::min<int64_t>(width * 10 + (f[i++] - '0'), INT32_MAX);
    }
    if (at(i) == '.') {
      ++i;
      precision = 0;
      if (at(i) == '*') {
        int32_t v = static_cast<int32_t>(words.Next());
        precision = v < 0 ? -1 : std::min(v, kMaxPrecision);
        ++i;
      } else {
        while (IsDigit(at(i))) precision = std::min(precision * 10 + (f[i++] - '0'), 1 << 20);
      }
    }
    for (;;) {
      char c = at(i);
      if (c == 'h') {
        flags |= kShort;
        ++i;
      } else if (c == 'l') {
        if (at(i + 1) == 'l') {
          flags |= kInt64;
          i += 2;
        } else {
          flags |= kLong;
          ++i;
        }
      } else if (c == 'L') {
        ++i;  // long double is a double
      } else if (c == 'w') {
        flags |= kWide;
        ++i;
      } else if (c == 'I') {
        if (at(i + 1) == '6' && at(i + 2) == '4') {
          flags |= kInt64;
          i += 3;
        } else if (at(i + 1) == '3' && at(i + 2) == '2') {
          flags &= ~kInt64;
          i += 3;
        } else if (at(i + 1) != '\0' && std::strchr("diouxX", at(i + 1))) {
          ++i;  // pointer-sized: 32 bits
        } else {
          break;  // printed as it stands
        }
      } else {
        break;
      }
    }
    if (i >= n) break;
    ch = f[i++];

    // The converted text (or its length and a writer for wide strings), an
    // optional prefix ("0x", or the sign of a signed conversion), then the
    // padding to the width.
    std::string text;
    std::string_view body;
    uint32_t wide_addr = 0;
    size_t wide_len = 0;
    bool use_wide = false;
    char prefix[2] = {0, 0};
    size_t prefix_len = 0;
    bool no_output = false;

    switch (ch) {
      case 'c':
      case 'C': {
        uint32_t v = words.Next();
        bool wide = ch == 'C' ? !(flags & kShort) : (flags & (kLong | kWide)) != 0;
        if (wide && (v & 0xFFFF) >= 256) no_output = true;
        else text.assign(1, static_cast<char>(v));
        body = text;
        break;
      }
      case 's':
      case 'S': {
        uint32_t p = words.Next();
        bool wide = ch == 'S' ? !(flags & kShort) : (flags & (kLong | kWide)) != 0;
        size_t limit = precision < 0 ? SIZE_MAX : static_cast<size_t>(precision);
        if (p == 0) {
          body = std::string_view("(null)").substr(0, limit);
        } else if (wide) {
          use_wide = true;
          wide_addr = p;
          wide_len = WideLength(p, limit);
        } else {
          body = std::string_view(reinterpret_cast<const char*>(ToHost(p)), ScriptStrnlen(p, limit));
        }
        break;
      }
      case 'n': {
        uint32_t p = words.Next();
        uint32_t count = static_cast<uint32_t>(out.produced);
        if (flags & kShort) {
          if (InArena(p, 2)) std::memcpy(ToHost(p), &count, 2);
        } else if (InArena(p, 4)) {
          std::memcpy(ToHost(p), &count, 4);
        }
        no_output = true;
        break;
      }
      case 'd':
      case 'i':
      case 'u':
      case 'o':
      case 'x':
      case 'X':
      case 'p': {
        unsigned radix = 10;
        bool upper = false;
        if (ch == 'd' || ch == 'i') flags |= kSigned;
        if (ch == 'o') {
          radix = 8;
          if (flags & kAlternate) flags |= kForceOctal;
        }
        if (ch == 'p') {
          precision = 8;
          flags &= ~(kInt64 | kShort);
        }
        if (ch == 'x' || ch == 'X' || ch == 'p') {
          radix = 16;
          upper = ch != 'x';
          if (flags & kAlternate) {
            prefix[0] = '0';
            prefix[1] = upper ? 'X' : 'x';
            prefix_len = 2;
          }
        }
        uint64_t number;
        if (flags & kInt64) {
          number = words.Next64();
          if ((flags & kSigned) && static_cast<int64_t>(number) < 0) {
            number = 0 - number;
            flags |= kNegative;
          }
        } else {
          uint32_t v = words.Next();
          if (flags & kShort) {
            v = (flags & kSigned) ? static_cast<uint32_t>(static_cast<int16_t>(v)) : static_cast<uint16_t>(v);
          }
          if ((flags & kSigned) && static_cast<int32_t>(v) < 0) {
            number = uint32_t{0} - v;
            flags |= kNegative;
          } else {
            number = v;
          }
        }
        if (precision < 0) {
          precision = 1;
        } else {
          flags &= ~kLeadZero;
          precision = std::min(precision, kMaxPrecision);
        }
        if (number == 0) prefix_len = 0;
        char digits[kMaxPrecision + 32];
        char* end = digits + sizeof digits;
        char* p = end;
        while (precision-- > 0 || number != 0) {
          unsigned digit = static_cast<unsigned>(number % radix);
          number /= radix;
          *--p = static_cast<char>(digit < 10 ? '0' + digit : (upper ? 'A' : 'a') + digit - 10);
        }
        if ((flags & kForceOctal) && (p == end || *p != '0')) *--p = '0';
        text.assign(p, end);
        body = text;
        break;
      }
      case 'e':
      case 'E':
      case 'f':
      case 'g':
      case 'G': {
        flags |= kSigned;
        bool general = ch == 'g' || ch == 'G';
        if (precision < 0) precision = 6;
        else if (precision == 0 && general) precision = 1;
        precision = std::min(precision, kMaxPrecision);
        Decimal d = ToDecimal(std::bit_cast<double>(words.Next64()));
        if (ch == 'f') text = FixedText(d, precision);
        else if (general) text = GeneralText(d, precision, ch == 'G');
        else text = ExponentText(d, precision, ch == 'E');
        if ((flags & kAlternate) && precision == 0) ForcePoint(text);
        if (general && !(flags & kAlternate)) CropZeros(text);
        if (text[0] == '-') {
          flags |= kNegative;
          text.erase(0, 1);
        }
        body = text;
        break;
      }
      default:
        // Not a conversion: the character is printed as it stands.
        out.Put(&ch, 1);
        continue;
    }
    if (no_output) continue;

    if (flags & kSigned) {
      if (flags & kNegative) prefix[0] = '-';
      else if (flags & kSign) prefix[0] = '+';
      else if (flags & kSpace) prefix[0] = ' ';
      if (prefix[0]) prefix_len = 1;
    }
    size_t text_len = use_wide ? wide_len : body.size();
    int64_t padding = width - static_cast<int64_t>(text_len) - static_cast<int64_t>(prefix_len);
    if (!(flags & (kLeft | kLeadZero))) out.Repeat(' ', padding);
    out.Put(prefix, prefix_len);
    if ((flags & kLeadZero) && !(flags & kLeft)) out.Repeat('0', padding);
    if (use_wide) {
      for (size_t k = 0; k < wide_len; ++k) {
        char c = static_cast<char>(ToHost(wide_addr)[2 * k]);
        out.Put(&c, 1);
      }
    } else {
      out.Put(body);
    }
    if (flags & kLeft) out.Repeat(' ', padding);
  }
  if (capacity) dst[out.written] = '\0';
  return out.written;
}

namespace {

bool IsSpace(uint8_t c) { return c == ' ' || (c >= 0x09 && c <= 0x0D); }

// Skips leading white space and one sign, as the number parsers start;
// true for a minus.
template <typename At>
bool SkipSpaceAndSign(const At& at, size_t& i) {
  while (IsSpace(at(i))) ++i;
  if (at(i) == '-' || at(i) == '+') return at(i++) == '-';
  return false;
}

}  // namespace

uint32_t ParseScriptLong(uint32_t addr, int32_t base, bool is_unsigned, uint32_t* end_offset) {
  std::string_view s = ScriptString(addr);
  auto at = [&](size_t k) -> uint8_t { return k < s.size() ? static_cast<uint8_t>(s[k]) : 0; };
  *end_offset = 0;
  size_t i = 0;
  bool negative = SkipSpaceAndSign(at, i);
  if (base < 0 || base == 1 || base > 36) return 0;
  if (base == 0) {
    if (at(i) != '0') base = 10;
    else if (at(i + 1) == 'x' || at(i + 1) == 'X') base = 16;
    else base = 8;
  }
  if (base == 16 && at(i) == '0' && (at(i + 1) == 'x' || at(i + 1) == 'X')) i += 2;
  const uint32_t radix = static_cast<uint32_t>(base);
  const uint32_t max_value = UINT32_MAX / radix;
  uint32_t number = 0;
  bool any = false;
  bool overflow = false;
  for (;; ++i) {
    uint8_t c = at(i);
    uint32_t digit;
    if (IsDigit(c)) digit = c - '0';
    else if ((c | 0x20) >= 'a' && (c | 0x20) <= 'z') digit = (c | 0x20) - 'a' + 10;
    else break;
    if (digit >= radix) break;
    any = true;
    if (number < max_value || (number == max_value && digit <= UINT32_MAX % radix)) number = number * radix + digit;
    else overflow = true;
  }
  if (!any) return 0;  // no number: the end is the start of the string
  if (overflow || (!is_unsigned && (negative ? number > 0x80000000u : number > 0x7FFFFFFFu))) {
    number = is_unsigned ? UINT32_MAX : negative ? 0x80000000u : 0x7FFFFFFFu;
  }
  *end_offset = static_cast<uint32_t>(i);
  // The runtime negates after clamping, so an unsigned overflow with a minus
  // sign comes out as 1.
  return negative ? 0u - number : number;
}

double ParseScriptDouble(uint32_t addr, uint32_t* end_offset) {
  std::string_view s = ScriptString(addr);
  auto at = [&](size_t k) -> uint8_t { return k < s.size() ? static_cast<uint8_t>(s[k]) : 0; };
  *end_offset = 0;
  size_t i = 0;
  bool negative = SkipSpaceAndSign(at, i);
  // digits [. digits] [e|E|d|D [sign] digits]. Digits past the first
  // kMaxDigits cannot change the double; integer digits dropped there
  // still count for the exponent.
  constexpr size_t kMaxDigits = 1000;
  std::string number;
  int order = 0;  // decimal position of the first nonzero digit, for range errors
  int dropped = 0;
  bool any = false;
  bool nonzero = false;
  for (; IsDigit(at(i)); ++i) {
    if (number.size() < kMaxDigits) number += static_cast<char>(at(i));
    else dropped = std::min(dropped + 1, 1000000);
    any = true;
    if (at(i) != '0') nonzero = true;
    if (nonzero) order = std::min(order + 1, 1000000);
  }
  if (at(i) == '.') {
    size_t point = i++;
    number += '.';
    for (; IsDigit(at(i)); ++i) {
      if (number.size() < kMaxDigits) number += static_cast<char>(at(i));
      any = true;
      if (!nonzero) {
        if (at(i) != '0') nonzero = true;
        else order = std::max(order - 1, -1000000);
      }
    }
    if (!any) i = point;
  }
  if (!any) return 0;
  size_t mantissa_end = i;
  int exponent = 0;
  uint8_t e = at(i) | 0x20;
  if (e == 'e' || e == 'd') {
    size_t k = i + 1;
    bool exp_negative = false;
    if (at(k) == '-' || at(k) == '+') exp_negative = at(k++) == '-';
    if (IsDigit(at(k))) {
      for (; IsDigit(at(k)); ++k) exponent = std::min(exponent * 10 + (at(k) - '0'), 1000000);
      if (exp_negative) exponent = -exponent;
      mantissa_end = k;
    }
  }
  *end_offset = static_cast<uint32_t>(mantissa_end);
  number += 'e';
  number += std::to_string(exponent + dropped);
  double value = 0;
  auto r = std::from_chars(number.data(), number.data() + number.size(), value);
  if (r.ec == std::errc::result_out_of_range) value = (nonzero && order + exponent > 0) ? HUGE_VAL : 0.0;
  return negative ? -value : value;
}

uint32_t builtin_ftoa(BuiltinArgs args) {
  uint32_t buf = args.u(0);
  Decimal d = ToDecimal(static_cast<double>(args.f(1)));
  std::string text = FixedText(d, 6);
  size_t room = static_cast<size_t>((uint64_t{1} << 32) - buf) - 1;
  size_t k = std::min(text.size(), room);
  std::memcpy(ToHost(buf), text.data(), k);
  *ToHost(buf + static_cast<uint32_t>(k)) = 0;
  return 1;
}

namespace {

uint32_t StoreEnd(uint32_t end_addr, uint32_t value) {
  if (end_addr && InArena(end_addr, 4)) std::memcpy(ToHost(end_addr), &value, 4);
  return value;
}

}  // namespace

uint32_t builtin_strtol(BuiltinArgs args) {
  uint32_t used;
  uint32_t v = ParseScriptLong(args.u(0), args.i(2), false, &used);
  StoreEnd(args.u(1), args.u(0) + used);
  return v;
}

uint32_t builtin_strtoul(BuiltinArgs args) {
  uint32_t used;
  uint32_t v = ParseScriptLong(args.u(0), args.i(2), true, &used);
  StoreEnd(args.u(1), args.u(0) + used);
  return v;
}

uint32_t builtin_strtof(BuiltinArgs args) {
  uint32_t used;
  double v = ParseScriptDouble(args.u(0), &used);
  StoreEnd(args.u(1), args.u(0) + used);
  return FloatResult(static_cast<float>(v));
}

uint32_t builtin_sprintf(BuiltinArgs args) {
  uint32_t buf = args.u(0);
  size_t capacity = static_cast<size_t>((uint64_t{1} << 32) - buf);
  return static_cast<uint32_t>(
      FormatScriptText(args.u(1), args.base + 8, reinterpret_cast<char*>(ToHost(buf)), capacity));
}
