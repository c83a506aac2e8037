// Text helpers of qmctl: hexadecimal identifiers, the hex-and-text dump of message data,
// fixed-width MQ character fields, and the checks on names typed by an operator.
#ifndef QT_TOOLS_QMCTL_TEXT_H
#define QT_TOOLS_QMCTL_TEXT_H

#include <cstddef>
#include <iosfwd>
#include <string>
#include <string_view>
#include <vector>

#include "mqi/admin.h"
#include "mqi/mqi.h"

namespace qmctl {

// Lower-case hexadecimal digits of `size` bytes.
std::string toHex(const void* bytes, size_t size);

// Reads 1 to 48 hexadecimal digits (an even number; an optional 0x prefix) into a 24-byte
// identifier, the rest filled with zero bytes.
mqi::Status parseIdentifier(std::string_view hex, MQBYTE24 out);

// The dump of message data: 16 bytes a line, "OFFSET  HEX HEX ...  |text|", where bytes
// outside printable ASCII show as '.'. `shown` bytes are dumped; when fewer than `total`, a
// last line says how many were left out.
void writeDump(std::ostream& out, const char* data, size_t shown, size_t total);

// The bytes as text, with every byte outside printable ASCII replaced by '.'.
std::string printable(std::string_view bytes);

// The significant text of a blank-padded MQ character field: up to a NUL, trailing blanks cut.
std::string fieldText(const char* field, size_t width);

// Copies text into a fixed MQ character field, the rest filled with NULs (which reads as
// blanks on input).
void setField(char* field, size_t width, std::string_view text);

// Checks a queue or queue manager name as typed: 1 to 48 characters of A-Z a-z 0-9 . / _ %.
// `what` names the thing in the message ("queue", "queue manager").
mqi::Status checkName(std::string_view name, std::string_view what);

// Rows of cells as columns aligned by blanks, two blanks between columns; the first row is
// the heading. No trailing blanks.
void writeTable(std::ostream& out, const std::vector<std::vector<std::string>>& rows);

// "MQRC_PUT_INHIBITED" for 2051; "" for a code this tool has no name for.
const char* reasonName(MQLONG reason);
// "reason 2051 (MQRC_PUT_INHIBITED)", or "reason N" when the code has no name here.
std::string describeReason(MQLONG reason);

}  // namespace qmctl

#endif  // QT_TOOLS_QMCTL_TEXT_H
