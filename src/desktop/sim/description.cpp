// Reading a desktop description (and the parts of one that control commands carry) into the
// model. Every mistake is reported with the place it was found, e.g. "apps[0].windows[1].size".
#include <cmath>
#include <initializer_list>
#include <limits>

#include "desktop/sim/model.h"

namespace qcu::sim {

[[noreturn]] void fail(const std::string& where, const std::string& problem) {
  throw DescriptionError(where + ": " + problem);
}

std::string at(const std::string& where, const std::string& key) {
  return where.empty() ? key : where + "." + key;
}

std::string at(const std::string& where, std::size_t index) {
  return where + "[" + std::to_string(index) + "]";
}

void requireObject(const json& given, const std::string& where) {
  if (!given.is_object()) fail(where, "expected an object");
}

void onlyKeys(const json& given, std::initializer_list<const char*> keys,
              const std::string& where) {
  for (const auto& item : given.items()) {
    bool known = false;
    for (const char* key : keys)
      known = known || item.key() == key;
    if (!known) fail(at(where, item.key()), "unknown key");
  }
}

bool boolField(const json& given, const char* key, const std::string& where, bool fallback) {
  auto it = given.find(key);
  if (it == given.end()) return fallback;
  if (!it->is_boolean()) fail(at(where, key), "expected true or false");
  return it->get<bool>();
}

std::int64_t integerValue(const json& value, const std::string& where, std::int64_t low,
                          std::int64_t high) {
  if (!value.is_number_integer()) fail(where, "expected an integer");
  if (value.is_number_unsigned() && value.get<std::uint64_t>() > static_cast<std::uint64_t>(high)) {
    fail(where, "out of range");
  }
  auto number = value.get<std::int64_t>();
  if (number < low || number > high) fail(where, "out of range");
  return number;
}

std::int64_t integerField(const json& given, const char* key, const std::string& where,
                          std::int64_t fallback, std::int64_t low, std::int64_t high) {
  auto it = given.find(key);
  if (it == given.end()) return fallback;
  return integerValue(*it, at(where, key), low, high);
}

double secondsField(const json& given, const char* key, const std::string& where, double fallback) {
  auto it = given.find(key);
  if (it == given.end()) return fallback;
  if (!it->is_number() || !std::isfinite(it->get<double>()) || it->get<double>() < 0) {
    fail(at(where, key), "expected a number of seconds, 0 or more");
  }
  return it->get<double>();
}

std::optional<std::string> optionalString(const json& given, const char* key,
                                          const std::string& where) {
  auto it = given.find(key);
  if (it == given.end() || it->is_null()) return std::nullopt;
  if (!it->is_string()) fail(at(where, key), "expected a string or null");
  return it->get<std::string>();
}

std::vector<std::string> stringList(const json& value, const std::string& where) {
  if (!value.is_array()) fail(where, "expected a list of strings");
  std::vector<std::string> list;
  for (const auto& item : value) {
    if (!item.is_string()) fail(where, "expected a list of strings");
    list.push_back(item.get<std::string>());
  }
  return list;
}

std::int32_t pidField(const json& given, const std::string& where) {
  auto it = given.find("pid");
  if (it == given.end()) fail(at(where, "pid"), "required");
  return static_cast<std::int32_t>(
      integerValue(*it, at(where, "pid"), 1, std::numeric_limits<std::int32_t>::max()));
}

Activation parseActivation(const json& given, const std::string& where) {
  auto it = given.find("activation");
  if (it == given.end()) return Activation::Honoured;
  if (it->is_string()) {
    const auto& text = it->get_ref<const std::string&>();
    if (text == "honoured") return Activation::Honoured;
    if (text == "ignored") return Activation::Ignored;
    if (text == "late") return Activation::Late;
    if (text == "refused") return Activation::Refused;
  }
  fail(at(where, "activation"), "expected \"honoured\", \"ignored\", \"late\" or \"refused\"");
}

namespace {

// [a, b] of two finite numbers.
std::optional<std::pair<double, double>> numberPair(const json& value) {
  if (!value.is_array() || value.size() != 2) return std::nullopt;
  for (const auto& item : value) {
    if (!item.is_number() || !std::isfinite(item.get<double>())) return std::nullopt;
  }
  return std::pair{value[0].get<double>(), value[1].get<double>()};
}

void loadCounter(Desktop& desktop, const json& given, const std::string& where) {
  requireObject(given, where);
  onlyKeys(given, {"available", "counts"}, where);
  desktop.counterAvailable = boolField(given, "available", where, true);
  auto counts = given.find("counts");
  if (counts == given.end()) return;
  requireObject(*counts, at(where, "counts"));
  for (const auto& item : counts->items()) {
    std::string place = at(at(where, "counts"), item.key());
    std::uint32_t type = 0;
    try {
      std::size_t used = 0;
      unsigned long parsed = std::stoul(item.key(), &used);
      if (used != item.key().size() || parsed > std::numeric_limits<std::uint32_t>::max()) {
        throw std::out_of_range("type");
      }
      type = static_cast<std::uint32_t>(parsed);
    } catch (const std::exception&) {
      fail(place, "the key must be an event type number");
    }
    desktop.counts[type] = static_cast<std::uint32_t>(
        integerValue(item.value(), place, 0, std::numeric_limits<std::uint32_t>::max()));
  }
}

}  // namespace

std::optional<Value> parseValue(const json& given, const std::string& where) {
  switch (given.type()) {
    case json::value_t::null:
      return std::nullopt;
    case json::value_t::string:
      return Value{given.get<std::string>()};
    case json::value_t::boolean:
      return Value{given.get<bool>()};
    case json::value_t::number_integer:
      return Value{given.get<std::int64_t>()};
    case json::value_t::number_unsigned:
      if (given.get<std::uint64_t>() > static_cast<std::uint64_t>(INT64_MAX)) {
        return Value{given.get<double>()};
      }
      return Value{given.get<std::int64_t>()};
    case json::value_t::number_float:
      return Value{given.get<double>()};
    case json::value_t::array:
      for (const auto& item : given) {
        if (!item.is_string()) {
          fail(where, "a list value holds strings only (elements are given as {\"refs\": [...]})");
        }
      }
      return Value{given.get<std::vector<std::string>>()};
    case json::value_t::object:
      break;
    default:
      fail(where, "unsupported value");
  }
  if (given.size() != 1) fail(where, "a typed value is an object with exactly one key");
  const std::string key = given.begin().key();
  const json& inner = given.begin().value();
  std::optional<Value> value;
  if (key == "point" || key == "size") {
    auto pair = numberPair(inner);
    if (!pair) fail(at(where, key), "expected [number, number]");
    if (key == "point") {
      value = Value{Point{pair->first, pair->second}};
    } else {
      value = Value{Size{pair->first, pair->second}};
    }
  } else if (key == "range") {
    if (!inner.is_array() || inner.size() != 2) fail(at(where, key), "expected [location, length]");
    value = Value{TextRange{integerValue(inner[0], at(where, key), INT64_MIN, INT64_MAX),
                            integerValue(inner[1], at(where, key), INT64_MIN, INT64_MAX)}};
  } else if (key == "ref") {
    if (!inner.is_string()) fail(at(where, key), "expected an element id");
    value = Value{NodeRef{inner.get<std::string>()}};
  } else if (key == "refs") {
    value = Value{NodeRefs{stringList(inner, at(where, key))}};
  } else if (key == "other") {
    value = Value{AXOther{}};
  } else {
    fail(at(where, key), "unknown value type (point, size, range, ref, refs or other)");
  }
  return value;
}

json parseWindow(const json& given, const std::string& where) {
  requireObject(given, where);
  onlyKeys(given, {"number", "pid", "owner", "title", "bounds", "layer", "alpha", "raw"}, where);
  // Values are taken as given, so a fixture can mistype any field on purpose.
  static const std::pair<const char*, const char*> names[] = {
      {"number", "kCGWindowNumber"}, {"pid", "kCGWindowOwnerPID"}, {"owner", "kCGWindowOwnerName"},
      {"title", "kCGWindowName"},    {"layer", "kCGWindowLayer"},  {"alpha", "kCGWindowAlpha"}};
  json row = json::object();
  for (const auto& [key, rowKey] : names) {
    if (auto it = given.find(key); it != given.end()) row[rowKey] = *it;
  }
  if (auto bounds = given.find("bounds"); bounds != given.end()) {
    bool rectangle = bounds->is_array() && bounds->size() == 4;
    for (std::size_t i = 0; rectangle && i < 4; ++i)
      rectangle = (*bounds)[i].is_number();
    if (rectangle) {
      row["kCGWindowBounds"] = {{"X", (*bounds)[0]},
                                {"Y", (*bounds)[1]},
                                {"Width", (*bounds)[2]},
                                {"Height", (*bounds)[3]}};
    } else {
      row["kCGWindowBounds"] = *bounds;
    }
  }
  if (auto raw = given.find("raw"); raw != given.end()) {
    requireObject(*raw, at(where, "raw"));
    for (const auto& item : raw->items())
      row[item.key()] = item.value();
  }
  return row;
}

Process parseProcess(const json& given, const std::string& where) {
  requireObject(given, where);
  onlyKeys(given, {"pid", "startSeconds", "startMicroseconds", "alive", "startReadable"}, where);
  Process process;
  process.pid = pidField(given, where);
  process.startSeconds = integerField(given, "startSeconds", where, process.startSeconds,
                                      -MAX_START_SECONDS, MAX_START_SECONDS);
  process.startMicroseconds = integerField(given, "startMicroseconds", where, 0, 0, 999'999);
  process.alive = boolField(given, "alive", where, true);
  process.startReadable = boolField(given, "startReadable", where, true);
  return process;
}

std::shared_ptr<Node> parseNode(App& app, const json& given, const std::string& where,
                                bool isWindow) {
  requireObject(given, where);
  onlyKeys(given,
           {"id",         "role",     "subrole", "title",    "description",  "placeholder", "help",
            "identifier", "value",    "enabled", "selected", "focused",      "position",    "size",
            "window",     "children", "actions", "settable", "valueSetting", "attributes"},
           where);
  auto node = std::make_shared<Node>();
  node->pid = app.pid;
  if (auto id = given.find("id"); id != given.end()) {
    if (!id->is_string() || id->get_ref<const std::string&>().empty()) {
      fail(at(where, "id"), "expected a non-empty string");
    }
    node->id = id->get<std::string>();
    if (app.ids.contains(node->id)) fail(at(where, "id"), "duplicate id \"" + node->id + "\"");
    app.ids[node->id] = node;
  }
  if (isWindow) node->attributes["AXRole"] = Value{std::string("AXWindow")};

  static const std::pair<const char*, const char*> names[] = {{"role", "AXRole"},
                                                              {"subrole", "AXSubrole"},
                                                              {"title", "AXTitle"},
                                                              {"description", "AXDescription"},
                                                              {"placeholder", "AXPlaceholderValue"},
                                                              {"help", "AXHelp"},
                                                              {"identifier", "AXIdentifier"},
                                                              {"value", "AXValue"},
                                                              {"enabled", "AXEnabled"},
                                                              {"selected", "AXSelected"},
                                                              {"focused", "AXFocused"}};
  for (const auto& [key, attribute] : names) {
    if (auto it = given.find(key); it != given.end()) {
      node->attributes[attribute] = parseValue(*it, at(where, key));
    }
  }
  // [x, y] and [width, height] are a point and a size; anything else is taken as given.
  for (auto [key, attribute, isPoint] :
       {std::tuple{"position", "AXPosition", true}, std::tuple{"size", "AXSize", false}}) {
    auto it = given.find(key);
    if (it == given.end()) continue;
    if (auto pair = numberPair(*it)) {
      node->attributes[attribute] = isPoint ? Value{Point{pair->first, pair->second}}
                                            : Value{Size{pair->first, pair->second}};
    } else {
      node->attributes[attribute] = parseValue(*it, at(where, key));
    }
  }
  if (auto it = given.find("window"); it != given.end()) {
    node->window = static_cast<std::uint32_t>(
        integerValue(*it, at(where, "window"), 0, std::numeric_limits<std::uint32_t>::max()));
  }
  if (auto it = given.find("actions"); it != given.end()) {
    node->actions = stringList(*it, at(where, "actions"));
  }
  if (auto it = given.find("settable"); it != given.end()) {
    for (auto& name : stringList(*it, at(where, "settable")))
      node->settable.insert(name);
  }
  if (auto it = given.find("valueSetting"); it != given.end()) {
    node->valueSetting = parseValueSetting(*it, at(where, "valueSetting"));
  }
  if (auto it = given.find("children"); it != given.end()) {
    if (!it->is_array()) fail(at(where, "children"), "expected a list of elements");
    for (std::size_t i = 0; i < it->size(); ++i) {
      auto child = parseNode(app, (*it)[i], at(at(where, "children"), i), false);
      child->parent = node;
      node->children.push_back(std::move(child));
    }
  }
  if (auto it = given.find("attributes"); it != given.end()) {
    requireObject(*it, at(where, "attributes"));
    for (const auto& item : it->items()) {
      node->attributes[item.key()] =
          parseValue(item.value(), at(at(where, "attributes"), item.key()));
    }
  }
  return node;
}

ValueSetting parseValueSetting(const json& given, const std::string& where) {
  ValueSetting setting;
  if (given.is_null()) return setting;
  requireObject(given, where);
  onlyKeys(given, {"delay", "result"}, where);
  setting.delay = secondsField(given, "delay", where, 0);
  if (auto it = given.find("result"); it != given.end()) {
    static const std::pair<const char*, ValueResult> results[] = {
        {"store", ValueResult::Store},
        {"refuse", ValueResult::Refuse},
        {"ignore", ValueResult::Ignore},
        {"uppercase", ValueResult::Uppercase}};
    bool known = false;
    for (const auto& [name, result] : results) {
      if (*it == name) {
        setting.result = result;
        known = true;
      }
    }
    if (!known) {
      fail(at(where, "result"), "expected \"store\", \"refuse\", \"ignore\" or \"uppercase\"");
    }
  }
  return setting;
}

void checkValueRefs(const App& app, const std::optional<Value>& value, const std::string& where) {
  if (!value) return;
  auto known = [&](const std::string& id) {
    if (!app.ids.contains(id)) fail(where, "no element with id \"" + id + "\" in this application");
  };
  if (auto* ref = std::get_if<NodeRef>(&*value)) known(ref->id);
  if (auto* refs = std::get_if<NodeRefs>(&*value)) {
    for (const auto& id : refs->ids)
      known(id);
  }
}

void checkRefs(const App& app, const Node& node, const std::string& where) {
  for (const auto& [name, value] : node.attributes)
    checkValueRefs(app, value, where);
  for (const auto& window : node.windows)
    checkRefs(app, *window, where);
  for (const auto& child : node.children)
    checkRefs(app, *child, where);
}

void addApp(Desktop& desktop, const json& given, const std::string& where) {
  requireObject(given, where);
  onlyKeys(given,
           {"pid", "executablePath", "localizedName", "bundleIdentifier", "realProcess",
            "activation", "activationDelay", "delay", "hung", "attributes", "windows", "children"},
           where);
  App app;
  app.pid = pidField(given, where);
  if (desktop.apps.contains(app.pid)) {
    fail(at(where, "pid"), "an application with pid " + std::to_string(app.pid) + " exists");
  }
  app.executablePath = optionalString(given, "executablePath", where);
  app.localizedName = optionalString(given, "localizedName", where);
  app.bundleIdentifier = optionalString(given, "bundleIdentifier", where);
  app.realProcess = boolField(given, "realProcess", where, false);
  app.activation = parseActivation(given, where);
  app.activationDelay = secondsField(given, "activationDelay", where, app.activationDelay);
  app.delay = secondsField(given, "delay", where, 0);
  app.hung = boolField(given, "hung", where, false);

  app.root = std::make_shared<Node>();
  app.root->pid = app.pid;
  app.root->attributes["AXRole"] = Value{std::string("AXApplication")};
  if (app.localizedName) app.root->attributes["AXTitle"] = Value{*app.localizedName};
  for (auto [key, isWindow] : {std::pair{"windows", true}, std::pair{"children", false}}) {
    auto it = given.find(key);
    if (it == given.end()) continue;
    if (!it->is_array()) fail(at(where, key), "expected a list of elements");
    for (std::size_t i = 0; i < it->size(); ++i) {
      auto node = parseNode(app, (*it)[i], at(at(where, key), i), isWindow);
      node->parent = app.root;
      (isWindow ? app.root->windows : app.root->children).push_back(std::move(node));
    }
  }
  if (auto it = given.find("attributes"); it != given.end()) {
    requireObject(*it, at(where, "attributes"));
    for (const auto& item : it->items()) {
      app.root->attributes[item.key()] =
          parseValue(item.value(), at(at(where, "attributes"), item.key()));
    }
  }
  checkRefs(app, *app.root, where);
  if (!app.realProcess && !desktop.processes.contains(app.pid)) {
    desktop.processes[app.pid] = Process{.pid = app.pid};
  }
  desktop.apps.emplace(app.pid, std::move(app));
}

void loadDescription(Desktop& desktop, const json& description) {
  requireObject(description, "description");
  onlyKeys(description,
           {"permissions", "session", "pasteboard", "eventCounter", "windowNumberLookup",
            "windowListAvailable", "windowListReplacement", "processes", "apps", "windows",
            "captures", "effects", "inputFailures", "postFailures"},
           "");
  if (auto it = description.find("permissions"); it != description.end()) {
    requireObject(*it, "permissions");
    onlyKeys(*it, {"accessibility", "screenCapture"}, "permissions");
    desktop.accessibilityTrusted = boolField(*it, "accessibility", "permissions", true);
    desktop.screenCaptureAllowed = boolField(*it, "screenCapture", "permissions", true);
  }
  if (auto it = description.find("session"); it != description.end()) {
    desktop.session = it->is_null() ? std::nullopt : std::optional<json>(*it);
  }
  desktop.pasteboard = integerField(description, "pasteboard", "", 0, INT64_MIN, INT64_MAX);
  if (auto it = description.find("eventCounter"); it != description.end()) {
    loadCounter(desktop, *it, "eventCounter");
  }
  desktop.windowNumberLookup = boolField(description, "windowNumberLookup", "", true);
  desktop.windowListAvailable = boolField(description, "windowListAvailable", "", true);
  if (auto it = description.find("windowListReplacement"); it != description.end()) {
    desktop.windowListReplacement = *it;
  }
  if (auto it = description.find("processes"); it != description.end()) {
    if (!it->is_array()) fail("processes", "expected a list");
    for (std::size_t i = 0; i < it->size(); ++i) {
      auto process = parseProcess((*it)[i], at("processes", i));
      if (desktop.processes.contains(process.pid)) {
        fail(at("processes", i), "pid " + std::to_string(process.pid) + " described twice");
      }
      desktop.processes[process.pid] = process;
    }
  }
  if (auto it = description.find("apps"); it != description.end()) {
    if (!it->is_array()) fail("apps", "expected a list");
    for (std::size_t i = 0; i < it->size(); ++i)
      addApp(desktop, (*it)[i], at("apps", i));
  }
  if (auto it = description.find("windows"); it != description.end()) {
    if (!it->is_array()) fail("windows", "expected a list");
    for (std::size_t i = 0; i < it->size(); ++i) {
      desktop.windows.push_back(parseWindow((*it)[i], at("windows", i)));
    }
  }
  if (auto it = description.find("captures"); it != description.end()) {
    if (!it->is_array()) fail("captures", "expected a list");
    for (std::size_t i = 0; i < it->size(); ++i) {
      auto [window, given] = parseCapture((*it)[i], at("captures", i), false);
      desktop.captures[window] = given;
    }
  }
  if (auto it = description.find("effects"); it != description.end()) {
    if (!it->is_array()) fail("effects", "expected a list");
    for (std::size_t i = 0; i < it->size(); ++i)
      desktop.effects.push_back(parseEffect((*it)[i], at("effects", i)));
  }
  if (auto it = description.find("inputFailures"); it != description.end()) {
    desktop.inputFailures = parseEventTypes(*it, "inputFailures");
  }
  if (auto it = description.find("postFailures"); it != description.end()) {
    desktop.postFailures = parseEventTypes(*it, "postFailures");
  }
}

}  // namespace qcu::sim
