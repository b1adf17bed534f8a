#include "files/archive.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <compare>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <numeric>
#include <unordered_map>

#include "platform/file_system.h"
#include "platform/text_encoding.h"

namespace {

// ---- The Windows order of names ----

// Weights of the ASCII characters in the order of the Windows locale
// comparison archives were sorted with: controls, then ' and - (which a first
// pass ignores), the other punctuation, + < = >, digits, letters (small and
// capital alike). Every other character comes after all of them, in code order.
constexpr std::array<uint16_t, 128> kAsciiWeights = [] {
  std::array<uint16_t, 128> w{};
  uint16_t next = 0;
  for (int c = 0; c < 0x20; ++c) w[c] = next++;
  w[0x7F] = next++;
  for (char c : std::string_view("'- !\"#$%&()*,./:;?@[\\]^_`{|}~+<=>0123456789abcdefghijklmnopqrstuvwxyz"))
    w[static_cast<uint8_t>(c)] = next++;
  for (int c = 'A'; c <= 'Z'; ++c) w[c] = w[c + 32];
  return w;
}();

// The weights of a name's characters, one per character (a two-byte Shift_JIS
// character is one), full-width capitals folded; with skip_marks the ' and -
// are left out.
void Weights(std::string_view name, bool skip_marks, std::vector<uint32_t>& out) {
  out.clear();
  for (size_t i = 0; i < name.size(); ++i) {
    auto c = static_cast<uint8_t>(name[i]);
    if (c < 0x80) {
      if (skip_marks && (c == '\'' || c == '-')) continue;
      out.push_back(kAsciiWeights[c]);
    } else if (IsSjisLead(c) && i + 1 < name.size()) {
      auto t = static_cast<uint8_t>(name[++i]);
      if (c == 0x82 && t >= 0x60 && t <= 0x79) t = static_cast<uint8_t>(t + 0x21);  // Ａ..Ｚ -> ａ..ｚ
      out.push_back(0x10000u + (uint32_t{c} << 8 | t));
    } else {
      out.push_back(0x100u + c);
    }
  }
}

int CompareWeights(const std::vector<uint32_t>& a, const std::vector<uint32_t>& b) {
  auto r = std::lexicographical_compare_three_way(a.begin(), a.end(), b.begin(), b.end());
  return r < 0 ? -1 : r > 0 ? 1 : 0;
}

}  // namespace

int CompareMemberNames(std::string_view a, std::string_view b) {
  thread_local std::vector<uint32_t> wa, wb;
  Weights(a, true, wa);
  Weights(b, true, wb);
  if (int c = CompareWeights(wa, wb)) return c;
  Weights(a, false, wa);
  Weights(b, false, wb);
  return CompareWeights(wa, wb);
}

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

// ---- The cached index ----

// One archive's table in memory, with its names folded for lookups. Members
// are found by name whatever order the writer stored them in.
struct ArchiveIndex {
  FileStamp stamp;
  ArchiveTable table;
  std::unordered_map<std::string, uint32_t> by_name;  // folded name -> record
  bool bad_names = false;  // some record's name lies outside the names block
  uint64_t last_use = 0;
};

// Archives are few and read for the whole run: the last ones used stay.
constexpr size_t kCachedArchives = 16;
// A version whose times are this close to the moment its table was read
// might have been written again within the same clock step (two seconds on
// the file systems of removable disks); it is read anew until it is older.
constexpr int64_t kSettleNs = 2'000'000'000;

std::mutex cache_lock;
std::vector<std::shared_ptr<const ArchiveIndex>> cache;
uint64_t use_counter = 0;
std::atomic<bool> caching{true};

std::shared_ptr<const ArchiveIndex> CachedIndex(const FileStamp& stamp) {
  std::lock_guard lock(cache_lock);
  for (auto& entry : cache) {
    if (entry->stamp == stamp) {
      const_cast<ArchiveIndex&>(*entry).last_use = ++use_counter;
      return entry;
    }
  }
  return nullptr;
}

