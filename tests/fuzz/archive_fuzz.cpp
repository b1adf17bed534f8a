// Any archive file: its table is read, members are looked up by name and
// read through the file layer, and nothing reads past the file or crashes.
#include <vector>

#include "files/archive.h"
#include "files/file_layer.h"
#include "fuzz_support.h"
#include "platform/file_system.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  StartFuzzTarget();
  const std::string path = WriteFuzzFile("pack.bin", data, size);
  {
    HostFile archive = OpenFileForRead(path);
    std::vector<ArchiveMember> members;
    if (ReadArchiveIndex(archive, members) == ArchiveStatus::kOk) {
      for (size_t i = 0; i < members.size() && i < 8; ++i) {
        bool found = false;
        ArchiveMember member;
        FindArchiveMember(archive, members[i].name, &found, &member);
      }
    }
  }
  static const char* const kNames[] = {"a.txt", "b\\c.bmp", "main.c", "zz"};
  for (const char* name : kNames) {
    const std::string member = FuzzFolder() + "/pack/" + name;
    if (ExpFile* f = OpenExpFile(member.c_str())) {
      uint8_t buffer[4096];
      uint32_t read = 0;
      while (ReadExpFile(f, buffer, sizeof buffer, &read) && read == sizeof buffer) {
      }
      CloseExpFile(f);
    }
  }
  return 0;
}
