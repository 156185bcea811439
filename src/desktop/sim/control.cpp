// Control commands: live changes to the simulated desktop, from tests in-process or from a
// control pipe of the simulated helper executable. Formats in docs/sim-desktop.md.
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <limits>
#include <map>
#include <thread>

#include "desktop/sim/model.h"

namespace qcu::sim {
namespace {

constexpr const char* WHERE = "command";
// Longest control line accepted; longer ones are answered with an error and dropped.
constexpr std::size_t MAX_CONTROL_LINE = 16 * 1024 * 1024;

std::size_t rowIndex(Desktop& desktop, const json& command) {
  if (auto number = command.find("number"); number != command.end()) {
    auto wanted =
        integerValue(*number, at(WHERE, "number"), 0, std::numeric_limits<std::uint32_t>::max());
    for (std::size_t i = 0; i < desktop.windows.size(); ++i) {
      if (rowInteger(desktop.windows[i], "kCGWindowNumber") == wanted) return i;
    }
    fail(at(WHERE, "number"), "no window numbered " + std::to_string(wanted));
  }
  if (auto index = command.find("index"); index != command.end()) {
    auto wanted = integerValue(*index, at(WHERE, "index"), 0,
                               static_cast<std::int64_t>(desktop.windows.size()) - 1);
    return static_cast<std::size_t>(wanted);
  }
  fail(WHERE, "\"number\" or \"index\" of a window required");
}

// Position in a list of the given size for an optional "to"; the default is the end (or the
// front for windows, whose list runs front to back).
std::size_t insertPosition(const json& command, std::size_t size, std::size_t fallback) {
  auto to = command.find("to");
  if (to == command.end()) return fallback;
  return static_cast<std::size_t>(
      integerValue(*to, at(WHERE, "to"), 0, static_cast<std::int64_t>(size)));
}

App& appFor(Desktop& desktop, const json& command) {
  auto pid = pidField(command, WHERE);
  auto it = desktop.apps.find(pid);
  if (it == desktop.apps.end()) fail(at(WHERE, "pid"), "no application " + std::to_string(pid));
  return it->second;
}

// The element named by "node", or the application element when "node" is absent.
std::shared_ptr<Node> nodeFor(App& app, const json& command, const char* key = "node") {
  auto it = command.find(key);
  if (it == command.end()) return app.root;
  if (!it->is_string()) fail(at(WHERE, key), "expected an element id");
  auto found = app.ids.find(it->get<std::string>());
  auto node = found == app.ids.end() ? nullptr : found->second.lock();
  if (!node || !node->alive) {
    fail(at(WHERE, key), "no element \"" + it->get<std::string>() + "\" in this application");
  }
  return node;
}

Process& processFor(Desktop& desktop, const json& command) {
  auto pid = pidField(command, WHERE);
  auto it = desktop.processes.find(pid);
  if (it == desktop.processes.end()) {
    fail(at(WHERE, "pid"), "no simulated process " + std::to_string(pid));
  }
  return it->second;
}

void setLocked(Desktop& desktop, bool locked) {
  if (!desktop.session || !desktop.session->is_object()) desktop.session = defaultSession();
  if (locked) {
    (*desktop.session)["CGSSessionScreenIsLocked"] = true;
  } else {
    desktop.session->erase("CGSSessionScreenIsLocked");
  }
}

void retitle(Desktop& desktop, const json& command) {
  std::size_t index = rowIndex(desktop, command);
  auto title = command.find("title");
  if (title == command.end()) fail(at(WHERE, "title"), "required");
  json& row = desktop.windows[index];
  row["kCGWindowName"] = *title;
  // The window's accessibility title follows, as it does on a real desktop.
  auto number = rowInteger(row, "kCGWindowNumber");
  auto owner = rowInteger(row, "kCGWindowOwnerPID");
  if (!number || !owner) return;
  auto app = desktop.apps.find(static_cast<std::int32_t>(*owner));
  if (app == desktop.apps.end()) return;
  for (auto& window : app->second.root->windows) {
    if (window->window && *window->window == *number) {
      window->attributes["AXTitle"] = parseValue(*title, at(WHERE, "title"));
    }
  }
}

void input(Desktop& desktop, const json& command) {
  auto types = command.find("types");
  if (types == command.end() || !types->is_array()) {
    fail(at(WHERE, "types"), "expected a list of event type numbers");
  }
  auto count = static_cast<std::uint32_t>(
      integerField(command, "count", WHERE, 1, 0, std::numeric_limits<std::uint32_t>::max()));
  for (const auto& type : *types) {
    auto number = static_cast<std::uint32_t>(
        integerValue(type, at(WHERE, "types"), 0, std::numeric_limits<std::uint32_t>::max()));
    desktop.counts[number] += count;  // a hardware counter wraps around
  }
}

void setApp(Desktop& desktop, const json& command) {
  onlyKeys(command,
           {"op", "id", "pid", "hung", "delay", "activation", "activationDelay", "executablePath",
            "localizedName", "bundleIdentifier"},
           WHERE);
  App& app = appFor(desktop, command);
  app.hung = boolField(command, "hung", WHERE, app.hung);
  app.delay = secondsField(command, "delay", WHERE, app.delay);
  if (command.contains("activation")) app.activation = parseActivation(command, WHERE);
  app.activationDelay = secondsField(command, "activationDelay", WHERE, app.activationDelay);
  if (command.contains("executablePath")) {
    app.executablePath = optionalString(command, "executablePath", WHERE);
  }
  if (command.contains("localizedName")) {
    app.localizedName = optionalString(command, "localizedName", WHERE);
  }
  if (command.contains("bundleIdentifier")) {
    app.bundleIdentifier = optionalString(command, "bundleIdentifier", WHERE);
  }
}

void setProcess(Desktop& desktop, const json& command) {
  onlyKeys(command,
           {"op", "id", "pid", "startSeconds", "startMicroseconds", "alive", "startReadable"},
           WHERE);
  Process& process = processFor(desktop, command);
  process.startSeconds = integerField(command, "startSeconds", WHERE, process.startSeconds,
                                      -MAX_START_SECONDS, MAX_START_SECONDS);
  process.startMicroseconds =
      integerField(command, "startMicroseconds", WHERE, process.startMicroseconds, 0, 999'999);
  process.alive = boolField(command, "alive", WHERE, process.alive);
  process.startReadable = boolField(command, "startReadable", WHERE, process.startReadable);
}

void addNode(Desktop& desktop, const json& command) {
  App& app = appFor(desktop, command);
  auto parent = nodeFor(app, command, "parent");
  auto given = command.find("node");
  if (given == command.end()) fail(at(WHERE, "node"), "required");
  bool asWindow = boolField(command, "asWindow", WHERE, false);
  if (asWindow && parent != app.root) {
    fail(at(WHERE, "asWindow"), "only the application element has windows");
  }
  auto node = parseNode(app, *given, at(WHERE, "node"), asWindow);
  checkRefs(app, *node, at(WHERE, "node"));
  node->parent = parent;
  auto& list = asWindow ? parent->windows : parent->children;
  auto position = insertPosition(command, list.size(), list.size());
  list.insert(list.begin() + static_cast<std::ptrdiff_t>(position), std::move(node));
}

void removeNode(Desktop& desktop, const json& command) {
  App& app = appFor(desktop, command);
  if (!command.contains("node")) fail(at(WHERE, "node"), "required");
  auto node = nodeFor(app, command);
  if (auto parent = node->parent.lock()) {
    std::erase(parent->windows, node);
    std::erase(parent->children, node);
  }
  retire(app, node);
}

void setNode(Desktop& desktop, const json& command) {
  onlyKeys(command, {"op", "id", "pid", "node", "actions", "settable", "window", "valueSetting"},
           WHERE);
  App& app = appFor(desktop, command);
  auto node = nodeFor(app, command);
  if (auto it = command.find("actions"); it != command.end()) {
    node->actions = stringList(*it, at(WHERE, "actions"));
  }
  if (auto it = command.find("settable"); it != command.end()) {
    node->settable.clear();
    for (auto& name : stringList(*it, at(WHERE, "settable")))
      node->settable.insert(name);
  }
  if (auto it = command.find("window"); it != command.end()) {
    if (it->is_null()) {
      node->window.reset();
    } else {
      node->window = static_cast<std::uint32_t>(
          integerValue(*it, at(WHERE, "window"), 0, std::numeric_limits<std::uint32_t>::max()));
    }
  }
  if (auto it = command.find("valueSetting"); it != command.end()) {
    node->valueSetting = parseValueSetting(*it, at(WHERE, "valueSetting"));
  }
}

void setAttribute(Desktop& desktop, const json& command) {
  onlyKeys(command, {"op", "id", "pid", "node", "attribute", "value", "remove"}, WHERE);
  App& app = appFor(desktop, command);
  auto node = nodeFor(app, command);
  auto name = command.find("attribute");
  if (name == command.end() || !name->is_string()) {
    fail(at(WHERE, "attribute"), "expected an attribute name");
  }
  if (boolField(command, "remove", WHERE, false)) {
    node->attributes.erase(name->get<std::string>());
    return;
  }
  auto value = command.find("value");
  if (value == command.end()) fail(at(WHERE, "value"), "required (null for no value)");
  auto parsed = parseValue(*value, at(WHERE, "value"));
  checkValueRefs(app, parsed, at(WHERE, "value"));
  node->attributes[name->get<std::string>()] = std::move(parsed);
}

void replaceDesktop(Desktop& desktop, const json& description) {
  Desktop fresh;
  fresh.session = defaultSession();
  loadDescription(fresh, description);  // throws before anything changes
  for (auto& [pid, app] : desktop.apps)
    retire(app, app.root);
  desktop = std::move(fresh);
}

// One command: reads its fields from command, changes the desktop, and may add fields to its
// reply.
using CommandFunction = void (*)(Desktop& desktop, const json& command, json& reply);

void addWindow(Desktop& desktop, const json& command, json&) {
  auto given = command.find("window");
  if (given == command.end()) fail(at(WHERE, "window"), "required");
  auto row = parseWindow(*given, at(WHERE, "window"));
  auto position = insertPosition(command, desktop.windows.size(), 0);
  desktop.windows.insert(desktop.windows.begin() + static_cast<std::ptrdiff_t>(position), row);
}

void moveWindow(Desktop& desktop, const json& command, json&) {
  std::size_t index = rowIndex(desktop, command);
  auto bounds = command.find("bounds");
  if (bounds == command.end()) fail(at(WHERE, "bounds"), "required");
  auto row = parseWindow(json{{"bounds", *bounds}}, WHERE);
  desktop.windows[index]["kCGWindowBounds"] = row["kCGWindowBounds"];
}

void restack(Desktop& desktop, const json& command, json&) {
  std::size_t index = rowIndex(desktop, command);
  json row = std::move(desktop.windows[index]);
  desktop.windows.erase(desktop.windows.begin() + static_cast<std::ptrdiff_t>(index));
  auto position = insertPosition(command, desktop.windows.size(), 0);
  desktop.windows.insert(desktop.windows.begin() + static_cast<std::ptrdiff_t>(position),
                         std::move(row));
}

void setRow(Desktop& desktop, const json& command, json&) {
  json& row = desktop.windows[rowIndex(desktop, command)];
  if (auto fields = command.find("fields"); fields != command.end()) {
    requireObject(*fields, at(WHERE, "fields"));
    for (const auto& item : fields->items())
      row[item.key()] = item.value();
  }
  if (auto unset = command.find("unset"); unset != command.end()) {
    for (const auto& key : stringList(*unset, at(WHERE, "unset")))
      row.erase(key);
  }
}

void addAppCommand(Desktop& desktop, const json& command, json&) {
  auto given = command.find("app");
  if (given == command.end()) fail(at(WHERE, "app"), "required");
  addApp(desktop, *given, at(WHERE, "app"));
}

void removeApp(Desktop& desktop, const json& command, json&) {
  App& app = appFor(desktop, command);
  std::int32_t pid = app.pid;
  retire(app, app.root);
  desktop.apps.erase(pid);
}

void addProcess(Desktop& desktop, const json& command, json&) {
  auto given = command.find("process");
  if (given == command.end()) fail(at(WHERE, "process"), "required");
  auto process = parseProcess(*given, at(WHERE, "process"));
  if (desktop.processes.contains(process.pid)) {
    fail(at(WHERE, "process"), "pid " + std::to_string(process.pid) + " exists");
  }
  desktop.processes[process.pid] = process;
}

void setWindowList(Desktop& desktop, const json& command, json&) {
  desktop.windowListAvailable = boolField(command, "available", WHERE, true);
  auto replacement = command.find("replacement");
  desktop.windowListReplacement = replacement == command.end() || replacement->is_null()
                                      ? std::nullopt
                                      : std::optional<json>(*replacement);
}

void addEffect(Desktop& desktop, const json& command, json&) {
  onlyKeys(command, {"op", "id", "effect"}, WHERE);
  auto given = command.find("effect");
  if (given == command.end()) fail(at(WHERE, "effect"), "required");
  desktop.effects.push_back(parseEffect(*given, at(WHERE, "effect")));
}

void schedule(Desktop& desktop, const json& command, json&) {
  onlyKeys(command, {"op", "id", "after", "commands"}, WHERE);
  if (!command.contains("after")) fail(at(WHERE, "after"), "required");
  double after = secondsField(command, "after", WHERE, 0);
  auto commands = command.find("commands");
  if (commands == command.end()) fail(at(WHERE, "commands"), "required");
  runCommands(desktop, parseCommands(*commands, at(WHERE, "commands")), after);
}

// The required "types" of a command: a list of event type names.
std::set<std::string, std::less<>> eventTypesOf(const json& command) {
  onlyKeys(command, {"op", "id", "types"}, WHERE);
  auto types = command.find("types");
  if (types == command.end()) fail(at(WHERE, "types"), "required");
  return parseEventTypes(*types, at(WHERE, "types"));
}

// The posted log as JSON: each event with its type and the fields that matter for it.
void posted(Desktop& desktop, const json&, json& reply) {
  json events = json::array();
  for (const auto& event : desktop.posted) {
    json item = {{"type", event.type}};
    if (event.type == "key-down" || event.type == "key-up") {
      item["keyCode"] = event.keyCode;
      item["flags"] = event.flags;
    } else {
      item["x"] = event.point.x;
      item["y"] = event.point.y;
      if (event.type == "wheel") {
        item["verticalLines"] = event.verticalLines;
        item["horizontalLines"] = event.horizontalLines;
      } else {
        item["clickCount"] = event.clickCount;
      }
    }
    events.push_back(std::move(item));
  }
  reply["events"] = std::move(events);
  reply["effectErrors"] = desktop.effectErrors;
}

const std::map<std::string_view, CommandFunction>& commandTable() {
  static const std::map<std::string_view, CommandFunction> table = {
      {"reset", [](Desktop& d, const json&, json&) { replaceDesktop(d, json::object()); }},
      {"load",
       [](Desktop& d, const json& c, json&) {
         auto description = c.find("desktop");
         if (description == c.end()) fail(at(WHERE, "desktop"), "required");
         replaceDesktop(d, *description);
       }},
      {"add-window", addWindow},
      {"remove-window",
       [](Desktop& d, const json& c, json&) {
         d.windows.erase(d.windows.begin() + static_cast<std::ptrdiff_t>(rowIndex(d, c)));
       }},
      {"close-window", [](Desktop& d, const json& c, json&) { closeWindow(d, rowIndex(d, c)); }},
      {"retitle", [](Desktop& d, const json& c, json&) { retitle(d, c); }},
      {"move", moveWindow},
      {"restack", restack},
      {"set-row", setRow},
      {"set-attribute", [](Desktop& d, const json& c, json&) { setAttribute(d, c); }},
      {"add-node", [](Desktop& d, const json& c, json&) { addNode(d, c); }},
      {"remove-node", [](Desktop& d, const json& c, json&) { removeNode(d, c); }},
      {"set-node", [](Desktop& d, const json& c, json&) { setNode(d, c); }},
      {"lock", [](Desktop& d, const json&, json&) { setLocked(d, true); }},
      {"unlock", [](Desktop& d, const json&, json&) { setLocked(d, false); }},
      {"set-session",
       [](Desktop& d, const json& c, json&) {
         if (!c.contains("session")) fail(at(WHERE, "session"), "required (null for none)");
         const json& session = c["session"];
         d.session = session.is_null() ? std::nullopt : std::optional<json>(session);
       }},
      {"input", [](Desktop& d, const json& c, json&) { input(d, c); }},
      {"set-counter",
       [](Desktop& d, const json& c, json&) {
         d.counterAvailable = boolField(c, "available", WHERE, d.counterAvailable);
       }},
      {"set-pasteboard",
       [](Desktop& d, const json& c, json&) {
         d.pasteboard = integerField(c, "count", WHERE, 0, INT64_MIN, INT64_MAX);
       }},
      {"bump-pasteboard", [](Desktop& d, const json&, json&) { d.pasteboard += 1; }},
      {"set-permissions",
       [](Desktop& d, const json& c, json&) {
         d.accessibilityTrusted = boolField(c, "accessibility", WHERE, d.accessibilityTrusted);
         d.screenCaptureAllowed = boolField(c, "screenCapture", WHERE, d.screenCaptureAllowed);
       }},
      {"set-app", [](Desktop& d, const json& c, json&) { setApp(d, c); }},
      {"hang", [](Desktop& d, const json& c, json&) { appFor(d, c).hung = true; }},
      {"recover", [](Desktop& d, const json& c, json&) { appFor(d, c).hung = false; }},
      {"add-app", addAppCommand},
      {"remove-app", removeApp},
      {"add-process", addProcess},
      {"set-process", [](Desktop& d, const json& c, json&) { setProcess(d, c); }},
      {"remove-process",
       [](Desktop& d, const json& c, json&) { d.processes.erase(processFor(d, c).pid); }},
      {"set-capture",
       [](Desktop& d, const json& c, json&) {
         auto [window, given] = parseCapture(c, WHERE, true);
         d.captures[window] = given;
       }},
      {"set-window-number-lookup",
       [](Desktop& d, const json& c, json&) {
         d.windowNumberLookup = boolField(c, "available", WHERE, true);
       }},
      {"set-window-list", setWindowList},
      {"add-effect", addEffect},
      {"clear-effects", [](Desktop& d, const json&, json&) { d.effects.clear(); }},
      {"schedule", schedule},
      {"set-input-failures",
       [](Desktop& d, const json& c, json&) { d.inputFailures = eventTypesOf(c); }},
      {"set-post-failures",
       [](Desktop& d, const json& c, json&) { d.postFailures = eventTypesOf(c); }},
      {"posted", posted},
      {"clear-posted", [](Desktop& d, const json&, json&) { d.posted.clear(); }},
  };
  return table;
}

}  // namespace

bool knownCommand(std::string_view op) {
  return commandTable().contains(op);
}

json applyCommand(Desktop& desktop, const json& command) {
  requireObject(command, WHERE);
  auto opIt = command.find("op");
  if (opIt == command.end() || !opIt->is_string()) fail(at(WHERE, "op"), "required");
  const std::string& op = opIt->get_ref<const std::string&>();
  auto entry = commandTable().find(op);
  if (entry == commandTable().end()) fail(at(WHERE, "op"), "unknown command \"" + op + "\"");
  json reply = json::object();
  entry->second(desktop, command, reply);
  return reply;
}

json control(const json& command) {
  json reply = json::object();
  if (command.is_object() && command.contains("id")) reply["id"] = command["id"];
  try {
    std::lock_guard<std::mutex> guard(modelLock());
    Desktop& desktop = model();
    applyDue(desktop);
    reply.update(applyCommand(desktop, command));
    reply["ok"] = true;
  } catch (const DescriptionError& error) {
    reply["ok"] = false;
    reply["error"] = error.what();
  }
  return reply;
}

namespace {

// Writes one reply line; a descriptor that cannot be written to (the read end of a pipe) or a
// peer that has gone away simply gets no reply.
void reply(int fd, const json& answer) {
  std::string line = answer.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
  std::size_t sent = 0;
  while (sent < line.size()) {
    ssize_t n = send(fd, line.data() + sent, line.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == ENOTSOCK) n = write(fd, line.data() + sent, line.size() - sent);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    sent += static_cast<std::size_t>(n);
  }
}

void handleLine(int fd, const std::string& line) {
  if (line.find_first_not_of(" \t\r") == std::string::npos) return;
  json command = json::parse(line, nullptr, false);
  if (command.is_discarded()) {
    reply(fd, json{{"ok", false}, {"error", "command: not valid JSON"}});
    return;
  }
  reply(fd, control(command));
}

void controlLoop(int fd) {
  std::string pending;
  bool overlong = false;
  char buffer[65536];
  for (;;) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    pending.append(buffer, static_cast<std::size_t>(n));
    std::size_t start = 0;
    for (std::size_t end; (end = pending.find('\n', start)) != std::string::npos; start = end + 1) {
      if (overlong) {
        overlong = false;
        continue;
      }
      handleLine(fd, pending.substr(start, end - start));
    }
    pending.erase(0, start);
    if (pending.size() > MAX_CONTROL_LINE) {
      reply(fd, json{{"ok", false}, {"error", "command: line too long"}});
      pending.clear();
      overlong = true;
    }
  }
  if (!overlong) handleLine(fd, pending);
  close(fd);
}

}  // namespace

void startControl(int fd) {
  std::thread(controlLoop, fd).detach();
}

}  // namespace qcu::sim
