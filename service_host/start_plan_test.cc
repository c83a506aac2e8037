#include "service_host/start_plan.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "platform/registry.h"
#include "service_host/debug_out.h"

namespace {

std::string captured;
void capture(const char* text) { captured += text; }

// Registry values from the text of a parameters file, read as the registry reads them.
class FakeRegistry : public ParameterReader {
 public:
  explicit FakeRegistry(const std::string& text, long openResult = 0) : openResult_(openResult) {
    size_t badLine = 0;
    EXPECT_EQ(platform::parseParameterText(text, &values_, &badLine), 0) << badLine;
  }
  long OpenKey(const char* keyName) override {
    openedKey = keyName;
    return openResult_;
  }
  long QueryValue(const char* name, uint32_t* type, uint8_t* data, uint32_t* size) override {
    reads.push_back(name);
    for (const platform::ParameterValue& value : values_) {
      if (value.name != name) continue;
      *type = value.type;
      uint32_t needed = static_cast<uint32_t>(value.data.size());
      if (*size < needed) {
        *size = needed;
        return platform::kRegMoreData;
      }
      std::memcpy(data, value.data.data(), needed);
      *size = needed;
      return 0;
    }
    return 2;
  }
  void CloseKey() override { ++closes; }

  std::string openedKey;
  std::vector<std::string> reads;
  int closes = 0;

 private:
  long openResult_;
  std::vector<platform::ParameterValue> values_;
};

class FakeActions : public StartActions {
 public:
  bool IsOs2App(const char* path) override {
    log.push_back(std::string("test ") + path);
    return os2Paths.count(path) > 0;
  }
  void SetCurrentDirectory(const char* path) override { log.push_back(std::string("cd ") + path); }

