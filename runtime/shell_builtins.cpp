#include "runtime/shell_builtins.h"

#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "platform/file_system.h"
#include "platform/process.h"
#include "platform/text_encoding.h"
#include "platform/window.h"
#include "platform/window_thread.h"
#include "runtime/script_text.h"

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// The text at a script address, "" for 0 or a runaway string.
std::string TextOrEmpty(uint32_t addr) {
  std::string s;
  ScriptText(addr, 65535, s);
  return s;
}

// Arguments for a program of this platform: UTF-8 where the Shift_JIS text
// converts, the bytes as they are otherwise.
std::string HostArgument(const std::string& sjis) {
  std::string utf8 = SjisToUtf8(sjis);
  return utf8.find("\xEF\xBF\xBD") == std::string::npos ? utf8 : sjis;
}

bool EndsWithNoCase(std::string_view s, std::string_view tail) {
  return s.size() >= tail.size() && strncasecmp(s.data() + s.size() - tail.size(), tail.data(), tail.size()) == 0;
}

// A program of another platform (its file starts with "MZ") cannot run here.
bool ForeignProgram(const std::string& host) {
  HostFile f = OpenHostFileForRead(host);
  char magic[2] = {};
  size_t got = 0;
  return f.is_open() && f.Read(magic, 2, &got) && got == 2 && magic[0] == 'M' && magic[1] == 'Z';
}

// Finds the program of a command line: a path resolved like every engine
// path, a bare name in the current directory first and then in PATH. False
// for programs that cannot run here.
bool FindProgram(const std::string& name, std::string& program) {
  std::string host;
  bool has_separator = name.find_first_of("\\/") != std::string::npos;
  if (ResolveReadPath(name, host)) {
    if (ForeignProgram(host) || ::access(host.c_str(), X_OK) != 0) return false;
    program = host.find('/') == std::string::npos ? "./" + host : host;
    return true;
  }
  if (has_separator || EndsWithNoCase(name, ".exe") || EndsWithNoCase(name, ".com") || EndsWithNoCase(name, ".bat"))
    return false;
  std::string utf8 = HostArgument(name);
  if (!ProgramInPath(utf8)) return false;
  program = utf8;
  return true;
}

bool Start(const std::vector<std::string>& words) {
  if (words.empty()) return false;
  std::vector<std::string> argv;
  std::string program;
  if (!FindProgram(words[0], program)) return false;
  argv.push_back(program);
  for (size_t i = 1; i < words.size(); ++i) argv.push_back(HostArgument(words[i]));
  return StartProgram(argv);
}

// A URL: a scheme of two or more letters, digits, '+', '-' or '.' and a colon.
bool LooksLikeUrl(std::string_view s) {
  size_t colon = s.find(':');
  if (colon == std::string_view::npos || colon < 2) return false;
  for (size_t i = 0; i < colon; ++i) {
    char c = s[i];
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '+' || c == '-' ||
          c == '.'))
      return false;
  }
  return true;
}

// ---- Message boxes ----

constexpr int kIdOk = 1, kIdCancel = 2, kIdAbort = 3, kIdRetry = 4, kIdIgnore = 5, kIdYes = 6, kIdNo = 7,
              kIdTryAgain = 10, kIdContinue = 11;

struct ButtonSet {
  int count;
  MessageBoxButton buttons[3];
};

// The button sets of the platform's type flags (the low four bits).
const ButtonSet kButtonSets[] = {
    {1, {{kIdOk, "OK"}}},
    {2, {{kIdOk, "OK"}, {kIdCancel, "Cancel"}}},
    {3, {{kIdAbort, "Abort"}, {kIdRetry, "Retry"}, {kIdIgnore, "Ignore"}}},
    {3, {{kIdYes, "Yes"}, {kIdNo, "No"}, {kIdCancel, "Cancel"}}},
    {2, {{kIdYes, "Yes"}, {kIdNo, "No"}}},
    {2, {{kIdRetry, "Retry"}, {kIdCancel, "Cancel"}}},
    {3, {{kIdCancel, "Cancel"}, {kIdTryAgain, "Try Again"}, {kIdContinue, "Continue"}}},
};

struct CaptionCall {
  std::string text;
  bool done = false;
};

void SetCaptionOnWindowThread(uintptr_t arg) {
  auto* call = reinterpret_cast<CaptionCall*>(arg);
  call->done = SetMainWindowCaption(call->text);
}

}  // namespace

