"""Tables of geometries into the flat arrays the module fills.

Every table the batch functions take becomes four arrays: `xy`, float64
(lon, lat) pairs, and the int64 offsets `rings`, `parts` and `geometries`
(geometry i is polygons [geometries[i], geometries[i + 1]), polygon p rings
[parts[p], parts[p + 1]), ring k points [rings[k], rings[k + 1])).
`table_rows` reads them a range of rows at a time, so that a caller holds
one range's arrays (and shapely objects) at once, never the whole table's.

- Lists of GeoJSON dicts (and of other objects with `__geo_interface__`) are
  read here with NumPy alone; shapely is not needed for them.
- Shapely geometries and WKB go through shapely's vectorised functions.
- Arrow arrays (anything with `__arrow_c_array__` or `__arrow_c_stream__`:
  pyarrow, geoarrow-pyarrow, geopandas' `to_arrow`, other producers) are read
  through pyarrow: GeoArrow polygons and multipolygons in interleaved or
  struct coordinates, and WKB; every slice offset is honoured.

A failing row is named by its index, "geometry {i}: ...", the lowest when
several fail. The module checks every coordinate as it fills (finite, on the
Earth), naming the polygon, ring and point within the row. Geometries in a
projected CRS are refused here, before any reading.
"""

from __future__ import annotations

import json
import sys
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt

# (xy, rings, parts, geometries): the flat layout the module fills.
Arrays = tuple[npt.NDArray[np.float64], npt.NDArray[np.int64], npt.NDArray[np.int64], npt.NDArray[np.int64]]

_POLYGON, _MULTIPOLYGON = 3, 6
_TYPE_NAMES = {0: "Point", 1: "LineString", 2: "LinearRing", 3: "Polygon", 4: "MultiPoint",
               5: "MultiLineString", 6: "MultiPolygon", 7: "GeometryCollection"}
_OTHER_TYPES = frozenset(_TYPE_NAMES.values()) - {"Polygon", "MultiPolygon"}

# Longitudes and latitudes up to 4 ulps beyond the Earth's ranges are its
# edges written with a rounding error; the module reads them as the edges.
LON_LIMIT = 180.0 + 4 * 2.0**-45
LAT_LIMIT = 90.0 + 4 * 2.0**-46
LIMITS = np.array([LON_LIMIT, LAT_LIMIT])


@dataclass(frozen=True)
class Rows:
    """A table of `count` geometries; `read(first, last)` gives rows [first, last) as flat arrays.

    A failing row read that way is named by its index within the range.
    """

    count: int
    read: Callable[[int, int], Arrays]


def _no_rows() -> Arrays:
    return np.empty(0), np.zeros(1, np.int64), np.zeros(1, np.int64), np.zeros(1, np.int64)


class BadInput(ValueError):
    """A reading failure inside one geometry, before the row is named."""


def need_shapely(what: str) -> Any:
    try:
        import shapely  # type: ignore[import-untyped,unused-ignore]
    except ImportError as e:
        raise ModuleNotFoundError(f"{what} need shapely 2: pip install 'zarel[shapely]'", name=e.name) from e
    return shapely


# ------------------------------------------------------------------ CRS

def check_crs(table: Any) -> None:
    """Refuses geometries whose CRS is set and not longitude/latitude degrees.

    Any geographic CRS in degrees from Greenwich is read as WGS84 degrees: a
    datum shift (NAD83, ETRS89: centimetres to a metre; older datums up to a
    few hundred metres) is not applied.
    """
    crs = getattr(table, "crs", None)
    if crs is None or not hasattr(crs, "is_geographic"):
        return
    name = _crs_name(crs)
    fix = "zarel reads longitude/latitude degrees: reproject with .to_crs(4326) first"
    if not crs.is_geographic:
        raise ValueError(f"the geometries are in {name}, a projected CRS; {fix}")
    units = {getattr(axis, "unit_name", "degree") for axis in list(getattr(crs, "axis_info", []))[:2]}
    meridian = getattr(crs, "prime_meridian", None)
    if units - {"degree"} or (meridian is not None and meridian.longitude != 0):
        raise ValueError(f"the geometries are in {name}, whose longitudes are not degrees from Greenwich; {fix}")


