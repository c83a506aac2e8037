// The MQI calls that manage connections, handles, units of work and attributes.
#include <cstring>

#include "mqi/connection.h"
#include "mqi/failpoints.h"
#include "mqi/open.h"
#include "mqi/store/names.h"

using namespace mqi;

namespace {

constexpr MQLONG kOpenOptions = 0x0000ffff;

bool validOd(const MQOD* od) {
  return od != nullptr && std::memcmp(od->StrucId, MQOD_STRUC_ID, 4) == 0 && od->Version >= 1 &&
         od->Version <= 4;
}

MQLONG checkOpenOptions(MQLONG o) {
  if (o & ~kOpenOptions) return MQRC_OPTIONS_ERROR;
  MQLONG inputs = o & (MQOO_INPUT_AS_Q_DEF | MQOO_INPUT_SHARED | MQOO_INPUT_EXCLUSIVE);
  if (inputs & (inputs - 1)) return MQRC_OPTIONS_ERROR;
  if (!(o & (MQOO_BROWSE | MQOO_OUTPUT | MQOO_INQUIRE | MQOO_SET)) && inputs == 0)
    return MQRC_OPTIONS_ERROR;
  if ((o & MQOO_SAVE_ALL_CONTEXT) && inputs == 0) return MQRC_OPTIONS_ERROR;
  MQLONG context = MQOO_PASS_IDENTITY_CONTEXT | MQOO_PASS_ALL_CONTEXT |
                   MQOO_SET_IDENTITY_CONTEXT | MQOO_SET_ALL_CONTEXT;
  if ((o & context) && !(o & MQOO_OUTPUT)) return MQRC_OPTIONS_ERROR;
  return 0;
}

MQLONG openQueueManagerObject(Connection& c, const MQOD& od, MQLONG options, ObjectHandle& h) {
  MQLONG allowed = MQOO_INQUIRE | MQOO_ALTERNATE_USER_AUTHORITY | MQOO_FAIL_IF_QUIESCING |
                   MQOO_BIND_ON_OPEN | MQOO_BIND_NOT_FIXED;
  std::string qmgr = fieldText(od.ObjectQMgrName, 48);
  std::string name = fieldText(od.ObjectName, 48);
  if (!qmgr.empty() && qmgr != c.qmgrName) return MQRC_UNKNOWN_OBJECT_Q_MGR;
  if (!name.empty() && name != c.qmgrName) return MQRC_UNKNOWN_OBJECT_NAME;
  if (options & ~allowed) return MQRC_OPTION_NOT_VALID_FOR_TYPE;
  h.isQueueManager = true;
  h.session = c.session.get();
  return 0;
}

}  // namespace

