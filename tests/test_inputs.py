"""What users pass in: every road of a table of geometries refuses the same bad
rows with the same words, naming the lowest bad row and the point within its
ring; CRSes, Arrow layouts and arguments are checked before any filling."""
import json
import os
import re
import subprocess
import sys

import numpy as np
import pytest

import zarel
from zarel import _zarel

shapely = pytest.importorskip("shapely")
gpd = pytest.importorskip("geopandas")
pa = pytest.importorskip("pyarrow")

SQUARE = [[0, 0], [4, 0], [4, 4], [0, 4], [0, 0]]
HOLE = [[1, 1], [2, 1], [2, 2], [1, 2], [1, 1]]
EMPTY_ROOT = zarel.Tree.from_cells([], 4).root_hex


def with_point(x, y):
    """A MultiPolygon whose second polygon's hole has (x, y) as its point 2."""
    hole = [list(p) for p in HOLE]
    hole[2] = [x, y]
    return {"type": "MultiPolygon", "coordinates": [[SQUARE], [SQUARE, hole]]}


def flat(docs):
    """The flat arrays of a list of GeoJSON documents, written out by hand."""
    xy, rings, parts, geometries = [], [0], [0], [0]
    for doc in docs:
        polygons = [] if doc is None else doc["coordinates"]
        polygons = [polygons] if doc is not None and doc["type"] == "Polygon" else polygons
        for polygon in polygons:
            for ring in polygon:
                xy += [c for p in ring for c in p]
                rings.append(rings[-1] + len(ring))
            parts.append(parts[-1] + len(polygon))
        geometries.append(geometries[-1] + len(polygons))
    return [np.asarray(xy, np.float64)] + [np.asarray(a, np.int64) for a in (rings, parts, geometries)]


def shapes(docs):
    return [None if d is None else shapely.geometry.shape(d) for d in docs]


def geoarrow(docs, interleaved):
    return gpd.GeoSeries(shapes(docs)).to_arrow(geometry_encoding="geoarrow", interleaved=interleaved)


ROADS = {
    "dicts": lambda docs: zarel.fingerprint_polygons(docs, 4),
    "features": lambda docs: zarel.fingerprint_polygons([{"type": "Feature", "geometry": d} for d in docs], 4),
    "shapely": lambda docs: zarel.fingerprint_polygons(shapes(docs), 4),
    "WKB": lambda docs: zarel.fingerprint_polygons(shapely.to_wkb(shapes(docs)), 4),
    "GeoArrow interleaved": lambda docs: zarel.fingerprint_polygons(geoarrow(docs, True), 4),
    "GeoArrow struct": lambda docs: zarel.fingerprint_polygons(geoarrow(docs, False), 4),
    "flat arrays": lambda docs: _zarel._cover_polygons(*flat(docs), 4, "roots"),
}

BAD_POINTS = [(x, y, re.escape(text)) for x, y, text in [
    (2, 95, "latitude 95 is outside [-90, 90]"),
    (2, -90.000001, "latitude -90.000001 is outside [-90, 90]"),
    (190, 2, "longitude 190 is outside [-180, 180]; bring 0..360 longitudes into range and split polygons "
             "that cross the antimeridian"),
    (-180 - 1e-9, 2, "longitude -180.000000001 is outside"),
    (1e300, 2, "longitude 1e+300 is outside"),
    (-2e-5, -1e16, "latitude -1e+16 is outside"),
    (np.nan, 2, "(NaN, 2) is not finite"),
    (2, np.inf, "(2, inf) is not finite"),
]]


@pytest.mark.parametrize("x, y, message", BAD_POINTS)
@pytest.mark.parametrize("road", sorted(ROADS))
@pytest.mark.filterwarnings("ignore:invalid value encountered")
def test_points_off_the_earth_are_named_on_every_road(road, x, y, message):
    good = {"type": "Polygon", "coordinates": [SQUARE]}
    docs = [good, None, good, with_point(x, y), good, with_point(x, y)]
    with pytest.raises(ValueError, match=f"^geometry 3: polygon 1, ring 1, point 2: {message}"):
        ROADS[road](docs)


@pytest.mark.parametrize("x, y, message", BAD_POINTS)
@pytest.mark.parametrize("form", ["dict", "text", "shapely", "numpy"])
@pytest.mark.filterwarnings("ignore:invalid value encountered")
def test_single_geometries_name_the_point(form, x, y, message):
    doc = with_point(x, y)
    given = {"dict": doc, "text": json.dumps(doc) if np.isfinite([x, y]).all() else doc,
             "shapely": shapely.geometry.shape(doc),
             "numpy": {**doc, "coordinates": [np.array(p, dtype=np.float64) for p in doc["coordinates"]]}}[form]
    for fill in (zarel.polyfill, zarel.fingerprint_polygon, zarel.tree_from_geojson):
        with pytest.raises(ValueError, match=f"^polygon 1, ring 1, point 2: {message}"):
            fill(given, 4)