def _crs_name(crs: Any) -> str:
    code = crs.to_string()
    label = getattr(crs, "name", None)
    return code if not label or label == code else f"{code} ({label})"


# ------------------------------------------------------------------ offsets and rows

def offsets(counts: Any) -> npt.NDArray[np.int64]:
    out = np.zeros(len(counts) + 1, dtype=np.int64)
    np.cumsum(counts, out=out[1:])
    return out


def locate(arrays: Arrays, point: int) -> tuple[int, int, int, int]:
    """(geometry, polygon in it, ring in it, point in it) of a point of well-formed arrays."""
    _, rings, parts, geometries = arrays
    k = int(np.searchsorted(rings, point, "right")) - 1
    p = int(np.searchsorted(parts, k, "right")) - 1
    i = int(np.searchsorted(geometries, p, "right")) - 1
    return i, p - int(geometries[i]), k - int(parts[p]), point - int(rings[k])


def written(v: float) -> str:
    """The shortest text that reads back to `v`, fixed or scientific, as the module writes it."""
    if np.isnan(v):
        return "NaN"
    if np.isinf(v):
        return "inf" if v > 0 else "-inf"
    fixed = str(np.format_float_positional(v, unique=True, trim="-"))
    scientific = str(np.format_float_scientific(v, unique=True, trim="-", exp_digits=2))
    return scientific if len(scientific) < len(fixed) else fixed


def coordinate_error(arrays: Arrays) -> str | None:
    """The module's refusal of the first point that is not finite or off the Earth, or None."""
    xy = arrays[0].reshape(-1, 2)
    x, y = xy[:, 0], xy[:, 1]
    with np.errstate(invalid="ignore"):
        good = (np.abs(x) <= LON_LIMIT) & (np.abs(y) <= LAT_LIMIT)
    bad = np.flatnonzero(~good)
    if not bad.size:
        return None
    j = int(bad[0])
    _, p, r, k = locate(arrays, j)
    lon, lat = float(x[j]), float(y[j])
    if not (np.isfinite(lon) and np.isfinite(lat)):
        what = f"({written(lon)}, {written(lat)}) is not finite"
    elif abs(lon) > LON_LIMIT:
        what = (f"longitude {written(lon)} is outside [-180, 180]; bring 0..360 longitudes into range and "
                "split polygons that cross the antimeridian")
    else:
        what = f"latitude {written(lat)} is outside [-90, 90]"
    return f"polygon {p}, ring {r}, point {k}: {what}"


# ------------------------------------------------------------------ GeoJSON, with NumPy alone

def _is_array(v: Any) -> bool:
    return isinstance(v, (list, tuple, np.ndarray))


def _is_number(v: Any) -> bool:
    return isinstance(v, (int, float, np.integer, np.floating)) and not isinstance(v, (bool, np.bool_))


def _float(v: Any) -> float:
    try:
        return float(v)
    except OverflowError:  # an int past the float range, as JSON reads it
        return float("inf") if v > 0 else float("-inf")


