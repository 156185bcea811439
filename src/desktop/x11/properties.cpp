#include "desktop/x11/properties.h"

#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <unicode/unistr.h>

#include "desktop/x11/display.h"

namespace qcu::x11 {
namespace {

// Longest property read, in 32-bit units: far above any real title or list.
constexpr long MAX_PROPERTY_UNITS = 1 << 16;

struct Raw {
  Atom type = None;
  int format = 0;
  unsigned long count = 0;
  unsigned char* data = nullptr;
  ~Raw() {
    if (data) XFree(data);
  }
};

bool readRaw(Display* display, Window window, Atom property, Atom type, Raw& raw) {
  if (window == None || property == None) return false;
  unsigned long after = 0;
  int status = XGetWindowProperty(display, window, property, 0, MAX_PROPERTY_UNITS, False, type,
                                  &raw.type, &raw.format, &raw.count, &after, &raw.data);
  return status == Success && raw.data != nullptr && raw.type != None;
}

// Ill-formed UTF-8 becomes U+FFFD, so every title leaves the backend well-formed.
std::string wellFormed(const char* bytes, std::size_t length) {
  std::string out;
  icu::UnicodeString::fromUTF8(icu::StringPiece(bytes, static_cast<std::int32_t>(length)))
      .toUTF8String(out);
  return out;
}

std::string fromLatin1(const char* bytes, std::size_t length) {
  std::string out;
  out.reserve(length);
  for (std::size_t i = 0; i < length; ++i) {
    auto byte = static_cast<unsigned char>(bytes[i]);
    if (byte < 0x80) {
      out.push_back(static_cast<char>(byte));
    } else {
      out.push_back(static_cast<char>(0xC0 | (byte >> 6)));
      out.push_back(static_cast<char>(0x80 | (byte & 0x3F)));
    }
  }
  return out;
}

// Compound text through Xlib's own converter; none when it cannot convert.
std::optional<std::string> fromCompoundText(Display* display, Atom type, const std::string& bytes) {
  XTextProperty text{reinterpret_cast<unsigned char*>(const_cast<char*>(bytes.data())), type, 8,
                     bytes.size()};
  char** list = nullptr;
  int count = 0;
  if (Xutf8TextPropertyToTextList(display, &text, &list, &count) < Success || !list) {
    return std::nullopt;
  }
  std::string joined;
  for (int i = 0; i < count; ++i)
    joined += list[i];
  XFreeStringList(list);
  return wellFormed(joined.data(), joined.size());
}

}  // namespace

std::vector<unsigned long> readItems(Display* display, Window window, Atom property, Atom type) {
  Raw raw;
  if (!readRaw(display, window, property, type, raw) || raw.type != type || raw.format != 32) {
    return {};
  }
  // Xlib hands 32-bit items back as longs.
  auto* items = reinterpret_cast<unsigned long*>(raw.data);
  return std::vector<unsigned long>(items, items + raw.count);
}

std::optional<unsigned long> readCardinal(Display* display, Window window, Atom property) {
  auto items = readItems(display, window, property, atoms().cardinal);
  if (items.empty()) return std::nullopt;
  return items.front() & 0xFFFFFFFFul;
}

std::optional<std::string> decodeText(Display* display, Atom type, const std::string& bytes) {
  const Atoms& known = atoms();
  if (type == known.utf8String) return wellFormed(bytes.data(), bytes.size());
  if (type == known.string) return fromLatin1(bytes.data(), bytes.size());
  if (type == known.compoundText) return fromCompoundText(display, type, bytes);
  return std::nullopt;
}

std::string decodeClass(const std::string& value) {
  // Two NUL-terminated strings: the instance name, then the class name.
  auto end = value.find('\0');
  if (end == std::string::npos) return {};
  std::string name = value.substr(end + 1);
  auto classEnd = name.find('\0');
  if (classEnd != std::string::npos) name.resize(classEnd);
  return fromLatin1(name.data(), name.size());
}

std::optional<std::string> readText(Display* display, Window window, Atom property) {
  Raw raw;
  if (!readRaw(display, window, property, AnyPropertyType, raw) || raw.format != 8) {
    return std::nullopt;
  }
  return decodeText(display, raw.type,
                    std::string(reinterpret_cast<const char*>(raw.data), raw.count));
}

std::string windowTitle(Display* display, Window window) {
  auto title = readText(display, window, atoms().netWmName);
  if (!title || title->empty()) title = readText(display, window, atoms().wmName);
  return title.value_or(std::string());
}

std::string windowClass(Display* display, Window window) {
  Raw raw;
  if (!readRaw(display, window, atoms().wmClass, atoms().string, raw) || raw.format != 8) {
    return {};
  }
  return decodeClass(std::string(reinterpret_cast<const char*>(raw.data), raw.count));
}

}  // namespace qcu::x11
