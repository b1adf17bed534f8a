#include "vm/assembler.h"

#include <cctype>
#include <algorithm>
#include <charconv>
#include <optional>

#include "vm/opcodes.h"

namespace {

enum class Kind { kReg, kImm, kAddrOf, kMem, kFrame, kInd, kIndByte, kIndWord, kBare };

struct Operand {
  Kind kind;
  int reg = 0;            // kReg and the indirect forms
  std::string_view expr;  // everything else
};

std::string_view Trim(std::string_view s) {
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
  return s;
}

std::optional<int> Register(std::string_view s) {
  if (s == "fp") return 6;
  if (s == "sp") return 7;
  if (s.size() < 2 || s[0] != 'r') return std::nullopt;
  int n = 0;
  auto [p, ec] = std::from_chars(s.data() + 1, s.data() + s.size(), n);
  if (ec != std::errc() || p != s.data() + s.size() || n < 0 || n > 15) return std::nullopt;
  return n;
}

// Splits on commas outside quotes and brackets.
std::vector<std::string_view> SplitOperands(std::string_view s) {
  std::vector<std::string_view> parts;
  int depth = 0;
  bool quoted = false;
  size_t start = 0;
  for (size_t i = 0; i < s.size(); ++i) {
    char c = s[i];
    if (c == '"' && (i == 0 || s[i - 1] != '\\')) quoted = !quoted;
    if (quoted) continue;
    if (c == '[') ++depth;
    if (c == ']') --depth;
    if (c == ',' && depth == 0) {
      parts.push_back(Trim(s.substr(start, i - start)));
      start = i + 1;
    }
  }
  if (!Trim(s.substr(start)).empty() || !parts.empty()) parts.push_back(Trim(s.substr(start)));
  return parts;
}

std::optional<Operand> ParseOperand(std::string_view s) {
  if (auto r = Register(s)) return Operand{Kind::kReg, *r, {}};
  if (s.starts_with('$')) return Operand{Kind::kImm, 0, Trim(s.substr(1))};
  if (s.starts_with('@')) return Operand{Kind::kAddrOf, 0, Trim(s.substr(1))};
  Kind ind = Kind::kInd;
  if (s.starts_with("byte ")) { ind = Kind::kIndByte; s = Trim(s.substr(5)); }
  else if (s.starts_with("word ")) { ind = Kind::kIndWord; s = Trim(s.substr(5)); }
  if (s.starts_with('[') && s.ends_with(']')) {
    std::string_view inner = Trim(s.substr(1, s.size() - 2));
    if (auto r = Register(inner)) {
      if (*r == 6 && ind == Kind::kInd && inner == "fp") return Operand{Kind::kFrame, 0, "0"};
      return Operand{ind, *r, {}};
    }
    if (ind != Kind::kInd) return std::nullopt;
    if (inner.starts_with("fp") && inner.find_first_not_of(" \t+-", 2) != 2) {
      std::string_view off = Trim(inner.substr(2));
      if (off.starts_with('+')) off = Trim(off.substr(1));
      return Operand{Kind::kFrame, 0, off.empty() ? "0" : off};
    }
    return Operand{Kind::kMem, 0, inner};
  }
  if (ind != Kind::kInd) return std::nullopt;
  return Operand{Kind::kBare, 0, s};
}

bool Fits(Shape shape, const std::vector<Operand>& ops) {
  auto is = [&](size_t i, Kind k) { return i < ops.size() && ops[i].kind == k; };
  size_t n = ops.size();
  switch (shape) {
    case Shape::kNone: return n == 0;
    case Shape::kTrap: case Shape::kSize: case Shape::kTarget: return n == 1 && is(0, Kind::kBare);
    case Shape::kRegReg: return n == 2 && is(0, Kind::kReg) && is(1, Kind::kReg);
    case Shape::kRegS: case Shape::kRegD: return n == 1 && is(0, Kind::kReg);
    case Shape::kRegImm: return n == 2 && is(0, Kind::kReg) && is(1, Kind::kImm);
    case Shape::kRegAddrOf: return n == 2 && is(0, Kind::kReg) && is(1, Kind::kAddrOf);
    case Shape::kRegMem: return n == 2 && is(0, Kind::kReg) && is(1, Kind::kMem);
    case Shape::kRegFrame: return n == 2 && is(0, Kind::kReg) && is(1, Kind::kFrame);
    case Shape::kRegInd: return n == 2 && is(0, Kind::kReg) && is(1, Kind::kInd);
    case Shape::kRegIndByte: return n == 2 && is(0, Kind::kReg) && is(1, Kind::kIndByte);
    case Shape::kRegIndWord: return n == 2 && is(0, Kind::kReg) && is(1, Kind::kIndWord);
    case Shape::kRegIndImm: return n == 3 && is(0, Kind::kReg) && is(1, Kind::kInd) && is(2, Kind::kImm);
    case Shape::kMemReg: return n == 2 && is(0, Kind::kMem) && is(1, Kind::kReg);
    case Shape::kFrameReg: return n == 2 && is(0, Kind::kFrame) && is(1, Kind::kReg);
    case Shape::kIndReg: return n == 2 && is(0, Kind::kInd) && is(1, Kind::kReg);
    case Shape::kImm: return n == 1 && is(0, Kind::kImm);
    case Shape::kMem: return n == 1 && is(0, Kind::kMem);
    case Shape::kFrame: return n == 1 && is(0, Kind::kFrame);
  }
  return false;
}

class Assembler {
 public:
  Assembler(uint32_t origin, AssembledProgram& out) : origin_(origin), out_(out) {}

