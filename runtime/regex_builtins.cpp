#include "runtime/regex_builtins.h"

#include <oniguruma.h>

#include <algorithm>
#include <cstring>
#include <unordered_map>
#include <unordered_set>

#include "runtime/string_builtins.h"

namespace {

constexpr uint32_t kRegionRecordBytes = 20;
constexpr int kMinRegionEntries = 10;

// The arrays the engine keeps for one script region.
struct RegionArrays {
  uint32_t beg = 0;
  uint32_t end = 0;
  uint32_t capacity = 0;  // entries
};

bool library_ready = false;
std::unordered_map<uint32_t, OnigRegex> patterns;
uint32_t next_pattern = 1;
std::unordered_map<uint32_t, RegionArrays> regions;
std::unordered_set<uint32_t> region_arrays;  // the beg and end blocks of all regions
OnigRegion* scratch = nullptr;  // the library's region that every search fills first

bool EnsureLibrary() {
  if (!library_ready) {
    OnigEncoding encodings[] = {ONIG_ENCODING_SJIS};
    if (onig_initialize(encodings, 1) != ONIG_NORMAL) return false;
    library_ready = true;
  }
  if (!scratch) scratch = onig_region_new();
  return scratch != nullptr;
}

void PutWord(uint32_t addr, uint32_t value) { std::memcpy(ToHost(addr), &value, 4); }
uint32_t GetWord(uint32_t addr) {
  uint32_t v;
  std::memcpy(&v, ToHost(addr), 4);
  return v;
}

// Copies the library's region into the script record.
void FillRegion(uint32_t record, RegionArrays& arrays, const OnigRegion& from) {
  uint32_t count = static_cast<uint32_t>(std::max(from.num_regs, 0));
  if (count > arrays.capacity) {
    uint32_t capacity = std::max<uint32_t>(count, kMinRegionEntries);
    uint32_t beg = ArenaRealloc(arrays.beg, size_t{capacity} * 4);
    if (beg) {
      region_arrays.erase(arrays.beg);
      region_arrays.insert(arrays.beg = beg);
    }
    uint32_t end = beg ? ArenaRealloc(arrays.end, size_t{capacity} * 4) : 0;
    if (end) {
      region_arrays.erase(arrays.end);
      region_arrays.insert(arrays.end = end);
    }
    if (beg && end) arrays.capacity = capacity;
    count = std::min(count, arrays.capacity);
  }
  for (uint32_t k = 0; k < count; ++k) {
    PutWord(arrays.beg + 4 * k, static_cast<uint32_t>(from.beg[k]));
    PutWord(arrays.end + 4 * k, static_cast<uint32_t>(from.end[k]));
  }
  PutWord(record, arrays.capacity);
  PutWord(record + 4, count);
  PutWord(record + 8, arrays.beg);
  PutWord(record + 12, arrays.end);
  PutWord(record + 16, 0);
}

// Looks up what a search needs; returns ONIG_NORMAL or the library error that
// refuses the call.
struct SearchInput {
  OnigRegex regex = nullptr;
  RegionArrays* arrays = nullptr;  // nullptr: no region
  const OnigUChar* text = nullptr;
  const OnigUChar* end = nullptr;
  uint32_t length = 0;
};
int Prepare(BuiltinArgs args, int region_index, SearchInput& in) {
  auto pattern = patterns.find(args.u(0));
  if (pattern == patterns.end() || !EnsureLibrary()) return ONIGERR_INVALID_ARGUMENT;
  int32_t length = args.i(2);
  if (length < 0 || !InArena(args.u(1), static_cast<uint32_t>(length))) return ONIGERR_INVALID_ARGUMENT;
  if (uint32_t record = args.u(region_index)) {
    auto region = regions.find(record);
    if (region == regions.end()) return ONIGERR_INVALID_ARGUMENT;
    in.arrays = &region->second;
  }
  in.regex = pattern->second;
  in.length = static_cast<uint32_t>(length);
  in.text = args.ptr(1);
  in.end = in.text + in.length;
  return ONIG_NORMAL;
}

// Offsets are unsigned and limited to the text length.
uint32_t Limit(uint32_t offset, uint32_t length) { return std::min(offset, length); }

uint32_t Finish(int result, BuiltinArgs args, int region_index, const SearchInput& in) {
  if (in.arrays && (result >= 0 || result == ONIG_MISMATCH)) FillRegion(args.u(region_index), *in.arrays, *scratch);
  return static_cast<uint32_t>(result);
}

void FreeArrays(const RegionArrays& arrays) {
  for (uint32_t block : {arrays.beg, arrays.end}) {
    if (block) {
      region_arrays.erase(block);
      ArenaFree(block);
    }
  }
}

}  // namespace

