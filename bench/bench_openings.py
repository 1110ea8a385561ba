"""Tree.open and verify_opening at depth 18 through Python, against the JSON
road the same record takes anyway: json.dumps then json.loads of it (opening
records cross into and out of the module as JSON text). Best of seven rounds;
on a shared machine compare the ratio, which comes from one run."""

import json
import subprocess
import sys
import time

import numpy as np

from zarel import Tree, verify_opening

DEPTH, ROUNDS, CALLS = 18, 7, 2000


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
    print(f"as a script (fresh process, {CALLS} different cells, records dropped): {float(out.stdout):.2f}x"
          " the JSON road (target <= 1.6)")


def as_a_script():
    """A user's script: a fresh process opens and verifies many different cells
    once each, every record dropped, beside the JSON road of the same records."""
    rng = np.random.default_rng(19)
    cids = rng.integers(9 * 9**DEPTH, 15 * 9**DEPTH, CALLS, dtype=np.uint64)
    tree = Tree.from_cells(cids, DEPTH)
    asked = [int(c) for c in cids]
    t0 = time.perf_counter()
    for c in asked:
        assert verify_opening(tree.open(c))
    t_ours = time.perf_counter() - t0
    records = [tree.open(c) for c in asked]
    t0 = time.perf_counter()
    for r in records:
        json.loads(json.dumps(r))
    t_road = time.perf_counter() - t0
    print(t_ours / t_road)


if __name__ == "__main__":
    if "--script" in sys.argv:
        as_a_script()
    else:
        main()