def polygons_of(doc: Any) -> list[Any]:
    """The polygons' coordinate arrays of a GeoJSON value; [] for a missing one.

    A Feature whose geometry is null is a missing value, as is None.
    """
    while isinstance(doc, dict) and doc.get("type") == "Feature":
        if "geometry" not in doc:
            raise BadInput("feature without geometry")
        doc = doc["geometry"]
    if doc is None:
        return []
    kind = doc.get("type") if isinstance(doc, dict) else None
    kind = kind if isinstance(kind, str) else ""
    if kind == "Polygon":
        if "coordinates" not in doc:
            raise BadInput("missing coordinates")
        coords = doc["coordinates"]
        if not _is_array(coords):
            raise BadInput("polygon 0: polygon must be an array of rings")
        return [coords] if len(coords) else []
    if kind == "MultiPolygon":
        coords = doc.get("coordinates")
        if not _is_array(coords):
            raise BadInput("missing coordinates")
        return list(coords)
    if kind in _OTHER_TYPES:
        raise BadInput(f"a {kind} is not a Polygon or MultiPolygon")
    raise BadInput(f"unsupported GeoJSON type {json.dumps(kind)}; need Polygon or MultiPolygon")


def ring_xy(ring: Any, where: str) -> npt.NDArray[np.float64]:
    if not _is_array(ring):
        raise BadInput(f"{where}: ring must be an array")
    if len(ring) == 0:
        return np.empty((0, 2))
    try:
        a = np.asarray(ring)
    except (ValueError, TypeError):  # positions of different lengths
        a = None
    if a is not None and a.ndim == 2 and a.shape[1] >= 2 and a.dtype.kind in "iuf":
        return np.array(a[:, :2], dtype=np.float64)
    out = np.empty((len(ring), 2))
    for k, pos in enumerate(ring):
        if not _is_array(pos) or len(pos) < 2:
            raise BadInput(f"{where}, point {k}: position must be [lon, lat]")
        if not (_is_number(pos[0]) and _is_number(pos[1])):
            raise BadInput(f"{where}, point {k}: position must be numeric")
        out[k] = _float(pos[0]), _float(pos[1])
    return out


def geojson_arrays(docs: Any) -> Arrays:
    """Flat arrays of a sequence of GeoJSON values (dicts, or None for a missing row)."""
    xy: list[npt.NDArray[np.float64]] = []
    ring_sizes: list[int] = []
    polygon_sizes: list[int] = []
    row_sizes: list[int] = []
    for i, doc in enumerate(docs):
        try:
            polygons = polygons_of(doc)
            for p, polygon in enumerate(polygons):
                if not _is_array(polygon):
                    raise BadInput(f"polygon {p}: polygon must be an array of rings")
                for r, ring in enumerate(polygon):
                    points = ring_xy(ring, f"polygon {p}, ring {r}")
                    xy.append(points)
                    ring_sizes.append(len(points))
                polygon_sizes.append(len(polygon))
            row_sizes.append(len(polygons))
        except BadInput as e:
            raise ValueError(f"geometry {i}: {e}") from None
    flat = np.concatenate(xy).ravel() if xy else np.empty(0)
    return flat, offsets(ring_sizes), offsets(polygon_sizes), offsets(row_sizes)


# ------------------------------------------------------------------ shapely and WKB

def shapely_arrays(geoms: npt.NDArray[np.object_]) -> Arrays:
    shapely = need_shapely("shapely geometries")
    kinds = shapely.get_type_id(geoms)
    # Missing (-1) and empty geometries of any kind cover nothing.
    bad = np.flatnonzero((kinds != _POLYGON) & (kinds != _MULTIPOLYGON) & (kinds != -1) & ~shapely.is_empty(geoms))
    if bad.size:
        i = int(bad[0])
        raise ValueError(f"geometry {i}: a {_TYPE_NAMES.get(int(kinds[i]), 'geometry')} is not a Polygon "
                         "or MultiPolygon")
    parts, of_geometry = shapely.get_parts(geoms, return_index=True)
    rings, of_part = shapely.get_rings(parts, return_index=True)
    xy = shapely.get_coordinates(rings).ravel()
    return (xy, offsets(shapely.get_num_coordinates(rings)), offsets(np.bincount(of_part, minlength=len(parts))),
            offsets(np.bincount(of_geometry, minlength=len(geoms))))


