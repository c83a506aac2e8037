// The road under fire: files through qfeed, qroute and qdrop (one NEWVERS route, one REPLACE
// route) while the three programs are killed with SIGKILL at random moments and restarted at
// once; then the programs run in peace until the road is empty, and the targets are compared
// with the sources. Shared by the crash test and its full-size benchmark.
#ifndef QT_TESTS_ROAD_CRASH_ROAD_H
#define QT_TESTS_ROAD_CRASH_ROAD_H

#include <chrono>
#include <cstdlib>
#include <cstdint>
#include <filesystem>
#include <map>
#include <ostream>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/test_folder.h"
#include "tests/support/program.h"
#include "tests/support/queue_manager.h"
#include "tests/support/test_data.h"

namespace road {

struct CrashPlan {
  std::string qfeed, qroute, qdrop;  // the programs
  int files = 40;                    // split between the two routes
  size_t largestFile = 512 * 1024;   // sizes are spread from 0 to this
  int kills = 30;
  uint32_t seed = 7;
};

struct CrashFigures;
std::ostream& operator<<(std::ostream& out, const CrashFigures& figures);

struct CrashFigures {
  int files = 0, kills = 0;
  int lost = 0, corrupted = 0, duplicated = 0, partial = 0, leftovers = 0, stuck = 0;
  int loadsRepeated = 0;  // a file loaded by qfeed more than once
  bool settled = false;   // the road emptied after the kills
  std::string stuckWhere;  // "queue:depth" or "folder:name" of what is stuck
  int faults() const {
    return lost + corrupted + duplicated + partial + leftovers + stuck + loadsRepeated;
  }
};

inline std::ostream& operator<<(std::ostream& out, const CrashFigures& f) {
  return out << f.files << " files, " << f.kills << " kills: lost " << f.lost << ", corrupted "
             << f.corrupted << ", duplicated " << f.duplicated << ", partial " << f.partial
             << ", left over " << f.leftovers << ", stuck " << f.stuck << ", loaded again "
             << f.loadsRepeated << (f.settled ? "" : " (the road did not empty)") << f.stuckWhere;
}

class CrashRoad {
 public:
  static constexpr const char* kQueues[] = {"JOBS", "RECV", "DLVR", "DEAD", "DEFER",
                                            "LSTAT", "DSTAT", "MARKS"};

  explicit CrashRoad(const CrashPlan& plan) : plan_(plan) {
    for (const char* sub : {"new", "rep", "out", "logs"}) folder_.makeFolder(sub);
    testsupport::TestStore::inFolder(folder_ / "qm");
    qm_ = std::make_unique<testsupport::TestQueueManager>(
        "CRASH", std::vector<std::string>(std::begin(kQueues), std::end(kQueues)));
    writeSettings();
  }
  ~CrashRoad() {
    for (auto& program : programs_) program.reset();
    qm_.reset();
  }

  CrashFigures run() {
    writeSources();
    for (int i = 0; i < 3; ++i) restart(i);
    std::mt19937 random(plan_.seed);
    CrashFigures figures;
    figures.files = plan_.files;
    for (; figures.kills < plan_.kills && !drained(); ++figures.kills) {
      feedJobs();
      std::this_thread::sleep_for(std::chrono::milliseconds(10 + random() % 90));
      const int victim = static_cast<int>(random() % 3);
      programs_[victim]->kill9();
      programs_[victim]->waitExit(10000);
      restart(victim);
    }
    figures.settled = waitUntilDrained(120000);
    stop();
    compare(figures);
    return figures;
  }

 private:
  static constexpr const char* kNames[] = {"qfeed", "qroute", "qdrop"};

  std::string src(bool replace) const { return folder_ / (replace ? "rep" : "new"); }
  std::string target(bool replace) const { return folder_ / (replace ? "out/rep" : "out/new"); }

  void writeSettings() {
    folder_.write("qfeed.ini",
                  "[MQSeries Objects]\nQMgrName=CRASH\nSrcQueue=JOBS\nLoadedQueue=MARKS\n"
                  "[Source Definition]\nLogPath=\n[Options]\nFolderWaitTime=0\nMQWaitTime=100\n");
    std::string routes;
    for (int replace = 0; replace < 2; ++replace) {
      routes += "[Route " + std::to_string(replace + 1) + "]\nSrcFolder=" + src(replace) +
                "\nSrcMask=*\nObj_id=1\nTgt_id=2\nIs_log=Y\nTgt_path=new(" + target(replace) +
                "/)old\nTgt_crtmod=" + (replace ? "REPLACE" : "NEWVERS") +
                "\nOptions=-garbage DEFER\n";
    }
    folder_.write("qroute.ini",
                  "[MQSeries Objects]\nQMgrName=CRASH\nRcvrQueue=RECV\nDlvrQueue=DLVR\n"
                  "DeadQueue=DEAD\nReplyToQ=DSTAT\nWaitMQInterval=100\n" + routes);
    folder_.write("qdrop.ini",
                  "[MQSeries Objects]\nQMgrName=CRASH\nQName=DLVR\nWaitMQInterval=100\n"
                  "[Options]\nDeferInterval=2000\nTargetRoots=" + (folder_ / "out") + "\n");
  }

