// The owner options on the command line and the owner check.
#include <gtest/gtest.h>
#include <unistd.h>

#include "runtime/startup.h"
#include "session/identity.h"

namespace qcu {
namespace {

OwnerOptions parse(std::vector<std::string> arguments) {
  return parseOwnerOptions(arguments);
}

TEST(OwnerOptions, ScanRules) {
  auto both = parse({"--owner-pid", "12", "--owner-start-time-100ns", "345"});
  EXPECT_EQ(both.pid, 12);
  EXPECT_EQ(both.start, 345u);
  // The last value wins; unknown arguments are skipped on their own.
  auto twice = parse({"x", "--owner-pid", "1", "-v", "--owner-pid", "2", "y"});
  EXPECT_EQ(twice.pid, 2);
  // An option takes the next argument whatever it looks like.
  auto swallowed = parse({"--owner-pid", "--owner-start-time-100ns", "5"});
  EXPECT_EQ(swallowed.pid, 0);
  EXPECT_EQ(swallowed.start, 0u);
  // An option at the end has no value and keeps the setting.
  auto last = parse({"--owner-pid", "9", "--owner-pid"});
  EXPECT_EQ(last.pid, 9);
  EXPECT_EQ(parse({"--owner-pid"}).pid, 0);
  EXPECT_EQ(parse({"--OWNER-PID", "4"}).pid, 0);
}

TEST(OwnerOptions, DecimalParses) {
  EXPECT_EQ(parseInt32OrZero("+42"), 42);
  EXPECT_EQ(parseInt32OrZero("-42"), -42);
  EXPECT_EQ(parseInt32OrZero("42a"), 0);
  EXPECT_EQ(parseInt32OrZero(""), 0);
  EXPECT_EQ(parseInt32OrZero(" 42"), 0);
  EXPECT_EQ(parseInt32OrZero("2147483647"), 2147483647);
  EXPECT_EQ(parseInt32OrZero("2147483648"), 0);
  EXPECT_EQ(parseInt32OrZero("-2147483648"), -2147483647 - 1);
  EXPECT_EQ(parseUInt64OrZero("18446744073709551615"), 18446744073709551615ull);
  EXPECT_EQ(parseUInt64OrZero("18446744073709551616"), 0u);
  EXPECT_EQ(parseUInt64OrZero("-0"), 0u);
  EXPECT_EQ(parseUInt64OrZero("-1"), 0u);
  EXPECT_EQ(parseUInt64OrZero("+7"), 7u);
}

TEST(OwnerCheck, NeedsALiveOtherProcessStartedWithinTwoSeconds) {
  // The parent of the test process stands in for an owner: alive, and not this process.
  std::int32_t parent = getppid();
  auto start = processStart100ns(parent);
  ASSERT_TRUE(start.has_value());
  EXPECT_TRUE(ownerAcceptable({parent, *start}));
  EXPECT_TRUE(ownerAcceptable({parent, *start + 15'000'000}));
  EXPECT_TRUE(ownerAcceptable({parent, *start - 20'000'000}));
  EXPECT_FALSE(ownerAcceptable({parent, *start + 25'000'000}));
  EXPECT_FALSE(ownerAcceptable({parent, *start - 20'000'001}));
  EXPECT_FALSE(ownerAcceptable({parent, 0}));
  EXPECT_FALSE(ownerAcceptable({parent, 18446744073709551615ull}));
  auto own = processStart100ns(getpid());
  EXPECT_FALSE(ownerAcceptable({getpid(), *own}));
  EXPECT_FALSE(ownerAcceptable({0, *start}));
  EXPECT_FALSE(ownerAcceptable({-parent, *start}));
}

}  // namespace
}  // namespace qcu
