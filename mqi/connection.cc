#include "mqi/connection.h"

#include <mutex>

#include "mqi/failpoints.h"
#include "platform/host.h"

namespace mqi {
namespace {

struct Registry {
  std::mutex mutex;
  int32_t pid = 0;
  MQHCONN next = 1;
  std::map<MQHCONN, std::unique_ptr<Connection>> connections;
};

// Never destroyed: connections left open at exit are backed out by the next process that
// looks, exactly as if the process had died.
Registry& registry() {
  static Registry* r = new Registry;
  return *r;
}

// In a forked child the parent's connections are forgotten without touching their SQLite
// handles or locks (which belong to the parent); the child connects anew.
void forgetParentConnections(Registry& r) {
  int32_t pid = platform::currentProcessId();
  if (r.pid == pid) return;
  if (r.pid != 0) {
    for (auto& [h, c] : r.connections) {
      c->session->abandon();
      for (auto& [name, s] : c->others) s->abandon();
      (void)c->session.release();
      for (auto& [name, s] : c->others) (void)s.release();
      (void)c.release();
    }
    r.connections.clear();
  }
  r.pid = pid;
}

}  // namespace

MQHCONN addConnection(std::unique_ptr<Connection> connection) {
  Registry& r = registry();
  std::lock_guard<std::mutex> guard(r.mutex);
  forgetParentConnections(r);
  MQHCONN h = r.next++;
  if (r.next <= 0) r.next = 1;
  connection->hconn = h;
  connection->owner = std::this_thread::get_id();
  r.connections[h] = std::move(connection);
  return h;
}

Connection* findConnection(MQHCONN hconn, MQLONG* reason) {
  Registry& r = registry();
  std::lock_guard<std::mutex> guard(r.mutex);
  forgetParentConnections(r);
  auto it = r.connections.find(hconn);
  if (it == r.connections.end() || it->second->owner != std::this_thread::get_id()) {
    *reason = MQRC_HCONN_ERROR;
    return nullptr;
  }
  return it->second.get();
}

Connection* threadConnection() {
  Registry& r = registry();
  std::lock_guard<std::mutex> guard(r.mutex);
  forgetParentConnections(r);
  for (auto& [h, c] : r.connections)
    if (c->owner == std::this_thread::get_id()) return c.get();
  return nullptr;
}

void removeConnection(MQHCONN hconn) {
  std::unique_ptr<Connection> gone;
  Registry& r = registry();
  {
    std::lock_guard<std::mutex> guard(r.mutex);
    auto it = r.connections.find(hconn);
    if (it == r.connections.end()) return;
    gone = std::move(it->second);
    r.connections.erase(it);
  }
}

Call::Call(const char* name, PMQLONG compCode, PMQLONG reason) : cc_(compCode), rc_(reason) {
  set(MQCC_OK, MQRC_NONE);
  MQLONG cc = 0, rc = 0;
  if (failpointHit(name, &cc, &rc)) {
    set(cc, rc);
    failpoint_ = true;
  }
}

void Call::set(MQLONG cc, MQLONG reason) {
  if (cc_ != nullptr) *cc_ = cc;
  if (rc_ != nullptr) *rc_ = reason;
}

void Call::result(MQLONG reason) {
  switch (reason) {
    case MQRC_NONE:
      set(MQCC_OK, MQRC_NONE);
      break;
    case MQRC_ALREADY_CONNECTED:
    case MQRC_CHAR_ATTRS_TOO_SHORT:
    case MQRC_INT_ATTR_COUNT_TOO_SMALL:
    case MQRC_PRIORITY_EXCEEDS_MAXIMUM:
    case MQRC_SELECTOR_NOT_FOR_TYPE:
    case MQRC_TRUNCATED_MSG_ACCEPTED:
    case MQRC_TRUNCATED_MSG_FAILED:
    case MQRC_FORMAT_ERROR:
    case MQRC_NOT_CONVERTED:
    case MQRC_CONVERTED_MSG_TOO_BIG:
      warn(reason);
      break;
    default:
      fail(reason);
  }
}

bool connectionUsable(Call& call, Connection& c) {
  MQLONG rc = c.session->health();
  if (rc != 0) call.fail(rc);
  return rc == 0;
}

OpenObject findOpenObject(Call& call, MQHCONN hconn, MQHOBJ hobj, MQLONG requiredOption,
                          MQLONG notOpenReason) {
  MQLONG reason = 0;
  Connection* c = findConnection(hconn, &reason);
  if (c == nullptr) {
    call.fail(reason);
    return {};
  }
  auto it = c->objects.find(hobj);
  if (it == c->objects.end()) {
    call.fail(MQRC_HOBJ_ERROR);
    return {};
  }
  if (!connectionUsable(call, *c)) return {};
  if (requiredOption != 0 && !(it->second.options & requiredOption)) {
    call.fail(notOpenReason);
    return {};
  }
  return {c, &it->second};
}

}  // namespace mqi