@pytest.mark.parametrize("road", sorted(ROADS))
def test_edges_written_a_few_ulps_out_are_read(road):
    # Natural Earth and our own corners write the edges with rounding errors.
    lon, lat = np.nextafter(-180, -np.inf), np.nextafter(np.nextafter(-90, -np.inf), -np.inf)
    doc = {"type": "Polygon", "coordinates": [[[lon, lat], [-170, lat], [-170, -80], [lon, -80], [lon, lat]]]}
    assert zarel.roots_hex(ROADS[road]([doc]))[0] != EMPTY_ROOT
    if road == "dicts":  # and one document, of few points or many
        long = {"type": "Polygon", "coordinates": [[[lon, lat]] + [[-170, y] for y in np.linspace(lat, -80, 99)]
                                                   + [[lon, -80], [lon, lat]]]}
        assert zarel.fingerprint_polygon(doc, 4) == zarel.fingerprint_polygon(long, 4) == zarel.roots_hex(
            ROADS[road]([doc]))[0]


ROW_ERRORS = [
    ([shapely.to_wkb(shapely.box(0, 0, 1, 1)), b"\x01\x03\x00"], ValueError, r"^geometry 1: not WKB \("),
    ([shapely.box(0, 0, 1, 1), shapely.Point(1, 2)], ValueError, "^geometry 1: a Point is not a Polygon"),
    ([{"type": "Polygon", "coordinates": [SQUARE]}, {"type": "Point", "coordinates": [1, 2]}], ValueError,
     "^geometry 1: a Point is not a Polygon or MultiPolygon$"),
    ([None, {"type": "Circle"}], ValueError, '^geometry 1: unsupported GeoJSON type "Circle"'),
    ([None, {"type": "Feature"}], ValueError, "^geometry 1: feature without geometry$"),
    ([None, {"type": "Polygon", "coordinates": [[[0, 0], [1, "a"], [1, 1]]]}], ValueError,
     "^geometry 1: polygon 0, ring 0, point 1: position must be numeric$"),
    ([None, {"type": "Polygon", "coordinates": [[[0, 0], [1], [1, 1]]]}], ValueError,
     r"^geometry 1: polygon 0, ring 0, point 1: position must be \[lon, lat\]$"),
    ([None, {"type": "MultiPolygon", "coordinates": [[SQUARE], [SQUARE, 7]]}], ValueError,
     "^geometry 1: polygon 1, ring 1: ring must be an array$"),
    ([None, "POLYGON ((0 0, 1 0, 1 1, 0 0))"], TypeError, "^geometry 1: a str is not a geometry"),
]


@pytest.mark.parametrize("table, error, message", ROW_ERRORS)
def test_bad_rows_are_named(table, error, message):
    with pytest.raises(error, match=message):
        zarel.fingerprint_polygons(table, 4)


def test_every_form_of_wkb_and_of_missing_rows():
    shapes = [shapely.box(0, 0, 1, 1), shapely.box(10, 0, 11, 1e-300)]  # ends in zero bytes
    wkb = list(shapely.to_wkb(shapes))
    want = zarel.fingerprint_polygons(shapes, 6)
    for table in (wkb, [bytearray(w) for w in wkb], [memoryview(w) for w in wkb], np.array(wkb),
                  np.array(wkb, dtype=object), pa.array(wkb), pa.array(wkb, pa.large_binary())):
        assert (zarel.fingerprint_polygons(table, 6) == want).all()
    missing = [None, {"type": "Feature", "geometry": None, "properties": {}},
               {"type": "MultiPolygon", "coordinates": []}]
    assert zarel.roots_hex(zarel.fingerprint_polygons(missing, 4)) == [EMPTY_ROOT] * 3


