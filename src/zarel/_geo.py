"""Geometry objects in, display GeoJSON out.

Tables of geometries take the batch road: shapely arrays, GeoSeries, WKB
arrays and GeoArrow arrays become flat coordinate and offset arrays through
shapely's vectorised functions (never JSON text), which the module fills one
geometry per pool task without the interpreter lock. A single shapely
geometry takes the same road.

The module reads other polygons as GeoJSON documents. The single-geometry
front ends also take any object with `__geo_interface__` (a geopandas row's
geometry, other libraries' shapes), read as the GeoJSON it describes, and a
GeoJSON text, parsed. A document holding NumPy arrays or numbers (which `json`
cannot write) is converted to plain lists and numbers, once, when the module
refuses it. Everything else passes through unchanged, so results and errors are
the module's own. A geopandas series, frame or geometry array holds many
geometries: the single-geometry front ends refuse it with a pointer to the
batch functions, which take one per element.

A `Tree`'s own `__geo_interface__` is the display FeatureCollection of its
canonical cells, which is what `geopandas.GeoDataFrame.from_features` and other
readers of the protocol take; `GeoTree(tree, n)` offers it at another edge
density.
"""

from __future__ import annotations

import json
from typing import Any, Callable, Literal, TypeVar

import numpy as np
import numpy.typing as npt

from zarel import _zarel
from zarel._names import level_was
from zarel._zarel import Profile, Tree

__all__ = [
    "GeoTree", "fingerprint_polygon", "fingerprint_polygons", "polyfill", "polyfill_polygons", "roots_hex",
    "tree_from_geojson", "trees_from_polygons",
]

_POLYGON, _MULTIPOLYGON = 3, 6
_TYPE_NAMES = {0: "Point", 1: "LineString", 2: "LinearRing", 3: "Polygon", 4: "MultiPoint",
               5: "MultiLineString", 6: "MultiPolygon", 7: "GeometryCollection"}

# (xy, rings, parts, geometries): the flat layout the module fills.
_Arrays = tuple[npt.NDArray[np.float64], npt.NDArray[np.int64], npt.NDArray[np.int64], npt.NDArray[np.int64]]


def _shapely_arrays(geoms: npt.NDArray[np.object_]) -> _Arrays:
    import shapely  # type: ignore[import-untyped,unused-ignore]

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
    def offsets(owner: npt.NDArray[np.int64], n: int) -> npt.NDArray[np.int64]:
        out = np.zeros(n + 1, dtype=np.int64)
        np.cumsum(np.bincount(owner, minlength=n), out=out[1:])
        return out
    ring_offsets = np.zeros(len(rings) + 1, dtype=np.int64)
    np.cumsum(shapely.get_num_coordinates(rings), out=ring_offsets[1:])
    return xy, ring_offsets, offsets(of_part, len(parts)), offsets(of_geometry, len(geoms))


def _arrow_arrays(arr: Any) -> _Arrays | None:
    """A GeoArrow polygon or multipolygon array (interleaved or struct coordinates), or None."""
    import pyarrow as pa  # type: ignore[import-untyped,unused-ignore]

    if isinstance(arr, pa.ChunkedArray):
        arr = arr.combine_chunks()
    arr = getattr(arr, "storage", arr)
    depth, inner = 0, arr
    while pa.types.is_list(inner.type) or pa.types.is_large_list(inner.type):
        depth, inner = depth + 1, inner.values
    if depth not in (2, 3):
        return None
    if pa.types.is_fixed_size_list(inner.type):
        dim = inner.type.list_size
        xy = inner.values.to_numpy(zero_copy_only=False).reshape(-1, dim)[:, :2]
    elif pa.types.is_struct(inner.type):
        xy = np.column_stack([inner.field(0).to_numpy(zero_copy_only=False),
                              inner.field(1).to_numpy(zero_copy_only=False)])
    else:
        return None
    outer = np.asarray(arr.offsets, dtype=np.int64)
    if arr.null_count and (np.diff(outer)[np.asarray(arr.is_null())] != 0).any():
        raise ValueError("a missing geometry of the GeoArrow array holds polygons")
    middle = np.asarray(arr.values.offsets, dtype=np.int64)
    if depth == 2:  # polygons: geometry i is polygon i
        geometries, parts, rings = np.arange(len(arr) + 1, dtype=np.int64), outer, middle
    else:
        geometries, parts = outer, middle
        rings = np.asarray(arr.values.values.offsets, dtype=np.int64)
    return np.ascontiguousarray(xy, dtype=np.float64).ravel(), rings, parts, geometries


