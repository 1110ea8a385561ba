"""Geometry objects in, display GeoJSON out.

The module reads polygons as GeoJSON documents. These front ends also take any
object with `__geo_interface__` (shapely geometries, a geopandas row's
geometry, other libraries' shapes), read as the GeoJSON it describes, and a
GeoJSON text, parsed. A document holding NumPy arrays or numbers (which `json`
cannot write) is converted to plain lists and numbers, once, when the module
refuses it. Everything else passes through unchanged, so results and errors are
the module's own. A geopandas series, frame or geometry array holds many
geometries: it is refused with a pointer to the batch functions, which take one
per element.

A `Tree`'s own `__geo_interface__` is the display FeatureCollection of its
canonical cells, which is what `geopandas.GeoDataFrame.from_features` and other
readers of the protocol take; `GeoTree(tree, n)` offers it at another edge
density.
"""

from __future__ import annotations

import json
from typing import Any, Callable, Literal, TypeVar

import numpy as np

from zarel import _zarel
from zarel._names import level_was
from zarel._zarel import Profile, Tree

__all__ = ["GeoTree", "fingerprint_polygon", "polyfill", "tree_from_geojson"]

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
def polyfill(
    geojson: Any, level: int, profile: Profile | None = None, *, mode: Literal["nucleus", "inside", "overlap"] = "nucleus"
) -> list[int]:
    """Sorted cids at `level` whose nucleus the GeoJSON polygon contains.

    `geojson` is a GeoJSON Polygon, MultiPolygon or Feature of one (a dict,
    which may hold NumPy numbers, or its JSON text), or any object with
    `__geo_interface__` describing one, such as a shapely polygon. Coordinates
    are longitude/latitude degrees, taken as written. Refused (ValueError)
    above 2**26 cells: large areas belong in `tree_from_geojson`.
    `mode="inside"` gives the cells wholly inside the polygon instead, and
    `mode="overlap"` the cells whose interior meets the polygon's interior
    (see docs/polygons.md).
    """
    return _read(_zarel.polyfill, geojson, "polyfill_polygons", level, profile, mode=mode)


@level_was("resolution")
def fingerprint_polygon(
    geojson: Any, level: int, profile: Profile | None = None, *, mode: Literal["nucleus", "inside", "overlap"] = "nucleus"
) -> str:
    """Hex root of the canonical coverage of a GeoJSON polygon at `level`.

    Also takes objects with `__geo_interface__`; `mode` as in `polyfill`.
    """
    return _read(_zarel.fingerprint_polygon, geojson, "fingerprint_polygons", level, profile, mode=mode)


@level_was("resolution")
def tree_from_geojson(
    geojson: Any, level: int, profile: Profile | None = None, *, mode: Literal["nucleus", "inside", "overlap"] = "nucleus"
) -> Tree:
    """The canonical coverage of a GeoJSON Polygon/MultiPolygon at `level` (nucleus rule by default).

    `Tree.from_geojson` that also takes objects with `__geo_interface__`
    (see `polyfill`); `mode` as in `polyfill`.
    """
    return _read(Tree.from_geojson, geojson, "trees_from_polygons", level, profile, mode=mode)


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