  std::set<std::string> os2Paths{"/opt/os2prog"};
  std::vector<std::string> log;
};

struct Outcome {
  PlanResult result;
  StartPlan plan;
  std::vector<std::string> actions;
  std::string messages;
};

Outcome plan(std::vector<std::string> args, FakeRegistry& registry) {
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  FakeActions actions;
  Outcome outcome;
  captured.clear();
  SetDebugOutSink(capture);
  outcome.result = PlanServiceStart(static_cast<int>(argv.size()), argv.data(), registry,
                                    actions, &outcome.plan);
  SetDebugOutSink(nullptr);
  outcome.actions = actions.log;
  outcome.messages = captured;
  return outcome;
}

const char kApp[] = "Application = /opt/app\n";

TEST(StartParameters, ChooseShellDirectoryAndCommandLine) {
  struct Case {
    std::vector<std::string> args;
    bool shell;
    std::vector<std::string> actions;
    const char* commandLine;
  };
  const std::vector<Case> cases = {
      {{"svc", "/P", "/D", "/w", "app.exe", "-x"}, true, {"cd /w", "test app.exe"}, "app.exe -x"},
      {{"svc", "/D", "/w", "/P", "app.exe", "-x"}, true, {"cd /w", "test app.exe"}, "app.exe -x"},
      {{"svc", "/p", "/d", "/w", "app.exe"}, true, {"cd /w", "test app.exe"}, "app.exe"},
      {{"svc", "app.exe", "/P"}, false, {"test app.exe"}, "app.exe /P"},
      {{"svc", "app.exe", "/D", "/w"}, false, {"test app.exe"}, "app.exe /D /w"},
      {{"svc", "/D"}, false, {"test /D"}, "/D"},  // /D without a directory is the program
      {{"svc", "/P", "/P", "x"}, true, {"test /P"}, "/P x"},
      {{"svc", "/opt/os2prog", "a"}, false, {"test /opt/os2prog"},
       "OS2.EXE /S /P /opt/os2prog /C /opt/os2prog a"},
  };
  for (const Case& c : cases) {
    FakeRegistry registry(kApp);
    Outcome out = plan(c.args, registry);
    std::string what = c.args[1];
    EXPECT_EQ(out.result, PlanResult::kStart) << what;
    EXPECT_EQ(out.plan.startShell, c.shell) << what;
    EXPECT_EQ(out.actions, c.actions) << what;
    EXPECT_STREQ(out.plan.commandLine, c.commandLine) << what;
    EXPECT_TRUE(registry.reads.empty()) << what << ": the registry is not read";
    EXPECT_FALSE(out.plan.haveEnvironment);
  }
}

TEST(StartParameters, WithoutAnApplicationReadTheRegistry) {
  FakeRegistry registry("Application = /opt/app\nAppDirectory = /r\n");
  Outcome out = plan({"svc", "/D", "/w"}, registry);
  EXPECT_EQ(registry.openedKey, "SYSTEM\\CurrentControlSet\\Services\\svc\\Parameters\\");
  EXPECT_EQ(out.actions, (std::vector<std::string>{"cd /w", "test /opt/app", "cd /r"}));
  EXPECT_STREQ(out.plan.commandLine, "/opt/app");
  EXPECT_EQ(registry.closes, 1);

  FakeRegistry shell(kApp);
  EXPECT_TRUE(plan({"svc", "/P"}, shell).plan.startShell);
}

TEST(StartParameters, RefuseACommandLineOver2047Characters) {
  std::vector<std::string> args = {"svc", "app"};
  for (int i = 0; i < 25; ++i) args.push_back(std::string(100, 'a' + i));
  FakeRegistry registry(kApp);
  Outcome out = plan(args, registry);
  EXPECT_TRUE(out.plan.commandLineTooLong);
  EXPECT_LT(std::strlen(out.plan.commandLine), kCommandLineSize);

  args.resize(2 + 19);  // "app" + 19 * 101 = 1922 characters
  FakeRegistry fits(kApp);
  EXPECT_FALSE(plan(args, fits).plan.commandLineTooLong);
}

struct RegistryCase {
  const char* what;
  std::string text;
  PlanResult result;
  const char* commandLine;
  std::vector<std::string> actions;
  bool shell;
  bool application;
  std::string messages;
};

TEST(RegistryValues, FallBacksAsConfigured) {
  const std::string long259(259, 'p');
  const std::vector<RegistryCase> cases = {
      {"application only", kApp, PlanResult::kStart, "/opt/app", {"test /opt/app"}, false, true, ""},
      {"OS/2 application", "Application = /opt/os2prog\n", PlanResult::kStart,
       "OS2.EXE /S /P /opt/os2prog /C /opt/os2prog", {"test /opt/os2prog"}, false, true, ""},
      {"empty application falls back to Os2App, untested",
       "Application =\nOs2App = /opt/o\n", PlanResult::kStart,
       "OS2.EXE /S /P /opt/o /C /opt/o", {}, false, true, ""},
      {"application of another type", "Application:expand = /opt/app\nOs2App = /opt/o\n",
       PlanResult::kStart, "OS2.EXE /S /P /opt/o /C /opt/o", {}, false, true, ""},
      {"an application of 259 characters counts", "Application = /" + long259.substr(1) + "\n",
       PlanResult::kStart, nullptr, {"test /" + long259.substr(1)}, false, true, ""},
      {"an application of 260 characters does not", "Application = /" + long259 + "\n",
       PlanResult::kStop, "", {}, false, false, " [APPHOST] RegQueryValEx() failed rc = 2\n"},
      {"no application", "AppParameters = x\n", PlanResult::kStop, "", {}, false, false,
       " [APPHOST] RegQueryValEx() failed rc = 2\n"},
      {"empty Os2App gives the result of its read", "Os2App =\n", PlanResult::kStop, "", {},
       false, false, " [APPHOST] RegQueryValEx() failed rc = 0\n"},
      {"no application, shell on", "StartPMShell = YES\n", PlanResult::kStart, "", {}, true,
       false, " [APPHOST] RegQueryValEx() failed rc = 2\n"},
      {"shell 'on'", std::string("StartPMShell = On\n") + kApp, PlanResult::kStart, "/opt/app",
       {"test /opt/app"}, true, true, ""},
      {"shell '1'", std::string("StartPMShell = 1\n") + kApp, PlanResult::kStart, "/opt/app",
       {"test /opt/app"}, true, true, ""},
      {"shell 'true' is not on", std::string("StartPMShell = true\n") + kApp, PlanResult::kStart,
       "/opt/app", {"test /opt/app"}, false, true, ""},
      {"parameters", std::string(kApp) + "AppParameters = a \"b c\"\n", PlanResult::kStart,
       "/opt/app a \"b c\"", {"test /opt/app"}, false, true, ""},
      {"empty parameters do not fall back",
       std::string(kApp) + "AppParameters =\nOs2AppParameters = x\n", PlanResult::kStart,
       "/opt/app", {"test /opt/app"}, false, true, ""},
      {"parameters of another type do not fall back",
       std::string(kApp) + "AppParameters:dword = 1\nOs2AppParameters = x\n", PlanResult::kStart,
       "/opt/app", {"test /opt/app"}, false, true, ""},
      {"missing parameters fall back", std::string(kApp) + "Os2AppParameters = x\n",
       PlanResult::kStart, "/opt/app x", {"test /opt/app"}, false, true, ""},
      {"parameters too long to read fall back",
       std::string(kApp) + "AppParameters = p" + long259 + "\nOs2AppParameters = x\n",
       PlanResult::kStart, "/opt/app x", {"test /opt/app"}, false, true, ""},
      {"directory", std::string(kApp) + "AppDirectory = /d1\nOs2AppDirectory = /d2\n",
       PlanResult::kStart, "/opt/app", {"test /opt/app", "cd /d1"}, false, true, ""},
      {"empty directory falls back",
       std::string(kApp) + "AppDirectory =\nOs2AppDirectory = /d2\n", PlanResult::kStart,
       "/opt/app", {"test /opt/app", "cd /d2"}, false, true, ""},
      {"directory of another type falls back",
       std::string(kApp) + "AppDirectory:binary = 2f\nOs2AppDirectory = /d2\n",
       PlanResult::kStart, "/opt/app", {"test /opt/app", "cd /d2"}, false, true, ""},
  };
  for (const RegistryCase& c : cases) {
    FakeRegistry registry(c.text);
    Outcome out = plan({"svc"}, registry);
    EXPECT_EQ(out.result, c.result) << c.what;
    if (c.commandLine != nullptr) {
      EXPECT_STREQ(out.plan.commandLine, c.commandLine) << c.what;
    }
    EXPECT_EQ(out.actions, c.actions) << c.what;
    EXPECT_EQ(out.plan.startShell, c.shell) << c.what;
    EXPECT_EQ(out.plan.haveApplication, c.application) << c.what;
    EXPECT_EQ(out.messages, c.messages) << c.what;
    EXPECT_EQ(registry.closes, 1) << c.what;
  }
}

TEST(RegistryValues, Os2AppParametersAreReadOnlyWhenAppParametersFail) {
  FakeRegistry present(std::string(kApp) + "AppParameters =\n");
  plan({"svc"}, present);
  EXPECT_EQ(std::count(present.reads.begin(), present.reads.end(), "Os2AppParameters"), 0);
  FakeRegistry absent(kApp);
  plan({"svc"}, absent);
  EXPECT_EQ(std::count(absent.reads.begin(), absent.reads.end(), "Os2AppParameters"), 1);
}

TEST(RegistryValues, EnvironmentBlockOnlyFromAMultiString) {
  struct Case {
    const char* what;
    std::string text;
    bool have;
    std::string block;
  };
  const std::vector<Case> cases = {
      {"two entries", "AppEnvironment:multi = A=1\nAppEnvironment:multi = B=two\n", true,
       std::string("A=1\0B=two\0\0\0\0", 13)},
      {"one short entry", "AppEnvironment:multi = A\n", true, std::string("A\0\0\0\0", 5)},
      {"no entry", "AppEnvironment:multi =\n", true, std::string("\0\0\0", 3)},
      {"a plain string is ignored", "AppEnvironment = A=1\n", false, ""},
      {"absent", "", false, ""},
  };
  for (const Case& c : cases) {
    FakeRegistry registry(kApp + c.text);
    Outcome out = plan({"svc"}, registry);
    EXPECT_EQ(out.plan.haveEnvironment, c.have) << c.what;
    EXPECT_EQ(std::string(out.plan.environment.begin(), out.plan.environment.end()), c.block)
        << c.what;
  }
}

TEST(RegistryValues, AKeyThatCannotBeOpenedStopsWithItsCode) {
  FakeRegistry registry(kApp, 2);
  Outcome out = plan({"svc"}, registry);
  EXPECT_EQ(out.result, PlanResult::kStop);
  EXPECT_EQ(out.messages, " [APPHOST] RegOpenKeyEx() failed rc = 2\n");
  EXPECT_TRUE(registry.reads.empty());
}

TEST(DebugOut, FormatsTheOneValueAndIsSilentByDefault) {
  EXPECT_EQ(FormatDebugMessage(" [APPHOST] Unrecognized opcode %ld\n", 5),
            " [APPHOST] Unrecognized opcode 5\n");
  EXPECT_EQ(FormatDebugMessage("Opcode=%x\n", 0xC8), "Opcode=c8\n");
  EXPECT_EQ(FormatDebugMessage("rc = %d", 0xFFFFFFFFu), "rc = -1");
  EXPECT_EQ(FormatDebugMessage("100%% %q %", 1), "100% %q %");
  captured.clear();
  SvcDebugOut("nowhere %d\n", 1);
  EXPECT_EQ(captured, "");
  EXPECT_FALSE(DebugSwitchOn(nullptr));
  EXPECT_FALSE(DebugSwitchOn(""));
  EXPECT_FALSE(DebugSwitchOn("0"));
  EXPECT_TRUE(DebugSwitchOn("1"));
}

}  // namespace
