// A parameters store for services, in the shape of the registry calls the service host makes.
//
// Each service has one parameters file, "<folder>/<service>.parameters", that stands for its
// key "SYSTEM\CurrentControlSet\Services\<service>\Parameters" under the local machine root.
// The folder is $QT_PARAMETERS_DIR when that is set and not empty, else parametersFolder()'s
// default. The file is plain text that a person can read and edit:
//
//   # a comment (also ';'), blank lines are ignored
//   Application        = /usr/bin/qdrop               a string value (kRegSz)
//   AppParameters      =                              a string value that is present but empty
//   Setup:expand       = $HOME/x                      kRegExpandSz (stored as written)
//   AppEnvironment:multi = PATH=/usr/bin              kRegMultiSz: every line adds one entry
//   AppEnvironment:multi = QM_STORE=/var/lib/qtransfer
//   Empty:multi        =                              a multi-string value with no entry
//   Retries:dword      = 5                            kRegDword (decimal or 0x hex), 4 bytes
//   Blob:binary        = 01 ff 3a                     kRegBinary, hex bytes
//
// Blanks around names and values do not count; a value cannot begin or end with a blank.
// Names are compared without regard to case. A name may stand once, except that the lines of
// one multi-string value repeat it. A line that breaks these rules makes the whole file
// unusable (the open fails with EINVAL), so that a typing error is never taken silently for
// an absent value.
//
// Results are codes, as the registry calls give them: 0 on success, kRegMoreData when the
// buffer is too small, otherwise an errno value (ENOENT for a missing key or value).
#ifndef QT_PLATFORM_REGISTRY_H
#define QT_PLATFORM_REGISTRY_H

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// Value types (the registry's numbers).
constexpr uint32_t kRegSz = 1;
constexpr uint32_t kRegExpandSz = 2;
constexpr uint32_t kRegBinary = 3;
constexpr uint32_t kRegDword = 4;
constexpr uint32_t kRegMultiSz = 7;

constexpr long kRegSuccess = 0;
constexpr long kRegMoreData = 234;  // never an errno value

struct ParameterValue {
  std::string name;
  uint32_t type = kRegSz;
  std::vector<uint8_t> data;  // strings end in NUL; multi-strings in an extra NUL
};

// The folder of the parameters files: $QT_PARAMETERS_DIR or "/etc/qtransfer/services".
std::string parametersFolder();

// Reads the text of a parameters file into values. Returns 0, or EINVAL with *badLine set to
// the 1-based number of the first line that breaks the rules.
long parseParameterText(std::string_view text, std::vector<ParameterValue>* values,
                        size_t* badLine);

// One open key. The file is read once, at open; later changes to it are not seen.
class ParameterKey {
 public:
  // keyName is relative to the local machine root, e.g.
  // "SYSTEM\CurrentControlSet\Services\qdrop\Parameters\" (the trailing backslash and the
  // case of the fixed parts do not matter). Any other key is ENOENT; so is a service name
  // that is empty, ".", ".." or holds a '/'.
  long open(const char* keyName);
  // The registry's query: with data null, only *size (and *type) are filled. When *size is
  // smaller than the value, *type and *size (the size needed) are filled and kRegMoreData
  // returned. type may be null. A missing value is ENOENT; a key that is not open EBADF.
  long query(const char* valueName, uint32_t* type, uint8_t* data, uint32_t* size) const;
  void close();
  bool isOpen() const { return open_; }

 private:
  std::vector<ParameterValue> values_;
  bool open_ = false;
};

}  // namespace platform

#endif  // QT_PLATFORM_REGISTRY_H
