// The throwaway PostgreSQL server of with_server.sh, seen from a test: the environment it
// leaves behind and pg_ctl on its data folder to stop and start it under live connections.
#ifndef QT_TESTS_POSTGRES_SERVER_CONTROL_H
#define QT_TESTS_POSTGRES_SERVER_CONTROL_H

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

// The value of an environment variable, "" when it is not set.
inline std::string environmentValue(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? "" : value;
}

// Runs pg_ctl `action` ("stop", "start") on the server and waits for it to finish.
inline void serverControl(const std::string& action) {
  std::string command = environmentValue("PG_TEST_AS_SERVER") + " " +
                        environmentValue("PG_TEST_BIN") + "/pg_ctl -D " +
                        environmentValue("PG_TEST_DATA_DIR") + " -w -t 60 -m fast -l " +
                        environmentValue("PG_TEST_SOCKET_DIR") + "/server.log " + action +
                        " >/dev/null";
  ASSERT_EQ(std::system(command.c_str()), 0) << command;
}

#endif  // QT_TESTS_POSTGRES_SERVER_CONTROL_H
