"""Fingerprint the cells hit by a large point set on a Dask cluster.

Each chunk of points becomes a coverage tree on the worker that holds it; the
trees are then united in a tree reduction. The root is the one a single
machine computes from all the points at once, so it can be compared, stored
or proven against without knowing how the work was split.

    python examples/dask_points.py [number of points, default 2_000_000]

Needs the optional extras: pip install zarel[dask]
"""

import sys

import dask.array as da
import numpy as np
from distributed import Client, LocalCluster

import zarel
import zarel.dask


def main(n: int) -> None:
    depth = 5
    # Points spread evenly over the sphere: uniform longitude, uniform sin(latitude).
    lon = da.random.default_rng(1).uniform(-180, 180, n, chunks=250_000)
    lat = da.degrees(da.arcsin(da.random.default_rng(2).uniform(-1, 1, n, chunks=250_000)))

    with LocalCluster(n_workers=2, threads_per_worker=1, dashboard_address=None) as cluster, Client(cluster):
        lazy = zarel.dask.tree_from_lonlat(lon, lat, depth, split_every=4)
        tree = lazy.compute()
        print(f"{n} points in {lon.numblocks[0]} chunks cover {tree.leaf_count()} cells of level {depth}")
        print(f"  in {len(tree.cells())} canonical cells, root {tree.root_hex}")

        # The same root from one machine, all points at once.
        x, y = da.compute(lon, lat)
    direct = zarel.Tree.from_cells(zarel.cells_from_lonlat(x, y, depth), depth)
    print(f"  single machine: {'same root' if direct.root_hex == tree.root_hex else 'DIFFERENT root'}")


if __name__ == "__main__":
    main(int(sys.argv[1]) if len(sys.argv) > 1 else 2_000_000)