def objects(values: Any) -> npt.NDArray[np.object_]:
    # Element by element: NumPy would read equal-length bytes-likes as rows of a matrix.
    out = np.empty(len(values), dtype=object)
    for i, v in enumerate(values):
        out[i] = v
    return out


def _from_wkb(values: npt.NDArray[np.object_]) -> npt.NDArray[np.object_]:
    shapely = need_shapely("WKB geometries")
    try:
        out: npt.NDArray[np.object_] = shapely.from_wkb(values)
        return out
    except Exception:  # shapely's GEOSException names no row; look for the lowest failing one
        pass
    for i, v in enumerate(values):
        _one_wkb(i, v)
    raise AssertionError("from_wkb refused the table but none of its rows")


def _one_wkb(i: int, v: Any) -> Any:
    shapely = need_shapely("WKB geometries")
    try:
        return shapely.from_wkb(v)
    except Exception as e:
        raise ValueError(f"geometry {i}: not WKB ({e})") from None


def _padded_wkb(values: npt.NDArray[Any]) -> npt.NDArray[np.object_]:
    # NumPy drops an `S` element's trailing zero bytes when it is read, and WKB
    # often ends with some; the padded rows keep them, and WKB ends where it says.
    raw = np.ascontiguousarray(values).view(np.uint8).reshape(len(values), values.dtype.itemsize)
    return objects([row.tobytes() for row in raw])


def is_shapely(v: Any) -> bool:
    # Only an imported shapely can have made `v`; this is on every single polygon's road.
    shapely = sys.modules.get("shapely")
    return shapely is not None and isinstance(v, shapely.Geometry)


_BYTES = (bytes, bytearray, memoryview)


def object_arrays(values: Any) -> Arrays:
    """A sequence of geometries: GeoJSON dicts, objects with `__geo_interface__`, shapely, WKB, None."""
    geojson = shapely_rows = wkb = False
    for i, v in enumerate(values):
        if v is None:
            continue
        if isinstance(v, _BYTES):
            wkb = True
        elif is_shapely(v):
            shapely_rows = True
        elif isinstance(v, dict) or hasattr(v, "__geo_interface__"):
            geojson = True
        else:
            raise TypeError(f"geometry {i}: a {type(v).__name__} is not a geometry (a GeoJSON dict, a shapely "
                            "geometry, WKB bytes or None)")
    if not (wkb or shapely_rows):
        return geojson_arrays([v if v is None or isinstance(v, dict) else v.__geo_interface__ for v in values])
    if wkb and not (geojson or shapely_rows):
        return shapely_arrays(_from_wkb(objects([None if v is None else bytes(v) for v in values])))
    # A mixed table: every row becomes a shapely geometry.
    shapely = need_shapely("shapely geometries")
    out = objects(values)
    for i, v in enumerate(values):
        if isinstance(v, _BYTES):
            out[i] = _one_wkb(i, bytes(v))
        elif v is not None and not is_shapely(v):
            try:
                out[i] = shapely.geometry.shape(v)
            except Exception as e:
                raise ValueError(f"geometry {i}: {e}") from None
    return shapely_arrays(out)


# ------------------------------------------------------------------ Arrow

def _pyarrow() -> Any:
    try:
        import pyarrow  # type: ignore[import-untyped,unused-ignore]
    except ImportError as e:
        raise ModuleNotFoundError("Arrow arrays are read with pyarrow 14 or later: pip install 'zarel[arrow]'",
                                  name=e.name) from e
    return pyarrow


