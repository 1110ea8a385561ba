"""Grid disks and tree dilation.

1. `grid_disk` of 100k seeded random cells at level 9 against h3ronpy's
   `grid_disk` at H3 resolution 9, at radii giving about the same disk sizes
   (a square cell's disk of k steps holds 2k(k+1)+1 cells, a hexagon's
   3k(k+1)+1), in output cells per second.
2. `Tree.dilate(1)` of the 180 demo countries at depth 7 against the same
   dilation by hand (every leaf, its four neighbours, one rebuild), and the
   borders of every country found through `Index.query`.

    python bench/bench_grid.py [N]
"""
import json
import pathlib
import sys

import numpy as np

import zarel
from timing import best

N = int(sys.argv[1]) if len(sys.argv) > 1 else 100_000
COUNTRIES = pathlib.Path(__file__).resolve().parent.parent / "examples" / "data" / "countries.geo.json"


def disks():
    rng = np.random.default_rng(20261207)
    lon = rng.uniform(-180, 180, N)
    lat = np.degrees(np.arcsin(rng.uniform(-1, 1, N)))
    cells = zarel.cells_from_lonlat(lon, lat, 9)
    try:
        import h3
        import h3ronpy
        import pyarrow as pa
    except ImportError:
        h3ronpy = None
        print("h3ronpy not installed: pip install h3 h3ronpy pyarrow")
    if h3ronpy:
        hexes = np.array([int(h3.latlng_to_cell(y, x, 9), 16) for x, y in zip(lon, lat)], np.uint64)
    print(f"grid_disk of {N:,} cells, level/resolution 9")
    print(f"{'':<34}{'k':>4}{'cells/disk':>12}{'Mcells/s':>11}")
    for k_square, k_hex in [(1, 1), (5, 4), (12, 10), (25, 20)]:
        for threads in (1, 2):
            t, (out, offsets) = best(lambda: zarel.grid_disk(cells, k_square, nthreads=threads))
            print(f"{'zarel grid_disk, ' + str(threads) + ' thread(s)':<34}{k_square:>4}{len(out) / N:>12.1f}"
                  f"{len(out) / t / 1e6:>11.1f}")
        if h3ronpy:
            t, disk = best(lambda: pa.array(h3ronpy.grid_disk(hexes, k_hex, flatten=True)))
            print(f"{'h3ronpy grid_disk (flattened)':<34}{k_hex:>4}{len(disk) / N:>12.1f}{len(disk) / t / 1e6:>11.1f}")


def by_hand(tree):
    leaves = np.array(tree.leaves(), np.uint64)
    around = zarel.cell_neighbours(leaves).ravel()
    return zarel.Tree.from_cells(np.concatenate([leaves, around]), tree.depth)


def dilation():
    features = json.loads(COUNTRIES.read_text())["features"]
    trees = {f["properties"]["name"]: zarel.Tree.from_geojson(f, 7) for f in features}
    leaves = sum(t.leaf_count() for t in trees.values())
    print(f"\n{len(trees)} countries at depth 7: {leaves:,} leaves, "
          f"{sum(len(t.cells()) for t in trees.values()):,} canonical cells")
    t, grown = best(lambda: {k: v.dilate(1) for k, v in trees.items()})
    print(f"{'Tree.dilate(1), every country':<46}{t:>8.2f} s")
    t_hand, hand = best(lambda: {k: by_hand(v) for k, v in trees.items()}, repeat=1)
    assert hand == grown
    print(f"{'by hand: leaves, cell_neighbours, from_cells':<46}{t_hand:>8.2f} s   ({t_hand / t:.0f}x)")
    index = zarel.Index()
    for name, tree in trees.items():
        index.add(name, tree)
    t_query, borders = best(lambda: {k: [h["key"] for h in index.query(g) if h["key"] != k] for k, g in grown.items()},
                            repeat=1)
    pairs = sum(len(v) for v in borders.values()) // 2
    print(f"{'Index.query of every dilated country':<46}{t_query:>8.2f} s   ({pairs} bordering pairs)")
    print(f"  France borders: {', '.join(sorted(borders['France']))}")


if __name__ == "__main__":
    disks()
    dilation()
