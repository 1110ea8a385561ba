"""Cell arrays, grid disks, dilation and multi-zone zone data, against
breadth-first walks over `neighbours`, leaf sets and the scalar functions."""
import os
import random
import re

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

import model
import zarel
from trees import random_cells
from zarel import Profile, Tree

LAYOUTS = [None, Profile(north_square=1, south_square=2)]


def bfs(cid, k, profile=None):
    """Cells within k steps of cid, by the scalar neighbours."""
    seen, ring = {cid}, [cid]
    for _ in range(k):
        ring = {n for c in ring for n in zarel.neighbours(c, profile).values()} - seen
        seen.update(ring)
    return seen


def split(pair):
    cells, offsets = pair
    return [cells[a:b].tolist() for a, b in zip(offsets[:-1], offsets[1:])]


def cell_on(seed, level, edge):
    """A random cell; with `edge`, one next to its base cell's edge or corner."""
    rng = random.Random(seed)
    n = 3 ** level
    row, col = rng.randrange(n), rng.randrange(n)
    if edge:
        row, col = rng.choice([0, n - 1, row]), rng.choice([0, n - 1])
    return zarel.cell_at(rng.randrange(6), level, row, col)


@settings(max_examples=120, deadline=None)
@given(seed=st.integers(0, 2**32), level=st.integers(0, 7), k=st.integers(0, 4), edge=st.booleans(),
       layout=st.sampled_from(LAYOUTS))
def test_disk_is_the_breadth_first_ball(seed, level, k, edge, layout):
    c = cell_on(seed, level, edge)
    got = split(zarel.grid_disk([c, c], k, layout))
    assert got[0] == got[1] == sorted(bfs(c, k, layout))
    ring = sorted(bfs(c, k, layout) - bfs(c, k - 1, layout)) if k else [c]
    assert split(zarel.grid_ring([c, c], k, layout)) == [ring, ring]


def bfs_distances(cid, profile=None):
    """Steps from cid to every cell of its level, by the scalar neighbours."""
    dist, ring = {cid: 0}, [cid]
    while ring:
        ring = [n for c in ring for n in zarel.neighbours(c, profile).values() if n not in dist and not dist.update({n: dist[c] + 1})]
    return dist


@settings(max_examples=40, deadline=None)
@given(seed=st.integers(0, 2**32), level=st.integers(0, 3), edge=st.booleans(),
       layout=st.sampled_from(LAYOUTS + [Profile(north_square=3, south_square=1)]))
def test_distance_is_the_breadth_first_one(seed, level, edge, layout):
    # From one cell to every cell of its level: the walk across the folds decides.
    c = cell_on(seed, level, edge)
    dist = bfs_distances(c, layout)
    others = np.array(sorted(dist), np.uint64)
    assert zarel.grid_distance(c, others, layout).tolist() == [dist[o] for o in others.tolist()]
    assert zarel.grid_distance(others, c, layout).tolist() == [dist[o] for o in others.tolist()]


def test_distance_refusals_and_far_cells():
    deep = [zarel.cell_at(b, 18, r, c) for b, r, c in [(0, 0, 0), (5, 3**18 - 1, 5), (2, 7, 3**18 - 1)]]
    # Across the globe the walk is bounded by two base cells' sides, and symmetric.
    d = zarel.grid_distance(deep, deep[::-1])
    assert d[0] == d[2] and 0 < d[0] <= 4 * 3**18 and d[1] == 0
    with pytest.raises(ValueError, match="^cell 1: cids 983 and 12 are at levels 2 and 0; a distance joins cells of one level$"):
        zarel.grid_distance([9, 983], [10, 12])
    with pytest.raises(ValueError, match="^3 cells in a but 2 in b$"):
        zarel._zarel._grid_distance(np.zeros(3, np.uint64) + 9, np.zeros(2, np.uint64) + 9)


def test_cells_valid():
    values = [8, 9, 14, 15, 983, 2251419529454986814, 2251419529454986815, 2**64 - 1]
    assert zarel.cells_valid(values).tolist() == [False, True, True, False, True, True, False, False]
    assert zarel.cells_valid([-1, 9]).tolist() == [False, True]
    assert zarel.cells_valid([9 * 4 + 3], Profile(aperture=4, n_base=6)).tolist() == [True]


@pytest.mark.parametrize("level, row, col, k", [(5, 121, 121, 60), (4, 0, 40, 45), (3, 26, 13, 30)])
@pytest.mark.parametrize("layout", LAYOUTS)
def test_large_disks_are_the_breadth_first_ball(level, row, col, k, layout):
    c = zarel.cell_at(2, level, row, col)
    assert zarel.grid_disk([c], k, layout)[0].tolist() == sorted(bfs(c, k, layout))


