#include "foundation/text.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "support/wire.h"

namespace qcu {
namespace {

TEST(TextHashing, Sha256MatchesPublishedVectors) {
  EXPECT_EQ(sha256Hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(sha256Hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(sha256Hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  // Bytes are hashed as given, including a NUL and bytes that are not UTF-8.
  EXPECT_NE(sha256Hex(std::string("a\0b", 3)), sha256Hex("a"));
  EXPECT_EQ(sha256Hex("\xff").size(), 64u);
}

TEST(TextHashing, FingerprintsAndOpaqueIdsAreWellFormedDeterministicAndDistinct) {
  // Texts that differ in one way each: empty, case, a trailing space, a prefix, composition.
  const std::vector<std::string> texts = {"", "a", "A", "a ", "ab", "abc", "\u00e9", "e\u0301"};
  std::set<std::string> seen;
  for (const auto& text : texts) {
    SCOPED_TRACE(text);
    const std::string title = titleFingerprint(text);
    const std::string value = valueStateFingerprint(text);
    const std::string element = opaque("element", text);
    const std::string prepared = opaque("prepared", text);
    EXPECT_TRUE(test::isLowerHex(title, 64));
    EXPECT_TRUE(test::isLowerHex(value, 64));
    EXPECT_TRUE(test::isOpaqueId(element, "element"));
    EXPECT_TRUE(test::isOpaqueId(prepared, "prepared"));
    EXPECT_EQ(titleFingerprint(text), title);
    EXPECT_EQ(valueStateFingerprint(text), value);
    EXPECT_EQ(opaque("element", text), element);
    // The kind is part of what is hashed, not only a prefix.
    EXPECT_NE(element.substr(8), prepared.substr(9));
    seen.insert({title, value, element, prepared});
  }
  EXPECT_EQ(seen.size(), 4 * texts.size());
}

TEST(TextHashing, SaltIsOneUpperCaseUuidPerProcess) {
  const std::string& salt = SALT();
  ASSERT_EQ(salt.size(), 36u);
  for (std::size_t i = 0; i < salt.size(); ++i) {
    if (i == 8 || i == 13 || i == 18 || i == 23) {
      EXPECT_EQ(salt[i], '-');
    } else {
      EXPECT_NE(std::string_view("0123456789ABCDEF").find(salt[i]), std::string_view::npos);
    }
  }
  EXPECT_EQ(&SALT(), &salt);
}

TEST(TextClipping, NeverSplitsASurrogatePair) {
  const std::string ascii299(299, 'a');
  const std::string emoji = "\U0001F600";
  EXPECT_EQ(clipUTF16(ascii299 + emoji, 300), ascii299);
  EXPECT_EQ(clipUTF16(ascii299 + emoji, 301), ascii299 + emoji);
  const std::string exact = std::string(298, 'a') + emoji;  // 300 units
  EXPECT_EQ(clipUTF16(exact, 300), exact);
  EXPECT_EQ(clipUTF16("abc", 0), "");
  EXPECT_EQ(clipUTF16(emoji, 1), "");
  // A combining mark may be cut from its base.
  EXPECT_EQ(clipUTF16("e\u0301", 1), "e");
  // Code units, not bytes: three two-byte letters fit in three units.
  EXPECT_EQ(clipUTF16("\u00e9\u00e9\u00e9\u00e9", 3), "\u00e9\u00e9\u00e9");
}

TEST(TextClipping, SafeDisplayFlattensLineBreaksBeforeClipping) {
  EXPECT_EQ(safeDisplay("a\r\nb", 10), "a  b");
  EXPECT_EQ(safeDisplay("a\r\nbcdef", 4), "a  b");
}

TEST(TextTitles, NormalizeTitleCollapsesEveryWhiteSpaceRun) {
  EXPECT_EQ(normalizeTitle("  Quarterly\u00a0\u2003Report\n"), "Quarterly Report");
  EXPECT_EQ(normalizeTitle("\uff32\uff45\uff50\uff4f\uff52\uff54"), "Report");  // full width
  EXPECT_EQ(normalizeTitle(" \t\u3000\ufeff "), "");
  EXPECT_EQ(normalizeTitle(""), "");
  EXPECT_EQ(normalizeTitle("\ufb01le"), "file");  // compatibility ligature
  EXPECT_EQ(normalizeTitle("Cafe\u0301"), "Caf\u00e9");
  // Letter case is kept; U+0085 and U+200B are not white space here.
  EXPECT_EQ(normalizeTitle("A\u200bB"), "A\u200bB");
  EXPECT_EQ(normalizeTitle("A\u0085B"), "A\u0085B");
}

TEST(TextTitles, DisplayTitleClipsThenDropsTrailingWhiteSpace) {
  std::string title(299, 'x');
  title += ' ';
  title += std::string(10, 'y');
  EXPECT_EQ(displayTitle(title), std::string(299, 'x'));
  EXPECT_EQ(displayTitle("  Report \u00a0\u3000"), "  Report");
}

TEST(TextTitles, WhiteSpaceSetIsExactlyTheEcmaScriptOne) {
  for (char32_t c : {0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x20, 0xA0, 0x1680, 0x2000, 0x200A, 0x2028,
                     0x2029, 0x202F, 0x205F, 0x3000, 0xFEFF}) {
    EXPECT_TRUE(isJSSpace(c)) << std::hex << static_cast<unsigned>(c);
  }
  for (char32_t c : {0x08, 0x0E, 0x1F, 0x85, 0x180E, 0x200B, 0x2027, 0x202A, 0x3001, 0x61}) {
    EXPECT_FALSE(isJSSpace(c)) << std::hex << static_cast<unsigned>(c);
  }
}

TEST(TextLengths, CountInTheirOwnUnits) {
  EXPECT_EQ(scalarCount("e\u0301"), 2u);
  EXPECT_EQ(graphemeCount("e\u0301"), 1u);
  EXPECT_EQ(utf16Length("a\U0001F600"), 3u);
  EXPECT_EQ(scalarCount("a\U0001F600"), 2u);
  EXPECT_EQ(graphemeCount("\U0001F1EB\U0001F1F7"), 1u);                        // a flag
  EXPECT_EQ(graphemeCount("\U0001F468\u200d\U0001F469\u200d\U0001F467"), 1u);  // a family
  EXPECT_EQ(graphemeCount("ab\r\n"), 3u);
  EXPECT_EQ(graphemeCount(""), 0u);
}

TEST(TextClipping, ClipGraphemesKeepsWholeUserPerceivedCharacters) {
  const std::string flag = "\U0001F1EB\U0001F1F7";
  EXPECT_EQ(clipGraphemes("e\u0301" + flag + "xyz", 2), "e\u0301" + flag);
  EXPECT_EQ(clipGraphemes("ab\r\ncd", 3), "ab\r\n");
  EXPECT_EQ(clipGraphemes("abc", 5), "abc");
  EXPECT_EQ(clipGraphemes("abc", 0), "");
  EXPECT_EQ(clipGraphemes("a\xFF", 5), "a\uFFFD");  // ill-formed input comes out well-formed
}

TEST(TextInvalidUTF8, ReadsEachIllFormedSequenceAsReplacement) {
  const std::string replacement = "\ufffd";
  EXPECT_TRUE(isValidUTF8("plain \u00e9 \U0001F600"));
  for (const char* bad : {"a\xff"
                          "b",
                          "\xc0\xaf", "\xed\xa0\x80", "\xe2\x82", "\xf4\x90\x80\x80"}) {
    EXPECT_FALSE(isValidUTF8(bad)) << bad;
    // Every function gives well-formed text back.
    EXPECT_TRUE(isValidUTF8(clipUTF16(bad, 100)));
    EXPECT_TRUE(isValidUTF8(normalizeTitle(bad)));
    EXPECT_TRUE(isValidUTF8(displayTitle(bad)));
    EXPECT_TRUE(isValidUTF8(lowerCase(bad)));
    EXPECT_TRUE(isValidUTF8(foldForMatch(bad)));
    EXPECT_TRUE(isValidUTF8(nfc(bad)));
    EXPECT_GE(graphemeCount(bad), 1u);
  }
  EXPECT_EQ(clipUTF16("a\xff"
                      "b",
                      10),
            "a" + replacement + "b");
  EXPECT_EQ(scalarCount("a\xff"
                        "b"),
            3u);
  // A truncated three-byte sequence is one maximal subpart, read as one replacement.
  EXPECT_EQ(toScalars("x\xe2\x82"), U"x\ufffd");
  EXPECT_EQ(normalizeTitle(" A\xff  B "), "A" + replacement + " B");
}

TEST(TextMatching, LowerCaseIsTheFullLocaleIndependentMapping) {
  EXPECT_EQ(lowerCase("LOGIN"), "login");
  EXPECT_EQ(lowerCase("\u00c0B"), "\u00e0b");
  EXPECT_EQ(lowerCase("ВХОД"), "вход");
  EXPECT_EQ(lowerCase("I"), "i");             // not the Turkish dotless i
  EXPECT_EQ(lowerCase("\u0130"), "i\u0307");  // one letter becomes two scalars
  EXPECT_EQ(lowerCase("\u039f\u0394\u039f\u03a3"), "\u03bf\u03b4\u03bf\u03c2");  // final sigma
}

TEST(TextMatching, FoldingAndCanonicalEquivalence) {
  // Decomposed upper case folds to the precomposed lower-case letters.
  EXPECT_EQ(foldForMatch("\u0412\u041e\u0418\u0306\u0422\u0418"), "\u0432\u043e\u0439\u0442\u0438");
  EXPECT_EQ(foldForMatch("E\u0301"), "\u00e9");
  EXPECT_EQ(nfc("e\u0301"), "\u00e9");
  EXPECT_EQ(nfc("\ufb01"), "\ufb01");  // compatibility forms are left alone
  EXPECT_TRUE(canonicalContains("the cafe\u0301 menu", "caf\u00e9"));
  EXPECT_TRUE(canonicalContains("the caf\u00e9 menu", "cafe\u0301"));
  EXPECT_FALSE(canonicalContains("the cafe menu", "caf\u00e9"));
  EXPECT_TRUE(canonicalEquals("\u00c5", "A\u030a"));
  EXPECT_TRUE(canonicalEquals("\u212b", "\u00c5"));  // angstrom sign
  EXPECT_FALSE(canonicalEquals("\ufb01", "fi"));
  // Marks are reordered canonically before comparing.
  EXPECT_TRUE(canonicalEquals("a\u0323\u0301", "a\u0301\u0323"));
}

TEST(TextMatching, LetterOrDigitCoversLettersMarksAndDecimalDigits) {
  for (char32_t c : {U'a', U'Z', U'я', U'\u4e00', U'\u0301', U'\u0903', U'7', U'\u0663'}) {
    EXPECT_TRUE(isLetterOrDigit(c)) << std::hex << static_cast<unsigned>(c);
  }
  for (char32_t c : {U'-', U' ', U'_', U':', U'\u00b2', U'\u2167', U'\U0001F600', U'\ufffd'}) {
    EXPECT_FALSE(isLetterOrDigit(c)) << std::hex << static_cast<unsigned>(c);
  }
}

}  // namespace
}  // namespace qcu