def _to_arrays(geoms: Any) -> _Arrays:
    """The flat layout of any table of geometries the batch functions take."""
    import shapely

    column = getattr(geoms, "geometry", None)
    if column is not None and hasattr(geoms, "columns"):  # a GeoDataFrame: its active geometry column
        geoms = column
    if hasattr(geoms, "__arrow_c_array__") and not hasattr(geoms, "values"):  # e.g. geopandas' to_arrow
        import pyarrow as pa

        geoms = pa.array(geoms)
    if type(geoms).__module__.startswith("pyarrow"):
        arrays = _arrow_arrays(geoms)
        if arrays is not None:
            return arrays
        geoms = geoms.to_numpy(zero_copy_only=False)
    if isinstance(geoms, shapely.Geometry) or isinstance(geoms, dict):
        raise TypeError("need a table of geometries; for one geometry use polyfill, fingerprint_polygon "
                        "or tree_from_geojson")
    values = np.asarray(getattr(geoms, "values", geoms), dtype=object)
    if values.ndim != 1:
        raise ValueError(f"geometries must be one-dimensional, got shape {values.shape}")
    wkb = np.fromiter((isinstance(v, (bytes, bytearray, memoryview)) for v in values), bool, len(values))
    if wkb.any():
        values = shapely.from_wkb(values)
    elif any(isinstance(v, dict) for v in values):
        values = np.array([None if v is None else shapely.geometry.shape(v) for v in values], dtype=object)
    return _shapely_arrays(values)


_ONE = np.array([0, 1], dtype=np.int64)


