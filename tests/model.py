"""Independent, slow models: coverage trees (leaf sets, canonical cells and roots
recomputed with hashlib from the documented hashing rules), and the planar layout
of the base cells for checks through PROJ's rHEALPix."""

import bisect
import hashlib
import math

import numpy as np

A, B = 9, 6


def deepest(a=A, b=B):
    """The deepest level whose cids fit in 64 bits."""
    level = 0
    while (a + b) * a ** (level + 1) < 2**64:
        level += 1
    return level


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


def canonical_cells(leaves, depth, a=A, b=B):
    """Coarsest cells whose leaves are all in `leaves`."""
    x, out = Leaves(leaves, depth, a, b), []

    def visit(cid, height):
        n = x.count(cid)
        if n == a**height:
            out.append(cid)
        elif n:
            for k in range(a):
                visit(cid * a + k, height - 1)

    for base in x.bases():
        visit(base, depth)
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


class Leaves:
    """A coverage as a set of leaves, with the node hashes of its full expansion."""

    def __init__(self, leaves, depth, a=A, b=B):
        self.leaves = sorted(set(leaves))
        self.depth, self.a, self.b = depth, a, b
        self.empty, self.full = ladders(depth, a)

    def count(self, cid):
        r = leaf_range(cid, self.depth, self.a)
        return bisect.bisect_left(self.leaves, r.stop) - bisect.bisect_left(self.leaves, r.start)

    def partial(self, cid, height):
        return 0 < self.count(cid) < self.a**height

    def hash(self, cid, height):
        n = self.count(cid)
        if n == 0:
            return self.empty[height]
        if n == self.a**height:
            return self.full[height]
        return sha(2, [self.hash(cid * self.a + k, height - 1) for k in range(self.a)])

    def bases(self):
        return [self.a + i for i in range(self.b)]


def root(leaves, depth, a=A, b=B):
    """Root of the fully expanded tree; uniform subtrees use their ladder hash,
    which the rules define as the hash of their full expansion."""
    x = Leaves(leaves, depth, a, b)
    return sha(3, [x.hash(base, depth) for base in x.bases()]).hex()


def random_points(n, seed):
    """n points spread evenly over the sphere: longitudes and latitudes in degrees."""
    rng = np.random.default_rng(seed)
    return rng.uniform(-180, 180, n), np.degrees(np.arcsin(rng.uniform(-1, 1, n)))


R_AUTH = 6371007.180918476  # authalic radius of WGS84
W0 = math.pi / 2 * R_AUTH  # side of a base cell in the plane


def proj_for(lon_0=0, ns=0, ss=0):
    import pyproj
    crs = f"+proj=rhealpix +ellps=WGS84 +lon_0={lon_0} +north_square={ns} +south_square={ss}"
    return pyproj.Transformer.from_crs("+proj=longlat +ellps=WGS84", crs, always_xy=True)


def upper_left(base, ns=0, ss=0):
    """Planar upper-left corner of each base cell: four equatorial squares in a row,
    the polar squares above and below the one their placement names."""
    base = np.asarray(base)
    x = np.where(base == 0, (ns * np.pi / 2 - np.pi) * R_AUTH,
                 np.where(base == 5, (ss * np.pi / 2 - np.pi) * R_AUTH, (base - 1) * W0 - np.pi * R_AUTH))
    y = np.where(base == 0, 3 * np.pi / 4 * R_AUTH, np.where(base == 5, -np.pi / 4 * R_AUTH, np.pi / 4 * R_AUTH))
    return x, y


def cell_of_planar(x, y, level, ns=0, ss=0):
    """Base, row and column of planar points, and their fractional column and row."""
    q = np.pi / 4 * R_AUTH
    base = np.where(np.abs(y) <= q, np.clip(np.floor((x + np.pi * R_AUTH) / W0), 0, 3) + 1,
                    np.where(y > 0, 0, 5)).astype(int)
    ulx, uly = upper_left(base, ns, ss)
    n = 3**level
    u, v = (x - ulx) / W0 * n, (uly - y) / W0 * n
    return base, np.floor(v).astype(np.int64), np.floor(u).astype(np.int64), u, v
