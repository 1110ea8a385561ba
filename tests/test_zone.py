"""Zone navigation: positions, scanline sub-zones and edge neighbours across
the folded base-cell edges, checked against a small independent model of the
layout and by round trips."""
import itertools

import numpy as np
import pytest
from hypothesis import given, strategies as st

import zarel
from zarel import Profile, cell_at, neighbours, position, subzone_at, subzone_index, subzones

DIRS = ("up", "right", "down", "left")
STEPS = {"up": (-1, 0), "right": (0, 1), "down": (1, 0), "left": (0, -1)}


def model_cid(base, level, row, col):
    """Digits interleave the base-3 digits of row and column, coarsest first."""
    cid = 9 + base
    for k in range(level - 1, -1, -1):
        cid = cid * 9 + 3 * (row // 3**k % 3) + col // 3**k % 3
    return cid


def squares(ns, ss):
    return Profile(north_square=ns, south_square=ss)


positions = st.integers(0, 18).flatmap(
    lambda level: st.tuples(st.integers(0, 5), st.just(level), st.integers(0, 3**level - 1),
                            st.integers(0, 3**level - 1)))


@given(positions)
def test_cell_at_matches_model_and_position_inverts_it(pos):
    cid = cell_at(*pos)
    assert cid == model_cid(*pos)
    assert position(cid) == pos
    assert position(cid, profile=None) == pos


@pytest.mark.parametrize("base", range(6))
def test_base_cells(base):
    assert position(9 + base) == (base, 0, 0, 0)
    assert cell_at(base, 0, 0, 0) == 9 + base
    assert [cell_at(base, 1, r, c) for r in range(3) for c in range(3)] == [(9 + base) * 9 + d for d in range(9)]


@pytest.mark.parametrize("args, message", [
    ((0, 19, 0, 0), "level 19 is deeper than the deepest level, 18"),
    ((6, 1, 0, 0), "base 6 out of range [0, 6)"),
    ((0, 1, 3, 0), "(3, 0) outside a 3x3 base cell at level 1"),
    ((0, 2, 0, 9), "(0, 9) outside a 9x9 base cell at level 2"),
    ((0, 18, 3**18, 0), f"({3**18}, 0) outside a {3**18}x{3**18} base cell at level 18"),
])
def test_cell_at_errors(args, message):
    with pytest.raises(ValueError) as e:
        cell_at(*args)
    assert str(e.value) == message


@pytest.mark.parametrize("cid, message", [
    (8, "not a cid: 8"), (15, "cid 15 names base 6, outside [0, 6)"),
    (2**64 - 1, "cid 18446744073709551615 is at level 19, deeper than the deepest level, 18"),
])
def test_position_errors(cid, message):
    with pytest.raises(ValueError, match=f"^{message}$".replace("(", r"\(").replace(")", r"\)").replace("[", r"\[")):
        position(cid)


def test_aperture_without_rows():
    # Profiles refuse non-square apertures, so the zone message needs a hierarchy
    # the profile cannot express: every profile reaching here has rows.
    p = Profile(aperture=16, n_base=6)
    assert position(cell_at(2, 3, 5, 7, profile=p), profile=p) == (2, 3, 5, 7)


@pytest.mark.parametrize("ancestor", [9, 983, model_cid(5, 4, 80, 3)])
@pytest.mark.parametrize("depth", range(5))
def test_subzones_scanline(ancestor, depth):
    base, level, row, col = position(ancestor)
    m = 3**depth
    zones = subzones(ancestor, depth)
    assert zones == [model_cid(base, level + depth, row * m + i // m, col * m + i % m) for i in range(m * m)]
    for i, cid in enumerate(zones):
        assert subzone_index(ancestor, cid) == i
        assert subzone_at(ancestor, depth, i) == cid


def test_subzones_depth_two_runs_whole_rows():
    a = 983
    assert subzones(a, 2)[:9] == [a * 81 + d for d in (0, 1, 2, 9, 10, 11, 18, 19, 20)]
    assert subzones(a, 0) == [a]
    assert subzone_index(a, a) == 0


@pytest.mark.parametrize("call, message", [
    (lambda: subzones(983, 10), "depth 10 has too many sub-zones"),
    (lambda: subzones(983, 41), "level 41 overflows"),
    (lambda: subzone_at(983, 1, 9), "index 9 outside the 9 sub-zones at depth 1"),
    (lambda: subzone_at(983, 41, 0), "level 41 overflows"),
    (lambda: subzone_at(9, 40, 2**64 - 1),
     "index 18446744073709551615 outside the 18446744073709551615 sub-zones at depth 40"),
    (lambda: subzone_at(model_cid(0, 18, 3**18 - 1, 0), 25, 0), "depth 25 below level 18 overflows"),
    (lambda: subzone_at(9, 19, 0), "level 19 is deeper than the deepest level, 18"),
    (lambda: subzone_at(8, 1, 0), "not a cid: 8"),
    (lambda: subzone_index(12, 81), "12 is not an ancestor of 81"),
    (lambda: subzone_index(983, 12), "983 is not an ancestor of 12"),
    (lambda: subzone_index(983, 983 * 9 + 9), "983 is not an ancestor of 8856"),
    (lambda: subzone_index(8, 983), "not a cid: 8"),
    (lambda: subzone_index(983, 15), "cid 15 names base 6, outside [0, 6)"),
])
def test_subzone_errors(call, message):
    with pytest.raises(ValueError) as e:
        call()
    assert str(e.value) == message


def test_level_0_neighbours():
    assert neighbours(9) == {"up": 12, "right": 11, "down": 10, "left": 13}
    assert neighbours(10) == {"up": 9, "right": 11, "down": 14, "left": 13}
    assert neighbours(14) == {"up": 10, "right": 11, "down": 12, "left": 13}
    assert list(neighbours(9)) == list(DIRS)


@pytest.mark.parametrize("ns, ss", list(itertools.product(range(4), range(4))))
def test_neighbours_symmetric(ns, ss):
    p = squares(ns, ss)
    for level in range(4):
        s = 3**level
        for base, r, c in itertools.product(range(6), range(s), range(s)):
            cid = model_cid(base, level, r, c)
            nb = neighbours(cid, p)
            for other in nb.values():
                back = list(neighbours(other, p).values())
                assert back.count(cid) == (1 if level else back.count(cid)) and cid in back
            if level:
                assert len(set(nb.values())) == 4


def planar_cells(x, y, level, ns, ss, r_auth):
    """Base cell, row and column of planar points (metres) well inside cells."""
    q = np.pi / 4 * r_auth
    base = np.full(x.shape, -1)
    eq = np.abs(y) <= q
    base[eq] = np.clip(np.floor((x[eq] + np.pi * r_auth) / (2 * q)), 0, 3).astype(int) + 1
    base[y > q] = 0
    base[y < -q] = 5
    ulx = np.where(base == 0, (ns * np.pi / 2 - np.pi) * r_auth,
                   np.where(base == 5, (ss * np.pi / 2 - np.pi) * r_auth, (base - 1) * 2 * q - np.pi * r_auth))
    uly = np.where(base == 0, 3 * q, np.where(base == 5, -q, q))
    n = 3**level
    col = np.floor((x - ulx) / (2 * q) * n).astype(np.int64)
    row = np.floor((uly - y) / (2 * q) * n).astype(np.int64)
    return base, row, col


@pytest.mark.parametrize("ns, ss", [(0, 0), (1, 2), (3, 1), (2, 3)])
def test_neighbours_agree_with_the_sphere(ns, ss):
    """An independent oracle: step from each edge midpoint away from the cell on the
    sphere (through PROJ's rHEALPix, not ours) and see which cell the point lands in."""
    pyproj = pytest.importorskip("pyproj")
    proj = f"+proj=rhealpix +ellps=WGS84 +lon_0=0 +north_square={ns} +south_square={ss}"
    to_plane = pyproj.Transformer.from_crs("+proj=longlat +ellps=WGS84", proj, always_xy=True)
    p = Profile(lon_0_udeg=0, north_square=ns, south_square=ss)
    r_auth = 6371007.180918476
    w0 = np.pi / 2 * r_auth
    level = 3
    n = 3**level
    cells = list(itertools.product(range(6), range(n), range(n)))
    base, row, col = (np.array(v) for v in zip(*cells))
    ulx = np.where(base == 0, (ns * np.pi / 2 - np.pi) * r_auth,
                   np.where(base == 5, (ss * np.pi / 2 - np.pi) * r_auth, (base - 1) * w0 - np.pi * r_auth))
    uly = np.where(base == 0, 3 * np.pi / 4 * r_auth, np.where(base == 5, -np.pi / 4 * r_auth, np.pi / 4 * r_auth))
    w = w0 / n
    cx, cy = ulx + (col + 0.5) * w, uly - (row + 0.5) * w
    lon_c, lat_c = to_plane.transform(cx, cy, direction="INVERSE")
    for d, (dr, dc) in STEPS.items():
        mx, my = cx + dc * w / 2, cy - dr * w / 2
        lon_m, lat_m = to_plane.transform(mx, my, direction="INVERSE")
        dlon = (lon_m - lon_c + 180) % 360 - 180
        qx, qy = to_plane.transform(lon_m + 0.3 * dlon, lat_m + 0.3 * (lat_m - lat_c))
        b2, r2, c2 = planar_cells(np.asarray(qx), np.asarray(qy), level, ns, ss, r_auth)
        got = [position(neighbours(model_cid(b, level, r, c), p)[d], p) for b, r, c in cells]
        # Directions mean nothing on the sphere at the pole itself: skip the pole cells.
        keep = np.abs(lat_c) < 89
        want = list(zip(b2.tolist(), r2.tolist(), c2.tolist()))
        assert [(g[0], g[2], g[3]) for g, k in zip(got, keep) if k] == [x for x, k in zip(want, keep) if k], d
        assert keep.sum() == len(cells) - 2


@pytest.mark.parametrize("ns, ss", list(itertools.product(range(4), range(4))))
def test_polar_neighbours_enter_the_matching_equatorial_edge(ns, ss):
    # Crossing out of a polar square lands in row 0 (north) or the last row
    # (south) of an equatorial cell whose own step back is straight up or down.
    p = squares(ns, ss)
    level, s = 2, 9
    for base, back in ((0, "up"), (5, "down")):
        for r in range(s):
            for c in range(s):
                cid = model_cid(base, level, r, c)
                for d, other in neighbours(cid, p).items():
                    b, _, orow, _ = position(other, p)
                    if b in (1, 2, 3, 4):
                        assert orow == (0 if base == 0 else s - 1)
                        assert neighbours(other, p)[back] == cid


@pytest.mark.parametrize("n_base", [5, 7])
def test_neighbours_need_six_base_cells(n_base):
    p = Profile(n_base=n_base)
    with pytest.raises(ValueError, match=f"^the rHEALPix layout has 6 base cells, the profile has {n_base}$"):
        neighbours(9, p)
    assert position(9, p) == (0, 0, 0, 0)
    assert cell_at(0, 1, 1, 1, p) == 85


@pytest.mark.parametrize("fn, args", [
    (position, (9,)), (cell_at, (0, 0, 0, 0)), (subzone_index, (9, 9)), (subzone_at, (9, 0, 0)),
    (subzones, (9, 0)), (neighbours, (9,)),
])
def test_profile_argument(fn, args):
    assert fn(*args) == fn(*args, profile=None) == fn(*args, profile=zarel.OGC_RHEALPIX)
    with pytest.raises(TypeError) as e:
        fn(*args, profile=5)
    assert "while processing 'profile'" in getattr(e.value, "__notes__", [])


@pytest.mark.parametrize("call, name, exc", [
    (lambda: position(-1), "cid", OverflowError),
    (lambda: position(2**64), "cid", OverflowError),
    (lambda: position("9"), "cid", TypeError),
    (lambda: cell_at(2**32, 0, 0, 0), "base", OverflowError),
    (lambda: cell_at(0, 0, 0, 1.0), "col", TypeError),
    (lambda: cell_at(-1, "x", 0, 0), "base", OverflowError),
    (lambda: subzone_at(9, 2**32, 0), "depth", OverflowError),
    (lambda: subzone_index(9, None), "cid", TypeError),
    (lambda: subzones(9, -1), "depth", OverflowError),
    (lambda: neighbours(cid=[9]), "cid", TypeError),
])
def test_argument_conversion(call, name, exc):
    with pytest.raises(exc) as e:
        call()
    assert e.value.__notes__ == [f"while processing '{name}'"]


def test_keywords_and_binding():
    assert cell_at(base=3, level=2, row=4, col=5) == model_cid(3, 2, 4, 5)
    assert subzone_at(ancestor=983, depth=1, index=4) == 983 * 9 + 4
    with pytest.raises(TypeError):
        position()
    with pytest.raises(TypeError):
        position(9, None, 3)
    with pytest.raises(TypeError):
        position(9, cid=9)
    with pytest.raises(TypeError):
        position(9, bogus=1)


@pytest.mark.parametrize("aperture", [4, 16, 25])
def test_other_apertures_round_trip(aperture):
    side = int(aperture**0.5)
    p = Profile(aperture=aperture)
    deepest = 0
    while (aperture + 6) * aperture ** (deepest + 1) < 2**64:
        deepest += 1
    for level in range(deepest + 1):
        n = side**level
        for row, col in [(0, 0), (n - 1, n - 1), (n // 3, (2 * n) // 3)]:
            cid = cell_at(5, level, row, col, p)
            assert position(cid, p) == (5, level, row, col)
            # The digits interleave the base-side digits of row and column.
            want = aperture + 5
            for k in range(level - 1, -1, -1):
                want = want * aperture + side * (row // side**k % side) + col // side**k % side
            assert cid == want
    with pytest.raises(ValueError, match=f"^level {deepest + 1} is deeper than the deepest level, {deepest}$"):
        cell_at(0, deepest + 1, 0, 0, p)


@given(st.integers(0, 12).flatmap(lambda level: st.tuples(
    st.integers(0, 5), st.just(level), st.integers(0, 3**level - 1), st.integers(0, 3**level - 1),
    st.integers(0, min(6, 18 - level)))), st.data())
def test_subzone_round_trip(anc, data):
    base, level, row, col, depth = anc
    ancestor = cell_at(base, level, row, col)
    index = data.draw(st.integers(0, 9**depth - 1))
    cid = subzone_at(ancestor, depth, index)
    assert subzone_index(ancestor, cid) == index
    m = 3**depth
    assert position(cid) == (base, level + depth, row * m + index // m, col * m + index % m)
