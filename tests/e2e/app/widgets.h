// Widgets of the GTK test application built from element descriptions, in the format of the
// simulated desktop's fixtures (docs/sim-desktop.md, "Elements"), and the attribute reads and
// writes the application's commands make on them.
#pragma once

#include <gtk/gtk.h>

#include <map>
#include <stdexcept>
#include <string>

#include <nlohmann/json.hpp>

namespace qcu::app {

// Thrown with a message for the command's answer or the start-up error.
struct AppError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct Node {
  std::string role;             // the element's role, e.g. "AXButton"
  GtkWidget* widget = nullptr;  // what carries the element's accessible object
  GtkWidget* outer = nullptr;   // what was packed into the parent (a scrolled window, or widget)
  GtkWidget* box = nullptr;     // where children go (groups only)
};

// Every element built so far, by id. Elements without an id get "#<n>".
std::map<std::string, Node>& nodes();

// Builds the element and its children into box (a vertical GtkBox) and registers them. The
// element's "press" handler is called with its id when the user or an assistive tool presses it.
void buildNode(const nlohmann::json& element, GtkWidget* box, void (*pressed)(const std::string&));
// Removes the element and its children.
void removeNode(const std::string& id);
const Node& findNode(const std::string& id);

// Sets "AXValue", "AXTitle" or "AXEnabled" of an element from a typed fixture value.
void setAttribute(const std::string& id, const std::string& attribute, const nlohmann::json& value);
// What a test reads back: role, title, value, enabled, focused, and for text areas the
// vertical scroll position {"value", "max"}.
nlohmann::json describeNode(const std::string& id);

}  // namespace qcu::app
