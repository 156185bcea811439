// The simulated desktop's in-memory model. Internal to the simulated backend: the common code
// never sees it, tests reach it only through sim.h.
//
// Everything lives in one Desktop value behind one mutex. Platform functions take the mutex for
// short steps only: never while sleeping for a slow application and never while running a
// test hook, so a hook or the control thread may change the desktop at any moment.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include <nlohmann/json.hpp>

#include "desktop/platform.h"
#include "desktop/sim/sim.h"

namespace qcu::sim {

using nlohmann::json;
using SteadyClock = std::chrono::steady_clock;

// A bad description or control command; the message names the offending place.
struct DescriptionError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct Node;

// A reference to another element of the same application, by its fixture id. Resolved when
// read, so a removed element simply drops out.
struct NodeRef {
  std::string id;
};
struct NodeRefs {
  std::vector<std::string> ids;
};

// An attribute value as stored; elements are held by id, never owned, so trees stay acyclic.
using Value = std::variant<AXOther, std::string, bool, std::int64_t, double, Point, Size, TextRange,
                           NodeRef, NodeRefs, std::vector<std::string>>;

// What an application does with an "AXValue" the helper sets.
enum class ValueResult {
  Store,      // stores it as given
  Refuse,     // the set fails; nothing is stored
  Ignore,     // the set succeeds; the value stays as it was
  Uppercase,  // stores it upper-cased, as an application that reformats its input
};
struct ValueSetting {
  double delay = 0;  // seconds the set takes, after the application's own delay
  ValueResult result = ValueResult::Store;
};

// One accessibility element.
struct Node {
  std::int32_t pid = 0;  // owning application; fixed at creation
  std::string id;        // fixture id, unique within the application, may be empty; fixed
  bool alive = true;     // false once removed from its tree: every read then fails
  // Explicit attributes. A present key with no value reads as no value and hides a derived one.
  std::map<std::string, std::optional<Value>, std::less<>> attributes;
  std::vector<std::shared_ptr<Node>> windows;   // "AXWindows" (the application element only)
  std::vector<std::shared_ptr<Node>> children;  // "AXChildren" follows the windows
  std::weak_ptr<Node> parent;
  std::vector<std::string> actions;
  std::set<std::string, std::less<>> settable;
  // The window number the lookup answers; also ties the element's frame to that window row.
  std::optional<std::uint32_t> window;
  ValueSetting valueSetting;  // for sets of "AXValue"
};

enum class Activation { Honoured, Ignored, Late, Refused };

struct App {
  std::int32_t pid = 0;
  std::optional<std::string> executablePath;
  std::optional<std::string> localizedName;
  std::optional<std::string> bundleIdentifier;
  // The app belongs to a real process (for example the owner): no simulated process is made.
  bool realProcess = false;
  Activation activation = Activation::Honoured;
  double activationDelay = 0.3;  // seconds, for Activation::Late
  double delay = 0;              // seconds every accessibility call takes
  bool hung = false;             // no accessibility call is answered
  std::shared_ptr<Node> root;    // the application element
  std::map<std::string, std::weak_ptr<Node>, std::less<>> ids;
};

// Start times stay within a few thousand years of 1970, as real ones do (zero and negative ones
// are allowed, to model unreadable records).
constexpr std::int64_t MAX_START_SECONDS = 100'000'000'000;

struct Process {
  std::int32_t pid = 0;
  std::int64_t startSeconds = 1'700'000'000;
  std::int64_t startMicroseconds = 0;
  bool alive = true;
  bool startReadable = true;
};

// How a window answers a capture. A capture that hands over pixels writes no file: its garbage
// is pixels too few for the picture's size, and "missing" hands over none.
enum class CaptureResult {
  Picture,  // a PNG picture
  Fail,     // ends with a non-zero status, leaving an empty file
  Garbage,  // ends with status 0 after writing bytes that are no PNG
  Missing,  // ends with status 0 without a file
};
enum class PictureContent {
  Plain,     // one colour: the smallest encoding
  Gradient,  // smooth colour changes, like ordinary window content
  Busy,      // noise: the largest encoding
};
struct CaptureSetup {
  CaptureResult result = CaptureResult::Picture;
  // Pixel size of the picture; by default the size of the window row's bounds.
  std::optional<std::int64_t> width;
  std::optional<std::int64_t> height;
  PictureContent content = PictureContent::Gradient;
  double seconds = 0;   // how long the capture runs
  int exitStatus = 1;   // for CaptureResult::Fail
  bool pixels = false;  // hands the picture over as pixels instead of writing the file
};

// A change that takes effect at a chosen moment; applied by the first platform call after it.
struct Scheduled {
  SteadyClock::time_point due;
  std::function<void(struct Desktop&)> apply;
};

// What sets an effect off: a press of an element (by action or by a click on it), a key-down
// with exactly these flags, an applied "AXValue" set, or any posted event of one type.
struct Trigger {
  enum class Kind { Press, Key, SetValue, Event };
  Kind kind = Kind::Event;
  std::int32_t pid = 0;       // Press, SetValue
  std::string node;           // Press, SetValue: the element's id
  std::uint32_t keyCode = 0;  // Key
  std::uint64_t flags = 0;    // Key
  std::string event;          // Event: a posted event type name
};

// Control commands the desktop applies, in order, each time its trigger happens: at once when
// after is 0, otherwise after that many seconds.
struct Effect {
  Trigger on;
  double after = 0;
  std::vector<json> commands;
};

struct Desktop {
  std::map<std::int32_t, Process> processes;
  std::map<std::int32_t, App> apps;
  std::vector<json> windows;  // raw window-list rows, front to back
  bool windowListAvailable = true;
  std::optional<json> windowListReplacement;
  std::optional<json> session;
  bool accessibilityTrusted = true;
  bool screenCaptureAllowed = true;
  std::int64_t pasteboard = 0;
  bool counterAvailable = true;
  std::map<std::uint32_t, std::uint32_t> counts;  // hardware event counts by event type
  bool windowNumberLookup = true;
  std::vector<Scheduled> scheduled;
  std::map<std::uint32_t, CaptureSetup> captures;  // by window number; others: their bounds
  std::vector<std::string> capturePaths;           // of every capture started, oldest first
  std::vector<PostedEvent> posted;                 // synthetic input, oldest first
  Point pointer;  // where the last posted mouse event put the pointer
  // Where the last posted left-down was, until a left-up follows it: a left-up at the same
  // point is a click.
  std::optional<Point> leftDown;
  std::set<std::string, std::less<>> inputFailures;  // event types that cannot be made
  std::set<std::string, std::less<>> postFailures;   // event types whose posting is refused
  std::vector<Effect> effects;
  std::vector<std::string> effectErrors;  // of commands that failed when applied later
};

constexpr double DEFAULT_MESSAGING_TIMEOUT = 6.0;  // the platform's own default, seconds

json defaultSession();

// The model and its mutex; both made on first use and never destroyed.
std::mutex& modelLock();
Desktop& model();
// The accessibility messaging timeout, guarded by modelLock().
double& messagingTimeout();

// Applies scheduled changes that are due. Caller holds modelLock().
void applyDue(Desktop& desktop);

// Runs the test hook, if any, for one platform call. Takes no lock while the hook runs; calls
// made by the hook itself do not run it again.
void callHook(std::string_view function, std::int32_t pid = 0, std::string_view name = {},
              std::string_view node = {});

// Whether the app's process runs (its simulated process, or the real one). Caller holds the lock.
bool appRunning(const Desktop& desktop, const App& app);
const App* runningApp(const Desktop& desktop, std::int32_t pid);

// Moves an application's rows in front of every other ordinary (layer 0) row, keeping their order.
void bringToFront(Desktop& desktop, std::int32_t pid);
// Marks a subtree removed and forgets its ids.
void retire(App& app, const std::shared_ptr<Node>& node);
// Moves the application's row with this number in front of the application's other rows; false
// when there is no such row.
bool raiseWithinApp(Desktop& desktop, std::uint32_t number, std::int32_t pid);
// Removes a row, and the window elements of its application tied to it.
void closeWindow(Desktop& desktop, std::size_t index);

// Row fields read the lenient way the simulation needs them (whole numbers only).
std::optional<std::int64_t> rowInteger(const json& row, const char* key);
json* findRow(Desktop& desktop, std::uint32_t number);

// Field readers shared by the loader and the control commands; each failure throws
// DescriptionError naming the place ("apps[0].windows[1].size: expected ...").
[[noreturn]] void fail(const std::string& where, const std::string& problem);
std::string at(const std::string& where, const std::string& key);
std::string at(const std::string& where, std::size_t index);
void requireObject(const json& given, const std::string& where);
void onlyKeys(const json& given, std::initializer_list<const char*> keys, const std::string& where);
bool boolField(const json& given, const char* key, const std::string& where, bool fallback);
std::int64_t integerValue(const json& value, const std::string& where, std::int64_t low,
                          std::int64_t high);
std::int64_t integerField(const json& given, const char* key, const std::string& where,
                          std::int64_t fallback, std::int64_t low, std::int64_t high);
double secondsField(const json& given, const char* key, const std::string& where, double fallback);
std::optional<std::string> optionalString(const json& given, const char* key,
                                          const std::string& where);
std::vector<std::string> stringList(const json& value, const std::string& where);
std::int32_t pidField(const json& given, const std::string& where);
Activation parseActivation(const json& given, const std::string& where);

// Description parsing, shared by the loader and the control commands.
void loadDescription(Desktop& desktop, const json& description);
json parseWindow(const json& given, const std::string& where);
Process parseProcess(const json& given, const std::string& where);
// Adds an application; its process is made unless it is a real one or already described.
void addApp(Desktop& desktop, const json& given, const std::string& where);
std::shared_ptr<Node> parseNode(App& app, const json& given, const std::string& where,
                                bool isWindow);
// Null reads as no value.
std::optional<Value> parseValue(const json& given, const std::string& where);
// Checks that a reference names an element of the application.
void checkValueRefs(const App& app, const std::optional<Value>& value, const std::string& where);
// Checks that every reference of a tree names an element of the application.
void checkRefs(const App& app, const Node& node, const std::string& where);

// A capture description {"window", "result", "width", "height", "content", "seconds",
// "exitStatus"}; a control command may also carry "op" and "id".
std::pair<std::uint32_t, CaptureSetup> parseCapture(const json& given, const std::string& where,
                                                    bool command);

// Applies one control command; throws DescriptionError. Caller holds the lock. Returns the
// fields the command adds to its reply (an object, usually empty).
json applyCommand(Desktop& desktop, const json& command);
// Whether op names a control command.
bool knownCommand(std::string_view op);

// Synthetic event type names: "mouse-moved", "left-down", "left-up", "wheel", "key-down",
// "key-up".
bool eventTypeName(std::string_view name);
// {"delay", "result"} of an element; null is the default.
ValueSetting parseValueSetting(const json& given, const std::string& where);
// A list of event type names.
std::set<std::string, std::less<>> parseEventTypes(const json& given, const std::string& where);
// An effect {"on", "after", "commands"}.
Effect parseEffect(const json& given, const std::string& where);
// A list of control commands, each an object with a known "op" (checked further when applied).
std::vector<json> parseCommands(const json& given, const std::string& where);

// Applies commands in order, at once when after is 0, otherwise through a scheduled change. A
// command that fails is skipped and its error recorded in effectErrors. Caller holds the lock.
void runCommands(Desktop& desktop, const std::vector<json>& commands, double after);
// Runs every effect whose trigger matches, in the order they were added.
void fireEffects(Desktop& desktop, const std::function<bool(const Trigger&)>& matches);
// Fires the press effects of an element that was pressed, by its action or by a click.
void pressed(Desktop& desktop, const Node& node);

// The frame of the window row with this number, when it has readable bounds.
std::optional<Rect> rowFrame(Desktop& desktop, std::uint32_t number);
// The element a click at point lands on: the deepest element of the frontmost visible window
// under the point whose frame holds it, or that window's element. Null when the click lands on
// no element of a running, responsive application.
std::shared_ptr<Node> elementAt(Desktop& desktop, Point point);

}  // namespace qcu::sim
