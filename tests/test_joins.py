"""Point-in-area joins (Tree.contains_cells, Index.locate) against a
brute-force loop over leaf sets, the set predicates against Python sets of
leaves, and the index's dict habits."""
import random
import re

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

import model
from trees import random_cells, random_pair
from zarel import Index, Profile, Tree


def held(leaves, cid, depth):
    """The model of holding: a finer cell by its ancestor at the depth, a coarser one wholly."""
    level = model.level_of(cid)
    if level > depth:
        return cid // 9 ** (level - depth) in leaves
    return all(leaf in leaves for leaf in model.leaf_range(cid, depth))


def queries(rng, depth, n):
    """Cids at every level to two below the depth, many of them under the trees' cells."""
    return random_cells(rng, min(depth + 2, 18), n)


@settings(max_examples=50, deadline=None)
@given(seed=st.integers(0, 2**32), depth=st.integers(0, 4), n_trees=st.integers(0, 5))
def test_locate_and_contains_cells_against_a_loop(seed, depth, n_trees):
    rng = random.Random(seed)
    cells = [random_cells(rng, depth, rng.randint(0, 12)) for _ in range(n_trees)]
    index = Index()
    keys = []  # (key, leaf set) in keys() order; some keys share a tree, one is replaced
    for i, c in enumerate(cells + cells[:2]):
        key = f"k{i}"
        index.add(key, Tree.from_cells(c, depth))
        keys.append((key, model.leaf_set(c, depth)))
    if keys:
        index.add(keys[0][0], Tree.from_cells(cells[-1], depth))
        keys[0] = (keys[0][0], model.leaf_set(cells[-1], depth))
    assert index.keys() == [k for k, _ in keys]
    cids = queries(rng, depth, 300) + [c for cs in cells for c in cs]
    hits, offsets = index.locate(cids)
    got = [hits[a:b].tolist() for a, b in zip(offsets[:-1], offsets[1:])]
    assert got == [[p for p, (_, leaves) in enumerate(keys) if held(leaves, c, depth)] for c in cids]
    for c, (key, leaves) in zip(cells, keys):
        assert index[key].contains_cells(cids).tolist() == [held(leaves, q, depth) for q in cids]


@pytest.mark.parametrize("nthreads", [1, 0, 3])
def test_large_joins_match_the_small_ones_and_name_the_lowest_bad_cid(nthreads):
    rng = random.Random(5)
    depth = 6
    trees = [Tree.from_cells(random_cells(rng, depth, 400, top=1), depth) for _ in range(8)]
    index = Index()
    for i, t in enumerate(trees):
        index.add(f"t{i}", t)
    cids = np.array(queries(rng, depth, 40000), np.uint64)
    hits, offsets = index.locate(cids, nthreads=nthreads)
    step = 997  # a slice small enough to run on the calling thread, with its small directory
    for s in range(0, len(cids), step):
        h, o = index.locate(cids[s:s + step], nthreads=1)
        assert (h == hits[offsets[s]:offsets[min(s + step, len(cids))]]).all()
        assert (o == offsets[s:s + step + 1] - offsets[s]).all()
    inside = trees[3].contains_cells(cids, nthreads=nthreads)
    assert (inside == np.isin(np.arange(len(cids)), [i for i in range(len(cids))
                                                      if 3 in hits[offsets[i]:offsets[i + 1]]])).all()
    cids[30001], cids[39000] = 15, 8
    for call in (index.locate, trees[0].contains_cells):
        with pytest.raises(ValueError, match=re.escape("cell 30001: cid 15 names base 6, outside [0, 6)")):
            call(cids, nthreads=nthreads)


def test_join_edges():
    t = Tree.from_cells([983], 3)
    assert t.contains_cells([]).dtype == bool and t.contains_cells([]).size == 0
    assert t.contains_cells(np.array([983, 12, 983 * 9**10], np.uint64)).tolist() == [True, False, True]
    empty = Index()
    hits, offsets = empty.locate([983, 9])
    assert hits.tolist() == [] and offsets.tolist() == [0, 0, 0]
    # Another hierarchy: aperture 4, whose cid 21 is base 1's child 1.
    four = Profile(aperture=4, n_base=6)
    t4 = Tree.from_cells([21, 9 * 16 + 5], 3, four)
    cids = [21, 21 * 16 + 3, 5, 21 * 4**5 + 7, 9 * 16 + 5, 9 * 16 + 6]
    assert t4.contains_cells(cids).tolist() == [True, True, False, True, True, False]
    four_index = Index()
    four_index.add("t", t4)
    assert four_index.locate(cids)[1].tolist() == [0, 1, 2, 2, 3, 4, 4]
    with pytest.raises(OverflowError):
        t.contains_cells([-1])
    with pytest.raises(ValueError, match="^cell 0: not a cid: 8$"):
        empty.locate([8])
    # Every key holding every cell: the total of hits is bounded before anything is listed.
    many = Index()
    for i in range(64):
        many.add(str(i), Tree.from_cells([9], 1))
    with pytest.raises(ValueError, match="^the hits would hold more than the maximum 134217728$"):
        many.locate(np.full(2**21 + 1, 9 * 81, np.uint64))


PREDICATES = {  # name: (tree predicate, the same on Python sets)
    "<=": (lambda x, y: x <= y, lambda x, y: x <= y),
    "<": (lambda x, y: x < y, lambda x, y: x < y),
    ">=": (lambda x, y: x >= y, lambda x, y: x >= y),
    ">": (lambda x, y: x > y, lambda x, y: x > y),
    "issubset": (Tree.issubset, set.issubset),
    "issuperset": (Tree.issuperset, set.issuperset),
    "isdisjoint": (Tree.isdisjoint, set.isdisjoint),
}


@settings(max_examples=80, deadline=None)
@given(seed=st.integers(0, 2**32), depth=st.integers(0, 4))
def test_predicates_against_leaf_sets(seed, depth):
    ca, cb = random_pair(seed, depth)
    sides = [(Tree.from_cells(c, depth), model.leaf_set(c, depth)) for c in (ca, cb, ca + cb, [])]
    sides.append((Tree.from_cells(range(9, 15), depth), model.leaf_set(range(9, 15), depth)))
    for x, lx in sides:
        for y, ly in sides:
            for name, (f, g) in PREDICATES.items():
                assert f(x, y) == g(lx, ly), (name, sorted(lx), sorted(ly))


def test_predicate_refusals():
    a = Tree.from_cells([983], 3)
    with pytest.raises(ValueError, match="^depth mismatch: 3 vs 4; depth is part of a root's identity$"):
        a <= Tree.from_cells([983], 4)
    with pytest.raises(ValueError, match="^polar square mismatch"):
        a.isdisjoint(Tree.from_cells([983], 3, Profile(north_square=1)))
    with pytest.raises(TypeError):
        a < {983}
    with pytest.raises(TypeError):
        a.issubset([983])


def test_index_dict_habits():
    index = Index()
    trees = {k: Tree.from_cells([c], 2) for k, c in [("b", 983), ("a", 12), ("c", 983)]}
    for k, t in trees.items():
        index.add(k, t)
    assert list(index) == index.keys() == ["b", "a", "c"]
    assert index.items() == list(trees.items()) and index.values() == list(trees.values())
    for key in index:  # a snapshot: changing the index while iterating is allowed
        index.remove(key)
    assert len(index) == 0 and index.items() == [] and list(index) == []
