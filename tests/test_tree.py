import random

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

import model
from trees import random_cells
from zarel import Profile, Tree

@settings(max_examples=60, deadline=None)
@given(seed=st.integers(0, 2**32), depth=st.integers(0, 4), n=st.integers(0, 40))
def test_against_model(seed, depth, n):
    rng = random.Random(seed)
    cids = random_cells(rng, depth, n)
    t = Tree.from_cells(cids, depth)
    leaves = model.leaf_set(cids, depth)
    assert t.leaves() == sorted(leaves)
    assert t.cells() == model.canonical_cells(leaves, depth)
    assert t.leaf_count() == len(leaves)
    assert t.is_empty() == (not leaves)
    assert t.root_hex == model.root(leaves, depth)
    # The Python protocols and the arrays read the same tree.
    assert bool(t) == bool(leaves) and len(t) == len(leaves) and list(t) == t.cells()
    assert t.cells_array().dtype == t.leaves_array().dtype == np.uint64
    assert t.cells_array().tolist() == t.cells() and t.leaves_array().tolist() == t.leaves()
    for probe in random_cells(rng, depth, 20):
        assert t.covers(probe) == set(model.leaf_range(probe, depth)).issubset(leaves) == (probe in t)


# Aperture 4 keeps height-1 and -2 nodes in one word, 16 stores only partly
# covered children, 25 stores every child: each layout against the model, alone
# and through the set operations.
@pytest.mark.parametrize("a, depth", [(4, 4), (16, 3), (25, 2)])
def test_layouts_against_model(a, depth):
    rng = random.Random(a)
    p = Profile(aperture=a)
    cx, cy = (random_cells(rng, depth, 30, a=a, b=6) for _ in range(2))
    x, y = Tree.from_cells(cx, depth, p), Tree.from_cells(cy, depth, p)
    lx, ly = model.leaf_set(cx, depth, a), model.leaf_set(cy, depth, a)
    assert x.cells() == model.canonical_cells(lx, depth, a)
    assert x.root_hex == model.root(lx, depth, a)
    for got, want in [(x.union(y), lx | ly), (x.intersect(y), lx & ly), (x.difference(y), lx - ly)]:
        assert got.root_hex == model.root(want, depth, a) and got.leaf_count() == len(want)
    assert all(x.covers(c) == (set(model.leaf_range(c, depth, a)) <= lx) for c in cy)


def test_equality_needs_depth_hierarchy_and_grid():
    assert Tree.from_cells([], 1) != Tree.from_cells([], 2)
    a = Tree.from_cells([], 2, Profile(aperture=4))
    b = Tree.from_cells([], 2, Profile(aperture=4, n_base=5))
    assert a != b
    # Equal coverages in other words: same root, equal, same hash.
    t, u = Tree.from_cells([9, 100, 100], 2), Tree.from_cells(list(range(81, 90)) + [9] + [100], 2)
    assert t.root_hex == u.root_hex and t == u and hash(t) == hash(u)


def test_accessors():
    p = Profile(lon_0_udeg=1)
    t = Tree.from_cells([983], 3, p)
    assert t.depth == 3 and t.profile == p and t.profile is not p
    with pytest.raises(AttributeError):
        t.depth = 4


def test_cid_inputs():
    cids = [9, 100, 983, 983]
    expected = Tree.from_cells(cids, 3)
    assert Tree.from_cells(np.array(cids, dtype=np.uint64), 3) == expected
    assert Tree.from_cells(np.repeat(np.array(cids, dtype=np.uint64), 2)[::2], 3) == expected  # strided: iterated
    assert Tree.from_cells(np.array(cids, dtype=np.int64), 3) == expected
    assert Tree.from_cells(iter(cids), 3) == expected
    assert Tree.from_cells(set(cids), 3) == expected


def test_leaves_refuses_what_cannot_be_materialised():
    full = Tree.from_cells(range(9, 15), 18)
    for leaves in (full.leaves, full.leaves_array):
        with pytest.raises(ValueError) as e:
            leaves()
        assert str(6 * 9**18) in str(e.value)
    assert full.cells() == list(range(9, 15)) and len(full) == 6 * 9**18
    # 72 base cells at depth 18 hold more leaves than a Py_ssize_t counts.
    wide = Tree.from_cells(range(9, 81), 18, Profile(n_base=72))
    with pytest.raises(OverflowError, match=f"^the tree has {72 * 9**18} covered leaves, more than len"):
        len(wide)