void KeepIndex(std::shared_ptr<const ArchiveIndex> index) {
  std::lock_guard lock(cache_lock);
  const_cast<ArchiveIndex&>(*index).last_use = ++use_counter;
  for (auto& entry : cache) {
    // a newer version of the same file replaces the older one
    if (entry->stamp.device == index->stamp.device && entry->stamp.inode == index->stamp.inode) {
      entry = std::move(index);
      return;
    }
  }
  if (cache.size() < kCachedArchives) {
    cache.push_back(std::move(index));
    return;
  }
  auto oldest = std::min_element(cache.begin(), cache.end(),
                                 [](const auto& a, const auto& b) { return a->last_use < b->last_use; });
  *oldest = std::move(index);
}

ArchiveStatus BuildIndex(ArchiveIndex& index) {
  try {
    index.by_name.reserve(index.table.count);
    for (uint32_t i = 0; i < index.table.count; ++i) {
      bool ok;
      std::string_view name = index.table.Name(i, &ok);
      if (!ok) {
        index.bad_names = true;
        continue;
      }
      index.by_name.emplace(FoldSjis(name), i);  // of two equal names the first stays
    }
  } catch (const std::bad_alloc&) {
    return ArchiveStatus::kNoMemory;
  }
  return ArchiveStatus::kOk;
}

// A lookup in a table that is not kept: the first record of that name.
ArchiveStatus FindInTable(const ArchiveTable& table, std::string_view name, bool* found, ArchiveMember* member) {
  bool bad_names = false;
  for (uint32_t i = 0; i < table.count; ++i) {
    bool ok;
    std::string_view stored = table.Name(i, &ok);
    if (!ok) {
      bad_names = true;
      continue;
    }
    if (CompareSjisNoCase(name, stored) != 0) continue;
    if (!table.DataInside(i)) return ArchiveStatus::kTruncated;
    *member = table.Member(i, stored);
    *found = true;
    return ArchiveStatus::kOk;
  }
  // A record whose name cannot be read might have been the one asked for.
  return bad_names ? ArchiveStatus::kCorrupt : ArchiveStatus::kOk;
}

int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

}  // namespace

void SetArchiveIndexCaching(bool on) {
  caching.store(on);
  if (!on) {
    std::lock_guard lock(cache_lock);
    cache.clear();
  }
}

ArchiveStatus FindArchiveMember(HostFile& archive, std::string_view name, bool* found, ArchiveMember* member) {
  *found = false;
  FileStamp stamp;
  const bool stamped = caching.load(std::memory_order_relaxed) && archive.Stamp(stamp);
  std::shared_ptr<const ArchiveIndex> index = stamped ? CachedIndex(stamp) : nullptr;
  if (!index) {
    auto built = std::make_shared<ArchiveIndex>();
    int64_t read_at = NowNs();
    ArchiveStatus status = LoadTable(archive, built->table);
    if (status != ArchiveStatus::kOk) return status;
    if (!stamped || std::max(stamp.modified_ns, stamp.changed_ns) >= read_at - kSettleNs)
      return FindInTable(built->table, name, found, member);  // not kept: one pass is enough
    status = BuildIndex(*built);
    if (status != ArchiveStatus::kOk) return status;
    built->stamp = stamp;
    KeepIndex(built);
    index = std::move(built);
  }
  auto it = index->by_name.find(FoldSjis(name));
  // A record whose name cannot be read might have been the one asked for.
  if (it == index->by_name.end()) return index->bad_names ? ArchiveStatus::kCorrupt : ArchiveStatus::kOk;
  bool ok;
  std::string_view stored = index->table.Name(it->second, &ok);
  if (!index->table.DataInside(it->second)) return ArchiveStatus::kTruncated;
  *member = index->table.Member(it->second, stored);
  *found = true;
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
