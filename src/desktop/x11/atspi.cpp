// The accessibility functions of the Linux backend, on AT-SPI2.
//
// The accessibility bus is spoken to with GDBus directly (atspi_bus.h), not through libatspi:
// GDBus calls are thread-safe, each carries its own timeout, and asynchronous calls put many
// requests in flight in one round trip's time; libatspi is one call at a time and keeps caches
// of its own whose age it does not tell. GTK's bridge has no one-call snapshot of a tree, so
// every fact of an element is a round trip of its own.
//
// Element handles hold the element's name, its connection's unique bus name and its object path
// (atspi_tree.h); two handles are the same element when the names are equal.
//
// Speed without stale answers: when the children of an element are read, they are added to a
// snapshot as a level with their role, states and child lists fetched in one pipelined burst;
// any other fact first asked of one of them is fetched for the whole level, since a walk asks
// the same of every element (atspi_tree.h). A snapshot serves only the walk that made it: the
// same thread, while it is that thread's newest snapshot, each value for at most 500 ms. Every
// walk of the common code starts from a window or application element, whose children are read
// live and start a new snapshot, so a safety check never reads facts older than the walk that
// asked for them; a stored element read by a later check (its role and label before an action)
// reads live. The application answers calls one after another on its main loop, so it, not the
// helper, sets the pace of a walk: fewer calls is the only speed there is.
//
// Bounds: every call is bounded by the messaging timeout from when it is sent, and a burst keeps
// only a few calls in flight; after an application lets a call time out, calls to it fail at
// once for a short while, so a stopped application costs one timeout and not one per read; the
// registry is asked with a lower bound. Requests that the common code answers on the thread
// that reads requests (a candidate listing, a probe) can thus hold that thread for at most one
// timeout per stopped application.
//
// Windows are the application's frames, dialogs and other top-level windows. There is no window
// number lookup: the common code matches a window element by pid and geometry, and raising or
// making a window element main activates the pid's X window whose frame has the element's
// extents.
#include <atspi/atspi-constants.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "desktop/platform.h"
#include "desktop/x11/atspi_bus.h"
#include "desktop/x11/atspi_tables.h"
#include "desktop/x11/atspi_tree.h"
#include "desktop/x11/window_list.h"

