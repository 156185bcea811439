// Effects: control commands the desktop applies in reaction to the helper's input, as an
// application or a user would react. Commands that fail when applied are skipped, and their
// errors kept for tests to read.
#include <algorithm>
#include <limits>

#include "desktop/sim/model.h"

namespace qcu::sim {
namespace {

constexpr double MAX_AFTER_SECONDS = 365.0 * 24 * 3600;

constexpr const char* EVENT_TYPES[] = {"mouse-moved", "left-down", "left-up",
                                       "wheel",       "key-down",  "key-up"};

// {"pid", "node"} naming one element.
void parseElement(const json& given, const std::string& where, Trigger& trigger) {
  requireObject(given, where);
  onlyKeys(given, {"pid", "node"}, where);
  trigger.pid = pidField(given, where);
  auto node = given.find("node");
  if (node == given.end() || !node->is_string() || node->get_ref<const std::string&>().empty()) {
    fail(at(where, "node"), "expected an element id");
  }
  trigger.node = node->get<std::string>();
}

Trigger parseTrigger(const json& given, const std::string& where) {
  requireObject(given, where);
  if (given.size() != 1) {
    fail(where, "expected exactly one of \"press\", \"key\", \"set-value\" or \"event\"");
  }
  const std::string& kind = given.begin().key();
  const json& inner = given.begin().value();
  std::string place = at(where, kind);
  Trigger trigger;
  if (kind == "press" || kind == "set-value") {
    trigger.kind = kind == "press" ? Trigger::Kind::Press : Trigger::Kind::SetValue;
    parseElement(inner, place, trigger);
  } else if (kind == "key") {
    trigger.kind = Trigger::Kind::Key;
    requireObject(inner, place);
    onlyKeys(inner, {"code", "flags"}, place);
    if (!inner.contains("code")) fail(at(place, "code"), "required");
    trigger.keyCode = static_cast<std::uint32_t>(
        integerField(inner, "code", place, 0, 0, std::numeric_limits<std::uint32_t>::max()));
    trigger.flags = static_cast<std::uint64_t>(
        integerField(inner, "flags", place, 0, 0, std::numeric_limits<std::int64_t>::max()));
  } else if (kind == "event") {
    trigger.kind = Trigger::Kind::Event;
    if (!inner.is_string() || !eventTypeName(inner.get_ref<const std::string&>())) {
      fail(place, "expected an event type name");
    }
    trigger.event = inner.get<std::string>();
  } else {
    fail(place, "unknown trigger (press, key, set-value or event)");
  }
  return trigger;
}

}  // namespace

bool eventTypeName(std::string_view name) {
  for (const char* type : EVENT_TYPES) {
    if (name == type) return true;
  }
  return false;
}

std::set<std::string, std::less<>> parseEventTypes(const json& given, const std::string& where) {
  std::set<std::string, std::less<>> types;
  auto names = stringList(given, where);
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (!eventTypeName(names[i])) fail(at(where, i), "unknown event type \"" + names[i] + "\"");
    types.insert(names[i]);
  }
  return types;
}

std::vector<json> parseCommands(const json& given, const std::string& where) {
  if (!given.is_array()) fail(where, "expected a list of commands");
  for (std::size_t i = 0; i < given.size(); ++i) {
    std::string place = at(where, i);
    requireObject(given[i], place);
    auto op = given[i].find("op");
    if (op == given[i].end() || !op->is_string()) fail(at(place, "op"), "required");
    if (!knownCommand(op->get_ref<const std::string&>())) {
      fail(at(place, "op"), "unknown command \"" + op->get<std::string>() + "\"");
    }
  }
  return given.get<std::vector<json>>();
}

Effect parseEffect(const json& given, const std::string& where) {
  requireObject(given, where);
  onlyKeys(given, {"on", "after", "commands"}, where);
  Effect effect;
  auto on = given.find("on");
  if (on == given.end()) fail(at(where, "on"), "required");
  effect.on = parseTrigger(*on, at(where, "on"));
  effect.after = secondsField(given, "after", where, 0);
  auto commands = given.find("commands");
  if (commands == given.end()) fail(at(where, "commands"), "required");
  effect.commands = parseCommands(*commands, at(where, "commands"));
  return effect;
}

void runCommands(Desktop& desktop, const std::vector<json>& commands, double after) {
  if (after > 0) {
    // Beyond a year is never, and stays within the clock's range.
    auto delay = std::chrono::duration_cast<SteadyClock::duration>(
        std::chrono::duration<double>(std::min(after, MAX_AFTER_SECONDS)));
    desktop.scheduled.push_back(Scheduled{SteadyClock::now() + delay, [commands](Desktop& later) {
                                            runCommands(later, commands, 0);
                                          }});
    return;
  }
  for (const auto& command : commands) {
    try {
      applyCommand(desktop, command);
    } catch (const DescriptionError& error) {
      desktop.effectErrors.push_back(error.what());
    }
  }
}

void fireEffects(Desktop& desktop, const std::function<bool(const Trigger&)>& matches) {
  // The matching effects are chosen first: their commands may add or clear effects.
  std::vector<Effect> fired;
  for (const auto& effect : desktop.effects) {
    if (matches(effect.on)) fired.push_back(effect);
  }
  for (const auto& effect : fired)
    runCommands(desktop, effect.commands, effect.after);
}

std::vector<std::string> effectErrors() {
  std::lock_guard<std::mutex> guard(modelLock());
  return model().effectErrors;
}

}  // namespace qcu::sim
