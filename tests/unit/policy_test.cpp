#include <gtest/gtest.h>

#include <set>
#include <string>

#include "foundation/text.h"
#include "policy/policy.h"
#include "policy/tables.h"

namespace qcu {
namespace {

// Matching folds the text and compares it with the tables as they stand, so an entry that is not
// already folded, or listed twice, is a fault of the table.
template <typename Table>
void expectFoldedAndDistinct(const Table& table) {
  std::set<std::string_view> seen;
  for (std::string_view entry : table) {
    EXPECT_FALSE(entry.empty());
    EXPECT_EQ(foldForMatch(entry), entry);
    EXPECT_TRUE(seen.insert(entry).second) << "duplicate " << entry;
  }
}

TEST(PolicyTables, EntriesAreFoldedAndDistinct) {
  expectFoldedAndDistinct(BLOCKED_BUNDLES);
  expectFoldedAndDistinct(BLOCKED_BUNDLE_PREFIXES);
  expectFoldedAndDistinct(BLOCKED_NAMES);
  expectFoldedAndDistinct(BROWSER_WORDS);
  expectFoldedAndDistinct(LINUX_BLOCKED_APP_IDS);
  expectFoldedAndDistinct(LINUX_BLOCKED_APP_ID_PREFIXES);
  expectFoldedAndDistinct(LINUX_BLOCKED_NAMES);
  expectFoldedAndDistinct(CREDENTIAL_MARKERS);
  expectFoldedAndDistinct(TITLE_MARKERS);
  expectFoldedAndDistinct(CONTROL_MARKERS);
  expectFoldedAndDistinct(STANDALONE_TOKENS);
}

// The Linux tables add to the others: an entry in both would be a sign of a table edited twice.
TEST(PolicyTables, LinuxEntriesAreNotRepeatedFromTheOtherTables) {
  std::set<std::string_view> bundles(BLOCKED_BUNDLES.begin(), BLOCKED_BUNDLES.end());
  for (std::string_view id : LINUX_BLOCKED_APP_IDS)
    EXPECT_FALSE(bundles.contains(id)) << id;
  std::set<std::string_view> names(BLOCKED_NAMES.begin(), BLOCKED_NAMES.end());
  for (std::string_view name : LINUX_BLOCKED_NAMES)
    EXPECT_FALSE(names.contains(name)) << name;
}

TEST(PolicyTables, EveryMarkerHitsItsOwnDetector) {
  for (std::string_view marker : CREDENTIAL_MARKERS) {
    EXPECT_TRUE(titleMarkerHit(marker)) << marker;
    EXPECT_TRUE(isAuthenticationText(marker)) << marker;
  }
  for (std::string_view marker : TITLE_MARKERS)
    EXPECT_TRUE(titleMarkerHit(marker)) << marker;
  for (std::string_view marker : CONTROL_MARKERS) {
    EXPECT_TRUE(isAuthenticationText(marker)) << marker;
  }
}

ProcMeta meta(std::string name, std::string bundle, std::string product) {
  return ProcMeta{std::move(name), std::move(bundle), std::move(product)};
}

TEST(ProtectedApplications, OwnerBundleIsRefusedInAnyLetterCase) {
  EXPECT_TRUE(isBlockedProcess(meta("helper", "COM.Quorvel.App", "Quorvel"), "com.quorvel.app"));
  EXPECT_TRUE(isBlockedProcess(meta("helper", "com.quorvel.app", "Helper"), "Com.Quorvel.APP"));
  EXPECT_FALSE(isBlockedProcess(meta("helper", "com.quorvel.app", "Helper"), ""));
}

TEST(ProtectedApplications, BundleIdentifiersByExactSetAndPrefix) {
  EXPECT_TRUE(isBlockedProcess(meta("x", "com.apple.Terminal", "x"), ""));
  EXPECT_TRUE(isBlockedProcess(meta("x", "net.kovidgoyal.kitty", "x"), ""));
  EXPECT_TRUE(isBlockedProcess(meta("x", "com.google.Chrome", "x"), ""));
  EXPECT_TRUE(isBlockedProcess(meta("x", "com.google.chrome.canary", "x"), ""));
  EXPECT_TRUE(isBlockedProcess(meta("x", "com.apple.systempreferences.sharing", "x"), ""));
  EXPECT_TRUE(isBlockedProcess(meta("x", "com.apple.preferences.users", "x"), ""));
  EXPECT_TRUE(isBlockedProcess(meta("x", "com.jetbrains.pycharm", "x"), ""));
  // Exact entries are whole strings; prefixes carry their own separators.
  EXPECT_FALSE(isBlockedProcess(meta("x", "com.apple.terminal.helper", "x"), ""));
  EXPECT_FALSE(isBlockedProcess(meta("x", "com.jetbrainsfan.app", "x"), ""));
}

TEST(ProtectedApplications, NamesAndProductsAsWholeStrings) {
  EXPECT_TRUE(isBlockedProcess(meta("Arc", "com.example.unlisted", "Something"), ""));
  EXPECT_TRUE(isBlockedProcess(meta("zenapp", "com.example.unlisted", "Zen"), ""));
  EXPECT_TRUE(isBlockedProcess(meta("Code", "", "Code"), ""));
  EXPECT_TRUE(isBlockedProcess(meta("Electron", "", "Code - Insiders"), ""));
  EXPECT_FALSE(isBlockedProcess(meta("Codeview", "", "Codeview"), ""));
  EXPECT_FALSE(isBlockedProcess(meta("notes", "com.example.notes", "Notes"), ""));
}

// Linux facts: executable file name, application id or WM_CLASS class, WM_CLASS class.
TEST(ProtectedApplications, LinuxApplicationsByExecutableIdOrClass) {
  struct Case {
    ProcMeta meta;
    bool blocked;
  };
  const Case cases[] = {
      {meta("xterm", "XTerm", "XTerm"), true},
      {meta("gnome-terminal-server", "org.gnome.Terminal", "Gnome-terminal"), true},
      // An interpreter's program is known by its window class.
      {meta("python3.11", "Terminator", "Terminator"), true},
      {meta("java", "jetbrains-idea-ce", "jetbrains-idea-ce"), true},
      {meta("qemu-system-x86_64", "Qemu-system-x86_64", "Qemu-system-x86_64"), true},
      {meta("firefox-esr", "firefox-esr", "firefox-esr"), true},
      {meta("nautilus", "org.gnome.Nautilus", "Org.gnome.Nautilus"), true},
      {meta("gcr-prompter", "Gcr-prompter", "Gcr-prompter"), true},
      {meta("ssh", "", ""), true},
      {meta("gedit", "org.gnome.gedit", "Gedit"), false},
      {meta("qcu-x11-client", "QcuTestClient", "QcuTestClient"), false},
  };
  for (const auto& c : cases)
    EXPECT_EQ(isBlockedProcess(c.meta, ""), c.blocked) << c.meta.name << " " << c.meta.bundle;
}

TEST(ProtectedApplications, BrowserWordsAnywhereInTheProduct) {
  EXPECT_TRUE(isBlockedProcess(meta("firefox-bin", "org.torproject.x", "Tor Browser"), ""));
  EXPECT_TRUE(isBlockedProcess(meta("yb", "com.example.yb", "Яндекс Браузер"), ""));
  // The words are looked for in the product only.
  EXPECT_FALSE(isBlockedProcess(meta("browser", "com.example.reader", "Reader"), ""));
}

TEST(ProtectedApplications, NothingKnownIsRefused) {
  EXPECT_TRUE(isBlockedProcess(meta("", "", ""), ""));
  EXPECT_TRUE(isBlockedProcess(meta("", "", "Notes"), ""));
  EXPECT_FALSE(isBlockedProcess(meta("notesd", "", ""), ""));
  EXPECT_FALSE(isBlockedProcess(meta("", "com.example.notes", ""), ""));
}

TEST(SurfaceText, StandaloneTokensNeedNonLetterNeighbours) {
  EXPECT_TRUE(containsStandaloneToken("Enter OTP", "otp"));
  EXPECT_TRUE(containsStandaloneToken("otp:", "otp"));
  EXPECT_TRUE(containsStandaloneToken("(otp)", "otp"));
  EXPECT_TRUE(containsStandaloneToken("totp otp", "otp"));  // a later occurrence counts
  EXPECT_FALSE(containsStandaloneToken("OTP2", "otp"));
  EXPECT_FALSE(containsStandaloneToken("totp", "otp"));
  EXPECT_FALSE(containsStandaloneToken("otpauth", "otp"));
  EXPECT_FALSE(containsStandaloneToken("otp\u0301", "otp"));  // a mark after it
  EXPECT_FALSE(containsStandaloneToken("", "otp"));
  EXPECT_FALSE(containsStandaloneToken("otp", ""));
  EXPECT_FALSE(containsStandaloneToken("ot", "otp"));
  EXPECT_TRUE(containsStandaloneToken("ПИН-код", "пин"));
  EXPECT_FALSE(containsStandaloneToken("пинг", "пин"));
  EXPECT_FALSE(containsStandaloneToken("спин", "пин"));
}

TEST(SurfaceText, TitleMarkers) {
  for (const char* title : {"Sign in \u2013 Example", "Verify you are human", "Terminal Velocity",
                            "Your API key", "Вход в систему", "Enter OTP", "ПИН-код",
                            "Just a moment...", "I'm not a robot", "ВОИ\u0306ТИ"}) {
    EXPECT_TRUE(titleMarkerHit(title)) << title;
  }
  for (const char* title : {"Shopping list", "Password", "Пинг", "OTP2", ""}) {
    EXPECT_FALSE(titleMarkerHit(title)) << title;
  }
}

TEST(SurfaceText, ControlMarkers) {
  for (const char* text : {"Log In", "Password", "username-input", "Введите пароль", "Enter OTP",
                           "Client Secret", "2FA code", "Вои\u0306ти"}) {
    EXPECT_TRUE(isAuthenticationText(text)) << text;
  }
  for (const char* text : {"Search", "Terminal", "Keychain", "Пинг", "otp2", ""}) {
    EXPECT_FALSE(isAuthenticationText(text)) << text;
  }
  // "totp" is a marker of its own even though "otp" inside it is not standalone.
  EXPECT_TRUE(isAuthenticationText("TOTP"));
}

TEST(SurfaceText, IllFormedTextIsMatchedNotRejected) {
  EXPECT_TRUE(titleMarkerHit("\xff Sign in \xfe"));
  EXPECT_TRUE(containsStandaloneToken("\xffotp\xff", "otp"));
  EXPECT_FALSE(isAuthenticationText("\xc0\xaf"));
}

}  // namespace
}  // namespace qcu