def test_disk_sizes():
    deep = zarel.cell_at(2, 18, 3**17, 3**17)
    assert len(zarel.grid_disk([deep], 1000)[0]) == 2 * 1000 * 1001 + 1
    assert zarel.grid_disk([9], 2**32 - 1)[0].tolist() == list(range(9, 15))
    # The whole level when the disk reaches all of it; refused before any walk when it could pass the bound.
    whole = sorted(c for b in range(9, 15) for c in zarel.subzones(b, 3))
    assert zarel.grid_disk([zarel.cell_at(0, 3, 0, 0)], 10**6)[0].tolist() == whole
    for cells, k in [([deep], 10000), ([9, zarel.cell_at(5, 18, 0, 0)], 10**6), ([zarel.cell_at(1, 8, 0, 7)], 8192)]:
        with pytest.raises(ValueError, match="^the disks would hold more than the maximum 134217728 cells$"):
            zarel.grid_disk(cells, k)


@settings(max_examples=60, deadline=None)
@given(seed=st.integers(0, 2**32), depth=st.integers(0, 3), k=st.integers(0, 3), layout=st.sampled_from(LAYOUTS))
def test_dilation_is_the_union_of_leaf_disks(seed, depth, k, layout):
    rng = random.Random(seed)
    t = Tree.from_cells(random_cells(rng, depth, rng.randint(0, 6)), depth, layout)
    leaves = t.leaves()
    want = Tree.from_cells(zarel.grid_disk(leaves, k, layout)[0], depth, layout)
    assert t.dilate(k) == want


def touching(depth, layout):
    """Cells of one level sharing a boundary point (an edge or a corner), from their polygons in 3D."""
    cells = zarel.cell_children(range(9, 15), depth)[0]
    coords, offsets = zarel.cell_boundaries(cells, 3, layout)
    lon, lat = np.radians(coords[:, 0]), np.radians(coords[:, 1])
    xyz = np.round(np.stack([np.cos(lat) * np.cos(lon), np.cos(lat) * np.sin(lon), np.sin(lat)], 1), 9) + 0.0
    at = {}
    for i, c in enumerate(cells.tolist()):
        for p in map(tuple, xyz[offsets[i]:offsets[i + 1]]):
            at.setdefault(p, set()).add(c)
    near = {c: set() for c in cells.tolist()}
    for group in at.values():
        for c in group:
            near[c] |= group - {c}
    return near


@pytest.mark.parametrize("layout", LAYOUTS)
def test_dilation_across_corners_is_the_touching_ball(layout):
    rng = random.Random(11)
    for depth in (1, 2):
        near = touching(depth, layout)
        for _ in range(6):
            t = Tree.from_cells(random_cells(rng, depth, rng.randint(1, 4)), depth, layout)
            k = rng.randint(1, 3)
            grown = set(t.leaves())
            for _ in range(k):
                grown |= {n for c in grown for n in near[c]}
            assert t.dilate(k, corners=True) == Tree.from_cells(grown, depth, layout)
    # Two cells meeting at a corner touch only when steps may cross corners.
    a, b = Tree.from_cells([zarel.cell_at(1, 3, 4, 4)], 3), Tree.from_cells([zarel.cell_at(1, 3, 5, 5)], 3)
    assert a.dilate(1).isdisjoint(b) and not a.dilate(1, corners=True).isdisjoint(b)
    with pytest.raises(TypeError, match="not a bool"):
        a.dilate(1, corners=1)


def test_area_is_leaves_times_cell_area():
    t = Tree.from_cells([983, 12 * 9], 4)
    assert t.area_m2() == pytest.approx(10 * 9**2 * zarel.cell_area_m2(4), rel=1e-15)
    assert Tree.from_cells(range(9, 15), 0).area_m2() == pytest.approx(510065621.7e6, rel=1e-9)
    assert Tree.from_cells([], 3).area_m2() == 0


def test_dilation_follows_the_boundary():
    # A whole base cell at depth 18: its band is four sides of 3**18 leaves, too many to add,
    # while its inside (9**18 leaves) is never visited.
    with pytest.raises(ValueError, match="^dilating by 1 adds more than 33554432 leaves at depth 18$"):
        Tree.from_cells([9], 18).dilate(1)
    block = Tree.from_cells([zarel.suid_to_cid("Q1234")], 12)
    assert block.dilate(2).leaf_count() == 9**8 + 4 * 2 * 3**8 + 4


