// Exact identities on the wire, process start times, and the permission switch.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>

#include "foundation/errors.h"
#include "session/identity.h"
#include "support/harness.h"

namespace qcu {
namespace {

using Json = nlohmann::json;

Json identity(Json pid, Json start, Json hwnd) {
  return {{"pid", pid}, {"processStartTime100ns", start}, {"hwnd", hwnd}};
}

void expectBad(const Json& object) {
  SCOPED_TRACE(object.dump());
  test::expectSafeError([&] { parseIdentity(object); }, "bad_identity",
                        "exact PID/start/window identity required");
}

TEST(Identity, AcceptsTheExactWireForm) {
  Ident ident = parseIdentity(identity(42, "17000000000000000", "123"));
  EXPECT_EQ(ident, (Ident{42, "17000000000000000", 123}));
  EXPECT_EQ(ident.object(), identity(42, "17000000000000000", "123"));
  EXPECT_EQ(parseIdentity(identity(2147483647, "1", "4294967295")).win, 4294967295u);
  EXPECT_EQ(parseIdentity(identity(7.0, "1", "+5")).win, 5u);
  EXPECT_EQ(parseIdentity(identity(7, std::string(40, '9'), "1")).start, std::string(40, '9'));
  // Other keys are ignored; leading zeros stay as given and compare as text.
  Json extra = identity(7, "0123", "9");
  extra["other"] = true;
  Ident padded = parseIdentity(extra);
  EXPECT_NE(padded, (Ident{7, "123", 9}));
}

TEST(Identity, RefusesEveryMalformedPart) {
  expectBad(identity(0, "1", "1"));
  expectBad(identity("42", "1", "1"));
  expectBad(identity(2147483648LL, "1", "1"));
  expectBad(identity(-1, "1", "1"));
  expectBad(identity(1.5, "1", "1"));
  expectBad(identity(1e300, "1", "1"));
  expectBad(identity(true, "1", "1"));
  expectBad(identity(1, 17000000000000000LL, "1"));
  expectBad(identity(1, std::string(41, '1'), "1"));
  expectBad(identity(1, "170 00", "1"));
  expectBad(identity(1, "", "1"));
  expectBad(identity(1, "\xD9\xA1", "1"));  // an Arabic-Indic digit is not 0-9
  expectBad(identity(1, "1", "0"));
  expectBad(identity(1, "1", "-0"));
  expectBad(identity(1, "1", "-5"));
  expectBad(identity(1, "1", "4294967296"));
  expectBad(identity(1, "1", 5));
  expectBad(identity(1, "1", ""));
  expectBad(identity(1, "1", "12a"));
  expectBad(identity(1, "1", std::string(41, '1')));
  expectBad(Json{{"pid", 1}, {"processStartTime100ns", "1"}});
  expectBad(Json::array());
}

TEST(Identity, DecimalParseOfUnsigned32) {
  EXPECT_EQ(parseUInt32("+7"), 7u);
  EXPECT_EQ(parseUInt32("-0"), 0u);
  EXPECT_EQ(parseUInt32("0004294967295"), 4294967295u);
  EXPECT_EQ(parseUInt32("+"), std::nullopt);
  EXPECT_EQ(parseUInt32(" 7"), std::nullopt);
  EXPECT_EQ(parseUInt32("99999999999999999999999"), std::nullopt);
}

TEST(Identity, StartTimeOfARealProcessHas17DigitsAndAMissingOneHasNone) {
  auto own = processStart100ns(getpid());
  ASSERT_TRUE(own.has_value());
  EXPECT_EQ(std::to_string(*own).size(), 17u);
  EXPECT_EQ(processStart100ns(0x7ffffff0), std::nullopt);
  EXPECT_EQ(processStart100ns(-1), std::nullopt);
}

TEST(Permissions, SwitchForcesBothOffOnlyWhenExactlyOne) {
  setenv("QUORVEL_CU_FORCE_NO_PERMISSIONS", "true", 1);
  EXPECT_FALSE(permissionsForcedOff());
  setenv("QUORVEL_CU_FORCE_NO_PERMISSIONS", "1", 1);
  EXPECT_TRUE(permissionsForcedOff());
  EXPECT_FALSE(accessibilityTrusted());
  EXPECT_FALSE(screenRecordingAllowed());
  try {
    requirePermissions();
    ADD_FAILURE();
  } catch (const SafeError& error) {
    EXPECT_EQ(error.code(), "accessibility_not_trusted");
  }
  unsetenv("QUORVEL_CU_FORCE_NO_PERMISSIONS");
  EXPECT_FALSE(permissionsForcedOff());
}

}  // namespace
}  // namespace qcu
