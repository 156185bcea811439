// The GTK 3 test application of the end-to-end tests.
//
//   qcu-test-app [--fixture FILE] [--app PID]
//
// Builds the windows of one application of a simulated-desktop fixture (the first, or the one
// with that pid) as real GTK windows, then takes one JSON command a line on standard input and
// answers each with one JSON line on standard output, like the simulated desktop's control
// commands: {"op": ..., "id": ...} -> {"ok": true, "id": ...} or {"ok": false, "error": ...}.
// At start it prints {"event": "ready", "pid": ..., "windows": [{"number", "xid", "title"}]}.
// End of input quits, so the application never outlives the test that drives it.
//
// Commands ("number" names a window by its fixture number, "node" an element by its id):
//   ping; quit
//   retitle {number, title}; open-window {number, title, bounds, children}; close-window {number}
//   add-node {node, parent | number}; remove-node {node}
//   add-buttons {count, number, columns}: buttons "button-1".. labelled "Button 1"..
//   set-attribute {node, attribute: AXValue | AXTitle | AXEnabled, value}; get {node}
//   focus {node}; hang {seconds}: answers, then blocks the main loop that long
//   add-effect {effect}: a fixture effect, after the others (press triggers only)
//   input {types}: the user's own input, played with xdotool through the server's core devices
//     (a key when types holds a key event, 10 or 11, else a small pointer move), finished at the
//     server before the command answers or the effect goes on
// A "press" effect of the fixture (the user or an assistive tool clicks the element) applies
// its commands here too, so "input" in a press effect lands inside the presser's commit; other
// triggers and desktop-wide commands belong to a real desktop.
#include <gdk/gdkx.h>
#include <gtk/gtk.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "widgets.h"

namespace qcu::app {
namespace {

using nlohmann::json;

struct Window {
  GtkWidget* window = nullptr;
  GtkWidget* box = nullptr;
};

std::map<long, Window> windows;      // by fixture window number
json pressEffects = json::object();  // element id -> commands, from the fixture's effects
std::int64_t fixturePid = 0;
int applying = 0;  // commands being applied: their own presses set off no effects

void emit(const json& message) {
  std::string line = message.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
  fwrite(line.data(), 1, line.size(), stdout);
  fflush(stdout);
}

unsigned long xidOf(GtkWidget* window) {
  GdkWindow* gdk = gtk_widget_get_window(window);
  return gdk ? gdk_x11_window_get_xid(gdk) : 0;
}

Window& findWindow(const json& command) {
  long number = command.at("number").get<long>();
  auto it = windows.find(number);
  if (it == windows.end()) throw AppError("no window " + std::to_string(number));
  return it->second;
}

json apply(const json& command);

// Keeps the commands of an effect with a press trigger for the element it names.
void addPressEffect(const json& effect) {
  const json& trigger = effect.at("on");
  if (!trigger.contains("press")) throw AppError("only press effects apply here");
  std::string node = trigger["press"].at("node").get<std::string>();
  for (const json& command : effect.value("commands", json::array())) {
    if (!command.is_object() || !command.contains("op")) throw AppError("a command needs an op");
    pressEffects[node].push_back(command);
  }
}

void pressed(const std::string& id) {
  if (applying > 0 || !pressEffects.contains(id)) return;
  for (const json& command : pressEffects[id]) {
    if (command.contains("pid") && command["pid"] != fixturePid) continue;
    apply(command);
  }
}

void forgetWindow(GtkWidget*, gpointer number) {
  windows.erase(static_cast<long>(reinterpret_cast<std::intptr_t>(number)));
}

json openWindow(long number, const std::string& title, const json& bounds, const json& children) {
  if (windows.count(number)) throw AppError("window " + std::to_string(number) + " exists");
  Window w;
  w.window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  gtk_window_set_title(GTK_WINDOW(w.window), title.c_str());
  if (bounds.is_array() && bounds.size() == 4) {
    gtk_window_move(GTK_WINDOW(w.window), bounds[0].get<int>(), bounds[1].get<int>());
    gtk_window_set_default_size(GTK_WINDOW(w.window), bounds[2].get<int>(), bounds[3].get<int>());
  } else {
    gtk_window_set_default_size(GTK_WINDOW(w.window), 480, 360);
  }
  w.box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 4);
  gtk_container_set_border_width(GTK_CONTAINER(w.box), 8);
  gtk_container_add(GTK_CONTAINER(w.window), w.box);
  g_signal_connect(w.window, "destroy", G_CALLBACK(forgetWindow),
                   reinterpret_cast<gpointer>(static_cast<std::intptr_t>(number)));
  windows[number] = w;
  for (const json& child : children)
    buildNode(child, w.box, pressed);
  gtk_widget_show_all(w.window);
  return {{"number", number}, {"xid", xidOf(w.window)}, {"title", title}};
}

void addButtons(const json& command) {
  Window& w = findWindow(command);
  int count = command.at("count").get<int>();
  int columns = command.value("columns", 20);
  if (count < 1 || count > 5000 || columns < 1) throw AppError("count or columns out of range");
  int first = 1;
  while (nodes().count("button-" + std::to_string(first)))
    ++first;  // a second batch goes on
  // Rows of buttons straight in the window's box: no wrapper per button, so that the buttons are
  // nearly all the accessibility tree holds, as in a real toolbar or keypad.
  GtkWidget* row = nullptr;
  for (int i = 0; i < count; ++i) {
    if (i % columns == 0) {
      row = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 0);
      gtk_box_pack_start(GTK_BOX(w.box), row, FALSE, FALSE, 0);
    }
    int n = first + i;
    buildNode({{"id", "button-" + std::to_string(n)},
               {"role", "AXButton"},
               {"title", "Button " + std::to_string(n)}},
              row, pressed);
    gtk_widget_show(row);
  }
}

