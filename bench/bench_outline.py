"""Outlines of the 177 countries at level 8: `Tree.outline`, which cancels the
shared edges of the canonical cells and chains the rest, beside shapely's
`union_all` of the same cells' polygons (the dissolve a user would write),
each country timed on its own (best of two) and the totals printed side by
side. The areas of the two results are compared too (they are the same region).
Figures are noisy on a shared machine."""

import json
import pathlib
import numpy as np
import shapely

import zarel
from timing import best

LEVEL = 8
REPEAT = 2
DATA = pathlib.Path(__file__).resolve().parent.parent / "examples" / "data" / "countries.geo.json"


def cell_polygons(tree):
    cells = tree.cells_array()
    coords, offsets = zarel._cell_boundaries(cells, 3)
    rings = shapely.linearrings(coords, indices=np.repeat(np.arange(len(cells)), np.diff(offsets)))
    return shapely.polygons(rings)


def main():
    features = json.loads(DATA.read_text())["features"]
    geoms = [shapely.geometry.shape(f["geometry"]) for f in features]
    names = [f["properties"].get("name", str(i)) for i, f in enumerate(features)]
    trees = zarel.trees_from_polygons(geoms, LEVEL)
    print(f"{len(trees)} countries at level {LEVEL}: {sum(len(t.cells_array()) for t in trees):,} canonical cells")
    rows, worst, parts, holes = [], 0.0, 0, 0
    for name, tree in zip(names, trees):
        if tree.is_empty():
            continue
        t_outline, outline = best(tree.outline, REPEAT)
        t_polys, polys = best(lambda: cell_polygons(tree), REPEAT)
        t_union, union = best(lambda: shapely.union_all(polys), REPEAT)
        worst = max(worst, abs(outline.area - union.area) / union.area)
        parts += len(getattr(outline, "geoms", [outline]))
        holes += sum(len(p.interiors) for p in getattr(outline, "geoms", [outline]))
        rows.append((t_union, t_outline, t_polys, name, len(polys)))
    t_union, t_outline, t_polys = (sum(r[k] for r in rows) for k in range(3))
    print(f"{'road (all countries, best of ' + str(REPEAT) + ' each)':46} {'seconds':>8} {'vs outline':>10}")
    print(f"{'zarel Tree.outline':46} {t_outline:8.3f} {1:10.2f}")
    print(f"{'shapely union_all of the cell polygons':46} {t_union:8.3f} {t_union / t_outline:10.2f}")
    print(f"{'  + making the cell polygons':46} {t_union + t_polys:8.3f} {(t_union + t_polys) / t_outline:10.2f}")
    print(f"largest relative area difference {worst:.1e}; {parts} parts, {holes} holes in all")
    print(f"{'largest countries':28} {'cells':>8} {'outline s':>10} {'union_all s':>12}")
    for t_u, t_o, _, name, n in sorted(rows, key=lambda r: -r[4])[:8]:
        print(f"{name[:28]:28} {n:8,} {t_o:10.4f} {t_u:12.4f}")


if __name__ == "__main__":
    main()
