#include "foundation/text.h"

#include <openssl/evp.h>
#include <unicode/brkiter.h>
#include <unicode/locid.h>
#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/utf16.h>
#include <unicode/utf8.h>

#include <cstdint>
#include <memory>
#include <stdexcept>

#include "foundation/limits.h"
#include "foundation/uuid.h"

namespace qcu {
namespace {

// Calls body with each scalar value of the text; an ill-formed sequence reads as U+FFFD.
template <typename Body>
void forEachScalar(std::string_view text, Body&& body) {
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
  const std::int64_t length = static_cast<std::int64_t>(text.size());
  std::int64_t i = 0;
  while (i < length) {
    UChar32 c;
    U8_NEXT_OR_FFFD(bytes, i, length, c);
    body(static_cast<char32_t>(c));
  }
}

void appendUTF8(std::string& out, char32_t scalar) {
  char bytes[U8_MAX_LENGTH];
  std::int32_t length = 0;
  U8_APPEND_UNSAFE(bytes, length, static_cast<UChar32>(scalar));
  out.append(bytes, static_cast<std::size_t>(length));
}

bool isASCII(std::string_view text) {
  for (char c : text) {
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  }
  return true;
}

icu::UnicodeString toUnicode(std::string_view text) {
  // fromUTF8 replaces ill-formed sequences with U+FFFD.
  return icu::UnicodeString::fromUTF8(
      icu::StringPiece(text.data(), static_cast<std::int32_t>(text.size())));
}

std::string fromUnicode(const icu::UnicodeString& text) {
  std::string out;
  text.toUTF8String(out);
  return out;
}

// The built-in normalisation data is part of the ICU library; failing to load it means a broken
// installation, and no text decision can be made without it.
const icu::Normalizer2& normalizer(bool compatibility) {
  UErrorCode error = U_ZERO_ERROR;
  const icu::Normalizer2* instance = compatibility ? icu::Normalizer2::getNFKCInstance(error)
                                                   : icu::Normalizer2::getNFCInstance(error);
  if (U_FAILURE(error) || instance == nullptr) {
    throw std::runtime_error("unicode normalisation data unavailable");
  }
  return *instance;
}

icu::UnicodeString normalized(const icu::UnicodeString& text, bool compatibility) {
  const icu::Normalizer2& form = normalizer(compatibility);
  UErrorCode error = U_ZERO_ERROR;
  if (form.isNormalized(text, error) && U_SUCCESS(error)) return text;
  error = U_ZERO_ERROR;
  icu::UnicodeString result = form.normalize(text, error);
  if (U_FAILURE(error)) throw std::runtime_error("unicode normalisation failed");
  return result;
}

std::string asciiLower(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

}  // namespace

const std::string& SALT() {
  static const std::string* salt = new std::string(randomUUIDString());
  return *salt;
}

std::string sha256Hex(std::string_view text) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_Digest(text.data(), text.size(), digest, &length, EVP_sha256(), nullptr) != 1 ||
      length != 32) {
    throw std::runtime_error("sha-256 unavailable");
  }
  static constexpr char HEX[] = "0123456789abcdef";
  std::string out;
  out.reserve(64);
  for (unsigned int i = 0; i < length; ++i) {
    out.push_back(HEX[digest[i] >> 4]);
    out.push_back(HEX[digest[i] & 0x0F]);
  }
  return out;
}

std::string opaque(std::string_view kind, std::string_view value) {
  std::string input = SALT();
  input.append(":").append(kind).append(":").append(value);
  std::string out(kind);
  out.append(":").append(sha256Hex(input).substr(0, 24));
  return out;
}

std::string titleFingerprint(std::string_view title) {
  std::string input = "window-title|";
  input.append(title);
  return sha256Hex(input);
}

std::string valueStateFingerprint(std::string_view value) {
  std::string input = SALT();
  input.append(":value-state:").append(value);
  return sha256Hex(input);
}

std::string clipUTF16(std::string_view text, std::size_t limit) {
  // A scalar outside the Basic Multilingual Plane takes two units; dropping such a scalar whole
  // when it does not fit is the same as never ending on a high surrogate.
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
  const std::int64_t length = static_cast<std::int64_t>(text.size());
  std::string out;
  std::size_t units = 0;
  std::int64_t i = 0;
  while (i < length) {
    UChar32 c;
    U8_NEXT_OR_FFFD(bytes, i, length, c);
    units += c > 0xFFFF ? 2 : 1;
    if (units > limit) break;
    appendUTF8(out, static_cast<char32_t>(c));
  }
  return out;
}

std::string safeDisplay(std::string_view text, std::size_t limit) {
  std::string flat(text);
  for (char& c : flat) {
    if (c == '\r' || c == '\n') c = ' ';
  }
  return clipUTF16(flat, limit);
}