// Plays the user's physical input with xdotool, which waits for the server before it exits.
void userInput(const json& types) {
  bool key = false;
  for (const json& type : types)
    key = key || type == 10 || type == 11;
  std::vector<const char*> argv = {"xdotool"};
  if (key) {
    argv.insert(argv.end(), {"key", "shift"});
  } else {
    argv.insert(argv.end(), {"mousemove_relative", "--", "1", "1"});
  }
  argv.push_back(nullptr);
  gint status = 0;
  GError* error = nullptr;
  if (!g_spawn_sync(nullptr, const_cast<gchar**>(argv.data()), nullptr, G_SPAWN_SEARCH_PATH,
                    nullptr, nullptr, nullptr, nullptr, &status, &error)) {
    std::string message = error ? error->message : "xdotool did not start";
    g_clear_error(&error);
    throw AppError(message);
  }
  if (!g_spawn_check_wait_status(status, nullptr)) throw AppError("xdotool failed");
}

json apply(const json& command) {
  ++applying;
  struct Leave {
    ~Leave() { --applying; }
  } leave;
  std::string op = command.at("op").get<std::string>();
  json answer = {{"ok", true}};
  if (op == "ping") {
  } else if (op == "retitle") {
    gtk_window_set_title(GTK_WINDOW(findWindow(command).window),
                         command.at("title").get<std::string>().c_str());
  } else if (op == "open-window") {
    answer["window"] = openWindow(
        command.at("number").get<long>(), command.value("title", std::string("Second window")),
        command.value("bounds", json()), command.value("children", json::array()));
  } else if (op == "close-window") {
    gtk_widget_destroy(findWindow(command).window);
  } else if (op == "add-node") {
    GtkWidget* box = command.contains("parent") ? findNode(command["parent"].get<std::string>()).box
                                                : findWindow(command).box;
    if (!box) throw AppError("the parent holds no children");
    buildNode(command.at("node"), box, pressed);
  } else if (op == "remove-node") {
    removeNode(command.at("node").get<std::string>());
  } else if (op == "add-buttons") {
    addButtons(command);
  } else if (op == "set-attribute") {
    setAttribute(command.at("node").get<std::string>(), command.at("attribute").get<std::string>(),
                 command.at("value"));
  } else if (op == "get") {
    answer.update(describeNode(command.at("node").get<std::string>()));
  } else if (op == "focus") {
    GtkWidget* widget = findNode(command.at("node").get<std::string>()).widget;
    gtk_window_present(GTK_WINDOW(gtk_widget_get_toplevel(widget)));
    gtk_widget_grab_focus(widget);
  } else if (op == "hang") {
    double seconds = command.at("seconds").get<double>();
    if (seconds < 0 || seconds > 600) throw AppError("seconds out of range");
    answer["id"] = command.value("id", json());
    emit(answer);  // answered first: the caller learns when the hang begins
    g_usleep(static_cast<gulong>(seconds * 1e6));
    return json();
  } else if (op == "add-effect") {
    addPressEffect(command.at("effect"));
  } else if (op == "input") {
    userInput(command.at("types"));
  } else if (op == "quit") {
    gtk_main_quit();
  } else {
    throw AppError("unknown op " + op);
  }
  return answer;
}

