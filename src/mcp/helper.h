// The helper as this server's child: started with this process as its owner, asked one request
// at a time per caller with answers matched by request id, its events handed on, and ended so
// that it never outlives the server.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace qcu::mcp {

using json = nlohmann::json;

struct HelperOptions {
  std::string path;
  std::vector<std::string> extraArguments;  // passed after the owner options, unchanged
  std::int32_t ownerPid = 0;
  std::uint64_t ownerStart100ns = 0;
};

// Called on the helper's reader thread: an event line, and the helper's end when this server
// did not ask for it (with a description such as "exit status 1").
using EventSink = std::function<void(const json& event)>;
using EndSink = std::function<void(const std::string& how)>;

struct HelperLink;  // one running helper process; shared by the threads that ask it

struct HelperAnswer {
  bool answered = false;  // false: the helper ended, did not answer in time, or was not asked
  json message;           // the answer line when answered
  std::string failure;    // why there is no answer
  bool tooLarge = false;  // not sent: the line would exceed what the helper reads; it runs on
  double seconds = 0;     // from writing the request to reading its answer
};

// Starts the helper and says hello. On failure returns null and says why in failure.
std::shared_ptr<HelperLink> startHelper(const HelperOptions& options, EventSink onEvent,
                                        EndSink onEnd, std::string& failure);

// Sends one request and waits for its answer. Thread-safe; never throws.
HelperAnswer askHelper(HelperLink& link, const std::string& type, json fields,
                       double timeoutSeconds);

bool helperRunning(HelperLink& link);
pid_t helperPid(const HelperLink& link);

// Ends the helper: closes its input (it cancels its work and exits), kills it when it is still
// there after the grace period, reaps it and joins its reader. Safe to call more than once.
void endHelper(HelperLink& link, double graceSeconds);

}  // namespace qcu::mcp
