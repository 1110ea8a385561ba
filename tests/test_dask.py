"""Trees built per partition on Dask and united by a tree reduction: the root
equals the single-machine root, on worker processes and for any chunking."""
import os

import numpy as np
import pytest

import zarel
from model import random_points

dask = pytest.importorskip("dask")
da = pytest.importorskip("dask.array")
distributed = pytest.importorskip("distributed")
import zarel.dask as zd  # noqa: E402

# Worker processes under the sanitizers' preloads only add minutes, not coverage.
pytestmark = pytest.mark.skipif(bool(os.environ.get("ZAREL_SANITIZED")), reason="not under sanitizers")


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, distributed.Client(cluster) as c:
        yield c


def test_cluster_root_equals_single_machine_root(client):
    lon, lat = random_points(300_000, 1)
    want = zarel.Tree.from_cells(zarel._cells_from_lonlat(lon, lat, 9, zarel.ZAREL_1), 9, zarel.ZAREL_1)
    lazy = zd.tree_from_lonlat(da.from_array(lon, chunks=25_000), da.from_array(lat, chunks=40_000), 9,
                               zarel.ZAREL_1, split_every=3)
    got = client.compute(lazy).result()
    assert got.root_hex == want.root_hex and got.profile == zarel.ZAREL_1 and got.depth == 9
    # The partitions really were spread: both worker processes built trees.
    assert len({w for ws in client.who_has().values() for w in ws} | set(client.run(os.getpid).values())) >= 2


def union_tasks(lazy):
    """Per union task, how many trees it joins; and the longest chain of unions."""
    graph = lazy.__dask_graph__()
    deps = graph.get_all_dependencies()
    unions = {k for k in graph if str(k).startswith("_union")}
    chain = {}

    def height(k):
        if k not in chain:
            chain[k] = (k in unions) + max((height(d) for d in deps[k]), default=0)
        return chain[k]

    return [len(deps[k]) for k in unions], height(lazy.key)


