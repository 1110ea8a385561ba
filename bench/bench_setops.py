"""Set operations on two trees of 1M random leaf cells at depth 10, set against
the time to build a tree, with the work they do counted from the leaf sets;
transcripts (size, proving and verification rate); opening verification at
depth 18.

The pair sharing 90% of its cells shows the operations at scale; the pair
sharing 99.9% is the one whose differing branches are about 1% of all branches
(the case the operations are meant to be cheap for), and the one whose
transcript is built and verified (the 90% pair's transcript would hold millions
of steps as Python objects)."""

import json
import time

import numpy as np

from zarel import Tree, verify_opening, verify_setop
from timing import best

N, DEPTH, A = 1_000_000, 10, 9


def random_leaves(rng, n):
    return rng.integers(9 * A**DEPTH, 15 * A**DEPTH, n, dtype=np.uint64)


def pair(rng, shared):
    a = np.unique(random_leaves(rng, N))
    keep = rng.random(a.size) < shared
    b = np.unique(np.concatenate([a[keep], random_leaves(rng, int(a.size - keep.sum()))]))
    return a, b


def partial_cells(leaves, k):
    """Cells at level k that are branches (partly covered) for a set of single leaves."""
    cells, counts = np.unique(leaves // np.uint64(A ** (DEPTH - k)), return_counts=True)
    return cells[counts < A ** (DEPTH - k)]


def work(a, b):
    """(branches of a, differing branches of a, union steps) from the leaf sets:
    the union descends exactly where both sides are branches and differ, and
    visits the aperture children of each such node."""
    diff = np.setxor1d(a, b, assume_unique=True)
    branches = differing = undecided = 0
    for k in range(DEPTH):
        pa, pb = partial_cells(a, k), partial_cells(b, k)
        d = np.unique(diff // np.uint64(A ** (DEPTH - k)))
        branches += pa.size
        differing += np.intersect1d(pa, d, assume_unique=True).size
        undecided += np.intersect1d(np.intersect1d(pa, pb, assume_unique=True), d, assume_unique=True).size
    return branches, differing, 6 + A * undecided


def count_steps(proof):
    n, stack = 0, list(proof["steps"])
    while stack:
        s = stack.pop()
        n += 1
        stack.extend(s.get("children", ()))
    return n


def main():
    rng = np.random.default_rng(5)
    for shared in (0.9, 0.996):
        a_cids, b_cids = pair(rng, shared)
        build, ta = best(lambda: Tree.from_cells(a_cids, DEPTH))
        tb = Tree.from_cells(b_cids, DEPTH)
        branches, differing, visited = work(a_cids, b_cids)
        print(f"pair sharing {shared:.1%} of {a_cids.size} leaves: {branches} branches in a, "
              f"{differing} differ ({differing / branches:.2%}); build {build * 1e3:.0f} ms")
        for op in ("union", "intersect", "difference"):
            t, _ = best(lambda: getattr(ta, op)(tb))
            print(f"  {op:<10} {t * 1e3:8.1f} ms = {t / build:6.1%} of a build")
        t, div = best(lambda: ta.divergence(tb))
        print(f"  divergence {t * 1e3:8.1f} ms, {len(div)} regions")
        print(f"  union visits {visited} nodes for {differing} differing branches")
        if shared < 0.99:
            continue
        t, proof = best(lambda: ta.prove(tb, "union"), repeat=1)
        steps = count_steps(proof)
        size = len(json.dumps(proof, separators=(",", ":")))
        print(f"  prove union {t * 1e3:.0f} ms: {steps} steps (model {visited}), {size / 1e6:.1f} MB as JSON")
        t, ok = best(lambda: verify_setop(proof))
        assert ok
        print(f"  verify_setop {t * 1e3:.0f} ms: {steps / t / 1e3:.0f}k steps/s, {t / steps * 1e9:.0f} ns/step")

    deep = Tree.from_cells([9 * 9**18 + 5, 11 * 9**12 + 3, 13], 18)
    record = deep.open(9 * 9**18 + 5)
    n = 2000
    t = time.perf_counter()
    for _ in range(n):
        verify_opening(record)
    t = (time.perf_counter() - t) / n
    print(f"verify_opening at depth 18: {t * 1e6:.1f} us")


if __name__ == "__main__":
    main()