namespace qcu {
namespace {

using namespace x11::atspi;

// Largest difference, in pixels, between a window element's extents and an X frame for the two
// to be the same window.
constexpr double FRAME_TOLERANCE = 2.0;

Call callOn(const Ref& ref, const char* interface, const char* method, Variant arguments,
            const char* replyType) {
  return Call{ref.bus, ref.path, interface, method, std::move(arguments), replyType};
}

Facts live(const Ref& ref, unsigned columns) {
  std::vector<Facts> one(1);
  fetchColumns({ref}, one, {0}, columns);
  return std::move(one[0]);
}

// Whether a combo box holds an editable text: its children read live, then their roles.
bool holdsEditableText(const Ref& ref) {
  Facts combo = live(ref, bit(CHILDREN));
  if (!combo.has(CHILDREN) || combo.children.empty()) return false;
  std::vector<Facts> children(combo.children.size());
  std::vector<std::size_t> all(children.size());
  for (std::size_t i = 0; i < all.size(); ++i)
    all[i] = i;
  fetchColumns(combo.children, children, all, bit(ROLE));
  return std::any_of(children.begin(), children.end(), [](const Facts& child) {
    return child.has(ROLE) && isEditableTextRole(child.role);
  });
}

std::optional<std::string> attributeOf(const Facts& facts, const char* key) {
  auto it = facts.attributes.find(key);
  if (it == facts.attributes.end()) return std::nullopt;
  return it->second;
}

std::optional<AXValue> stateFlag(const Element& element, AtspiStateType state) {
  Facts facts = factsOf(element, bit(STATE));
  if (!facts.has(STATE)) return std::nullopt;
  return AXValue{facts.hasState(state)};
}

std::optional<AXValue> roleOf(const Element& element) {
  Facts facts = factsOf(element, bit(ROLE) | bit(STATE));
  if (!facts.has(ROLE) || !facts.has(STATE)) return std::nullopt;
  const bool editable = facts.role == ATSPI_ROLE_COMBO_BOX && holdsEditableText(element.ref);
  return AXValue{std::string(axRoleOf(facts.role, facts.states, editable))};
}

// The value, reading only what the element's role needs.
std::optional<AXValue> valueOf(const Element& element) {
  Facts facts = factsOf(element, bit(ROLE) | bit(STATE));
  if (!facts.has(ROLE)) return std::nullopt;
  unsigned more = 0;
  if (facts.role == ATSPI_ROLE_COMBO_BOX) more |= bit(PROPS);
  if (textIsValue(facts.role)) more |= bit(TEXT);
  if (hasNumericValue(facts.role)) more |= bit(NUMBER);
  if (more) facts = factsOf(element, bit(ROLE) | bit(STATE) | more);
  return axValueOf(facts);
}

std::vector<AXElement> handlesOf(const std::vector<Ref>& refs) {
  std::vector<AXElement> handles;
  handles.reserve(refs.size());
  for (const Ref& ref : refs)
    handles.push_back(makeElement(ref));
  return handles;
}

// The application's windows: its children of a window role, read live.
std::optional<AXValue> windowsOf(const Element& application) {
  Facts facts = live(application.ref, bit(CHILDREN));
  if (!facts.has(CHILDREN)) return std::nullopt;
  std::vector<Facts> children(facts.children.size());
  std::vector<std::size_t> all(children.size());
  for (std::size_t i = 0; i < all.size(); ++i)
    all[i] = i;
  fetchColumns(facts.children, children, all, bit(ROLE));
  std::vector<Ref> windows;
  for (std::size_t i = 0; i < children.size(); ++i) {
    if (children[i].has(ROLE) && isWindowRole(children[i].role))
      windows.push_back(facts.children[i]);
  }
  return AXValue{handlesOf(windows)};
}

// The element of the application with the focused state: one Collection query on the
// application element.
std::optional<AXValue> focusedOf(const Element& application) {
  const std::uint64_t focused = std::uint64_t{1} << ATSPI_STATE_FOCUSED;
  GVariantBuilder states;
  g_variant_builder_init(&states, G_VARIANT_TYPE("ai"));
  g_variant_builder_add(&states, "i", static_cast<gint32>(focused & 0xffffffffu));
  g_variant_builder_add(&states, "i", static_cast<gint32>(focused >> 32));
  GVariantBuilder attributes;
  g_variant_builder_init(&attributes, G_VARIANT_TYPE("a{ss}"));
  GVariantBuilder roles;
  g_variant_builder_init(&roles, G_VARIANT_TYPE("ai"));
  GVariantBuilder interfaces;
  g_variant_builder_init(&interfaces, G_VARIANT_TYPE("as"));
  GVariant* rule =
      g_variant_new("(aiia{ss}iaiiasib)", &states, ATSPI_Collection_MATCH_ALL, &attributes,
                    ATSPI_Collection_MATCH_ALL, &roles, ATSPI_Collection_MATCH_ALL, &interfaces,
                    ATSPI_Collection_MATCH_ALL, FALSE);
  Variant reply = callOne(callOn(
      application.ref, COLLECTION_INTERFACE, "GetMatches",
      own(g_variant_new("(@(aiia{ss}iaiiasib)uib)", rule,
                        static_cast<guint32>(ATSPI_Collection_SORT_ORDER_CANONICAL), 1, TRUE)),
      "(a(so))"));
  if (!reply) return std::nullopt;
  GVariant* list = g_variant_get_child_value(reply.get(), 0);
  std::optional<AXValue> found;
  if (g_variant_n_children(list) > 0) {
    const char* bus = nullptr;
    const char* path = nullptr;
    g_variant_get_child(list, 0, "(&s&o)", &bus, &path);
    found = AXValue{makeElement(Ref{bus, path})};
  }
  g_variant_unref(list);
  return found;
}

// The first selection, else the caret as an empty range.
std::optional<AXValue> selectedRangeOf(const Element& element) {
  Variant selection = callOne(
      callOn(element.ref, TEXT_INTERFACE, "GetSelection", own(g_variant_new("(i)", 0)), "(ii)"));
  if (selection) {
    gint32 start = 0, end = 0;
    g_variant_get(selection.get(), "(ii)", &start, &end);
    if (end > start && start >= 0) return AXValue{TextRange{start, end - start}};
  }
  Variant caret = callOne(callOn(element.ref, PROPERTIES, "Get",
                                 own(g_variant_new("(ss)", TEXT_INTERFACE, "CaretOffset")), "(v)"));
  if (!caret) return std::nullopt;
  GVariant* boxed = nullptr;
  g_variant_get(caret.get(), "(v)", &boxed);
  std::optional<AXValue> range;
  if (g_variant_is_of_type(boxed, G_VARIANT_TYPE_INT32) && g_variant_get_int32(boxed) >= 0) {
    range = AXValue{TextRange{g_variant_get_int32(boxed), 0}};
  }
  g_variant_unref(boxed);
  return range;
}

bool near(double a, double b) {
  return std::fabs(a - b) <= FRAME_TOLERANCE;
}

// The X window of a window element: the one window of the element's process whose frame has the
// element's extents; none when there is no such window or more than one.
std::optional<x11::WindowFacts> xWindowOf(const Element& element) {
  Facts facts = live(element.ref, bit(ROLE) | bit(EXTENTS));
  if (!facts.has(ROLE) || !isWindowRole(facts.role) || !facts.extents) return std::nullopt;
  const auto pid = processOf(element.ref.bus);
  if (!pid) return std::nullopt;
  const auto rows = x11::listWindows();
  if (!rows) return std::nullopt;
  std::optional<x11::WindowFacts> match;
  for (const auto& row : *rows) {
    if (row.pid != *pid) continue;
    const Rect& b = row.bounds;
    const Rect& e = *facts.extents;
    if (near(b.x, e.x) && near(b.y, e.y) && near(b.width, e.width) && near(b.height, e.height)) {
      if (match) return std::nullopt;
      match = row;
    }
  }
  return match;
}

bool activate(const Element& element) {
  const auto window = xWindowOf(element);
  return window && x11::activateWindow(*window);
}

bool replyTrue(const Variant& reply) {
  if (!reply) return false;
  gboolean done = FALSE;
  g_variant_get(reply.get(), "(b)", &done);
  return done;
}

bool setText(const Element& element, const std::string& text) {
  Facts facts = live(element.ref, bit(IFACES) | bit(STATE));
  if (!facts.has(IFACES) || !facts.has(STATE) || !facts.hasInterface(EDITABLE_TEXT_INTERFACE) ||
      !facts.hasState(ATSPI_STATE_EDITABLE)) {
    return false;
  }
  Variant reply = callOne(callOn(element.ref, EDITABLE_TEXT_INTERFACE, "SetTextContents",
                                 own(g_variant_new("(s)", text.c_str())), "(b)"));
  if (!replyTrue(reply)) return false;
  // The toolkit may refuse or alter the text without saying so: the text read back decides.
  Variant readBack = callOne(
      callOn(element.ref, TEXT_INTERFACE, "GetText", own(g_variant_new("(ii)", 0, -1)), "(s)"));
  if (!readBack) return false;
  const char* now = nullptr;
  g_variant_get(readBack.get(), "(&s)", &now);
  return now && text == now;
}

bool setNumber(const Element& element, double number) {
  Facts facts = live(element.ref, bit(ROLE) | bit(STATE) | bit(IFACES));
  if (!valueSettable(facts) || facts.hasInterface(EDITABLE_TEXT_INTERFACE)) return false;
  Variant reply = callOne(callOn(
      element.ref, PROPERTIES, "Set",
      own(g_variant_new("(ssv)", VALUE_INTERFACE, "CurrentValue", g_variant_new_double(number))),
      nullptr));
  if (!reply) return false;
  Facts after = live(element.ref, bit(NUMBER));
  return after.number && *after.number == number;
}

}  // namespace

void platformSetMessagingTimeout(double seconds) {
  setTimeout(seconds);
}

std::optional<AXElement> platformApplicationElement(std::int32_t pid) {
  if (pid <= 0) return std::nullopt;
  Variant reply = callRegistry(
      Call{REGISTRY, ROOT_PATH, ACCESSIBLE_INTERFACE, "GetChildren", nullptr, "(a(so))"});
  if (!reply) return std::nullopt;
  GVariant* list = g_variant_get_child_value(reply.get(), 0);
  std::optional<AXElement> found;
  GVariantIter iter;
  g_variant_iter_init(&iter, list);
  const char* bus = nullptr;
  const char* path = nullptr;
  while (g_variant_iter_next(&iter, "(&s&o)", &bus, &path)) {
    if (processOf(bus) == pid) {
      found = makeElement(Ref{bus, path});
      break;
    }
  }
  g_variant_unref(list);
  return found;
}

std::optional<AXValue> platformCopyAttribute(const AXElement& handle, std::string_view name) {
  const Element* element = elementOf(handle);
  if (!element) return std::nullopt;
  if (name == "AXRole") return roleOf(*element);
  if (name == "AXChildren") {
    auto children = childrenOf(*element);
    if (!children) return std::nullopt;
    return AXValue{std::move(*children)};
  }
  if (name == "AXSubrole") {
    Facts facts = factsOf(*element, bit(ROLE));
    if (!facts.has(ROLE)) return std::nullopt;
    auto subrole = axSubroleOf(facts.role);
    if (!subrole) return std::nullopt;
    return AXValue{std::string(*subrole)};
  }
  if (name == "AXTitle" || name == "AXDescription" || name == "AXHelp" || name == "AXIdentifier") {
    Facts facts = factsOf(*element, bit(PROPS));
    if (!facts.has(PROPS)) return std::nullopt;
    std::optional<std::string> text;
    if (name == "AXTitle") {
      text = facts.name;
    } else if (name == "AXDescription") {
      text = facts.description;
    } else if (name == "AXHelp") {
      text = facts.helpText;
    } else if (!facts.accessibleId.empty()) {
      text = facts.accessibleId;
    } else {
      text = attributeOf(factsOf(*element, bit(ATTRIBUTES)), "id");
    }
    if (!text) return std::nullopt;
    return AXValue{std::move(*text)};
  }
  if (name == "AXPlaceholderValue") {
    Facts facts = factsOf(*element, bit(ATTRIBUTES));
    auto text = attributeOf(facts, "placeholder-text");
    if (!text) return std::nullopt;
    return AXValue{std::move(*text)};
  }
  if (name == "AXValue") return valueOf(*element);
  if (name == "AXEnabled") {
    Facts facts = factsOf(*element, bit(STATE));
    if (!facts.has(STATE)) return std::nullopt;
    return AXValue{facts.hasState(ATSPI_STATE_ENABLED) && facts.hasState(ATSPI_STATE_SENSITIVE)};
  }
  if (name == "AXSelected") return stateFlag(*element, ATSPI_STATE_SELECTED);
  if (name == "AXFocused") return stateFlag(*element, ATSPI_STATE_FOCUSED);
  if (name == "AXMain") return stateFlag(*element, ATSPI_STATE_ACTIVE);
  if (name == "AXPosition" || name == "AXSize") {
    Facts facts = factsOf(*element, bit(EXTENTS));
    if (!facts.extents) return std::nullopt;
    if (name == "AXPosition") return AXValue{Point{facts.extents->x, facts.extents->y}};
    return AXValue{Size{facts.extents->width, facts.extents->height}};
  }
  if (name == "AXWindows") return windowsOf(*element);
  if (name == "AXFocusedUIElement") return focusedOf(*element);
  if (name == "AXSelectedTextRange") return selectedRangeOf(*element);
  return std::nullopt;
}

// "AXPress" for the first action named click, press, activate or toggle, "AXRaise" for windows,
// then the element's own action names.
std::optional<std::vector<std::string>> platformActionNames(const AXElement& handle) {
  const Element* element = elementOf(handle);
  if (!element) return std::nullopt;
  // An element without actions answers the actions call with an error: no actions.
  Facts facts = factsOf(*element, bit(ROLE) | bit(ACTIONS));
  if (!facts.has(ROLE)) return std::nullopt;
  std::vector<std::string> names;
  if (pressActionIndex(facts.actions)) names.emplace_back("AXPress");
  if (isWindowRole(facts.role)) names.emplace_back("AXRaise");
  names.insert(names.end(), facts.actions.begin(), facts.actions.end());
  return names;
}

std::optional<bool> platformIsSettable(const AXElement& handle, std::string_view name) {
  const Element* element = elementOf(handle);
  if (!element) return std::nullopt;
  Facts facts = factsOf(*element, bit(ROLE) | bit(STATE) | bit(IFACES));
  if (!facts.has(ROLE) || !facts.has(STATE) || !facts.has(IFACES)) return std::nullopt;
  if (name == "AXValue") return valueSettable(facts);
  if (name == "AXFocused") {
    return facts.hasInterface(COMPONENT_INTERFACE) && facts.hasState(ATSPI_STATE_FOCUSABLE);
  }
  if (name == "AXMain") return isWindowRole(facts.role);
  return false;
}

bool platformSetAttribute(const AXElement& handle, std::string_view name, const AXValue& value) {
  const Element* element = elementOf(handle);
  if (!element) return false;
  if (name == "AXValue") {
    if (const auto* text = std::get_if<std::string>(&value)) return setText(*element, *text);
    if (const auto* real = std::get_if<double>(&value)) return setNumber(*element, *real);
    if (const auto* integer = std::get_if<std::int64_t>(&value)) {
      return setNumber(*element, static_cast<double>(*integer));
    }
    return false;
  }
  const auto* flag = std::get_if<bool>(&value);
  // Only turning these on means anything: focus and activation cannot be given away.
  if (!flag || !*flag) return false;
  if (name == "AXFocused") {
    return replyTrue(
        callOne(callOn(element->ref, COMPONENT_INTERFACE, "GrabFocus", nullptr, "(b)")));
  }
  if (name == "AXMain") return activate(*element);
  return false;
}

bool platformPerformAction(const AXElement& handle, std::string_view action) {
  const Element* element = elementOf(handle);
  if (!element) return false;
  if (action == "AXRaise") return activate(*element);
  if (action != "AXPress") return false;
  // Read live: the index must be the one of the element as it is now.
  Facts facts = live(element->ref, bit(ACTIONS));
  const auto index = pressActionIndex(facts.actions);
  if (!facts.has(ACTIONS) || !index) return false;
  return replyTrue(callOne(callOn(element->ref, ACTION_INTERFACE, "DoAction",
                                  own(g_variant_new("(i)", static_cast<gint32>(*index))), "(b)")));
}

bool platformHasWindowNumberLookup() {
  return false;
}

std::optional<std::uint32_t> platformWindowNumberOfElement(const AXElement&) {
  return std::nullopt;
}

bool platformSameElement(const AXElement& a, const AXElement& b) {
  const Element* first = elementOf(a);
  const Element* second = elementOf(b);
  if (!first || !second) return false;
  return first->ref == second->ref;
}

}  // namespace qcu
