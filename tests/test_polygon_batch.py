"""The batch polygon road: tables of geometries filled row by row must equal the
one-geometry calls on the GeoJSON road, whatever form the table comes in."""
import json
import pathlib
import sys

import numpy as np
import pytest
import shapely

import zarel
from zarel import _zarel
from test_polyfill import star

pa = pytest.importorskip("pyarrow")
gpd = pytest.importorskip("geopandas")

COUNTRIES = pathlib.Path(__file__).resolve().parent.parent / "examples" / "data" / "countries.geo.json"
EMPTY = {"type": "MultiPolygon", "coordinates": []}


def parcels(n, seed):
    """Quadrilaterals of about a hectare anywhere on the globe, caps included."""
    rng = np.random.default_rng(seed)
    lon, lat = rng.uniform(-179, 179, n), rng.uniform(-88, 88, n)
    d = 0.0009 * rng.uniform(0.5, 1.5, (n, 4))
    xy = np.stack([lon - d[:, 0], lat - d[:, 1], lon + d[:, 2], lat - d[:, 1],
                   lon + d[:, 2], lat + d[:, 3], lon - d[:, 0], lat + d[:, 3]], axis=1).reshape(n, 4, 2)
    return shapely.polygons(xy)


def table():
    countries = {f["properties"]["name"]: f["geometry"] for f in json.loads(COUNTRIES.read_text())["features"]}
    stars = [shapely.Polygon(star(x, y, 3, 1, 6), [star(x, y, 0.6, 0.3)]) for x, y in [(10, 45), (-120, -20), (60, 75)]]
    multi = shapely.MultiPolygon([shapely.box(170, 50, 180, 60), shapely.box(-180, 50, -172, 60)])
    return list(parcels(40, 1)) + stars + [multi, None, shapely.Polygon()] + [
        shapely.geometry.shape(countries[name]) for name in ("France", "Norway")]


def one_by_one(geoms, resolution):
    docs = [EMPTY if g is None or g.is_empty else g.__geo_interface__ for g in geoms]
    return [_zarel.fingerprint_polygon(d, resolution) for d in docs], [_zarel.polyfill(d, resolution) for d in docs]


@pytest.mark.parametrize("nthreads", [0, 1, 3])
def test_batch_forms_equal_the_single_calls(nthreads):
    geoms, resolution = table(), 7
    roots, cells = one_by_one(geoms, resolution)
    assert zarel.roots_hex(zarel.fingerprint_polygons(geoms, resolution, nthreads=nthreads)) == roots
    cids, offsets = zarel.polyfill_polygons(geoms, resolution, nthreads=nthreads)
    assert [cids[a:b].tolist() for a, b in zip(offsets[:-1], offsets[1:])] == cells
    assert [t.root_hex for t in zarel.trees_from_polygons(geoms, resolution, nthreads=nthreads)] == roots
    # Single shapely geometries take the array road too.
    for g, root, cs in zip(geoms[38:], roots[38:], cells[38:]):
        if g is not None and not g.is_empty:
            assert zarel.fingerprint_polygon(g, resolution) == root and zarel.polyfill(g, resolution) == cs
            assert zarel.tree_from_geojson(g, resolution).root_hex == root


def test_a_pool_sized_batch_equals_the_calling_thread():
    geoms = parcels(20_000, 2)
    want = zarel.fingerprint_polygons(geoms, 11, nthreads=1)
    for n in (0, 3):
        assert (zarel.fingerprint_polygons(geoms, 11, nthreads=n) == want).all()
    sample = [0, 777, 19_999]
    assert zarel.roots_hex(want[sample]) == [zarel.fingerprint_polygon(geoms[i].__geo_interface__, 11) for i in sample]


def geoarrow(geoms, interleaved):
    return pa.array(gpd.GeoSeries(geoms).to_arrow(geometry_encoding="geoarrow", interleaved=interleaved))


