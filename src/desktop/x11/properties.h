// Window property readers on a connection the caller holds. A missing property, a window that
// is gone and a property of another type all read as no value.
#pragma once

#include <X11/Xlib.h>

#include <optional>
#include <string>
#include <vector>

namespace qcu::x11 {

// Decoding of property values already read: text of any supported encoding as well-formed UTF-8
// (none when the encoding is not one of them), and the class part of a WM_CLASS value.
std::optional<std::string> decodeText(Display* display, Atom type, const std::string& bytes);
std::string decodeClass(const std::string& bytes);

// The 32-bit items of a property of the given type (ATOM, WINDOW, CARDINAL); empty when absent.
std::vector<unsigned long> readItems(Display* display, Window window, Atom property, Atom type);
std::optional<unsigned long> readCardinal(Display* display, Window window, Atom property);
// A text property as well-formed UTF-8, whatever its encoding (UTF8_STRING, Latin-1 STRING,
// COMPOUND_TEXT); none when absent or unreadable.
std::optional<std::string> readText(Display* display, Window window, Atom property);
// The title: _NET_WM_NAME, else WM_NAME; empty when neither reads.
std::string windowTitle(Display* display, Window window);
// The class part of WM_CLASS (the application's class name); empty when absent.
std::string windowClass(Display* display, Window window);

}  // namespace qcu::x11
