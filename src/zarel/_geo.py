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

from typing import Any

from zarel import _zarel
from zarel._names import level_was
from zarel._zarel import Profile, Tree

__all__ = ["GeoTree", "fingerprint_polygon", "polyfill", "tree_from_geojson"]


def _document(geojson: Any) -> Any:
    # A dict is already the document; asking it for the protocol would be wasted.
    if isinstance(geojson, dict):
        return geojson
    interface = getattr(geojson, "__geo_interface__", None)
    return geojson if interface is None else interface


@level_was("resolution")
def polyfill(geojson: Any, level: int, profile: Profile | None = None) -> list[int]:
    """Sorted cids at `level` whose nucleus the GeoJSON polygon contains.

    `geojson` is a GeoJSON Polygon, MultiPolygon or Feature of one (a dict), or
    any object with `__geo_interface__` describing one, such as a shapely
    polygon. Coordinates are longitude/latitude degrees, taken as written.
    """
    return _zarel.polyfill(_document(geojson), level, profile)


@level_was("resolution")
def fingerprint_polygon(geojson: Any, level: int, profile: Profile | None = None) -> str:
    """Hex root of the canonical coverage of a GeoJSON polygon at `level`.

    Also takes objects with `__geo_interface__` (see `polyfill`).
    """
    return _zarel.fingerprint_polygon(_document(geojson), level, profile)


@level_was("resolution")
def tree_from_geojson(geojson: Any, level: int, profile: Profile | None = None) -> Tree:
    """The canonical coverage of a GeoJSON Polygon/MultiPolygon at `level` (nucleus rule).

    `Tree.from_geojson` that also takes objects with `__geo_interface__`
    (see `polyfill`).
    """
    return Tree.from_geojson(_document(geojson), level, profile)


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
