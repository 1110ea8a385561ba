"""Random trees for the set-operation, proof and opening tests, and slow models
of node hashes and divergence computed from leaf sets with hashlib."""

import random

import model


def random_cells(rng, depth, n, top=0, a=model.A, b=model.B):
    """n random cids at random levels top..depth."""
    out = []
    for _ in range(n):
        cid = a + rng.randrange(b)
        for _ in range(rng.randint(top, depth)):
            cid = cid * a + rng.randrange(a)
        out.append(cid)
    return out


def random_pair(seed, depth, n=25):
    """Two cell lists sharing a random part, so that both equal and differing
    regions occur; some pairs share nothing, some are equal."""
    rng = random.Random(seed)
    shared = random_cells(rng, depth, rng.randint(0, n))
    own_a = random_cells(rng, depth, rng.randint(0, n // 2))
    own_b = random_cells(rng, depth, rng.randint(0, n // 2))
    return shared + own_a, shared + own_b


class Leaves:
    """A coverage as a set of leaves, with the node hashes of its full expansion."""

    def __init__(self, leaves, depth, a=model.A, b=model.B):
        self.leaves = sorted(set(leaves))
        self.depth, self.a, self.b = depth, a, b
        self.empty, self.full = model.ladders(depth, a)

    def count(self, cid):
        return model.count_in(self.leaves, model.leaf_range(cid, self.depth, self.a))

    def size(self, height):
        return self.a ** height

    def partial(self, cid, height):
        return 0 < self.count(cid) < self.size(height)

    def hash(self, cid, height):
        n = self.count(cid)
        if n == 0:
            return self.empty[height]
        if n == self.size(height):
            return self.full[height]
        return model.sha(2, [self.hash(cid * self.a + k, height - 1) for k in range(self.a)])

    def bases(self):
        return [self.a + i for i in range(self.b)]


def model_divergence(x, y):
    """Maximal cells where the two expansions differ, descending only where both
    sides are partly covered."""
    out = []

    def walk(cid, h):
        ha, hb = x.hash(cid, h), y.hash(cid, h)
        if ha == hb:
            return
        if h == 0 or not x.partial(cid, h) or not y.partial(cid, h):
            out.append((cid, ha.hex(), hb.hex()))
            return
        for k in range(x.a):
            walk(cid * x.a + k, h - 1)

    for base in x.bases():
        walk(base, x.depth)
    return out
