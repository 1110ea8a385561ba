"""The coverage index against a brute-force catalogue of leaf sets, its failure
rules, and the borrow rule under real threads."""

import random
import threading

import pytest
from hypothesis import given, settings, strategies as st

import model
from trees import random_cells
from zarel import Index, Profile, Tree

RELATIONS = {"disjoint", "equal", "within", "contains", "overlaps"}


class Catalogue:
    """The index's answers recomputed from plain leaf sets."""

    def __init__(self):
        self.keys = {}
        self.stored = set()

    def add(self, key, leaves):
        self.keys[key] = frozenset(leaves)
        self.stored.add(self.keys[key])

    def query(self, q):
        rows = []
        for key in sorted(self.keys):
            item = self.keys[key]
            shared = len(item & q)
            if not shared:
                continue
            relation = ["equal", "within", "contains", "overlaps"][2 * bool(item - q) + bool(q - item)]
            rows.append((key, relation, shared / len(q), shared / len(item), shared))
        # Python's sort is stable: ties keep ascending key order.
        return sorted(rows, key=lambda r: -r[2])

    def attention(self, level, depth):
        counts = {}
        for item in self.keys.values():
            for cid in {leaf // 9 ** (depth - level) for leaf in item}:
                counts[cid] = counts.get(cid, 0) + 1
        return dict(sorted(counts.items()))


@settings(max_examples=60, deadline=None)
@given(seed=st.integers(0, 2**32), depth=st.integers(0, 3))
def test_index_matches_catalogue(seed, depth):
    rng = random.Random(seed)
    pool = [random_cells(rng, depth, rng.randint(0, 8)) for _ in range(5)]
    index, cat = Index(), Catalogue()
    for _ in range(rng.randint(1, 14)):
        # Few trees under many short keys: keys share roots, and some keys move.
        key = rng.choice(["a", "b", "c", "ab", "é", "z", "B", "a\x00"])
        cells = rng.choice(pool)
        index.add(key, Tree.from_cells(cells, depth))
        cat.add(key, model.leaf_set(cells, depth))
    # A tree whose key moved on stays stored, so it still counts as a distinct root.
    assert (len(index), index.distinct_roots) == (len(cat.keys), len(cat.stored))
    assert [k for k, _ in index.roots()] == sorted(cat.keys)
    for key, root in index.roots():
        assert root == model.root(cat.keys[key], depth)
    qcells = rng.choice(pool + [random_cells(rng, depth, rng.randint(1, 6))])
    q = model.leaf_set(qcells, depth)
    got = index.query(Tree.from_cells(qcells, depth))
    want = cat.query(q) if q else []
    assert [(h["key"], h["relation"], h["fraction_of_query"], h["fraction_of_item"], h["shared_cells"]) for h in got] == want
    for h in got:
        assert list(h) == ["key", "root", "relation", "fraction_of_query", "fraction_of_item", "shared_cells"]
        assert h["root"] == model.root(cat.keys[h["key"]], depth)
    for level in range(depth + 1):
        counts = index.attention(level)
        assert counts == cat.attention(level, depth)
        assert list(counts) == sorted(counts)


def test_ties_ignore_the_item_fraction():
    # Both items share one leaf with the query; "b" is smaller, so its item
    # fraction is larger, yet "a" comes first by key.
    index = Index()
    index.add("b", Tree.from_cells([81 * 9], 2))
    index.add("a", Tree.from_cells([81], 2))
    hits = index.query(Tree.from_cells([81 * 9, 10], 2))
    # The query holds 82 leaves; "a" holds 9, "b" one.
    assert [(h["key"], h["fraction_of_query"], h["fraction_of_item"]) for h in hits] == [("a", 1 / 82, 1 / 9),
                                                                                         ("b", 1 / 82, 1.0)]


def test_empty_index():
    index = Index()
    assert index.query(Tree.from_cells([9], 2)) == [] and index.attention(40) == {} and index.roots() == []


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda i: i.add("c", Tree.from_cells([9], 3)), ValueError,
         "every tree in an index must share the hierarchy, depth and hash"),
        (lambda i: i.add("a", Tree.from_cells([9], 2, Profile(aperture=4))), ValueError,
         "every tree in an index must share the hierarchy, depth and hash"),
        (lambda i: i.query(Tree.from_cells([9], 3)), ValueError,
         "depth mismatch: 2 vs 3; depth is part of a root's identity"),
        (lambda i: i.query(Tree.from_cells([4], 2, Profile(aperture=4))), ValueError,
         "topology mismatch: Hierarchy { a: 9, b: 6 } vs Hierarchy { a: 4, b: 6 }"),
        (lambda i: i.attention(3), ValueError, "attention level 3 is deeper than the trees (2)"),
        # The index hands its trees back under the first one's profile, so another tick or epoch stays out.
        (lambda i: i.add("b", Tree.from_cells([9], 2, Profile(epoch_us=5))), ValueError,
         "time mismatch: tick=1us epoch=0 vs tick=1us epoch=5; the trees would share one profile"),
        (lambda i: i.add(5, Tree.from_cells([9], 2)), TypeError, None),
        (lambda i: i.add("k", [9]), TypeError, None),
        (lambda i: i.query(None), TypeError, None),
        (lambda i: i.attention(-1), OverflowError, None),
    ],
)
def test_failures_leave_the_index_unchanged(call, error, message):
    index = Index()
    index.add("a", Tree.from_cells([9, 100], 2))
    before = (len(index), index.distinct_roots, index.roots())
    with pytest.raises(error) as info:
        call(index)
    if message:
        assert str(info.value) == message
    else:
        assert any(note.startswith("while processing") for note in getattr(info.value, "__notes__", []))
    assert (len(index), index.distinct_roots, index.roots()) == before


