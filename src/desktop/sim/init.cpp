// Start-up of the simulated desktop from the command line: "--sim-desktop FILE" loads a
// description, "--sim-control FD" starts the control thread. Every other argument belongs to
// the helper and is ignored here.
#include <fcntl.h>

#include <charconv>
#include <cstdio>
#include <fstream>
#include <iterator>

#include "desktop/sim/model.h"
#include "foundation/json.h"

namespace qcu {
namespace sim {

std::string loadFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return path + ": cannot be read";
  std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  std::optional<json> description = decodeJson(text);
  if (!description) return path + ": not valid JSON";
  std::string error = load(*description);
  return error.empty() ? error : path + ": " + error;
}

}  // namespace sim

namespace {

bool refuse(const std::string& message) {
  std::fprintf(stderr, "simulated desktop: %s\n", message.c_str());
  return false;
}

}  // namespace

bool platformInit(int argc, char** argv) {
  std::string desktopFile;
  std::string controlFd;
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (arg != "--sim-desktop" && arg != "--sim-control") continue;
    if (i + 1 >= argc) return refuse(std::string(arg) + " needs a value");
    (arg == "--sim-desktop" ? desktopFile : controlFd) = argv[++i];
  }
  if (!desktopFile.empty()) {
    std::string error = sim::loadFile(desktopFile);
    if (!error.empty()) return refuse(error);
  }
  if (!controlFd.empty()) {
    int fd = -1;
    auto [end, error] = std::from_chars(controlFd.data(), controlFd.data() + controlFd.size(), fd);
    if (error != std::errc() || end != controlFd.data() + controlFd.size() || fd < 0 ||
        fcntl(fd, F_GETFD) < 0) {
      return refuse("--sim-control " + controlFd + " is not an open file descriptor");
    }
    sim::startControl(fd);
  }
  return true;
}

// The simulated desktop speaks for the macOS build: the owner uses that platform's key chords.
std::string platformName() {
  return "darwin";
}

}  // namespace qcu
