"""Zone navigation: positions, scanline sub-zones and edge neighbours across
the folded base-cell edges, checked against a small independent model of the
layout, against PROJ's rHEALPix on the sphere, and by round trips."""
import itertools

import numpy as np
import pytest
from hypothesis import given, strategies as st

import model
from model import deepest
from zarel import Profile, cell_at, neighbours, position, subzone_at, subzone_index, subzones

STEPS = {"up": (-1, 0), "right": (0, 1), "down": (1, 0), "left": (0, -1)}


def model_cid(base, level, row, col, a=9):
    """Digits interleave the base-side digits of row and column, coarsest first."""
    side, cid = round(a**0.5), a + base
    for k in range(level - 1, -1, -1):
        cid = cid * a + side * (row // side**k % side) + col // side**k % side
    return cid


positions = st.sampled_from([4, 9, 16, 25]).flatmap(lambda a: st.integers(0, deepest(a)).flatmap(
    lambda level: st.tuples(st.just(a), st.integers(0, 5), st.just(level),
                            st.integers(0, round(a**0.5)**level - 1), st.integers(0, round(a**0.5)**level - 1))))


@given(positions)
def test_cell_at_matches_model_and_position_inverts_it(pos):
    a, pos = pos[0], pos[1:]
    p = Profile(aperture=a)
    cid = cell_at(*pos, p)
    assert cid == model_cid(*pos, a)
    assert position(cid, p) == pos
    with pytest.raises(ValueError, match=f"^level {deepest(a) + 1} is deeper than the deepest level, {deepest(a)}$"):
        cell_at(0, deepest(a) + 1, 0, 0, p)


@pytest.mark.parametrize("ancestor", [9, 983, model_cid(5, 4, 80, 3), model_cid(2, 14, 3**14 - 1, 12345)])
@pytest.mark.parametrize("depth", range(5))
def test_subzones_scanline(ancestor, depth):
    base, level, row, col = position(ancestor)
    m = 3**depth
    zones = subzones(ancestor, depth)
    assert zones == [model_cid(base, level + depth, row * m + i // m, col * m + i % m) for i in range(m * m)]
    for i, cid in enumerate(zones):
        assert subzone_index(ancestor, cid) == i
        assert subzone_at(ancestor, depth, i) == cid


@pytest.mark.parametrize("ns, ss", list(itertools.product(range(4), range(4))))
def test_neighbours_agree_with_the_sphere(ns, ss):
    """An independent oracle: step from each edge midpoint away from the cell on the
    sphere (through PROJ's rHEALPix, not ours) and see which cell the point lands in."""
    pytest.importorskip("pyproj")
    to_plane = model.proj_for(0, ns, ss)
    p = Profile(lon_0_udeg=0, north_square=ns, south_square=ss)
    level, n = 3, 27
    cells = list(itertools.product(range(6), range(n), range(n)))
    base, row, col = (np.array(v) for v in zip(*cells))
    ulx, uly = model.upper_left(base, ns, ss)
    w = model.W0 / n
    cx, cy = ulx + (col + 0.5) * w, uly - (row + 0.5) * w
    lon_c, lat_c = to_plane.transform(cx, cy, direction="INVERSE")
    # Directions mean nothing on the sphere at the pole itself: skip the pole cells.
    keep = np.abs(lat_c) < 89
    assert keep.sum() == len(cells) - 2
    for d, (dr, dc) in STEPS.items():
        lon_m, lat_m = to_plane.transform(cx + dc * w / 2, cy - dr * w / 2, direction="INVERSE")
        dlon = (lon_m - lon_c + 180) % 360 - 180
        qx, qy = to_plane.transform(lon_m + 0.3 * dlon, lat_m + 0.3 * (lat_m - lat_c))
        want = zip(*(a.tolist() for a in model.cell_of_planar(np.asarray(qx), np.asarray(qy), level, ns, ss)[:3]))
        got = [position(neighbours(model_cid(b, level, r, c), p)[d], p) for b, r, c in cells]
        assert [(g[0], g[2], g[3]) for g, k in zip(got, keep) if k] == [x for x, k in zip(want, keep) if k], d
    # The pole cells: four distinct neighbours, each of which has it back.
    for pole in (model_cid(0, level, 13, 13), model_cid(5, level, 13, 13)):
        around = set(neighbours(pole, p).values())
        assert len(around) == 4 and all(pole in neighbours(c, p).values() for c in around)