std::vector<std::string> SplitCommandLine(std::string_view line) {
  std::vector<std::string> args;
  size_t i = 0;
  while (i < line.size() && IsBlank(line[i])) ++i;
  if (i >= line.size()) return args;
  // The program name.
  std::string program;
  if (line[i] == '"') {
    size_t close = line.find('"', i + 1);
    program = std::string(line.substr(i + 1, close == std::string_view::npos ? std::string_view::npos : close - i - 1));
    i = close == std::string_view::npos ? line.size() : close + 1;
  } else {
    while (i < line.size() && !IsBlank(line[i])) program += line[i++];
  }
  args.push_back(std::move(program));
  // The arguments.
  for (;;) {
    while (i < line.size() && IsBlank(line[i])) ++i;
    if (i >= line.size()) break;
    std::string arg;
    bool quoted = false;
    while (i < line.size() && (quoted || !IsBlank(line[i]))) {
      if (line[i] == '\\') {
        size_t n = 0;
        while (i < line.size() && line[i] == '\\') ++n, ++i;
        if (i < line.size() && line[i] == '"') {
          arg.append(n / 2, '\\');
          if (n % 2) {
            arg += '"';
            ++i;
          }
        } else {
          arg.append(n, '\\');
        }
      } else if (line[i] == '"') {
        if (quoted && i + 1 < line.size() && line[i + 1] == '"') {
          arg += '"';
          i += 2;
        } else {
          quoted = !quoted;
          ++i;
        }
      } else {
        arg += line[i++];
      }
    }
    args.push_back(std::move(arg));
  }
  return args;
}

uint32_t builtin_mbox(BuiltinArgs args) {
  uint32_t type = args.u(0);
  uint32_t set = type & 0xF;
  if (set >= std::size(kButtonSets)) return 0;
  const ButtonSet& b = kButtonSets[set];
  int default_index = static_cast<int>((type >> 8) & 0xF);
  if (default_index >= b.count) default_index = 0;
  int default_id = b.buttons[default_index].id;
  int escape_id = default_id;
  for (int i = 0; i < b.count; ++i)
    if (b.buttons[i].id == kIdCancel || (b.count == 1 && b.buttons[i].id == kIdOk)) escape_id = b.buttons[i].id;
  std::string caption = TextOrEmpty(args.u(1)), text = TextOrEmpty(args.u(2));
  if (!MainWindowExists()) {
    // No window (headless): the default button answers, and the box is told.
    std::fprintf(stderr, "keva: message box \"%s\": %s [answered %s]\n", SjisToUtf8(caption).c_str(),
                 SjisToUtf8(text).c_str(), b.buttons[default_index].label);
    return static_cast<uint32_t>(default_id);
  }
  uint32_t icon_bits = type & 0xF0;
  MessageBoxIcon icon = icon_bits == 0x10   ? MessageBoxIcon::kError
                        : icon_bits == 0x30 ? MessageBoxIcon::kWarning
                        : icon_bits == 0    ? MessageBoxIcon::kNone
                                            : MessageBoxIcon::kInformation;
  int pressed = ShowChoiceBox(caption, text, icon, b.buttons, b.count, default_index, escape_id);
  return pressed < 0 ? 0 : static_cast<uint32_t>(pressed);
}

uint32_t builtin_caption(BuiltinArgs args) {
  std::string text;
  if (!ScriptText(args.u(0), 65535, text)) return 0;
  if (!MainWindowExists()) return 1;  // headless: there is no caption to set
  CaptionCall call{text};
  CallOnWindowThread(SetCaptionOnWindowThread, reinterpret_cast<uintptr_t>(&call));
  return call.done ? 1 : 0;
}

uint32_t builtin_shell(BuiltinArgs args) {
  std::string verb, file;
  if (args.u(0) != 0 && !ScriptText(args.u(0), 64, verb)) return 0;
  if (!ScriptText(args.u(1), 65535, file) || file.empty()) return 0;
  bool open = verb.empty() || strcasecmp(verb.c_str(), "open") == 0 || strcasecmp(verb.c_str(), "explore") == 0;
  if (!open) return 0;  // printing and editing have no counterpart here
  if (LooksLikeUrl(file)) return OpenWithDesktop(file) ? 1 : 0;
  std::string host;
  if (!ResolveReadPath(file, host)) return 0;
  if (ForeignProgram(host)) return 0;
  if (!std::string_view(host).ends_with("/") && ::access(host.c_str(), X_OK) == 0) {
    // A program of this platform runs with the parameters, as a program
    // opened by the shell does.
    std::string params = TextOrEmpty(args.u(2));
    std::vector<std::string> words = SplitCommandLine("x " + params);
    words[0] = file;
    struct stat st;
    if (::stat(host.c_str(), &st) == 0 && S_ISREG(st.st_mode)) return Start(words) ? 1 : 0;
  }
  return OpenWithDesktop(host) ? 1 : 0;
}

uint32_t builtin_exec(BuiltinArgs args) {
  std::string line;
  if (!ScriptText(args.u(0), 32767, line)) return 0;
  return Start(SplitCommandLine(line)) ? 1 : 0;
}

uint32_t builtin_wallpaper(BuiltinArgs args) {
  std::string path, host;
  uint32_t style = args.u(1);
  // A headless run never touches the user's desktop.
  if (MainWindowExists() && ScriptPath(args.u(0), path) && ResolveReadPath(path, host))
    SetDesktopWallpaper(host, (style & 1) != 0, (style & 2) != 0);
  return 1;
}
