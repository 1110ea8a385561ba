"""DGGS-JSON of a tree 8 levels below its zone (43,046,721 values): time and
peak resident memory per value of `to_dggs_json` and `from_dggs_json`, each in
a fresh process, beside the JSON text of the document (bytes per value), which
the memory of both directions should follow.

The peak is the resident high-water mark over the call minus the resident
memory before it (the mark is reset through /proc/self/clear_refs first)."""

import json
import subprocess
import sys
import time

import numpy as np

from zarel import Tree

ZONE, BELOW = 9, 8  # base cell N and the tree's depth under it
VALUES = 9**BELOW


def tree():
    rng = np.random.default_rng(8)
    leaves = rng.integers(ZONE * VALUES, (ZONE + 1) * VALUES, 200_000, dtype=np.uint64)
    return Tree.from_cells(leaves, BELOW)


def status(key):
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) * 1024 for line in f if line.startswith(key + ":"))


def peak_of(call):
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
    before = status("VmRSS")
    t0 = time.perf_counter()
    out = call()
    return out, time.perf_counter() - t0, (status("VmHWM") - before) / VALUES


def child(direction):
    t = tree()
    if direction == "to":
        doc, seconds, peak = peak_of(lambda: t.to_dggs_json(ZONE))
        text = len(json.dumps(doc))
    else:
        doc = t.to_dggs_json(ZONE)
        text = len(json.dumps(doc))
        back, seconds, peak = peak_of(lambda: Tree.from_dggs_json(doc))
        assert back == t
    print(seconds, peak, text / VALUES)


def main():
    print(f"DGGS-JSON of a tree {BELOW} levels below zone {ZONE}: {VALUES} values")
    for direction in ("to", "from"):
        out = subprocess.run([sys.executable, __file__, direction], capture_output=True, text=True, check=True)
        seconds, peak, text = (float(v) for v in out.stdout.split())
        print(f"  {direction}_dggs_json {seconds:7.2f} s  peak {peak:6.1f} bytes/value"
              f"  (the JSON text: {text:.1f} bytes/value)")


if __name__ == "__main__":
    child(sys.argv[1]) if len(sys.argv) > 1 else main()
