"""Coverage trees built on Dask, for inputs larger than one machine holds.

Each partition becomes its own `Tree` where its data lives; the trees are then
merged with `Tree.union` as a tree reduction: groups of `split_every` trees
are united on whichever workers hold them, then groups of those results, and
so on, so no single worker folds every partition in turn. Union is
associative and commutative and a tree's root depends only on its coverage,
so the result's root equals the one a single machine computes from all the
input at once, whatever the partitioning.

Trees and profiles cross between processes through the compact pickled form
of the `zarel` package (canonical cells, depth, profile).

Needs the optional extras: ``pip install zarel[dask]``.
"""

from __future__ import annotations

import re
from collections.abc import Callable, Sequence
from functools import reduce
from typing import Any, Literal

import numpy as np

try:
    import dask
    import dask.array as da
    from dask.delayed import Delayed
except ModuleNotFoundError:  # the missing module's own error stays chained below this one
    raise ModuleNotFoundError("zarel.dask needs Dask: pip install 'zarel[dask]'", name="dask")

from zarel import _args
from zarel._batch import cells_from_lonlat
from zarel._tables import check_crs
from zarel._names import level_was
from zarel._geo import fingerprint_polygons, roots_hex
from zarel._geo import trees_from_polygons as _trees
from zarel._zarel import Profile, Tree

__all__ = ["roots_from_polygons", "tree_from_lonlat", "tree_from_polygons", "trees_from_polygons", "union_all"]


def _union(*trees: Tree) -> Tree:
    return reduce(Tree.union, trees)


def _points_tree(lon: Any, lat: Any, level: int, profile: Profile | None) -> Tree:
    return Tree.from_cells(cells_from_lonlat(lon, lat, level, profile), level, profile)


def _in_partition(error: ValueError, part: Any, number: int | None) -> ValueError:
    """A row's refusal naming the row's index label and partition, which a table's reader knows it by."""
    match = re.match(r"geometry (\d+): ", str(error))
    if not match:
        return error
    i = int(match.group(1))
    where = "" if number is None else f" of partition {number}"
    return ValueError(f"geometry at index {part.index[i]!r} (row {i}{where}): {str(error)[match.end():]}")




def _polygons_tree(geometries: Any, level: int, profile: Profile | None, number: int | None = None,
                   nthreads: int = 0, mode: Literal["nucleus", "inside", "overlap"] = "nucleus") -> Tree:
    # Missing and empty geometries cover nothing, as in geopandas' own set operations.
    try:
        trees = _trees(geometries, level, profile, nthreads, mode=mode)
    except ValueError as e:
        raise _in_partition(e, geometries, number) from None
    return reduce(Tree.union, trees, Tree.from_cells([], level, profile))


def union_all(trees: Sequence[Delayed | Tree], split_every: int = 8) -> Delayed:
    """The union of many (lazy) trees of one depth and profile, as a tree reduction.

    `trees` must not be empty. Groups of at most `split_every` (2 or more)
    trees are united per task, level by level, until one remains. Returns a
    `dask.delayed.Delayed`; `.compute()` gives the `Tree`.
    """
    split_every = _args.integer("split_every", split_every, 2)
    level = [t if isinstance(t, Delayed) else dask.delayed(t) for t in trees]
    if not level:
        raise ValueError("union_all needs at least one tree")
    union = dask.delayed(_union, pure=True)
    while len(level) > 1:
        groups = [level[i:i + split_every] for i in range(0, len(level), split_every)]
        # A lone leftover goes up a level as it is rather than as a task of its own.
        level = [union(*g) if len(g) > 1 else g[0] for g in groups]
    return level[0]


@level_was("depth")
def tree_from_lonlat(
    lon: da.Array,
    lat: da.Array,
    level: int,
    profile: Profile | None = None,
    split_every: int = 8,
) -> Delayed:
    """The tree of depth `level` covering the cell of every point, built per chunk.

    `lon` and `lat` are one-dimensional dask arrays (or array-likes, taken as
    one chunk) of degrees with the same length; `lat` is rechunked like `lon`.
    Each chunk's points are looked up at `level` (at most
    `MAX_RESOLUTION`) and built into a tree on the worker holding the chunk;
    the trees are then united with `union_all`. Returns a lazy `Tree`
    (`dask.delayed.Delayed`); call `.compute()`, or pass it to a
    `distributed.Client`.
    """
    level = _args.level(level)
    lon, lat = da.asarray(lon), da.asarray(lat)
    if lon.ndim != 1 or lat.ndim != 1:
        raise ValueError(f"lon and lat must be one-dimensional, got shapes {lon.shape} and {lat.shape}")
    if np.isnan(lon.shape[0]) or np.isnan(lat.shape[0]):
        raise ValueError("lon and lat need known chunk sizes (e.g. `to_dask_array(lengths=True)`)")
    if lon.shape != lat.shape:
        raise ValueError(f"{lon.shape[0]} longitudes but {lat.shape[0]} latitudes")
    lat = lat.rechunk(lon.chunks)
    build = dask.delayed(_points_tree, pure=True)
    parts = [build(x, y, level, profile) for x, y in zip(lon.to_delayed().ravel(), lat.to_delayed().ravel())]
    if not parts:
        return dask.delayed(Tree.from_cells)(np.empty(0, np.uint64), level, profile)
    return union_all(parts, split_every)


