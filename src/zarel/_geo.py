"""Geometry objects in, display GeoJSON out.

The module reads polygons as GeoJSON documents. These front ends also take any
object with `__geo_interface__` (shapely geometries, a geopandas row's
geometry, other libraries' shapes), read as the GeoJSON it describes; dicts
and other documents pass through unchanged, so results and errors are the
module's own.

A `Tree`'s own `__geo_interface__` is the display FeatureCollection of its
canonical cells, which is what `geopandas.GeoDataFrame.from_features` and other
readers of the protocol take; `GeoTree(tree, n)` offers it at another edge
density.
"""

from __future__ import annotations

from typing import Any, Literal

from zarel import _zarel
from zarel._zarel import Profile, Tree

__all__ = ["GeoTree", "fingerprint_polygon", "polyfill", "tree_from_geojson"]


def _document(geojson: Any) -> Any:
    # A dict is already the document; asking it for the protocol would be wasted.
    if isinstance(geojson, dict):
        return geojson
    interface = getattr(geojson, "__geo_interface__", None)
    return geojson if interface is None else interface


def polyfill(geojson: Any, resolution: int, profile: Profile | None = None, *, mode: Literal["nucleus", "inside", "overlap"] = "nucleus") -> list[int]:
    """Sorted depth-`resolution` cids whose nucleus the GeoJSON polygon contains.

    `geojson` is a GeoJSON Polygon, MultiPolygon or Feature of one (a dict), or
    any object with `__geo_interface__` describing one, such as a shapely
    polygon. Coordinates are longitude/latitude degrees, taken as written.
    `mode="inside"` gives the cells wholly inside the polygon instead, and
    `mode="overlap"` the cells whose interior meets the polygon's interior
    (see docs/polygons.md).
    """
    return _zarel.polyfill(_document(geojson), resolution, profile, mode=mode)


def fingerprint_polygon(geojson: Any, resolution: int, profile: Profile | None = None, *, mode: Literal["nucleus", "inside", "overlap"] = "nucleus") -> str:
    """Hex root of the canonical coverage of a GeoJSON polygon at `resolution`.

    Also takes objects with `__geo_interface__`; `mode` as in `polyfill`.
    """
    return _zarel.fingerprint_polygon(_document(geojson), resolution, profile, mode=mode)


def tree_from_geojson(geojson: Any, resolution: int, profile: Profile | None = None, *, mode: Literal["nucleus", "inside", "overlap"] = "nucleus") -> Tree:
    """The canonical coverage of a GeoJSON Polygon/MultiPolygon at `resolution` (nucleus rule).

    `Tree.from_geojson` that also takes objects with `__geo_interface__`;
    `mode` as in `polyfill`.
    """
    return Tree.from_geojson(_document(geojson), resolution, profile, mode=mode)


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
