#include "files/archive.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <numeric>

#include "platform/file_system.h"

int CompareMemberNames(std::string_view a, std::string_view b) { return CompareSjisNoCase(a, b); }

namespace {

uint32_t LoadLe32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

void StoreLe32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}

// The unscrambled table and the names block (with a terminator of our own
// after it, so every name ends inside the block).
struct ArchiveTable {
  std::vector<uint32_t> words;  // 3 per member
  std::vector<char> names;
  uint32_t count = 0;
  int64_t file_size = 0;

  std::string_view Name(uint32_t index, bool* ok) const {
    uint32_t offset = words[3 * index];
    if (offset >= names.size() - 1) {
      *ok = false;
      return {};
    }
    *ok = true;
    return std::string_view(names.data() + offset);
  }
  ArchiveMember Member(uint32_t index, std::string_view name) const {
    return {std::string(name), words[3 * index + 1], words[3 * index + 2]};
  }
  bool DataInside(uint32_t index) const {
    return int64_t{words[3 * index + 1]} + words[3 * index + 2] <= file_size;
  }
};

bool ReadExactly(HostFile& file, void* buffer, size_t count, ArchiveStatus short_status, ArchiveStatus* status) {
  size_t got = 0;
  if (!file.Read(buffer, count, &got)) {
    *status = ArchiveStatus::kReadFailed;
    return false;
  }
  if (got != count) {
    *status = short_status;
    return false;
  }
  return true;
}

ArchiveStatus LoadTable(HostFile& archive, ArchiveTable& table) {
  ArchiveStatus status = ArchiveStatus::kOk;
  uint8_t header[kArchiveHeaderSize];
  if (archive.Seek(0, 0) != 0) return ArchiveStatus::kReadFailed;
  if (!ReadExactly(archive, header, sizeof header, ArchiveStatus::kBadHeader, &status)) return status;
  if (std::memcmp(header, kArchiveMagic, sizeof kArchiveMagic) != 0) return ArchiveStatus::kBadHeader;
  ArchiveKeyStream key(LoadLe32(header + 8));
  table.count = LoadLe32(header + 12) ^ key.Next();
  uint32_t names_size = LoadLe32(header + 16) ^ key.Next();
  table.file_size = archive.Size();
  if (table.file_size < 0) return ArchiveStatus::kReadFailed;
  // A table or names block that the file cannot hold is refused before any
  // memory is taken for it.
  if (kArchiveHeaderSize + uint64_t{kArchiveRecordSize} * table.count + names_size >
      static_cast<uint64_t>(table.file_size))
    return ArchiveStatus::kTruncated;
  try {
    table.words.resize(size_t{3} * table.count);
    table.names.resize(size_t{names_size} + 1);
  } catch (const std::bad_alloc&) {
    return ArchiveStatus::kNoMemory;
  }
  std::vector<uint8_t> raw;
  try {
    raw.resize(size_t{kArchiveRecordSize} * table.count);
  } catch (const std::bad_alloc&) {
    return ArchiveStatus::kNoMemory;
  }
  if (!ReadExactly(archive, raw.data(), raw.size(), ArchiveStatus::kTruncated, &status)) return status;
  if (!ReadExactly(archive, table.names.data(), names_size, ArchiveStatus::kTruncated, &status)) return status;
  table.names[names_size] = '\0';
  for (size_t i = 0; i < table.words.size(); ++i) table.words[i] = LoadLe32(raw.data() + 4 * i) ^ key.Next();
  return ArchiveStatus::kOk;
}

}  // namespace

ArchiveStatus FindArchiveMember(HostFile& archive, std::string_view name, bool* found, ArchiveMember* member) {
  *found = false;
  ArchiveTable table;
  ArchiveStatus status = LoadTable(archive, table);
  if (status != ArchiveStatus::kOk) return status;
  int64_t low = 0, high = int64_t{table.count} - 1;
  while (low <= high) {
    int64_t middle = (low + high) / 2;
    bool ok;
    std::string_view stored = table.Name(static_cast<uint32_t>(middle), &ok);
    if (!ok) return ArchiveStatus::kCorrupt;
    int c = CompareMemberNames(name, stored);
    if (c < 0) {
      high = middle - 1;
    } else if (c > 0) {
      low = middle + 1;
    } else {
      if (!table.DataInside(static_cast<uint32_t>(middle))) return ArchiveStatus::kTruncated;
      *member = table.Member(static_cast<uint32_t>(middle), stored);
      *found = true;
      return ArchiveStatus::kOk;
    }
  }
  return ArchiveStatus::kOk;
}