@pytest.mark.parametrize("chunks, split_every", [(1000, 2), (700, 8), (99_999, 4), (333, 5)])
def test_any_chunking_same_root(chunks, split_every):
    lon, lat = random_points(20_000, chunks)
    want = zarel.Tree.from_cells(zarel._cells_from_lonlat(lon, lat, 6), 6)
    lazy = zd.tree_from_lonlat(da.from_array(lon, chunks=chunks), lat, 6, split_every=split_every)
    assert lazy.compute(scheduler="sync") == want
    # A tree, not a fold: each union joins 2..k trees, and about log_k(n) unions
    # stand between any partition and the result.
    widths, height = union_tasks(lazy)
    n_parts = -(-20_000 // chunks)
    assert all(2 <= w <= split_every for w in widths) and len(widths) <= n_parts - 1
    assert split_every ** (height - 1) < n_parts <= split_every ** height


def test_ready_trees_and_empty_input():
    trees = [zarel.Tree.from_cells([c], 4) for c in (9, 10, 983, 12)]
    assert zd.union_all(trees, 2).compute(scheduler="sync") == zarel.Tree.from_cells([9, 10, 983, 12], 4)
    assert zd.union_all(trees[:1]).compute(scheduler="sync") == trees[0]
    assert zd.tree_from_lonlat(da.zeros(0, chunks=5), da.zeros(0, chunks=5), 5).compute(scheduler="sync").is_empty()
    # The level's old keyword still works, with a warning.
    with pytest.warns(DeprecationWarning, match=r"tree_from_lonlat\(depth=\.\.\.\) is now"):
        old = zd.tree_from_lonlat([1.0], [2.0], depth=5)
    assert old.compute(scheduler="sync") == zd.tree_from_lonlat([1.0], [2.0], level=5).compute(scheduler="sync")


@pytest.mark.parametrize("call, message", [
    (lambda: zd.union_all([]), "at least one tree"),
    (lambda: zd.union_all([zarel.Tree.from_cells([], 2)], split_every=1), r"split_every 1 out of range \[2, "),
    (lambda: zd.tree_from_lonlat(da.zeros(3), da.zeros(4), 3), "3 longitudes but 4 latitudes"),
    (lambda: zd.tree_from_lonlat(da.zeros((2, 2)), da.zeros((2, 2)), 3), "one-dimensional"),
    (lambda: zd.tree_from_lonlat(da.zeros(10)[da.zeros(10) > 1], da.zeros(0), 3), "known chunk sizes"),
])
def test_refused_inputs(call, message):
    with pytest.raises(ValueError, match=message):
        call()


def test_element_errors_surface():
    lazy = zd.tree_from_lonlat(da.from_array([0.0, np.nan], chunks=1), [0.0, 0.0], 3)
    with pytest.raises(ValueError, match=r"point 0 \(NaN, 0\) is not on the grid"):
        lazy.compute(scheduler="sync")


def random_discs(seed, n, max_lat, radii):
    shapely = pytest.importorskip("shapely")
    rng = np.random.default_rng(seed)
    return [shapely.Point(x, y).buffer(r) for x, y, r in
            zip(rng.uniform(-170, 170, n), rng.uniform(-max_lat, max_lat, n), rng.uniform(*radii, n))]


def test_polygons_per_partition(client):
    dgpd = pytest.importorskip("dask_geopandas")
    gpd = pytest.importorskip("geopandas")
    shapely = pytest.importorskip("shapely")
    discs = random_discs(4, 40, 60, (0.5, 6))
    geometries = discs + [None, shapely.Polygon()]          # missing and empty cover nothing
    frame = gpd.GeoDataFrame({"n": range(len(geometries))}, geometry=geometries, crs="EPSG:4326")
    want = zarel.Tree.from_cells([], 5)
    for d in discs:
        want = want.union(zarel.Tree.from_geojson(d.__geo_interface__, 5))
    lazy = zd.tree_from_polygons(dgpd.from_geopandas(frame, npartitions=5), 5, split_every=2)
    assert client.compute(lazy).result().root_hex == want.root_hex
    assert zd.tree_from_polygons(dgpd.from_geopandas(frame, npartitions=3).geometry, 5).compute() == want
    with pytest.raises(TypeError, match="dask-geopandas"):
        zd.tree_from_polygons(frame, 5)


def test_per_row_roots_and_trees(client):
    dgpd = pytest.importorskip("dask_geopandas")
    gpd = pytest.importorskip("geopandas")
    geometries = random_discs(5, 30, 80, (0.1, 3)) + [None]
    frame = gpd.GeoDataFrame({"n": range(len(geometries))}, geometry=geometries, crs="EPSG:4326",
                             index=range(100, 100 + len(geometries)))
    want = zarel.roots_hex(zarel.fingerprint_polygons(frame, 6))
    lazy = zd.roots_from_polygons(dgpd.from_geopandas(frame, npartitions=4), 6)
    got = client.compute(lazy).result()
    assert got.tolist() == want and got.index.tolist() == frame.index.tolist()
    trees = client.compute(zd.trees_from_polygons(dgpd.from_geopandas(frame, npartitions=3).geometry, 6)).result()
    assert [t.root_hex for t in trees] == want
    with pytest.raises(TypeError, match="dask-geopandas"):
        zd.roots_from_polygons(frame, 6)
    # The containment mode and the threads reach every partition.
    inside = zarel.roots_hex(zarel.fingerprint_polygons(frame, 6, mode="inside"))
    assert inside != want
    lazy = zd.roots_from_polygons(dgpd.from_geopandas(frame, npartitions=2), 6, nthreads=1, mode="inside")
    assert client.compute(lazy).result().tolist() == inside
    lazy = zd.trees_from_polygons(dgpd.from_geopandas(frame, npartitions=2), 6, nthreads=2, mode="inside")
    assert [t.root_hex for t in client.compute(lazy).result()] == inside
    union = zarel.Tree.from_cells([], 6)
    for g in geometries[:-1]:
        union = union | zarel.tree_from_geojson(g, 6, mode="overlap")
    lazy = zd.tree_from_polygons(dgpd.from_geopandas(frame, npartitions=3), 6, nthreads=2, mode="overlap")
    assert client.compute(lazy).result() == union
    with pytest.raises(ValueError, match=r"^nthreads 2000 out of range"):
        zd.trees_from_polygons(dgpd.from_geopandas(frame, npartitions=2), 6, nthreads=2000)


def test_bad_rows_and_projected_tables_are_named():
    dgpd = pytest.importorskip("dask_geopandas")
    gpd = pytest.importorskip("geopandas")
    shapely = pytest.importorskip("shapely")
    geometries = [shapely.box(k, 0, k + 1, 1) for k in range(40)]
    geometries[27] = shapely.box(0, 0, 1, 95)  # one bad row: partitions run in no set order
    frame = gpd.GeoDataFrame(geometry=geometries, index=range(500, 540))
    lazy = dgpd.from_geopandas(frame, npartitions=4)  # ten rows each: row 27 is row 7 of partition 2
    message = r"^geometry at index 527 \(row 7 of partition 2\): polygon 0, ring 0, point 1: latitude 95 is outside"
    for call in (zd.roots_from_polygons, zd.trees_from_polygons, zd.tree_from_polygons):
        with pytest.raises(ValueError, match=message):
            dask.compute(call(lazy, 3), scheduler="sync")
    with pytest.raises(ValueError, match=r"EPSG:3857 .*projected CRS; .*\.to_crs\(4326\)"):
        zd.roots_from_polygons(dgpd.from_geopandas(frame.set_crs(3857), npartitions=2), 3)