def test_attention_grows_with_cells_not_keys():
    # A thousand keys over one whole base cell: one count per cell, and a level
    # whose cells no dict could hold is refused before anything is built.
    index = Index()
    whole = Tree.from_cells([9], 18)
    for i in range(1000):
        index.add(str(i), whole)
    assert index.attention(2) == {c: 1000 for c in range(9 * 81, 10 * 81)}
    with pytest.raises(ValueError, match="^attention at level 9 names 387420489 cells, more than the 67108864"):
        index.attention(9)


def test_threads_hammering_one_index():
    index = Index()
    trees = [Tree.from_cells(random_cells(random.Random(s), 4, 30), 4) for s in range(8)]
    roots = {t.root_hex for t in trees}
    errors, stop = [], threading.Event()

    def guarded(f):
        """Whether f ran; a refused borrow is the one failure allowed."""
        try:
            f()
            return True
        except RuntimeError as e:
            if str(e) not in ("Already borrowed", "Already mutably borrowed"):
                errors.append(e)
        except BaseException as e:  # anything else is a fault
            errors.append(e)
        return False

    def writer(w):
        rng = random.Random(w)
        for i in range(400):
            tree = rng.choice(trees)
            while not guarded(lambda: index.add(f"w{w}-{i % 50}", tree)) and not errors:
                pass

    def reader(r):
        rng = random.Random(100 + r)
        while not stop.is_set():
            def look():
                for h in index.query(rng.choice(trees)):
                    assert h["root"] in roots and h["relation"] in RELATIONS
                pairs = index.roots()
                assert [k for k, _ in pairs] == sorted(k for k, _ in pairs)
                assert all(v > 0 for v in index.attention(1).values())
                assert 0 <= len(index) <= 200 and index.distinct_roots <= len(trees)
            guarded(look)

    writers = [threading.Thread(target=writer, args=(w,)) for w in range(4)]
    readers = [threading.Thread(target=reader, args=(r,)) for r in range(4)]
    for t in readers + writers:
        t.start()
    for t in writers:
        t.join()
    stop.set()
    for t in readers:
        t.join()
    assert errors == []
    assert len(index) == 200 and {r for _, r in index.roots()} <= roots
