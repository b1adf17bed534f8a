#include "platform/text_encoding.h"

#include <iconv.h>

namespace {

// One converter per thread and direction; iconv descriptors are not shared.
struct Converter {
  iconv_t cd;
  Converter(const char* to, const char* from) : cd(iconv_open(to, from)) {}
  ~Converter() {
    if (cd != reinterpret_cast<iconv_t>(-1)) iconv_close(cd);
  }
  bool ok() const { return cd != reinterpret_cast<iconv_t>(-1); }
};

// Runs one conversion. On an unconvertible sequence, calls on_bad with the
// output so far and skips `skip` input bytes; returns false when on_bad says so.
template <typename OnBad>
bool Convert(Converter& c, std::string_view in, std::string& out, OnBad on_bad) {
  out.clear();
  if (!c.ok()) return false;
  iconv(c.cd, nullptr, nullptr, nullptr, nullptr);
  char* src = const_cast<char*>(in.data());
  size_t src_left = in.size();
  char buf[1024];
  while (src_left > 0) {
    char* dst = buf;
    size_t dst_left = sizeof buf;
    size_t r = iconv(c.cd, &src, &src_left, &dst, &dst_left);
    out.append(buf, dst - buf);
    if (r == static_cast<size_t>(-1) && errno != E2BIG) {
      size_t skip = 1;
      if (!on_bad(out, static_cast<uint8_t>(*src), src_left, skip)) return false;
      src += skip;
      src_left -= skip;
      iconv(c.cd, nullptr, nullptr, nullptr, nullptr);
    }
  }
  char* dst = buf;
  size_t dst_left = sizeof buf;
  iconv(c.cd, nullptr, nullptr, &dst, &dst_left);
  out.append(buf, dst - buf);
  return true;
}

}  // namespace

std::string SjisToUtf8(std::string_view sjis) {
  thread_local Converter c("UTF-8", "CP932");
  std::string out;
  bool ok = Convert(c, sjis, out, [](std::string& o, uint8_t first, size_t left, size_t& skip) {
    o += "\xEF\xBF\xBD";
    skip = (IsSjisLead(first) && left >= 2) ? 2 : 1;
    return true;
  });
  if (!ok) {  // no CP932 converter at all: pass ASCII through, mark the rest
    out.clear();
    for (unsigned char ch : sjis) out += ch < 0x80 ? std::string(1, static_cast<char>(ch)) : "\xEF\xBF\xBD";
  }
  return out;
}

bool Utf8ToSjis(std::string_view utf8, std::string& out) {
  thread_local Converter c("CP932", "UTF-8");
  bool ok = Convert(c, utf8, out, [](std::string&, uint8_t, size_t, size_t&) { return false; });
  if (!ok) out.clear();
  return ok;
}