def test_projected_and_odd_crses_are_refused():
    box = shapely.box(500_000, 4_000_000, 500_050, 4_000_050)
    for table in (gpd.GeoDataFrame(geometry=[box], crs=32617), gpd.GeoSeries([box], crs="EPSG:3857")):
        with pytest.raises(ValueError, match=r"EPSG:(32617|3857) \(.*\), a projected CRS; .*\.to_crs\(4326\)"):
            zarel.fingerprint_polygons(table, 4)
    with pytest.raises(ValueError, match=r"EPSG:4807 .*not degrees from Greenwich"):  # grads from Paris
        zarel.fingerprint_polygons(gpd.GeoSeries([shapely.box(0, 0, 1, 1)], crs=4807), 4)
    # A geographic CRS in degrees is read as degrees, whatever its datum; no CRS is degrees.
    degrees = [zarel.fingerprint_polygons(gpd.GeoSeries([shapely.box(0, 0, 1, 1)], crs=crs), 4)
               for crs in (None, 4326, 4269, "OGC:CRS84")]
    assert all((d == degrees[0]).all() for d in degrees)
    frame = gpd.GeoDataFrame({"a": [1], "shape": [shapely.box(0, 0, 1, 1)]})
    with pytest.raises(ValueError, match=r"no active geometry column; .*\.set_geometry"):
        zarel.fingerprint_polygons(frame, 4)
    with pytest.raises(TypeError, match=r"row\.geometry"):
        zarel.polyfill(gpd.GeoDataFrame(geometry=[shapely.box(0, 0, 1, 1)]).iloc[0], 4)


# ----------------------------------------------------------------------- Arrow

def native(polygons, struct, slack=3):
    """A GeoArrow polygon array built by hand whose every level is a slice of a longer array."""
    pts = [p for poly in polygons for ring in poly for p in ring]
    junk = [(99.0, 99.0)] * slack
    values = np.array(junk + pts + junk, np.float64)
    if struct:
        coords = pa.StructArray.from_arrays([pa.array(values[:, 0]), pa.array(values[:, 1])], ["x", "y"])
    else:
        coords = pa.FixedSizeListArray.from_arrays(pa.array(values.ravel()), 2)
    coords = coords.slice(slack, len(pts))
    ring_offsets = np.cumsum([0] + [len(r) for poly in polygons for r in poly])
    rings = pa.ListArray.from_arrays(pa.array(np.r_[ring_offsets, ring_offsets[-1]], pa.int32()), coords)
    rings = rings.slice(0, len(ring_offsets) - 1)
    poly_offsets = np.cumsum([0, 0] + [len(p) for p in polygons])  # an empty leading polygon, sliced off
    return pa.ListArray.from_arrays(pa.array(poly_offsets, pa.int32()), rings).slice(1)


ARROW_POLYGONS = [[SQUARE], [[[10, 10], [14, 10], [14, 14], [10, 10]], HOLE],
                  [[[-5, -5], [-1, -5], [-1, -1], [-5, -5]]]]


@pytest.mark.parametrize("struct", [False, True])
def test_arrow_slices_and_chunks_are_honoured(struct):
    want = zarel.fingerprint_polygons([{"type": "Polygon", "coordinates": p} for p in ARROW_POLYGONS], 5)
    arr = native(ARROW_POLYGONS, struct)
    assert (zarel.fingerprint_polygons(arr, 5) == want).all()
    assert (zarel.fingerprint_polygons(arr.slice(1), 5) == want[1:]).all()
    chunked = pa.chunked_array([arr.slice(0, 1), arr.slice(1)])
    assert (zarel.fingerprint_polygons(chunked, 5) == want).all()
    assert (zarel.fingerprint_polygons(Producer(chunked), 5) == want).all()


class Producer:
    """Another library's Arrow stream, seen only through the PyCapsule interface."""

    def __init__(self, chunked):
        self.chunked = chunked

    def __arrow_c_stream__(self, requested_schema=None):
        return self.chunked.__arrow_c_stream__(requested_schema)


def test_arrow_nulls_and_layouts():
    with_null = pa.array([[[[0.0, 0.0], [1.0, 0.0], [1.0, 1.0], [0.0, 0.0]]], None],
                         pa.list_(pa.list_(pa.list_(pa.float64(), 2))))
    assert zarel.roots_hex(zarel.fingerprint_polygons(with_null, 4))[1] == EMPTY_ROOT
    point_type = pa.struct([("x", pa.float64()), ("y", pa.float64())])
    null_point = pa.array([[[{"x": 0.0, "y": 0.0}]], [[{"x": 0.0, "y": 0.0}, None]]],
                          pa.list_(pa.list_(point_type)))
    with pytest.raises(ValueError, match="^geometry 1: a coordinate of the GeoArrow array is null"):
        zarel.fingerprint_polygons(null_point, 4)
    for layout in (pa.array(["POLYGON ((0 0, 1 0, 1 1, 0 0))"]), pa.array([[[{"x": 0.0}]]]),
                   pa.array([[0.0, 1.0]], pa.list_(pa.float64(), 2))):
        with pytest.raises(TypeError, match="is not read: the batch functions take WKB"):
            zarel.fingerprint_polygons(layout, 4)


