// Converting text between character sets, named as the C library's iconv names them ("UTF-8",
// "ISO-8859-1", "CP1252", "IBM037", "UTF-16BE", ...).
#ifndef QT_PLATFORM_CODE_PAGE_H
#define QT_PLATFORM_CODE_PAGE_H

#include <cstddef>
#include <string>

namespace platform {

// Converts `length` bytes of `data` from the character set `from` to the character set `to`
// into `out`. False when either set is unknown to the system, the data is not valid in `from`,
// or a character has no counterpart in `to` (a conversion that would lose it); `out` is then
// unspecified.
bool convertCharacters(const char* from, const char* to, const char* data, size_t length,
                       std::string& out);

}  // namespace platform

#endif  // QT_PLATFORM_CODE_PAGE_H
