// Reading and checking the router's settings file, and matching source paths to routes.
#include "router/settings.h"

#include <string>

#include "common/log.h"
#include "platform/platform.h"

namespace route {
namespace {

constexpr size_t kQueueNameWidth = 48;

// Field widths of the delivery header parts that a route fills.
constexpr size_t kSrcNameWidth = 64;
constexpr size_t kIsLogWidth = 1;
constexpr size_t kTgtTypeWidth = 8;
constexpr size_t kTgtPathWidth = 254;
constexpr size_t kOptionsWidth = 577;

bool isSeparator(char c) { return c == '\\' || c == '/'; }

// The folder with '\' read as '/' and without trailing separators, so that C:\in\ and C:/in
// name the same folder.
std::string normaliseFolder(std::string_view folder) {
  std::string out(folder);
  for (char& c : out) {
    if (c == '\\') c = '/';
  }
  while (out.size() > 1 && out.back() == '/') out.pop_back();
  return out;
}

// Reads one value; longer than 1023 bytes it is cut, which the width checks then catch.
std::string readValue(const std::string& file, const std::string& section, const char* key,
                      const char* defaultValue) {
  char buffer[1024];
  platform::getProfileString(section.c_str(), key, defaultValue, buffer, sizeof buffer,
                             file.c_str());
  return buffer;
}

class Checker {
 public:
  explicit Checker(std::vector<std::string>* errors) : errors_(errors) {}

  void width(const std::string& where, const char* key, const std::string& value,
             size_t limit) {
    if (value.size() > limit) {
      fail(where + " " + key + " is " + std::to_string(value.size()) +
           " characters long; at most " + std::to_string(limit) + " fit");
    }
  }
  void required(const std::string& where, const char* key, const std::string& value) {
    if (value.empty()) fail(where + " " + key + " is missing");
  }
  // A number of at most 9 digits, as the numeric fields of the records hold.
  uint32_t number(const std::string& where, const char* key, const std::string& value) {
    if (value.empty()) return 0;
    if (value.size() > 9 || value.find_first_not_of("0123456789") != std::string::npos) {
      fail(where + " " + key + " = " + value + " is not a number of at most 9 digits");
      return 0;
    }
    return static_cast<uint32_t>(std::stoul(value));
  }
  void fail(std::string line) { errors_->push_back(std::move(line)); }
  bool ok() const { return errors_->empty(); }