  bool Run(std::string_view source) {
    for (pass_ = 0; pass_ < 2; ++pass_) {
      out_.bytes.clear();
      line_no_ = 0;
      size_t pos = 0;
      while (pos <= source.size()) {
        size_t end = source.find('\n', pos);
        if (end == std::string_view::npos) end = source.size();
        ++line_no_;
        if (!Line(source.substr(pos, end - pos))) return false;
        pos = end + 1;
      }
    }
    return true;
  }

 private:
  bool Fail(std::string what) {
    out_.error = "line " + std::to_string(line_no_) + ": " + what;
    return false;
  }

  uint32_t Here() const { return origin_ + static_cast<uint32_t>(out_.bytes.size()); }

  void Put8(uint32_t v) { out_.bytes.push_back(static_cast<uint8_t>(v)); }
  void Put16(uint32_t v) { Put8(v); Put8(v >> 8); }
  void Put32(uint32_t v) { Put16(v); Put16(v >> 16); }

  // A sum of terms: numbers, characters 'c' and labels, joined by + and -.
  bool Value(std::string_view e, uint32_t& v) {
    e = Trim(e);
    if (e.empty()) return Fail("missing value");
    v = 0;
    size_t pos = 0;
    bool negative = false;
    if (e[0] == '-' || e[0] == '+') { negative = e[0] == '-'; pos = 1; }
    while (true) {
      size_t next = pos;
      if (next < e.size() && e[next] == '\'') next = std::min(e.size(), next + 3);
      next = e.find_first_of("+-", next);
      uint32_t term;
      if (!Term(Trim(e.substr(pos, next == std::string_view::npos ? std::string_view::npos : next - pos)), term))
        return false;
      v = negative ? v - term : v + term;
      if (next == std::string_view::npos) return true;
      negative = e[next] == '-';
      pos = next + 1;
    }
  }

  bool Term(std::string_view t, uint32_t& v) {
    if (t.empty()) return Fail("missing value");
    if (t.size() == 3 && t.front() == '\'' && t.back() == '\'') { v = static_cast<uint8_t>(t[1]); return true; }
    if (std::isdigit(static_cast<unsigned char>(t.front()))) {
      int base = 10;
      std::string_view digits = t;
      if (digits.starts_with("0x") || digits.starts_with("0X")) { base = 16; digits.remove_prefix(2); }
      uint64_t n = 0;
      auto [p, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), n, base);
      if (ec != std::errc() || p != digits.data() + digits.size() || n > 0xFFFFFFFFu)
        return Fail("bad number '" + std::string(t) + "'");
      v = static_cast<uint32_t>(n);
      return true;
    }
    auto it = out_.labels.find(t);
    if (it == out_.labels.end()) {
      if (pass_ == 1) return Fail("unknown label '" + std::string(t) + "'");
      v = 0;
      return true;
    }
    v = it->second;
    return true;
  }

