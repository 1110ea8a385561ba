"""Whole-cell polygon fills against h3ronpy's geometry_to_cells with the matching
containment modes, on the countries of bench_polyfill (outlines densified to
detailed coastlines), at the H3 resolution whose mean cell area is nearest ours:

- "overlap" beside ContainmentMode.IntersectsBoundary (every cell meeting the polygon);
- "inside" beside ContainmentMode.ContainsBoundary (cells wholly inside);
- the nucleus rule beside ContainsCentroid, for scale.

Figures are cells per second of the list form (`polyfill`), best of a few runs; noisy on a
shared machine."""

import json

import numpy as np
import shapely
from h3ronpy import ContainmentMode
from h3ronpy.vector import geometry_to_cells

import zarel
from bench_polyfill import COUNTRIES, DATA, REPEAT, VERTICES, densify, h3_res_for
from timing import best

PEERS = {"nucleus": ContainmentMode.ContainsCentroid, "inside": ContainmentMode.ContainsBoundary,
         "overlap": ContainmentMode.IntersectsBoundary}


def main():
    countries = {f["properties"]["name"]: f["geometry"] for f in json.loads(DATA.read_text())["features"]}
    rng = np.random.default_rng(12)
    docs = {name: densify(countries[name], VERTICES, rng) for name in COUNTRIES}
    print(f"containment modes: countries densified to about {VERTICES:,} vertices; best of {REPEAT}")
    print(f"{'country':10} {'mode':8} {'res':>3} {'cells':>10} {'zarel kc/s':>10} "
          f"{'h3 res':>6} {'h3 cells':>10} {'h3ronpy kc/s':>12} {'ratio':>6}")
    for name, doc in docs.items():
        shape = shapely.geometry.shape(doc)
        for res in (7, 8):
            hres = h3_res_for(res)
            for mode, peer in PEERS.items():
                t_z, cells = best(lambda: zarel.polyfill(doc, res, mode=mode), REPEAT)
                t_h, hcells = best(lambda: geometry_to_cells(shape, hres, containment_mode=peer), REPEAT)
                rz, rh = len(cells) / t_z / 1e3, len(hcells) / t_h / 1e3
                print(f"{name:10} {mode:8} {res:>3} {len(cells):>10,} {rz:>10.1f} "
                      f"{hres:>6} {len(hcells):>10,} {rh:>12.1f} {rz / rh:>6.1f}x")


if __name__ == "__main__":
    main()
