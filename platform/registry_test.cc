#include "platform/registry.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/test_folder.h"

namespace platform {
namespace {

std::string bytes(const ParameterValue& value) {
  return std::string(value.data.begin(), value.data.end());
}

TEST(ParameterText, HoldsEveryKindOfValue) {
  std::vector<ParameterValue> values;
  size_t badLine = 0;
  ASSERT_EQ(parseParameterText("# service qdrop\r\n"
                               "; another comment\n"
                               "\n"
                               "  Application   =  /usr/bin/qdrop  \r\n"
                               "AppParameters =\n"
                               "Path:expand = $HOME/x\n"
                               "AppEnvironment:multi = A=1\n"
                               "Retries:dword = 0x10\n"
                               "appenvironment:MULTI = B = 2\n"
                               "Empty:multi =\n"
                               "Blob:binary = 01 ff 3A\n",
                               &values, &badLine),
            0);
  ASSERT_EQ(values.size(), 7u);
  EXPECT_EQ(values[0].name, "Application");
  EXPECT_EQ(values[0].type, kRegSz);
  EXPECT_EQ(bytes(values[0]), std::string("/usr/bin/qdrop\0", 15));
  EXPECT_EQ(bytes(values[1]), std::string("\0", 1));
  EXPECT_EQ(values[2].type, kRegExpandSz);
  EXPECT_EQ(values[3].type, kRegMultiSz);
  EXPECT_EQ(bytes(values[3]), std::string("A=1\0B = 2\0\0", 11));
  EXPECT_EQ(values[4].type, kRegDword);
  EXPECT_EQ(bytes(values[4]), std::string("\x10\0\0\0", 4));
  EXPECT_EQ(bytes(values[5]), std::string("\0", 1));
  EXPECT_EQ(values[6].type, kRegBinary);
  EXPECT_EQ(bytes(values[6]), "\x01\xff\x3a");
}

TEST(ParameterText, RefusesLinesThatBreakTheRules) {
  const char* bad[] = {"Application /usr/bin/x",  "= value",          "X:word = 1",
                       "X:dword = -1",            "X:dword = 1x",      "X:dword = 0x100000000",
                       "X:binary = 1 2",          "X:binary = zz",     "X = 1\nx = 2",
                       "X = 1\nX:multi = 2",      "X:multi = 1\nX = 2"};
  for (const char* text : bad) {
    std::vector<ParameterValue> values;
    size_t badLine = 0;
    EXPECT_EQ(parseParameterText(std::string("# first\n") + text, &values, &badLine), EINVAL)
        << text;
    EXPECT_GE(badLine, 2u) << text;
    EXPECT_TRUE(values.empty()) << text;
  }
}

class ParameterKeyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(folder_.ok());
    setenv("QT_PARAMETERS_DIR", folder_.path().c_str(), 1);
    folder_.write("svc.parameters",
                  "Application = /bin/app\nEmpty =\nEnv:multi = A=1\nEnv:multi = B=2\n");
    folder_.write("broken.parameters", "Application /bin/app\n");
  }
  void TearDown() override { unsetenv("QT_PARAMETERS_DIR"); }
  TestFolder folder_{"registry"};
};

TEST_F(ParameterKeyTest, OpensOnlyParametersKeysOfExistingServices) {
  ParameterKey key;
  EXPECT_EQ(key.open("SYSTEM\\CurrentControlSet\\Services\\svc\\Parameters\\"), 0);
  EXPECT_EQ(key.open("system\\currentcontrolset\\services\\svc\\parameters"), 0);
  EXPECT_EQ(key.open("SYSTEM\\CurrentControlSet\\Services\\other\\Parameters\\"), ENOENT);
  EXPECT_FALSE(key.isOpen());
  EXPECT_EQ(key.open("SYSTEM\\CurrentControlSet\\Services\\svc\\Other\\"), ENOENT);
  EXPECT_EQ(key.open("SOFTWARE\\svc\\Parameters\\"), ENOENT);
  EXPECT_EQ(key.open("SYSTEM\\CurrentControlSet\\Services\\..\\Parameters\\"), ENOENT);
  EXPECT_EQ(key.open("SYSTEM\\CurrentControlSet\\Services\\a/svc\\Parameters\\"), ENOENT);
  EXPECT_EQ(key.open("SYSTEM\\CurrentControlSet\\Services\\\\Parameters\\"), ENOENT);
  EXPECT_EQ(key.open("SYSTEM\\CurrentControlSet\\Services\\broken\\Parameters\\"), EINVAL);
  uint32_t size = 10;
  uint8_t data[10];
  EXPECT_EQ(key.query("Application", nullptr, data, &size), EBADF);
}

TEST_F(ParameterKeyTest, QueriesAsTheRegistryDoes) {
  ParameterKey key;
  ASSERT_EQ(key.open("SYSTEM\\CurrentControlSet\\Services\\svc\\Parameters\\"), 0);
  uint8_t data[260] = {};
  uint32_t type = 0;
  uint32_t size = sizeof data;
  EXPECT_EQ(key.query("application", &type, data, &size), 0);
  EXPECT_EQ(type, kRegSz);
  EXPECT_EQ(size, 9u);
  EXPECT_STREQ(reinterpret_cast<char*>(data), "/bin/app");

  size = sizeof data;
  EXPECT_EQ(key.query("Empty", &type, data, &size), 0);
  EXPECT_EQ(size, 1u);

  size = 1;
  type = 0;
  EXPECT_EQ(key.query("Env", &type, data, &size), kRegMoreData);
  EXPECT_EQ(type, kRegMultiSz);
  EXPECT_EQ(size, 9u);  // "A=1\0B=2\0\0"
  EXPECT_EQ(key.query("Env", &type, nullptr, &size), 0);
  EXPECT_EQ(size, 9u);

  size = sizeof data;
  type = 99;
  EXPECT_EQ(key.query("Missing", &type, data, &size), ENOENT);
  EXPECT_EQ(type, 99u);
  key.close();
  EXPECT_EQ(key.query("Application", &type, data, &size), EBADF);
}

}  // namespace
}  // namespace platform