def _arrow_chunks(obj: Any) -> tuple[list[Any], str | None]:
    """The chunks of an Arrow array (storage arrays) and its extension name, if it carries one."""
    pa = _pyarrow()
    name = None
    if isinstance(obj, pa.ChunkedArray):
        chunks = list(obj.chunks)
        kind = obj.type
    elif isinstance(obj, pa.Array):
        chunks, kind = [obj], obj.type
    elif hasattr(obj, "__arrow_c_array__"):
        # The schema carries the extension name that importing an unregistered type drops.
        schema, _ = obj.__arrow_c_array__()
        field = pa.Field._import_from_c_capsule(schema)
        name = (field.metadata or {}).get(b"ARROW:extension:name", b"").decode() or None
        arr = pa.array(obj)
        chunks, kind = [arr], arr.type
    else:
        stream = pa.chunked_array(obj)
        chunks, kind = list(stream.chunks), stream.type
    if isinstance(kind, pa.ExtensionType):
        name = kind.extension_name
        chunks = [c.storage for c in chunks]
    return chunks, name


def arrow_rows(obj: Any) -> Rows:
    """An Arrow array's rows; its type is checked here, before any row is read."""
    pa = _pyarrow()
    chunks, name = _arrow_chunks(obj)
    if not chunks:
        return Rows(0, lambda first, last: _no_rows())
    kind = chunks[0].type
    if pa.types.is_binary(kind) or pa.types.is_large_binary(kind) or getattr(pa.types, "is_binary_view",
                                                                              lambda _: False)(kind):
        def wkb(first: int, last: int) -> Arrays:
            pieces = _arrow_slices(chunks, first, last)
            values = np.concatenate([c.to_numpy(zero_copy_only=False) for c in pieces]) if pieces else np.empty(0)
            return shapely_arrays(_from_wkb(values.astype(object)))
        return Rows(sum(len(c) for c in chunks), wkb)
    depth, inner = 0, kind
    while pa.types.is_list(inner) or pa.types.is_large_list(inner):
        depth, inner = depth + 1, inner.value_type
    coords = pa.types.is_fixed_size_list(inner) or (pa.types.is_struct(inner) and inner.num_fields >= 2)
    polygonal = name in (None, "geoarrow.polygon", "geoarrow.multipolygon")
    if depth not in (2, 3) or not coords or not polygonal:
        what = f"{name} " if name else ""
        raise TypeError(f"an Arrow {what}array of {kind} is not read: the batch functions take WKB "
                        "(binary) and GeoArrow polygons or multipolygons (lists of rings of fixed-size-list or "
                        "struct coordinates)")

    def native(first: int, last: int) -> Arrays:
        return _concatenate([_native_chunk(c, depth) for c in _arrow_slices(chunks, first, last)])
    return Rows(sum(len(c) for c in chunks), native)


def _arrow_slices(chunks: list[Any], first: int, last: int) -> list[Any]:
    """The zero-copy slices of the chunks that hold rows [first, last) of their concatenation."""
    out, start = [], 0
    for c in chunks:
        a, b = max(first, start), min(last, start + len(c))
        if a < b:
            out.append(c.slice(a - start, b - a))
        start += len(c)
    return out


