"""Rasters of whole levels and the halo gather index, checked against cell_at,
against the neighbour relation, and against straight walks across the folds."""
import itertools
import random

import numpy as np
import pytest

from trees import random_cells
from zarel import _zarel as z
from zarel import Profile, cell_at, neighbours, position

OPPOSITE = {"up": "down", "down": "up", "left": "right", "right": "left"}


def cells(level, profile=None):
    return np.frombuffer(z.raster_cells(level, profile), dtype="<u8")


def index(cids, profile=None):
    return np.frombuffer(z.raster_index(cids, profile), dtype="<i8")


def halo(level, width, profile=None):
    n = 3**level
    return np.frombuffer(z.halo_index(level, width, profile), dtype="<i8").reshape(6, n + 2 * width, n + 2 * width)


def straight_walk(cid, direction, steps, profile):
    """Walk across folds: after each crossing keep going away from where we came."""
    for _ in range(steps):
        nxt = neighbours(cid, profile)
        back = [d for d, c in neighbours(nxt[direction], profile).items() if c == cid]
        cid, direction = nxt[direction], OPPOSITE[back[0]]
    return cid


@pytest.mark.parametrize("ns, ss", list(itertools.product(range(4), range(4))))
@pytest.mark.parametrize("level, width", [(0, 1), (1, 3), (2, 2), (3, 0)])
def test_halo_continues_straight_across_the_folds(ns, ss, level, width):
    p = Profile(north_square=ns, south_square=ss)
    n = 3**level
    h, raster = halo(level, width, p), cells(level, p)
    # The raster lists the cells in scanline order, and the index finds each at its place.
    assert index(raster, p).tolist() == index(raster.tolist(), p).tolist() == list(range(6 * n * n))
    for b in range(6):
        for pr, pc in itertools.product(range(n + 2 * width), repeat=2):
            r, c = pr - width, pc - width
            outside = (not 0 <= r < n, not 0 <= c < n)
            if all(outside):
                assert h[b, pr, pc] == -1
                continue
            if not any(outside):
                assert h[b, pr, pc] == b * n * n + r * n + c and raster[h[b, pr, pc]] == cell_at(b, level, r, c, p)
                continue
            if outside[0]:
                direction, edge, steps = ("up", (0, c), -r) if r < 0 else ("down", (n - 1, c), r - n + 1)
            else:
                direction, edge, steps = ("left", (r, 0), -c) if c < 0 else ("right", (r, n - 1), c - n + 1)
            target = straight_walk(cell_at(b, level, *edge, p), direction, steps, p)
            tb, _, tr, tc = position(target, p)
            assert h[b, pr, pc] == tb * n * n + tr * n + tc, (b, pr, pc)


# Tree rasters: a tree as one byte per leaf in the same layout.
@pytest.mark.parametrize("depth", [0, 1, 2, 3, 4, 5, 6, 7, pytest.param(8, marks=pytest.mark.bigmem)])
def test_tree_raster_round_trip(depth):
    rng = random.Random(depth)
    t = z.Tree.from_cells(random_cells(rng, depth, 40, top=max(0, depth - 3)), depth)
    mask = np.frombuffer(t.raster(), np.uint8)
    # The covered bytes sit where raster_index puts the tree's leaves.
    want = np.zeros(6 * 9**depth, np.uint8)
    want[index(t.leaves())] = 1
    assert np.array_equal(mask, want)
    assert z.Tree.from_raster(t.raster(), depth) == t
    # Any non-zero byte counts as covered.
    noisy = mask * rng.randrange(1, 256)
    assert z.Tree.from_raster(noisy.tobytes(), depth) == t


def test_tree_raster_uniform_masks():
    assert z.raster_index([]) == b""
    assert z.Tree.from_raster(bytes(6 * 81), 2).is_empty()
    assert z.Tree.from_raster(b"\xff" * 6 * 81, 2).cells() == list(range(9, 15))
    assert z.Tree.from_raster(b"\x00\x01\x00\x00\x00\x07", 0).cells() == [10, 14]
    p = Profile(lon_0_udeg=0)
    assert z.Tree.from_raster(bytes(6), 0, p).profile == p


def test_a_claimed_length_beyond_memory_is_refused_at_once():
    # As list(range(2**62)) is: the length alone rules it out.
    with pytest.raises(MemoryError) as e:
        z.raster_index(range(2**62))
    assert e.value.__notes__ == ["while processing 'cids'"]
