#!/usr/bin/python3
"""Stand-in for virsh and qemu-img.

Installed under both names in a test's private bin directory. It appends
its argument vector to calls.jsonl beside itself, then answers from the
first matching rule of scenario.json beside itself:

  {"prog": "virsh", "args": ["domstate", "web01"],   exact match, or
   "prefix": ["snapshot-create-as"],                  leading arguments,
   "stdout": "...", "stderr": "...", "exit": 0,
   "delay": 0.0,            seconds to sleep before answering
   "wait_for": "/path",     answer only once this file exists
   "times": 1,              rule applies this many times, then is skipped
   "copy": true,            copy argv[-2] to argv[-1] (a disk conversion)
   "exec": ["cmd", ...]}    run this instead and answer with its result
   "save": "/dir"           first copy every argument that names a file there
   "real": "/usr/bin/qemu-img"  run this program with the same arguments

A call that matches no rule exits 0 silently.
"""
import fcntl
import json
import os
import shutil
import subprocess
import sys
import time

here = os.path.dirname(os.path.abspath(sys.argv[0]))
prog = os.path.basename(sys.argv[0])
args = sys.argv[1:]

with open(os.path.join(here, "calls.jsonl"), "a") as calls:
    calls.write(json.dumps([prog] + args) + "\n")

with open(os.path.join(here, "scenario.json")) as f:
    rules = json.load(f)

counts_path = os.path.join(here, "counts.json")


def matches(rule):
    if rule.get("prog", prog) != prog:
        return False
    if "args" in rule and rule["args"] != args:
        return False
    if "prefix" in rule and args[: len(rule["prefix"])] != rule["prefix"]:
        return False
    return True


def take_rule():
    """The index of the first matching rule with uses left, counted as used.
    Calls may run at once (a restore compares in parts): the count is read and
    written under a lock."""
    with open(counts_path + ".lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        try:
            with open(counts_path) as f:
                counts = json.load(f)
        except FileNotFoundError:
            counts = {}
        for index, rule in enumerate(rules):
            used = counts.get(str(index), 0)
            if not matches(rule) or ("times" in rule and used >= rule["times"]):
                continue
            counts[str(index)] = used + 1
            with open(counts_path, "w") as f:
                json.dump(counts, f)
            return index
    return None


def answer(rule):
    time.sleep(rule.get("delay", 0))
    while "wait_for" in rule and not os.path.exists(rule["wait_for"]):
        time.sleep(0.05)
    if "save" in rule:
        for arg in args:
            if os.path.isfile(arg):
                shutil.copy(arg, rule["save"])
    if "real" in rule:
        sys.exit(subprocess.call([rule["real"]] + args))
    if "exec" in rule:
        sys.exit(subprocess.call(rule["exec"]))
    if rule.get("copy"):
        shutil.copyfile(args[-2], args[-1])
    sys.stdout.write(rule.get("stdout", ""))
    sys.stderr.write(rule.get("stderr", ""))
    sys.exit(rule.get("exit", 0))


index = take_rule()
if index is not None:
    answer(rules[index])
sys.exit(0)
