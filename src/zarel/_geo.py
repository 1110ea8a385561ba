"""Geometry objects in, display GeoJSON out.

Tables of geometries take the batch road: lists of GeoJSON dicts, shapely
arrays, GeoSeries, WKB and Arrow arrays become flat coordinate and offset
arrays (`_tables`), which the module fills one geometry per pool task without
the interpreter lock. A single shapely geometry takes the same road.

The module reads other polygons as GeoJSON documents. The single-geometry
front ends also take any object with `__geo_interface__` (a geopandas row's
geometry, other libraries' shapes), read as the GeoJSON it describes, and a
GeoJSON text, parsed. Their coordinates are checked here as the batch road's
are (finite, within [-180, 180] and [-90, 90]) before the module reads them. A
document holding NumPy arrays or numbers (which `json` cannot write) is
converted to plain lists and numbers, once, when the module refuses it.
Everything else passes through unchanged, so results and errors are the
module's own. A geopandas series, frame or geometry array holds many
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

from zarel import _args, _tables, _zarel
from zarel._args import pooled
from zarel._names import level_was
from zarel._zarel import Profile, Tree

__all__ = [
    "GeoTree", "fingerprint_polygon", "fingerprint_polygons", "polyfill", "polyfill_polygons", "roots_hex",
    "tree_from_geojson", "trees_from_polygons",
]

def _one(geometry: Any, level: int, form: str, profile: Profile | None,
         mode: Literal["nucleus", "inside", "overlap"]) -> Any:
    """A single shapely geometry down the array road; its refusals name no row."""
    try:
        return _zarel._cover_polygons(*_tables.shapely_arrays(_tables.objects([geometry])), level, form, profile,
                                      mode=mode)
    except ValueError as e:
        text = str(e)
        if text.startswith("geometry 0: "):
            raise ValueError(text[len("geometry 0: "):]) from None
        raise


_R = TypeVar("_R")
_MANY = frozenset({"GeoSeries", "GeoDataFrame", "GeometryArray", "DataFrame"})


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
    if kind.__name__ == "Series" and kind.__module__.startswith("pandas"):
        raise TypeError("a pandas Series (a table's row?) is not a geometry; pass the row's geometry, "
                        "such as row.geometry")
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


def _check_coordinates(doc: Any) -> None:
    """Refuses a point that is not finite or off the Earth, as the batch road does.

    A document whose shape is wrong is left to the module, whose messages say what
    is wrong with it.
    """
    try:
        arrays = _tables.geojson_arrays([doc])
    except (ValueError, TypeError):
        return
    error = _tables.coordinate_error(arrays)
    if error is not None:
        raise ValueError(error)


def _read(function: Callable[..., _R], geojson: Any, batch: str, *args: Any, mode: str) -> _R:
    doc = _document(geojson, batch)
    _check_coordinates(doc)
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
    degrees within [-180, 180] and [-90, 90]; a point outside them or not
    finite is refused, naming its polygon, ring and index in the ring.
    Refused (ValueError) above 2**26 cells: large areas belong in
    `tree_from_geojson`. `mode="inside"` gives the cells wholly
    inside the polygon instead, and `mode="overlap"` the cells whose interior
    meets the polygon's interior (see docs/polygons.md).
    """
    level = _args.level(level)
    if _tables.is_shapely(geojson):
        cids, _ = _one(geojson, level, "cells", profile, mode)
        return list(cids.tolist())
    return _read(_zarel.polyfill, geojson, "polyfill_polygons", level, profile, mode=mode)


@level_was("resolution")
def fingerprint_polygon(geojson: Any, level: int, profile: Profile | None = None, *, mode: Literal["nucleus", "inside", "overlap"] = "nucleus") -> str:
    """Hex root of the canonical coverage of a GeoJSON polygon at `level`.

    Also takes shapely geometries and objects with `__geo_interface__`; `mode`
    as in `polyfill`.
    """
    level = _args.level(level)
    if _tables.is_shapely(geojson):
        return str(_one(geojson, level, "roots", profile, mode)[0].tobytes().hex())
    return _read(_zarel.fingerprint_polygon, geojson, "fingerprint_polygons", level, profile, mode=mode)


@level_was("resolution")
def tree_from_geojson(geojson: Any, level: int, profile: Profile | None = None, *, mode: Literal["nucleus", "inside", "overlap"] = "nucleus") -> Tree:
    """The canonical coverage of a GeoJSON Polygon/MultiPolygon at `level` (nucleus rule by default).

    `Tree.from_geojson` that also takes shapely geometries and objects with
    `__geo_interface__` (see `polyfill`); `mode` as in `polyfill`.
    """
    level = _args.level(level)
    if _tables.is_shapely(geojson):
        tree: Tree = _one(geojson, level, "trees", profile, mode)[0]
        return tree
    return _read(Tree.from_geojson, geojson, "trees_from_polygons", level, profile, mode=mode)


