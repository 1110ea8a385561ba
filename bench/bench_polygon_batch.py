"""Many small polygons at once: the batch road against h3ronpy's wkb_to_cells on
the same WKB, at the H3 resolution whose mean cell area is nearest ours; the
pool against one thread on admin-sized areas; the per-call cost of one tiny
polygon against h3's polygon_to_cells; peak memory of a million parcels.

- 100,000 one-hectare parcels in France at level 12 (about 33 cells each) and
  100,000 buildings of 200 m² at level 14: `fingerprint_polygons` and
  `polyfill_polygons` on the default pool beside h3ronpy `wkb_to_cells`
  (centroid containment; it lists cells and hashes nothing), all on the same
  WKB. Targets: parcels fingerprint >= 2.5x and polyfill >= 3x h3ronpy's
  rows/s; buildings fingerprint >= 2x.
- 2,880 admin-sized areas (10-60 km across, 200 vertices) at level 9: the
  default pool against `nthreads=1`. Target >= 1.7x on two or more cores.
- one tiny polygon at level 12 per call on one core: `polyfill(dict)` <= 20 us,
  `polyfill(shapely)` and `fingerprint_polygon` <= 25 us, beside
  `h3.polygon_to_cells`.
- `--memory` (or the section `memory`): peak resident memory above the inputs
  for 1M parcels at level 11 through each function and input kind, each in a
  fresh process, beside the result's size and h3ronpy's peak on the same WKB
  and Arrow input. Target: at most twice the result plus one chunk.

Sections named on the command line (parcels, buildings, admin, memory, tiny)
run alone: `python bench_polygon_batch.py memory tiny`.

Best of a few runs each; the machine may be shared, so compare the ratios,
which come from one run."""

import ctypes
import json
import math
import os
import subprocess
import sys
import time

import h3
import numpy as np
import shapely
from h3ronpy.vector import wkb_to_cells

import zarel
from timing import best

REPEAT = 3


def h3_res_for(level):
    ours = zarel.cell_area_m2(level)
    return min(range(16), key=lambda h: abs(math.log(h3.average_hexagon_area(h, "m^2") / ours)))


def squares(n, side_m, seed=7):
    """Squares `side_m` metres a side scattered over France."""
    rng = np.random.default_rng(seed)
    lon, lat = rng.uniform(-1.5, 7.0, n), rng.uniform(43.5, 49.5, n)
    dlat = side_m / 111_320 / 2
    dlon = dlat / np.cos(np.radians(lat))
    return shapely.box(lon - dlon, lat - dlat, lon + dlon, lat + dlat)


def admin_areas(n=2880, vertices=200, seed=9):
    """Wobbly discs 10-60 km across over Europe's latitudes."""
    rng = np.random.default_rng(seed)
    lon, lat = rng.uniform(-10, 30, n), rng.uniform(36, 60, n)
    radius_km = rng.uniform(5, 30, n)
    t = np.linspace(0, 2 * np.pi, vertices, endpoint=False)
    wobble = 1 + 0.25 * np.sin(3 * t[None, :] + rng.uniform(0, 6, (n, 1))) * rng.uniform(0, 1, (n, 1))
    dlat = radius_km[:, None] * wobble / 111.32 * np.sin(t)[None, :]
    dlon = radius_km[:, None] * wobble / (111.32 * np.cos(np.radians(lat)))[:, None] * np.cos(t)[None, :]
    rings = np.stack([lon[:, None] + dlon, lat[:, None] + dlat], axis=2)
    return shapely.polygons(np.concatenate([rings, rings[:, :1]], axis=1))


def per_call(f, n=2000):
    t = time.perf_counter()
    for _ in range(n):
        f()
    return (time.perf_counter() - t) / n


