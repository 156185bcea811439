#include "session/identity.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "desktop/platform.h"
#include "foundation/errors.h"

namespace qcu {

nlohmann::json Ident::object() const {
  return {{"pid", pid}, {"processStartTime100ns", start}, {"hwnd", std::to_string(win)}};
}

std::optional<std::uint64_t> processStart100ns(std::int32_t pid) {
  // Ids below 1 name no process: the desktop lists windows whose process it cannot tell so.
  if (pid < 1) return std::nullopt;
  auto started = platformProcessStart(pid);
  if (!started) return std::nullopt;
  return startTime100ns(*started);
}

std::optional<std::uint32_t> parseUInt32(const std::string& text) {
  std::size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  if (i == text.size()) return std::nullopt;
  std::uint64_t value = 0;
  for (; i < text.size(); ++i) {
    char c = text[i];
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
    if (value > std::numeric_limits<std::uint32_t>::max()) return std::nullopt;
  }
  if (negative && value != 0) return std::nullopt;
  return static_cast<std::uint32_t>(value);
}

namespace {

[[noreturn]] void badIdentity() {
  throw SafeError("bad_identity", "exact PID/start/window identity required");
}

bool allDigits(const std::string& text) {
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

// A JSON number with a whole value in 1..2^31-1. Booleans are not numbers here.
std::optional<std::int32_t> wholePid(const nlohmann::json& value) {
  double number = 0;
  if (value.is_number_unsigned()) {
    auto v = value.get<std::uint64_t>();
    if (v > static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max())) return {};
    number = static_cast<double>(v);
  } else if (value.is_number_integer()) {
    auto v = value.get<std::int64_t>();
    if (v < 1 || v > std::numeric_limits<std::int32_t>::max()) return {};
    number = static_cast<double>(v);
  } else if (value.is_number_float()) {
    number = value.get<double>();
    // Range first: converting an out-of-range double to an integer is undefined.
    if (!(number >= 1 && number <= static_cast<double>(std::numeric_limits<std::int32_t>::max())))
      return {};
    if (number != std::floor(number)) return {};
  } else {
    return {};
  }
  if (number < 1) return {};
  return static_cast<std::int32_t>(number);
}

}  // namespace

Ident parseIdentity(const nlohmann::json& object) {
  if (!object.is_object()) badIdentity();
  auto pidIt = object.find("pid");
  if (pidIt == object.end()) badIdentity();
  auto pid = wholePid(*pidIt);
  if (!pid) badIdentity();

  // Every accepted character is an ASCII digit, so characters, scalars and bytes agree here.
  auto startIt = object.find("processStartTime100ns");
  if (startIt == object.end() || !startIt->is_string()) badIdentity();
  const auto& start = startIt->get_ref<const std::string&>();
  if (start.empty() || start.size() > 40 || !allDigits(start)) badIdentity();

  auto hwndIt = object.find("hwnd");
  if (hwndIt == object.end() || !hwndIt->is_string()) badIdentity();
  const auto& hwnd = hwndIt->get_ref<const std::string&>();
  if (hwnd.empty() || hwnd.size() > 40) badIdentity();
  auto win = parseUInt32(hwnd);
  if (!win || *win == 0) badIdentity();

  return Ident{*pid, start, *win};
}

bool permissionsForcedOff() {
  const char* value = std::getenv("QUORVEL_CU_FORCE_NO_PERMISSIONS");
  return value != nullptr && std::strcmp(value, "1") == 0;
}

bool accessibilityTrusted() {
  return !permissionsForcedOff() && platformAccessibilityTrusted();
}

bool screenRecordingAllowed() {
  return !permissionsForcedOff() && platformScreenCaptureAllowed();
}

void requirePermissions() {
  if (!accessibilityTrusted()) {
    throw SafeError("accessibility_not_trusted",
                    "Дайте Quorvel доступ: Системные настройки → Конфиденциальность и "
                    "безопасность → Универсальный доступ — включите Quorvel, затем повторите "
                    "команду.");
  }
  if (!screenRecordingAllowed()) {
    throw SafeError("screen_recording_not_granted",
                    "Дайте Quorvel доступ: Системные настройки → Конфиденциальность и "
                    "безопасность → Запись экрана — включите Quorvel и перезапустите Quorvel, "
                    "затем повторите команду.");
  }
}

}  // namespace qcu
