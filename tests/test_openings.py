import functools
import json
import random

import pytest
from hypothesis import given, settings, strategies as st

import model
from model import Leaves
from trees import edited, flip, random_cells, swap
from zarel import Profile, Tree, verify_opening


def nested_lists(record):
    """Every entries list on the path, outermost first; each opens exactly one entry."""
    out, node = [], record["opening"]
    while "entries" in node:
        out.append(node["entries"])
        (node,) = [e for e in node["entries"] if isinstance(e, dict)]
    return out


def opened_at(entries):
    return next(i for i, e in enumerate(entries) if isinstance(e, dict))


@settings(max_examples=60, deadline=None)
@given(seed=st.integers(0, 2**32), depth=st.integers(0, 4), a=st.sampled_from([9, 4]))
def test_openings_against_model(seed, depth, a):
    rng = random.Random(seed)
    cells = random_cells(rng, depth, rng.randint(0, 30), a=a)
    t = Tree.from_cells(cells, depth, Profile(aperture=a))
    m = Leaves(model.leaf_set(cells, depth, a), depth, a)
    # Sibling hashes need no check of their own: each record verifies against the model's root.
    root = model.root(m.leaves, depth, a)
    for cid in random_cells(rng, depth, 25, a=a):
        level = model.level_of(cid, a)
        r = t.open(cid)
        if m.partial(cid, depth - level):
            assert r is None
            continue
        assert verify_opening(r) is True
        assert (r["A"], r["B"], r["D"], r["hash"], r["v"], r["root"]) == (a, 6, depth, "sha256", 1, root)
        assert list(r) == sorted(r)
        lists = nested_lists(r)
        path = [opened_at(entries) for entries in lists]
        assert functools.reduce(lambda c, k: c * a + k, path[1:], a + path[0]) == cid
        assert lists[-1][path[-1]]["claim"] == ("full" if m.count(cid) else "empty")
        assert verify_opening(json.loads(json.dumps(r)))


def opened_hash(node, height, depth, a=9):
    """The hash a nested opening at `height` stands for, recomputed with hashlib."""
    empty, full = model.ladders(depth, a)
    if "claim" in node:
        return (full if node["claim"] == "full" else empty)[height].hex()
    kids = [bytes.fromhex(e) if isinstance(e, str) else bytes.fromhex(opened_hash(e, height - 1, depth, a))
            for e in node["entries"]]
    return model.sha(2, kids).hex()


def mutants(record, rng):
    """(name, mutant) pairs, one per mutation class and position; none proves a true claim."""
    yield "root", dict(record, root=flip(record["root"], rng.randrange(64)))
    for key, values in {"A": [4, 8, 10], "B": [5, 7], "D": [record["D"] + 1, record["D"] - 1],
                        "v": [0, 2], "hash": ["sha512", ""]}.items():
        for v in values:
            # At depth 0 no entries list has A entries, so A is not fixed by the record.
            if v != record[key] and not (key == "D" and v < 0) and not (key == "A" and record["D"] == 0):
                yield f"{key}={v}", dict(record, **{key: v})
    yield "bare claim", dict(record, opening={"claim": "full"})
    for level, entries in enumerate(nested_lists(record)):
        opened = opened_at(entries)
        here = lambda m: nested_lists(m)[level]  # noqa: E731 (the list at this level, in a copy)
        for i, e in enumerate(entries):
            if isinstance(e, str):
                yield f"flip {level}/{i}", edited(record, here, lambda s: s.__setitem__(i, flip(e, rng.randrange(64))))
            yield f"drop {level}/{i}", edited(record, here, lambda s: s.pop(i))
            yield f"duplicate {level}/{i}", edited(record, here, lambda s: s.insert(i, s[i]))
            # Swapping in a sibling with the opened child's very hash proves that sibling: true.
            if i != opened and e != opened_hash(entries[opened], record["D"] - level, record["D"]):
                yield f"swap {level}/{i}", edited(record, here, lambda s: swap(s, i, opened))
        # A second nested opening standing for a sibling with the very hash it
        # replaces: its hashes still add up to the root, but the record would name two cells.
        height = record["D"] - level
        empty, full = (ladder[height].hex() for ladder in model.ladders(record["D"]))
        i = next((i for i, e in enumerate(entries) if e in (empty, full)), None)
        if i is not None:
            claim = {"claim": "full" if entries[i] == full else "empty"}
            yield f"second opening {level}/{i}", edited(record, here, lambda s: s.__setitem__(i, claim))
    last = nested_lists(record)[-1]
    k = opened_at(last)
    for claim in ("empty" if last[k]["claim"] == "full" else "full", "maybe"):
        yield f"claim {claim}", edited(record, lambda m: nested_lists(m)[-1],
                                       lambda s: s.__setitem__(k, {"claim": claim}))


@settings(max_examples=40, deadline=None)
@given(seed=st.integers(0, 2**32), depth=st.integers(0, 4))
def test_every_mutant_is_refused(seed, depth):
    rng = random.Random(seed)
    t = Tree.from_cells(random_cells(rng, depth, rng.randint(1, 30)), depth)
    for cid in random_cells(rng, depth, 6):
        r = t.open(cid)
        if r is None:
            continue
        for name, m in mutants(r, rng):
            assert verify_opening(m) is False, name


def hand_record(A, B, D):
    """Non-membership of the first leaf of an empty hierarchy no profile makes, from hashlib alone."""
    empty, _ = model.ladders(D, A)
    node = {"claim": "empty"}
    for h in range(D):
        node = {"entries": [node] + [empty[h].hex()] * (A - 1)}
    root = model.sha(3, [empty[D]] * B).hex()
    return {"A": A, "B": B, "D": D, "hash": "sha256", "opening": {"entries": [node] + [empty[D].hex()] * (B - 1)},
            "root": root, "v": 1}


@pytest.mark.parametrize("A,B,D", [(2, 1, 62), (3, 6, 38), (4096, 2, 4), (4096, 1, 4), (9, 6, 18)])
def test_extreme_shapes(A, B, D):
    r = hand_record(A, B, D)
    assert verify_opening(r) is True
    assert verify_opening(dict(r, D=D + 1)) is False

