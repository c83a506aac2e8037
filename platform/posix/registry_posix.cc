// The parameters files that stand for the services' registry keys.
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <iterator>

#include "platform/registry.h"
#include "platform/registry_rules.h"

namespace platform {
namespace {

constexpr size_t kMaxFileSize = 1 << 20;

long readWholeFile(const std::string& path, std::string* text) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return errno != 0 ? errno : ENOENT;
  text->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  if (in.bad()) return EIO;
  return text->size() > kMaxFileSize ? EFBIG : 0;
}

}  // namespace

std::string parametersFolder() {
  const char* folder = std::getenv("QT_PARAMETERS_DIR");
  if (folder != nullptr && folder[0] != '\0') return folder;
  return "/etc/qtransfer/services";
}

long ParameterKey::open(const char* keyName) {
  close();
  std::string service = serviceOfKey(keyName != nullptr ? keyName : "");
  if (service.empty()) return ENOENT;
  std::string text;
  errno = 0;
  long rc = readWholeFile(parametersFolder() + "/" + service + ".parameters", &text);
  if (rc == 0) rc = parseParameterText(text, &values_, nullptr);
  open_ = rc == 0;
  return rc;
}

}  // namespace platform