namespace mqi {

// Resolves ObjectQMgrName to a session: ours when blank or our own name, another queue
// manager of the same store when it names one (puts only), else 2087 (2086 if malformed).
MQLONG sessionFor(Connection& c, const std::string& qmgr, Session*& out) {
  if (qmgr.empty() || qmgr == c.qmgrName) {
    out = c.session.get();
    return 0;
  }
  if (!isValidName(qmgr)) return MQRC_UNKNOWN_OBJECT_Q_MGR;
  auto it = c.others.find(qmgr);
  if (it == c.others.end()) {
    Result<std::shared_ptr<Store>> store = openStore(storeLocation());
    if (!store.ok() || !store.value->queueManagerExists(qmgr)) return MQRC_UNKNOWN_REMOTE_Q_MGR;
    std::unique_ptr<Session> session;
    MQLONG rc = store.value->connect(qmgr, session);
    if (rc != 0) return rc == MQRC_Q_MGR_NAME_ERROR ? MQRC_UNKNOWN_REMOTE_Q_MGR : rc;
    it = c.others.emplace(qmgr, std::move(session)).first;
  }
  if (MQLONG rc = it->second->health(); rc != 0) return rc;
  out = it->second.get();
  return 0;
}

MQLONG openQueue(Connection& c, const MQOD& od, MQLONG options, bool registerHandle,
                 ObjectHandle& h) {
  if (od.ObjectType == MQOT_Q_MGR) return openQueueManagerObject(c, od, options, h);
  if (od.ObjectType != MQOT_Q) return MQRC_OBJECT_TYPE_ERROR;
  std::string qmgr = fieldText(od.ObjectQMgrName, 48);
  std::string name = fieldText(od.ObjectName, 48);
  if (!isValidName(name)) return MQRC_UNKNOWN_OBJECT_NAME;
  Session* session = nullptr;
  if (MQLONG rc = sessionFor(c, qmgr, session); rc != 0) return rc;
  bool remote = session != c.session.get();
  MQLONG remoteAllowed = MQOO_OUTPUT | MQOO_FAIL_IF_QUIESCING | MQOO_PASS_IDENTITY_CONTEXT |
                         MQOO_PASS_ALL_CONTEXT | MQOO_SET_IDENTITY_CONTEXT |
                         MQOO_SET_ALL_CONTEXT | MQOO_ALTERNATE_USER_AUTHORITY |
                         MQOO_BIND_ON_OPEN | MQOO_BIND_NOT_FIXED;
  if (remote && (options & ~remoteAllowed)) return MQRC_OPTION_NOT_VALID_FOR_TYPE;
  if (MQLONG rc = session->findQueue(name, h.queue); rc != 0) return rc;
  h.session = session;
  h.options = options;
  InputMode input = InputMode::kNone;
  if (options & MQOO_INPUT_EXCLUSIVE) input = InputMode::kExclusive;
  if (options & MQOO_INPUT_SHARED) input = InputMode::kShared;
  if (options & MQOO_INPUT_AS_Q_DEF)
    input = h.queue.info.defInputOpenOption == MQOO_INPUT_EXCLUSIVE ? InputMode::kExclusive
                                                                      : InputMode::kShared;
  if (input == InputMode::kShared && h.queue.info.shareability == MQQA_NOT_SHAREABLE)
    input = InputMode::kExclusive;
  // A handle for neither input nor output (inquire, browse) counts nowhere and excludes no
  // one: the store need not hear of it.
  if (!registerHandle || (input == InputMode::kNone && (options & MQOO_OUTPUT) == 0)) return 0;
  return session->openHandle(h.queue, input, (options & MQOO_OUTPUT) != 0, h.storeHandle);
}

}  // namespace mqi

