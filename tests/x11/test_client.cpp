// A tiny X11 client for the backend's tests. It makes top-level windows on request and keeps
// them until its standard input ends. Commands, one per line:
//   window X Y WIDTH HEIGHT TYPE STATE ENCODING TITLE...   prints the new window's id
//     TYPE normal|dock|utility|override (override-redirect: no manager handles it), STATE
//     none|above|fullscreen, ENCODING utf8 (_NET_WM_NAME) | latin1 (WM_NAME as STRING only)
//   opacity ID FRACTION      sets _NET_WM_WINDOW_OPACITY
//   appid ID TEXT            sets _GTK_APPLICATION_ID
//   iconify ID               asks the manager to minimise the window
//   claimpid ID PID          sets _NET_WM_PID to another process's id
//   unmap ID                 unmaps the window
//   lower ID                 puts the window at the bottom of the stack
// Every window has WM_CLASS "qcu-x11-client", "QcuTestClient" and _NET_WM_PID of this process.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <sstream>
#include <string>

namespace {

Atom atom(Display* display, const char* name) {
  return XInternAtom(display, name, False);
}

void setAtom(Display* display, Window window, const char* property, const char* value) {
  Atom item = atom(display, value);
  XChangeProperty(display, window, atom(display, property), XA_ATOM, 32, PropModeReplace,
                  reinterpret_cast<unsigned char*>(&item), 1);
}

std::string toLatin1(const std::string& utf8) {
  std::string out;
  for (std::size_t i = 0; i < utf8.size(); ++i) {
    auto byte = static_cast<unsigned char>(utf8[i]);
    if (byte >= 0xC2 && byte <= 0xC3 && i + 1 < utf8.size()) {
      out.push_back(static_cast<char>(((byte & 0x03) << 6) | (utf8[++i] & 0x3F)));
    } else {
      out.push_back(static_cast<char>(byte));
    }
  }
  return out;
}

Window makeWindow(Display* display, std::istringstream& args) {
  int x = 0, y = 0;
  unsigned width = 0, height = 0;
  std::string type, state, encoding, title;
  args >> x >> y >> width >> height >> type >> state >> encoding;
  std::getline(args >> std::ws, title);
  XSetWindowAttributes attributes{};
  attributes.background_pixel = WhitePixel(display, DefaultScreen(display));
  attributes.override_redirect = type == "override";
  Window window =
      XCreateWindow(display, DefaultRootWindow(display), x, y, width, height, 0, CopyFromParent,
                    InputOutput, CopyFromParent, CWBackPixel | CWOverrideRedirect, &attributes);
  XSizeHints hints{};
  hints.flags = USPosition | USSize;
  hints.x = x;
  hints.y = y;
  hints.width = static_cast<int>(width);
  hints.height = static_cast<int>(height);
  XSetWMNormalHints(display, window, &hints);
  XClassHint classHint{const_cast<char*>("qcu-x11-client"), const_cast<char*>("QcuTestClient")};
  XSetClassHint(display, window, &classHint);
  long pid = getpid();
  XChangeProperty(display, window, atom(display, "_NET_WM_PID"), XA_CARDINAL, 32, PropModeReplace,
                  reinterpret_cast<unsigned char*>(&pid), 1);
  if (encoding == "latin1") {
    std::string latin = toLatin1(title);
    XChangeProperty(display, window, XA_WM_NAME, XA_STRING, 8, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(latin.data()),
                    static_cast<int>(latin.size()));
  } else {
    XChangeProperty(display, window, atom(display, "_NET_WM_NAME"), atom(display, "UTF8_STRING"), 8,
                    PropModeReplace, reinterpret_cast<const unsigned char*>(title.data()),
                    static_cast<int>(title.size()));
  }
  if (type == "dock") setAtom(display, window, "_NET_WM_WINDOW_TYPE", "_NET_WM_WINDOW_TYPE_DOCK");
  if (type == "utility") {
    setAtom(display, window, "_NET_WM_WINDOW_TYPE", "_NET_WM_WINDOW_TYPE_UTILITY");
  }
  if (state == "above") setAtom(display, window, "_NET_WM_STATE", "_NET_WM_STATE_ABOVE");
  if (state == "fullscreen") {
    setAtom(display, window, "_NET_WM_STATE", "_NET_WM_STATE_FULLSCREEN");
  }
  XMapWindow(display, window);
  XSync(display, False);
  return window;
}

}  // namespace

int main() {
  Display* display = XOpenDisplay(nullptr);
  if (!display) {
    std::cerr << "qcu-x11-client: no display\n";
    return 1;
  }
  std::string line;
  while (std::getline(std::cin, line)) {
    std::istringstream args(line);
    std::string command;
    args >> command;
    if (command == "window") {
      std::cout << makeWindow(display, args) << std::endl;
      continue;
    }
    unsigned long id = 0;
    args >> id;
    auto window = static_cast<Window>(id);
    if (command == "opacity") {
      double fraction = 1;
      args >> fraction;
      unsigned long value = static_cast<unsigned long>(fraction * 4294967295.0);
      XChangeProperty(display, window, atom(display, "_NET_WM_WINDOW_OPACITY"), XA_CARDINAL, 32,
                      PropModeReplace, reinterpret_cast<unsigned char*>(&value), 1);
    } else if (command == "appid") {
      std::string text;
      std::getline(args >> std::ws, text);
      XChangeProperty(display, window, atom(display, "_GTK_APPLICATION_ID"),
                      atom(display, "UTF8_STRING"), 8, PropModeReplace,
                      reinterpret_cast<const unsigned char*>(text.data()),
                      static_cast<int>(text.size()));
    } else if (command == "claimpid") {
      long claimed = 0;
      args >> claimed;
      XChangeProperty(display, window, atom(display, "_NET_WM_PID"), XA_CARDINAL, 32,
                      PropModeReplace, reinterpret_cast<unsigned char*>(&claimed), 1);
    } else if (command == "iconify") {
      XIconifyWindow(display, window, DefaultScreen(display));
    } else if (command == "unmap") {
      XUnmapWindow(display, window);
    } else if (command == "lower") {
      XLowerWindow(display, window);
    }
    XSync(display, False);
    std::cout << "ok" << std::endl;
  }
  XCloseDisplay(display);
  return 0;
}