  bool Directive(std::string_view name, std::string_view args) {
    if (name == ".asciz" || name == ".ascii") {
      args = Trim(args);
      if (args.size() < 2 || args.front() != '"' || args.back() != '"') return Fail("expected a quoted string");
      for (size_t i = 1; i + 1 < args.size(); ++i) {
        char c = args[i];
        if (c == '\\' && i + 2 < args.size()) {
          char n = args[++i];
          c = n == 'n' ? '\n' : n == 't' ? '\t' : n == '0' ? '\0' : n;
        }
        Put8(static_cast<uint8_t>(c));
      }
      if (name == ".asciz") Put8(0);
      return true;
    }
    int width = name == ".long" ? 4 : name == ".word" ? 2 : name == ".byte" ? 1 : name == ".zero" ? 0 : -1;
    if (width < 0) return Fail("unknown directive " + std::string(name));
    for (std::string_view a : SplitOperands(args)) {
      uint32_t v = 0;
      if (!Value(a, v)) return false;
      if (width == 0) out_.bytes.resize(out_.bytes.size() + v, 0);
      else for (int i = 0; i < width; ++i) Put8(v >> (8 * i));
    }
    return true;
  }

  bool Line(std::string_view line) {
    size_t semi = std::string_view::npos;
    bool quoted = false;
    for (size_t i = 0; i < line.size(); ++i) {
      if (line[i] == '"') quoted = !quoted;
      if (line[i] == ';' && !quoted) { semi = i; break; }
    }
    line = Trim(line.substr(0, semi));
    size_t colon = line.find(':');
    if (colon != std::string_view::npos && line.find('"') > colon) {
      std::string label(Trim(line.substr(0, colon)));
      if (label.empty() || label.find_first_of(" \t[$@") != std::string::npos) return Fail("bad label");
      if (pass_ == 0 && !out_.labels.emplace(label, Here()).second) return Fail("label '" + label + "' defined twice");
      line = Trim(line.substr(colon + 1));
    }
    if (line.empty()) return true;
    size_t space = line.find_first_of(" \t");
    std::string_view mnemonic = line.substr(0, space);
    std::string_view rest = space == std::string_view::npos ? std::string_view{} : Trim(line.substr(space));
    if (mnemonic.starts_with('.')) return Directive(mnemonic, rest);

    std::vector<Operand> ops;
    for (std::string_view text : SplitOperands(rest)) {
      auto op = ParseOperand(text);
      if (!op) return Fail("bad operand '" + std::string(text) + "'");
      ops.push_back(*op);
    }
    for (int code = 0; code < kOpcodeCount; ++code) {
      const OpcodeInfo& info = kOpcodeTable[code];
      if (mnemonic == info.mnemonic && Fits(info.shape, ops)) return Emit(static_cast<uint8_t>(code), info.shape, ops);
    }
    return Fail("no form of '" + std::string(mnemonic) + "' takes these operands");
  }

  bool Emit(uint8_t code, Shape shape, const std::vector<Operand>& ops) {
    Put8(code);
    auto rb = [&](int s, int d) { Put8((s << 4) | d); };
    uint32_t v = 0;  // every path below sets it before use
    switch (shape) {
      case Shape::kNone: return true;
      case Shape::kTrap: if (!Value(ops[0].expr, v)) return false; Put16(v); return true;
      case Shape::kRegReg: rb(ops[1].reg, ops[0].reg); return true;
      case Shape::kRegS: rb(ops[0].reg, 7); return true;
      case Shape::kRegD: rb(7, ops[0].reg); return true;
      case Shape::kRegInd: case Shape::kRegIndByte: case Shape::kRegIndWord: rb(ops[1].reg, ops[0].reg); return true;
      case Shape::kIndReg: rb(ops[1].reg, ops[0].reg); return true;
      case Shape::kRegImm: case Shape::kRegAddrOf: case Shape::kRegMem: case Shape::kRegFrame:
        rb(7, ops[0].reg);
        if (!Value(ops[1].expr, v)) return false;
        Put32(v);
        return true;
      case Shape::kRegIndImm:
        rb(ops[1].reg, ops[0].reg);
        if (!Value(ops[2].expr, v)) return false;
        Put32(v);
        return true;
      case Shape::kMemReg: case Shape::kFrameReg:
        rb(ops[1].reg, 7);
        if (!Value(ops[0].expr, v)) return false;
        Put32(v);
        return true;
      case Shape::kImm: case Shape::kSize: case Shape::kTarget: case Shape::kMem: case Shape::kFrame:
        if (!Value(ops[0].expr, v)) return false;
        Put32(v);
        return true;
    }
    return true;
  }

  uint32_t origin_;
  AssembledProgram& out_;
  int pass_ = 0;
  int line_no_ = 0;
};

}  // namespace

AssembledProgram Assemble(std::string_view source, uint32_t origin) {
  AssembledProgram out;
  if (!Assembler(origin, out).Run(source)) {
    out.bytes.clear();
    out.labels.clear();
  }
  return out;
}
