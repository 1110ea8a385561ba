"""Trees onto maps: a GeoDataFrame of a tree's canonical cells.

`GeoDataFrame.from_features(tree)` reads the tree's display GeoJSON, one
Python dict per cell and point; `to_geodataframe` makes the same frame from the
cell arrays instead (the cells, their batch polygons, their suids and levels),
at about the cost of `cell_polygons` alone.
"""

from __future__ import annotations

from typing import Any

import numpy as np

from zarel import _zarel
from zarel._batch import cell_polygons
from zarel._zarel import Tree

__all__ = ["to_geodataframe"]


def to_geodataframe(tree: Tree, n: int = 3, crs: Any = "EPSG:4326") -> Any:
    """A geopandas GeoDataFrame with one row per canonical cell of `tree`, ascending.

    Columns `geometry` (the cell's display polygon with `n` points per polar
    edge, the polygons of `tree.geojson(n)`), `cid` (uint64), `level` (uint8)
    and `suid` (None unless the profile has aperture 9 and 6 base cells): the
    frame `GeoDataFrame.from_features(tree)` gives, made from the cell arrays.
    """
    try:
        import geopandas  # type: ignore[import-untyped,unused-ignore]
    except ModuleNotFoundError as e:
        raise ModuleNotFoundError("a GeoDataFrame needs geopandas: pip install 'zarel[geopandas]'", name=e.name) from e

    if not isinstance(tree, Tree):
        raise TypeError(f"to_geodataframe needs a Tree, got {type(tree).__name__}")
    profile = tree.profile
    cids = tree.cells_array()
    rhealpix = profile.aperture == 9 and profile.n_base == 6
    suids = _zarel._cids_to_suids(cids) if rhealpix else np.full(len(cids), None, dtype=object)
    return geopandas.GeoDataFrame(
        {"cid": cids, "level": _zarel._cell_levels(cids, profile), "suid": suids},
        geometry=cell_polygons(cids, n, profile),
        crs=crs,
    )[["geometry", "cid", "level", "suid"]]
