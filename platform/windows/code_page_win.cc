// Character set conversion on Windows: through UTF-16 with MultiByteToWideChar and
// WideCharToMultiByte, by the code page number of each iconv name.
#include <windows.h>

#include <cstring>
#include <string>

#include "platform/code_page.h"

namespace platform {
namespace {

constexpr UINT kUtf16BigEndian = 1201;  // handled here: the system converts it for .NET only
constexpr UINT kAscii = 20127;          // checked here: the system strips the high bit instead

UINT codePageOf(const char* name) {
  struct Known {
    const char* name;
    UINT codePage;
  };
  static const Known known[] = {
      {"UTF-8", CP_UTF8},        {"ISO-8859-1", 28591}, {"CP1252", 1252},
      {"CP1251", 1251},          {"CP1250", 1250},      {"IBM866", 866},
      {"IBM850", 850},           {"IBM437", 437},       {"IBM500", 500},
      {"IBM037", 37},            {"IBM1047", 1047},     {"IBM273", 20273},
      {"ISO-8859-2", 28592},     {"ISO-8859-5", 28595}, {"ISO-8859-15", 28605},
      {"ASCII", kAscii},         {"UTF-16BE", kUtf16BigEndian},
  };
  for (const Known& k : known)
    if (_stricmp(k.name, name) == 0) return k.codePage;
  return 0;
}

bool isAscii(const char* data, size_t length) {
  for (size_t i = 0; i < length; ++i)
    if (static_cast<unsigned char>(data[i]) >= 0x80) return false;
  return true;
}

void swapBytePairs(char* data, size_t length) {
  for (size_t i = 0; i + 1 < length; i += 2) std::swap(data[i], data[i + 1]);
}

bool toUtf16(UINT codePage, const char* data, size_t length, std::wstring& wide) {
  wide.clear();
  if (codePage == kUtf16BigEndian) {
    if (length % 2 != 0) return false;
    wide.resize(length / 2);
    std::memcpy(wide.data(), data, length);
    swapBytePairs(reinterpret_cast<char*>(wide.data()), length);
    return true;
  }
  if (codePage == kAscii && !isAscii(data, length)) return false;
  if (length == 0) return true;
  const int size = static_cast<int>(length);
  const int count = MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, data, size, nullptr, 0);
  if (count <= 0) return false;
  wide.resize(static_cast<size_t>(count));
  return MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, data, size, wide.data(), count) ==
         count;
}

bool fromUtf16(UINT codePage, const std::wstring& wide, std::string& out) {
  out.clear();
  if (codePage == kUtf16BigEndian) {
    out.assign(reinterpret_cast<const char*>(wide.data()), wide.size() * 2);
    swapBytePairs(out.data(), out.size());
    return true;
  }
  if (wide.empty()) return true;
  const int size = static_cast<int>(wide.size());
  // UTF-8 takes no default character: a lone surrogate fails the call instead.
  const bool utf8 = codePage == CP_UTF8;
  const DWORD flags = utf8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS;
  BOOL defaulted = FALSE;
  BOOL* usedDefault = utf8 ? nullptr : &defaulted;
  const int count =
      WideCharToMultiByte(codePage, flags, wide.data(), size, nullptr, 0, nullptr, usedDefault);
  if (count <= 0 || defaulted) return false;
  out.resize(static_cast<size_t>(count));
  if (WideCharToMultiByte(codePage, flags, wide.data(), size, out.data(), count, nullptr,
                          usedDefault) != count ||
      defaulted)
    return false;
  return codePage != kAscii || isAscii(out.data(), out.size());
}

}  // namespace

bool convertCharacters(const char* from, const char* to, const char* data, size_t length,
                       std::string& out) {
  const UINT fromPage = codePageOf(from), toPage = codePageOf(to);
  if (fromPage == 0 || toPage == 0) return false;
  std::wstring wide;
  return toUtf16(fromPage, data, length, wide) && fromUtf16(toPage, wide, out);
}

}  // namespace platform
