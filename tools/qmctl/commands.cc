#include "tools/qmctl/commands.h"

#include <iostream>

#include "tools/qmctl/text.h"

namespace qmctl {

int fail(const mqi::Status& status) { return report(status.message(), kExitFailed); }

int finish(const mqi::Status& status, const std::string& done) {
  if (!status.ok()) return fail(status);
  std::cout << done << '\n';
  return kExitOk;
}

int report(const std::string& message, int code) {
  std::cout.flush();
  std::cerr << "qmctl: " << message << '\n';
  return code;
}

CLI::Validator nameCheck(const std::string& what) {
  return CLI::Validator(
      [what](std::string& value) {
        const mqi::Status status = checkName(value, what);
        return status.ok() ? std::string() : status.message();
      },
      "NAME");
}

CLI::Validator identifierCheck() {
  return CLI::Validator(
      [](std::string& value) {
        MQBYTE24 id;
        const mqi::Status status = parseIdentifier(value, id);
        return status.ok() ? std::string() : status.message();
      },
      "HEX");
}

}  // namespace qmctl
