// qmctl serve over plain HTTP: the JSON of the page, the actions and their token, and requests
// that must be refused without stopping the server.
#include <cstring>

#include "tests/qmctl/harness.h"
#include "tests/support/dashboard.h"

namespace qmctl_test {
namespace {

using testsupport::Dashboard;
using testsupport::httpExchange;
using testsupport::httpRequest;

class ServeTest : public QmctlTest {
 protected:
  std::unique_ptr<Dashboard> serve(const std::vector<std::string>& args) {
    const auto console = dir_ / ("serve" + std::to_string(runs_++) + ".log");
    auto dashboard = std::make_unique<Dashboard>(QMCTL_PATH, args, console);
    EXPECT_NE(dashboard->port(), 0) << readAll(console);
    return dashboard;
  }
  nlohmann::json state(const Dashboard& dashboard) {
    const auto reply = httpRequest(dashboard.port(), "GET", "/api/state");
    EXPECT_EQ(reply.status, 200) << reply.body;
    return nlohmann::json::parse(reply.body)["qmgrs"][0];
  }
  // A message put in a unit of work left open on `connection`.
  void putUncommitted(TestConnection& connection, const std::string& queue) {
    MQOD od = {MQOD_DEFAULT};
    std::memcpy(od.ObjectName, queue.data(), queue.size());
    MQMD md = {MQMD_DEFAULT};
    MQPMO pmo = {MQPMO_DEFAULT};
    pmo.Options = MQPMO_SYNCPOINT;
    char data[] = "segment";
    MQLONG cc, rc;
    MQPUT1(connection.handle(), &od, &md, &pmo, sizeof data, data, &cc, &rc);
    ASSERT_EQ(cc, MQCC_OK) << rc;
  }
};

nlohmann::json queueNamed(const nlohmann::json& qm, const std::string& name) {
  for (const auto& q : qm["queues"]) {
    if (q["name"] == name) return q;
  }
  return nullptr;
}

TEST_F(ServeTest, ThePageAndTheJsonFollowTheStore) {
  define("IN");
  define("DEAD");
  ASSERT_EQ(qmctl({"put", kQm, "IN", "--data", "one"}).code, 0);
  ASSERT_EQ(qmctl({"put", kQm, "IN", "--data", "two"}).code, 0);
  TestConnection loader(kQm);
  putUncommitted(loader, "IN");
  auto dashboard = serve({"--dead-queue", "DEAD"});

  const auto page = httpRequest(dashboard->port(), "GET", "/");
  EXPECT_EQ(page.status, 200);
  EXPECT_THAT(page.body, ::testing::HasSubstr("<title>qtransfer dashboard</title>"));

  nlohmann::json qm = state(*dashboard);
  EXPECT_EQ(qm["name"], kQm);
  EXPECT_EQ(qm["state"], "running");
  EXPECT_EQ(queueNamed(qm, "IN")["depth"], 3) << "uncommitted puts count in the depth";
  EXPECT_EQ(queueNamed(qm, "IN")["uncommitted"], 1);
  ASSERT_EQ(qm["in_flight"].size(), 1u);
  EXPECT_EQ(qm["in_flight"][0]["bytes"], 24575) << "one segment of qfeed in flight";

  // /api/queues is `qmctl queues --json` with the uncommitted count added.
  const auto queues = httpRequest(dashboard->port(), "GET", std::string("/api/queues?qm=") + kQm);
  ASSERT_EQ(queues.status, 200);
  nlohmann::json served = nlohmann::json::parse(queues.body);
  for (auto& q : served) q.erase("uncommitted");
  EXPECT_EQ(served, nlohmann::json::parse(qmctl({"queues", kQm, "--json"}).out));

  // A stopped queue manager is a message on the page, not a failed request.
  mqi::stopQueueManager(kQm, false);
  qm = state(*dashboard);
  EXPECT_EQ(qm["state"], "stopped");
  EXPECT_THAT(qm["error"].get<std::string>(), ::testing::HasSubstr("stopped"));
}

TEST_F(ServeTest, ActionsNeedTheFlagAndTheRightToken) {
  define("IN");
  {
    auto readOnly = serve({});
    EXPECT_EQ(readOnly->token(), "");
    const auto refused = httpRequest(readOnly->port(), "POST",
                                     std::string("/api/inhibit?qm=") + kQm + "&queue=IN&op=get");
    EXPECT_EQ(refused.status, 403) << refused.body;
  }
  auto dashboard = serve({"--allow-actions"});
  ASSERT_EQ(dashboard->token().size(), 32u);
  const std::string inhibit = std::string("/api/inhibit?qm=") + kQm + "&queue=IN&op=get";
  EXPECT_EQ(httpRequest(dashboard->port(), "POST", inhibit).status, 401) << "no token";
  std::string wrong = dashboard->token();
  wrong.back() = wrong.back() == '0' ? '1' : '0';
  EXPECT_EQ(httpRequest(dashboard->port(), "POST", inhibit, {"X-Qmctl-Token: " + wrong}).status,
            401);
  EXPECT_EQ(httpRequest(dashboard->port(), "POST", inhibit, {"X-Qmctl-Token: "}).status, 401);
  EXPECT_EQ(mqi::describeQueue(kQm, "IN").value.inhibitGet, MQQA_GET_ALLOWED);

  const std::string token = "X-Qmctl-Token: " + dashboard->token();
  const auto done = httpRequest(dashboard->port(), "POST", inhibit, {token});
  EXPECT_EQ(done.status, 200) << done.body;
  EXPECT_EQ(mqi::describeQueue(kQm, "IN").value.inhibitGet, MQQA_GET_INHIBITED);
  EXPECT_EQ(httpRequest(dashboard->port(), "POST",
                        std::string("/api/allow?qm=") + kQm + "&queue=IN&op=get", {token})
                .status,
            200);
  EXPECT_EQ(mqi::describeQueue(kQm, "IN").value.inhibitGet, MQQA_GET_ALLOWED);
  EXPECT_EQ(httpRequest(dashboard->port(), "GET", inhibit, {token}).status, 404)
      << "an action is never a GET";
}

TEST_F(ServeTest, AHeldGroupMovesBackWholeWithItsIds) {
  define("DEFER");
  define("DROP");
  TestConnection agent(kQm);
  MQMD md = {MQMD_DEFAULT};
  std::memcpy(md.MsgId, "group-1", 7);
  for (const char* data : {"header", "segment 1", "segment 2"}) {
    MQMD each = md;
    each.CorrelId[0] = data[0];
    ASSERT_EQ(agent.put("DEFER", each, data), MQRC_NONE);
  }
  MQMD other = {MQMD_DEFAULT};
  std::memcpy(other.MsgId, "group-2", 7);
  ASSERT_EQ(agent.put("DEFER", other, "another file"), MQRC_NONE);
  auto dashboard =
      serve({"--allow-actions", "--deferred-queue", "DEFER", "--delivery-queue", "DROP"});
  const std::string token = "X-Qmctl-Token: " + dashboard->token();
  char hex[49] = {};
  for (int i = 0; i < 24; ++i) std::snprintf(hex + 2 * i, 3, "%02x", md.MsgId[i]);
  const std::string move = std::string("/api/move?qm=") + kQm + "&queue=DEFER&msgid=" + hex;

  const auto moved = httpRequest(dashboard->port(), "POST", move, {token});
  ASSERT_EQ(moved.status, 200) << moved.body;
  EXPECT_EQ(nlohmann::json::parse(moved.body)["messages"], 3);
  EXPECT_EQ(depth("DEFER"), 1) << "another group went with it";
  EXPECT_EQ(depth("DROP"), 3);
  MQMD got = {MQMD_DEFAULT};
  std::memcpy(got.MsgId, md.MsgId, sizeof got.MsgId);
  got.CorrelId[0] = 's';
  std::string data;
  ASSERT_EQ(agent.get("DROP", got, data), MQRC_NONE) << "MsgId and CorrelId kept";
  EXPECT_EQ(httpRequest(dashboard->port(), "POST", move, {token}).status, 409) << "nothing left";
  EXPECT_EQ(httpRequest(dashboard->port(), "POST",
                        std::string("/api/move?qm=") + kQm + "&queue=DROP&msgid=" + hex, {token})
                .status,
            400)
      << "only a held group moves";
}

TEST_F(ServeTest, BadRequestsGetA4xxAndTheServerKeepsServing) {
  auto dashboard = serve({"--allow-actions"});
  const int port = dashboard->port();
  const std::string token = "X-Qmctl-Token: " + dashboard->token();
  EXPECT_EQ(httpRequest(port, "GET", "/etc/passwd").status, 404);
  EXPECT_EQ(httpRequest(port, "GET", "/../../etc/passwd").status, 404);
  EXPECT_EQ(httpRequest(port, "GET", "/api/queues").status, 400) << "no queue manager named";
  EXPECT_EQ(httpRequest(port, "GET", "/api/queues?qm=A&qm=B").status, 400);
  EXPECT_EQ(httpRequest(port, "GET", "/api/queues?qm=no%20such").status, 400);
  EXPECT_EQ(httpRequest(port, "GET", "/api/queues?qm=%00").status, 400);
  EXPECT_EQ(httpRequest(port, "GET", "/api/queues?qm=%zz%&&==&").status, 404) << "no such one";
  const std::string longName(1000, 'Q');
  const auto tooLong = httpRequest(
      port, "POST", std::string("/api/inhibit?qm=") + kQm + "&queue=" + longName + "&op=get",
      {token});
  EXPECT_EQ(tooLong.status, 400);
  EXPECT_THAT(tooLong.body, ::testing::Not(::testing::HasSubstr(longName))) << "not echoed";
  EXPECT_EQ(httpRequest(port, "POST",
                        std::string("/api/inhibit?qm=") + kQm + "&queue=IN&op=everything", {token})
                .status,
            400);
  EXPECT_EQ(
      httpRequest(port, "POST", std::string("/api/move?qm=") + kQm + "&queue=IN&msgid=xyz", {token})
          .status,
      400);
  const int huge = httpRequest(port, "GET", "/api/state?x=" + std::string(100000, 'a')).status;
  EXPECT_GE(huge, 400);
  EXPECT_LT(huge, 500);
  EXPECT_GE(httpExchange(port, "NONSENSE\r\n\r\n").status, 400);
  EXPECT_EQ(httpExchange(port,
                         "POST /api/allow HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 1000000\r\n"
                         "Connection: close\r\n\r\n" +
                             std::string(100000, 'x'))
                .status,
            413);
  EXPECT_EQ(httpExchange(port, "GET /api/state HTTP/1.1\r\nHost: rebound.example:80\r\n"
                               "Connection: close\r\n\r\n")
                .status,
            403)
      << "a host name that is not loopback";
  EXPECT_EQ(httpRequest(port, "GET", "/api/state").status, 200) << "still serving";
  EXPECT_TRUE(dashboard->program().running());
}

}  // namespace
}  // namespace qmctl_test
