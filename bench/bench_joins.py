"""Point-in-area joins, set predicates and the road to a map, each beside its
peer from the same run.

Joins: N random points (5,000,000 unless given on the command line), spread
over the countries of examples/data/countries.geo.json in proportion to their
areas, are joined to the countries at level 9 (0.22 km2 cells). Antarctica,
a ring around the pole in longitude and latitude, is left out: H3's fill
does not take it, and the three joins should answer the same question.

- zarel: `cells_from_lonlat` then `Index.locate` over the countries' trees;
- geopandas: `points_from_xy` then `sjoin(..., predicate="within")` (target:
  zarel at least 10x faster);
- h3ronpy: `coordinates_to_cells` at H3 resolution 9 (0.105 km2, the nearest
  area), then a pandas join against the countries' H3 cells (target: zarel
  at least 2x faster). A table of every resolution-9 cell of the land would
  hold over a billion rows, so the countries are held as a user would hold
  them: resolution-6 cells wholly inside a country, and resolution-9 cells
  (centroid inside) under the resolution-6 cells that meet its boundary; a
  point's country is its resolution-6 parent's, else its own cell's. Building
  that table is setup, not timed.

Predicates: two trees of a million canonical cells differing in 1% of them;
`<=`, `<`, `isdisjoint` (and a subset that holds) beside `==` and `&`.

Maps: a tree of the countries at level 6 as a GeoDataFrame, by
`to_geodataframe` beside `GeoDataFrame.from_features(tree)` and beside
`cell_polygons` alone.
"""

import sys
import time
from pathlib import Path

import numpy as np

import zarel
from timing import best
from zarel import Index, Tree

LEVEL, H3_RES, H3_COARSE = 9, 9, 6
COUNTRIES = Path(__file__).resolve().parent.parent / "examples" / "data" / "countries.geo.json"


def random_points(geoms, areas, n, rng):
    """n points uniform over the countries: each gets its share by area, drawn in its box and kept inside."""
    import shapely

    share = np.floor(n * areas / areas.sum()).astype(int)
    share[np.argmax(share)] += n - share.sum()
    lons, lats = [], []
    for geom, k in zip(geoms, share):
        shapely.prepare(geom)
        x0, y0, x1, y1 = geom.bounds
        z0, z1 = np.sin(np.radians(y0)), np.sin(np.radians(y1))
        got = 0
        while got < k:
            m = max(1024, 2 * (k - got))
            lon = rng.uniform(x0, x1, m)
            lat = np.degrees(np.arcsin(rng.uniform(z0, z1, m)))
            inside = shapely.contains_xy(geom, lon, lat)
            take = min(int(inside.sum()), k - got)
            lons.append(lon[inside][:take])
            lats.append(lat[inside][:take])
            got += take
    order = rng.permutation(n)
    return np.concatenate(lons)[order], np.concatenate(lats)[order]


def h3_table(geoms):
    """The countries as H3 cells: (coarse cells, their country), (fine cells, their country)."""
    import h3ronpy
    import h3ronpy.vector as hv
    import shapely
    from h3ronpy import ContainmentMode

    coarse, coarse_of, fine, fine_of = [], [], [], []
    for i, geom in enumerate(geoms):
        inner = np.asarray(hv.geometry_to_cells(geom, H3_COARSE, ContainmentMode.ContainsBoundary))
        meeting = np.asarray(hv.geometry_to_cells(geom, H3_COARSE, ContainmentMode.IntersectsBoundary))
        edge = np.setdiff1d(meeting, inner)
        kids = h3ronpy.uncompact(edge, H3_RES)
        xy = hv.cells_to_coordinates(kids)
        shapely.prepare(geom)
        keep = shapely.contains_xy(geom, np.asarray(xy.column("lng")), np.asarray(xy.column("lat")))
        coarse.append(inner)
        coarse_of.append(np.full(len(inner), i))
        fine.append(np.asarray(kids)[keep])
        fine_of.append(np.full(int(keep.sum()), i))
    import pandas as pd

    def series(cells, of):
        s = pd.Series(np.concatenate(of).astype(float), index=np.concatenate(cells))
        return s[~s.index.duplicated()]

    return series(coarse, coarse_of), series(fine, fine_of)


