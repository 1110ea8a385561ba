"""Tree.open and verify_opening at depth 18 through Python, against the JSON
road the same record takes anyway: json.dumps then json.loads of it (opening
records cross into and out of the module as JSON text). Best of seven rounds;
on a shared machine compare the ratio, which comes from one run. Then as a
user's script meets it: a fresh process opening and verifying different cells,
each record dropped, in three rounds (the first carries the first-use costs),
each round beside the JSON road of its records in the same process."""

import json
import subprocess
import sys
import time

import numpy as np

from zarel import Tree, verify_opening

DEPTH, ROUNDS, CALLS = 18, 7, 2000
SCRIPT_ROUNDS = 3


def best(fn):
    out = float("inf")
    for _ in range(ROUNDS):
        t0 = time.perf_counter()
        for _ in range(CALLS):
            fn()
        out = min(out, (time.perf_counter() - t0) / CALLS)
    return out


def main():
    rng = np.random.default_rng(18)
    cids = rng.integers(9 * 9**DEPTH, 15 * 9**DEPTH, 1000, dtype=np.uint64)
    tree = Tree.from_cells(cids, DEPTH)
    cid = int(cids[0])
    record = tree.open(cid)
    assert record is not None and verify_opening(record)
    t_open = best(lambda: tree.open(cid))
    t_verify = best(lambda: verify_opening(record))
    t_road = best(lambda: json.loads(json.dumps(record)))
    print(f"depth-{DEPTH} leaf opening, {len(json.dumps(record))} bytes of JSON")
    print(f"Tree.open {t_open * 1e6:7.1f} us   verify_opening {t_verify * 1e6:7.1f} us   "
          f"JSON road (dumps + loads) {t_road * 1e6:7.1f} us")
    print(f"open + verify over the JSON road: {(t_open + t_verify) / t_road:.2f}x (target <= 2)")
    out = subprocess.run([sys.executable, __file__, "--script"], capture_output=True, text=True, check=True)
    rounds = [[float(v) for v in line.split()] for line in out.stdout.splitlines()]
    print(f"as a script (fresh process, {CALLS} different cells a round, records dropped):")
    for k, (ours, road) in enumerate(rounds, 1):
        print(f"  round {k}: open + verify {ours / CALLS * 1e6:6.1f} us   JSON road {road / CALLS * 1e6:6.1f} us"
              f"   {ours / road:.2f}x")
    print("target: every round <= 1.6x the JSON road")


def as_a_script():
    """A user's script: a fresh process opens and verifies many different cells
    once each, every record dropped; per round, the time of that and of the JSON
    road of the same records."""
    rng = np.random.default_rng(19)
    cids = rng.integers(9 * 9**DEPTH, 15 * 9**DEPTH, SCRIPT_ROUNDS * CALLS, dtype=np.uint64)
    tree = Tree.from_cells(cids, DEPTH)
    for k in range(SCRIPT_ROUNDS):
        asked = [int(c) for c in cids[k * CALLS:(k + 1) * CALLS]]
        t0 = time.perf_counter()
        for c in asked:
            assert verify_opening(tree.open(c))
        t_ours = time.perf_counter() - t0
        # The road's records are made as they are used and dropped, so both loops
        # meet the same heap (a list of records kept alive makes the collector slower).
        t_road = 0.0
        for c in asked:
            record = tree.open(c)
            t0 = time.perf_counter()
            json.loads(json.dumps(record))
            t_road += time.perf_counter() - t0
        print(t_ours, t_road)

if __name__ == "__main__":
    if "--script" in sys.argv:
        as_a_script()
    else:
        main()
