"""Rasters of whole levels and the halo gather index, checked against cell_at,
against the neighbour relation, and against straight walks across the folds."""
import itertools

import numpy as np
import pytest

from zarel import _zarel as z
from zarel import Profile, cell_at, neighbours, position

OPPOSITE = {"up": "down", "down": "up", "left": "right", "right": "left"}
OUTWARD = {"up": (-1, 0), "down": (1, 0), "left": (0, -1), "right": (0, 1)}


def cells(level, profile=None):
    return np.frombuffer(z.raster_cells(level, profile), dtype="<u8")


def index(cids, profile=None):
    return np.frombuffer(z.raster_index(cids, profile), dtype="<i8")


def halo(level, width, profile=None):
    n = 3**level
    return np.frombuffer(z.halo_index(level, width, profile), dtype="<i8").reshape(6, n + 2 * width, n + 2 * width)


@pytest.mark.parametrize("level", range(5))
def test_raster_cells_in_scanline_order(level):
    n = 3**level
    got = cells(level)
    assert len(got) == 6 * n * n
    for flat in range(0, len(got), max(1, len(got) // 500)):
        b, rest = divmod(flat, n * n)
        assert got[flat] == cell_at(b, level, *divmod(rest, n))
    assert index(got).tolist() == list(range(6 * n * n))
    assert index(got.tolist()).tolist() == list(range(6 * n * n))


def test_empty_raster_index():
    assert z.raster_index([]) == b""


@pytest.mark.parametrize("level", range(4))
def test_halo_of_width_0_is_the_raster(level):
    assert halo(level, 0).ravel().tolist() == list(range(6 * 9**level))


def test_halo_at_level_0():
    h = halo(0, 1)
    for b in range(6):
        nb = neighbours(9 + b)
        assert h[b, 1, 1] == b
        assert [h[b, 0, 0], h[b, 0, 2], h[b, 2, 0], h[b, 2, 2]] == [-1] * 4
        assert [h[b, 0, 1], h[b, 1, 0], h[b, 1, 2], h[b, 2, 1]] == [
            nb[d] - 9 for d in ("up", "left", "right", "down")]


def straight_walk(cid, direction, steps, profile):
    """Walk across folds: after each crossing keep going away from where we came."""
    for _ in range(steps):
        nxt = neighbours(cid, profile)
        back = [d for d, c in neighbours(nxt[direction], profile).items() if c == cid]
        cid, direction = nxt[direction], OPPOSITE[back[0]]
    return cid


@pytest.mark.parametrize("ns, ss", list(itertools.product(range(4), range(4))))
@pytest.mark.parametrize("level, width", [(1, 3), (2, 2)])
def test_halo_continues_straight_across_the_folds(ns, ss, level, width):
    p = Profile(north_square=ns, south_square=ss)
    n = 3**level
    h = halo(level, width, p)
    raster = index(cells(level, p), p)
    assert raster.tolist() == list(range(6 * n * n))
    for b in range(6):
        for pr, pc in itertools.product(range(n + 2 * width), repeat=2):
            r, c = pr - width, pc - width
            outside = (not 0 <= r < n, not 0 <= c < n)
            if all(outside):
                assert h[b, pr, pc] == -1
                continue
            if not any(outside):
                assert h[b, pr, pc] == b * n * n + r * n + c
                continue
            if outside[0]:
                direction, edge, steps = ("up", (0, c), -r) if r < 0 else ("down", (n - 1, c), r - n + 1)
            else:
                direction, edge, steps = ("left", (r, 0), -c) if c < 0 else ("right", (r, n - 1), c - n + 1)
            target = straight_walk(cell_at(b, level, *edge, p), direction, steps, p)
            tb, _, tr, tc = position(target, p)
            assert h[b, pr, pc] == tb * n * n + tr * n + tc, (b, pr, pc)