def table(title, wkb, level):
    n = len(wkb)
    res = h3_res_for(level)
    t_fp, _ = best(lambda: zarel.fingerprint_polygons(wkb, level), REPEAT)
    t_fill, (_, offsets) = best(lambda: zarel.polyfill_polygons(wkb, level), REPEAT)
    t_h3, h3cells = best(lambda: wkb_to_cells(wkb, res), REPEAT)
    h3_total = sum(len(c) for c in h3cells.to_pylist())
    print(f"\n{title} at level {level} (H3 resolution {res}); same WKB, default pool, best of {REPEAT}")
    print(f"{'road':30} {'seconds':>8} {'rows/s':>11} {'cells/row':>10} {'vs h3ronpy':>10}")
    for name, t, cells in [("fingerprint_polygons", t_fp, offsets[-1]),
                           ("polyfill_polygons", t_fill, offsets[-1]),
                           ("h3ronpy wkb_to_cells", t_h3, h3_total)]:
        print(f"{name:30} {t:>8.3f} {n / t:>11,.0f} {cells / n:>10.1f} {t_h3 / t:>9.2f}x")


def admin():
    geoms = admin_areas()
    wkb = shapely.to_wkb(geoms)
    level = 9
    t_pool, roots = best(lambda: zarel.fingerprint_polygons(wkb, level), REPEAT)
    t_one, roots1 = best(lambda: zarel.fingerprint_polygons(wkb, level, nthreads=1), REPEAT)
    assert (roots == roots1).all()
    t_fill, (_, offsets) = best(lambda: zarel.polyfill_polygons(wkb, level), REPEAT)
    t_fill1, _ = best(lambda: zarel.polyfill_polygons(wkb, level, nthreads=1), REPEAT)
    res = h3_res_for(level)
    t_h3, _ = best(lambda: wkb_to_cells(wkb, res), REPEAT)
    cores = len(os.sched_getaffinity(0))
    print(f"\n{len(geoms):,} admin-sized areas at level {level} ({offsets[-1] / len(geoms):,.0f} cells each), "
          f"{cores} cores; target pool >= 1.7x one thread")
    print(f"{'road':30} {'1 thread':>9} {'pool':>9} {'speed-up':>9} {'pool vs h3ronpy':>16}")
    print(f"{'fingerprint_polygons':30} {t_one:>9.3f} {t_pool:>9.3f} {t_one / t_pool:>8.2f}x {t_h3 / t_pool:>15.2f}x")
    print(f"{'polyfill_polygons':30} {t_fill1:>9.3f} {t_fill:>9.3f} {t_fill1 / t_fill:>8.2f}x {t_h3 / t_fill:>15.2f}x")


def tiny():
    level = 12
    box = shapely.box(2.35, 48.85, 2.3515, 48.851)
    doc = box.__geo_interface__
    poly = h3.LatLngPoly([(lat, lon) for lon, lat in doc["coordinates"][0][:-1]])
    res = h3_res_for(level)
    os.sched_setaffinity(0, {min(os.sched_getaffinity(0))})
    print(f"\none tiny polygon at level {level} ({len(zarel.polyfill(doc, level))} cells; h3 "
          f"{len(h3.polygon_to_cells(poly, res))} at resolution {res}), per call on one core")
    t_h3 = min(per_call(lambda: h3.polygon_to_cells(poly, res)) for _ in range(REPEAT))
    print(f"{'call':30} {'us':>8} {'limit':>6} {'vs h3':>7}")
    for name, f, limit in [("polyfill(dict)", lambda: zarel.polyfill(doc, level), 20),
                           ("polyfill(shapely)", lambda: zarel.polyfill(box, level), 25),
                           ("fingerprint_polygon(dict)", lambda: zarel.fingerprint_polygon(doc, level), 25),
                           ("fingerprint_polygon(shapely)", lambda: zarel.fingerprint_polygon(box, level), 25),
                           ("h3.polygon_to_cells", lambda: h3.polygon_to_cells(poly, res), None)]:
        t = min(per_call(f) for _ in range(REPEAT))
        print(f"{name:30} {t * 1e6:>8.1f} {limit or '':>6} {t_h3 / t:>6.2f}x")


