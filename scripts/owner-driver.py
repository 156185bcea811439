#!/usr/bin/env python3
"""A small owner for the helper: starts it the way the desktop application does (with its own
process id and start time) and talks to it over pipes, printing every request and answer.

  owner-driver.py [--helper PATH]                 interactive, on the desktop DISPLAY names
  owner-driver.py [--helper PATH] demo [options]  a whole scripted session with the test app

Interactive commands: list, bind N, observe [FILE.png], click E | click X Y, type E TEXT,
key KEY [E], scroll up|down|left|right [E], raw JSON, help, quit. Windows are numbered as the
latest list shows them; an element E is its number in the latest observation or its label; a
point X Y is in screen pixels."""
import argparse
import base64
import json
import os
import queue
import shlex
import subprocess
import sys
import threading
import time

SHORTEN_AT = 60  # strings longer than this are shortened in the transcript
SHOW_ITEMS = 2  # lists of objects show this many items, the rest counted (listed below them)


def start_time_100ns(pid):
    """Start time of a process in 100-ns units since 1970, from /proc."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    ticks = int(fields[19])  # field 22 of the whole line
    with open("/proc/stat") as f:
        boot = next(int(line.split()[1]) for line in f if line.startswith("btime "))
    hz = os.sysconf("SC_CLK_TCK")
    return boot * 10_000_000 + ticks * 10_000_000 // hz


def shortened(value):
    """The message with long strings cut, for reading."""
    if isinstance(value, str) and len(value) > SHORTEN_AT:
        return value[:24] + f"...({len(value)} characters)"
    if isinstance(value, dict):
        return {k: shortened(v) for k, v in value.items()}
    if isinstance(value, list):
        shown = [shortened(v) for v in value]
        if len(value) > SHOW_ITEMS and all(isinstance(v, dict) for v in value):
            shown = shown[:SHOW_ITEMS] + [f"...({len(value) - SHOW_ITEMS} more)"]
        return shown
    return value


def compact(message):
    return json.dumps(shortened(message), ensure_ascii=False, separators=(", ", ": "))


class Refused(Exception):
    """The helper answered a request with a refusal."""

    def __init__(self, answer):
        super().__init__(f"{answer.get('code')}: {answer.get('message')}")
        self.answer = answer


class Lines:
    """The lines of a stream, read on a thread of their own so that every wait has a deadline."""

    def __init__(self, stream):
        self.lines = queue.Queue()
        threading.Thread(target=self._read, args=(stream,), daemon=True).start()

    def _read(self, stream):
        for line in stream:
            self.lines.put(line)
        self.lines.put(None)

    def next(self, timeout):
        try:
            return self.lines.get(timeout=max(timeout, 0))
        except queue.Empty:
            return ""  # nothing within the time; None means the stream ended


class Helper:
    """The helper as a child over pipes; every request waits for its answer with a deadline."""

    def __init__(self, path, extra=()):
        me = os.getpid()
        args = [path, "--owner-pid", str(me), "--owner-start-time-100ns", str(start_time_100ns(me))]
        print("$ " + " ".join(args + list(extra)), flush=True)
        self.proc = subprocess.Popen(args + list(extra), stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, text=True, encoding="utf-8")
        self.out = Lines(self.proc.stdout)
        self.count = 0

    def ask(self, type_, timeout=30, quiet=False, **fields):
        self.count += 1
        request = {"v": 1, "requestId": f"owner-{self.count}", "type": type_, **fields}
        line = json.dumps(request, ensure_ascii=False, separators=(",", ":"))
        if not quiet:
            print("owner  -> " + compact(request), flush=True)
        self.proc.stdin.write(line + "\n")
        self.proc.stdin.flush()
        deadline = time.monotonic() + timeout
        while True:
            reply = self.out.next(deadline - time.monotonic())
            if reply is None:
                raise RuntimeError(f"the helper ended without answering {type_}")
            if reply == "":
                raise RuntimeError(f"no answer to {type_} within {timeout} s")
            message = json.loads(reply)
            if message.get("type") == "event":
                print("helper <- (event) " + compact(message), flush=True)
                continue
            if message.get("requestId") != request["requestId"]:
                continue
            if not quiet:
                print("helper <- " + compact(message), flush=True)
            return message

    def must(self, type_, **fields):
        """ask, raising Refused on a refusal."""
        answer = self.ask(type_, **fields)
        if answer.get("ok") is not True:
            raise Refused(answer)
        return answer

    def end(self):
        if self.proc.poll() is None:
            try:
                self.ask("shutdown", timeout=10)
            except RuntimeError as error:
                print(f"(shutdown: {error})")
            try:
                status = self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                status = self.proc.wait()
        else:
            status = self.proc.returncode
        print(f"helper exited with status {status}", flush=True)
        return status


class Session:
    """What the owner remembers between requests: the listed windows, the bound one, the latest
    observation and the latest clipboard sequence this session produced."""

    def __init__(self, helper):
        self.helper = helper
        self.candidates = []
        self.identity = None
        self.observation = None
        self.clipboard = None
        self.attempts = 0

    def list(self):
        answer = self.helper.must("list_candidates")
        self.candidates = answer.get("candidates", [])
        for n, c in enumerate(self.candidates, 1):
            front = " (front)" if c.get("foreground") else ""
            print(f"   window {n}: {c.get('title')!r} of {c.get('processName')}{front}")
        for reason, count in answer.get("skipped", {}).items():
            print(f"   withheld: {count} x {reason}")
        return self.candidates

    def bind(self, number):
        if not 1 <= number <= len(self.candidates):
            raise KeyError(f"no window {number} in the latest list")
        candidate = self.candidates[number - 1]
        self.helper.must("probe_binding", identity=candidate["identity"],
                         candidateToken=candidate["candidateToken"])
        self.identity = candidate["identity"]
        self.observation = None
        return self.helper.must("focus_binding", identity=self.identity)

    def observe(self, screenshot=None):
        answer = self.helper.must("observe", identity=self.identity)
        self.observation = answer["observation"]
        for n, e in enumerate(self.observation.get("elements", []), 1):
            b = e.get("bounds", {})
            extra = f" state={e['state']}" if e.get("state") else ""
            if isinstance(e.get("valueState"), dict):
                extra += f" length={e['valueState'].get('scalarLength')}"
            print(f"   element {n}: {e.get('role')} {e.get('label')!r} "
                  f"actions={e.get('supportedActions')} at ({b.get('left')}, {b.get('top')}) "
                  f"{b.get('width')}x{b.get('height')}{extra}")
        url = self.observation.get("screenshotDataUrl") or ""
        prefix = "data:image/png;base64,"
        if screenshot and url.startswith(prefix):
            with open(screenshot, "wb") as f:
                f.write(base64.b64decode(url[len(prefix):]))
            print(f"   screenshot saved to {screenshot}")
        return self.observation

    def element(self, number_or_label):
        """An element of the latest observation by number (from 1) or by label."""
        elements = self.observation.get("elements", []) if self.observation else []
        if str(number_or_label).isdigit():
            if not 1 <= int(number_or_label) <= len(elements):
                raise KeyError(f"no element {number_or_label} in the latest observation")
            return elements[int(number_or_label) - 1]
        for e in elements:
            if e.get("label") == number_or_label:
                return e
        raise KeyError(f"no element labelled {number_or_label!r} in the latest observation")

    def act(self, action, **fields):
        """Prepares and commits one action against the latest observation; returns the commit's
        answer, or the preparation's refusal."""
        self.attempts += 1
        attempt = f"owner-attempt-{self.attempts}"
        prepared = self.helper.ask("prepare_action", attemptId=attempt, identity=self.identity,
                                   action=action, expected=self.observation["probe"], **fields)
        if prepared.get("ok") is not True:
            return prepared
        committed = self.helper.ask("commit_action", preparedId=prepared["preparedId"],
                                    attemptId=attempt, timeout=60)
        readback = committed.get("readback", {})
        if isinstance(readback.get("clipboardSequence"), int):
            self.clipboard = readback["clipboardSequence"]
        if committed.get("ok"):
            print(f"   readback: {readback.get('detail')}")
        return committed

    def click(self, element=None, point=None):
        fields = {}
        if element is not None:
            resolved = {"backendRef": element["backendRef"]}
            transition = {"off": ("toggle", "on"), "on": ("toggle", "off"),
                          "not-selected": ("selection", "selected")}.get(element.get("state"))
            if transition:
                resolved["expectedTransition"] = {"kind": transition[0],
                                                  "before": element["state"],
                                                  "after": transition[1]}
            fields["resolvedElement"] = resolved
        if point is not None:
            fields["fallbackPoint"] = {"x": point[0], "y": point[1]}
        return self.act({"kind": "click"}, **fields)

    def type(self, element, text):
        return self.act({"kind": "type"}, textChunks=[text],
                        resolvedElement={"backendRef": element["backendRef"],
                                         "expectedValueState": element["valueState"]})

    def key(self, key, element=None):
        action = {"kind": "key", "key": key}
        if key == "Ctrl+V" and self.clipboard is not None:
            action["expectedClipboardSequence"] = self.clipboard
        fields = {"resolvedElement": {"backendRef": element["backendRef"]}} if element else {}
        return self.act(action, **fields)

    def scroll(self, direction, element=None):
        dx = {"left": -1, "right": 1}.get(direction, 0)
        dy = {"up": -1, "down": 1}.get(direction, 0)
        fields = {"resolvedElement": {"backendRef": element["backendRef"]}} if element else {}
        return self.act({"kind": "scroll", "deltaX": dx, "deltaY": dy}, **fields)