uint32_t builtin_reg_new(BuiltinArgs args) {
  uint32_t pattern = args.u(0);
  if (pattern == 0 || !EnsureLibrary()) return 0;
  std::string_view text = ScriptString(pattern);
  const auto* p = reinterpret_cast<const OnigUChar*>(text.data());
  OnigRegex regex = nullptr;
  OnigErrorInfo error;
  if (onig_new(&regex, p, p + text.size(), ONIG_OPTION_NONE, ONIG_ENCODING_SJIS, ONIG_SYNTAX_RUBY, &error) !=
      ONIG_NORMAL) {
    return 0;
  }
  while (next_pattern == 0 || patterns.count(next_pattern)) ++next_pattern;
  uint32_t handle = next_pattern++;
  patterns.emplace(handle, regex);
  return handle;
}

uint32_t builtin_reg_free(BuiltinArgs args) {
  auto it = patterns.find(args.u(0));
  if (it != patterns.end()) {
    onig_free(it->second);
    patterns.erase(it);
  }
  return 1;
}

uint32_t builtin_reg_search(BuiltinArgs args) {
  SearchInput in;
  if (int refused = Prepare(args, 5, in); refused != ONIG_NORMAL) return static_cast<uint32_t>(refused);
  const OnigUChar* start = in.text + Limit(args.u(3), in.length);
  const OnigUChar* range = in.text + Limit(args.u(4), in.length);
  int result = onig_search(in.regex, in.text, in.end, start, range, in.arrays ? scratch : nullptr, ONIG_OPTION_NONE);
  return Finish(result, args, 5, in);
}

uint32_t builtin_reg_match(BuiltinArgs args) {
  SearchInput in;
  if (int refused = Prepare(args, 4, in); refused != ONIG_NORMAL) return static_cast<uint32_t>(refused);
  const OnigUChar* at = in.text + Limit(args.u(3), in.length);
  int result = onig_match(in.regex, in.text, in.end, at, in.arrays ? scratch : nullptr, ONIG_OPTION_NONE);
  return Finish(result, args, 4, in);
}

uint32_t builtin_match_new(BuiltinArgs) {
  uint32_t record = ArenaAllocZeroed(kRegionRecordBytes);
  if (record) regions.emplace(record, RegionArrays{});
  return record;
}

uint32_t builtin_match_free(BuiltinArgs args) {
  uint32_t record = args.u(0);
  if (record == 0) return 1;
  auto it = regions.find(record);
  if (it == regions.end()) return 0;
  FreeArrays(it->second);
  ArenaFree(record);
  regions.erase(it);
  return 1;
}

uint32_t builtin_match_clear(BuiltinArgs args) {
  uint32_t record = args.u(0);
  auto it = regions.find(record);
  if (record == 0 || it == regions.end()) return 0;
  const RegionArrays& arrays = it->second;
  uint32_t count = std::min(GetWord(record + 4), arrays.capacity);
  for (uint32_t k = 0; k < count; ++k) {
    PutWord(arrays.beg + 4 * k, static_cast<uint32_t>(ONIG_REGION_NOTPOS));
    PutWord(arrays.end + 4 * k, static_cast<uint32_t>(ONIG_REGION_NOTPOS));
  }
  return 1;
}

void RegexCleanUp() {
  for (auto& [handle, regex] : patterns) onig_free(regex);
  patterns.clear();
  for (auto& [record, arrays] : regions) {
    FreeArrays(arrays);
    ArenaFree(record);
  }
  regions.clear();
  region_arrays.clear();
  if (scratch) onig_region_free(scratch, 1);
  scratch = nullptr;
  if (library_ready) onig_end();
  library_ready = false;
}

bool IsRegionRecord(uint32_t addr) { return regions.count(addr) != 0; }
bool IsRegionArray(uint32_t addr) { return region_arrays.count(addr) != 0; }
