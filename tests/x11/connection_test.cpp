// The connection layer on a real X server: event sources, X errors, several threads at once,
// and a display that goes away.
// GoogleTest comes before the X11 headers, whose macros (None, Bool) clash with it.
#include <gtest/gtest.h>

#include <X11/Xatom.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "desktop/platform.h"
#include "desktop/signals.h"
#include "desktop/x11/display.h"
#include "x11/x11_support.h"

namespace qcu::test {
namespace {

using ConnectionTest = X11Test;

// Counts changes of one root property, the way the clipboard and input counters will count.
struct PropertyCounter {
  Atom property = None;
  std::atomic<int> changes{0};
  x11::EventSource source() {
    return {"root property",
            [](Display* display, Window root) {
              XSelectInput(display, root, PropertyChangeMask);
              return true;
            },
            [this](Display*, XEvent& event) {
              if (event.type == PropertyNotify && event.xproperty.atom == property) ++changes;
            }};
  }
};

TEST_F(ConnectionTest, EventSourcesSeeTheirEventsAndASetUpErrorRefusesOnlyThatSource) {
  PropertyCounter counter;
  counter.property = XInternAtom(test, "QCU_TEST_PROPERTY", False);
  x11::EventSource broken{"bad window",
                          [](Display* display, Window) {
                            XSelectInput(display, static_cast<Window>(0x1F), KeyPressMask);
                            return true;
                          },
                          {}};
  EXPECT_FALSE(x11::addEventSource(std::move(broken))) << "a set-up that raised an X error";
  ASSERT_TRUE(x11::addEventSource(counter.source()));

  long value = 1;
  for (int i = 0; i < 3; ++i) {
    XChangeProperty(test, DefaultRootWindow(test), counter.property, XA_CARDINAL, 32,
                    PropModeReplace, reinterpret_cast<unsigned char*>(&value), 1);
  }
  XSync(test, False);
  EXPECT_TRUE(waitFor([&] { return counter.changes.load() == 3; }))
      << "the event thread counted " << counter.changes.load() << " of 3 changes";
}

TEST_F(ConnectionTest, ErrorsBelongToTheCallsThatCausedThem) {
  x11::RequestScope scope;
  ASSERT_TRUE(scope);
  unsigned long failing = scope.mark();
  XRaiseWindow(scope.display, static_cast<Window>(0x1F));
  EXPECT_FALSE(scope.clean(failing));
  unsigned long next = scope.mark();
  XRaiseWindow(scope.display, scope.root);
  EXPECT_TRUE(scope.clean(next)) << "an earlier error was charged to a later call";
}

// Every seam function of the backend from several threads at once: each keeps answering.
// ThreadSanitizer checks the rest.
TEST_F(ConnectionTest, SeveralThreadsAtOnce) {
  TestClient client = startClient();
  Window window = client.window(30, 30, 200, 150, "shared");
  ASSERT_TRUE(window && waitListed(window));
  std::atomic<int> failures{0};
  std::atomic<bool> stop{false};
  std::vector<std::thread> threads;
  threads.emplace_back([&] {
    while (!stop)
      failures += !rowOf(cgWindows(), window);
  });
  threads.emplace_back([&] {
    while (!stop)
      failures += !platformSessionDictionary();
  });
  threads.emplace_back([&] {
    while (!stop)
      failures += !platformRunningApplication(client.pid());
  });
  threads.emplace_back([&] {
    while (!stop)
      failures += !platformScreenCaptureAllowed();
  });
  std::this_thread::sleep_for(std::chrono::seconds(1));
  stop = true;
  for (auto& thread : threads)
    thread.join();
  EXPECT_EQ(failures.load(), 0);
}

// An X server of the test's own that it can kill.
struct PrivateServer {
  pid_t pid = -1;
  std::string name;
  bool start() {
    int fds[2];
    if (pipe(fds) != 0) return false;
    pid = fork();
    if (pid == 0) {
      // Ends with the test process, also when a sanitizer stops it halfway.
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      close(fds[0]);
      std::string fd = std::to_string(fds[1]);
      execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "640x480x24", "-nolisten",
             "tcp", static_cast<char*>(nullptr));
      _exit(127);
    }
    close(fds[1]);
    Child reader;  // reads the display number with a deadline
    reader.out = fds[0];
    auto number = reader.readLine(20.0);
    if (!number) return false;
    name = ":" + *number;
    return true;
  }
  void kill() {
    if (pid > 0) {
      ::kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
      pid = -1;
    }
  }
  ~PrivateServer() { kill(); }
};

TEST_F(ConnectionTest, ALostDisplayReadsAsNoListLockedAndNoInput) {
  PrivateServer server;
  ASSERT_TRUE(server.start()) << "the private Xvfb did not start";
  ASSERT_TRUE(x11::displayOpen(server.name.c_str()));
  ASSERT_TRUE(platformWindowList()) << "no list from the private server while it runs";
  ASSERT_TRUE(platformSessionDictionary());

  server.kill();
  // The first caller meets the loss itself, or the event thread has already seen it.
  EXPECT_FALSE(platformWindowList());
  EXPECT_TRUE(waitFor([] { return x11::displayLost(); })) << "the loss was never noticed";
  EXPECT_FALSE(platformWindowList());
  EXPECT_FALSE(platformSessionDictionary());
  EXPECT_TRUE(screenLocked());
  EXPECT_FALSE(platformScreenCaptureAllowed());
  EXPECT_FALSE(platformActivateApplication(getpid()));
  EXPECT_FALSE(x11::addEventSource({"late", [](Display*, Window) { return true; }, {}}));

  // Nothing of the lost display lingers: the environment's display opens and lists again.
  // A lock service that failed before the loss (a bus connection still being made on a busy
  // machine) is remembered as saying locked for a second.
  ASSERT_TRUE(x11::displayOpen(nullptr));
  EXPECT_TRUE(platformWindowList());
  EXPECT_TRUE(waitFor([] { return !screenLocked(); })) << "the reopened display stays locked";
}

}  // namespace
}  // namespace qcu::test