def interactive(helper):
    session = Session(helper)
    helper.must("hello", protocolVersion=1, appVersion="2.9.93")
    print(__doc__.split("\n\n")[1])
    while True:
        try:
            line = input("owner> ").strip()
        except EOFError:
            break
        if not line:
            continue
        words = shlex.split(line) if not line.startswith("raw ") else ["raw", line[4:]]
        verb, args = words[0], words[1:]
        try:
            if verb in ("quit", "exit"):
                break
            elif verb == "help":
                print(__doc__)
            elif verb == "list":
                session.list()
            elif verb == "bind":
                session.bind(int(args[0]))
            elif verb == "observe":
                session.observe(args[0] if args else None)
            elif verb == "click" and len(args) == 2:
                session.click(point=(int(args[0]), int(args[1])))
            elif verb == "click":
                session.click(session.element(args[0]))
            elif verb == "type":
                session.type(session.element(args[0]), " ".join(args[1:]))
            elif verb == "key":
                session.key(args[0], session.element(args[1]) if len(args) > 1 else None)
            elif verb == "scroll":
                session.scroll(args[0], session.element(args[1]) if len(args) > 1 else None)
            elif verb == "raw":
                request = json.loads(args[0])
                helper.ask(request.pop("type"), **request)
            else:
                print("unknown command; try help")
        except Refused:
            pass  # the answer is in the transcript already
        except (KeyError, IndexError, ValueError, TypeError, RuntimeError) as error:
            print(f"   ({error})")
    return 0 if helper.end() == 0 else 1


