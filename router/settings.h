// The router's settings file: the queues it works with and the routing table that turns a
// loaded file group into a delivery group.
//
//   [MQSeries Objects]              [Route 1]            (Route 2, Route 3, ... follow)
//   QMgrName=QM1                    SrcFolder=/data/in
//   RcvrQueue=QROUTE.IN             SrcMask=*.xml
//   DlvrQueue=QDROP.IN              Tgt_path=new(/data/out/)old
//   DeadQueue=QROUTE.DEAD           Tgt_crtmod=REPLACE
//   ReplyToQ=STATUS                 Obj_id, Src_name, Is_log, Tgt_id, Tgt_type, Options,
//   ReplyToQMgr=, InputExclusiveON=Y, DlvrQueue, ReplyToQ, ReplyToQMgr (all optional)
//   WaitMQInterval=60000
//
// Routes are numbered from 1 without gaps; the first number whose section has no Tgt_path
// ends the table. The first route whose folder and mask match a file's source path wins.
#ifndef QT_ROUTER_SETTINGS_H
#define QT_ROUTER_SETTINGS_H

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace route {

// One line of the routing table: which files it takes and what their delivery header says.
struct Route {
  int number = 0;             // n of its "Route n" section
  std::string srcFolder;      // folder of the source path; empty or "*" matches any folder
  std::string srcMask = "*";  // file name mask: '*' and '?', without regard to case
  std::string dlvrQueue;      // delivery queue; empty: the global DlvrQueue
  std::string replyToQ;       // reply queue of the DLVR_STATUS; empty: the global one
  std::string replyToQMgr;
  uint32_t objId = 0;
  std::string srcName;        // empty: the file name of the source path
  std::string isLog = "N";
  uint32_t tgtId = 0;
  std::string tgtType = "FILE";
  std::string tgtPath;        // qdrop's target path template
  std::string tgtCrtmod = "NEWVERS";
  std::string options;
};

struct RouterSettings {
  std::string qmgrName;
  std::string rcvrQueue;   // where the loaded file groups arrive
  std::string dlvrQueue;   // default delivery queue
  std::string deadQueue;   // unmatched, incomplete and unusable groups
  std::string replyToQ;    // default reply queue of the DLVR_STATUS records
  std::string replyToQMgr;
  bool inputExclusive = true;
  uint32_t waitMQInterval = 60000;  // milliseconds before a new attempt after a transient fault
  std::vector<Route> routes;
};

// The folder and the file name of a source path: split at the last '\' or '/' after its first
// character. Without one the folder is empty and the name is the whole path.
struct SourcePath {
  std::string folder;
  std::string name;
};
SourcePath splitSourcePath(std::string_view path);

// True when the route takes a file with this source path.
bool routeMatches(const Route& route, std::string_view srcPath);
// The first route that takes the file, or nullptr.
const Route* findRoute(const std::vector<Route>& routes, std::string_view srcPath);

// The file name of a settings path as the agents resolve it: an absolute path as it is, any
// other joined to the current directory.
std::string resolveSettingsPath(const std::string& name);

// Reads and checks the settings file. A missing file or key takes its default; a value that
// cannot be used (too long for its field, not a number, an unknown creation mode, a missing
// queue name, no route at all) is described in *errors, one line each, and nothing is returned.
std::optional<RouterSettings> readRouterSettings(const std::string& path,
                                                 std::vector<std::string>* errors);

}  // namespace route

#endif  // QT_ROUTER_SETTINGS_H