ArchiveStatus ReadArchiveIndex(HostFile& archive, std::vector<ArchiveMember>& members) {
  members.clear();
  ArchiveTable table;
  ArchiveStatus status = LoadTable(archive, table);
  if (status != ArchiveStatus::kOk) return status;
  for (uint32_t i = 0; i < table.count; ++i) {
    bool ok;
    std::string_view name = table.Name(i, &ok);
    if (!ok) return ArchiveStatus::kCorrupt;
    if (!table.DataInside(i)) return ArchiveStatus::kTruncated;
    members.push_back(table.Member(i, name));
  }
  return ArchiveStatus::kOk;
}

const char* ArchiveStatusText(ArchiveStatus status) {
  switch (status) {
    case ArchiveStatus::kOk: return "ok";
    case ArchiveStatus::kBadHeader: return "not an archive (bad or short header)";
    case ArchiveStatus::kTruncated: return "truncated archive (table, names or data past the end of the file)";
    case ArchiveStatus::kCorrupt: return "corrupt archive (a name outside the names block)";
    case ArchiveStatus::kNoMemory: return "out of memory";
    case ArchiveStatus::kReadFailed: return "read error";
  }
  return "unknown error";
}

bool WriteArchive(HostFile& out, const std::vector<std::string>& names, uint32_t seed,
                  const std::function<bool(size_t index, HostFile& out, std::string& error)>& write_member,
                  std::string& error) {
  const size_t count = names.size();
  std::vector<size_t> order(count);
  std::iota(order.begin(), order.end(), size_t{0});
  std::stable_sort(order.begin(), order.end(),
                   [&](size_t a, size_t b) { return CompareMemberNames(names[a], names[b]) < 0; });
  for (size_t i = 1; i < count; ++i) {
    if (CompareMemberNames(names[order[i - 1]], names[order[i]]) == 0) {
      error = "two members with the same name apart from case: " + names[order[i - 1]] + " and " + names[order[i]];
      return false;
    }
  }
  uint64_t names_size = 0;
  for (const std::string& n : names) {
    if (n.empty() || n.find('\0') != std::string::npos) {
      error = "a member name is empty or holds a zero byte";
      return false;
    }
    names_size += n.size() + 1;
  }
  const uint64_t data_start = kArchiveHeaderSize + uint64_t{kArchiveRecordSize} * count + names_size;
  if (data_start > UINT32_MAX) {
    error = "too many members for one archive";
    return false;
  }

  std::vector<uint32_t> words(3 * count);
  std::string block;
  block.reserve(names_size);
  if (out.Seek(static_cast<int64_t>(data_start), 0) < 0) {
    error = "cannot seek in the output";
    return false;
  }
  for (size_t i = 0; i < count; ++i) {
    size_t index = order[i];
    int64_t start = out.Tell();
    if (start < 0 || !write_member(index, out, error)) {
      if (error.empty()) error = "write error";
      return false;
    }
    int64_t end = out.Tell();
    if (end < start || end > int64_t{UINT32_MAX}) {
      error = "archive larger than 4 GiB";
      return false;
    }
    words[3 * i] = static_cast<uint32_t>(block.size());
    words[3 * i + 1] = static_cast<uint32_t>(start);
    words[3 * i + 2] = static_cast<uint32_t>(end - start);
    block += names[index];
    block += '\0';
  }

  std::vector<uint8_t> head(kArchiveHeaderSize + kArchiveRecordSize * count);
  std::memcpy(head.data(), kArchiveMagic, sizeof kArchiveMagic);
  ArchiveKeyStream key(seed);
  StoreLe32(head.data() + 8, seed);
  StoreLe32(head.data() + 12, static_cast<uint32_t>(count) ^ key.Next());
  StoreLe32(head.data() + 16, static_cast<uint32_t>(names_size) ^ key.Next());
  for (size_t i = 0; i < words.size(); ++i) StoreLe32(head.data() + 20 + 4 * i, words[i] ^ key.Next());
  if (out.Seek(0, 0) != 0 || !out.Write(head.data(), head.size()) || !out.Write(block.data(), block.size())) {
    error = "write error";
    return false;
  }
  return true;
}