def _cover(geoms: Any, level: int, form: str, profile: Profile | None, nthreads: int, mode: Literal["nucleus", "inside", "overlap"]) -> Any:
    level, nthreads = _args.level(level), _args.nthreads(nthreads)
    return _zarel._cover_polygons(*_tables.table_arrays(geoms), level, form, profile, nthreads, mode=mode)


@level_was("resolution")
@pooled
def fingerprint_polygons(
    geoms: Any, level: int, profile: Profile | None = None, nthreads: int = 0, *, mode: Literal["nucleus", "inside", "overlap"] = "nucleus"
) -> npt.NDArray[np.uint8]:
    """The root of each geometry's coverage at `level`, as uint8 of shape (N, 32), in input order.

    `geoms` is a table of Polygons and MultiPolygons in longitude/latitude
    degrees: a list of GeoJSON dicts (NumPy alone reads it), a shapely array
    or list, a GeoSeries, a GeoDataFrame (its active geometry column), WKB
    (`bytes`, `bytearray`, `memoryview`, NumPy object or `S` arrays), or an
    Arrow array (GeoArrow polygons or multipolygons, or WKB; chunked and sliced
    arrays included). Missing values (None, a Feature whose geometry is null,
    a null Arrow row) and empty geometries give the empty coverage's root. A
    GeoSeries or GeoDataFrame in a projected CRS is refused: call
    `.to_crs(4326)` first. A bad row (another geometry type, unreadable WKB, a
    point not finite or outside [-180, 180] x [-90, 90]) is refused naming the
    lowest such row, "geometry {i}: ...". Row i equals
    `fingerprint_polygon(geoms[i], level, mode=mode)` (`roots_hex` gives that
    text). `nthreads` 0 uses the shared pool, 1 the calling thread, 2 or more
    a private pool of that many workers; `mode` as in `polyfill`.
    """
    roots: npt.NDArray[np.uint8] = _cover(geoms, level, "roots", profile, nthreads, mode)
    return roots


@level_was("resolution")
@pooled
def polyfill_polygons(
    geoms: Any, level: int, profile: Profile | None = None, nthreads: int = 0, *, mode: Literal["nucleus", "inside", "overlap"] = "nucleus"
) -> tuple[npt.NDArray[np.uint64], npt.NDArray[np.int64]]:
    """Each geometry's cells at `level` as the ragged pair `(cids, offsets)`.

    Geometry i's sorted cids are `cids[offsets[i]:offsets[i + 1]]`, equal to
    `polyfill(geoms[i], level)`. Refused above 2**26 cells for one
    geometry or for all together. `geoms`, `nthreads` and `mode` as in
    `fingerprint_polygons`.
    """
    pair: tuple[npt.NDArray[np.uint64], npt.NDArray[np.int64]] = _cover(geoms, level, "cells", profile, nthreads, mode)
    return pair


@level_was("resolution")
@pooled
def trees_from_polygons(
    geoms: Any, level: int, profile: Profile | None = None, nthreads: int = 0, *, mode: Literal["nucleus", "inside", "overlap"] = "nucleus"
) -> list[Tree]:
    """Each geometry's coverage `Tree` at `level`, in input order.

    `geoms`, `nthreads` and `mode` as in `fingerprint_polygons`.
    """
    trees: list[Tree] = _cover(geoms, level, "trees", profile, nthreads, mode)
    return trees


def roots_hex(roots: npt.NDArray[np.uint8] | bytes | bytearray | memoryview) -> list[str]:
    """The 64-digit hex text of each row of a (N, 32) uint8 root array (or of each 32 bytes), as `root_hex` writes it."""
    if isinstance(roots, (bytes, bytearray, memoryview)):
        data = bytes(roots)
        if len(data) % 32:
            raise ValueError(f"roots must be 32 bytes each, got {len(data)} bytes")
        arr = np.frombuffer(data, dtype=np.uint8).reshape(-1, 32)
    elif not isinstance(roots, np.ndarray) or roots.dtype != np.uint8:
        kind = roots.dtype if isinstance(roots, np.ndarray) else type(roots).__name__
        raise TypeError(f"roots must be a uint8 array of shape (N, 32) or bytes, got {kind}")
    else:
        arr = np.ascontiguousarray(roots)
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
