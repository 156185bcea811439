// Synthetic input through the private pair, as a real window on the desktop receives it.
#include <gtest/gtest.h>

#include <X11/Xutil.h>
#include <X11/extensions/XInput2.h>
#include <X11/keysym.h>
#include <unistd.h>

#include <cmath>
#include <string>
#include <vector>

#include "actions/keys.h"
#include "desktop/x11/input.h"
#include "x11/input_fixture.h"

namespace qcu::test {
namespace {

using InputTest = X11InputTest;

TEST_F(InputTest, AClickReachesTheWindowAtItsPointAndLeavesTheUsersPointerAlone) {
  TestWindow window = showWindow(test, 200, 150, 300, 200);
  Window root = None, child = None;
  int coreX = 0, coreY = 0, winX = 0, winY = 0;
  unsigned mask = 0;
  XQueryPointer(test, DefaultRootWindow(test), &root, &child, &coreX, &coreY, &winX, &winY, &mask);

  auto from = source();
  const Point point{200 + 37.6, 150 + 81.2};  // inside pixel (37, 81) of the window
  ASSERT_TRUE(post(from, {platformMakeMouseEvent(from, MouseEventType::Moved, point, 0),
                          platformMakeMouseEvent(from, MouseEventType::LeftDown, point, 0),
                          platformMakeMouseEvent(from, MouseEventType::LeftUp, point, 0)}));

  auto press = window.next({ButtonPress});
  ASSERT_TRUE(press.has_value()) << "no ButtonPress reached the window";
  EXPECT_EQ(press->xbutton.button, 1u);
  EXPECT_EQ(press->xbutton.x, 37);
  EXPECT_EQ(press->xbutton.y, 81);
  auto release = window.next({ButtonRelease});
  ASSERT_TRUE(release.has_value()) << "no ButtonRelease reached the window";
  EXPECT_EQ(release->xbutton.x, 37);

  // The user's pointer did not move; the helper's went back to its corner.
  int afterX = 0, afterY = 0;
  XQueryPointer(test, DefaultRootWindow(test), &root, &child, &afterX, &afterY, &winX, &winY,
                &mask);
  EXPECT_EQ(afterX, coreX);
  EXPECT_EQ(afterY, coreY);
  const int pointer = masterPointerNamed(test, x11::pairName(getpid()));
  ASSERT_NE(pointer, 0) << "the private pair is not there";
  double rootX = 0, rootY = 0, x = 0, y = 0;
  XIButtonState buttons{};
  XIModifierState modifiers{};
  XIGroupState group{};
  XIQueryPointer(test, pointer, DefaultRootWindow(test), &root, &child, &rootX, &rootY, &x, &y,
                 &buttons, &modifiers, &group);
  free(buttons.mask);
  EXPECT_EQ(rootX, DisplayWidth(test, DefaultScreen(test)) - 1);
  EXPECT_EQ(rootY, DisplayHeight(test, DefaultScreen(test)) - 1);
}

TEST_F(InputTest, TheWheelClicksOncePerLineWithTheSignOfEachWheel) {
  TestWindow window = showWindow(test, 100, 100, 200, 200);
  auto from = source();
  auto scroll = [&](std::int32_t vertical, std::int32_t horizontal) {
    return post(from, {platformMakeMouseEvent(from, MouseEventType::Moved, {150, 150}, 0),
                       platformMakeScrollWheel(from, vertical, horizontal)});
  };
  ASSERT_TRUE(scroll(2, 0));
  ASSERT_TRUE(scroll(-1, 0));
  ASSERT_TRUE(scroll(0, 1));
  ASSERT_TRUE(scroll(0, -2));
  ASSERT_TRUE(scroll(0, 0));
  // Each scroll parks the pointer again; a wheel without a move first would land in the corner.
  EXPECT_FALSE(post(from, {platformMakeScrollWheel(from, 1, 0)}));
  std::vector<unsigned> buttons;
  for (int i = 0; i < 6; ++i) {
    auto press = window.next({ButtonPress});
    ASSERT_TRUE(press.has_value()) << "wheel click " << i << " never arrived";
    buttons.push_back(press->xbutton.button);
  }
  // Up is 4, down 5, left 6, right 7.
  EXPECT_EQ(buttons, (std::vector<unsigned>{4, 4, 5, 6, 7, 7}));
}

// What a person pressing the named key on a PC keyboard makes an application see: the keysym
// after the keymap and the modifiers held. Written from the names, not from the product's table.
struct Seen {
  std::string keysym;
  unsigned modifiers = 0;
};
Seen expectedFor(const std::string& name) {
  Seen seen;
  std::string key = name;
  if (key.starts_with("Ctrl+")) {
    seen.modifiers = ControlMask;
    key = key.substr(5);
  } else if (key.starts_with("Shift+")) {
    seen.modifiers = ShiftMask;
    key = key.substr(6);
  }
  if (key.starts_with("Arrow")) key = key.substr(5);
  if (key.size() == 1) key = std::string(1, static_cast<char>(std::tolower(key[0])));
  if (key == "Enter") key = "Return";
  if (key == "Backspace") key = "BackSpace";
  if (key == "PageUp") key = "Prior";
  if (key == "PageDown") key = "Next";
  if (key == "Space") key = "space";
  // Shift turns the Tab key into ISO_Left_Tab: what toolkits bind to focus going backwards.
  if (key == "Tab" && seen.modifiers == ShiftMask) key = "ISO_Left_Tab";
  seen.keysym = key;
  return seen;
}

TEST_F(InputTest, EveryAllowedKeyArrivesAsThatKeyWithItsModifiersHeldAroundIt) {
  TestWindow window = showFrontWindow(test, 100, 100, 200, 200);
  auto from = source();
  const unsigned modifierMask = ShiftMask | ControlMask | Mod1Mask;
  for (const auto& name : allowedKeys()) {
    SCOPED_TRACE(name);
    const auto spec = keySpec(name);
    ASSERT_TRUE(spec.has_value());
    ASSERT_TRUE(post(from, {platformMakeKeyEvent(from, spec->code, true, spec->flags),
                            platformMakeKeyEvent(from, spec->code, false, spec->flags)}));
    const Seen expected = expectedFor(name);
    // Modifier keys first, then the key with them held, then the modifiers up again.
    std::vector<XEvent> events;
    for (;;) {
      auto event = window.next({KeyPress, KeyRelease});
      ASSERT_TRUE(event.has_value()) << "the key never arrived";
      events.push_back(*event);
      KeySym modifierless = XLookupKeysym(&event->xkey, 0);
      const bool isModifier = IsModifierKey(modifierless);
      if (event->type == KeyRelease && (expected.modifiers == 0 ? !isModifier : isModifier)) break;
    }
    int keys = 0;
    for (auto& event : events) {
      char text[8];
      KeySym keysym = NoSymbol;
      XLookupString(&event.xkey, text, sizeof text, &keysym, nullptr);
      if (IsModifierKey(keysym)) continue;
      ++keys;
      const char* keysymName = XKeysymToString(keysym);
      EXPECT_EQ(std::string(keysymName ? keysymName : "?"), expected.keysym);
      EXPECT_EQ(event.xkey.state & modifierMask, expected.modifiers);
    }
    EXPECT_EQ(keys, 2) << "one press and one release of the key itself";
    EXPECT_EQ(events.size(), expected.modifiers ? 4u : 2u);
  }
}

TEST_F(InputTest, WhatCannotBeSentAsAskedIsNeverMade) {
  auto from = source();
  const int width = DisplayWidth(test, DefaultScreen(test));
  const int height = DisplayHeight(test, DefaultScreen(test));
  // Points off the screen would be pulled to its edge by the server.
  for (Point point : {Point{-0.5, 10}, Point{10, -1}, Point{double(width), 10},
                      Point{10, double(height)}, Point{NAN, 10}, Point{10, INFINITY}}) {
    EXPECT_FALSE(platformMakeMouseEvent(from, MouseEventType::LeftDown, point, 0).has_value())
        << point.x << "," << point.y;
  }
  EXPECT_TRUE(platformMakeMouseEvent(from, MouseEventType::LeftDown, {width - 0.5, height - 0.5}, 0)
                  .has_value());
  // A keysym no key of the keymap produces; a modifier no key is pressed for.
  EXPECT_FALSE(platformMakeKeyEvent(from, XK_Greek_OMEGA, true, 0).has_value());
  EXPECT_FALSE(platformMakeKeyEvent(from, XK_a, true, Mod4Mask).has_value());
  EXPECT_FALSE(platformMakeKeyEvent(from, XK_a, true, 1u << 20).has_value());
  EXPECT_FALSE(platformMakeScrollWheel(from, 101, 0).has_value());
  EXPECT_FALSE(platformMakeScrollWheel(from, 0, INT32_MIN).has_value());
  // Nothing is made or posted without the source, nor an event it did not make.
  EXPECT_FALSE(platformMakeKeyEvent(InputSource{}, XK_a, true, 0).has_value());
  auto key = platformMakeKeyEvent(from, XK_a, false, 0);
  ASSERT_TRUE(key.has_value());
  EXPECT_FALSE(platformPostEvent(InputSource{}, *key));
  EXPECT_FALSE(platformPostEvent(from, InputEvent{}));
}

}  // namespace
}  // namespace qcu::test