 private:
  std::vector<std::string>* errors_;
};

Route readRoute(const std::string& file, int number, Checker& check) {
  const std::string section = "Route " + std::to_string(number);
  const std::string where = "[" + section + "]";
  Route r;
  r.number = number;
  r.srcFolder = readValue(file, section, "SrcFolder", "");
  r.srcMask = readValue(file, section, "SrcMask", "*");
  r.dlvrQueue = readValue(file, section, "DlvrQueue", "");
  r.replyToQ = readValue(file, section, "ReplyToQ", "");
  r.replyToQMgr = readValue(file, section, "ReplyToQMgr", "");
  r.objId = check.number(where, "Obj_id", readValue(file, section, "Obj_id", ""));
  r.srcName = readValue(file, section, "Src_name", "");
  r.isLog = readValue(file, section, "Is_log", "N");
  r.tgtId = check.number(where, "Tgt_id", readValue(file, section, "Tgt_id", ""));
  r.tgtType = readValue(file, section, "Tgt_type", "FILE");
  r.tgtPath = readValue(file, section, "Tgt_path", "");
  r.tgtCrtmod = readValue(file, section, "Tgt_crtmod", "NEWVERS");
  r.options = readValue(file, section, "Options", "");

  check.width(where, "DlvrQueue", r.dlvrQueue, kQueueNameWidth);
  check.width(where, "ReplyToQ", r.replyToQ, kQueueNameWidth);
  check.width(where, "ReplyToQMgr", r.replyToQMgr, kQueueNameWidth);
  check.width(where, "Src_name", r.srcName, kSrcNameWidth);
  check.width(where, "Is_log", r.isLog, kIsLogWidth);
  check.width(where, "Tgt_type", r.tgtType, kTgtTypeWidth);
  check.width(where, "Tgt_path", r.tgtPath, kTgtPathWidth);
  check.width(where, "Options", r.options, kOptionsWidth);
  if (r.srcMask.empty()) r.srcMask = "*";
  // qdrop ends its process on any other creation mode: catch a typo here, not there.
  if (r.tgtCrtmod != "NEWVERS" && r.tgtCrtmod != "REPLACE") {
    check.fail(where + " Tgt_crtmod = " + r.tgtCrtmod + " is neither NEWVERS nor REPLACE");
  }
  return r;
}

void readQueues(const std::string& file, RouterSettings& s, Checker& check) {
  const std::string mq = "MQSeries Objects";
  const std::string where = "[" + mq + "]";
  s.qmgrName = readValue(file, mq, "QMgrName", "");
  s.rcvrQueue = readValue(file, mq, "RcvrQueue", "");
  s.dlvrQueue = readValue(file, mq, "DlvrQueue", "");
  s.deadQueue = readValue(file, mq, "DeadQueue", "");
  s.replyToQ = readValue(file, mq, "ReplyToQ", "");
  s.replyToQMgr = readValue(file, mq, "ReplyToQMgr", "");
  s.inputExclusive = readValue(file, mq, "InputExclusiveON", "Y").starts_with('Y');
  std::string wait = readValue(file, mq, "WaitMQInterval", "60000");
  s.waitMQInterval = check.number(where, "WaitMQInterval", wait);

  check.width(where, "QMgrName", s.qmgrName, kQueueNameWidth);
  check.width(where, "RcvrQueue", s.rcvrQueue, kQueueNameWidth);
  check.width(where, "DlvrQueue", s.dlvrQueue, kQueueNameWidth);
  check.width(where, "DeadQueue", s.deadQueue, kQueueNameWidth);
  check.width(where, "ReplyToQ", s.replyToQ, kQueueNameWidth);
  check.width(where, "ReplyToQMgr", s.replyToQMgr, kQueueNameWidth);
  check.required(where, "RcvrQueue", s.rcvrQueue);
  check.required(where, "DeadQueue", s.deadQueue);
}

}  // namespace

SourcePath splitSourcePath(std::string_view path) {
  for (size_t i = path.size(); i-- > 1;) {
    if (isSeparator(path[i])) {
      return {std::string(path.substr(0, i)), std::string(path.substr(i + 1))};
    }
  }
  return {"", std::string(path)};
}

bool routeMatches(const Route& route, std::string_view srcPath) {
  SourcePath source = splitSourcePath(srcPath);
  if (!route.srcFolder.empty() && route.srcFolder != "*" &&
      normaliseFolder(route.srcFolder) != normaliseFolder(source.folder)) {
    return false;
  }
  return platform::matchesMask(source.name.c_str(), route.srcMask.c_str());
}

const Route* findRoute(const std::vector<Route>& routes, std::string_view srcPath) {
  for (const Route& r : routes) {
    if (routeMatches(r, srcPath)) return &r;
  }
  return nullptr;
}

std::string resolveSettingsPath(const std::string& name) {
  if (platform::isAbsolutePath(name.c_str())) return name;
  return std::string(currentDirectory()) + platform::pathSeparator() + name;
}

std::optional<RouterSettings> readRouterSettings(const std::string& path,
                                                 std::vector<std::string>* errors) {
  errors->clear();
  Checker check(errors);
  RouterSettings s;
  readQueues(path, s, check);
  for (int n = 1;; ++n) {
    if (readValue(path, "Route " + std::to_string(n), "Tgt_path", "").empty()) break;
    s.routes.push_back(readRoute(path, n, check));
  }
  if (s.routes.empty()) check.fail("[Route 1] Tgt_path is missing: the routing table is empty");
  for (const Route& r : s.routes) {
    if (r.dlvrQueue.empty() && s.dlvrQueue.empty()) {
      check.fail("[Route " + std::to_string(r.number) +
                 "] has no DlvrQueue and [MQSeries Objects] DlvrQueue is missing");
    }
  }
  if (!check.ok()) return std::nullopt;
  return s;
}

}  // namespace route
