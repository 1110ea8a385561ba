"""The batch functions: identical results on the calling thread and on every
pool, lowest-failure reporting, bounded thread counts and sizes, and outputs
handed to NumPy in place (their argument checks are in test_messages)."""
import hashlib
import random

import numpy as np
import pytest

from model import random_points
from trees import random_cells
from zarel import _zarel as z
from zarel import neighbours

SERIAL_BELOW = 16384


def in_chunks(fn, arrays, chunk=4096):
    """The calling-thread path, element ranges below the pool threshold."""
    n = len(arrays[0])
    return [fn(*(a[i:i + chunk] for a in arrays)) for i in range(0, n, chunk)]


@pytest.fixture(scope="module")
def points():
    return random_points(40000, 2024)


@pytest.fixture(scope="module")
def cells():
    return np.array(random_cells(random.Random(7), 18, 40000), np.uint64)


BATCH = {  # name: (call on points and cells, output dtypes)
    "lookup": (lambda lon, lat, c, **k: (z._cells_from_lonlat(lon, lat, 15, **k),), ["uint64"]),
    "nuclei": (lambda lon, lat, c, **k: z._cells_to_lonlat(c, **k), ["float64", "float64"]),
    "boundaries": (lambda lon, lat, c, **k: z._cell_boundaries(c, 3, **k), ["float64", "int64"]),
    "neighbours": (lambda lon, lat, c, **k: (z._cell_neighbours(c, **k),), ["uint64"]),
}


@pytest.mark.parametrize("size", [1000, SERIAL_BELOW - 1, SERIAL_BELOW, 40000])
@pytest.mark.parametrize("nthreads", [0, 1, 2, 3])
@pytest.mark.parametrize("name", BATCH)
def test_same_on_every_pool(points, cells, name, size, nthreads):
    call, dtypes = BATCH[name]
    args = points[0][:size], points[1][:size], cells[:size]
    got = call(*args, nthreads=nthreads)
    parts = in_chunks(call, args)
    if name == "boundaries":
        # Each chunk's offsets start at 0: continue them from the coordinates before.
        shifts = np.cumsum([0] + [len(coords) for coords, _ in parts])
        want = [np.concatenate([coords for coords, _ in parts]),
                np.concatenate([offsets[:-1] + s for (_, offsets), s in zip(parts, shifts)] + [shifts[-1:]])]
    else:
        want = [np.concatenate(outputs) for outputs in zip(*parts)]
    assert [str(g.dtype) for g in got] == dtypes
    assert [g.tobytes() for g in got] == [w.tobytes() for w in want]


def test_neighbours_match_the_scalar_function(cells):
    got = z._cell_neighbours(cells[:20000])
    assert got.shape == (20000, 4)
    for i in range(0, 20000, 97):
        nb = neighbours(int(cells[i]))
        assert got[i].tolist() == [nb["up"], nb["right"], nb["down"], nb["left"]]


def test_outputs_are_writable_arrays_over_our_buffer(points):
    got = z._cells_from_lonlat(points[0][:10], points[1][:10], 5)
    assert got.flags.writeable and got.flags.c_contiguous and not got.flags.owndata
    got[0] = 1  # the array owns nothing else's memory
    lon, lat = z._cells_to_lonlat(np.array([9, 10], np.uint64))
    assert lon.flags.writeable and lat.flags.writeable


@pytest.mark.parametrize("nthreads", [1025, 10**6, 2**63, 2**64 - 1])
@pytest.mark.parametrize("size", [SERIAL_BELOW, 20000])
def test_absurd_thread_counts_are_refused(nthreads, size):
    cids = np.full(size, 9, dtype=np.uint64)
    message = f"nthreads {nthreads} is above the maximum 1024; 0 takes one worker per processor"
    for call in (lambda: z._cells_to_lonlat(cids, nthreads=nthreads),
                 lambda: z._cell_neighbours(cids, nthreads=nthreads),
                 lambda: z._cell_boundaries(cids, nthreads=nthreads),
                 lambda: z._cells_from_lonlat(cids.astype(np.float64), cids.astype(np.float64) * 0, 3,
                                              nthreads=nthreads)):
        with pytest.raises(ValueError) as e:
            call()
        assert str(e.value) == message


def test_long_polar_edges_work_up_to_the_bound():
    coords, offsets = z._cell_boundaries(np.array([10, 9 * 9 + 1], np.uint64), 65536)
    assert offsets.tolist() == [0, 5, 5 + 4 * 65535 + 1]


