"""The `zarel` package around the module: batch front ends over any array-like
(checked against the exact-layout module functions), cids never wrapped,
shapely polygons checked against the grid's own geometry, the public names,
and the README's usage under mypy --strict and pyright."""
import importlib.util
import json
import os
import re
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest
import shapely
import shapely.affinity

import zarel
from model import random_points
from zarel import _zarel

ROOT = Path(__file__).resolve().parent.parent


def misaligned(a):
    """The same values starting one byte past an 8-byte boundary."""
    raw = np.zeros(a.nbytes + 1, dtype=np.uint8)
    view = raw[1:].view(a.dtype)
    view[:] = a
    return view


def pandas_series(a):
    pd = pytest.importorskip("pandas")
    return pd.Series(a)


# Each form, and the exact array the module function would need for it.
DEGREE_FORMS = {
    "list": (lambda a: a.tolist(), lambda a: a),
    "float32": (lambda a: a.astype(np.float32), lambda a: a.astype(np.float32).astype(np.float64)),
    "int": (lambda a: a.astype(np.int64), lambda a: a.astype(np.int64).astype(np.float64)),
    "strided": (lambda a: np.repeat(a, 2)[::2], lambda a: a),
    "reversed": (lambda a: a[::-1].copy()[::-1], lambda a: a),
    "misaligned": (misaligned, lambda a: a),
    "series": (pandas_series, lambda a: a),
}


@pytest.mark.parametrize("form", DEGREE_FORMS)
@pytest.mark.parametrize("n", [0, 1, 300, 20000])
def test_points_any_form(form, n):
    to_form, exact = DEGREE_FORMS[form]
    lon, lat = random_points(n, 5)
    got = zarel.cells_from_lonlat(to_form(lon), to_form(lat), 9, zarel.ZAREL_1, 2)
    want = _zarel._cells_from_lonlat(exact(lon), exact(lat), 9, zarel.ZAREL_1, 2)
    assert got.dtype == np.uint64 and np.array_equal(got, want)


def cid_sample(n, seed=3):
    rng = np.random.default_rng(seed)
    lon, lat = random_points(n, seed)
    return _zarel._cells_from_lonlat(lon, lat, 15) // 9 ** rng.integers(0, 16, n).astype(np.uint64)


CID_FORMS = {
    "list": lambda c: c.tolist(),
    "int64": lambda c: c.astype(np.int64),
    "int32 base cells": lambda c: (c % 6 + 9).astype(np.int32),
    "uint32": lambda c: (c % 6 + 9).astype(np.uint32),
    "strided": lambda c: np.repeat(c, 3)[::3],
    "misaligned": misaligned,
    "series": pandas_series,
    "objects": lambda c: np.array(c.tolist(), dtype=object),
}


@pytest.mark.parametrize("form", CID_FORMS)
@pytest.mark.parametrize("n", [0, 5, 17000])
def test_cids_any_form(form, n):
    cids = cid_sample(n)
    given = CID_FORMS[form](cids)
    exact = np.asarray(given).astype(np.uint64)
    assert np.array_equal(zarel.cell_neighbours(given), _zarel._cell_neighbours(exact))
    for got, want in zip(zarel.cells_to_lonlat(given, nthreads=1), _zarel._cells_to_lonlat(exact)):
        assert np.array_equal(got, want)
    for got, want in zip(zarel.cell_boundaries(given, 3), _zarel._cell_boundaries(exact, 3)):
        assert np.array_equal(got, want)


@pytest.mark.parametrize("cids, index, value", [
    (np.array([9, 10, -3, -4]), 2, -3),
    ([9, -1, 2**63], 1, -1),            # NumPy alone would make floats of these
    ([9, 2**64], 1, 2**64),
    (np.array([9, -(2**63)], dtype=object), 1, -(2**63)),
])
@pytest.mark.parametrize("fn", [zarel.cells_to_lonlat, zarel.cell_boundaries, zarel.cell_neighbours])
def test_out_of_range_cids_are_refused(fn, cids, index, value):
    with pytest.raises(OverflowError, match=rf"^cids\[{index}\] is {value}; a cid is an unsigned 64-bit integer$"):
        fn(cids)


@pytest.mark.parametrize("cids, error", [
    ([9.0, 10.0], TypeError),
    (np.array([9.5]), TypeError),
    (["9"], TypeError),
    ([True, False], TypeError),
    (np.array([9, None], dtype=object), TypeError),
    (np.array([[9, 10], [11, 12]], dtype=np.uint64), ValueError),
    (9, ValueError),
    ([9, 2**64 - 1], ValueError),  # converted exactly beside small ints, then refused as a cell
])
def test_unusable_cids(cids, error):
    with pytest.raises(error):
        zarel.cell_neighbours(cids)