def _native_chunk(arr: Any, depth: int) -> Arrays:
    """One chunk: list levels read through their lengths and flatten(), which honour slicing and nulls."""
    import pyarrow as pa
    import pyarrow.compute as pc  # type: ignore[import-untyped,unused-ignore]

    counts = []
    level = arr
    for _ in range(depth):
        counts.append(pc.list_value_length(level).fill_null(0).to_numpy(zero_copy_only=False).astype(np.int64))
        level = level.flatten()
    if depth == 2:  # polygons: row i is polygon i, or none where the row is missing
        counts.insert(0, np.asarray(arr.is_valid(), dtype=np.int64))
    geometries, parts, rings = (offsets(c) for c in counts)
    arrays = (np.empty(0), rings, parts, geometries)

    def refuse(point: int) -> ValueError:
        return ValueError(f"geometry {locate(arrays, point)[0]}: a coordinate of the GeoArrow array is null")

    def first_null(a: Any) -> int:
        return int(np.flatnonzero(np.asarray(a.is_null(), dtype=bool))[0])

    if level.null_count:
        raise refuse(first_null(level))
    if pa.types.is_struct(level.type):
        x, y = level.flatten()[:2]
        for field in (x, y):
            if field.null_count:
                raise refuse(first_null(field))
        xy = np.column_stack([x.to_numpy(zero_copy_only=False), y.to_numpy(zero_copy_only=False)])
    else:
        dim = level.type.list_size
        values = level.flatten()
        if values.null_count:
            raise refuse(first_null(values) // dim)
        xy = values.to_numpy(zero_copy_only=False).reshape(-1, dim)[:, :2]
    return np.ascontiguousarray(xy, dtype=np.float64).ravel(), rings, parts, geometries


def _concatenate(parts: list[Arrays]) -> Arrays:
    """Chunks' arrays one after another, each chunk's offsets moved past the ones before."""
    if not parts:
        return _no_rows()
    if len(parts) == 1:
        return parts[0]

    def joined(level: int) -> npt.NDArray[np.int64]:
        pieces, base = [np.zeros(1, np.int64)], 0
        for p in parts:
            offsets = np.asarray(p[level], dtype=np.int64)
            pieces.append(offsets[1:] + base)
            base += int(offsets[-1])
        return np.concatenate(pieces)

    return np.concatenate([p[0] for p in parts]), joined(1), joined(2), joined(3)


# ------------------------------------------------------------------ any table

def _is_dataframe(table: Any) -> bool:
    return hasattr(table, "columns") and hasattr(table, "iloc")


def table_arrays(table: Any) -> Arrays:
    """The flat layout of any table of geometries the batch functions take."""
    rows = table_rows(table)
    return rows.read(0, rows.count)


def table_rows(table: Any) -> Rows:
    """Any table of geometries the batch functions take, its rows read a range at a time.

    Whatever concerns the whole table (its kind, its CRS, an Arrow type) is
    checked here; a row's failure is named when its range is read, by its
    index within that range.
    """
    if isinstance(table, dict) or is_shapely(table):
        raise TypeError("need a table of geometries; for one geometry use polyfill, fingerprint_polygon "
                        "or tree_from_geojson")
    if _is_dataframe(table):
        if not hasattr(type(table), "set_geometry"):
            raise TypeError(f"a {type(table).__name__} is not a table of geometries; pass its geometry column")
        try:
            table = table.geometry
        except AttributeError:
            raise ValueError("the GeoDataFrame has no active geometry column; choose one with "
                             ".set_geometry(column)") from None
    check_crs(table)
    if hasattr(table, "iloc") and hasattr(table, "values"):  # a pandas or geopandas Series
        table = table.values
    check_crs(table)
    if type(table).__name__ == "GeometryArray":
        geometries = np.asarray(table, dtype=object)
        return Rows(len(geometries), lambda first, last: shapely_arrays(geometries[first:last]))
    if hasattr(table, "__arrow_c_array__") or hasattr(table, "__arrow_c_stream__"):
        return arrow_rows(table)
    if isinstance(table, np.ndarray):
        if table.ndim != 1:
            raise ValueError(f"geometries must be one-dimensional, got shape {table.shape}")
        if table.dtype.kind == "S":
            wkb = table
            return Rows(len(wkb), lambda first, last: shapely_arrays(_from_wkb(_padded_wkb(wkb[first:last]))))
        if table.dtype.kind != "O":
            raise TypeError(f"geometries must be objects or WKB bytes, got dtype {table.dtype}")
        values: Any = table
    elif isinstance(table, (str, bytes)):
        raise TypeError(f"need a table of geometries, got a {type(table).__name__}")
    else:
        try:
            values = list(table)
        except TypeError:
            raise TypeError(f"need a table of geometries, got a {type(table).__name__}") from None
    if len(values) and all(is_shapely(v) or v is None for v in values):
        return Rows(len(values), lambda first, last: shapely_arrays(objects(values[first:last])))
    return Rows(len(values), lambda first, last: object_arrays(values[first:last]))
