// Status and Result: context reads outermost first, and a failure passes through any result.
#include "platform/status.h"

#include <gtest/gtest.h>

#include <memory>

namespace qt {
namespace {

struct Base {
  virtual ~Base() = default;
};
struct Derived : Base {};

Result<int> parse(bool good) {
  if (!good) return Status::Error("no digits", 2085).withContext("Q1");
  return 42;
}

Result<std::shared_ptr<Base>> make(bool good) {
  Result<int> n = parse(good);
  if (!n.ok()) return n.status.withContext("QM1");
  return std::make_shared<Derived>();
}

TEST(Status, ContextAndResultsCarryFailuresAndValues) {
  EXPECT_TRUE(Status::Ok().withContext("QM1").ok());
  EXPECT_EQ(Status::Ok().withContext("QM1").message(), "");

  Result<std::shared_ptr<Base>> failed = make(false);
  EXPECT_FALSE(failed.ok());
  EXPECT_EQ(failed.status.message(), "QM1: Q1: no digits");
  EXPECT_EQ(failed.status.reason(), 2085);
  EXPECT_EQ(failed.value, nullptr);

  Result<std::shared_ptr<Base>> made = make(true);
  ASSERT_TRUE(made.ok());
  EXPECT_NE(dynamic_cast<Derived*>(made.value.get()), nullptr);
  EXPECT_EQ(parse(true).value, 42);
  EXPECT_EQ(made.status.reason(), 0);
}

}  // namespace
}  // namespace qt