@pytest.mark.parametrize("nthreads", [1, 0, 4])
@pytest.mark.parametrize("bad, lon, lat, shown", [
    (13000, np.nan, 0.0, "NaN, 0"),
    (19999, 10.0, 90.0000001, "10, 90.0000001"),
    (0, np.inf, 1.5, "inf, 1.5"),
    (7, 1.0, -np.inf, "1, -inf"),
])
def test_one_bad_point_names_its_index(nthreads, bad, lon, lat, shown):
    lons, lats = random_points(20000, 5)
    lons[bad], lats[bad] = lon, lat
    with pytest.raises(ValueError) as e:
        z._cells_from_lonlat(lons, lats, 9, nthreads=nthreads)
    assert str(e.value) == f"point {bad} ({shown}) is not on the grid"


@pytest.mark.parametrize("nthreads", [0, 7])
@pytest.mark.parametrize("name", BATCH)
def test_the_lowest_failing_element_wins_under_contention(points, cells, name, nthreads):
    """Every element from 700 on fails, so threads given later elements fail at
    once while another is still on its way to 700; with more threads than
    processors and many trials, element 700 is still the one named."""
    lon, lat, c = points[0][:20000].copy(), points[1][:20000].copy(), cells[:20000].copy()
    lon[700:], c[700:] = np.nan, 8
    for _ in range(25):
        with pytest.raises(ValueError, match=r"^(cell 700: not a cid: 8|point 700 \(NaN, )"):
            BATCH[name][0](lon, lat, c, nthreads=nthreads)


def test_pinned_digests():
    """Pinned outputs for a seeded point set: the portable math (SLEEF's pure-C
    sin/asin/log, no FMA contraction) must give these very bytes on every platform.
    They were recorded after the PROJ and round-trip tests above passed (the boundaries
    again once their corners became shared grid vertices, and once more when the
    corners on one meridian or parallel came to share its longitude or latitude)."""
    lon, lat = random_points(1_000_000, 20261207)
    cids = z._cells_from_lonlat(lon, lat, 15, nthreads=0)
    nlon, nlat = z._cells_to_lonlat(cids, nthreads=0)
    coords, offsets = z._cell_boundaries(cids[:100000], 5, nthreads=0)
    digests = {
        "cids": hashlib.sha256(cids.astype("<u8").tobytes()).hexdigest(),
        "nuclei": hashlib.sha256(nlon.astype("<f8").tobytes() + nlat.astype("<f8").tobytes()).hexdigest(),
        "boundaries": hashlib.sha256(coords.astype("<f8").tobytes() + offsets.astype("<i8").tobytes()).hexdigest(),
    }
    assert digests == PINNED


PINNED = {
    "cids": "a5f0b46fde1abcedb56926d428d2ecd6690ff566c9d34f3115ce6c707a286574",
    "nuclei": "490342e05b2939e0dee03475ff60822ba905b8a746a35e5140b3cde2fb8198fb",
    "boundaries": "c229289a8106ab4a4a20f49b14fc35de2cf760ef4e8f2b613ec485fecbd1ca17",
}


@pytest.mark.parametrize("nthreads", [2, 1025, 2**64 - 1])
@pytest.mark.parametrize("size", [0, 1, SERIAL_BELOW - 1])
def test_small_inputs_run_on_the_caller_whatever_nthreads(nthreads, size):
    cids = np.full(size, 9, dtype=np.uint64)
    assert np.array_equal(z._cell_neighbours(cids, nthreads=nthreads), z._cell_neighbours(cids))
    coords, offsets = z._cell_boundaries(cids, nthreads=nthreads)
    assert len(offsets) == size + 1 and coords.shape == (offsets[-1], 2)
    lon, lat = z._cells_to_lonlat(cids, nthreads=nthreads)
    assert np.array_equal(z._cells_from_lonlat(lon, lat, 0, nthreads=nthreads), cids)
    assert z._cell_neighbours(np.arange(10, dtype=np.uint64)[::2][:0], nthreads=nthreads).shape == (0, 4)


def test_pools_write_nothing_to_stderr():
    # More threads than processors, in a fresh process so no earlier call has
    # already spent a once-only warning.
    import subprocess
    import sys
    code = ("import numpy as np; from zarel import _zarel as z\n"
            "c = np.full(20000, 983, dtype=np.uint64)\n"
            "for n in (0, 2, 8, 64): z._cells_to_lonlat(c, nthreads=n); z._cell_neighbours(c, nthreads=n)\n")
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert done.stderr == ""