def joins(n):
    import geopandas as gpd

    frame = gpd.read_file(COUNTRIES)
    frame = frame[frame.geometry.bounds["miny"] > -60].reset_index(drop=True)  # all but Antarctica
    geoms = frame.geometry.values
    trees = zarel.trees_from_polygons(frame.geometry, LEVEL)
    index = Index()
    for name, t in zip(frame["name"], trees):
        index.add(name, t)
    areas = np.array([t.area_m2() for t in trees])
    lon, lat = random_points(geoms, areas, n, np.random.default_rng(26))
    coarse, fine = h3_table(geoms)

    def ours():
        return index.locate(zarel.cells_from_lonlat(lon, lat, LEVEL))

    t_lookup, cids = best(lambda: zarel.cells_from_lonlat(lon, lat, LEVEL), 3)
    t_locate, _ = best(lambda: index.locate(cids), 3)

    def theirs():
        points = gpd.GeoDataFrame(geometry=gpd.points_from_xy(lon, lat), crs="EPSG:4326")
        return gpd.sjoin(points, frame[["geometry"]], predicate="within")

    def h3():
        import h3ronpy
        import h3ronpy.vector as hv

        cells = hv.coordinates_to_cells(lat, lon, H3_RES)
        parents = np.asarray(h3ronpy.change_resolution(cells, H3_COARSE))
        country = coarse.reindex(parents).to_numpy(copy=True)
        missing = np.isnan(country)
        country[missing] = fine.reindex(np.asarray(cells)[missing]).to_numpy()
        return country

    t_ours, (hits, offsets) = best(ours, 3)
    t_h3, h3_country = best(h3, 3)
    t_sjoin, joined = best(theirs, 1)

    # Which country each join gives a point (-1 for none, or for several).
    ours_country = np.full(n, -1)
    single = np.diff(offsets) == 1
    ours_country[single] = hits[offsets[:-1][single]]
    sjoin_country = np.full(n, -1)
    once = ~joined.index.duplicated(keep=False)
    sjoin_country[joined.index[once]] = joined["index_right"].to_numpy()[once]
    h3_country = np.where(np.isnan(h3_country), -1, h3_country).astype(int)
    print(f"joins: {n:,} points in {len(frame)} countries at level {LEVEL}")
    print(f"  zarel cells_from_lonlat + Index.locate:      {t_ours:7.2f} s  ({n / t_ours / 1e6:.2f} M points/s;"
          f" lookup {t_lookup:.2f} s, locate {t_locate:.2f} s)")
    print(f"  geopandas points_from_xy + sjoin:             {t_sjoin:7.2f} s  ratio {t_sjoin / t_ours:6.1f}x"
          f" (target >= 10x)")
    print(f"  h3ronpy coordinates_to_cells + pandas join:   {t_h3:7.2f} s  ratio {t_h3 / t_ours:6.1f}x"
          f" (target >= 2x; table of {len(coarse):,} + {len(fine):,} cells)")
    print(f"  same country as sjoin: zarel {np.mean(ours_country == sjoin_country):.4f},"
          f" h3 {np.mean(h3_country == sjoin_country):.4f}; in a country: zarel {np.mean(ours_country >= 0):.4f},"
          f" sjoin {np.mean(sjoin_country >= 0):.4f}, h3 {np.mean(h3_country >= 0):.4f}")


def predicates():
    depth, n, changed = 10, 1_000_000, 10_000
    rng = np.random.default_rng(3)
    bases = rng.integers(10, 12, n + changed).astype(np.uint64)
    cells = bases * np.uint64(9**depth) + rng.integers(0, 9**depth, n + changed, dtype=np.uint64)
    a = Tree.from_cells(cells[:n], depth)
    b = Tree.from_cells(np.concatenate([cells[: n - changed // 2], cells[n:n + changed // 2]]), depth)
    inside = a & b
    rows = [
        ("a <= b", lambda: a <= b),
        ("a < b", lambda: a < b),
        ("a.isdisjoint(b)", lambda: a.isdisjoint(b)),
        ("(a & b) <= a (holds)", lambda: inside <= a),
        ("a == b", lambda: a == b),
    ]
    print(f"predicates: two trees of {len(a.cells()):,} and {len(b.cells()):,} cells at depth {depth},"
          f" {changed:,} cells apart")
    t_and = best(lambda: a & b, 5)[0]
    print(f"  {'a & b':22s} {t_and * 1e3:9.3f} ms")
    for name, f in rows:
        t, r = best(f, 5)
        print(f"  {name:22s} {t * 1e3:9.3f} ms  ({t / t_and:.3f} of a & b) -> {r}")


def maps():
    import geopandas as gpd

    frame = gpd.read_file(COUNTRIES)
    tree = Tree.from_cells(np.concatenate([t.cells_array() for t in zarel.trees_from_polygons(frame.geometry, 6)]), 6)
    t_cells, _ = best(lambda: zarel.cell_polygons(tree.cells_array(), 3), 3)
    t_fast, fast = best(lambda: zarel.to_geodataframe(tree), 3)
    t_features, slow = best(lambda: gpd.GeoDataFrame.from_features(tree, crs="EPSG:4326"), 1)
    assert len(fast) == len(slow)
    print(f"maps: {len(fast):,} cells of the countries at level 6 to a GeoDataFrame")
    print(f"  cell_polygons alone:            {t_cells:.3f} s")
    print(f"  to_geodataframe:                {t_fast:.3f} s  ({t_fast / t_cells:.2f} of cell_polygons)")
    print(f"  GeoDataFrame.from_features:     {t_features:.3f} s  ({t_features / t_cells:.2f} of cell_polygons)")


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 5_000_000
    start = time.perf_counter()
    predicates()
    maps()
    joins(n)
    print(f"(whole run {time.perf_counter() - start:.0f} s)")


if __name__ == "__main__":
    main()
