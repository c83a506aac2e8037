#include "mqi/convert.h"

#include "mqi/mqi.h"
#include "platform/code_page.h"

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
  return platform::convertCharacters(from, to, data, length, out) ? 0 : MQRC_NOT_CONVERTED;
}

}  // namespace mqi
