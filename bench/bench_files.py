"""Trees and indexes in files, from the same run:

1. The 180 countries at level 9: `to_bytes` / `from_bytes` beside pickle (the
   form it carries now, and the canonical cells as little-endian uint64 it
   carried before) in bytes per canonical cell and seconds both ways; then,
   on the countries whose enclosing zone is at level 3 or finer (at most 9**6
   values a document), the same beside DGGS-JSON text.
2. A registry of 10,000 small coverages: `Index.load` of its saved file
   beside rebuilding it from the polygons, and beside unpickling it.
"""

import json
import os
import pickle
import tempfile
import time

import numpy as np

import zarel
from zarel import Index, Tree
from zarel._pickling import _profile_state, _tree_from_state
from timing import best

HERE = os.path.dirname(os.path.abspath(__file__))
LEVEL = 9


def old_pickle(t):
    return pickle.dumps((np.asarray(t.cells_array(), dtype="<u8").tobytes(), t.depth, _profile_state(t.profile)))


def old_unpickle(data):
    return _tree_from_state(*pickle.loads(data))


def dggs_text(t):
    return json.dumps(zarel.to_dggs_json(t))


def forms(trees, rows):
    cells = sum(len(t.cells_array()) for t in trees)
    print(f"  {len(trees)} trees, {cells} canonical cells")
    print(f"  {'form':28s} {'bytes/cell':>11s} {'write s':>9s} {'read s':>9s}")
    for name, write, read in rows:
        seconds_out, data = best(lambda: [write(t) for t in trees], repeat=2)
        seconds_in, back = best(lambda: [read(d) for d in data], repeat=2)
        assert back == trees
        size = sum(len(d) for d in data)
        print(f"  {name:28s} {size / cells:11.3f} {seconds_out:9.3f} {seconds_in:9.3f}")


def countries():
    with open(os.path.join(HERE, "..", "examples", "data", "countries.geo.json")) as f:
        features = json.load(f)["features"]
    trees = zarel.trees_from_polygons([f["geometry"] for f in features], LEVEL)
    rows = [("tree bytes", Tree.to_bytes, Tree.from_bytes),
            ("pickle (tree bytes)", pickle.dumps, pickle.loads),
            ("pickle (uint64 cells, before)", old_pickle, old_unpickle)]
    print(f"The countries at level {LEVEL}")
    forms(trees, rows)
    small = [t for t in trees if (z := zarel.enclosing_zone(t)) is not None and zarel.cell_levels([z])[0] >= 3]
    print(f"The countries whose enclosing zone is at level 3 or finer")
    forms(small, rows[:1] + [("DGGS-JSON text", dggs_text, lambda s: Tree.from_dggs_json(json.loads(s)))])


def parcels(n, seed=7):
    """n small quadrilaterals (about 0.1 to 0.5 degrees across) over the land latitudes."""
    rng = np.random.default_rng(seed)
    lon, lat = rng.uniform(-180, 179, n), rng.uniform(-60, 70, n)
    w, h = rng.uniform(0.1, 0.5, n), rng.uniform(0.1, 0.5, n)
    return [{"type": "Polygon", "coordinates": [[[x, y], [x + a, y], [x + a, y + b], [x, y + b], [x, y]]]}
            for x, y, a, b in zip(lon, lat, w, h)]


def registry(n=10_000):
    polygons = parcels(n)

    def rebuild():
        index = Index()
        for i, t in enumerate(zarel.trees_from_polygons(polygons, LEVEL)):
            index.add(f"parcel-{i}", t)
        return index

    seconds_build, index = best(rebuild, repeat=1)
    with tempfile.TemporaryDirectory() as d:
        path = os.path.join(d, "registry.zri")
        seconds_save, _ = best(lambda: index.save(path), repeat=2)
        seconds_load, back = best(lambda: Index.load(path), repeat=3)
        size = os.path.getsize(path)
    pickled = pickle.dumps(index)
    seconds_unpickle, _ = best(lambda: pickle.loads(pickled), repeat=3)
    assert back.roots() == index.roots()
    print(f"A registry of {n} parcels at level {LEVEL} "
          f"({size / 1e6:.1f} MB on disk, {len(pickled) / 1e6:.1f} MB pickled)")
    print(f"  rebuild from the polygons  {seconds_build:8.3f} s")
    print(f"  Index.load                 {seconds_load:8.3f} s   ({seconds_build / seconds_load:.0f}x faster)")
    print(f"  pickle.loads               {seconds_unpickle:8.3f} s")
    print(f"  Index.save                 {seconds_save:8.3f} s")


if __name__ == "__main__":
    countries()
    registry()