KINDS = {
    "shapely array": lambda g: np.array(g, dtype=object),
    "list": list,
    "GeoSeries": gpd.GeoSeries,
    "GeoDataFrame": lambda g: gpd.GeoDataFrame({"n": range(len(g))}, geometry=g),
    "WKB array": lambda g: shapely.to_wkb(np.array(g, dtype=object)),
    "pyarrow WKB": lambda g: pa.array(shapely.to_wkb(np.array(g, dtype=object))),
    "GeoArrow interleaved": lambda g: geoarrow(g, True),
    "GeoArrow struct": lambda g: geoarrow(g, False),
    "GeoArrow sliced": lambda g: geoarrow([shapely.box(0, 0, 1, 1)] + g, True)[1:],
    "GeoArrow chunked": lambda g: (lambda a: pa.chunked_array([a[:7], a[7:]]))(geoarrow(g, True)),
    "pyarrow WKB chunked": lambda g: pa.chunked_array([pa.array(shapely.to_wkb(np.array(g[a:b], dtype=object)))
                                                       for a, b in [(0, 7), (7, len(g))]]),
    "GeoJSON dicts": lambda g: [None if x is None else x.__geo_interface__ for x in g],
}


@pytest.mark.parametrize("bad, message", [
    (shapely.Point(1, 2), "geometry 5: a Point is not a Polygon or MultiPolygon"),
    (shapely.LineString([(0, 0), (1, 1)]), "geometry 5: a LineString is not"),
    (shapely.Polygon([(0, 0), (np.nan, 0), (1, 1)]), r"geometry 5: polygon 0, ring 0, point 1: \(NaN, 0\) is not"),
])
@pytest.mark.parametrize("nthreads", [1, 0, 3])
@pytest.mark.filterwarnings("ignore:invalid value encountered")
def test_bad_rows_are_named(bad, message, nthreads):
    geoms = [shapely.box(k, k, k + 1, k + 1) for k in range(5)] + [bad] + [shapely.box(0, 0, 1, 1)] * 20_000
    geoms[19_000] = bad  # a later bad row is never the one named
    with pytest.raises(ValueError, match=message):
        zarel.fingerprint_polygons(geoms, 3, nthreads=nthreads)


def test_few_rows_of_much_work_run_on_the_pool():
    # Three wide discs of many vertices are worth the workers; three parcels are not.
    from zarel import _tables

    discs = [shapely.Point(10 * k, 40).buffer(3, 64) for k in range(3)]
    with pytest.raises(ValueError, match="nthreads 5000 is above the maximum 1024"):
        _zarel._cover_polygons(*_tables.table_arrays(discs), 9, "roots", None, 5000)
    few = _tables.table_arrays(parcels(3, 5))
    assert (_zarel._cover_polygons(*few, 9, "roots", None, 5000) == _zarel._cover_polygons(*few, 9, "roots", None, 1)).all()
    runs = [zarel.fingerprint_polygons(discs, 7, nthreads=n) for n in (1, 0, 3)]
    assert all((r == runs[0]).all() for r in runs)


@pytest.mark.parametrize("kind", sorted(KINDS))
def test_every_kind_in_chunks_of_rows_equals_the_whole_table(kind, monkeypatch):
    # GeoArrow holds multipolygons throughout, no missing rows.
    geoms = [g for g in table() if g is not None or not kind.startswith("GeoArrow")]
    data = KINDS[kind](geoms)
    roots, (cids, offsets) = zarel.fingerprint_polygons(data, 6), zarel.polyfill_polygons(data, 6)
    assert (roots == zarel.fingerprint_polygons(np.array(geoms, dtype=object), 6)).all()
    trees = [t.root_hex for t in zarel.trees_from_polygons(data, 6)]
    monkeypatch.setattr(zarel._geo, "_CHUNK_ROWS", 4)
    seen = []
    assert (zarel.fingerprint_polygons(data, 6, progress=lambda *a: seen.append(a)) == roots).all()
    # Each chunk's end, and what the module reports while it works, in order.
    n = len(geoms)
    assert seen == sorted(seen) and {(min(k, n), n) for k in range(4, n + 4, 4)} <= set(seen) and seen[-1] == (n, n)
    got = zarel.polyfill_polygons(data, 6, nthreads=2)
    assert got[0].tolist() == cids.tolist() and got[1].tolist() == offsets.tolist() and got[1].dtype == np.int64
    assert [t.root_hex for t in zarel.trees_from_polygons(data, 6, progress=False)] == trees