@pytest.mark.parametrize("probe, error", [("9", TypeError), (-1, OverflowError), (9.0, TypeError),
                                          (983 * 9, ValueError)])  # deeper than the tree
def test_membership_converts_as_covers(probe, error):
    # `in` is covers(): the same conversions, notes and cid checks.
    t = Tree.from_cells([983], 2)
    with pytest.raises(error) as e:
        probe in t
    with pytest.raises(error) as f:
        t.covers(probe)
    assert str(e.value) == str(f.value) and getattr(e.value, "__notes__", []) == getattr(f.value, "__notes__", [])


@pytest.mark.bigmem
def test_leaves_bound_both_sides():
    # With aperture 4 a base cell at depth 13 has exactly 2**26 leaves: the largest
    # result leaves() hands out. One leaf more is refused before anything is allocated.
    p = Profile(aperture=4)
    at_bound = Tree.from_cells([4], 13, p)
    assert at_bound.leaf_count() == 2**26
    leaves = at_bound.leaves()
    assert len(leaves) == 2**26 and leaves[0] == 4 * 4**13 and leaves[-1] == 5 * 4**13 - 1
    del leaves
    over = Tree.from_cells([4, 5 * 4**13], 13, p)
    with pytest.raises(ValueError, match=str(2**26 + 1)):
        over.leaves()


def test_parallel_build_matches_the_model():
    # 60k random level-7 cells put well over 4096 merged ranges under each base
    # node, so the build splits children across the pool.
    cids = random_cells(random.Random(7), 7, 60_000, top=7)
    assert Tree.from_cells(cids, 7).root_hex == model.root(model.leaf_set(cids, 7), 7)


def test_deepest_unsorted_build_matches_the_model():
    # Thousands of nested cells at the deepest depth: overlapping leaf ranges whose
    # starts differ in every byte, sorted by radix. No nine siblings meet by chance.
    cids = random_cells(random.Random(18), 18, 5000, top=3)
    given = set(cids)
    top = sorted(c for c in given if not any(c // 9**k in given for k in range(1, model.level_of(c) + 1)))
    t = Tree.from_cells(cids, 18)
    assert t.cells() == top and t.leaf_count() == sum(9 ** (18 - model.level_of(c)) for c in top)
    assert all(t.covers(c) and t.covers(c * 9 ** (18 - model.level_of(c))) for c in top[::50])
    assert not any(t.covers(base) for base in range(9, 15))


def test_concurrent_builds_of_two_profiles_and_depths_match_the_model():
    """Trees of one hierarchy and depth share a hashing context, filled by whichever
    thread needs a hash first: builds racing over two profiles and depths, each
    root checked against the model."""
    from concurrent.futures import ThreadPoolExecutor

    rng = random.Random(25)
    jobs = []
    for profile, a, depth in [(None, 9, 6), (None, 9, 8), (Profile(aperture=4), 4, 7), (Profile(aperture=4), 4, 11)]:
        cells = random_cells(rng, depth, 400, top=depth - 2, a=a)
        jobs.append((cells, depth, profile, model.root(model.leaf_set(cells, depth, a), depth, a)))

    def build(k):
        cells, depth, profile, _ = jobs[k % len(jobs)]
        return Tree.from_cells(np.array(cells, dtype=np.uint64), depth, profile).root_hex

    with ThreadPoolExecutor(4) as pool:
        roots = list(pool.map(build, range(8 * len(jobs))))
    assert roots == [jobs[k % len(jobs)][3] for k in range(len(roots))]


@pytest.mark.parametrize("late, early", [(8, 15 * 9**5), (15 * 9**5, 8)])
def test_a_big_input_names_its_first_bad_cid(late, early):
    """Big inputs are checked in parts on the pool; the error still names the
    first bad cid in input order, whichever part meets one first."""
    cids = np.arange(9 * 9**5, 9 * 9**5 + 300_000, dtype=np.uint64)
    cids[250_000], cids[1_000] = late, early
    message = f"cid {early} names base 6, outside [0, 6)" if early > 8 else "not a cid: 8"
    with pytest.raises(ValueError) as raised:
        Tree.from_cells(cids, 5)
    assert str(raised.value).startswith(message)
