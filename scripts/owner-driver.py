#!/usr/bin/env python3
"""A small owner: starts the helper the way the desktop application does, with its own process id
and start time, sends a session of requests and prints the transcript."""
import json
import os
import subprocess
import sys


def start_time_100ns(pid):
    """Start time of a process in 100-ns units since 1970, from /proc."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    ticks = int(fields[19])  # field 22 of the whole line
    with open("/proc/stat") as f:
        boot = next(int(line.split()[1]) for line in f if line.startswith("btime "))
    hz = os.sysconf("SC_CLK_TCK")
    return boot * 10_000_000 + ticks * 10_000_000 // hz


def main():
    helper = sys.argv[1] if len(sys.argv) > 1 else "build/quorvel-cu"
    extra = sys.argv[2:]
    me = os.getpid()
    args = [helper, "--owner-pid", str(me), "--owner-start-time-100ns", str(start_time_100ns(me))]
    print("$ " + " ".join(args + extra))
    proc = subprocess.Popen(args + extra, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    session = [
        {"type": "hello", "protocolVersion": 1, "appVersion": "2.9.93"},
        {"type": "ping"},
        {"type": "clipboard_sequence"},
        {"type": "stop"},
        {"type": "shutdown"},
    ]
    for number, fields in enumerate(session, 1):
        request = {"v": 1, "requestId": f"demo-{number}", **fields}
        line = json.dumps(request, separators=(",", ":"))
        print("owner  -> " + line)
        proc.stdin.write(line + "\n")
        proc.stdin.flush()
        reply = proc.stdout.readline()
        if not reply:
            print("helper ended without an answer", file=sys.stderr)
            return 1
        print("helper <- " + reply.rstrip("\n"))
    status = proc.wait(timeout=5)
    print(f"helper exited with status {status}")
    return 0 if status == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
