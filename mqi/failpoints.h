// Failpoints: QM_FAILPOINTS makes chosen MQI calls fail without doing anything else.
//
// The value is a comma-separated list of CALL[@N|@N+]=CC:RC entries. CALL is one of MQCONN
// MQDISC MQOPEN MQCLOSE MQGET MQPUT MQPUT1 MQINQ MQSET MQCMIT MQBACK; @N fails only the Nth
// call of that name in the process (counting from 1), @N+ the Nth and every later one, no @
// every call. Example: QM_FAILPOINTS="MQGET@2=2:2009,MQCMIT=2:2003". It is read once, at the
// first MQCONN of the process; reloadFailpoints() reads it again (for tests) and restarts
// the counts. Entries that cannot be parsed are ignored with a line on standard error.
#ifndef QT_MQI_FAILPOINTS_H
#define QT_MQI_FAILPOINTS_H

#include <cstdint>
#include <string>
#include <vector>

namespace mqi {

struct Failpoint {
  std::string call;
  int64_t from = 0;  // 0 = every call
  bool andLater = false;
  int32_t compCode = 0;
  int32_t reason = 0;
};

// Parses a QM_FAILPOINTS value; bad entries are reported in `errors` and skipped.
std::vector<Failpoint> parseFailpoints(const std::string& text, std::vector<std::string>* errors);

void reloadFailpoints();
// Counts one call of `call`; true (with CC and RC set) when it must fail.
bool failpointHit(const char* call, int32_t* compCode, int32_t* reason);
// Reads QM_FAILPOINTS unless already read (called at every MQCONN).
void loadFailpointsOnce();

}  // namespace mqi

#endif  // QT_MQI_FAILPOINTS_H