class TestApp:
    """The GTK test application, driven over its standard input."""

    def __init__(self, path, fixture, log=None):
        # GTK's own warnings go to a log beside the pictures, not into the transcript.
        self.log = open(log, "w") if log else None
        self.proc = subprocess.Popen([path, "--fixture", fixture], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=self.log, text=True)
        self.out = Lines(self.proc.stdout)
        ready = json.loads(self.out.next(30) or "{}")
        if ready.get("event") != "ready":
            raise RuntimeError("the test application did not start")
        self.pid = ready["pid"]
        self.count = 0

    def command(self, **request):
        self.count += 1
        request["id"] = self.count
        self.proc.stdin.write(json.dumps(request) + "\n")
        self.proc.stdin.flush()
        deadline = time.monotonic() + 15
        while time.monotonic() < deadline:
            line = self.out.next(deadline - time.monotonic())
            if line is None:
                break
            if line and json.loads(line).get("id") == self.count:
                return json.loads(line)
        raise RuntimeError(f"the test application did not answer {request}")

    def end(self):
        if self.proc.poll() is None:
            self.proc.stdin.close()
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()


def until(what, seconds, attempt):
    """Calls attempt until it returns something true; fails naming what it waited for."""
    deadline = time.monotonic() + seconds
    while True:
        result = attempt()
        if result:
            return result
        if time.monotonic() > deadline:
            raise RuntimeError(f"waited {seconds} s for {what}")
        time.sleep(0.2)


