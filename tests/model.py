"""An independent, slow model of coverage trees: leaf sets, canonical cells and
roots recomputed with hashlib straight from the documented hashing rules."""

import bisect
import hashlib

A, B = 9, 6


def level_of(cid, a=A):
    n = 0
    while cid:
        cid //= a
        n += 1
    return n - 2


def leaf_range(cid, depth, a=A):
    s = a ** (depth - level_of(cid, a))
    return range(cid * s, (cid + 1) * s)


def leaf_set(cids, depth, a=A):
    out = set()
    for c in cids:
        out.update(leaf_range(c, depth, a))
    return out


def count_in(sorted_leaves, r):
    return bisect.bisect_left(sorted_leaves, r.stop) - bisect.bisect_left(sorted_leaves, r.start)


def canonical_cells(leaves, depth, a=A, b=B):
    """Coarsest cells whose leaves are all in `leaves`."""
    out = []
    leaves = sorted(leaves)

    def visit(cid, level):
        r = leaf_range(cid, depth, a)
        n = count_in(leaves, r)
        if n == 0:
            return
        if n == len(r):
            out.append(cid)
            return
        for k in range(a):
            visit(cid * a + k, level + 1)

    for base in range(b):
        visit(a + base, 0)
    return sorted(out)


def sha(tag, items=()):
    h = hashlib.sha256(bytes([tag]))
    for it in items:
        h.update(it)
    return h.digest()


def ladders(depth, a=A):
    empty, full = [sha(0)], [sha(1)]
    for _ in range(depth):
        empty.append(sha(2, [empty[-1]] * a))
        full.append(sha(2, [full[-1]] * a))
    return empty, full


def root(leaves, depth, a=A, b=B):
    """Root of the fully expanded tree; uniform subtrees use their ladder hash,
    which the rules define as the hash of their full expansion."""
    empty, full = ladders(depth, a)
    leaves = sorted(set(leaves))

    def node(cid, height):
        r = leaf_range(cid, depth, a)
        n = count_in(leaves, r)
        if n == 0:
            return empty[height]
        if n == len(r):
            return full[height]
        return sha(2, [node(cid * a + k, height - 1) for k in range(a)])

    return sha(3, [node(a + base, depth) for base in range(b)]).hex()
