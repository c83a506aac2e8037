#include "mqi/failpoints.h"

#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>

namespace mqi {
namespace {

const char* const kCalls[] = {"MQCONN", "MQDISC", "MQOPEN", "MQCLOSE", "MQGET", "MQPUT",
                              "MQPUT1", "MQINQ",  "MQSET",  "MQCMIT",  "MQBACK"};

struct State {
  std::mutex mutex;
  bool loaded = false;
  std::vector<Failpoint> points;
  std::map<std::string, int64_t> counts;
};

State& state() {
  static State* s = new State;  // never destroyed: calls may run during exit
  return *s;
}

bool parseInt(const std::string& s, int64_t& out) {
  if (s.empty()) return false;
  char* end = nullptr;
  long long v = std::strtoll(s.c_str(), &end, 10);
  if (*end != '\0') return false;
  out = v;
  return true;
}

bool parseEntry(const std::string& entry, Failpoint& fp) {
  size_t eq = entry.find('=');
  if (eq == std::string::npos) return false;
  std::string left = entry.substr(0, eq), right = entry.substr(eq + 1);
  size_t at = left.find('@');
  fp.call = left.substr(0, at);
  bool known = false;
  for (const char* c : kCalls) known = known || fp.call == c;
  if (!known) return false;
  if (at != std::string::npos) {
    std::string n = left.substr(at + 1);
    fp.andLater = !n.empty() && n.back() == '+';
    if (fp.andLater) n.pop_back();
    if (!parseInt(n, fp.from) || fp.from < 1) return false;
  }
  size_t colon = right.find(':');
  int64_t cc, rc;
  if (colon == std::string::npos || !parseInt(right.substr(0, colon), cc) ||
      !parseInt(right.substr(colon + 1), rc) || cc < 0 || cc > 2 || rc < 0)
    return false;
  fp.compCode = static_cast<int32_t>(cc);
  fp.reason = static_cast<int32_t>(rc);
  return true;
}

void loadLocked(State& s) {
  const char* v = std::getenv("QM_FAILPOINTS");
  std::vector<std::string> errors;
  s.points = parseFailpoints(v == nullptr ? "" : v, &errors);
  for (const std::string& e : errors)
    std::fprintf(stderr, "QM_FAILPOINTS: ignoring entry '%s'\n", e.c_str());
  s.counts.clear();
  s.loaded = true;
}

}  // namespace

std::vector<Failpoint> parseFailpoints(const std::string& text, std::vector<std::string>* errors) {
  std::vector<Failpoint> out;
  size_t start = 0;
  while (start <= text.size()) {
    size_t comma = text.find(',', start);
    std::string entry = text.substr(start, comma == std::string::npos ? std::string::npos
                                                                        : comma - start);
    while (!entry.empty() && entry.front() == ' ') entry.erase(entry.begin());
    while (!entry.empty() && entry.back() == ' ') entry.pop_back();
    Failpoint fp;
    if (!entry.empty()) {
      if (parseEntry(entry, fp)) out.push_back(fp);
      else if (errors != nullptr) errors->push_back(entry);
    }
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  return out;
}

void reloadFailpoints() {
  State& s = state();
  std::lock_guard<std::mutex> guard(s.mutex);
  loadLocked(s);
}

void loadFailpointsOnce() {
  State& s = state();
  std::lock_guard<std::mutex> guard(s.mutex);
  if (!s.loaded) loadLocked(s);
}

bool failpointHit(const char* call, int32_t* compCode, int32_t* reason) {
  State& s = state();
  std::lock_guard<std::mutex> guard(s.mutex);
  if (s.points.empty()) return false;
  int64_t n = ++s.counts[call];
  for (const Failpoint& fp : s.points) {
    if (fp.call != call) continue;
    if (fp.from == 0 || n == fp.from || (fp.andLater && n > fp.from)) {
      *compCode = fp.compCode;
      *reason = fp.reason;
      return true;
    }
  }
  return false;
}

}  // namespace mqi
