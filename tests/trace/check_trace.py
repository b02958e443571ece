#!/usr/bin/env python3
"""Reads a JSON trace the way a trace viewer does and prints what it holds.

One line per item, for the tests to look for:
  process PID NAME
  thread TID NAME
  slice THREAD-NAME SLICE-NAME ARGS      (ARGS: a complete event's arguments or the
                                         end's, JSON, keys sorted)
  counter NAME VALUE
  open THREAD-NAME SLICE-NAME            (begun, never ended: the process was stopped)
  problem TEXT                           (and exit status 1)
"""
import json
import numbers
import sys

# What the Trace Event Format (the JSON that chrome://tracing, catapult's
# trace viewer and ui.perfetto.dev read) asks of each kind of event used
# here: the fields every event of that phase must carry, with their types.
# Beyond the format, what the viewers tried need: a category on every event
# (DevTools shows no details of a slice without one) and a name on an end
# (speedscope pairs ends with begins by name and leaves a slice whose end
# has none open to the trace's end).
INT = (int,)
NUM = (numbers.Real,)
STR = (str,)
REQUIRED = {
    "B": {"name": STR, "cat": STR, "ts": NUM, "pid": INT, "tid": INT},
    "E": {"name": STR, "cat": STR, "ts": NUM, "pid": INT, "tid": INT},
    "X": {"name": STR, "cat": STR, "ts": NUM, "dur": NUM, "pid": INT, "tid": INT},
    "C": {"name": STR, "cat": STR, "ts": NUM, "pid": INT, "args": (dict,)},
    # Nestable async events pair by category and id.
    "b": {"name": STR, "cat": STR, "id": (int, str), "ts": NUM, "pid": INT},
    "e": {"name": STR, "cat": STR, "id": (int, str), "ts": NUM, "pid": INT},
    "i": {"name": STR, "cat": STR, "ts": NUM, "pid": INT, "tid": INT},
    "M": {"name": STR, "pid": INT, "args": (dict,)},
}
METADATA = {"process_name", "process_labels", "process_sort_index", "thread_name",
            "thread_sort_index"}


def format_problems(doc):
    """The ways doc departs from the Trace Event Format's JSON object form."""
    if not isinstance(doc, dict) or not isinstance(doc.get("traceEvents"), list):
        return ["not a JSON object with a traceEvents array"]
    problems = []
    if doc.get("displayTimeUnit", "ms") not in ("ms", "ns"):
        problems.append("displayTimeUnit is neither ms nor ns")
    for e in doc["traceEvents"]:
        if not isinstance(e, dict) or e.get("ph") not in REQUIRED:
            problems.append("event of an unknown phase: %r" % (e,))
            continue
        for field, types in REQUIRED[e["ph"]].items():
            value = e.get(field)
            if not isinstance(value, types) or isinstance(value, bool):
                problems.append("%s event without a valid %s: %r" % (e["ph"], field, e))
        if "args" in e and not isinstance(e["args"], dict):
            problems.append("args is not an object: %r" % e)
        if e["ph"] == "C":
            for k, v in e.get("args", {}).items():
                if not isinstance(v, numbers.Real):
                    problems.append("counter %s has a value that is not a number: %r" % (k, e))
        if e["ph"] == "M":
            if e["name"] not in METADATA:
                problems.append("unknown metadata record: %r" % e)
            elif e["name"].endswith("_name") and not isinstance(e["args"].get("name"), str):
                problems.append("metadata name without args.name: %r" % e)
        if e["ph"] == "i" and e.get("s", "t") not in ("g", "p", "t"):
            problems.append("instant event of an unknown scope: %r" % e)
    return problems


def nesting_problems(complete):
    """Complete slices of one thread that overlap without one holding the
    other: viewers draw a thread's slices as a stack."""
    # Half a nanosecond: times are microseconds with three decimals, and
    # their sums are rounded.
    slack = 0.0005
    problems = []
    for slices in complete.values():
        stack = []
        for e in sorted(slices, key=lambda e: (e["ts"], -e["dur"])):
            while stack and e["ts"] >= stack[-1]["ts"] + stack[-1]["dur"] - slack:
                stack.pop()
            if stack and e["ts"] + e["dur"] > stack[-1]["ts"] + stack[-1]["dur"] + slack:
                problems.append("slice %r overlaps %r without nesting" % (e, stack[-1]))
            stack.append(e)
    return problems


def interleaving_problems(events):
    """Begins and ends of two threads that interleave in time: Chrome
    DevTools pairs "B" and "E" events through one stack for all threads and
    then loses both slices."""
    stack = []
    ordered = sorted((e for e in events if e["ph"] in ("B", "E")), key=lambda e: e["ts"])
    for e in ordered:
        key = (e["pid"], e["tid"])
        if e["ph"] == "B":
            stack.append(key)
        elif stack and stack.pop() != key:
            return ["begins and ends of two threads interleave, at %r" % e]
    return []


def main():
    with open(sys.argv[1], encoding="utf-8") as f:
        doc = json.load(f)
    problems = format_problems(doc)
    if problems:
        for p in problems:
            print("problem " + p)
        return 1
    events = doc["traceEvents"]
    threads = {}
    processes = {}
    stacks = {}
    lines = []
    problems = []
    complete = {}
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
            if e["name"] != begin["name"]:
                problems.append("end named other than its begin %r: %r" % (begin["name"], e))
            if e["ts"] < begin["ts"]:
                problems.append("slice ends before it begins: %r" % begin)
            args = json.dumps(e.get("args", {}), sort_keys=True)
            lines.append("slice %s %s %s" % (name, begin["name"], args))
        elif ph == "X":
            if e["dur"] < 0:
                problems.append("slice of a negative duration: %r" % e)
            complete.setdefault(key, []).append(e)
            args = json.dumps(e.get("args", {}), sort_keys=True)
            lines.append("slice %s %s %s" % (name, e["name"], args))
        elif ph == "C":
            lines.append("counter %s %s" % (e["name"], e["args"]["value"]))
        elif ph not in ("b", "e", "i"):
            problems.append("unknown event: %r" % e)
    problems += nesting_problems(complete) + interleaving_problems(events)
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