extern "C" {

void MQCONN(const MQCHAR* QMgrName, PMQHCONN Hconn, PMQLONG CompCode, PMQLONG Reason) {
  loadFailpointsOnce();
  Call call("MQCONN", CompCode, Reason);
  if (Hconn == nullptr) return call.fail(MQRC_HCONN_ERROR);
  if (call.failed()) {
    *Hconn = MQHC_UNUSABLE_HCONN;
    return;
  }
  *Hconn = MQHC_UNUSABLE_HCONN;
  noteConnectError("");
  std::string name = QMgrName == nullptr ? std::string() : fieldText(QMgrName, 48);
  Result<std::shared_ptr<Store>> store = openStore(storeLocation());
  if (!store.ok()) return call.fail(store.status.reason() ? store.status.reason()
                                                          : MQRC_Q_MGR_NOT_AVAILABLE);
  if (name.empty()) name = store.value->defaultQueueManager();
  if (name.empty()) return call.fail(MQRC_Q_MGR_NAME_ERROR);
  if (Connection* existing = threadConnection()) {
    if (existing->qmgrName != name) return call.fail(MQRC_ANOTHER_Q_MGR_CONNECTED);
    *Hconn = existing->hconn;
    return call.warn(MQRC_ALREADY_CONNECTED);
  }
  auto c = std::make_unique<Connection>();
  MQLONG rc = store.value->connect(name, c->session);
  if (rc != 0) return call.fail(rc);
  c->qmgrName = c->session->queueManager().name;
  *Hconn = addConnection(std::move(c));
}

void MQDISC(PMQHCONN Hconn, PMQLONG CompCode, PMQLONG Reason) {
  Call call("MQDISC", CompCode, Reason);
  if (call.failed()) return;
  if (Hconn == nullptr) return call.fail(MQRC_HCONN_ERROR);
  MQLONG reason = 0;
  Connection* c = findConnection(*Hconn, &reason);
  if (c == nullptr) return call.fail(reason);
  for (auto& [h, object] : c->objects)
    if (object.storeHandle != 0) object.session->closeHandle(object.storeHandle);
  MQLONG rc = c->session->disconnect();
  for (auto& [name, s] : c->others) {
    MQLONG other = s->disconnect();
    if (rc == 0) rc = other;
  }
  removeConnection(*Hconn);
  *Hconn = MQHC_UNUSABLE_HCONN;
  call.result(rc == MQRC_BACKED_OUT ? rc : 0);
  if (rc == MQRC_BACKED_OUT) call.warn(rc);
}

void MQOPEN(MQHCONN Hconn, PMQVOID ObjDesc, MQLONG Options, PMQHOBJ Hobj, PMQLONG CompCode,
            PMQLONG Reason) {
  Call call("MQOPEN", CompCode, Reason);
  if (call.failed()) return;
  MQLONG reason = 0;
  Connection* c = findConnection(Hconn, &reason);
  if (c == nullptr) return call.fail(reason);
  if (Hobj == nullptr) return call.fail(MQRC_HOBJ_ERROR);
  *Hobj = MQHO_UNUSABLE_HOBJ;
  if (!connectionUsable(call, *c)) return;
  auto* od = static_cast<MQOD*>(ObjDesc);
  if (!validOd(od)) return call.fail(MQRC_OD_ERROR);
  if (MQLONG rc = checkOpenOptions(Options); rc != 0) return call.fail(rc);
  if ((Options & MQOO_FAIL_IF_QUIESCING) && c->session->quiescing())
    return call.fail(MQRC_Q_MGR_QUIESCING);
  ObjectHandle h;
  if (MQLONG rc = openQueue(*c, *od, Options, true, h); rc != 0) return call.fail(rc);
  h.options = Options;
  MQHOBJ hobj = c->nextHobj++;
  c->objects[hobj] = std::move(h);
  *Hobj = hobj;
}

void MQCLOSE(MQHCONN Hconn, PMQHOBJ Hobj, MQLONG Options, PMQLONG CompCode, PMQLONG Reason) {
  Call call("MQCLOSE", CompCode, Reason);
  if (call.failed()) return;
  MQLONG reason = 0;
  Connection* c = findConnection(Hconn, &reason);
  if (c == nullptr) return call.fail(reason);
  if (Hobj == nullptr) return call.fail(MQRC_HOBJ_ERROR);
  auto it = c->objects.find(*Hobj);
  if (it == c->objects.end()) return call.fail(MQRC_HOBJ_ERROR);
  if (Options & ~(MQCO_DELETE | MQCO_DELETE_PURGE)) return call.fail(MQRC_OPTIONS_ERROR);
  if (Options != MQCO_NONE) return call.fail(MQRC_OPTION_NOT_VALID_FOR_TYPE);
  if (it->second.storeHandle != 0) it->second.session->closeHandle(it->second.storeHandle);
  c->objects.erase(it);
  *Hobj = MQHO_UNUSABLE_HOBJ;
}

void MQCMIT(MQHCONN Hconn, PMQLONG CompCode, PMQLONG Reason) {
  Call call("MQCMIT", CompCode, Reason);
  if (call.failed()) return;
  MQLONG reason = 0;
  Connection* c = findConnection(Hconn, &reason);
  if (c == nullptr) return call.fail(reason);
  if (!connectionUsable(call, *c)) return;
  MQLONG rc = c->session->commit();
  for (auto& [name, s] : c->others) {
    if (rc != 0) break;
    rc = s->commit();
  }
  if (rc == 0) return;
  if (rc == MQRC_CONNECTION_BROKEN || rc == MQRC_Q_MGR_STOPPING) return call.fail(rc);
  c->session->backout();
  for (auto& [name, s] : c->others) s->backout();
  call.warn(MQRC_BACKED_OUT);
}

void MQBACK(MQHCONN Hconn, PMQLONG CompCode, PMQLONG Reason) {
  Call call("MQBACK", CompCode, Reason);
  if (call.failed()) return;
  MQLONG reason = 0;
  Connection* c = findConnection(Hconn, &reason);
  if (c == nullptr) return call.fail(reason);
  if (!connectionUsable(call, *c)) return;
  MQLONG rc = c->session->backout();
  for (auto& [name, s] : c->others) {
    MQLONG other = s->backout();
    if (rc == 0) rc = other;
  }
  call.result(rc);
}

}  // extern "C"