def test_geoarrow_extension_arrays():
    ga = pytest.importorskip("geoarrow.pyarrow")
    wkt = ["POLYGON ((0 0, 4 0, 4 4, 0 0))", None, "MULTIPOLYGON (((10 10, 12 10, 12 12, 10 10)))"]
    want = zarel.fingerprint_polygons([None if w is None else shapely.from_wkt(w) for w in wkt], 5)
    for arr in (ga.as_wkb(wkt), ga.as_geoarrow(wkt, coord_type=ga.CoordType.INTERLEAVED),
                ga.as_geoarrow(wkt, coord_type=ga.CoordType.SEPARATED)):
        assert (zarel.fingerprint_polygons(arr, 5) == want).all()
        assert (zarel.fingerprint_polygons(pa.chunked_array([arr[:1], arr[1:]]), 5) == want).all()
    with pytest.raises(TypeError, match="geoarrow.multilinestring"):
        zarel.fingerprint_polygons(ga.as_geoarrow(["MULTILINESTRING ((0 0, 1 1))"]), 5)


# ----------------------------------------------------------------------- arguments

@pytest.mark.parametrize("call, error, message", [
    (lambda: zarel.fingerprint_polygons([], -1), OverflowError, r"^level -1 out of range \[0, 15\]$"),
    (lambda: zarel.polyfill_polygons([], 16), ValueError, r"^level 16 out of range \[0, 15\]$"),
    (lambda: zarel.polyfill({"type": "Polygon", "coordinates": [SQUARE]}, True), TypeError,
     "level must be an int, not bool"),
    (lambda: zarel.cells_from_lonlat([0], [0], 16), ValueError, r"^level 16 out of range \[0, 15\]$"),
    (lambda: zarel.cells_from_lonlat([0], [0], 3, nthreads=-1), OverflowError, r"^nthreads -1 out of range"),
    (lambda: zarel.cells_to_lonlat([9], nthreads=10**6), ValueError, r"^nthreads 1000000 out of range \[0, 1024\]$"),
    (lambda: zarel.cell_boundaries([9], n=1), ValueError, r"^n 1 out of range \[2, 65536\]$"),
    (lambda: zarel.cell_boundaries([9], n=2**70), OverflowError, r"^n 1180591620717411303424 out of range"),
    (lambda: zarel.grid_disk([9], -1), OverflowError, r"^k -1 out of range"),
    (lambda: zarel.cell_parents([9], 1.0), TypeError, "^level must be an int, not float$"),
    (lambda: zarel.roots_hex(np.zeros((1, 32))), TypeError, "uint8 array of shape"),
    (lambda: zarel.roots_hex(b"\0" * 33), ValueError, "32 bytes each"),
    (lambda: zarel.Tree.from_cells([983], 3).dilate(True), TypeError, "'bool' object cannot be interpreted"),
    (lambda: zarel.suid_to_cid("Q1é"), ValueError, "^bad suid digit 'é'$"),
    (lambda: zarel.suids_to_cids(["N1", "é1"]), ValueError, "^cell 1: unknown base cell 'é'$"),
])
def test_arguments_name_themselves_and_their_range(call, error, message):
    with pytest.raises(error, match=message):
        call()


def test_arguments_that_pass():
    assert zarel.roots_hex(b"\xab" * 64) == ["ab" * 32] * 2
    doc = {"type": "Polygon", "coordinates": [SQUARE]}
    with pytest.warns(DeprecationWarning, match=r"fingerprint_polygons\(resolution=\.\.\.\)"):
        roots = zarel.fingerprint_polygons([doc], resolution=4)
    assert zarel.roots_hex(roots) == [zarel.fingerprint_polygon(doc, np.uint8(4))]


# ----------------------------------------------------------------------- a bare install

BARE = """
import re, sys
class Blocked:
    def find_spec(self, name, path=None, target=None):
        if name.partition(".")[0] in {"shapely", "pyarrow", "pandas", "geopandas", "dask"}:
            raise ImportError(f"{name} is not installed")
sys.meta_path.insert(0, Blocked())
code = "\\n".join(re.findall(r"```python\\n(.*?)```", open(sys.argv[1]).read(), re.S))
exec(compile(code, "README.md", "exec"), {})
import zarel
for needs in ([b"\\x01"], [None, b"\\x01"]):
    try:
        zarel.fingerprint_polygons(needs, 3)
    except ModuleNotFoundError as e:
        assert "pip install 'zarel[shapely]'" in str(e), e
    else:
        raise AssertionError("WKB read without shapely")
print("bare")
"""


def test_readme_runs_with_numpy_alone():
    readme = os.path.join(os.path.dirname(__file__), "..", "README.md")
    run = subprocess.run([sys.executable, "-c", BARE, readme], capture_output=True, text=True)
    assert run.stdout.strip() == "bare", run.stdout + run.stderr