@pytest.mark.parametrize("kind", ["list", "WKB array", "pyarrow WKB", "GeoArrow struct", "GeoJSON dicts"])
@pytest.mark.filterwarnings("ignore:invalid value encountered")
def test_chunks_name_rows_of_the_whole_table(kind, monkeypatch):
    geoms = [shapely.box(k, k, k + 1, k + 1) for k in range(13)]
    bad = shapely.Polygon([(0, 0), (1, 0), (1, 95), (0, 0)])
    data = KINDS[kind](geoms[:10] + [bad] + geoms[10:] + [bad])
    monkeypatch.setattr(zarel._geo, "_CHUNK_ROWS", 4)
    for call in (zarel.fingerprint_polygons, zarel.polyfill_polygons, zarel.trees_from_polygons):
        with pytest.raises(ValueError, match=r"^geometry 10: polygon 0, ring 0, point 2: latitude 95 is outside"):
            call(data, 3)
    if kind == "list":
        with pytest.raises(TypeError, match="^geometry 9: a int is not a geometry"):
            zarel.fingerprint_polygons(geoms[:9] + [5] + geoms, 3)


def test_polyfill_bound_counts_every_chunk(monkeypatch):
    geoms = list(parcels(30, 3))
    cids, offsets = zarel.polyfill_polygons(geoms, 9)
    monkeypatch.setattr(zarel._geo, "_CHUNK_ROWS", 4)
    monkeypatch.setattr(zarel._geo, "_MAX_CELLS", int(offsets[12]))
    with pytest.raises(ValueError, match=f"^the polygons cover {offsets[-1]} cells at resolution 9, more than"):
        zarel.polyfill_polygons(geoms, 9)
    # A failing row after the bound is passed is the one named, as in one call.
    with pytest.raises(ValueError, match="^geometry 29: a Point"):
        zarel.polyfill_polygons(geoms[:29] + [shapely.Point(0, 0)], 9)
    monkeypatch.setattr(zarel._geo, "_MAX_CELLS", int(offsets[-1]))
    assert zarel.polyfill_polygons(geoms, 9)[0].tolist() == cids.tolist()


def test_progress_arguments(monkeypatch):
    geoms = list(parcels(200, 4))
    want = zarel.fingerprint_polygons(geoms, 8)
    seen = []
    assert zarel.polyfill_polygons([], 8, progress=lambda *a: seen.append(a))[1].tolist() == [0] and seen == [(0, 0)]

    def stop(done, total):
        raise RuntimeError(f"stopped at {done} of {total}")
    # The module's first poll on the calling thread reports at once: the call stops within its only chunk.
    with pytest.raises(RuntimeError, match=r"stopped at (\d|\d\d|1\d\d) of 200$"):
        zarel.trees_from_polygons(geoms, 8, nthreads=1, progress=stop)
    doc = {"type": "Polygon", "coordinates": [[[0, 0], [30, 0], [30, 30], [0, 0]]]}
    for one in (zarel.polyfill, zarel.fingerprint_polygon, zarel.tree_from_geojson):
        seen.clear()
        with pytest.raises(RuntimeError, match="stopped at 0 of 1"):
            one(doc, 9, progress=stop)
        assert one(shapely.geometry.shape(doc), 4, progress=lambda *a: seen.append(a)) == one(doc, 4)
        assert seen == sorted(seen) and seen[-1] == (1, 1)
    cids = zarel.polyfill(doc, 6)
    seen.clear()
    assert zarel.tree_from_cells(cids, 8, progress=lambda *a: seen.append(a)) == zarel.Tree.from_cells(cids, 8)
    assert seen[-1] == (1, 1)
    pytest.importorskip("tqdm")
    assert (zarel.fingerprint_polygons(geoms, 8, progress=True) == want).all()
    assert zarel.polyfill(doc, 5, progress=True) == zarel.polyfill(doc, 5)
    with pytest.raises(TypeError, match="progress must be True, False or a callable"):
        zarel.fingerprint_polygons(geoms, 8, progress="yes")
    monkeypatch.setitem(sys.modules, "tqdm.auto", None)
    with pytest.raises(ModuleNotFoundError, match=r"pip install 'zarel\[progress\]'"):
        zarel.fingerprint_polygons(geoms, 8, progress=True)


