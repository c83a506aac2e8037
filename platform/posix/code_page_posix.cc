// Character set conversion with the C library's iconv.
#include <iconv.h>

#include "platform/code_page.h"

namespace platform {

bool convertCharacters(const char* from, const char* to, const char* data, size_t length,
                       std::string& out) {
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  out.assign(length * 4 + 16, '\0');  // UTF-8 needs at most 4 bytes a character
  char* in = const_cast<char*>(data);
  size_t inLeft = length;
  char* dst = out.data();
  size_t outLeft = out.size();
  size_t rc = iconv(cd, &in, &inLeft, &dst, &outLeft);
  if (rc != static_cast<size_t>(-1)) rc = iconv(cd, nullptr, nullptr, &dst, &outLeft);
  iconv_close(cd);
  // iconv counts characters it had to replace; a lossy conversion is not a conversion.
  if (rc != 0 || inLeft != 0) return false;
  out.resize(out.size() - outLeft);
  return true;
}

}  // namespace platform
