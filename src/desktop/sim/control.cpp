// Control commands: live changes to the simulated desktop, from tests in-process or from a
// control pipe of the simulated helper executable. Formats in docs/sim-desktop.md.
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <limits>
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
  onlyKeys(command, {"op", "id", "pid", "node", "actions", "settable", "window"}, WHERE);
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

}  // namespace

void applyCommand(Desktop& desktop, const json& command) {
  requireObject(command, WHERE);
  auto opIt = command.find("op");
  if (opIt == command.end() || !opIt->is_string()) fail(at(WHERE, "op"), "required");
  const std::string& op = opIt->get_ref<const std::string&>();

  if (op == "reset") {
    replaceDesktop(desktop, json::object());
  } else if (op == "load") {
    auto description = command.find("desktop");
    if (description == command.end()) fail(at(WHERE, "desktop"), "required");
    replaceDesktop(desktop, *description);
  } else if (op == "add-window") {
    auto given = command.find("window");
    if (given == command.end()) fail(at(WHERE, "window"), "required");
    auto row = parseWindow(*given, at(WHERE, "window"));
    auto position = insertPosition(command, desktop.windows.size(), 0);
    desktop.windows.insert(desktop.windows.begin() + static_cast<std::ptrdiff_t>(position), row);
  } else if (op == "remove-window") {
    desktop.windows.erase(desktop.windows.begin() +
                          static_cast<std::ptrdiff_t>(rowIndex(desktop, command)));
  } else if (op == "close-window") {
    closeWindow(desktop, rowIndex(desktop, command));
  } else if (op == "retitle") {
    retitle(desktop, command);
  } else if (op == "move") {
    std::size_t index = rowIndex(desktop, command);
    auto bounds = command.find("bounds");
    if (bounds == command.end()) fail(at(WHERE, "bounds"), "required");
    auto row = parseWindow(json{{"bounds", *bounds}}, WHERE);
    desktop.windows[index]["kCGWindowBounds"] = row["kCGWindowBounds"];
  } else if (op == "restack") {
    std::size_t index = rowIndex(desktop, command);
    json row = std::move(desktop.windows[index]);
    desktop.windows.erase(desktop.windows.begin() + static_cast<std::ptrdiff_t>(index));
    auto position = insertPosition(command, desktop.windows.size(), 0);
    desktop.windows.insert(desktop.windows.begin() + static_cast<std::ptrdiff_t>(position),
                           std::move(row));
  } else if (op == "set-row") {
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
  } else if (op == "set-attribute") {
    setAttribute(desktop, command);
  } else if (op == "add-node") {
    addNode(desktop, command);
  } else if (op == "remove-node") {
    removeNode(desktop, command);
  } else if (op == "set-node") {
    setNode(desktop, command);
  } else if (op == "lock" || op == "unlock") {
    setLocked(desktop, op == "lock");
  } else if (op == "set-session") {
    if (!command.contains("session")) fail(at(WHERE, "session"), "required (null for none)");
    const json& session = command["session"];
    desktop.session = session.is_null() ? std::nullopt : std::optional<json>(session);
  } else if (op == "input") {
    input(desktop, command);
  } else if (op == "set-counter") {
    desktop.counterAvailable = boolField(command, "available", WHERE, desktop.counterAvailable);
  } else if (op == "set-pasteboard") {
    desktop.pasteboard = integerField(command, "count", WHERE, 0, INT64_MIN, INT64_MAX);
  } else if (op == "bump-pasteboard") {
    desktop.pasteboard += 1;
  } else if (op == "set-permissions") {
    desktop.accessibilityTrusted =
        boolField(command, "accessibility", WHERE, desktop.accessibilityTrusted);
    desktop.screenCaptureAllowed =
        boolField(command, "screenCapture", WHERE, desktop.screenCaptureAllowed);
  } else if (op == "set-app") {
    setApp(desktop, command);
  } else if (op == "hang" || op == "recover") {
    appFor(desktop, command).hung = op == "hang";
  } else if (op == "add-app") {
    auto given = command.find("app");
    if (given == command.end()) fail(at(WHERE, "app"), "required");
    addApp(desktop, *given, at(WHERE, "app"));
  } else if (op == "remove-app") {
    App& app = appFor(desktop, command);
    std::int32_t pid = app.pid;
    retire(app, app.root);
    desktop.apps.erase(pid);
  } else if (op == "add-process") {
    auto given = command.find("process");
    if (given == command.end()) fail(at(WHERE, "process"), "required");
    auto process = parseProcess(*given, at(WHERE, "process"));
    if (desktop.processes.contains(process.pid)) {
      fail(at(WHERE, "process"), "pid " + std::to_string(process.pid) + " exists");
    }
    desktop.processes[process.pid] = process;
  } else if (op == "set-process") {
    setProcess(desktop, command);
  } else if (op == "remove-process") {
    std::int32_t pid = processFor(desktop, command).pid;
    desktop.processes.erase(pid);
  } else if (op == "set-capture") {
    auto [window, given] = parseCapture(command, WHERE, true);
    desktop.captures[window] = given;
  } else if (op == "set-window-number-lookup") {
    desktop.windowNumberLookup = boolField(command, "available", WHERE, true);
  } else if (op == "set-window-list") {
    desktop.windowListAvailable = boolField(command, "available", WHERE, true);
    auto replacement = command.find("replacement");
    desktop.windowListReplacement = replacement == command.end() || replacement->is_null()
                                        ? std::nullopt
                                        : std::optional<json>(*replacement);
  } else {
    fail(at(WHERE, "op"), "unknown command \"" + op + "\"");
  }
}

json control(const json& command) {
  json reply = json::object();
  if (command.is_object() && command.contains("id")) reply["id"] = command["id"];
  try {
    std::lock_guard<std::mutex> guard(modelLock());
    Desktop& desktop = model();
    applyDue(desktop);
    applyCommand(desktop, command);
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
