"""Point lookup, nuclei and boundaries of 10M seeded random points on the
sphere, against H3 at resolution 15: h3ronpy's vectorised functions and, for
scale, a plain Python loop over h3.latlng_to_cell on a subsample. Rates are the
best of three; on a shared machine compare the ratios, which come from one run.

    python bench/bench_points.py [N]
"""
import sys
import time

import numpy as np

from zarel import _zarel as z

N = int(sys.argv[1]) if len(sys.argv) > 1 else 10_000_000
LOOP_N = 200_000
BOUNDARY_N = 1_000_000


def timed(fn, repeat=3):
    best = float("inf")
    for _ in range(repeat):
        t = time.perf_counter()
        out = fn()
        best = min(best, time.perf_counter() - t)
    return best, out


rows = []


def report(name, seconds, n):
    rows.append((name, n / seconds, seconds / n * 1e9))
    print(f"{name:<52} {n / seconds:>14,.0f} points/s {seconds / n * 1e9:>9.1f} ns/point", flush=True)


def main():
    rng = np.random.default_rng(20261207)
    lon = rng.uniform(-180, 180, N)
    lat = np.degrees(np.arcsin(rng.uniform(-1, 1, N)))
    print(f"{N:,} points, level/resolution 15\n")

    t, cids = timed(lambda: z._cells_from_lonlat(lon, lat, 15, nthreads=1))
    report("zarel _cells_from_lonlat, 1 thread", t, N)
    t2, cids2 = timed(lambda: z._cells_from_lonlat(lon, lat, 15, nthreads=2))
    assert np.array_equal(cids, cids2)
    report("zarel _cells_from_lonlat, 2 threads", t2, N)

    t, (nlon, nlat) = timed(lambda: z._cells_to_lonlat(cids, nthreads=1))
    report("zarel _cells_to_lonlat, 1 thread", t, N)
    t, _ = timed(lambda: z._cells_to_lonlat(cids, nthreads=2))
    report("zarel _cells_to_lonlat, 2 threads", t, N)

    sub = cids[:BOUNDARY_N]
    t, _ = timed(lambda: z._cell_boundaries(sub, 5, nthreads=1), repeat=1)
    report(f"zarel _cell_boundaries ({BOUNDARY_N:,}), 1 thread", t, BOUNDARY_N)
    t, _ = timed(lambda: z._cell_boundaries(sub, 5, nthreads=2), repeat=1)
    report(f"zarel _cell_boundaries ({BOUNDARY_N:,}), 2 threads", t, BOUNDARY_N)

    try:
        import h3ronpy.vector as hv
    except ImportError:
        hv = None
        print("\nh3ronpy not installed: pip install h3ronpy")
    if hv is not None:
        t, h = timed(lambda: hv.coordinates_to_cells(lat, lon, 15))
        report("h3ronpy coordinates_to_cells (vectorised)", t, N)
        t, _ = timed(lambda: hv.cells_to_coordinates(h))
        report("h3ronpy cells_to_coordinates (vectorised)", t, N)
        hsub = h.slice(0, BOUNDARY_N)
        t, _ = timed(lambda: hv.cells_to_wkb_polygons(hsub), repeat=1)
        report(f"h3ronpy cells_to_wkb_polygons ({BOUNDARY_N:,})", t, BOUNDARY_N)

    import h3
    sl, sa = lon[:LOOP_N].tolist(), lat[:LOOP_N].tolist()
    t, _ = timed(lambda: [h3.latlng_to_cell(y, x, 15) for x, y in zip(sl, sa)], repeat=1)
    report(f"h3 latlng_to_cell, Python loop ({LOOP_N:,})", t, LOOP_N)

    by = {name: rate for name, rate, _ in rows}
    if hv is not None:
        print()
        print(f"_cells_from_lonlat per core vs h3ronpy: "
              f"{by['zarel _cells_from_lonlat, 1 thread'] / by['h3ronpy coordinates_to_cells (vectorised)']:.2f}x")
        print(f"_cells_from_lonlat 2 threads vs 1:      "
              f"{by['zarel _cells_from_lonlat, 2 threads'] / by['zarel _cells_from_lonlat, 1 thread']:.2f}x")
        print(f"_cells_to_lonlat per core vs h3ronpy:   "
              f"{by['zarel _cells_to_lonlat, 1 thread'] / by['h3ronpy cells_to_coordinates (vectorised)']:.2f}x"
              " (target >= 2)")


if __name__ == "__main__":
    main()
