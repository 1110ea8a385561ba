"""Random trees for the set-operation, proof and opening tests, and a slow model
of divergence over leaf sets."""

import copy
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


def random_pair(seed, depth, n=25, a=model.A):
    """Two cell lists sharing a random part, so that both equal and differing
    regions occur; some pairs share nothing, some are equal."""
    rng = random.Random(seed)
    shared = random_cells(rng, depth, rng.randint(0, n), a=a)
    own_a = random_cells(rng, depth, rng.randint(0, n // 2), a=a)
    own_b = random_cells(rng, depth, rng.randint(0, n // 2), a=a)
    return shared + own_a, shared + own_b


def flip(text, i):
    """The hex text with its i-th digit changed."""
    return text[:i] + ("0" if text[i] != "0" else "1") + text[i + 1:]


def edited(doc, locate, change):
    """A deep copy of the document, with `change` applied to the part `locate` finds in it."""
    m = copy.deepcopy(doc)
    change(locate(m))
    return m


def swap(items, i, j):
    items[i], items[j] = items[j], items[i]


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