@level_was("resolution")
def tree_from_polygons(
    geoseries: Any,
    level: int,
    profile: Profile | None = None,
    split_every: int = 8,
    nthreads: int = 0,
    *,
    mode: Literal["nucleus", "inside", "overlap"] = "nucleus",
) -> Delayed:
    """The union of the coverages of many polygons, built per partition.

    `geoseries` is a dask-geopandas GeoSeries (or GeoDataFrame, whose active
    geometry column is used) of Polygons and MultiPolygons in longitude/latitude
    degrees. Each partition's polygons are filled at `level` (nucleus
    rule, as `Tree.from_geojson`) and united on the worker holding it; missing
    and empty geometries cover nothing. The partition trees are then united
    with `union_all`. Returns a lazy `Tree` (`dask.delayed.Delayed`).
    `nthreads` and `mode` are those of `zarel.trees_from_polygons`, applied
    to each partition where it is filled.
    """
    geometry = _geometry_column(geoseries)
    level, nthreads = _args.level(level), _args.nthreads(nthreads)
    build = dask.delayed(_polygons_tree, pure=True)
    return union_all([build(part, level, profile, k, nthreads, mode) for k, part in enumerate(geometry.to_delayed())],
                     split_every)


def _geometry_column(geoseries: Any) -> Any:
    if not hasattr(geoseries, "map_partitions") or not hasattr(geoseries, "to_delayed"):
        raise TypeError(f"need a dask-geopandas GeoSeries or GeoDataFrame, got {type(geoseries).__name__}")
    try:
        geometry = getattr(geoseries, "geometry", geoseries)
    except AttributeError:
        raise ValueError("the GeoDataFrame has no active geometry column; choose one with "
                         ".set_geometry(column)") from None
    # Refused here, before any partition is read; each partition is checked again.
    check_crs(geometry)
    return geometry


def _partition_number(partition_info: dict[str, Any] | None) -> int | None:
    return None if partition_info is None else partition_info.get("number")


def _per_row(part: Any, fill: Callable[[Any], Any], partition_info: dict[str, Any] | None) -> Any:
    """`fill(part)`, one value per row, as a Series on the partition's index; a row's refusal names its label."""
    import pandas as pd  # type: ignore[import-untyped,unused-ignore]

    try:
        values = fill(part)
    except ValueError as e:
        raise _in_partition(e, part, _partition_number(partition_info)) from None
    return pd.Series(values, index=part.index, dtype=object)


def _partition_roots(part: Any, level: int, profile: Profile | None, nthreads: int,
                     mode: Literal["nucleus", "inside", "overlap"],
                     partition_info: dict[str, Any] | None = None) -> Any:
    return _per_row(part, lambda p: roots_hex(fingerprint_polygons(p, level, profile, nthreads, mode=mode)),
                    partition_info)


def _partition_trees(part: Any, level: int, profile: Profile | None, nthreads: int,
                     mode: Literal["nucleus", "inside", "overlap"],
                     partition_info: dict[str, Any] | None = None) -> Any:
    return _per_row(part, lambda p: _trees(p, level, profile, nthreads, mode=mode), partition_info)


@level_was("resolution")
def roots_from_polygons(geoseries: Any, level: int, profile: Profile | None = None, nthreads: int = 0, *,
                        mode: Literal["nucleus", "inside", "overlap"] = "nucleus") -> Any:
    """The fingerprint of every row's geometry, as a lazy dask Series of hex text.

    `geoseries` is a dask-geopandas GeoSeries (or GeoDataFrame, whose active
    geometry column is used). Each partition goes through
    `fingerprint_polygons` where it lives, so row i's value equals
    `fingerprint_polygon(geoms[i], level)`; missing and empty
    geometries give the empty coverage's root. The index is kept. A bad row
    is refused naming its index label, its row in its partition and the
    partition; a projected CRS is refused before any partition is read.
    `nthreads` and `mode` are `fingerprint_polygons`' own, applied to each
    partition where it is filled.
    """
    return _geometry_column(geoseries).map_partitions(
        _partition_roots, _args.level(level), profile, _args.nthreads(nthreads), mode, meta=("root", object))


@level_was("resolution")
def trees_from_polygons(geoseries: Any, level: int, profile: Profile | None = None, nthreads: int = 0, *,
                        mode: Literal["nucleus", "inside", "overlap"] = "nucleus") -> Any:
    """The coverage `Tree` of every row's geometry, as a lazy dask Series (see
    `roots_from_polygons`, whose `nthreads` and `mode` it takes)."""
    return _geometry_column(geoseries).map_partitions(
        _partition_trees, _args.level(level), profile, _args.nthreads(nthreads), mode, meta=("tree", object))