@pytest.mark.parametrize("lon, lat, error, message", [
    ([[0.0]], [0.0], ValueError, r"lon must be one-dimensional, got shape \(1, 1\)"),
    ([0.0], 5.0, ValueError, r"lat must be one-dimensional, got shape \(\)"),
    (["east"], [0.0], TypeError, "lon must hold numbers"),
    ([0.0, 1.0, 2.0], [0.0, 1.0], ValueError, "^3 longitudes but 2 latitudes$"),
])
def test_unusable_points(lon, lat, error, message):
    with pytest.raises(error, match=message):
        zarel.cells_from_lonlat(lon, lat, 3)


def test_nullable_pandas_column():
    pd = pytest.importorskip("pandas")
    lon = pd.array([1.0, None], dtype="Float64")
    # Depending on the pandas version the missing value arrives as NaN or as NA.
    with pytest.raises((TypeError, ValueError), match=r"lon must hold numbers|point 1 \(NaN, 0\) is not on the grid"):
        zarel.cells_from_lonlat(lon, [0.0, 0.0], 3)


@pytest.mark.parametrize("level", [1, 4])
def test_equatorial_polygons_tile_their_parent(level):
    # Equatorial cells are lon/lat rectangles, so shapely can check exactly that
    # the nine children cover their parent without overlap.
    rng = np.random.default_rng(level)
    parents = np.array([zarel.cell_at(int(b), level, int(r), int(c)) for b, r, c in
                        zip(rng.integers(1, 5, 20), rng.integers(0, 3**level, 20), rng.integers(0, 3**level, 20))],
                       dtype=np.uint64)
    children = (parents[:, None] * 9 + np.arange(9, dtype=np.uint64)).ravel()
    outer = zarel.cell_polygons(parents)
    inner = zarel.cell_polygons(children).reshape(-1, 9)
    for parent, kids in zip(outer, inner):
        assert all(k.is_valid for k in kids)
        # Each ring is brought east of 180 degrees on its own; line the children up with the parent.
        kids = [shapely.affinity.translate(k, 360) if k.bounds[0] < parent.bounds[0] else k for k in kids]
        together = shapely.union_all(kids)
        assert sum(k.area for k in kids) == pytest.approx(parent.area, rel=1e-12)
        assert together.symmetric_difference(parent).area < 1e-9 * parent.area


def test_polygons_hold_their_points():
    lon, lat = random_points(3000, 11)
    cells = zarel.cells_from_lonlat(lon, lat, 6)
    polys = zarel.cell_polygons(cells, n=40)
    # Exact for equatorial cells; polar edges are curves sampled at 40 points.
    inside = shapely.contains_xy(polys, np.where(lon < shapely.bounds(polys)[:, 0], lon + 360, lon), lat)
    assert inside[np.abs(lat) < 41].all() and inside.mean() > 0.99


@pytest.mark.parametrize("n", [2, 3, 9])
def test_polygons_follow_the_boundaries(n):
    cids = cid_sample(500, seed=n)
    coords, offsets = zarel.cell_boundaries(cids, n)
    polys = zarel.boundaries_to_polygons(coords, offsets)
    assert len(polys) == len(cids)
    for i in range(0, len(cids), 37):
        assert np.array_equal(shapely.get_coordinates(polys[i]), coords[offsets[i]:offsets[i + 1]])
    assert shapely.is_ccw(shapely.get_exterior_ring(polys)).all()
    assert zarel.cell_polygons([]).shape == (0,)


@pytest.mark.parametrize("coords, offsets", [
    (np.zeros((5, 2)), np.array([0, 4])),
    (np.zeros((5, 2)), np.array([1, 5])),
    (np.zeros((5, 2)), np.array([0, 2, 5])),
    (np.zeros((5, 3)), np.array([0, 5])),
    (np.zeros((5, 2)), np.array([0.0, 5.0])),
    (np.zeros((5, 2)), np.array([], dtype=np.int64)),
])
def test_bad_boundary_pairs(coords, offsets):
    with pytest.raises(ValueError):
        zarel.boundaries_to_polygons(coords, offsets)


def test_public_names():
    namespace = {}
    exec("from zarel import *", namespace)  # fails on a listed name that is missing
    assert len(set(zarel.__all__)) == len(zarel.__all__) and set(zarel.__all__) <= set(namespace)


# The checkers look at types, not memory: they need not run again under the sanitizers' preloads.
SANITIZED = bool(os.environ.get("ZAREL_SANITIZED"))
CHECKERS = {"mypy": ["--strict", "--no-incremental", "readme.py", "wrong.py"],
            "basedpyright": ["--pythonpath", sys.executable, "--project", ".", "."]}


