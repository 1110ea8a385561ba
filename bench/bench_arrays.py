"""A tree's cells and leaves as NumPy arrays: `Tree.cells_array()` and
`Tree.leaves_array()` beside the list road they replace, `np.array(tree.leaves())`
(and its two steps, the list and the conversion). The tree is Mongolia from the
demo countries filled at level 10: about 63 million leaves under 28 thousand
canonical cells. Arrays are the best of five runs; the list road, which needs
a few GiB, runs once."""

import json
import pathlib

import numpy as np

from zarel import Tree
from timing import best

DATA = pathlib.Path(__file__).resolve().parent.parent / "examples" / "data" / "countries.geo.json"
COUNTRY, LEVEL = "Mongolia", 10


def main():
    features = json.loads(DATA.read_text())["features"]
    shape = next(f["geometry"] for f in features if f["properties"]["name"] == COUNTRY)
    tree = Tree.from_geojson(shape, LEVEL)
    print(f"{COUNTRY} at level {LEVEL}: {tree.leaf_count():,} leaves, {len(tree.cells()):,} canonical cells")

    t_cells, cells = best(tree.cells_array, 5)
    t_cells_list, _ = best(lambda: np.array(tree.cells(), dtype=np.uint64), 5)
    print(f"  cells_array()                  {t_cells * 1e3:9.2f} ms")
    print(f"  np.array(tree.cells())         {t_cells_list * 1e3:9.2f} ms   ({t_cells_list / t_cells:.0f}x)")

    t_leaves, leaves = best(tree.leaves_array, 5)
    print(f"  leaves_array()                 {t_leaves * 1e3:9.2f} ms   "
          f"({leaves.nbytes / t_leaves / 1e9:.2f} GB/s written)")
    del leaves
    t_list, listed = best(tree.leaves, 1)
    t_convert, converted = best(lambda: np.array(listed, dtype=np.uint64), 1)
    del listed
    print(f"  tree.leaves() (a list)         {t_list * 1e3:9.2f} ms")
    print(f"  np.array of that list          {t_convert * 1e3:9.2f} ms")
    print(f"  np.array(tree.leaves()) total  {(t_list + t_convert) * 1e3:9.2f} ms   "
          f"({(t_list + t_convert) / t_leaves:.0f}x leaves_array)")
    assert np.array_equal(converted, tree.leaves_array()) and np.array_equal(cells, tree.cells())


if __name__ == "__main__":
    main()
