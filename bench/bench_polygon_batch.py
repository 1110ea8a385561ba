"""Many small polygons at once: the batch road against h3ronpy's wkb_to_cells on
the same WKB, and the per-call cost of one tiny polygon.

- 100,000 one-hectare parcels in France at level 12 (about 33 cells each):
  `fingerprint_polygons` and `polyfill_polygons` on the default pool, beside
  h3ronpy `wkb_to_cells` at H3 resolution 12 (centroid containment) and beside
  the one-by-one `fingerprint_polygon` loop on a sample;
- one tiny polygon through `polyfill`, as a GeoJSON dict and as a shapely
  polygon, per call on one core.

Best of a few runs each; figures are noisy on a shared machine."""

import time

import numpy as np
import shapely
from h3ronpy.vector import wkb_to_cells

import zarel
from timing import best

N = 100_000
LEVEL = 12
REPEAT = 3


def parcels(n, seed=7):
    """Squares of about one hectare (100 m a side) scattered over France."""
    rng = np.random.default_rng(seed)
    lon, lat = rng.uniform(-1.5, 7.0, n), rng.uniform(43.5, 49.5, n)
    dlat = 100 / 111_320 / 2
    dlon = dlat / np.cos(np.radians(lat))
    return shapely.box(lon - dlon, lat - dlat, lon + dlon, lat + dlat)


def per_call(f, n=2000):
    t = time.perf_counter()
    for _ in range(n):
        f()
    return (time.perf_counter() - t) / n


def main():
    geoms = parcels(N)
    wkb = shapely.to_wkb(geoms)
    print(f"{N:,} one-hectare parcels at level {LEVEL}; best of {REPEAT}")
    t_fp, roots = best(lambda: zarel.fingerprint_polygons(geoms, LEVEL), REPEAT)
    t_fill, (cids, offsets) = best(lambda: zarel.polyfill_polygons(geoms, LEVEL), REPEAT)
    t_wkb, _ = best(lambda: zarel.fingerprint_polygons(wkb, LEVEL), REPEAT)
    t_h3, h3cells = best(lambda: wkb_to_cells(wkb, 12), REPEAT)
    sample = geoms[:2000]
    t_loop, _ = best(lambda: [zarel.fingerprint_polygon(g.__geo_interface__, LEVEL) for g in sample], 1)
    t_loop *= N / len(sample)
    h3_total = sum(len(c) for c in h3cells.to_pylist())
    print(f"{'road':38} {'seconds':>8} {'parcels/s':>11} {'cells/parcel':>12} {'vs h3ronpy':>10}")
    for name, t, cells in [
        ("zarel fingerprint_polygons (shapely)", t_fp, offsets[-1]),
        ("zarel fingerprint_polygons (WKB)", t_wkb, offsets[-1]),
        ("zarel polyfill_polygons", t_fill, offsets[-1]),
        ("zarel fingerprint_polygon loop (est.)", t_loop, offsets[-1]),
        ("h3ronpy wkb_to_cells", t_h3, h3_total),
    ]:
        print(f"{name:38} {t:>8.3f} {N / t:>11,.0f} {cells / N:>12.1f} {t_h3 / t:>9.2f}x")

    tiny = shapely.box(2.35, 48.85, 2.3515, 48.851)
    doc = tiny.__geo_interface__
    print(f"\none tiny polygon at level {LEVEL} ({len(zarel.polyfill(doc, LEVEL))} cells), per call; limit 20 us")
    for name, f in [("polyfill(dict)", lambda: zarel.polyfill(doc, LEVEL)),
                    ("polyfill(shapely)", lambda: zarel.polyfill(tiny, LEVEL)),
                    ("fingerprint_polygon(dict)", lambda: zarel.fingerprint_polygon(doc, LEVEL)),
                    ("fingerprint_polygon(shapely)", lambda: zarel.fingerprint_polygon(tiny, LEVEL))]:
        t = min(per_call(f) for _ in range(REPEAT))
        print(f"{name:30} {t * 1e6:>8.1f} us")


if __name__ == "__main__":
    main()
