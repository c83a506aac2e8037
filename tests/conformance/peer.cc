// The other process of the conformance suite's multi-process cases.
//
// It reads one command per line from standard input, makes the MQI call the command names and
// answers with one line on standard output: "<CompCode> <Reason>" followed by key=value fields.
// Numbers are decimal; message data travels as hex in both directions. A get that waits first
// writes "waiting t=<ns>" so the test knows the call is about to start; every answer to a get
// carries t=<ns>, the steady clock when the call returned, which the test compares with its own
// clock (both are CLOCK_MONOTONIC, shared by every process of the machine).
//
//   conn QMGR|-                  MQCONN (- = blank name)
//   disc                         MQDISC
//   open QUEUE OPTIONS [QMGR]    MQOPEN                        -> h=<Hobj>
//   close HOBJ                   MQCLOSE
//   put HOBJ OPTIONS HEX [PERSISTENCE]  MQPUT                  -> msgid=<hex>
//   get HOBJ OPTIONS WAITMS BUFLEN      MQGET (ids reset)      -> len= backout= data= t=
//   set HOBJ SELECTOR VALUE      MQSET of one integer attribute
//   cmit | back                  MQCMIT | MQBACK
//   exit                         ends the process without MQDISC
// End of input ends the process the same way.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "mqi/mqi.h"

namespace {

MQHCONN hconn = MQHC_UNUSABLE_HCONN;

long long steadyNanos() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

std::string toHex(const void* data, size_t size) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  const auto* bytes = static_cast<const unsigned char*>(data);
  for (size_t i = 0; i < size; ++i) {
    out += digits[bytes[i] >> 4];
    out += digits[bytes[i] & 15];
  }
  return out;
}

std::string fromHex(const std::string& hex) {
  std::string out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
  }
  return out;
}

void setName(MQCHAR* field, size_t size, const std::string& name) {
  std::memset(field, ' ', size);
  std::memcpy(field, name.data(), std::min(size, name.size()));
}

void answer(MQLONG cc, MQLONG rc, const std::string& fields = "") {
  std::printf("%d %d%s%s\n", static_cast<int>(cc), static_cast<int>(rc), fields.empty() ? "" : " ",
              fields.c_str());
  std::fflush(stdout);
}

MQLONG number(const std::vector<std::string>& words, size_t index) {
  return index < words.size() ? static_cast<MQLONG>(std::stol(words[index])) : 0;
}

void doConnect(const std::vector<std::string>& words) {
  MQCHAR48 name;
  setName(name, sizeof name, words.at(1) == "-" ? "" : words.at(1));
  MQLONG cc = 0, rc = 0;
  MQCONN(name, &hconn, &cc, &rc);
  answer(cc, rc);
}

void doOpen(const std::vector<std::string>& words) {
  MQOD od = {MQOD_DEFAULT};
  setName(od.ObjectName, sizeof od.ObjectName, words.at(1));
  if (words.size() > 3) setName(od.ObjectQMgrName, sizeof od.ObjectQMgrName, words[3]);
  MQHOBJ hobj = MQHO_UNUSABLE_HOBJ;
  MQLONG cc = 0, rc = 0;
  MQOPEN(hconn, &od, number(words, 2), &hobj, &cc, &rc);
  answer(cc, rc, "h=" + std::to_string(hobj));
}

void doPut(const std::vector<std::string>& words) {
  MQMD md = {MQMD_DEFAULT};
  MQPMO pmo = {MQPMO_DEFAULT};
  std::memcpy(md.Format, MQFMT_STRING, sizeof md.Format);
  pmo.Options = number(words, 2);
  if (words.size() > 4) md.Persistence = number(words, 4);
  std::string data = fromHex(words.at(3));
  MQLONG cc = 0, rc = 0;
  MQPUT(hconn, number(words, 1), &md, &pmo, static_cast<MQLONG>(data.size()), data.data(), &cc,
        &rc);
  answer(cc, rc, "msgid=" + toHex(md.MsgId, sizeof md.MsgId));
}

void doGet(const std::vector<std::string>& words) {
  MQMD md = {MQMD_DEFAULT};
  MQGMO gmo = {MQGMO_DEFAULT};
  gmo.Options = number(words, 2);
  gmo.WaitInterval = number(words, 3);
  std::vector<char> buffer(static_cast<size_t>(number(words, 4)) + 1);
  MQLONG length = 0, cc = 0, rc = 0;
  if (gmo.Options & MQGMO_WAIT) {
    std::printf("waiting t=%lld\n", steadyNanos());
    std::fflush(stdout);
  }
  MQGET(hconn, number(words, 1), &md, &gmo, number(words, 4), buffer.data(), &length, &cc, &rc);
  long long returned = steadyNanos();
  size_t shown = cc == MQCC_FAILED ? 0 : std::min<size_t>(length, buffer.size() - 1);
  std::ostringstream fields;
  fields << "len=" << length << " backout=" << md.BackoutCount
         << " data=" << toHex(buffer.data(), shown) << " t=" << returned;
  answer(cc, rc, fields.str());
}

void doSet(const std::vector<std::string>& words) {
  MQLONG selector = number(words, 2);
  MQLONG value = number(words, 3);
  MQLONG cc = 0, rc = 0;
  MQSET(hconn, number(words, 1), 1, &selector, 1, &value, 0, nullptr, &cc, &rc);
  answer(cc, rc);
}

bool runCommand(const std::vector<std::string>& words) {
  const std::string& verb = words.at(0);
  MQLONG cc = 0, rc = 0;
  if (verb == "conn") {
    doConnect(words);
  } else if (verb == "disc") {
    MQDISC(&hconn, &cc, &rc);
    answer(cc, rc);
  } else if (verb == "open") {
    doOpen(words);
  } else if (verb == "close") {
    MQHOBJ hobj = number(words, 1);
    MQCLOSE(hconn, &hobj, MQCO_NONE, &cc, &rc);
    answer(cc, rc);
  } else if (verb == "put") {
    doPut(words);
  } else if (verb == "get") {
    doGet(words);
  } else if (verb == "set") {
    doSet(words);
  } else if (verb == "cmit") {
    MQCMIT(hconn, &cc, &rc);
    answer(cc, rc);
  } else if (verb == "back") {
    MQBACK(hconn, &cc, &rc);
    answer(cc, rc);
  } else if (verb == "exit") {
    return false;
  } else {
    answer(MQCC_FAILED, -1, "error=unknown-command");
  }
  return true;
}

}  // namespace

int main() {
  char line[8192];
  while (std::fgets(line, sizeof line, stdin) != nullptr) {
    std::istringstream in(line);
    std::vector<std::string> words;
    for (std::string word; in >> word;) words.push_back(word);
    if (words.empty()) continue;
    if (!runCommand(words)) break;
  }
  // An ordinary end without MQDISC on purpose: the queue manager must back out what is open.
  return 0;
}
