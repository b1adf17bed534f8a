#include "platform/profile.h"

#include <strings.h>
#include <vector>

#include "platform/atomic_file.h"
#include "platform/file_system.h"

namespace {

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

bool SameName(std::string_view a, std::string_view b) {
  return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

struct Line {
  std::string_view text;  // without the line end
  size_t start;           // offset of the first byte
  size_t end;             // offset just past the line end
};

std::vector<Line> SplitLines(std::string_view text) {
  std::vector<Line> lines;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t nl = text.find('\n', pos);
    size_t stop = nl == std::string_view::npos ? text.size() : nl;
    lines.push_back({text.substr(pos, stop - pos), pos, nl == std::string_view::npos ? text.size() : nl + 1});
    pos = lines.back().end;
  }
  return lines;
}

// "[name]" gives name; anything else is no section header.
bool SectionName(std::string_view line, std::string_view& name) {
  line = Trim(line);
  if (line.size() < 2 || line.front() != '[') return false;
  size_t close = line.find(']');
  if (close == std::string_view::npos) return false;
  name = Trim(line.substr(1, close - 1));
  return true;
}

bool KeyValue(std::string_view line, std::string_view& key, std::string_view& value) {
  std::string_view t = Trim(line);
  if (t.empty() || t.front() == ';') return false;
  size_t eq = t.find('=');
  if (eq == std::string_view::npos) return false;
  key = Trim(t.substr(0, eq));
  value = Trim(t.substr(eq + 1));
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
    value = value.substr(1, value.size() - 2);
  return true;
}

bool ReadWholeFile(std::string_view path, std::string& text) {
  HostFile f = OpenFileForRead(path);
  if (!f.is_open()) return false;
  int64_t size = f.Size();
  if (size < 0 || size > (64 << 20)) return false;
  text.resize(static_cast<size_t>(size));
  size_t got = 0;
  if (!f.Read(text.data(), text.size(), &got)) return false;
  text.resize(got);
  return true;
}

}  // namespace

bool FindProfileValue(std::string_view text, std::string_view section, std::string_view key, std::string& value) {
  bool in_section = false;
  for (const Line& line : SplitLines(text)) {
    std::string_view name, k, v;
    if (SectionName(line.text, name)) {
      in_section = SameName(name, section);
    } else if (in_section && KeyValue(line.text, k, v) && SameName(k, key)) {
      value = std::string(v);
      return true;
    }
  }
  return false;
}

std::string SetProfileValue(std::string_view text, std::string_view section, std::string_view key,
                            std::string_view value) {
  std::string entry;
  entry.append(key).append("=").append(value);
  const std::string eol = text.find("\r\n") != std::string_view::npos ? "\r\n" : "\n";
  std::string out(text);
  bool in_section = false;
  size_t insert_at = std::string::npos;  // after the section's last key line
  for (const Line& line : SplitLines(text)) {
    std::string_view name, k, v;
    if (SectionName(line.text, name)) {
      if (in_section) break;
      in_section = SameName(name, section);
      if (in_section) insert_at = line.end;
    } else if (in_section && KeyValue(line.text, k, v)) {
      if (SameName(k, key)) {
        size_t length = line.text.size() - (line.text.ends_with('\r') ? 1 : 0);
        out.replace(line.start, length, entry);
        return out;
      }
      insert_at = line.end;
    }
  }
  if (insert_at == std::string::npos) {
    if (!out.empty() && out.back() != '\n') out.append(eol);
    out.append("[").append(section).append("]").append(eol).append(entry).append(eol);
    return out;
  }
  entry.append(eol);
  if (insert_at > 0 && out[insert_at - 1] != '\n') entry.insert(0, eol);
  out.insert(insert_at, entry);
  return out;
}

bool ReadProfileText(std::string_view path, std::string& text) { return ReadWholeFile(path, text); }

std::string ProfileString(std::string_view text, std::string_view section, std::string_view key,
                          std::string_view fallback) {
  std::string value;
  return FindProfileValue(text, section, key, value) ? value : std::string(fallback);
}

int32_t ProfileInt(std::string_view text, std::string_view section, std::string_view key, int32_t fallback) {
  std::string value;
  if (!FindProfileValue(text, section, key, value)) return fallback;
  size_t i = 0;
  bool negative = false;
  if (i < value.size() && (value[i] == '-' || value[i] == '+')) negative = value[i++] == '-';
  uint32_t n = 0;
  for (; i < value.size() && value[i] >= '0' && value[i] <= '9'; ++i) n = n * 10 + static_cast<uint32_t>(value[i] - '0');
  return static_cast<int32_t>(negative ? 0u - n : n);
}

std::string ReadProfileString(std::string_view path, std::string_view section, std::string_view key,
                              std::string_view fallback) {
  std::string text;
  return ReadWholeFile(path, text) ? ProfileString(text, section, key, fallback) : std::string(fallback);
}

int32_t ReadProfileInt(std::string_view path, std::string_view section, std::string_view key, int32_t fallback) {
  std::string text;
  return ReadWholeFile(path, text) ? ProfileInt(text, section, key, fallback) : fallback;
}

bool WriteProfileString(std::string_view path, std::string_view section, std::string_view key,
                        std::string_view value) {
  std::string host;
  if (!ResolveSavePath(path, true, host)) return false;
  std::string text;
  ReadWholeFile(host, text);  // a missing file starts empty
  std::string updated = SetProfileValue(text, section, key, value);
  return ReplaceHostFile(host, updated.data(), updated.size());
}
