#include "mqi/convert.h"

#include <iconv.h>

#include <cerrno>

#include "mqi/mqi.h"

namespace mqi {

const char* codePageName(int32_t ccsid) {
  switch (ccsid) {
    case 1208: return "UTF-8";
    case 819: return "ISO-8859-1";
    case 1252: return "CP1252";
    case 1251: return "CP1251";
    case 1250: return "CP1250";
    case 866: return "IBM866";
    case 850: return "IBM850";
    case 437: return "IBM437";
    case 500: return "IBM500";
    case 37: return "IBM037";
    case 1047: return "IBM1047";
    case 273: return "IBM273";
    case 912: return "ISO-8859-2";
    case 915: return "ISO-8859-5";
    case 923: return "ISO-8859-15";
    case 367: return "ASCII";
    case 1200: return "UTF-16BE";
    default: return nullptr;
  }
}

int32_t convertText(int32_t fromCcsid, int32_t toCcsid, const char* data, size_t length,
                    std::string& out) {
  const char* from = codePageName(fromCcsid);
  const char* to = codePageName(toCcsid);
  if (from == nullptr || to == nullptr) return MQRC_NOT_CONVERTED;
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return MQRC_NOT_CONVERTED;
  out.assign(length * 4 + 16, '\0');  // UTF-8 needs at most 4 bytes a character
  char* in = const_cast<char*>(data);
  size_t inLeft = length;
  char* dst = out.data();
  size_t outLeft = out.size();
  size_t rc = iconv(cd, &in, &inLeft, &dst, &outLeft);
  if (rc != static_cast<size_t>(-1)) rc = iconv(cd, nullptr, nullptr, &dst, &outLeft);
  iconv_close(cd);
  // iconv counts characters it had to replace; a lossy conversion is not a conversion.
  if (rc != 0 || inLeft != 0) return MQRC_NOT_CONVERTED;
  out.resize(out.size() - outLeft);
  return 0;
}

}  // namespace mqi
