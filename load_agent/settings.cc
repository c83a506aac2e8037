// Start-up settings of the load agent, read once from the "qfeed.ini" file.
#include <cstdio>
#include <cstring>
#include <iostream>

#include "common/log.h"
#include "common/records.h"
#include "load_agent/load_agent.h"

namespace {

int32_t readNumber(const char* section, const char* key, const char* defaultValue,
                   const char* path) {
  char text[kNumberSize];
  platform::getProfileString(section, key, defaultValue, text, sizeof text, path);
  return readSettingsNumber(text);
}

}  // namespace

void readLoadSettings(const char* path, LoadSettingsT& settings) {
  char flag[kNumberSize];
  platform::getProfileString("MQSeries Objects", "QMgrName", "", settings.QMgrName,
                             sizeof settings.QMgrName, path);
  platform::getProfileString("Source Definition", "LogPath", "", settings.LogPath,
                             sizeof settings.LogPath, path);
  platform::getProfileString("MQSeries Objects", "SrcQueue", "", settings.SrcQueue,
                             sizeof settings.SrcQueue, path);
  settings.FolderWaitTime = readNumber("Options", "FolderWaitTime", "60000", path);
  settings.MQWaitTime = readNumber("Options", "MQWaitTime", "60000", path);
  platform::getProfileString("MQSeries Objects", "InputExclusiveON", "Y", flag, sizeof flag, path);
  settings.InputExclusiveON = flag[0] == 'Y';
  platform::getProfileString("Source Definition", "RejectPath", "", settings.RejectPath,
                             sizeof settings.RejectPath, path);
  platform::getProfileString("Source Definition", "SourceRoots", "", settings.SourceRoots,
                             sizeof settings.SourceRoots, path);
  platform::getProfileString("MQSeries Objects", "LoadedQueue", "", settings.LoadedQueue,
                             sizeof settings.LoadedQueue, path);
}

void ReadSettings(const char* fileName) {
  char path[4096];
  if (!settingsFilePath(fileName, path, sizeof path)) path[0] = '\0';  // reads as missing
  LoadSettingsT& settings = LoadAgent.LoadSettings;
  if (!reportUnreadableSettings(path)) path[0] = '\0';  // a FIFO, say, is never opened
  readLoadSettings(path, settings);
  std::cout << logTimestamp() << " Startup parameters:\n";
  std::cout << logTimestamp() << "     QmgrName          = " << settings.QMgrName << "\n";
  std::cout << logTimestamp() << "     SrcQueue          = " << settings.SrcQueue << "\n";
  std::cout << logTimestamp() << "     FolderWaitTime    = " << settings.FolderWaitTime << "\n";
  std::cout << logTimestamp() << "     MQWaitTime        = " << settings.MQWaitTime << "\n";
}
