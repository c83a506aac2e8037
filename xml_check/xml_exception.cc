#include "xml_check/xml_exception.h"

#include <cstring>
#include <ostream>

XMLException::XMLException(const char* text) {
  std::memset(message, 0, sizeof message);
  if (text != nullptr) std::strncpy(message, text, sizeof message - 1);
}

XMLException::XMLException(const XMLException& other) {
  std::memcpy(message, other.message, sizeof message);
}

XMLException& XMLException::operator=(const XMLException& other) {
  std::memcpy(message, other.message, sizeof message);
  return *this;
}

XMLException::~XMLException() = default;

std::ostream& operator<<(std::ostream& out, const XMLException& exception) {
  out << "Error: " << exception.message << "\n";
  out.flush();
  return out;
}