F, I = np.float64, np.int64
SQUARE = np.array([0, 0, 1, 0, 1, 1, 0, 1, 0, 0], F)


@pytest.mark.parametrize("xy, rings, parts, geometries, message", [
    (SQUARE, [0, 5], [0, 1], [0, 2], r"geometry 0: polygon offsets 0\.\.2 are not a range within the 1 polygons"),
    (SQUARE, [0, 5], [1, 0], [0, 1], r"geometry 0: ring offsets 1\.\.0"),
    (SQUARE, [0, 6], [0, 1], [0, 1], r"geometry 0: point offsets 0\.\.6 are not a range within the 5 points"),
    (SQUARE, [-1, 5], [0, 1], [0, 0, 1], r"geometry 1: point offsets -1\.\.5"),
    (SQUARE[:-1], [0, 4], [0, 1], [0, 1], "xy holds 9 values"),
    (SQUARE, [0, 5], [0, 1], [], "geometries holds no offsets"),
])
def test_offsets_are_checked(xy, rings, parts, geometries, message):
    with pytest.raises(ValueError, match=message):
        _zarel._cover_polygons(np.asarray(xy, F), np.asarray(rings, I), np.asarray(parts, I),
                               np.asarray(geometries, I), 3, "roots")


def test_array_road_refusals():
    args = [SQUARE, np.array([0, 5], I), np.array([0, 1], I), np.array([0, 1], I)]
    with pytest.raises(TypeError):
        _zarel._cover_polygons(SQUARE.astype(np.float32), *args[1:], 3, "roots")
    with pytest.raises(ValueError, match="not contiguous"):
        _zarel._cover_polygons(np.repeat(SQUARE, 2)[::2], *args[1:], 3, "roots")
    with pytest.raises(ValueError, match="form \"root\" is not"):
        _zarel._cover_polygons(*args, 3, "root")
    with pytest.raises(ValueError, match=r"resolution 16 out of range \[0, 15\]"):
        _zarel._cover_polygons(*args, 16, "cells")
    # Short rings close as a document's do.
    tri = np.array([0, 0, 2, 0, 0, 2], F)
    got = _zarel._cover_polygons(tri, np.array([0, 3], I), np.array([0, 1], I), np.array([0, 1], I), 5, "cells")[0]
    assert got.tolist() == zarel.polyfill({"type": "Polygon", "coordinates": [[[0, 0], [2, 0], [0, 2]]]}, 5)
    with pytest.raises(TypeError, match="table of geometries"):
        zarel.fingerprint_polygons(shapely.box(0, 0, 1, 1), 3)


def test_missing_rows_cover_nothing():
    roots = zarel.roots_hex(zarel.fingerprint_polygons([None, shapely.Polygon(), shapely.MultiPolygon()], 9))
    assert roots == [zarel.Tree.from_cells([], 9).root_hex] * 3
    cids, offsets = zarel.polyfill_polygons([None, shapely.Polygon()], 9)
    assert cids.size == 0 and offsets.tolist() == [0, 0, 0]
    with pytest.raises(ValueError, match="roots must have shape"):
        zarel.roots_hex(np.zeros((2, 31), np.uint8))
