// Text helpers and fingerprints: UTF-8 in and out everywhere. Unicode work is done with ICU and
// hashing with OpenSSL; every function is pure apart from reading the per-process salt.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace qcu {

// A random UUID made once per process on first use (canonical upper-case text form); never
// written out.
const std::string& SALT();

// SHA-256 of the UTF-8 bytes as 64 lower-case hexadecimal digits.
std::string sha256Hex(std::string_view text);
// kind + ":" + the first 24 digits of sha256Hex(SALT + ":" + kind + ":" + value).
std::string opaque(std::string_view kind, std::string_view value);
// sha256Hex("window-title|" + title): unsalted, the same in every run.
std::string titleFingerprint(std::string_view title);
// sha256Hex(SALT + ":value-state:" + value).
std::string valueStateFingerprint(std::string_view value);

// The longest prefix of at most limit UTF-16 code units that does not split a surrogate pair.
std::string clipUTF16(std::string_view text, std::size_t limit);
// CR and then LF replaced by spaces, then clipUTF16.
std::string safeDisplay(std::string_view text, std::size_t limit);
// ECMAScript white space and line terminators.
bool isJSSpace(char32_t scalar);
// NFKC, white space runs collapsed to one space, trimmed.
std::string normalizeTitle(std::string_view text);
// clipUTF16 to MAX_TITLE_DISPLAY, then trailing white space removed.
std::string displayTitle(std::string_view text);

// Lengths in the units the rules name.
std::size_t scalarCount(std::string_view text);
std::size_t utf16Length(std::string_view text);
// User-perceived characters (extended grapheme clusters).
std::size_t graphemeCount(std::string_view text);
// The longest prefix of at most limit user-perceived characters.
std::string clipGraphemes(std::string_view text, std::size_t limit);
// Whether the bytes are well-formed UTF-8.
bool isValidUTF8(std::string_view text);

// Every function here reads ill-formed UTF-8 as U+FFFD for each maximal ill-formed subpart and
// returns well-formed UTF-8 (sha256Hex hashes the bytes as given).

// The Unicode scalar values of the text.
std::u32string toScalars(std::string_view text);
// Full Unicode lower-case mapping, independent of locale (root locale: one character may become
// several, a final capital sigma becomes a final small sigma).
std::string lowerCase(std::string_view text);
// Normalisation form C (canonical decomposition, then canonical composition).
std::string nfc(std::string_view text);
// The form texts are compared in for safety matching: lower-cased, then NFC. Lower-casing comes
// first because the lower-case form of a normalised text need not be normalised itself.
std::string foldForMatch(std::string_view text);
// Substring and equality under canonical equivalence: compares the NFC forms.
bool canonicalContains(std::string_view text, std::string_view part);
bool canonicalEquals(std::string_view a, std::string_view b);
// A letter or combining mark (general categories L and M) or a decimal digit (Nd).
bool isLetterOrDigit(char32_t scalar);

}  // namespace qcu
