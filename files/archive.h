// Archives: one file holding many members, found by name.
//
// Layout, integers 32-bit little-endian:
//   0   "QZR-ARC2"            magic, eight bytes
//   8   seed                  of the key stream, plain
//   12  member count          scrambled
//   16  names size            scrambled
//   20  12 bytes per member   name offset, data offset, size; scrambled
//   ..  names block           zero-terminated names, plain
//   ..  member data           stored as is, where the table says
// The writer sorts the member table by CompareMemberNames, the order archives
// made on Windows have; the reader does not rely on any order: it finds
// members through an index of the table (see FindArchiveMember).
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

class HostFile;

inline constexpr char kArchiveMagic[8] = {'Q', 'Z', 'R', '-', 'A', 'R', 'C', '2'};
inline constexpr uint32_t kArchiveHeaderSize = 20;
inline constexpr uint32_t kArchiveRecordSize = 12;

// The scrambling stream: each word of the count, the names size and the table,
// in file order, is XOR-ed with the next value.
struct ArchiveKeyStream {
  uint32_t state;
  explicit ArchiveKeyStream(uint32_t seed) : state(seed) {}
  uint32_t Next() {
    state ^= 0x5A3C96E1u;
    uint32_t t = ((state >> 1) ^ state) >> 3;
    uint32_t u = ((state << 1) ^ state) << 3;
    state ^= t ^ u;
    return state;
  }
};

// The order and equality of member names. Equal: the same Shift_JIS text once
// ASCII and full-width Latin letters are folded to small letters (`\` and `/`
// are different characters). Order: that of the Windows locale comparison
// that archives made on Windows were sorted with, as far as it is known:
// character by character (a two-byte character is one), controls first, then
// the punctuation ' - space ! " # $ % & ( ) * , . / : ; ? @ [ \ ] ^ _ ` { | } ~,
// then + < = >, then the digits, then the letters with capitals and small
// letters alike, then every other character in code order (single-byte kana
// before two-byte characters); a name that is a prefix of another comes first.
// ' and - weigh nothing in a first pass and count only between names that are
// otherwise equal ("co-op" sorts beside "coop").
int CompareMemberNames(std::string_view a, std::string_view b);

struct ArchiveMember {
  std::string name;  // Shift_JIS
  uint32_t offset;   // from the start of the archive file
  uint32_t size;
};

enum class ArchiveStatus {
  kOk,
  kBadHeader,  // short header or not an archive
  kTruncated,  // the table, the names or a member's data reach past the file's end
  kCorrupt,    // a name offset outside the names block
  kNoMemory,
  kReadFailed,
};

// Looks a member up by name (CompareMemberNames equality), whatever order the
// table is in; *found tells whether it is there. The table is read once and
// kept as a hash index while the file stays the same version (FileStamp), so
// later lookups read nothing. The file position is unspecified afterwards.
ArchiveStatus FindArchiveMember(HostFile& archive, std::string_view name, bool* found, ArchiveMember* member);

// Whether FindArchiveMember keeps indexes (on at start); off drops them and
// reads the table on every lookup (for measurements).
void SetArchiveIndexCaching(bool on);

// Reads the whole table, in stored order.
ArchiveStatus ReadArchiveIndex(HostFile& archive, std::vector<ArchiveMember>& members);

// English description of a status, for tools.
const char* ArchiveStatusText(ArchiveStatus status);

// Writes an archive into out, an empty file open for writing and seeking.
// Members are stored in CompareMemberNames order; write_member(i, out) is
// called once per member with i its index in names, and appends the member's
// bytes at the current position. Names that compare equal, a name or an
// archive too large for 32-bit offsets, or a failed write return false with
// the reason in error.
bool WriteArchive(HostFile& out, const std::vector<std::string>& names, uint32_t seed,
                  const std::function<bool(size_t index, HostFile& out, std::string& error)>& write_member,
                  std::string& error);