@pytest.mark.parametrize("checker", CHECKERS)
def test_readme_under_type_checkers(tmp_path, checker):
    if SANITIZED:
        pytest.skip("sanitized run")
    pytest.importorskip(checker)
    # The README's Python blocks as one session (each goes on from the one before),
    # and a file with a deliberate mistake the checker must catch.
    blocks = re.findall(r"```python\n(.*?)```", (ROOT / "README.md").read_text(), re.S)
    assert blocks
    (tmp_path / "readme.py").write_text("\n".join(blocks))
    (tmp_path / "wrong.py").write_text("import zarel\nx: str = zarel.cells_from_lonlat([0.0], [0.0], 3)\n")
    (tmp_path / "pyrightconfig.json").write_text('{"typeCheckingMode": "standard", "pythonVersion": "3.11"}')
    run = subprocess.run([sys.executable, "-m", checker, *CHECKERS[checker]], capture_output=True, text=True,
                         cwd=tmp_path)
    errors = [line for line in run.stdout.splitlines() if "error" in line and ".py:" in line]
    assert errors and all("wrong.py:2" in line for line in errors), run.stdout + run.stderr


@pytest.mark.skipif(SANITIZED, reason="sanitized run")
def test_stubs_match_runtime():
    pytest.importorskip("mypy")
    run = subprocess.run([sys.executable, "-m", "mypy.stubtest", "zarel"],
                         capture_output=True, text=True)
    assert run.returncode == 0, run.stdout + run.stderr


@pytest.mark.skipif(SANITIZED, reason="slow under sanitizers")
@pytest.mark.parametrize("page", sorted(p.name for p in (ROOT / "docs").glob("*.md")))
def test_docs_examples_run(page, tmp_path, monkeypatch):
    # Each page's ```python blocks run as one session, in a scratch directory; ```py blocks are sketches.
    monkeypatch.chdir(tmp_path)
    code = "\n".join(re.findall(r"```python\n(.*?)```", (ROOT / "docs" / page).read_text(), re.S))
    for module in re.findall(r"^import (\w+)", code, re.M):
        pytest.importorskip(module)
    exec(compile(code, page, "exec"), {"__name__": "docs"})


def test_geo_tree_into_geopandas():
    gpd = pytest.importorskip("geopandas")
    tree = zarel.Tree.from_cells([983, 12 * 9 + 4, 9], 4)
    gdf = gpd.GeoDataFrame.from_features(tree, crs="EPSG:4326")
    assert list(gdf["cid"]) == tree.cells() and list(gdf["level"]) == [0, 1, 2]
    assert gdf.geometry.equals(gpd.GeoSeries(zarel.cell_polygons(tree.cells(), 3), crs="EPSG:4326"))
    finer = gpd.GeoDataFrame.from_features(zarel.GeoTree(tree, 8), crs="EPSG:4326")
    assert finer.geometry.equals(gpd.GeoSeries(zarel.cell_polygons(tree.cells(), 8), crs="EPSG:4326"))
    with pytest.raises(TypeError, match="GeoTree needs a Tree, got dict"):
        zarel.GeoTree(tree.geojson())
    # The array road gives the same frame as the features' road.
    for n, frame in [(3, gdf), (8, finer)]:
        fast = zarel.to_geodataframe(tree, n)
        assert list(fast.columns) == list(frame.columns) and fast.crs == frame.crs
        assert fast.geometry.equals(frame.geometry) and (fast["suid"] == frame["suid"]).all()
        assert fast["cid"].tolist() == frame["cid"].tolist() and fast["level"].tolist() == frame["level"].tolist()
    other = zarel.to_geodataframe(zarel.Tree.from_cells([4 * 4 + 1], 2, zarel.Profile(aperture=4, n_base=6)))
    assert other["suid"].tolist() == [None] and other["level"].tolist() == [1]


def shapes():
    disc = shapely.Point(12.5, 41.9).buffer(2.0, quad_segs=16)
    ring = disc.difference(shapely.Point(12.5, 41.9).buffer(0.8))
    pair = shapely.MultiPolygon([shapely.box(-3, -2, 0, 1), shapely.box(100, 10, 104, 13)])
    return {"disc": disc, "ring": ring, "pair": pair}


@pytest.mark.parametrize("name", ["disc", "ring", "pair"])
def test_geometry_objects_read_as_their_geojson(name):
    shape = shapes()[name]
    doc = shapely.geometry.mapping(shape)
    cells = zarel.polyfill(shape, 5)
    assert cells == _zarel.polyfill(doc, 5) == zarel.polyfill(doc, 5)
    tree = zarel.tree_from_geojson(shape, 5, zarel.ZAREL_1)
    assert tree == zarel.Tree.from_geojson(doc, 5, zarel.ZAREL_1)
    ogc = zarel.Tree.from_geojson(doc, 5)
    assert zarel.fingerprint_polygon(shape, 5) == ogc.root_hex and ogc.leaves() == cells
    assert ogc.depth == 5 and ogc.profile == zarel.OGC_RHEALPIX