@settings(max_examples=60, deadline=None)
@given(seed=st.integers(0, 2**32), depth=st.integers(1, 5))
def test_cell_arrays_agree_with_the_scalar_functions(seed, depth):
    rng = random.Random(seed)
    cids = random_cells(rng, 18, 50)
    suids = zarel.cids_to_suids(cids)
    assert suids.tolist() == [zarel.cid_to_suid(c) for c in cids]
    assert zarel.suids_to_cids(suids).tolist() == zarel.suids_to_cids(list(suids)).tolist() == cids
    levels = zarel.cell_levels(cids)
    assert levels.tolist() == [model.level_of(c) for c in cids]
    deep = [c for c, level in zip(cids, levels) if level >= depth]
    assert zarel.cell_parents(deep, depth).tolist() == [c // 9 ** (model.level_of(c) - depth) for c in deep]
    coarse = [c for c, level in zip(cids, levels) if level <= depth]
    assert split(zarel.cell_children(coarse, depth)) == [list(model.leaf_range(c, depth)) for c in coarse]


BAD = {  # name: (call, a bad element, its message)
    "suids": (lambda c, **k: zarel.cids_to_suids(c, **k), 8, "not a cid: 8"),
    "levels": (lambda c, **k: zarel.cell_levels(c, **k), 15, "cid 15 names base 6, outside [0, 6)"),
    "parents": (lambda c, **k: zarel.cell_parents(c, 2, **k), 9, "cid 9 is at level 0, coarser than 2"),
    "children": (lambda c, **k: zarel.cell_children(c, 3, **k), 983 * 81, "cid 79623 is at level 4, finer than 3"),
    "disk": (lambda c, **k: zarel.grid_disk(c, 1, **k), 2**64 - 1,
             "cid 18446744073709551615 is at level 19, deeper than the deepest level, 18"),
    "nuclei": (lambda c, **k: zarel.cells_to_lonlat(c, **k), 15, "cid 15 names base 6, outside [0, 6)"),
    "boundaries": (lambda c, **k: zarel.cell_boundaries(c, **k), 2**64 - 1,
                   "cid 18446744073709551615 is at level 19, deeper than the deepest level, 18"),
    "neighbours": (lambda c, **k: zarel.cell_neighbours(c, **k), 3, "not a cid: 3"),
}


@pytest.mark.parametrize("nthreads", [1, 0, 4])
@pytest.mark.parametrize("name", BAD)
def test_a_bad_cell_is_named_by_its_index(name, nthreads):
    call, bad, message = BAD[name]
    cids = np.full(20000, 983 * 9, np.uint64)
    cids[12345], cids[19000] = bad, 8  # the later failure never wins, whatever the threads
    with pytest.raises(ValueError, match=f"^cell 12345: {re.escape(message)}$"):
        call(cids, nthreads=nthreads)


def test_refusals():
    with pytest.raises(ValueError, match="^the children would hold more than the maximum 134217728 cells$"):
        zarel.cell_children([9], 9)
    with pytest.raises(ValueError, match="^level 19 is deeper than the deepest level, 18$"):
        zarel.cell_parents([9], 19)
    with pytest.raises(ValueError, match="^cell 1: bad suid digit 'x'$"):
        zarel.suids_to_cids(["Q1", "Q1x"])
    with pytest.raises(TypeError, match=r"^suids\[1\] is 5, not a str$"):
        zarel.suids_to_cids(["Q1", 5])
    assert zarel.suids_to_cids(np.array([b"Q12", b"N"])).tolist() == [983, 9]
    assert zarel.cids_to_suids([]).tolist() == [] and zarel.suids_to_cids([]).tolist() == []


@settings(max_examples=60, deadline=None)
@given(seed=st.integers(0, 2**32), depth=st.integers(0, 3), data=st.data())
def test_zone_documents_rebuild_the_tree(seed, depth, data):
    rng = random.Random(seed)
    t = Tree.from_cells(random_cells(rng, depth, rng.randint(0, 8)), depth)
    level = data.draw(st.integers(0, depth))
    docs = zarel.dggs_json_zones(t, level)
    zones = [zarel.suid_to_cid(d["zoneId"]) for d in docs]
    assert zones == sorted({c // 9 ** (depth - level) for c in t.leaves()})
    back = Tree.from_cells([], depth)
    for d in docs:
        back = back.union(Tree.from_dggs_json(d))
    assert back == t


@settings(max_examples=60, deadline=None)
@given(seed=st.integers(0, 2**32), depth=st.integers(0, 5), stray=st.booleans())
def test_enclosing_zone_is_the_common_prefix(seed, depth, stray):
    rng = random.Random(seed)
    top = random_cells(rng, depth, 1)[0]
    below = depth - model.level_of(top)
    cells = [top * 9**j + rng.randrange(9**j) for j in (rng.randint(0, below) for _ in range(rng.randint(0, 4)))]
    t = Tree.from_cells(cells + random_cells(rng, depth, stray), depth)
    prefix = os.path.commonprefix([zarel.cid_to_suid(c) for c in t.leaves()])
    want = zarel.suid_to_cid(prefix) if prefix else None
    assert zarel.enclosing_zone(t) == want
    if want is not None:
        assert zarel.to_dggs_json(t) == zarel.to_dggs_json(t, prefix) == t.to_dggs_json(want)


def test_zone_refusals():
    whole = Tree.from_cells(range(9, 15), 6)
    with pytest.raises(ValueError, match="^the tree meets 3188646 zones at level 6, above the maximum 65536$"):
        zarel.dggs_json_zones(whole, 6)
    with pytest.raises(ValueError, match="^the documents would hold 2324522934 values, above the maximum 1073741824$"):
        zarel.dggs_json_zones(Tree.from_cells(range(9, 15), 9), 0)
    with pytest.raises(ValueError, match="^level 7 is deeper than the tree's depth 6$"):
        zarel.dggs_json_zones(whole, 7)
    with pytest.raises(ValueError, match="no enclosing zone"):
        zarel.to_dggs_json(whole)
