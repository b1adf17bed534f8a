// The compiler's front end: the source file stack, the line reader and its
// directives, macros, the character reader, the lexer, the symbol tables and
// the compile error mechanism.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "compiler/compiler.h"
#include "compiler/compiler_state.h"
#include "compiler/source_reader.h"
#include "platform/program_folder.h"
#include "platform/text_encoding.h"

namespace kc {

CompilerState g;

namespace {

// Workspace: name buffer, macro argument area, symbol tables.
constexpr uint32_t kWorkspaceSize = 409600;  // followed by the string literal area
uint8_t* workspace = nullptr;

// Character classes.
enum : uint8_t { kClsSpace = 1, kClsDigit = 2, kClsHex = 4, kClsLower = 8, kClsUpper = 0x10, kClsName = 0x20, kClsLead = 0x80 };
uint8_t char_class[256];

void BuildCharClasses() {
  for (int c = 0; c < 256; ++c) {
    uint8_t f = 0;
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n') f |= kClsSpace;
    if (c >= '0' && c <= '9') f |= kClsDigit | kClsHex;
    if ((c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f')) f |= kClsHex;
    if (c >= 'a' && c <= 'z') f |= kClsLower | kClsName;
    if (c >= 'A' && c <= 'Z') f |= kClsUpper | kClsName;
    if (c == '_') f |= kClsName;
    if (IsSjisLead(static_cast<uint8_t>(c))) f |= kClsLead;
    char_class[c] = f;
  }
}

inline bool IsNameStart(int c) { return c > 0 && (char_class[c & 0xFF] & (kClsName | kClsLead)); }
inline bool IsNameChar(int c) { return c > 0 && (char_class[c & 0xFF] & (kClsName | kClsLead | kClsDigit)); }
inline bool IsLead(int c) { return c > 0 && (char_class[c & 0xFF] & kClsLead); }
inline bool IsSpace(int c) { return c > 0 && (char_class[c & 0xFF] & kClsSpace); }
inline bool IsDigit(int c) { return c > 0 && (char_class[c & 0xFF] & kClsDigit); }
inline bool IsHex(int c) { return c > 0 && (char_class[c & 0xFF] & kClsHex); }

const char* const kErrorTexts[25] = {
    "\x93\xe0\x95\x94\x83\x47\x83\x89\x81\x5b",  // 内部エラー
    "\x83\x81\x83\x82\x83\x8a\x82\xcc\x8a\x6d\x95\xdb\x82\xc9\x8e\xb8\x94\x73\x82\xb5\x82\xdc\x82\xb5\x82\xbd",  // メモリの確保に失敗しました
    "\x83\x74\x83\x40\x83\x43\x83\x8b\x82\xcc\x83\x49\x81\x5b\x83\x76\x83\x93\x82\xc9\x8e\xb8\x94\x73\x82\xb5"
    "\x82\xdc\x82\xb5\x82\xbd",  // ファイルのオープンに失敗しました
    "\x83\x74\x83\x40\x83\x43\x83\x8b\x82\xcc\x93\xc7\x82\xdd\x8d\x9e\x82\xdd\x82\xc9\x8e\xb8\x94\x73\x82\xb5"
    "\x82\xdc\x82\xb5\x82\xbd",  // ファイルの読み込みに失敗しました
    "\x83\x66\x83\x42\x83\x8c\x83\x4e\x83\x65\x83\x42\x83\x76\x96\xbd\x97\xdf\x82\xc5\x83\x47\x83\x89\x81\x5b"
    "\x82\xaa\x94\xad\x90\xb6\x82\xb5\x82\xdc\x82\xb5\x82\xbd",  // ディレクティプ命令でエラーが発生しました
    "\x83\x43\x83\x93\x83\x4e\x83\x8b\x81\x5b\x83\x68\x83\x74\x83\x40\x83\x43\x83\x8b\x82\xcc\x8e\x77\x92\xe8"
    "\x82\xaa\x8a\xd4\x88\xe1\x82\xc1\x82\xc4\x82\xdc\x82\xb7",  // インクルードファイルの指定が間違ってます
    "\x83\x43\x83\x93\x83\x4e\x83\x8b\x81\x5b\x83\x68\x83\x74\x83\x40\x83\x43\x83\x8b\x82\xcc\x83\x6c\x83\x58"
    "\x83\x67\x89\xf1\x90\x94\x82\xaa\x91\xbd\x82\xb7\x82\xac\x82\xdc\x82\xb7",  // インクルードファイルのネスト回数が多すぎます
    "\x83\x7d\x83\x4e\x83\x8d\x82\xcc\x8e\x51\x8f\xc6\x89\xf1\x90\x94\x82\xaa\x82\x50\x82\x55\x89\xf1\x82\xf0"
    "\x92\xb4\x82\xa6\x82\xdc\x82\xb5\x82\xbd",  // マクロの参照回数が１６回を超えました
    "\x95\xcf\x90\x94\x81\x69\x8a\xd6\x90\x94\x81\x6a\x82\xcc\x90\xe9\x8c\xbe\x82\xc9\x8c\xeb\x82\xe8\x82\xaa"
    "\x82\xa0\x82\xe8\x82\xdc\x82\xb7",  // 変数（関数）の宣言に誤りがあります
    "\x8e\xae\x82\xcc\x8b\x4c\x8f\x71\x82\xc9\x8c\xeb\x82\xe8\x82\xaa\x82\xa0\x82\xe8\x82\xdc\x82\xb7",  // 式の記述に誤りがあります
    "\x82\x4f\x82\xc5\x8f\x9c\x8e\x5a\x82\xb5\x82\xdc\x82\xb5\x82\xbd",  // ０で除算しました
    "\x92\xe8\x90\x94\x82\xaa\x82\xa0\x82\xe8\x82\xdc\x82\xb9\x82\xf1",  // 定数がありません
    "\x95\xb6\x96\x40\x83\x47\x83\x89\x81\x5b",  // 文法エラー
    "\x95\xcf\x90\x94\x82\xaa\x82\xa0\x82\xe8\x82\xdc\x82\xb9\x82\xf1",  // 変数がありません
    "\x8c\x5e\x82\xcc\x8e\x77\x92\xe8\x82\xaa\x8a\xd4\x88\xe1\x82\xc1\x82\xc4\x82\xa2\x82\xdc\x82\xb7",  // 型の指定が間違っています
    "\x92\xe8\x8b\x60\x82\xb3\x82\xea\x82\xc4\x82\xa2\x82\xc8\x82\xa2\x95\xb6\x8e\x9a\x97\xf1\x82\xc5\x82\xb7",  // 定義されていない文字列です
    "\x95\xb6\x8e\x9a\x97\xf1\x82\xcd\x88\xea\x8d\x73\x93\xe0\x82\xc9\x8b\x4c\x8f\x71\x82\xb5\x82\xc4\x82\xad"
    "\x82\xbe\x82\xb3\x82\xa2",  // 文字列は一行内に記述してください
    "\x83\x4e\x83\x48\x81\x5b\x83\x65\x81\x5b\x83\x56\x83\x87\x83\x93\x82\xaa\x82\xa0\x82\xe8\x82\xdc\x82\xb9"
    "\x82\xf1",  // クォーテーションがありません
    "\x83\x4f\x83\x8d\x81\x5b\x83\x6f\x83\x8b\x83\x56\x83\x93\x83\x7b\x83\x8b\x82\xcc\x90\x94\x82\xaa\x91\xbd"
    "\x82\xb7\x82\xac\x82\xdc\x82\xb7",  // グローバルシンボルの数が多すぎます
    "\x83\x8d\x81\x5b\x83\x4a\x83\x8b\x83\x56\x83\x93\x83\x7b\x83\x8b\x82\xcc\x90\x94\x82\xaa\x91\xbd\x82\xb7"
    "\x82\xac\x82\xdc\x82\xb7",  // ローカルシンボルの数が多すぎます
    "\x83\x56\x83\x93\x83\x7b\x83\x8b\x83\x6f\x83\x62\x83\x74\x83\x40\x82\xcc\x92\xb7\x82\xb3\x82\xf0\x83\x49"
    "\x81\x5b\x83\x6f\x81\x5b\x82\xb5\x82\xdc\x82\xb5\x82\xbd",  // シンボルバッファの長さをオーバーしました
    "\x88\xea\x8d\x73\x82\xcc\x92\xb7\x82\xb3\x82\xaa\x92\xb7\x82\xb7\x82\xac\x82\xdc\x82\xb7",  // 一行の長さが長すぎます
    "\x83\x71\x81\x5b\x83\x76\x97\xcc\x88\xe6\x82\xaa\x88\xec\x82\xea\x82\xdc\x82\xb5\x82\xbd",  // ヒープ領域が溢れました
    "\x83\x76\x83\x8d\x83\x4f\x83\x89\x83\x80\x97\xcc\x88\xe6\x82\xaa\x91\xab\x82\xe8\x82\xdc\x82\xb9\x82\xf1",  // プログラム領域が足りません
    "\x83\x52\x83\x93\x83\x70\x83\x43\x83\x8b\x93\x72\x92\x86\x82\xc5\x20\x45\x4f\x46\x20\x82\xaa\x8c\xbb\x82"
    "\xea\x82\xdc\x82\xb5\x82\xbd",  // コンパイル途中で EOF が現れました
};

constexpr const char* kMissing = "\x20\x82\xaa\x82\xa0\x82\xe8\x82\xdc\x82\xb9\x82\xf1";  // " がありません"
constexpr const char* kIdentifierName = "\x8e\xaf\x95\xca\x8e\x71";                    // 識別子
constexpr const char* kPeriod = "\x81\x42";                                             // 。
constexpr const char* kMarker = "\x81\xa1";                                             // ■

SourceFile* CurrentFile() { return g.file_depth > 0 ? &g.files[g.file_depth - 1] : nullptr; }

uint32_t Hash(const uint8_t* s, size_t n) {
  uint32_t h = 0;
  for (size_t i = 0; i < n; ++i) h = h * 7 ^ static_cast<uint32_t>(static_cast<int32_t>(static_cast<int8_t>(s[i])));
  return h;
}

bool NameMatches(uint32_t stored, const uint8_t* q, size_t n) {
  const uint8_t* s = g.names + stored;
  for (size_t i = 0; i < n; ++i)
    if (s[i] != q[i]) return false;
  return s[n] == 0 || s[n] == '.';
}

// Appends "_N" (a member scope number) to a name.
size_t AppendScope(uint8_t* name, size_t n, int number) {
  char digits[12];
  int k = 0;
  unsigned v = static_cast<unsigned>(number);
  do {
    digits[k++] = static_cast<char>('0' + v % 10);
    v /= 10;
  } while (v);
  name[n++] = '_';
  while (k) name[n++] = static_cast<uint8_t>(digits[--k]);
  return n;
}

int GlobalSymbolHashed(const uint8_t* name, size_t n, uint32_t h) {
  int start = static_cast<int>(h % kGlobalSymbols);
  int i = start;
  for (;;) {
    Symbol& s = g.symbols[i];
    if (s.kind == kSymEmpty) {
      s.name = StoreName(std::string_view(reinterpret_cast<const char*>(name), n));
      s.kind = kSymUndeclared;
      s.type = 0;
      s.value = 0;
      return i;
    }
    if (NameMatches(s.name, name, n)) return i;
    i = (i + 1) % kGlobalSymbols;
    if (i == start) RaiseError(kErrGlobalSymbols);
  }
}

int FindGlobalHashed(const uint8_t* name, size_t n, uint32_t h) {
  int start = static_cast<int>(h % kGlobalSymbols);
  int i = start;
  do {
    Symbol& s = g.symbols[i];
    if (s.kind == kSymEmpty) return -1;
    if (NameMatches(s.name, name, n)) return i;
    i = (i + 1) % kGlobalSymbols;
  } while (i != start);
  return -1;
}

// The local entries in use, so that clearing the table touches only them.
uint16_t used_locals[kLocalSymbols];
int used_local_count = 0;

int LocalSymbolHashed(const uint8_t* name, size_t n, uint32_t h, uint32_t name_offset, bool insert) {
  int start = static_cast<int>(h & 1023);
  int i = start;
  for (;;) {
    Symbol& s = g.symbols[kGlobalSymbols + i];
    if (s.kind == kSymEmpty) {
      if (!insert) return -1;
      used_locals[used_local_count++] = static_cast<uint16_t>(i);
      s.name = name_offset;
      s.kind = kSymUndeclared;
      s.type = 0;
      s.value = 0;
      return kGlobalSymbols + i;
    }
    if (NameMatches(s.name, name, n)) return kGlobalSymbols + i;
    i = (i + 1) & 1023;
    if (i == start) {
      if (!insert) return -1;
      RaiseError(kErrLocalSymbols);
    }
  }
}

// ---- Error text ----------------------------------------------------------------

void AppendFormatted(const char* format, const char* a, int n, const char* b) {
  char buffer[600];
  std::snprintf(buffer, sizeof buffer, format, a, n, b);
  AppendErrorText(buffer);
}

void AppendContextLine() {
  SourceFile* f = CurrentFile();
  if (!f || f->line == 0) return;
  uint32_t length = 0;
  while (length < sizeof g.line && g.line[length] != '\n' && g.line[length] != 0) ++length;
  // Where reading stopped: in a macro expansion, at the outermost reference.
  uint32_t mark = length;
  const uint8_t* text = g.frame_depth > 0 ? g.frames[0].text : g.text;
  uint32_t position = g.frame_depth > 0 ? g.frames[0].position : g.position;
  if (text == g.line) mark = position > 0 ? position - 1 : 0;
  if (mark > length) mark = length;
  static char out[kLineBufferSize * 4 + 8];
  uint32_t o = 0, column = 0;
  for (uint32_t i = 0; i <= length; ++i) {
    if (i == mark) {
      out[o++] = kMarker[0];
      out[o++] = kMarker[1];
      column += 2;
    }
    if (i == length) break;
    uint8_t c = g.line[i];
    if (c == '\t') {
      do {
        out[o++] = ' ';
        ++column;
      } while (column % 4 != 0);
    } else {
      out[o++] = static_cast<char>(c);
      ++column;
    }
  }
  out[o++] = '\n';
  out[o] = 0;
  AppendErrorText(std::string_view(out, o));
}

// ---- Sources ---------------------------------------------------------------------

bool SameNameIgnoringCase(const char* a, const char* b) {
  for (;;) {
    uint8_t x = static_cast<uint8_t>(*a), y = static_cast<uint8_t>(*b);
    if (IsSjisLead(x)) {
      if (x != y || a[1] != b[1]) return false;
      if (a[1] == 0) return true;
      a += 2;
      b += 2;
      continue;
    }
    if (x >= 'a' && x <= 'z') x = static_cast<uint8_t>(x - 32);
    if (y >= 'a' && y <= 'z') y = static_cast<uint8_t>(y - 32);
    if (x == '/') x = '\\';  // both separate folders
    if (y == '/') y = '\\';
    if (x != y) return false;
    if (x == 0) return true;
    ++a;
    ++b;
  }
}

bool AlreadyIncluded(const char* name) {
  uint32_t i = 0;
  while (i < g.included_length) {
    const char* entry = g.included + i;
    if (SameNameIgnoringCase(entry, name)) return true;
    i += static_cast<uint32_t>(std::strlen(entry)) + 1;
  }
  return false;
}

// The engine's own SDK folders, where an included file not found with the
// scripts is looked up: "sdk/" beside the program (the build tree), then
// "share/keva/sdk/" beside the program's folder (an installed engine).
const std::vector<std::string>& SdkFolders() {
  static const std::vector<std::string> folders = [] {
    std::vector<std::string> list;
    std::string program = ProgramFolder();
    if (program.empty()) return list;
    list.push_back(program + "sdk/");
    std::string prefix = program.substr(0, program.size() - 1);
    size_t slash = prefix.rfind('/');
    if (slash != std::string::npos) list.push_back(prefix.substr(0, slash + 1) + "share/keva/sdk/");
    return list;
  }();
  return folders;
}

void OpenSource(const char* name) {
  size_t n = std::strlen(name);
  if (g.included_length + n + 2 > sizeof g.included) RaiseError(kErrIncludeNest);
  std::memcpy(g.included + g.included_length, name, n + 1);
  g.included_length += static_cast<uint32_t>(n) + 1;
  g.included[g.included_length] = 0;

  std::string_view dir = ScriptDirectory();
  if (dir.size() + n + 1 > sizeof(SourceFile::path)) RaiseError(kErrOpen);
  SourceFile& f = g.files[g.file_depth];
  std::memcpy(f.path, dir.data(), dir.size());
  std::memcpy(f.path + dir.size(), name, n + 1);
  f.text = nullptr;
  f.position = 0;
  f.length = 0;
  f.line = 0;
  uint8_t* text = nullptr;
  uint32_t length = 0;
  int r = ReadSourceFile(f.path, &text, &length);
  if (r == kSourceOpenFailed && g.file_depth > 0) {
    // An include that the game does not have itself (the builtin header).
    for (const std::string& folder : SdkFolders()) {
      if (folder.size() + n + 1 > sizeof(SourceFile::path)) continue;
      std::memcpy(f.path, folder.data(), folder.size());
      std::memcpy(f.path + folder.size(), name, n + 1);
      r = ReadSourceFile(f.path, &text, &length);
      if (r != kSourceOpenFailed) break;
    }
  }
  if (r != kSourceOk) {
    // The error names the file that holds the directive (or the main file).
    if (g.file_depth == 0) g.file_depth = 1;
    RaiseError(r == kSourceOpenFailed ? kErrOpen : r == kSourceNoMemory ? kErrMemory : kErrRead);
  }
  f.text = text;
  f.length = length;
  ++g.file_depth;
}

// Reads the next line of the current file into the line buffer without
// looking at directives; false at the end of all input.
bool ReadRawLine() {
  while (g.file_depth > 0) {
    SourceFile& f = g.files[g.file_depth - 1];
    if (f.position < f.length) break;
    if (g.file_depth == 1) {
      g.line_length = 0;
      g.line[0] = 0;
      return false;
    }
    FreeSourceText(f.text);
    f.text = nullptr;
    --g.file_depth;
  }
  if (g.file_depth == 0) return false;
  SourceFile& f = g.files[g.file_depth - 1];
  ++f.line;
  uint32_t n = 0;
  g.line[0] = 0;
  g.text = g.line;
  g.position = 0;
  // Most lines are plain: no carriage return, no byte above 0x7F (so no
  // two-byte character) and short enough. Those are copied whole; any other
  // line goes through the byte loop below.
  {
    const uint8_t* start = f.text + f.position;
    const size_t left = f.length - f.position;
    const auto* end = static_cast<const uint8_t*>(std::memchr(start, '\n', std::min<size_t>(left, kLineBufferSize)));
    const size_t k = end ? static_cast<size_t>(end - start) : left;
    if (k + 1 < kLineBufferSize - 2) {
      uint8_t high = 0;
      for (size_t i = 0; i < k; ++i) high |= start[i];
      if (high < 0x80 && !std::memchr(start, '\r', k)) {
        std::memcpy(g.line, start, k);
        n = static_cast<uint32_t>(k);
        f.position += static_cast<uint32_t>(k);
        if (end) {
          g.line[n++] = '\n';
          ++f.position;
        }
        g.line[n] = 0;
        g.line_length = n;
        return true;
      }
    }
  }
  for (;;) {
    if (f.position >= f.length) break;
    uint8_t b = f.text[f.position++];
    if (b == '\r') continue;
    if (b == '\n') {
      g.line[n++] = '\n';
      break;
    }
    if (n >= kLineBufferSize - 2) {
      g.line[n] = 0;
      g.line_length = n;
      RaiseError(kErrLineLength);
    }
    g.line[n++] = b;
    if (IsLead(b)) {
      if (f.position + 1 >= f.length) {
        g.line[n] = 0;
        g.line_length = n;
        g.input_ended = true;
        RaiseError(kErrEof);
      }
      if (n >= kLineBufferSize - 2) {
        g.line[n] = 0;
        g.line_length = n;
        RaiseError(kErrLineLength);
      }
      g.line[n++] = f.text[f.position++];
    }
  }
  g.line[n] = 0;
  g.line_length = n;
  return true;
}

bool StartsWith(const uint8_t* s, const char* prefix) {
  return std::strncmp(reinterpret_cast<const char*>(s), prefix, std::strlen(prefix)) == 0;
}

void DefineMacro();
void IncludeDirective();

void HandleDirective() {
  const uint8_t* d = g.line + 1;
  g.text = g.line;
  if (StartsWith(d, "define")) {
    g.position = 7;
    DefineMacro();
  } else if (StartsWith(d, "include")) {
    g.position = 8;
    IncludeDirective();
  } else if (StartsWith(d, "trap")) {
    g.trap_pending = g.trap_counter++;
  } else if (StartsWith(d, "asm")) {
    g.position = 4;
    if (g.in_asm) RaiseError(kErrDirective);
    g.in_asm = true;
  } else if (StartsWith(d, "endasm")) {
    g.position = 7;
    if (!g.in_asm) RaiseError(kErrDirective);
    g.in_asm = false;
  } else if (*d == ' ') {
    // comment line
  } else {
    g.position = 1;
    RaiseError(kErrDirective);
  }
}

bool in_literal = false;  // a string literal continues across a line end

void ReadLine() {
  for (;;) {
    if (!ReadRawLine()) {
      g.input_ended = true;
      RaiseError(kErrEof);
    }
    if (g.in_comment || in_literal) return;
    if (g.line[0] == '#' && g.directives_enabled) {
      HandleDirective();
      continue;
    }
    if (g.in_asm) continue;
    g.text = g.line;
    g.position = 0;
    return;
  }
}

// ---- Characters ------------------------------------------------------------------

void PushFrame(const uint8_t* body, bool splice, uint32_t resume, int macro, int param_count,
               uint32_t arg_top, uint32_t saved_params) {
  if (g.frame_depth >= kMaxMacroFrames) RaiseError(kErrMacroNest);
  MacroFrame& f = g.frames[g.frame_depth++];
  f.text = g.text;
  f.position = resume;
  f.saved_char = g.ch;
  f.arg_top = arg_top;
  f.splice = splice;
  f.macro = macro;
  f.param_count = param_count;
  f.saved_params = saved_params;
  g.text = body;
  g.position = 0;
}

int ParamSymbol(int macro, int index);

void PopFrame() {
  MacroFrame& f = g.frames[--g.frame_depth];
  if (f.macro) {
    for (int j = 0; j < f.param_count; ++j) {
      int p = ParamSymbol(f.macro, j);
      if (p >= 0) Sym(p).value = g.saved_param_values[f.saved_params + j];
    }
    g.saved_params_top = f.saved_params;
  }
  g.macro_args_top = f.arg_top;
  g.text = f.text;
  g.position = f.position;
}

int NextCharSlow();

// The common case inline: an ordinary byte of the current text.
inline int NextChar() {
  uint8_t c = g.text[g.position];
  if (c != 0 && c != '#') {
    ++g.position;
    return g.ch = c;
  }
  return NextCharSlow();
}

int NextCharSlow() {
  for (;;) {
    uint8_t c = g.text ? g.text[g.position] : 0;
    if (c == 0) {
      if (g.frame_depth > 0) {
        bool splice = g.frames[g.frame_depth - 1].splice;
        int saved = g.frames[g.frame_depth - 1].saved_char;
        PopFrame();
        if (splice) continue;
        g.ch = saved;
        return g.ch;
      }
      if (g.line_only) {
        g.ch = 0;
        return 0;
      }
      ReadLine();
      continue;
    }
    if (c == '#' && g.frame_depth > 0 && g.text[g.position + 1] == '#') {
      // ## followed by a parameterless macro: splice its text here.
      uint32_t p = g.position + 2;
      uint32_t start = p;
      if (IsNameStart(g.text[p])) {
        while (IsNameChar(g.text[p])) p += IsLead(g.text[p]) && g.text[p + 1] ? 2 : 1;
        int s = FindGlobalSymbol(std::string_view(reinterpret_cast<const char*>(g.text + start), p - start));
        if (s >= 0 && Sym(s).kind == kSymMacro) {
          if (Sym(s).type != 0) RaiseError(kErrDirective);
          if (g.text[p] == '#' && g.text[p + 1] == '#') p += 2;
          PushFrame(workspace + Sym(s).value, true, p, 0, 0, g.macro_args_top, g.saved_params_top);
          continue;
        }
      }
    }
    ++g.position;
    g.ch = c;
    return c;
  }
}

inline int Peek() { return g.text ? g.text[g.position] : 0; }

// A macro reference ends its token: a '#' right after it is its own character,
// never the start of a splice (so p##q with p a parameter is not joined).
// Takes that '#' as the current character and says so.
bool EndsMacroReference(const uint8_t* name, size_t n) {
  if (g.frame_depth == 0 || g.text[g.position + 1] != '#') return false;
  int s = FindGlobalSymbol(std::string_view(reinterpret_cast<const char*>(name), n));
  if (s < 0 || Sym(s).kind != kSymMacro) return false;
  g.ch = '#';
  ++g.position;
  return true;
}

// ---- Macros ------------------------------------------------------------------------

char param_name_buffer[4200];

int ParamSymbol(int macro, int index) {
  std::string_view m = SymbolName(macro);
  int n = std::snprintf(param_name_buffer, sizeof param_name_buffer, "%.*s_%d", static_cast<int>(m.size()), m.data(), index);
  if (n <= 0 || n >= static_cast<int>(sizeof param_name_buffer)) return -1;
  return FindGlobalSymbol(std::string_view(param_name_buffer, static_cast<size_t>(n)));
}

void NameBufferPut(uint8_t c) {
  if (g.names_top >= kNameBufferSize) RaiseError(kErrSymbolBuffer);
  g.names[g.names_top++] = c;
}

void DefineMacro() {
  bool saved_directives = g.directives_enabled;
  int saved_scope = g.scope;
  int saved_member = g.member_scope;
  TokenState saved_tok = g.tok;
  bool saved_pushed = g.has_pushed;
  g.has_pushed = false;
  int saved_ch = g.ch;
  g.directives_enabled = false;
  g.scope = kScopeGlobalDecl;
  g.member_scope = 0;
  g.line_only = true;
  g.defining = true;
  g.ch = ' ';
  int t = NextToken();
  g.defining = false;
  if (t != kTokName || Sym(g.tok.sym).kind != kSymUndeclared) RaiseError(kErrDirective);
  int macro = g.tok.sym;
  if (g.ch != '(') {
    uint32_t body = g.names_top;
    while (g.line[g.position] != 0) NameBufferPut(g.line[g.position++]);
    NameBufferPut(0);
    Sym(macro).kind = kSymMacro;
    Sym(macro).type = 0;
    Sym(macro).value = body;
  } else {
    // Parameters: names up to ')'.
    struct Param {
      uint32_t offset, length;
      int symbol;
    };
    Param params[kMaxMacroParams];
    int count = 0;
    const uint8_t* s = g.line;
    uint32_t p = g.position;
    for (;;) {
      while (s[p] == ' ' || s[p] == '\t') ++p;
      if (!IsNameStart(s[p]) || count >= kMaxMacroParams) {
        g.position = p + 1;
        RaiseError(kErrSyntax);
      }
      uint32_t start = p;
      while (IsNameChar(s[p])) p += IsLead(s[p]) && s[p + 1] ? 2 : 1;
      std::string_view m = SymbolName(macro);
      char name[4200];
      int n = std::snprintf(name, sizeof name, "%.*s_%d", static_cast<int>(m.size()), m.data(), count);
      int sym = GlobalSymbol(std::string_view(name, static_cast<size_t>(n)));
      if (Sym(sym).kind != kSymUndeclared) {
        g.position = p;
        RaiseError(kErrSyntax);
      }
      Sym(sym).kind = kSymMacro;
      Sym(sym).type = 0;
      Sym(sym).value = 0;  // the empty text at the start of the name buffer
      params[count++] = Param{start, p - start, sym};
      while (s[p] == ' ' || s[p] == '\t') ++p;
      if (s[p] == ',') {
        ++p;
        continue;
      }
      if (s[p] == ')') {
        ++p;
        break;
      }
      g.position = p + 1;
      RaiseError(kErrSyntax);
    }
    // Parameter names are compared against the directive line, which a
    // continuation line replaces: keep them.
    char param_text[kLineBufferSize];
    std::memcpy(param_text, g.line, kLineBufferSize);
    uint32_t body = g.names_top;
    int quote = 0;
    for (;;) {
      uint8_t c = g.line[p];
      if (c == 0) break;
      if (c == '\\' && g.line[p + 1] == '\n') {
        if (!ReadRawLine()) {
          g.input_ended = true;
          RaiseError(kErrEof);
        }
        p = 0;
        continue;
      }
      if (c == '\n') break;
      if (IsLead(c) && g.line[p + 1] && g.line[p + 1] != '\n') {
        NameBufferPut(c);
        NameBufferPut(g.line[p + 1]);
        p += 2;
        continue;
      }
      if (quote) {
        if (c == '\\' && g.line[p + 1] && g.line[p + 1] != '\n') {
          NameBufferPut(c);
          NameBufferPut(g.line[p + 1]);
          p += 2;
          continue;
        }
        if (c == quote) quote = 0;
        NameBufferPut(c);
        ++p;
        continue;
      }
      if (c == '"' || c == '\'') {
        quote = c;
        NameBufferPut(c);
        ++p;
        continue;
      }
      if (IsNameStart(c)) {
        uint32_t start = p;
        while (IsNameChar(g.line[p])) p += IsLead(g.line[p]) && g.line[p + 1] ? 2 : 1;
        uint32_t len = p - start;
        int match = -1;
        for (int j = 0; j < count && match < 0; ++j) {
          if (params[j].length != len) continue;
          bool same = true;
          for (uint32_t k = 0; k < len && same; ++k) {
            uint8_t a = g.line[start + k], b = static_cast<uint8_t>(param_text[params[j].offset + k]);
            if (a >= 'a' && a <= 'z') a = static_cast<uint8_t>(a - 32);
            if (b >= 'a' && b <= 'z') b = static_cast<uint8_t>(b - 32);
            same = a == b;
          }
          if (same) match = j;
        }
        if (match >= 0) {
          std::string_view pn = SymbolName(params[match].symbol);
          for (char x : pn) NameBufferPut(static_cast<uint8_t>(x));
        } else {
          for (uint32_t k = start; k < p; ++k) NameBufferPut(g.line[k]);
        }
        continue;
      }
      NameBufferPut(c);
      ++p;
    }
    NameBufferPut('\n');
    NameBufferPut(0);
    Sym(macro).kind = kSymMacro;
    Sym(macro).type = count;
    Sym(macro).value = body;
  }
  g.line_only = false;
  g.directives_enabled = saved_directives;
  g.scope = saved_scope;
  g.member_scope = saved_member;
  g.tok = saved_tok;
  g.has_pushed = saved_pushed;
  g.ch = saved_ch;
  g.line_length = 0;
  g.line[0] = 0;
  g.text = g.line;
  g.position = 0;
}

void IncludeDirective() {
  uint32_t p = g.position;
  while (g.line[p] == ' ' || g.line[p] == '\t') ++p;
  g.position = p + 1;
  if (g.line[p] != '"') RaiseError(kErrIncludeName);
  if (g.file_depth >= kMaxSourceFiles) RaiseError(kErrIncludeNest);
  ++p;
  char name[kLineBufferSize];
  uint32_t n = 0;
  for (;;) {
    uint8_t c = g.line[p];
    if (c == '"') break;
    if (c == '\n' || c == 0) {
      g.position = p;
      RaiseError(kErrIncludeName);
    }
    name[n++] = static_cast<char>(c);
    ++p;
    if (IsLead(c) && g.line[p] != '\n' && g.line[p] != 0) name[n++] = static_cast<char>(g.line[p++]);
  }
  name[n] = 0;
  if (AlreadyIncluded(name)) return;
  OpenSource(name);
}

void ExpandMacro(int macro) {
  Symbol& m = Sym(macro);
  if (g.frame_depth >= kMaxMacroFrames) RaiseError(kErrMacroNest);
  if (m.type == 0) {
    PushFrame(workspace + m.value, false, g.position, 0, 0, g.macro_args_top, g.saved_params_top);
    NextChar();
    return;
  }
  int count = m.type;
  uint32_t arg_top = g.macro_args_top;
  uint32_t args[kMaxMacroParams];
  int given = 0;
  while (IsSpace(g.ch)) NextChar();
  bool parens = g.ch == '(';
  if (parens) NextChar();
  int depth = 0;
  int quote = 0;
  uint32_t workspace_args = static_cast<uint32_t>(g.macro_args - workspace);
  auto put = [&](uint8_t c) {
    if (g.macro_args_top >= kMacroArgSize) RaiseError(kErrSymbolBuffer);
    g.macro_args[g.macro_args_top++] = c;
  };
  args[given++] = workspace_args + g.macro_args_top;
  for (;;) {
    int c = g.ch;
    if (c == 0) RaiseError(kErrSyntax);
    if (quote) {
      if (c == '\n') RaiseError(kErrStringLine);
      put(static_cast<uint8_t>(c));
      if (c == '\\') {
        NextChar();
        put(static_cast<uint8_t>(g.ch));
      } else if (c == quote) {
        quote = 0;
      }
      NextChar();
      continue;
    }
    if (depth == 0 && ((parens && c == ')') || (!parens && c == ';'))) break;
    if (c == '(') ++depth;
    if (c == ')') --depth;
    if (depth == 0 && c == ',') {
      put(0);
      if (given >= kMaxMacroParams || given >= count) RaiseError(kErrSyntax);
      args[given++] = workspace_args + g.macro_args_top;
      NextChar();
      continue;
    }
    if (c == '"' || c == '\'') quote = c;
    put(static_cast<uint8_t>(c));
    if (IsLead(c)) {
      NextChar();
      put(static_cast<uint8_t>(g.ch));
    }
    NextChar();
  }
  put(0);
  if (parens) NextChar();  // past ')'; a ';' stays for the statement
  // Bind the parameters, keeping their previous texts for nested uses.
  uint32_t saved = g.saved_params_top;
  if (saved + static_cast<uint32_t>(count) > g.saved_param_values.size()) RaiseError(kErrMacroNest);
  for (int j = 0; j < count; ++j) {
    int p = ParamSymbol(macro, j);
    g.saved_param_values[saved + j] = p >= 0 ? Sym(p).value : 0;
    if (p >= 0) Sym(p).value = j < given ? args[j] : 0;
  }
  g.saved_params_top = saved + static_cast<uint32_t>(count);
  PushFrame(workspace + Sym(macro).value, false, g.position, macro, count, arg_top, saved);
  NextChar();
}

// ---- Literals ----------------------------------------------------------------------

// Reads one backslash sequence (the backslash is current). Returns the value,
// or -1 when the sequence is a line continuation.
int ReadEscape() {
  int c = NextChar();
  if (c == 'x') {
    int v = 0;
    NextChar();
    for (int i = 0; i < 2 && IsHex(g.ch); ++i) {
      int d = g.ch <= '9' ? g.ch - '0' : (g.ch | 0x20) - 'a' + 10;
      v = v * 16 + d;
      NextChar();
    }
    return v;
  }
  if (c == '0') {
    int v = 0;
    NextChar();
    for (int i = 0; i < 3 && g.ch >= '0' && g.ch <= '7'; ++i) {
      v = v * 8 + (g.ch - '0');
      NextChar();
    }
    return v & 0xFF;
  }
  if (c >= '1' && c <= '9') {
    int v = 0;
    for (int i = 0; i < 3 && IsDigit(g.ch); ++i) {
      v = v * 10 + (g.ch - '0');
      NextChar();
    }
    return v & 0xFF;
  }
  if (c == '\n') {
    NextChar();
    return -1;
  }
  int v = c;
  switch (c) {
    case 'b': v = 8; break;
    case 'f': v = 12; break;
    case 'n': v = 10; break;
    case 'r': v = 13; break;
    case 't': v = 9; break;
    default: break;
  }
  NextChar();
  return v & 0xFF;
}

void StringPut(uint8_t c) {
  if (g.strings_top >= kStringAreaSize) RaiseError(kErrSymbolBuffer);
  g.strings[g.strings_top++] = c;
}

void LexString() {
  uint32_t start = g.strings_top;
  if (g.joining_strings && start > 0) --start;  // continue on the previous terminating zero
  uint32_t first = g.joining_strings ? g.tok.text : start;
  g.strings_top = start;
  in_literal = true;
  NextChar();
  for (;;) {
    int c = g.ch;
    if (c == '"') break;
    if (c == '\n' || c == 0) {
      in_literal = false;
      RaiseError(kErrStringLine);
    }
    if (c == '\\') {
      int v = ReadEscape();
      if (v >= 0) StringPut(static_cast<uint8_t>(v));
      continue;
    }
    StringPut(static_cast<uint8_t>(c));
    if (IsLead(c)) {
      NextChar();
      if (g.ch == '\n' || g.ch == 0) {
        in_literal = false;
        RaiseError(kErrStringLine);
      }
      StringPut(static_cast<uint8_t>(g.ch));
    }
    NextChar();
  }
  StringPut(0);
  in_literal = false;
  g.tok.text = first;
  g.tok.length = g.strings_top - first;
  NextChar();
}

void LexCharacter() {
  NextChar();
  uint32_t v;
  if (g.ch == '\n' || g.ch == 0) RaiseError(kErrStringLine);
  if (IsLead(g.ch)) {
    v = static_cast<uint32_t>(g.ch) << 8;
    NextChar();
    v |= static_cast<uint32_t>(g.ch & 0xFF);
    NextChar();
  } else if (g.ch == '\\') {
    int e = ReadEscape();
    v = e < 0 ? 0 : static_cast<uint32_t>(e);
  } else {
    v = static_cast<uint32_t>(g.ch);
    NextChar();
  }
  if (g.ch != '\'') RaiseError(kErrQuote);
  NextChar();
  g.tok.value = v;
  g.tok.is_float = false;
}

void LexNumber() {
  uint32_t v = 0;
  bool is_float = false;
  if (g.ch == '0' && (Peek() == 'x' || Peek() == 'X')) {
    NextChar();
    NextChar();
    while (IsHex(g.ch)) {
      v = v * 16 + static_cast<uint32_t>(g.ch <= '9' ? g.ch - '0' : (g.ch | 0x20) - 'a' + 10);
      NextChar();
    }
  } else if (g.ch == '0' && (Peek() == 'b' || Peek() == 'B')) {
    NextChar();
    NextChar();
    while (g.ch == '0' || g.ch == '1') {
      v = v * 2 + static_cast<uint32_t>(g.ch - '0');
      NextChar();
    }
  } else {
    while (IsDigit(g.ch)) {
      v = v * 10 + static_cast<uint32_t>(g.ch - '0');
      NextChar();
    }
  }
  if (g.ch == '.') {
    char text[256];
    int n = std::snprintf(text, sizeof text, "%d.", static_cast<int32_t>(v));
    NextChar();
    while (IsDigit(g.ch)) {
      if (n < static_cast<int>(sizeof text) - 1) text[n++] = static_cast<char>(g.ch);
      NextChar();
    }
    text[n] = 0;
    float f = 0;
    std::sscanf(text, "%f", &f);
    std::memcpy(&v, &f, 4);
    is_float = true;
  }
  if (g.ch == 'f' || g.ch == 'F') {
    if (!is_float) {
      float f = static_cast<float>(static_cast<int32_t>(v));
      std::memcpy(&v, &f, 4);
      is_float = true;
    }
    NextChar();
  }
  g.tok.value = v;
  g.tok.is_float = is_float;
}

struct Operator {
  const char* text;
  int code;
};
constexpr Operator kOperators[] = {
    {">>=", kTokShrAssign}, {"<<=", kTokShlAssign},
    {"++", kTokInc}, {"--", kTokDec}, {">>", kTokShr}, {"<<", kTokShl}, {">=", kTokGe}, {"<=", kTokLe},
    {"==", kTokEq}, {"!=", kTokNe}, {"&&", kTokAndAnd}, {"||", kTokOrOr}, {"->", kTokArrow},
    {"*=", kTokMulAssign}, {"/=", kTokDivAssign}, {"%=", kTokModAssign}, {"+=", kTokAddAssign},
    {"-=", kTokSubAssign}, {"&=", kTokAndAssign}, {"|=", kTokOrAssign}, {"^=", kTokXorAssign},
    {"!", kTokNot}, {"~", kTokTilde}, {"*", kTokStar}, {"/", kTokSlash}, {"%", kTokPercent},
    {"+", kTokPlus}, {"-", kTokMinus}, {">", kTokGt}, {"<", kTokLt}, {"&", kTokAmp}, {"|", kTokBar},
    {"^", kTokCaret}, {"?", kTokQuestion}, {"=", kTokAssign}, {",", kTokComma}, {"(", kTokLParen},
    {")", kTokRParen}, {"[", kTokLBracket}, {"]", kTokRBracket}, {"{", kTokLBrace}, {"}", kTokRBrace},
    {":", kTokColon}, {";", kTokSemicolon}, {".", kTokDot},
};

// For each first character, the operators starting with it in table order
// (longest first): first_operator[c] and then next_operator[i], -1 ending.
struct OperatorIndex {
  int8_t first[256];
  int8_t next[std::size(kOperators)];
};
constexpr OperatorIndex kOperatorIndex = [] {
  OperatorIndex x{};
  for (int8_t& f : x.first) f = -1;
  for (int i = static_cast<int>(std::size(kOperators)) - 1; i >= 0; --i) {
    const auto c = static_cast<uint8_t>(kOperators[i].text[0]);
    x.next[i] = x.first[c];
    x.first[c] = static_cast<int8_t>(i);
  }
  return x;
}();

int LexOperator() {
  int c0 = g.ch;
  int c1 = Peek();
  int c2 = c1 ? g.text[g.position + 1] : 0;
  for (int i = c0 > 0 ? kOperatorIndex.first[c0 & 0xFF] : -1; i >= 0; i = kOperatorIndex.next[i]) {
    const Operator& op = kOperators[i];
    const char* t = op.text;
    if (t[1] && t[1] != c1) continue;
    if (t[1] && t[2] && t[2] != c2) continue;
    int n = t[1] ? (t[2] ? 3 : 2) : 1;
    for (int i = 0; i < n; ++i) NextChar();
    return op.code;
  }
  NextChar();
  RaiseError(kErrSyntax);
}

bool IsTypeOrTag(int s) { return s >= 0 && (Sym(s).kind == kSymTypedef || Sym(s).kind == kSymTag); }

}  // namespace

// ---- Interfaces ----------------------------------------------------------------------

void AppendErrorText(std::string_view text) {
  if (!g.keep_errors) return;
  uint32_t room = sizeof g.error_text - 1 - g.error_length;
  size_t n = text.size();
  if (n > room) {
    // Cut at a character boundary.
    n = 0;
    while (n < room) {
      size_t step = IsSjisLead(static_cast<uint8_t>(text[n])) ? 2 : 1;
      if (n + step > room) break;
      n += step;
    }
  }
  std::memcpy(g.error_text + g.error_length, text.data(), n);
  g.error_length += static_cast<uint32_t>(n);
  g.error_text[g.error_length] = 0;
}

void RaiseError(int number) {
  if (number == kErrEof && g.at_top_level && g.input_ended) throw CompileEnd{};
  SourceFile* f = CurrentFile();
  g.error_number = number;
  g.error_line = f ? f->line : 0;
  AppendFormatted("%s(%d) : %s", f ? f->path : "", f ? f->line : 0, kErrorTexts[number]);
  AppendErrorText(kPeriod);
  AppendErrorText("\n");
  AppendContextLine();
  throw CompileAbort{number};
}

uint32_t StoreName(std::string_view name) {
  if (g.names_top + name.size() + 1 > kNameBufferSize) RaiseError(kErrSymbolBuffer);
  uint32_t at = g.names_top;
  std::memcpy(g.names + at, name.data(), name.size());
  g.names[at + name.size()] = 0;
  g.names_top += static_cast<uint32_t>(name.size()) + 1;
  return at;
}

std::string_view SymbolName(int index) {
  const char* s = reinterpret_cast<const char*>(g.names + g.symbols[index].name);
  return std::string_view(s, std::strlen(s));
}

int GlobalSymbol(std::string_view name) {
  auto* p = reinterpret_cast<const uint8_t*>(name.data());
  return GlobalSymbolHashed(p, name.size(), Hash(p, name.size()));
}

int FindGlobalSymbol(std::string_view name) {
  auto* p = reinterpret_cast<const uint8_t*>(name.data());
  return FindGlobalHashed(p, name.size(), Hash(p, name.size()));
}

int LocalSymbol(int global_index) {
  std::string_view name = SymbolName(global_index);
  auto* p = reinterpret_cast<const uint8_t*>(name.data());
  return LocalSymbolHashed(p, name.size(), Hash(p, name.size()), g.symbols[global_index].name, true);
}

void ClearLocalSymbols() {
  for (int k = 0; k < used_local_count; ++k) g.symbols[kGlobalSymbols + used_locals[k]] = Symbol{};
  used_local_count = 0;
}

void EnterKeyword(const char* name, int code) {
  int s = GlobalSymbol(name);
  Sym(s).kind = kSymKeyword;
  Sym(s).value = static_cast<uint32_t>(code);
}

void FrontEndStart() {
  workspace = static_cast<uint8_t*>(std::calloc(1, kWorkspaceSize + kStringAreaSize));
  if (!workspace) RaiseError(kErrMemory);
  g.names = workspace;
  g.names_top = 1;  // offset 0 holds the empty text
  g.macro_args = workspace + kNameBufferSize;
  g.macro_args_top = 0;
  g.symbols = reinterpret_cast<Symbol*>(workspace + kNameBufferSize + kMacroArgSize);
  g.strings = workspace + kWorkspaceSize;
  g.strings_top = 0;
  used_local_count = 0;
  g.line[0] = 0;
  g.text = g.line;
  g.position = 0;
  BuildCharClasses();
  in_literal = false;
  static const struct {
    const char* name;
    int code;
  } keywords[] = {
      {"int", kKwInt}, {"void", kKwInt}, {"char", kKwChar}, {"struct", kKwStruct}, {"union", kKwUnion},
      {"signed", kKwSigned}, {"unsigned", kKwUnsigned}, {"static", kKwStatic}, {"goto", kKwGoto},
      {"return", kKwReturn}, {"break", kKwBreak}, {"continue", kKwContinue}, {"if", kKwIf},
      {"else", kKwElse}, {"for", kKwFor}, {"do", kKwDo}, {"while", kKwWhile}, {"switch", kKwSwitch},
      {"case", kKwCase}, {"default", kKwDefault}, {"typedef", kKwTypedef}, {"sizeof", kKwSizeof},
      {"long", kKwLong}, {"short", kKwShort}, {"float", kKwFloat}, {"extern", kKwExtern},
  };
  for (const auto& k : keywords) EnterKeyword(k.name, k.code);
}

void FrontEndStop() {
  for (int i = 0; i < g.file_depth; ++i) {
    FreeSourceText(g.files[i].text);
    g.files[i].text = nullptr;
  }
  g.file_depth = 0;
  std::free(workspace);
  workspace = nullptr;
  g.names = nullptr;
  g.macro_args = nullptr;
  g.symbols = nullptr;
  g.strings = nullptr;
}

void OpenMainSource(const char* name) {
  OpenSource(name);
  ReadLine();
  NextChar();
}

void ReleaseStrings(uint32_t mark) {
  if (g.tok.code == kTokString) mark = std::max(mark, g.tok.text + g.tok.length);
  if (g.has_pushed && g.pushed.code == kTokString) mark = std::max(mark, g.pushed.text + g.pushed.length);
  if (mark < g.strings_top) g.strings_top = mark;
}

void PushBackToken(const TokenState& previous) {
  g.pushed = g.tok;
  g.has_pushed = true;
  g.tok = previous;
}

int NextToken() {
  if (g.has_pushed) {
    g.has_pushed = false;
    g.tok = g.pushed;
    return g.tok.code;
  }
  for (;;) {
    while (IsSpace(g.ch)) NextChar();
    int c = g.ch;
    if (c == 0 && g.line_only) return g.tok.code = kTokEof;
    if (c == '/' && Peek() == '*') {
      g.in_comment = true;
      NextChar();
      NextChar();
      int depth = 1;
      for (;;) {
        int x = g.ch;
        if (x == '/' && Peek() == '*') {
          ++depth;
          NextChar();
          NextChar();
          continue;
        }
        if (x == '*' && Peek() == '/') {
          NextChar();
          if (--depth == 0) {
            g.in_comment = false;
            NextChar();
            break;
          }
          NextChar();
          continue;
        }
        if (x == 0 && g.line_only) {
          g.in_comment = false;
          return g.tok.code = kTokEof;
        }
        if (IsLead(x)) NextChar();
        NextChar();
      }
      continue;
    }
    if (c == '/' && Peek() == '/') {
      while (g.ch != '\n' && g.ch != 0) NextChar();
      continue;
    }
    if (IsNameStart(c)) {
      uint8_t name[kLineBufferSize + 16];
      size_t n = 0;
      while (IsNameChar(g.ch)) {
        bool lead = IsLead(g.ch);
        if (n < kLineBufferSize - 2) name[n++] = static_cast<uint8_t>(g.ch);
        if (lead) {
          NextChar();
          if (n < kLineBufferSize - 2) name[n++] = static_cast<uint8_t>(g.ch);
        }
        if (g.text && g.text[g.position] == '#' && EndsMacroReference(name, n)) break;
        NextChar();
      }
      uint32_t h = Hash(name, n);
      int gi = GlobalSymbolHashed(name, n, h);
      if (g.defining) {
        g.tok.sym = g.tok.global_sym = gi;
        g.tok.local_sym = -1;
        return g.tok.code = kTokName;
      }
      Symbol& s = Sym(gi);
      if (s.kind == kSymKeyword) return g.tok.code = static_cast<int>(s.value);
      if (s.kind == kSymMacro) {
        ExpandMacro(gi);
        continue;
      }
      if (g.member_scope) {
        bool plain = IsTypeOrTag(gi);
        if (!plain && !IsGlobalScope(g.scope))
          plain = IsTypeOrTag(LocalSymbolHashed(name, n, h, 0, false));
        if (!plain) {
          n = AppendScope(name, n, g.member_scope);
          h = Hash(name, n);
          gi = GlobalSymbolHashed(name, n, h);
        }
      }
      g.tok.global_sym = gi;
      g.tok.sym = gi;
      g.tok.local_sym = -1;
      if (!IsGlobalScope(g.scope)) {
        int li = LocalSymbolHashed(name, n, h, Sym(gi).name, true);
        g.tok.local_sym = li;
        if (IsDeclarationScope(g.scope) || Sym(li).kind != kSymUndeclared) g.tok.sym = li;
      }
      return g.tok.code = kTokName;
    }
    if (IsDigit(c)) {
      LexNumber();
      return g.tok.code = kTokNumber;
    }
    if (c == '\'') {
      LexCharacter();
      return g.tok.code = kTokNumber;
    }
    if (c == '"') {
      LexString();
      return g.tok.code = kTokString;
    }
    return g.tok.code = LexOperator();
  }
}

void Expect(int code) {
  if (g.tok.code == code) {
    NextToken();
    return;
  }
  const char* name = kIdentifierName;
  switch (code) {
    case kTokLParen: name = "'('"; break;
    case kTokRParen: name = "')'"; break;
    case kTokRBracket: name = "']'"; break;
    case kTokColon: name = "':'"; break;
    case kTokSemicolon: name = "';'"; break;
    case kKwWhile: name = "'while'"; break;
    default: break;
  }
  SourceFile* f = CurrentFile();
  char buffer[600];
  std::snprintf(buffer, sizeof buffer, "%s(%d) : %s%s\n", f ? f->path : "", f ? f->line : 0, name, kMissing);
  AppendErrorText(buffer);
}

}  // namespace kc
