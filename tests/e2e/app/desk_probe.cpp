// What the X server and the accessibility registry of the current desktop show, as one JSON
// line, for tests that wait for an application to appear:
//
//   qcu-desk-probe windows   {"manager": bool, "windows": [{"xid", "pid", "title"}]}
//       the managed client windows (_NET_CLIENT_LIST) when a window manager runs, else the
//       mapped top-level windows; pid is _NET_WM_PID (0 when absent)
//   qcu-desk-probe tree PID  {"found": bool, "tree": NODE}, NODE = {"role", "name", "id",
//       "states", "attributes", "children"}: the accessibility tree of the application of PID
//   qcu-desk-probe press PID ID  {"found": bool, "done": bool}: the first action of the element
//       whose accessible id is ID, as an assistive tool presses it
//   qcu-desk-probe screen FILE  {"width", "height"}: the whole screen saved as a PNG file
//
// A separate program, built without sanitizers, so that test processes stay free of GLib's and
// Xlib's threads and caches. Exit status 1 (with a message) when the desktop cannot be reached.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <atspi/atspi.h>
#include <cairo-xlib.h>
#include <cairo.h>

#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace {

using nlohmann::json;

// A property of 32-bit items (delivered as longs by Xlib).
std::vector<unsigned long> cardinals(Display* display, Window window, const char* name, Atom type) {
  Atom actual = None;
  int format = 0;
  unsigned long count = 0, after = 0;
  unsigned char* data = nullptr;
  std::vector<unsigned long> out;
  if (XGetWindowProperty(display, window, XInternAtom(display, name, False), 0, 65536, False, type,
                         &actual, &format, &count, &after, &data) == Success &&
      data && format == 32) {
    auto* items = reinterpret_cast<unsigned long*>(data);
    out.assign(items, items + count);
  }
  if (data) XFree(data);
  return out;
}

std::string title(Display* display, Window window) {
  Atom actual = None;
  int format = 0;
  unsigned long count = 0, after = 0;
  unsigned char* data = nullptr;
  std::string out;
  Atom utf8 = XInternAtom(display, "UTF8_STRING", False);
  if (XGetWindowProperty(display, window, XInternAtom(display, "_NET_WM_NAME", False), 0, 65536,
                         False, utf8, &actual, &format, &count, &after, &data) == Success &&
      data && format == 8) {
    out.assign(reinterpret_cast<char*>(data), count);
  } else {
    char* name = nullptr;
    if (XFetchName(display, window, &name) && name) out = name;
    if (name) XFree(name);
  }
  if (data) XFree(data);
  return out;
}

int listWindows() {
  Display* display = XOpenDisplay(nullptr);
  if (!display) {
    std::cerr << "qcu-desk-probe: cannot open the display\n";
    return 1;
  }
  Window root = DefaultRootWindow(display);
  auto check = cardinals(display, root, "_NET_SUPPORTING_WM_CHECK", XA_WINDOW);
  bool manager = !check.empty();
  std::vector<unsigned long> clients;
  if (manager) {
    clients = cardinals(display, root, "_NET_CLIENT_LIST", XA_WINDOW);
  } else {
    Window rootOut, parent;
    Window* children = nullptr;
    unsigned int count = 0;
    if (XQueryTree(display, root, &rootOut, &parent, &children, &count)) {
      for (unsigned int i = 0; i < count; ++i) {
        XWindowAttributes attributes;
        if (XGetWindowAttributes(display, children[i], &attributes) &&
            attributes.map_state == IsViewable && !attributes.override_redirect) {
          clients.push_back(children[i]);
        }
      }
    }
    if (children) XFree(children);
  }
  json windows = json::array();
  for (unsigned long xid : clients) {
    auto pid = cardinals(display, xid, "_NET_WM_PID", XA_CARDINAL);
    windows.push_back(
        {{"xid", xid}, {"pid", pid.empty() ? 0 : pid[0]}, {"title", title(display, xid)}});
  }
  XCloseDisplay(display);
  std::cout << json{{"manager", manager}, {"windows", windows}}.dump() << "\n";
  return 0;
}

// The root window as the screen shows it, written to path as PNG.
int saveScreen(const char* path) {
  Display* display = XOpenDisplay(nullptr);
  if (!display) {
    std::cerr << "qcu-desk-probe: cannot open the display\n";
    return 1;
  }
  int screen = DefaultScreen(display);
  int width = DisplayWidth(display, screen);
  int height = DisplayHeight(display, screen);
  cairo_surface_t* root = cairo_xlib_surface_create(display, DefaultRootWindow(display),
                                                    DefaultVisual(display, screen), width, height);
  cairo_status_t status = cairo_surface_write_to_png(root, path);
  cairo_surface_destroy(root);
  XCloseDisplay(display);
  if (status != CAIRO_STATUS_SUCCESS) {
    std::cerr << "qcu-desk-probe: cannot write " << path << ": " << cairo_status_to_string(status)
              << "\n";
    return 1;
  }
  std::cout << json{{"width", width}, {"height", height}}.dump() << "\n";
  return 0;
}

