"""Polygon fill against H3's fastest, h3ronpy's vectorised geometry_to_cells
(centroid containment, the counterpart of the nucleus rule), on country outlines
densified to detailed coastlines, at the H3 resolution whose mean cell area is
nearest ours.

- list form: `polyfill` cells per second beside h3ronpy's;
- tree form: `Tree.from_geojson` at a resolution giving about a billion leaves,
  beside h3ronpy's per-cell time (measured where it can enumerate) times as many cells;
- cost over resolutions 6 to 13 for one country, with the leaf count beside it.

Best of a few runs each; figures are noisy on a shared machine."""

import json
import math
import pathlib

import h3
import numpy as np
import shapely
from h3ronpy.vector import geometry_to_cells

import zarel
from zarel import Tree
from timing import best

DATA = pathlib.Path(__file__).resolve().parent.parent / "examples" / "data" / "countries.geo.json"
COUNTRIES = ["France", "Brazil", "Norway", "Indonesia"]
VERTICES = 40_000
REPEAT = 3


def densify(geometry, target, rng):
    """Each edge cut into pieces with a small sideways jitter: a detailed coastline."""
    parts = [geometry["coordinates"]] if geometry["type"] == "Polygon" else geometry["coordinates"]
    total = sum(len(r) for p in parts for r in p)
    k = max(1, math.ceil(target / total))
    out = []
    for poly in parts:
        rings = []
        for ring in poly:
            pts = np.asarray(ring, dtype=float)
            a, b = pts[:-1], pts[1:]
            t = np.arange(k) / k
            seg = a[:, None, :] + (b - a)[:, None, :] * t[None, :, None]
            normal = np.stack([-(b - a)[:, 1], (b - a)[:, 0]], axis=1)
            jitter = rng.uniform(-0.15, 0.15, (len(a), k)) / k
            jitter[:, 0] = 0
            seg = seg + normal[:, None, :] * jitter[:, :, None]
            dense = np.concatenate([seg.reshape(-1, 2), pts[-1:]])
            rings.append(dense.tolist())
        out.append(rings)
    return {"type": "MultiPolygon", "coordinates": out}


def h3_res_for(res):
    ours = zarel.cell_area_m2(res)
    return min(range(16), key=lambda h: abs(math.log(h3.average_hexagon_area(h, "m^2") / ours)))


def main():
    countries = {f["properties"]["name"]: f["geometry"] for f in json.loads(DATA.read_text())["features"]}
    rng = np.random.default_rng(12)
    docs = {name: densify(countries[name], VERTICES, rng) for name in COUNTRIES}
    print(f"polygon fill: countries densified to about {VERTICES:,} vertices; best of {REPEAT}")
    print(f"{'country':10} {'vertices':>8} {'res':>3} {'cells':>10} {'zarel Mc/s':>10} "
          f"{'h3 res':>6} {'h3 cells':>10} {'h3ronpy Mc/s':>12} {'ratio':>6}")
    per_cell = {}
    for name, doc in docs.items():
        shape = shapely.geometry.shape(doc)
        n_vertices = sum(len(r) for p in doc["coordinates"] for r in p)
        for res in (7, 8, 9):
            # Lists of tens of millions of Python ints are left out on a shared machine.
            if res == 9 and Tree.from_geojson(doc, 9).leaf_count() > 10_000_000:
                continue
            hres = h3_res_for(res)
            t_z, cells = best(lambda: zarel.polyfill(doc, res), REPEAT)
            t_h, hcells = best(lambda: geometry_to_cells(shape, hres), REPEAT)
            # h3ronpy's per-cell time at its largest enumeration, where its fixed costs weigh least.
            per_cell[name] = t_h / len(hcells)
            rz, rh = len(cells) / t_z / 1e6, len(hcells) / t_h / 1e6
            print(f"{name:10} {n_vertices:>8,} {res:>3} {len(cells):>10,} {rz:>10.2f} "
                  f"{hres:>6} {len(hcells):>10,} {rh:>12.2f} {rz / rh:>6.1f}x")

    print("\ntree form at about a billion leaves, against h3ronpy's per-cell time times as many cells")
    print(f"{'country':10} {'res':>3} {'leaves':>15} {'canonical':>10} {'zarel s':>8} {'h3ronpy s (est.)':>16} {'ratio':>7}")
    for name, doc in docs.items():
        leaves8 = Tree.from_geojson(doc, 8).leaf_count()
        res = min(range(8, 16), key=lambda r: abs(math.log(leaves8 * 9 ** (r - 8) / 1e9)))
        t_z, tree = best(lambda: Tree.from_geojson(doc, res), REPEAT)
        est = per_cell[name] * tree.leaf_count()
        print(f"{name:10} {res:>3} {tree.leaf_count():>15,} {len(tree.cells()):>10,} {t_z:>8.2f} "
              f"{est:>16.1f} {est / t_z:>6.0f}x")

    name = COUNTRIES[0]
    print(f"\n{name}: tree form over resolutions (cost follows the boundary, not the area)")
    print(f"{'res':>3} {'leaves':>18} {'canonical':>10} {'seconds':>8}")
    for res in range(6, 14):
        t_z, tree = best(lambda: Tree.from_geojson(docs[name], res), REPEAT)
        print(f"{res:>3} {tree.leaf_count():>18,} {len(tree.cells()):>10,} {t_z:>8.3f}")


if __name__ == "__main__":
    main()
