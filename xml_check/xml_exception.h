// The one exception class of the system: raised by the XML check at the first fault of a file
// and caught by the file loading, which writes it into the transfer report.
#ifndef QT_XML_CHECK_XML_EXCEPTION_H
#define QT_XML_CHECK_XML_EXCEPTION_H

#include <iosfwd>

class XMLException {
 public:
  // Copies at most 79 characters of text; the message is always NUL-terminated.
  explicit XMLException(const char* text);
  XMLException(const XMLException& other);
  XMLException& operator=(const XMLException& other);
  virtual ~XMLException();

  char message[80];
};

// Writes "Error: ", the message and a line feed, then flushes the stream.
std::ostream& operator<<(std::ostream& out, const XMLException& exception);

#endif  // QT_XML_CHECK_XML_EXCEPTION_H
