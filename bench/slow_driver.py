#!/usr/bin/env python3
"""A slow reader of the automation protocol, for bench/blocks.sh: answers
the dialogs of one upgrade as a person would (Continue, the device and
local addresses, Upgrade, OK) and spends DELAY seconds on every event line,
as a driver written for convenience rather than speed might.

    slow_driver.py PROGRAM DEVICE LOCAL [DELAY]
"""
import json
import subprocess
import sys
import time


def main():
    program, device, local = sys.argv[1:4]
    delay = float(sys.argv[4]) if len(sys.argv) > 4 else 0.001
    p = subprocess.Popen([program], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, bufsize=1)
    kinds, items = {}, {}

    def send(line):
        p.stdin.write(line + "\n")
        p.stdin.flush()

    for line in p.stdout:
        time.sleep(delay)
        words = line.rstrip("\n").split(" ", 3)
        kind, w = words[0], words[1] if len(words) > 1 else ""
        if kind == "open":
            kinds[w] = words[2]
        elif kind == "add":
            items.setdefault(w, []).append(json.loads(words[3]))
        elif kind == "shown":
            t = kinds.get(w)
            if t in ("139", "103", "111", "msgbox"):
                send(f"press {w} 1")
            elif t == "101":
                send(f"type {w} 1000 {json.dumps(device)}")
                send(f"select {w} 1017 {items.get(w, []).index(local)}")
                send(f"press {w} 1")
        elif kind == "exit":
            break
    p.stdin.close()
    return p.wait()


if __name__ == "__main__":
    sys.exit(main())
