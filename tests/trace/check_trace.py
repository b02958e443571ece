#!/usr/bin/env python3
"""Reads a JSON trace the way a trace viewer does and prints what it holds.

One line per item, for the tests to look for:
  process PID NAME
  thread TID NAME
  slice THREAD-NAME SLICE-NAME ARGS      (ARGS: the end's arguments, JSON, keys sorted)
  counter NAME VALUE
  open THREAD-NAME SLICE-NAME            (begun, never ended: the process was stopped)
  problem TEXT                           (and exit status 1)
"""
import json
import sys


def main():
    with open(sys.argv[1], encoding="utf-8") as f:
        doc = json.load(f)
    events = doc["traceEvents"]
    threads = {}
    processes = {}
    stacks = {}
    lines = []
    problems = []
    for e in events:
        ph = e["ph"]
        key = (e["pid"], e.get("tid"))
        if ph == "M":
            if e["name"] == "thread_name":
                threads[key] = e["args"]["name"]
            elif e["name"] == "process_name":
                processes[e["pid"]] = e["args"]["name"]
            continue
        if key not in threads:
            problems.append("event of an unnamed thread: %r" % e)
            continue
        name = threads[key]
        if ph == "B":
            stacks.setdefault(key, []).append(e)
        elif ph == "E":
            stack = stacks.get(key)
            if not stack:
                problems.append("end without a begin: %r" % e)
                continue
            begin = stack.pop()
            if e["ts"] < begin["ts"]:
                problems.append("slice ends before it begins: %r" % begin)
            args = json.dumps(e.get("args", {}), sort_keys=True)
            lines.append("slice %s %s %s" % (name, begin["name"], args))
        elif ph == "C":
            lines.append("counter %s %s" % (e["name"], e["args"]["value"]))
        elif ph not in ("b", "e", "i"):
            problems.append("unknown event: %r" % e)
    for key, stack in stacks.items():
        for begin in stack:
            lines.append("open %s %s" % (threads[key], begin["name"]))
    for pid, name in processes.items():
        lines.append("process %d %s" % (pid, name))
    for (pid, tid), name in threads.items():
        lines.append("thread %d %s" % (tid, name))
    for p in problems:
        lines.append("problem " + p)
    print("\n".join(lines))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