bool isJSSpace(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000 || c == 0xFEFF;
}

std::string normalizeTitle(std::string_view text) {
  const icu::UnicodeString composed = normalized(toUnicode(text), true);
  std::string out;
  out.reserve(text.size());
  bool pendingSpace = false;
  for (std::int32_t i = 0; i < composed.length();) {
    const UChar32 c = composed.char32At(i);
    i += U16_LENGTH(c);
    if (isJSSpace(static_cast<char32_t>(c))) {
      if (!out.empty()) pendingSpace = true;
      continue;
    }
    if (pendingSpace) out.push_back(' ');
    pendingSpace = false;
    appendUTF8(out, static_cast<char32_t>(c));
  }
  return out;
}

std::string displayTitle(std::string_view text) {
  std::u32string scalars = toScalars(clipUTF16(text, MAX_TITLE_DISPLAY));
  while (!scalars.empty() && isJSSpace(scalars.back()))
    scalars.pop_back();
  std::string out;
  out.reserve(scalars.size());
  for (char32_t c : scalars)
    appendUTF8(out, c);
  return out;
}

std::size_t scalarCount(std::string_view text) {
  std::size_t count = 0;
  forEachScalar(text, [&](char32_t) { ++count; });
  return count;
}

std::size_t utf16Length(std::string_view text) {
  std::size_t count = 0;
  forEachScalar(text, [&](char32_t c) { count += c > 0xFFFF ? 2 : 1; });
  return count;
}

namespace {
// The calling thread's character break iterator: making one loads rules, so each thread keeps its
// own.
icu::BreakIterator& characterBreaks() {
  thread_local std::unique_ptr<icu::BreakIterator> breaks;
  if (!breaks) {
    UErrorCode error = U_ZERO_ERROR;
    breaks.reset(icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), error));
    if (U_FAILURE(error) || !breaks) {
      breaks.reset();
      throw std::runtime_error("unicode break data unavailable");
    }
  }
  return *breaks;
}
}  // namespace

std::string clipGraphemes(std::string_view text, std::size_t limit) {
  const icu::UnicodeString unicode = toUnicode(text);
  icu::BreakIterator& breaks = characterBreaks();
  breaks.setText(unicode);
  std::int32_t end = breaks.first();
  for (std::size_t count = 0; count < limit; ++count) {
    const std::int32_t next = breaks.next();
    if (next == icu::BreakIterator::DONE) break;
    end = next;
  }
  breaks.setText(icu::UnicodeString());  // drop the reference to the local text
  return fromUnicode(icu::UnicodeString(unicode, 0, end));
}

std::size_t graphemeCount(std::string_view text) {
  if (text.empty()) return 0;
  icu::BreakIterator* breaks = &characterBreaks();
  const icu::UnicodeString unicode = toUnicode(text);
  breaks->setText(unicode);
  std::size_t count = 0;
  breaks->first();
  while (breaks->next() != icu::BreakIterator::DONE)
    ++count;
  breaks->setText(icu::UnicodeString());  // drop the reference to the local text
  return count;
}

bool isValidUTF8(std::string_view text) {
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
  const std::int64_t length = static_cast<std::int64_t>(text.size());
  std::int64_t i = 0;
  while (i < length) {
    UChar32 c;
    U8_NEXT(bytes, i, length, c);
    if (c < 0) return false;
  }
  return true;
}

std::u32string toScalars(std::string_view text) {
  std::u32string out;
  out.reserve(text.size());
  forEachScalar(text, [&](char32_t c) { out.push_back(c); });
  return out;
}

std::string lowerCase(std::string_view text) {
  if (isASCII(text)) return asciiLower(text);
  icu::UnicodeString unicode = toUnicode(text);
  unicode.toLower(icu::Locale::getRoot());
  return fromUnicode(unicode);
}

std::string nfc(std::string_view text) {
  if (isASCII(text)) return std::string(text);
  return fromUnicode(normalized(toUnicode(text), false));
}

std::string foldForMatch(std::string_view text) {
  if (isASCII(text)) return asciiLower(text);
  icu::UnicodeString unicode = toUnicode(text);
  unicode.toLower(icu::Locale::getRoot());
  return fromUnicode(normalized(unicode, false));
}

bool canonicalContains(std::string_view text, std::string_view part) {
  // Both sides are well-formed UTF-8 after nfc, so a byte match is a scalar match.
  return nfc(text).find(nfc(part)) != std::string::npos;
}

bool canonicalEquals(std::string_view a, std::string_view b) {
  return nfc(a) == nfc(b);
}

bool isLetterOrDigit(char32_t scalar) {
  const auto mask = U_GET_GC_MASK(static_cast<UChar32>(scalar));
  return (mask & (U_GC_L_MASK | U_GC_M_MASK | U_GC_ND_MASK)) != 0;
}

}  // namespace qcu