SQUARE = {"type": "Polygon", "coordinates": [[[0, 0], [4, 0], [4, 4], [0, 4], [0, 0]]]}
FILLS = [zarel.polyfill, zarel.fingerprint_polygon, lambda g, r: zarel.tree_from_geojson(g, r).root_hex]


@pytest.mark.parametrize("form", [
    json.dumps,
    lambda d: {**d, "coordinates": np.array(d["coordinates"], np.int32)},
    lambda d: {**d, "coordinates": [[[np.float32(x), np.uint64(y)] for x, y in d["coordinates"][0]]]},
])
@pytest.mark.parametrize("fill", FILLS)
def test_documents_in_other_forms(form, fill):
    assert fill(form(SQUARE), 5) == fill(SQUARE, 5)


@pytest.mark.parametrize("geojson, error, message", [
    ("{", ValueError, "^not JSON: Expecting"),
    ({**SQUARE, "coordinates": np.full((1, 5, 2), np.nan)}, ValueError, r"^polygon 0, ring 0, point 0: \(NaN, NaN\) is not finite$"),
    ({**SQUARE, "bbox": {1, 2}}, ValueError, r"^not JSON \(TypeError: Object of type set"),
])
@pytest.mark.parametrize("fill", FILLS)
def test_documents_that_stay_refused(geojson, error, message, fill):
    with pytest.raises(error, match=message):
        fill(geojson, 3)


def test_collections_point_to_the_batch_road():
    gpd = pytest.importorskip("geopandas")
    frame = gpd.GeoDataFrame(geometry=list(shapes().values()), crs="EPSG:4326")
    for many in (frame, frame.geometry, frame.geometry.values, shapely.points([1, 2], [3, 4])):
        for fill, batch in zip(FILLS, ["polyfill_polygons", "fingerprint_polygons", "trees_from_polygons"]):
            with pytest.raises(TypeError, match=f" holds many geometries; zarel.{batch} takes one per element$"):
                fill(many, 4)
    # The module reads documents only; its refusal of a geometry names the package's front end.
    with pytest.raises(ValueError) as info:
        zarel.Tree.from_geojson(shapes()["disc"], 4)
    assert info.value.__notes__ == ["zarel.tree_from_geojson reads objects with __geo_interface__, such as shapely's"]


def test_licences_beside_each_other():
    # The wheel carries licenses/*.txt; the README there names each, the JSON library compiled in among them.
    listed = re.findall(r"^- `([^`]+)`", (ROOT / "licenses" / "README.md").read_text(), re.M)
    texts = {p.name: p.read_text() for p in (ROOT / "licenses").glob("*.txt")}
    assert sorted(listed) == sorted(texts) and any("Niels Lohmann" in t for t in texts.values())


@pytest.mark.parametrize("fn", [zarel.polyfill, zarel.fingerprint_polygon, zarel.tree_from_geojson])
def test_level_keyword(fn):
    doc = shapely.geometry.mapping(shapes()["disc"])
    want = fn(doc, 5)
    assert fn(doc, level=5) == want
    with pytest.warns(DeprecationWarning, match=r"\(resolution=\.\.\.\) is now .*\(level=\.\.\.\)"):
        assert fn(doc, resolution=5) == want
    with pytest.raises(TypeError, match="got both 'level' and its old name 'resolution'"):
        fn(doc, level=5, resolution=5)


def test_missing_extras_are_named(monkeypatch):
    # A module set to None in sys.modules is one that cannot be imported.
    monkeypatch.setitem(sys.modules, "shapely", None)
    with pytest.raises(ModuleNotFoundError, match=r"pip install 'zarel\[shapely\]'"):
        zarel.cell_polygons([9])
    monkeypatch.setitem(sys.modules, "geopandas", None)
    with pytest.raises(ModuleNotFoundError, match=r"pip install 'zarel\[geopandas\]'"):
        zarel.to_geodataframe(zarel.Tree.from_cells([9], 1))
    monkeypatch.setitem(sys.modules, "dask", None)
    monkeypatch.delitem(sys.modules, "zarel.dask", raising=False)
    with pytest.raises(ModuleNotFoundError, match=r"pip install 'zarel\[dask\]'"):
        importlib.import_module("zarel.dask")


def test_docs_extra_covers_the_examples():
    import tomllib
    extras = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]["optional-dependencies"]
    provided = {re.match(r"[\w-]+", req).group().replace("-", "_") for req in extras["docs"]}
    code = "\n".join(block for page in (ROOT / "docs").glob("*.md")
                     for block in re.findall(r"```py(?:thon)?\n(.*?)```", page.read_text(), re.S))
    imported = set(re.findall(r"^\s*(?:import|from) (\w+)", code, re.M))
    assert imported - set(sys.stdlib_module_names) - {"zarel", "numpy"} <= provided