MEMORY_N, MEMORY_LEVEL = 1_000_000, 11


def memory_child(function, kind):
    """Peak resident bytes above the inputs of one call, what stays resident after it, and the result's bytes."""
    geoms = squares(MEMORY_N, 100, seed=11)
    if kind == "shapely":
        data = geoms
    elif kind == "dicts":
        data = [g.__geo_interface__ for g in geoms]
    elif kind == "wkb":
        data = shapely.to_wkb(geoms)
    else:
        import pyarrow as pa

        data = pa.array(shapely.to_wkb(geoms))
    del geoms
    if function == "h3ronpy":
        call = lambda: wkb_to_cells(data, h3_res_for(MEMORY_LEVEL))  # noqa: E731
        call_small = lambda: wkb_to_cells(shapely.to_wkb(squares(10, 100)), h3_res_for(MEMORY_LEVEL))  # noqa: E731
    else:
        call = lambda: getattr(zarel, function)(data, MEMORY_LEVEL)  # noqa: E731
        call_small = lambda: getattr(zarel, function)(shapely.to_wkb(squares(10, 100)), MEMORY_LEVEL)  # noqa: E731
    call_small()  # first-use costs
    import gc

    gc.collect()
    ctypes.CDLL("libc.so.6").malloc_trim(0)  # freed heap would hide what the call takes
    with open("/proc/self/statm") as f:
        before = int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")  # the peak so far (making the inputs) is forgotten: only the call's counts
    out = call()
    with open("/proc/self/status") as f:
        peak = next(int(line.split()[1]) for line in f if line.startswith("VmHWM:")) * 1024
    with open("/proc/self/statm") as f:
        kept = int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") - before
    if function == "fingerprint_polygons":
        size = out.nbytes
    elif function == "polyfill_polygons":
        size = out[0].nbytes + out[1].nbytes
    elif function == "h3ronpy":
        size = out.nbytes
    else:
        size = kept  # what the trees hold stays resident: the result
    print(json.dumps({"peak": peak - before, "kept": kept, "result": size}))


def memory():
    print(f"\npeak memory above the inputs, {MEMORY_N:,} parcels at level {MEMORY_LEVEL}, fresh process each; "
          "target: peak at most twice the result plus one chunk")
    print(f"{'function':24} {'input':8} {'peak MB':>8} {'result MB':>10} {'peak/result':>12}")
    cases = [(f, k) for f in ("fingerprint_polygons", "polyfill_polygons", "trees_from_polygons")
             for k in ("dicts", "shapely", "wkb", "arrow")] + [("h3ronpy", "wkb"), ("h3ronpy", "arrow")]
    for function, kind in cases:
        out = subprocess.run([sys.executable, __file__, "--memory-child", function, kind],
                             capture_output=True, text=True, check=True)
        m = json.loads(out.stdout)
        name = "h3ronpy wkb_to_cells" if function == "h3ronpy" else function
        print(f"{name:24} {kind:8} {m['peak'] / 1e6:>8.0f} {m['result'] / 1e6:>10.0f}"
              f" {m['peak'] / max(m['result'], 1):>11.2f}x")


def main():
    # Sections named on the command line (parcels, buildings, admin, memory, tiny) run alone.
    named = [a for a in sys.argv[1:] if not a.startswith("--")]
    wanted = set(named or ["parcels", "buildings", "admin", "tiny"] + (["memory"] if "--memory" in sys.argv else []))
    if "parcels" in wanted:
        table("100,000 one-hectare parcels", shapely.to_wkb(squares(100_000, 100)), 12)
    if "buildings" in wanted:
        table("100,000 buildings of 200 m²", shapely.to_wkb(squares(100_000, math.sqrt(200), seed=8)), 14)
    if "admin" in wanted:
        admin()
    if "memory" in wanted:
        memory()
    if "tiny" in wanted:
        tiny()


if __name__ == "__main__":
    if "--memory-child" in sys.argv:
        memory_child(sys.argv[-2], sys.argv[-1])
    else:
        main()
