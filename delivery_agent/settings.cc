// Start-up settings of the delivery agent ("qdrop.ini"), read once and never re-read.
#include <cstdio>
#include <cstring>
#include <iostream>

#include "common/log.h"
#include "delivery_agent/delivery.h"
#include "platform/platform.h"

namespace {

constexpr const char* kObjectsSection = "MQSeries Objects";
constexpr const char* kOptionsSection = "Options";
constexpr size_t kNumberTextSize = 20;  // values of at most 19 characters

MQLONG readNumber(const char* section, const char* key, const char* defaultValue,
                  const char* fileName) {
  char text[kNumberTextSize];
  platform::getProfileString(section, key, defaultValue, text, sizeof text, fileName);
  return SettingsNumber(text);
}

}  // namespace

MQLONG SettingsNumber(const char* text) {
  constexpr long long kLargest = 2147483647;
  long long value = 0;
  for (const char* c = text; *c >= '0' && *c <= '9'; ++c) {
    value = value * 10 + (*c - '0');
    if (value > kLargest) return static_cast<MQLONG>(kLargest);
  }
  return static_cast<MQLONG>(value);
}

void SettingsFilePath(const char* argument, char* out, size_t size) {
  settingsFilePath(argument != nullptr ? argument : "qdrop.ini", out, size);
}

void ReadDeliverySettings(const char* path) {
  DeliverySettings& settings = DeliveryAgent.Settings;
  // What cannot be read (a FIFO, say) is never opened: it reads as missing.
  const char* fileName = reportUnreadableSettings(path) ? path : "";
  platform::getProfileString(kObjectsSection, "QMgrName", "", settings.QMgrName,
                             sizeof settings.QMgrName, fileName);
  platform::getProfileString(kObjectsSection, "QName", "", settings.QName,
                             sizeof settings.QName, fileName);
  settings.WaitMQInterval = readNumber(kObjectsSection, "WaitMQInterval", "120000", fileName);
  char flag[kNumberTextSize];
  platform::getProfileString(kObjectsSection, "InputExclusiveON", "Y", flag, sizeof flag,
                             fileName);
  settings.InputExclusiveON = flag[0] == 'Y';
  settings.DelayInterval = readNumber(kOptionsSection, "DelayInterval", "60000", fileName);
  settings.DeferInterval = readNumber(kOptionsSection, "DeferInterval", "12000", fileName);
  platform::getProfileString(kOptionsSection, "TargetRoots", "", settings.TargetRoots,
                             sizeof settings.TargetRoots, fileName);

  std::cout << logTimestamp() << " Startup parameters:\n";
  std::cout << logTimestamp() << "     QmgrName          = " << settings.QMgrName << "\n";
  std::cout << logTimestamp() << "     QName             = " << settings.QName << "\n";
  std::cout << logTimestamp() << "     WaitMQInterval    = " << settings.WaitMQInterval << "\n";
  std::cout << logTimestamp() << "     InputExclusiveON  = "
            << (settings.InputExclusiveON ? "Y\n" : "N\n");
  std::cout << logTimestamp() << "     DelayInterval     = " << settings.DelayInterval << "\n";
}
