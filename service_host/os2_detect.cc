// Classification of MZ/NE/PE images by their headers.
#include "service_host/os2_detect.h"

#include <cstring>
#include <fstream>
#include <new>
#include <vector>

namespace {

// Offsets in the DOS header (first page) and in an NE header.
constexpr uint32_t kDosHeaderParagraphs = 0x08;
constexpr uint32_t kDosNewHeaderOffset = 0x3C;
constexpr uint32_t kNeEntryTable = 0x04;
constexpr uint32_t kNeModuleRefCount = 0x1E;
constexpr uint32_t kNeModuleRefTable = 0x28;
constexpr uint32_t kNeImportedNames = 0x2A;
constexpr uint32_t kNeNonResidentNames = 0x2C;
constexpr uint32_t kNeTargetSystem = 0x36;
constexpr uint32_t kNeExpectedWindows = 0x3E;

constexpr char kStubMarker[] = "16STUB";
constexpr char kPharLapMarker[] = "Phar Lap Software, Inc.";  // compared with its NUL
constexpr char kRationalMarker[] = "Copyright (C) Rational Systems, Inc.";
constexpr char kPreloaderMarker[] = "1-2-3 Preloader";
static_assert(sizeof kPharLapMarker == 24 && sizeof kRationalMarker - 1 == 36 &&
              sizeof kPreloaderMarker - 1 == 15);

uint32_t byteAt(const uint8_t* bytes, uint32_t len, uint64_t offset) {
  return offset < len ? bytes[offset] : 0;
}

uint32_t wordAt(const uint8_t* bytes, uint32_t len, uint64_t offset) {
  return byteAt(bytes, len, offset) | byteAt(bytes, len, offset + 1) << 8;
}

uint32_t dwordAt(const uint8_t* bytes, uint32_t len, uint64_t offset) {
  return wordAt(bytes, len, offset) | wordAt(bytes, len, offset + 2) << 16;
}

// True when the len bytes hold `size` bytes equal to text at offset.
bool holdsAt(const uint8_t* bytes, uint64_t len, uint64_t offset, const char* text, size_t size) {
  return offset + size <= len && std::memcmp(bytes + offset, text, size) == 0;
}

// The marker rules of DOS extenders and loaders (rules 4 to 9 of the verdict).
bool runByExtenderOrLoader(const uint8_t* header, const uint8_t* page, uint32_t len) {
  uint32_t system = byteAt(header, len, kNeTargetSystem);
  if (system == 5) return true;
  if (wordAt(header, len, kNeEntryTable) == wordAt(header, len, kNeImportedNames)) return true;
  if (system == 1 && holdsAt(page, kFirstPageSize, 512, kStubMarker, 6)) return true;
  uint32_t s = 16 * wordAt(page, kFirstPageSize, kDosHeaderParagraphs);
  if (s < 4038 && holdsAt(page, kFirstPageSize, s + 0x18, kPharLapMarker, 24) &&
      page[s + 0x38] == 'P' &&
      (page[s + 0x39] == 'K' || page[s + 0x39] == 'O' || page[s + 0x39] == 'V')) {
    return true;
  }
  if (s < 4046) {
    uint32_t t = s + wordAt(page, kFirstPageSize, s + 0x30);
    if (t < 4060 && holdsAt(page, kFirstPageSize, t, kRationalMarker, 36)) return true;
  }
  // Signed 32-bit offsets, compared in 64 bits so that no sum can overflow.
  int64_t d = static_cast<int64_t>(static_cast<int32_t>(dwordAt(header, len, kNeNonResidentNames))) -
              static_cast<int32_t>(dwordAt(page, kFirstPageSize, kDosNewHeaderOffset));
  return d > 0 && d + 16 < len && holdsAt(header, len, d + 1, kPreloaderMarker, 15);
}

size_t readUpTo(std::ifstream& file, uint8_t* buffer, size_t size) {
  file.read(reinterpret_cast<char*>(buffer), static_cast<std::streamsize>(size));
  return static_cast<size_t>(file.gcount());
}

}  // namespace

bool MiCheckDosCalls(const uint8_t* header, uint32_t len) {
  uint32_t count = wordAt(header, len, kNeModuleRefCount);
  if (count == 0) return false;
  uint32_t table = wordAt(header, len, kNeModuleRefTable);
  if (table + 2 * count > len) return false;
  uint32_t names = wordAt(header, len, kNeImportedNames);
  for (uint32_t i = 0; i < count; ++i) {
    uint32_t p = wordAt(header, len, table + 2 * i) + names;
    if (p >= len) return false;
    uint32_t k = header[p];
    if (k == 0 || p + 1 + k > len) return false;
    if (k == 8 && std::memcmp(header + p + 1, "DOSCALLS", 8) == 0) return true;
  }
  return false;
}

uint32_t MiVerifyImageHeader(const uint8_t* header, const uint8_t* page, uint32_t len) {
  if (holdsAt(header, len, 0, "PE\0\0", 4)) return kImageWin32;
  if (!holdsAt(header, len, 0, "NE", 2)) return kImageNotOs2;
  if (!MiCheckDosCalls(header, len)) {
    uint32_t system = byteAt(header, len, kNeTargetSystem);
    uint32_t windowsMajor = byteAt(header, len, kNeExpectedWindows + 1);
    if (system == 2) return kImageWindows16;
    if (system == 0 && (windowsMajor == 2 || windowsMajor == 3)) return kImageWindows16;
  }
  if (runByExtenderOrLoader(header, page, len)) return kImageNotOs2;
  return kImageOs2;
}

bool IsOs2App(const char* path) {
  try {
    std::ifstream file(path, std::ios::binary);
    if (!file) return false;
    std::vector<uint8_t> page(kFirstPageSize, 0);
    if (readUpTo(file, page.data(), page.size()) < 64) return false;
    uint32_t offset = dwordAt(page.data(), kFirstPageSize, kDosNewHeaderOffset);
    if (offset > INT32_MAX) return false;  // a negative offset in the header's own terms
    file.clear();
    if (!file.seekg(offset)) return false;
    std::vector<uint8_t> header(kNewHeaderSize, 0);
    size_t len = readUpTo(file, header.data(), header.size());
    if (len == 0) return false;
    return MiVerifyImageHeader(header.data(), page.data(), static_cast<uint32_t>(len)) ==
           kImageOs2;
  } catch (const std::exception&) {
    return false;
  }
}