std::string take(gchar* text) {
  std::string out = text ? text : "";
  g_free(text);
  return out;
}

json describe(AtspiAccessible* node, int depth) {
  json out = {{"role", take(atspi_accessible_get_role_name(node, nullptr))},
              {"name", take(atspi_accessible_get_name(node, nullptr))},
              {"id", take(atspi_accessible_get_accessible_id(node, nullptr))}};
  json states = json::array();
  if (AtspiStateSet* set = atspi_accessible_get_state_set(node)) {
    GArray* all = atspi_state_set_get_states(set);
    auto* enumClass = static_cast<GEnumClass*>(g_type_class_ref(ATSPI_TYPE_STATE_TYPE));
    for (guint i = 0; all && i < all->len; ++i) {
      if (GEnumValue* v = g_enum_get_value(enumClass, g_array_index(all, gint, i))) {
        states.push_back(v->value_nick);
      }
    }
    g_type_class_unref(enumClass);
    if (all) g_array_free(all, TRUE);
    g_object_unref(set);
  }
  out["states"] = states;
  json attributes = json::object();
  if (GHashTable* table = atspi_accessible_get_attributes(node, nullptr)) {
    GHashTableIter it;
    gpointer key, value;
    g_hash_table_iter_init(&it, table);
    while (g_hash_table_iter_next(&it, &key, &value)) {
      attributes[static_cast<const char*>(key)] = static_cast<const char*>(value);
    }
    g_hash_table_unref(table);
  }
  out["attributes"] = attributes;
  json children = json::array();
  gint count = depth < 64 ? atspi_accessible_get_child_count(node, nullptr) : 0;
  for (gint i = 0; i < count; ++i) {
    if (AtspiAccessible* child = atspi_accessible_get_child_at_index(node, i, nullptr)) {
      children.push_back(describe(child, depth + 1));
      g_object_unref(child);
    }
  }
  out["children"] = children;
  return out;
}

// The application element of pid, or null; the caller unrefs it.
AtspiAccessible* findApp(long pid) {
  AtspiAccessible* desktop = atspi_get_desktop(0);
  AtspiAccessible* found = nullptr;
  gint count = atspi_accessible_get_child_count(desktop, nullptr);
  for (gint i = 0; i < count && !found; ++i) {
    AtspiAccessible* app = atspi_accessible_get_child_at_index(desktop, i, nullptr);
    if (!app) continue;
    if (atspi_accessible_get_process_id(app, nullptr) == static_cast<guint>(pid)) {
      found = app;
    } else {
      g_object_unref(app);
    }
  }
  g_object_unref(desktop);
  return found;
}

// The element under node whose accessible id is id, or null; the caller unrefs it.
AtspiAccessible* findById(AtspiAccessible* node, const std::string& id, int depth) {
  if (take(atspi_accessible_get_accessible_id(node, nullptr)) == id) {
    return static_cast<AtspiAccessible*>(g_object_ref(node));
  }
  gint count = depth < 64 ? atspi_accessible_get_child_count(node, nullptr) : 0;
  AtspiAccessible* found = nullptr;
  for (gint i = 0; i < count && !found; ++i) {
    if (AtspiAccessible* child = atspi_accessible_get_child_at_index(node, i, nullptr)) {
      found = findById(child, id, depth + 1);
      g_object_unref(child);
    }
  }
  return found;
}

int probeApp(long pid, const char* pressId) {
  if (atspi_init() < 0) {
    std::cerr << "qcu-desk-probe: cannot reach the accessibility bus\n";
    return 1;
  }
  atspi_set_timeout(2000, 2000);  // a hung application answers nothing, and not for long
  json out = {{"found", false}};
  if (AtspiAccessible* app = findApp(pid)) {
    if (!pressId) {
      out = {{"found", true}, {"tree", describe(app, 0)}};
    } else if (AtspiAccessible* node = findById(app, pressId, 0)) {
      AtspiAction* action = atspi_accessible_get_action_iface(node);
      out = {{"found", true},
             {"done", action && atspi_action_do_action(action, 0, nullptr) != FALSE}};
      if (action) g_object_unref(action);
      g_object_unref(node);
    }
    g_object_unref(app);
  }
  std::cout << out.dump(-1, ' ', false, json::error_handler_t::replace) << "\n";
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string what = argc > 1 ? argv[1] : "";
  if (what == "windows" && argc == 2) return listWindows();
  if (what == "tree" && argc == 3) return probeApp(std::strtol(argv[2], nullptr, 10), nullptr);
  if (what == "press" && argc == 4) return probeApp(std::strtol(argv[2], nullptr, 10), argv[3]);
  if (what == "screen" && argc == 3) return saveScreen(argv[2]);
  std::cerr << "usage: qcu-desk-probe windows | tree PID | press PID ID | screen FILE\n";
  return 2;
}
