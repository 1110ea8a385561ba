"""Pickling and copying of Profile, Tree and Index: exact rebuilds (same root,
cells, depth and profile; same keys, roots and stored trees) under every protocol, a form that grows with the canonical
cells rather than the leaves, damaged forms refused, and trees crossing
process boundaries."""
import copy
import multiprocessing
import pickle
import random
from concurrent.futures import ProcessPoolExecutor

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

import zarel
from zarel import Index, Profile, Tree
from zarel._pickling import _index_from_state, _tree_from_state
from trees import random_cells

PROFILES = [Profile.ogc(), Profile.zarel_1(),
            Profile(lon_0_udeg=-12345678, north_square=2, south_square=3, tick_us=1000, epoch_us=-86400)]


def same_tree(a, b):
    return (a == b and a.root_hex == b.root_hex and a.depth == b.depth and a.profile == b.profile
            and a.cells() == b.cells())


@given(seed=st.integers(0, 2**32), depth=st.integers(0, 12), n=st.integers(0, 40),
       profile=st.sampled_from(PROFILES), protocol=st.integers(0, pickle.HIGHEST_PROTOCOL))
@settings(max_examples=60, deadline=None)
def test_tree_round_trip(seed, depth, n, profile, protocol):
    t = Tree.from_cells(random_cells(random.Random(seed), depth, n), depth, profile)
    assert same_tree(pickle.loads(pickle.dumps(t, protocol)), t)
    assert same_tree(copy.copy(t), t) and same_tree(copy.deepcopy(t), t)
    for p in (pickle.loads(pickle.dumps(profile, protocol)), copy.copy(profile), copy.deepcopy(profile)):
        assert p == profile and p.id_hex() == profile.id_hex() and p.to_dict() == profile.to_dict()


@pytest.mark.parametrize("depth", [0, 9, 18])
def test_form_grows_with_cells_not_leaves(depth):
    # A full base cell at depth 18 has 9**18 leaves but one canonical cell.
    whole = Tree.from_cells([9, 10, 11], depth)
    assert len(pickle.dumps(whole)) < 250
    rng = random.Random(depth)
    scattered = Tree.from_cells(random_cells(rng, depth, 3000, top=depth), depth)
    # Isolated deep cells cost their path below the shared levels, a few bits a level.
    assert len(pickle.dumps(scattered)) < 16 * len(scattered.cells()) + 250


PROFILE_STATE = tuple(Profile.ogc().to_dict()[f] for f in
                      ("hash", "aperture", "n_base", "lon_0_udeg", "north_square", "south_square",
                       "a_um", "inv_f_nano", "tick_us", "epoch_us"))


@pytest.mark.parametrize("cells, depth, profile, error", [
    (b"\x09" + bytes(6), 3, PROFILE_STATE, ValueError),                         # not 8 bytes per cell
    ("0900000000000000", 3, PROFILE_STATE, ValueError),                         # not bytes
    ((983).to_bytes(8, "little"), 1, PROFILE_STATE, ValueError),                # deeper than the depth
    ((8).to_bytes(8, "little"), 3, PROFILE_STATE, ValueError),                  # not a cid
    ((9).to_bytes(8, "little"), 19, PROFILE_STATE, ValueError),                 # depth beyond the grid
    ((9).to_bytes(8, "little"), -1, PROFILE_STATE, OverflowError),
    ((9).to_bytes(8, "little"), 3, ("SHA256",) + PROFILE_STATE[1:], ValueError),
    ((9).to_bytes(8, "little"), 3, PROFILE_STATE[:9], ValueError),
])
def test_damaged_forms_are_refused(cells, depth, profile, error):
    with pytest.raises(error):
        _tree_from_state(cells, depth, profile)


@given(seed=st.integers(0, 2**32), adds=st.lists(st.tuples(st.sampled_from("abcd"), st.integers(0, 6)), max_size=12),
       protocol=st.integers(0, pickle.HIGHEST_PROTOCOL))
@settings(max_examples=40, deadline=None)
def test_index_round_trip(seed, adds, protocol):
    # Keys moving between trees leave trees no key names; the copy stores them too.
    # Tree 6 stands for removing the key.
    rng = random.Random(seed)
    pool = [Tree.from_cells(random_cells(rng, 3, 30), 3, PROFILES[2]) for _ in range(6)]
    index = Index()
    for key, i in adds:
        if i < 6:
            index.add(key, pool[i])
        elif key in index:
            index.remove(key)
    for twin in (pickle.loads(pickle.dumps(index, protocol)), copy.copy(index), copy.deepcopy(index),
                 Index.from_bytes(index.to_bytes())):
        assert twin.roots() == index.roots() and twin.distinct_roots == index.distinct_roots
        assert twin.keys() == index.keys()
        assert all(same_tree(x, y) for x, y in zip(twin._content()[0], index._content()[0], strict=True))
        assert twin.query(pool[0]) == index.query(pool[0]) and twin.attention(2) == index.attention(2)
        twin.add("new", pool[5])
        assert "new" not in dict(index.roots())


T = Tree.from_cells([9], 1)


@pytest.mark.parametrize("trees, keys, error", [
    ([T], [("k", 1)], ValueError),                     # names a tree that is not there
    ([T, T], [("k", 0)], ValueError),                  # one tree twice
    ([T], [], ValueError),                             # a tree without any key
    (["9"], [("k", 0)], TypeError),
    ([T, Tree.from_cells([9], 2)], [("k", 0), ("l", 1)], ValueError),   # depths differ
])
def test_damaged_index_forms_are_refused(trees, keys, error):
    with pytest.raises(error):
        _index_from_state(trees, keys)


def build(seed):
    rng = np.random.default_rng(seed)
    lon, lat = rng.uniform(-180, 180, 5000), rng.uniform(-80, 80, 5000)
    return Tree.from_cells(zarel.cells_from_lonlat(lon, lat, 7), 7, Profile.zarel_1())


@pytest.mark.parametrize("method", ["spawn", "fork"])
def test_trees_cross_processes(method):
    seeds = [1, 2, 3, 4]
    expected = [build(s) for s in seeds]
    with ProcessPoolExecutor(2, mp_context=multiprocessing.get_context(method)) as pool:
        got = list(pool.map(build, seeds))
        echoed = list(pool.map(copy.copy, expected))
    assert all(same_tree(g, e) for g, e in zip(got, expected))
    assert all(same_tree(g, e) for g, e in zip(echoed, expected))
