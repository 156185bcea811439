// Where a click lands: the frontmost visible window under the point, and within it the deepest
// element whose frame holds the point.
#include "desktop/sim/model.h"

namespace qcu::sim {
namespace {

// A row's bounds when all four of its sides are numbers.
std::optional<Rect> boundsOf(const json& row) {
  auto bounds = row.find("kCGWindowBounds");
  if (bounds == row.end() || !bounds->is_object()) return std::nullopt;
  double parts[4];
  const char* keys[] = {"X", "Y", "Width", "Height"};
  for (int i = 0; i < 4; ++i) {
    auto it = bounds->find(keys[i]);
    if (it == bounds->end() || !it->is_number()) return std::nullopt;
    parts[i] = it->get<double>();
  }
  return Rect{parts[0], parts[1], parts[2], parts[3]};
}

// Half-open, as screen pixels are: the right and bottom edges belong to the next rectangle.
bool holds(const Rect& frame, Point point) {
  return point.x >= frame.x && point.x < frame.x + frame.width && point.y >= frame.y &&
         point.y < frame.y + frame.height;
}

// A row that can be seen: no alpha, or a numeric alpha above 0.01.
bool visible(const json& row) {
  auto alpha = row.find("kCGWindowAlpha");
  return alpha == row.end() || (alpha->is_number() && alpha->get<double>() > 0.01);
}

// The element's frame from its own position and size, or from the row it is tied to.
std::optional<Rect> nodeFrame(Desktop& desktop, const Node& node) {
  auto position = node.attributes.find("AXPosition");
  auto size = node.attributes.find("AXSize");
  bool explicitPosition = position != node.attributes.end();
  bool explicitSize = size != node.attributes.end();
  std::optional<Rect> derived;
  if ((!explicitPosition || !explicitSize) && node.window)
    derived = rowFrame(desktop, *node.window);
  Rect frame;
  if (explicitPosition) {
    const Point* point = position->second ? std::get_if<Point>(&*position->second) : nullptr;
    if (!point) return std::nullopt;
    frame.x = point->x;
    frame.y = point->y;
  } else if (derived) {
    frame.x = derived->x;
    frame.y = derived->y;
  } else {
    return std::nullopt;
  }
  if (explicitSize) {
    const Size* given = size->second ? std::get_if<Size>(&*size->second) : nullptr;
    if (!given) return std::nullopt;
    frame.width = given->width;
    frame.height = given->height;
  } else if (derived) {
    frame.width = derived->width;
    frame.height = derived->height;
  } else {
    return std::nullopt;
  }
  return frame;
}

// Searches the subtree below node for the deepest live element whose frame holds the point; an
// element without a frame is passed through. Among equally deep ones the first in tree order
// wins.
void deepest(Desktop& desktop, const Node& node, Point point, int depth,
             std::shared_ptr<Node>& best, int& bestDepth) {
  for (const auto& child : node.children) {
    if (!child->alive) continue;
    auto frame = nodeFrame(desktop, *child);
    if (frame && holds(*frame, point) && depth + 1 > bestDepth) {
      best = child;
      bestDepth = depth + 1;
    }
    deepest(desktop, *child, point, depth + 1, best, bestDepth);
  }
}

}  // namespace

std::optional<Rect> rowFrame(Desktop& desktop, std::uint32_t number) {
  const json* row = findRow(desktop, number);
  if (!row) return std::nullopt;
  return boundsOf(*row);
}

std::shared_ptr<Node> elementAt(Desktop& desktop, Point point) {
  for (const auto& row : desktop.windows) {
    auto bounds = boundsOf(row);
    if (!bounds || !visible(row) || !holds(*bounds, point)) continue;
    // The frontmost window under the point takes the click, whoever owns it.
    auto owner = rowInteger(row, "kCGWindowOwnerPID");
    auto number = rowInteger(row, "kCGWindowNumber");
    if (!owner || !number) return nullptr;
    const App* app = runningApp(desktop, static_cast<std::int32_t>(*owner));
    if (!app || app->hung) return nullptr;
    std::shared_ptr<Node> landed;
    std::shared_ptr<Node> best;
    int bestDepth = 0;
    for (const auto& window : app->root->windows) {
      if (!window->alive || !window->window || *window->window != *number) continue;
      if (!landed) landed = window;
      deepest(desktop, *window, point, 0, best, bestDepth);
    }
    return best ? best : landed;
  }
  return nullptr;
}

}  // namespace qcu::sim