def _one(geometry: Any) -> _Arrays:
    import shapely

    # A plain polygon, the usual case, is its coordinates: one ring, one part.
    if shapely.get_type_id(geometry) == _POLYGON and shapely.get_num_interior_rings(geometry) == 0:
        xy = shapely.get_coordinates(geometry).ravel()
        if xy.size:
            return xy, np.array([0, xy.size // 2], dtype=np.int64), _ONE, _ONE
    return _shapely_arrays(np.array([geometry], dtype=object))


def _is_shapely(geometry: Any) -> bool:
    import sys

    shapely = sys.modules.get("shapely")
    return shapely is not None and isinstance(geometry, shapely.Geometry)


_R = TypeVar("_R")
_MANY = frozenset({"GeoSeries", "GeoDataFrame", "GeometryArray"})


def _document(geojson: Any, batch: str) -> Any:
    # A dict is already the document; asking it for the protocol would be wasted.
    if isinstance(geojson, dict):
        return geojson
    if isinstance(geojson, str):
        try:
            return json.loads(geojson)
        except ValueError as error:
            raise ValueError(f"not JSON: {error}") from None
    kind = type(geojson)
    if any(c.__name__ in _MANY and c.__module__.startswith("geopandas") for c in kind.__mro__) or (
        isinstance(geojson, np.ndarray) and geojson.dtype == object
    ):
        raise TypeError(f"a {kind.__name__} holds many geometries; zarel.{batch} takes one per element")
    interface = getattr(geojson, "__geo_interface__", None)
    return geojson if interface is None else interface


def _plain(value: Any) -> Any:
    """`value` with NumPy arrays and numbers as lists and Python numbers; `value` itself if it holds none."""
    if isinstance(value, np.ndarray | np.generic):
        return value.tolist()
    if isinstance(value, dict):
        items = {key: _plain(item) for key, item in value.items()}
        return value if all(items[key] is item for key, item in value.items()) else items
    if isinstance(value, list | tuple):
        converted = [_plain(item) for item in value]
        return value if all(x is y for x, y in zip(converted, value)) else converted
    return value


def _read(function: Callable[..., _R], geojson: Any, batch: str, *args: Any, mode: str) -> _R:
    doc = _document(geojson, batch)
    try:
        return function(doc, *args, mode=mode)
    except ValueError as error:
        # Only a document `json` cannot write is retried, and only if NumPy was the cause.
        plain = _plain(doc) if str(error).startswith("not JSON (TypeError") else doc
        if plain is doc:
            raise
    return function(plain, *args, mode=mode)


@level_was("resolution")
def polyfill(geojson: Any, level: int, profile: Profile | None = None, *, mode: Literal["nucleus", "inside", "overlap"] = "nucleus") -> list[int]:
    """Sorted cids at `level` whose nucleus the GeoJSON polygon contains.

    `geojson` is a GeoJSON Polygon, MultiPolygon or Feature of one (a dict,
    which may hold NumPy numbers, or its JSON text), a shapely Polygon or
    MultiPolygon (read from its coordinates), or any object with
    `__geo_interface__` describing one. Coordinates are longitude/latitude
    degrees, taken as written. Refused (ValueError) above 2**26 cells: large
    areas belong in `tree_from_geojson`. `mode="inside"` gives the cells wholly
    inside the polygon instead, and `mode="overlap"` the cells whose interior
    meets the polygon's interior (see docs/polygons.md).
    """
    if _is_shapely(geojson):
        cids, _ = _zarel._cover_polygons(*_one(geojson), level, "cells", profile, mode=mode)
        return list(cids.tolist())
    return _read(_zarel.polyfill, geojson, "polyfill_polygons", level, profile, mode=mode)


@level_was("resolution")
def fingerprint_polygon(geojson: Any, level: int, profile: Profile | None = None, *, mode: Literal["nucleus", "inside", "overlap"] = "nucleus") -> str:
    """Hex root of the canonical coverage of a GeoJSON polygon at `level`.

    Also takes shapely geometries and objects with `__geo_interface__`; `mode`
    as in `polyfill`.
    """
    if _is_shapely(geojson):
        return str(_zarel._cover_polygons(*_one(geojson), level, "roots", profile, mode=mode)[0].tobytes().hex())
    return _read(_zarel.fingerprint_polygon, geojson, "fingerprint_polygons", level, profile, mode=mode)


@level_was("resolution")
def tree_from_geojson(geojson: Any, level: int, profile: Profile | None = None, *, mode: Literal["nucleus", "inside", "overlap"] = "nucleus") -> Tree:
    """The canonical coverage of a GeoJSON Polygon/MultiPolygon at `level` (nucleus rule by default).

    `Tree.from_geojson` that also takes shapely geometries and objects with
    `__geo_interface__` (see `polyfill`); `mode` as in `polyfill`.
    """
    if _is_shapely(geojson):
        tree: Tree = _zarel._cover_polygons(*_one(geojson), level, "trees", profile, mode=mode)[0]
        return tree
    return _read(Tree.from_geojson, geojson, "trees_from_polygons", level, profile, mode=mode)


# Rows converted and filled at a time: the flat arrays and shapely objects of
# one chunk are all a call holds beside its result.
_CHUNK_ROWS = 16384
_Progress = Callable[[int, int], Any] | bool


def _rows(geoms: Any) -> tuple[Any, bool] | None:
    """A table's rows as something that slices, and whether it is a pyarrow
    array; None for what is no table (`_to_arrays` names the mistake)."""
    column = getattr(geoms, "geometry", None)
    if column is not None and hasattr(geoms, "columns"):
        geoms = column
    if hasattr(geoms, "__arrow_c_array__") and not hasattr(geoms, "values"):
        import pyarrow as pa

        geoms = pa.array(geoms)
    if type(geoms).__module__.startswith("pyarrow"):
        return geoms, True
    if isinstance(geoms, dict) or not hasattr(geoms, "__len__"):
        return None
    values = getattr(geoms, "values", geoms)
    return (values, False) if hasattr(values, "__getitem__") and hasattr(values, "__len__") else None


def _renumbered(error: ValueError, first: int, points: int) -> ValueError:
    """The error of a chunk's row, naming the row (and point) of the whole
    table: the chunk starts at row `first` and point `points`."""
    import re

    named = re.match(r"geometry (\d+): ", str(error))
    if not first or named is None:
        return error
    rest = re.sub(r"^point (\d+) is not finite", lambda m: f"point {int(m.group(1)) + points} is not finite",
                  str(error)[named.end():])
    return ValueError(f"geometry {int(named.group(1)) + first}: {rest}")


def _progress_bar(progress: _Progress, total: int) -> Any:
    """A callable taking (rows done, rows in all), or None for no progress."""
    if progress is False or progress is None:
        return None
    if progress is True:
        try:
            from tqdm.auto import tqdm  # type: ignore[import-untyped,unused-ignore]
        except ModuleNotFoundError as e:
            raise ModuleNotFoundError("progress=True needs tqdm: pip install 'zarel[progress]'", name=e.name) from e
        bar = tqdm(total=total, unit="row")

        def update(done: int, _: int) -> None:
            bar.update(done - bar.n)
            if done >= total:
                bar.close()
        return update
    if not callable(progress):
        raise TypeError(f"progress must be True, False or a callable, got {type(progress).__name__}")
    return progress


def _cover_table(geoms: Any, level: int, form: str, profile: Profile | None, nthreads: int,
                 mode: Literal["nucleus", "inside", "overlap"], progress: _Progress,
                 take: Callable[[int, Any], None]) -> int:
    """Converts and fills the table a chunk of rows at a time, handing each
    chunk's result to `take(first row, result)`; gives the number of rows."""
    table = _rows(geoms)
    total = len(table[0]) if table is not None else 0
    report = _progress_bar(progress, total) if table is not None else None
    # Progress wants about a hundred steps, of at least 64 rows each.
    rows = _CHUNK_ROWS if report is None else min(_CHUNK_ROWS, max(64, -(-total // 100)))
    if table is None or total <= rows:
        chunks: Any = [(0, geoms)]
    else:
        values, arrow = table
        chunks = ((k, values.slice(k, rows) if arrow else values[k:k + rows]) for k in range(0, total, rows))
    done = points = 0
    for first, part in chunks:
        try:
            arrays = _to_arrays(part)
            take(first, _zarel._cover_polygons(*arrays, level, form, profile, nthreads, mode=mode))
        except ValueError as error:
            raise _renumbered(error, first, points) from None
        done = first + len(arrays[3]) - 1
        # A slice of a pyarrow array keeps its parent's point numbers; converted rows start at 0.
        points += 0 if table is not None and table[1] else len(arrays[0]) // 2
        if report is not None:
            report(done, total)
    return done


def fingerprint_polygons(
    geoms: Any, level: int, profile: Profile | None = None, nthreads: int = 0, *, mode: Literal["nucleus", "inside", "overlap"] = "nucleus",
    progress: _Progress = False,
) -> npt.NDArray[np.uint8]:
    """The root of each geometry's coverage at `level`, as uint8 of shape (N, 32), in input order.

    `geoms` is a table of Polygons and MultiPolygons in longitude/latitude
    degrees: a shapely array or list, a GeoSeries, a GeoDataFrame (its
    geometry column), a NumPy or pyarrow array of WKB bytes, a GeoArrow
    polygon or multipolygon pyarrow array, or a list of GeoJSON dicts. Missing
    and empty geometries give the empty coverage's root; another geometry type
    is refused naming its index. Row i equals `fingerprint_polygon(geoms[i],
    level, mode=mode)` (`roots_hex` gives that text). `nthreads` 0 uses the
    shared pool, 1 the calling thread, 2 or more a private pool of that many
    workers; `mode` as in `polyfill`. Rows are converted and filled a chunk
    at a time, so the call holds little beside its result.

    `progress=True` shows a `tqdm.auto` bar (``pip install 'zarel[progress]'``),
    updated from the calling thread as chunks of rows finish; a callable is
    called as `progress(rows done, rows in all)` instead.
    """
    parts: list[npt.NDArray[np.uint8]] = []
    _cover_table(geoms, level, "roots", profile, nthreads, mode, progress, lambda _, roots: parts.append(roots))
    return parts[0] if len(parts) == 1 else np.concatenate(parts)


_MAX_CELLS = 1 << 26


def polyfill_polygons(
    geoms: Any, level: int, profile: Profile | None = None, nthreads: int = 0, *, mode: Literal["nucleus", "inside", "overlap"] = "nucleus",
    progress: _Progress = False,
) -> tuple[npt.NDArray[np.uint64], npt.NDArray[np.int64]]:
    """Each geometry's cells at `level` as the ragged pair `(cids, offsets)`.

    Geometry i's sorted cids are `cids[offsets[i]:offsets[i + 1]]`, equal to
    `polyfill(geoms[i], level)`. Refused above 2**26 cells for one
    geometry or for all together. `geoms`, `nthreads`, `mode` and `progress`
    as in `fingerprint_polygons`.
    """
    parts: list[tuple[npt.NDArray[np.uint64], npt.NDArray[np.int64]]] = []
    cells = 0

    def take(_: int, pair: tuple[npt.NDArray[np.uint64], npt.NDArray[np.int64]]) -> None:
        nonlocal cells
        parts.append(pair)
        cells += int(pair[1][-1])
        if cells > _MAX_CELLS:
            raise ValueError(f"the polygons cover at least {cells} cells at resolution {level}, more than the "
                             f"{_MAX_CELLS} that polyfill materialises; use trees_from_polygons")

    _cover_table(geoms, level, "cells", profile, nthreads, mode, progress, take)
    if len(parts) == 1:
        return parts[0]
    starts = np.cumsum([0] + [int(p[1][-1]) for p in parts[:-1]])
    offsets = np.concatenate([parts[0][1][:1]] + [p[1][1:] + start for p, start in zip(parts, starts)])
    return np.concatenate([p[0] for p in parts]), offsets


def trees_from_polygons(
    geoms: Any, level: int, profile: Profile | None = None, nthreads: int = 0, *, mode: Literal["nucleus", "inside", "overlap"] = "nucleus",
    progress: _Progress = False,
) -> list[Tree]:
    """Each geometry's coverage `Tree` at `level`, in input order.

    `geoms`, `nthreads`, `mode` and `progress` as in `fingerprint_polygons`.
    """
    trees: list[Tree] = []
    _cover_table(geoms, level, "trees", profile, nthreads, mode, progress, lambda _, some: trees.extend(some))
    return trees


def roots_hex(roots: npt.ArrayLike) -> list[str]:
    """The 64-digit hex text of each row of a (N, 32) uint8 root array, as `root_hex` writes it."""
    arr = np.ascontiguousarray(roots, dtype=np.uint8)
    if arr.ndim != 2 or arr.shape[1] != 32:
        raise ValueError(f"roots must have shape (N, 32), got {arr.shape}")
    text = arr.tobytes().hex()
    return [text[k:k + 64] for k in range(0, len(text), 64)]


class GeoTree:
    """A `Tree` seen through the geo interface at another edge density:
    `GeoTree(tree, n).__geo_interface__` is `tree.geojson(n)`, a
    FeatureCollection with one Polygon feature per canonical cell (properties
    `cid`, `suid`, `level`). A tree's own `__geo_interface__` is `geojson()`.

    `geopandas.GeoDataFrame.from_features(GeoTree(tree, 8), crs="EPSG:4326")`
    gives one row per cell.
    """

    __slots__ = ("tree", "n")

    def __init__(self, tree: Tree, n: int = 3) -> None:
        if not isinstance(tree, Tree):
            raise TypeError(f"GeoTree needs a Tree, got {type(tree).__name__}")
        self.tree = tree
        self.n = n

    @property
    def __geo_interface__(self) -> dict[str, Any]:
        return self.tree.geojson(self.n)

    def __repr__(self) -> str:
        return f"GeoTree({self.tree!r}, n={self.n})"
