// keva-cc: compiles a script source the way the engine does and reports the
// compiler's messages; --dump prints the program image.
//
//   keva-cc [--dump] [--base ADDR] FILE.c
//
// The file's folder is the script directory. Exit status 0 when the script
// compiles, 1 otherwise.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "compiler/compiler.h"
#include "platform/error_box.h"
#include "platform/text_encoding.h"
#include "vm/context.h"

namespace {

void Quiet(std::string_view, std::string_view) {}

void PrintErrors() {
  std::string_view text = CompileErrorText();
  if (text.empty()) return;
  std::string utf8 = SjisToUtf8(text);
  std::fwrite(utf8.data(), 1, utf8.size(), stderr);
}

constexpr const char* kUsage = "Usage: keva-cc [--dump] [--base ADDR] FILE.c\n";

constexpr const char* kHelp =
    "\n"
    "Compiles a script the way the engine does, with the file's folder as the\n"
    "script directory, and prints the compiler's messages (UTF-8) on standard\n"
    "error. Nothing runs.\n"
    "\n"
    "  --dump       print the program image: code and static data in hex\n"
    "  --base ADDR  compile for a program area at ADDR (default 0x10000)\n"
    "  --help       show this help\n"
    "  --version    show the version\n"
    "\n"
    "Exit status: 0 when the script compiles, 1 otherwise.\n";

int Usage() {
  std::fputs(kUsage, stderr);
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  bool dump = false;
  uint32_t base = 0x10000;
  const char* file = nullptr;
  for (int i = 1; i < argc; ++i) {
    std::string_view a = argv[i];
    if (a == "--version") {
      std::printf("keva-cc %s\n", KEVA_VERSION);
      return 0;
    }
    if (a == "--help") {
      std::fputs(kUsage, stdout);
      std::fputs(kHelp, stdout);
      return 0;
    }
    if (a == "--dump") {
      dump = true;
    } else if (a == "--base" && i + 1 < argc) {
      char* end = nullptr;
      unsigned long v = std::strtoul(argv[++i], &end, 0);
      if (!end || *end || v == 0 || v > 0xFFFFFFFFul) return Usage();
      base = static_cast<uint32_t>(v);
    } else if (!a.empty() && a[0] == '-') {
      return Usage();
    } else if (!file) {
      file = argv[i];
    } else {
      return Usage();
    }
  }
  if (!file) return Usage();

  std::string path(file);
  size_t slash = path.find_last_of("/\\");
  std::string directory = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  std::string sjis_dir, sjis_name;
  if (!Utf8ToSjis(directory, sjis_dir)) sjis_dir = directory;
  if (!Utf8ToSjis(name, sjis_name)) sjis_name = name;

  SetErrorBoxBackend(Quiet);
  AllocExternalArea(0x200000);  // extern variables are laid out in it
  SetScriptDirectory(sjis_dir);

  // The measuring pass finds every error the engine would report; the image
  // is only written when it is to be printed.
  if (!CompileSourceInto(sjis_name.c_str(), nullptr, base, 0)) {
    PrintErrors();
    return 1;
  }
  if (!dump) {
    PrintErrors();
    return 0;
  }
  uint64_t size = uint64_t{CompiledCodeLength()} + CompiledDataSize();
  std::vector<uint8_t> image(size);
  int ok = CompileSourceInto(sjis_name.c_str(), image.data(), base, static_cast<uint32_t>(size));
  PrintErrors();
  if (!ok) return 1;
  for (size_t at = 0; at < image.size(); at += 16) {
    std::printf("%08zx ", at);
    for (size_t k = at; k < at + 16 && k < image.size(); ++k) std::printf(" %02x", image[k]);
    std::printf("\n");
  }
  return 0;
}