  void writeSources() {
    std::mt19937 random(plan_.seed);
    for (int i = 0; i < plan_.files; ++i) {
      const size_t size = i == 0 ? 0 : random() % (plan_.largestFile + 1);
      const std::string name = "f" + std::to_string(i) + ".dat";
      const std::string content = testsupport::patternBytes(size, static_cast<int>(i + 1));
      const bool replace = i % 2 == 1;
      folder_.write((replace ? "rep/" : "new/") + name, content);
      sources_[name] = {content, replace};
    }
  }

  void restart(int index) {
    testsupport::ProgramStart start;
    start.args = {folder_ / (std::string(kNames[index]) + ".ini")};
    start.out = start.err = folder_ / ("logs/" + std::string(kNames[index]) + ".log");
    start.append = true;
    const std::string* paths[] = {&plan_.qfeed, &plan_.qroute, &plan_.qdrop};
    programs_[index] = std::make_unique<testsupport::Program>(*paths[index], start);
  }

  // A job for each source folder that still holds files, when none is waiting.
  void feedJobs() {
    if (qm_->depth("JOBS") > 0) return;
    for (int replace = 0; replace < 2; ++replace) {
      if (!std::filesystem::is_empty(src(replace))) {
        qm_->putJob("JOBS", src(replace) + "/*", "-rcvrqname RECV", "LSTAT", 1, 'Y');
      }
    }
  }

  bool drained() {
    return std::filesystem::is_empty(src(false)) && std::filesystem::is_empty(src(true)) &&
           qm_->depth("RECV") == 0 && qm_->depth("DLVR") == 0 && qm_->depth("JOBS") == 0;
  }

  bool waitUntilDrained(int timeoutMs) {
    return testsupport::pollUntil(
        [&] {
          feedJobs();
          return drained();
        },
        timeoutMs);
  }

  void stop() {
    const char* inputs[] = {"JOBS", "RECV", "DLVR"};
    for (const char* queue : inputs) qm_->setGetInhibited(queue, true);
    for (auto& program : programs_) program->waitExit(20000);
  }

  void compare(CrashFigures& figures) {
    std::map<std::string, int> copies;
    for (int replace = 0; replace < 2; ++replace) {
      if (!std::filesystem::exists(target(replace))) continue;
      for (const auto& entry : std::filesystem::directory_iterator(target(replace))) {
        classify(entry.path(), copies, figures);
      }
    }
    for (const auto& [name, source] : sources_) {
      const int count = copies[name];
      if (count == 0) ++figures.lost;
      if (count > 1) figures.duplicated += count - 1;
    }
    for (int replace = 0; replace < 2; ++replace) {
      for (const auto& entry : std::filesystem::directory_iterator(src(replace))) {
        figures.stuckWhere += " " + entry.path().string();
        ++figures.stuck;
      }
    }
    // Jobs are not counted: the driver puts more than the files need, and one may be left.
    for (const char* queue : {"RECV", "DLVR", "DEAD", "DEFER"}) {
      const int32_t depth = qm_->depth(queue);
      if (depth != 0) figures.stuckWhere += " " + std::string(queue) + ":" + std::to_string(depth);
      figures.stuck += depth;
    }
    // The consoles of a run with faults, for a look afterwards.
    if (figures.faults() != 0 && std::getenv("CRASH_KEEP_LOGS") != nullptr) {
      std::filesystem::copy(folder_ / "logs", std::getenv("CRASH_KEEP_LOGS"),
                            std::filesystem::copy_options::recursive |
                                std::filesystem::copy_options::overwrite_existing);
    }
    std::map<std::string, int> loads;
    for (const auto& status : qm_->drain("LSTAT")) {
      if (status.data.find("was loaded successfully") != std::string::npos) ++loads[status.data];
    }
    for (const auto& [comment, count] : loads) figures.loadsRepeated += count - 1;
  }

  // A target file is a whole copy of its source (under its name or a version of it), a part
  // of one, some other content, a private name left over, or the folder's journal.
  void classify(const std::filesystem::path& path, std::map<std::string, int>& copies,
                CrashFigures& figures) {
    const std::string name = path.filename().string();
    if (name == ".qdrop-journal") return;  // the folder's delivery journal stays by design
    if (name.rfind(".qdrop-", 0) == 0) {
      ++figures.leftovers;
      return;
    }
    const std::string content = testsupport::readFile(path.string());
    for (const auto& [sourceName, source] : sources_) {
      const std::string stem = sourceName.substr(0, sourceName.size() - 4);
      if (name != sourceName && name.rfind(stem + "_", 0) != 0) continue;
      if (content == source.content) {
        ++copies[sourceName];
      } else if (source.content.compare(0, content.size(), content) == 0) {
        ++figures.partial;
      } else {
        ++figures.corrupted;
      }
      return;
    }
    ++figures.corrupted;
  }

  struct Source {
    std::string content;
    bool replace;
  };
  CrashPlan plan_;
  TestFolder folder_{"crash-road"};
  std::unique_ptr<testsupport::TestQueueManager> qm_;
  std::unique_ptr<testsupport::Program> programs_[3];
  std::map<std::string, Source> sources_;
};

}  // namespace road

#endif  // QT_TESTS_ROAD_CRASH_ROAD_H
