"""A tree seen through the geo interface.

`Tree` is an immutable extension type, so it cannot grow a
`__geo_interface__` attribute; `GeoTree(tree)` wraps a tree in an object that
has one (the display FeatureCollection of its canonical cells), which is what
`geopandas.GeoDataFrame.from_features` and other readers of the protocol take.
"""

from __future__ import annotations

from typing import Any

from zarel._zarel import Tree

__all__ = ["GeoTree"]


class GeoTree:
    """A `Tree` seen through the geo interface: `GeoTree(tree).__geo_interface__`
    is `tree.geojson(n)`, a FeatureCollection with one Polygon feature per
    canonical cell (properties `cid`, `suid`, `level`).

    `geopandas.GeoDataFrame.from_features(GeoTree(tree), crs="EPSG:4326")`
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