def step(title):
    print(f"\n== {title}", flush=True)


def save_screen(probe, path):
    subprocess.run([probe, "screen", path], check=True, stdout=subprocess.DEVNULL, timeout=30)
    print(f"   the whole screen saved to {path}")


def demo(helper, options):
    os.makedirs(options.out, exist_ok=True)
    pictures = {name: os.path.abspath(os.path.join(options.out, name)) for name in
                ("screen-before.png", "observation.png", "screen-after.png")}
    app = TestApp(options.app, options.fixture, os.path.join(options.out, "test-app.log"))
    try:
        return demo_session(Session(helper), app, options, pictures)
    finally:
        app.end()


def demo_session(session, app, options, pictures):
    helper = session.helper
    step("hello: versions, permissions and what this helper can do")
    helper.must("hello", protocolVersion=1, appVersion="2.9.93")

    step("list the windows that may be operated (waiting for the test application's)")
    mine = lambda: [c for c in session.candidates if c.get("pid", c["identity"]["pid"]) == app.pid]
    until("the test application's window to be listed", 20,
          lambda: session.list() and mine() or mine())
    number = session.candidates.index(mine()[0]) + 1

    step(f"bind window {number} and bring it to the front")
    session.bind(number)
    save_screen(options.probe, pictures["screen-before.png"])

    step("observe it: its elements, text and a screenshot")
    # The application registers with the accessibility bus a little after its window shows.
    until("the form's elements in an observation", 20,
          lambda: any(e.get("label") == "Send" for e in
                      session.observe(pictures["observation.png"]).get("elements", [])))

    step("type into the Name field (its value is proven against what the helper predicted)")
    session.type(session.element("Name"), "Ada Lovelace")
    step("click the Send button (its label must change)")
    session.click(session.element("Send"))
    step("click the check box, declared to go from off to on")
    session.click(session.element("I agree"))
    step("select the Name field's text and copy it: Ctrl+A, then Ctrl+C")
    session.observe()
    session.key("Ctrl+A", session.element("Name"))
    session.key("Ctrl+C", session.element("Name"))
    step("scroll the notes down one step")
    session.scroll("down", session.element("Notes"))
    step("observe again: the changed values")
    session.observe()
    save_screen(options.probe, pictures["screen-after.png"])

    step("a refusal: the window now asks the user to sign in")
    app.command(op="retitle", number=101, title="Sign in to Test Form")
    until("the new title on the window", 10,
          lambda: helper.ask("observe", identity=session.identity).get("ok") is False)

    step("shut the helper down")
    status = helper.end()
    print("\nPictures:")
    for path in pictures.values():
        print(f"  {path}")
    return 0 if status == 0 else 1


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--helper", default="build/quorvel-cu")
    sub = parser.add_subparsers(dest="mode")
    d = sub.add_parser("demo", help="a scripted session with the GTK test application")
    d.add_argument("--app", default="build/tests/e2e/app/qcu-test-app")
    d.add_argument("--probe", default="build/tests/e2e/app/qcu-desk-probe")
    d.add_argument("--fixture", default="tests/fixtures/form.json")
    d.add_argument("--out", default="out/demo")
    options, extra = parser.parse_known_args()
    if not os.environ.get("DISPLAY"):
        print("owner-driver: DISPLAY is not set: start it on a desktop (or scripts/vdesk run -- ...)",
              file=sys.stderr)
    helper = Helper(options.helper, extra)
    try:
        if options.mode == "demo":
            return demo(helper, options)
        return interactive(helper)
    except (Refused, RuntimeError) as error:
        print(f"owner-driver: {error}", file=sys.stderr)
        helper.end()
        return 1
    finally:
        if helper.proc.poll() is None:
            helper.proc.kill()
            helper.proc.wait()


if __name__ == "__main__":
    sys.exit(main())
