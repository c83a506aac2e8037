// Queue and queue manager names: the blank-padded MQI fields and their checks.
#ifndef QT_MQI_STORE_NAMES_H
#define QT_MQI_STORE_NAMES_H

#include <cstddef>
#include <string>

namespace mqi {

// The significant text of a fixed-width field: up to the first NUL, trailing blanks dropped.
std::string fieldText(const char* field, size_t width);
// Copies text into a fixed-width field, blank-padded (cut at the width).
void setField(char* field, size_t width, const std::string& text);
// 1 to 48 characters of A-Z a-z 0-9 . / _ %.
bool isValidName(const std::string& name);

}  // namespace mqi

#endif  // QT_MQI_STORE_NAMES_H
