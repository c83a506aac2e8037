#include "tools/qmctl/text.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ostream>

namespace qmctl {
namespace {

bool isPrintable(unsigned char c) { return c >= 0x20 && c < 0x7f; }

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool isNameCharacter(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' ||
         c == '/' || c == '_' || c == '%';
}

struct ReasonEntry {
  MQLONG code;
  const char* name;
};

// The reason codes an operator meets; the rest are shown by number only.
constexpr ReasonEntry kReasons[] = {
    {MQRC_NONE, "MQRC_NONE"},
    {MQRC_ALREADY_CONNECTED, "MQRC_ALREADY_CONNECTED"},
    {MQRC_BACKED_OUT, "MQRC_BACKED_OUT"},
    {MQRC_BUFFER_LENGTH_ERROR, "MQRC_BUFFER_LENGTH_ERROR"},
    {MQRC_CHAR_ATTR_LENGTH_ERROR, "MQRC_CHAR_ATTR_LENGTH_ERROR"},
    {MQRC_CHAR_ATTRS_TOO_SHORT, "MQRC_CHAR_ATTRS_TOO_SHORT"},
    {MQRC_CONNECTION_BROKEN, "MQRC_CONNECTION_BROKEN"},
    {MQRC_DATA_LENGTH_ERROR, "MQRC_DATA_LENGTH_ERROR"},
    {MQRC_EXPIRY_ERROR, "MQRC_EXPIRY_ERROR"},
    {MQRC_GET_INHIBITED, "MQRC_GET_INHIBITED"},
    {MQRC_HANDLE_NOT_AVAILABLE, "MQRC_HANDLE_NOT_AVAILABLE"},
    {MQRC_HCONN_ERROR, "MQRC_HCONN_ERROR"},
    {MQRC_HOBJ_ERROR, "MQRC_HOBJ_ERROR"},
    {MQRC_INHIBIT_VALUE_ERROR, "MQRC_INHIBIT_VALUE_ERROR"},
    {MQRC_INT_ATTR_COUNT_TOO_SMALL, "MQRC_INT_ATTR_COUNT_TOO_SMALL"},
    {MQRC_SYNCPOINT_LIMIT_REACHED, "MQRC_SYNCPOINT_LIMIT_REACHED"},
    {MQRC_MD_ERROR, "MQRC_MD_ERROR"},
    {MQRC_MISSING_REPLY_TO_Q, "MQRC_MISSING_REPLY_TO_Q"},
    {MQRC_MSG_TOO_BIG_FOR_Q, "MQRC_MSG_TOO_BIG_FOR_Q"},
    {MQRC_MSG_TOO_BIG_FOR_Q_MGR, "MQRC_MSG_TOO_BIG_FOR_Q_MGR"},
    {MQRC_NO_MSG_AVAILABLE, "MQRC_NO_MSG_AVAILABLE"},
    {MQRC_NO_MSG_UNDER_CURSOR, "MQRC_NO_MSG_UNDER_CURSOR"},
    {MQRC_NOT_AUTHORIZED, "MQRC_NOT_AUTHORIZED"},
    {MQRC_NOT_OPEN_FOR_BROWSE, "MQRC_NOT_OPEN_FOR_BROWSE"},
    {MQRC_NOT_OPEN_FOR_INPUT, "MQRC_NOT_OPEN_FOR_INPUT"},
    {MQRC_NOT_OPEN_FOR_INQUIRE, "MQRC_NOT_OPEN_FOR_INQUIRE"},
    {MQRC_NOT_OPEN_FOR_OUTPUT, "MQRC_NOT_OPEN_FOR_OUTPUT"},
    {MQRC_NOT_OPEN_FOR_SET, "MQRC_NOT_OPEN_FOR_SET"},
    {MQRC_OBJECT_CHANGED, "MQRC_OBJECT_CHANGED"},
    {MQRC_OBJECT_IN_USE, "MQRC_OBJECT_IN_USE"},
    {MQRC_OBJECT_TYPE_ERROR, "MQRC_OBJECT_TYPE_ERROR"},
    {MQRC_OD_ERROR, "MQRC_OD_ERROR"},
    {MQRC_OPTION_NOT_VALID_FOR_TYPE, "MQRC_OPTION_NOT_VALID_FOR_TYPE"},
    {MQRC_OPTIONS_ERROR, "MQRC_OPTIONS_ERROR"},
    {MQRC_PERSISTENCE_ERROR, "MQRC_PERSISTENCE_ERROR"},
    {MQRC_PRIORITY_EXCEEDS_MAXIMUM, "MQRC_PRIORITY_EXCEEDS_MAXIMUM"},
    {MQRC_PRIORITY_ERROR, "MQRC_PRIORITY_ERROR"},
    {MQRC_PUT_INHIBITED, "MQRC_PUT_INHIBITED"},
    {MQRC_Q_DELETED, "MQRC_Q_DELETED"},
    {MQRC_Q_FULL, "MQRC_Q_FULL"},
    {MQRC_Q_SPACE_NOT_AVAILABLE, "MQRC_Q_SPACE_NOT_AVAILABLE"},
    {MQRC_Q_TYPE_ERROR, "MQRC_Q_TYPE_ERROR"},
    {MQRC_Q_MGR_NAME_ERROR, "MQRC_Q_MGR_NAME_ERROR"},
    {MQRC_Q_MGR_NOT_AVAILABLE, "MQRC_Q_MGR_NOT_AVAILABLE"},
    {MQRC_SELECTOR_COUNT_ERROR, "MQRC_SELECTOR_COUNT_ERROR"},
    {MQRC_SELECTOR_ERROR, "MQRC_SELECTOR_ERROR"},
    {MQRC_SELECTOR_NOT_FOR_TYPE, "MQRC_SELECTOR_NOT_FOR_TYPE"},
    {MQRC_STORAGE_NOT_AVAILABLE, "MQRC_STORAGE_NOT_AVAILABLE"},
    {MQRC_SYNCPOINT_NOT_AVAILABLE, "MQRC_SYNCPOINT_NOT_AVAILABLE"},
    {MQRC_TRUNCATED_MSG_ACCEPTED, "MQRC_TRUNCATED_MSG_ACCEPTED"},
    {MQRC_TRUNCATED_MSG_FAILED, "MQRC_TRUNCATED_MSG_FAILED"},
    {MQRC_UNKNOWN_OBJECT_NAME, "MQRC_UNKNOWN_OBJECT_NAME"},
    {MQRC_UNKNOWN_OBJECT_Q_MGR, "MQRC_UNKNOWN_OBJECT_Q_MGR"},
    {MQRC_UNKNOWN_REMOTE_Q_MGR, "MQRC_UNKNOWN_REMOTE_Q_MGR"},
    {MQRC_WAIT_INTERVAL_ERROR, "MQRC_WAIT_INTERVAL_ERROR"},
    {MQRC_NOT_OPEN_FOR_PASS_ALL, "MQRC_NOT_OPEN_FOR_PASS_ALL"},
    {MQRC_NOT_OPEN_FOR_SET_ALL, "MQRC_NOT_OPEN_FOR_SET_ALL"},
    {MQRC_NOT_OPEN_FOR_SET_IDENT, "MQRC_NOT_OPEN_FOR_SET_IDENT"},
    {MQRC_CONTEXT_HANDLE_ERROR, "MQRC_CONTEXT_HANDLE_ERROR"},
    {MQRC_CONTEXT_NOT_AVAILABLE, "MQRC_CONTEXT_NOT_AVAILABLE"},
    {MQRC_OBJECT_DAMAGED, "MQRC_OBJECT_DAMAGED"},
    {MQRC_RESOURCE_PROBLEM, "MQRC_RESOURCE_PROBLEM"},
    {MQRC_ANOTHER_Q_MGR_CONNECTED, "MQRC_ANOTHER_Q_MGR_CONNECTED"},
    {MQRC_FORMAT_ERROR, "MQRC_FORMAT_ERROR"},
    {MQRC_NOT_CONVERTED, "MQRC_NOT_CONVERTED"},
    {MQRC_CONVERTED_MSG_TOO_BIG, "MQRC_CONVERTED_MSG_TOO_BIG"},
    {MQRC_OBJECT_NAME_ERROR, "MQRC_OBJECT_NAME_ERROR"},
    {MQRC_Q_MGR_QUIESCING, "MQRC_Q_MGR_QUIESCING"},
    {MQRC_Q_MGR_STOPPING, "MQRC_Q_MGR_STOPPING"},
    {MQRC_PMO_ERROR, "MQRC_PMO_ERROR"},
    {MQRC_GMO_ERROR, "MQRC_GMO_ERROR"},
    {MQRC_UNEXPECTED_ERROR, "MQRC_UNEXPECTED_ERROR"},
    {MQRC_CONNECTION_QUIESCING, "MQRC_CONNECTION_QUIESCING"},
    {MQRC_CONNECTION_STOPPING, "MQRC_CONNECTION_STOPPING"},
    {MQRC_HOST_NOT_AVAILABLE, "MQRC_HOST_NOT_AVAILABLE"},
};

}  // namespace

std::string toHex(const void* bytes, size_t size) {
  static constexpr char kDigits[] = "0123456789abcdef";
  const auto* p = static_cast<const unsigned char*>(bytes);
  std::string hex;
  hex.reserve(size * 2);
  for (size_t i = 0; i < size; ++i) {
    hex += kDigits[p[i] >> 4];
    hex += kDigits[p[i] & 0x0f];
  }
  return hex;
}

mqi::Status parseIdentifier(std::string_view hex, MQBYTE24 out) {
  if (hex.starts_with("0x") || hex.starts_with("0X")) hex.remove_prefix(2);
  if (hex.empty() || hex.size() > 48 || hex.size() % 2 != 0) {
    return mqi::Status::Error("an identifier is 2 to 48 hexadecimal digits, an even number; got '" +
                              std::string(hex) + "'");
  }
  std::memset(out, 0, MQ_MSG_ID_LENGTH);
  for (size_t i = 0; i < hex.size(); i += 2) {
    const int high = hexValue(hex[i]);
    const int low = hexValue(hex[i + 1]);
    if (high < 0 || low < 0) {
      return mqi::Status::Error("'" + std::string(hex) + "' is not hexadecimal");
    }
    out[i / 2] = static_cast<MQBYTE>(high * 16 + low);
  }
  return mqi::Status::Ok();
}

void writeDump(std::ostream& out, const char* data, size_t shown, size_t total) {
  char line[96];
  for (size_t offset = 0; offset < shown; offset += 16) {
    const size_t count = std::min<size_t>(16, shown - offset);
    int pos = std::snprintf(line, sizeof line, "%08zx ", offset);
    for (size_t i = 0; i < 16; ++i) {
      if (i == 8) line[pos++] = ' ';
      if (i < count) {
        pos += std::snprintf(line + pos, sizeof line - pos, " %02x",
                             static_cast<unsigned char>(data[offset + i]));
      } else {
        pos += std::snprintf(line + pos, sizeof line - pos, "   ");
      }
    }
    out << line << "  |" << printable(std::string_view(data + offset, count)) << "|\n";
  }
  if (shown < total) out << "... " << (total - shown) << " more bytes not shown\n";
}

std::string printable(std::string_view bytes) {
  std::string text(bytes);
  for (char& c : text) {
    if (!isPrintable(static_cast<unsigned char>(c))) c = '.';
  }
  return text;
}

std::string fieldText(const char* field, size_t width) {
  size_t length = 0;
  while (length < width && field[length] != '\0') ++length;
  while (length > 0 && field[length - 1] == ' ') --length;
  return std::string(field, length);
}

void setField(char* field, size_t width, std::string_view text) {
  std::memset(field, 0, width);
  std::memcpy(field, text.data(), std::min(width, text.size()));
}

mqi::Status checkName(std::string_view name, std::string_view what) {
  if (name.empty()) return mqi::Status::Error("the " + std::string(what) + " name is empty");
  if (name.size() > 48) {
    return mqi::Status::Error("the " + std::string(what) + " name '" + std::string(name) +
                              "' is longer than 48 characters");
  }
  for (char c : name) {
    if (!isNameCharacter(c)) {
      return mqi::Status::Error("the " + std::string(what) + " name '" + std::string(name) +
                                "' may hold only A-Z a-z 0-9 . / _ %");
    }
  }
  return mqi::Status::Ok();
}

void writeTable(std::ostream& out, const std::vector<std::vector<std::string>>& rows) {
  std::vector<size_t> widths;
  for (const auto& row : rows) {
    if (widths.size() < row.size()) widths.resize(row.size(), 0);
    for (size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], row[i].size());
  }
  for (const auto& row : rows) {
    std::string text;
    for (size_t i = 0; i < row.size(); ++i) {
      text += row[i];
      if (i + 1 < row.size()) text += std::string(widths[i] - row[i].size() + 2, ' ');
    }
    while (!text.empty() && text.back() == ' ') text.pop_back();
    out << text << '\n';
  }
}

const char* reasonName(MQLONG reason) {
  for (const ReasonEntry& entry : kReasons) {
    if (entry.code == reason) return entry.name;
  }
  return "";
}

std::string describeReason(MQLONG reason) {
  std::string text = "reason " + std::to_string(reason);
  const char* name = reasonName(reason);
  if (*name != '\0') text += std::string(" (") + name + ")";
  return text;
}

}  // namespace qmctl
