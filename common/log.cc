// The agents' running log: timestamp caches, the MQ call report, system error texts.
#include "common/log.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <iostream>
#include <ostream>

#include "platform/platform.h"

namespace {

// One formatted local time per format, redone only when the second changes.
struct TimestampCache {
  const char* format;
  time_t second = -1;
  char text[25] = {};
};

const char* cachedTimestamp(TimestampCache& cache) {
  time_t now = time(nullptr);
  if (now != cache.second) {
    cache.second = now;
    tm local{};
    localtime_r(&now, &local);
    if (strftime(cache.text, sizeof cache.text, cache.format, &local) == 0) cache.text[0] = '\0';
  }
  return cache.text;
}

TimestampCache logCache{"%Y/%m/%d %H:%M:%S"};
TimestampCache reportCache{"%d%m%Y %H:%M:%S"};
TimestampCache fileNameCache{"%d%m%Y.log"};

char directoryCache[260] = {};

}  // namespace

const char* logTimestamp() {
  return cachedTimestamp(logCache);
}

const char* reportTimestamp() {
  return cachedTimestamp(reportCache);
}

const char* logFileName() {
  return cachedTimestamp(fileNameCache);
}

const char* currentDirectory() {
  if (directoryCache[0] == '\0' &&
      !platform::getCurrentDirectory(directoryCache, sizeof directoryCache)) {
    directoryCache[0] = '\0';  // ask again next time
    std::cerr << SystemErrorText;
    std::cout << SystemErrorText;
  }
  return directoryCache;
}

bool settingsFilePath(const char* name, char* out, size_t size) {
  int written;
  if (platform::isAbsolutePath(name)) {
    written = std::snprintf(out, size, "%s", name);
  } else {
    written =
        std::snprintf(out, size, "%s%c%s", currentDirectory(), platform::pathSeparator(), name);
  }
  return written >= 0 && static_cast<size_t>(written) < size;
}

std::ostream& operator<<(std::ostream& out, SystemErrorTextT) {
  return out << logTimestamp() << ' ' << platform::errorText(platform::lastError());
}

MQLONG reportMqCall(const char* callName, MQLONG compCode, MQLONG reason) {
  if (compCode != MQCC_FAILED) return compCode;
  for (std::ostream* out : {&std::cerr, &std::cout}) {
    *out << logTimestamp() << " MQI Call Failed.\n"
         << logTimestamp() << ' ' << (callName != nullptr ? callName : "") << '\n'
         << logTimestamp() << " CompCode = " << compCode << " Reason = " << reason << std::endl;
  }
  return compCode;
}

void initLogStreams() {
  std::cerr.setf(std::ios::unitbuf);
  std::cerr.tie(&std::cout);
}

void EndProcess() {
  std::cout.flush();
  std::cerr.flush();
  std::exit(0);
}
