// The text of this thread's last failed connect.
#include "mqi/store/store.h"

namespace mqi {
namespace {

thread_local std::string lastText;

}  // namespace

void noteConnectError(const std::string& text) { lastText = text; }

const std::string& connectErrorText() { return lastText; }

}  // namespace mqi