void handleLine(const std::string& line) {
  if (line.find_first_not_of(" \t\r") == std::string::npos) return;
  json id;
  json answer;
  try {
    json command = json::parse(line);
    if (!command.is_object()) throw AppError("a command is a JSON object");
    id = command.value("id", json());
    answer = apply(command);
  } catch (const std::exception& error) {  // AppError, or the JSON library's
    answer = {{"ok", false}, {"error", error.what()}};
  }
  if (answer.is_null()) return;  // answered already
  if (!id.is_null()) answer["id"] = id;
  emit(answer);
}

gboolean onInput(GIOChannel* channel, GIOCondition, gpointer) {
  gchar* text = nullptr;
  gsize length = 0;
  GIOStatus status = g_io_channel_read_line(channel, &text, &length, nullptr, nullptr);
  if (status == G_IO_STATUS_NORMAL) {
    handleLine(std::string(text, length));
    g_free(text);
    return TRUE;
  }
  g_free(text);
  if (status == G_IO_STATUS_AGAIN) return TRUE;
  gtk_main_quit();  // end of input or an error: the driver is gone
  return FALSE;
}

json loadFixture(const std::string& path, std::int64_t wantedPid) {
  std::ifstream in(path);
  if (!in) throw AppError(path + ": cannot be read");
  json desktop = json::parse(in);
  for (const json& app : desktop.value("apps", json::array())) {
    if (wantedPid == 0 || app.value("pid", 0) == wantedPid) {
      json rows = json::object();
      for (const json& row : desktop.value("windows", json::array())) {
        if (row.contains("number")) rows[row["number"].dump()] = row;
      }
      return {{"app", app}, {"rows", rows}, {"effects", desktop.value("effects", json::array())}};
    }
  }
  throw AppError(path + ": no such application");
}

void buildFixture(const json& fixture) {
  fixturePid = fixture["app"].value("pid", 0);
  for (const json& effect : fixture["effects"]) {
    const json& trigger = effect.value("on", json::object());
    if (!trigger.contains("press") || trigger["press"].value("pid", 0) != fixturePid) continue;
    addPressEffect(effect);
  }
  long next = 1;
  for (const json& element : fixture["app"].value("windows", json::array())) {
    long number = element.value("window", next);
    next = number + 1;
    json row = fixture["rows"].value(std::to_string(number), json::object());
    std::string title = element.value("title", row.value("title", std::string()));
    openWindow(number, title, row.value("bounds", json()),
               element.value("children", json::array()));
  }
}

}  // namespace
}  // namespace qcu::app

int main(int argc, char** argv) {
  using namespace qcu::app;
  gtk_init(&argc, &argv);
  std::string fixturePath;
  std::int64_t appPid = 0;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--fixture" && i + 1 < argc) {
      fixturePath = argv[++i];
    } else if (arg == "--app" && i + 1 < argc) {
      appPid = std::stoll(argv[++i]);
    } else {
      std::cerr << "usage: qcu-test-app [--fixture FILE] [--app PID]\n";
      return 2;
    }
  }
  try {
    if (fixturePath.empty()) {
      openWindow(1, "Test application", nullptr, nlohmann::json::array());
    } else {
      buildFixture(loadFixture(fixturePath, appPid));
    }
  } catch (const std::exception& error) {
    std::cerr << "qcu-test-app: " << error.what() << "\n";
    return 2;
  }
  nlohmann::json built = nlohmann::json::array();
  for (auto& [number, w] : windows) {
    built.push_back({{"number", number},
                     {"xid", xidOf(w.window)},
                     {"title", gtk_window_get_title(GTK_WINDOW(w.window))}});
  }
  emit({{"event", "ready"}, {"pid", static_cast<long>(getpid())}, {"windows", built}});

  GIOChannel* input = g_io_channel_unix_new(0);
  g_io_channel_set_encoding(input, nullptr, nullptr);  // bytes: a bad line gets an answer
  g_io_add_watch(input, GIOCondition(G_IO_IN | G_IO_HUP | G_IO_ERR), onInput, nullptr);
  gtk_main();
  return 0;
}
