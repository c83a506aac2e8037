// Code page conversion of character messages (MQFMT_STRING) for MQGMO_CONVERT, by CCSID.
#ifndef QT_MQI_CONVERT_H
#define QT_MQI_CONVERT_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace mqi {

// The iconv name of a CCSID, or nullptr when this layer does not know it.
const char* codePageName(int32_t ccsid);

// Converts `length` bytes from one CCSID to another into `out`. Returns 0, or
// MQRC_NOT_CONVERTED when either CCSID is unknown or the text holds a character that the
// target cannot represent (out is then unspecified).
int32_t convertText(int32_t fromCcsid, int32_t toCcsid, const char* data, size_t length,
                    std::string& out);

}  // namespace mqi

#endif  // QT_MQI_CONVERT_H
