"""Batch functions over any array-like.

The module's batch functions read NumPy arrays in place and so take exactly one
layout: one-dimensional, contiguous, float64 degrees or uint64 cids. These
wrappers accept what users hold (lists, tuples, pandas Series, float32, int64
cids, strided views, misaligned buffers), convert once with NumPy, and then call the module
function with the same remaining arguments; results are those of the module.

Cids are never wrapped: a negative or too large value is refused with
`OverflowError` naming its position, as the module refuses such an int.
`level`, `n` and `nthreads` are checked here, each refusal naming the
argument and its range.
"""

from __future__ import annotations

from typing import Any

import numpy as np
import numpy.typing as npt

from zarel import _args, _zarel
from zarel._args import pooled
from zarel._zarel import Profile

__all__ = [
    "boundaries_to_polygons",
    "cell_boundaries",
    "cell_neighbours",
    "cell_polygons",
    "cells_from_lonlat",
    "cells_to_lonlat",
]

_CID_LIMIT = 1 << 64


def _one_dimensional(name: str, arr: npt.NDArray[Any]) -> None:
    if arr.ndim != 1:
        raise ValueError(f"{name} must be one-dimensional, got shape {arr.shape}")


def _flat(arr: npt.NDArray[Any], dtype: type[np.generic]) -> npt.NDArray[Any]:
    # Contiguous is not enough: arrays rebuilt from pickled or memory-mapped
    # buffers can start at an address that is not a multiple of 8.
    return np.require(arr, dtype=dtype, requirements=["C", "A"])


def _degrees(name: str, values: npt.ArrayLike) -> npt.NDArray[np.float64]:
    arr = np.asarray(values)
    _one_dimensional(name, arr)
    if arr.dtype.kind in "iuf":
        return _flat(arr, np.float64)
    if arr.dtype.kind == "O":
        # pandas' nullable columns come out as objects; their NA cannot be a float.
        try:
            return arr.astype(np.float64)
        except (TypeError, ValueError) as e:
            raise TypeError(f"{name} must hold numbers (missing values as NaN): {e}") from None
    raise TypeError(f"{name} must hold numbers, got dtype {arr.dtype}")


def _cids(values: npt.ArrayLike) -> npt.NDArray[np.uint64]:
    arr = np.asarray(values)
    if arr.dtype.kind == "f" and not isinstance(values, np.ndarray) and not hasattr(values, "dtype"):
        # NumPy promotes a list mixing negative and very large ints to float64;
        # look at the ints themselves so the error names the offending one.
        arr = np.asarray(values, dtype=object)
    _one_dimensional("cids", arr)
    kind = arr.dtype.kind
    if arr.size == 0:
        return np.empty(0, dtype=np.uint64)
    if kind == "u":
        return _flat(arr, np.uint64)
    if kind == "i":
        negative = np.flatnonzero(arr < 0)
        if negative.size:
            i = int(negative[0])
            raise OverflowError(f"cids[{i}] is {int(arr[i])}; a cid is an unsigned 64-bit integer")
        return _flat(arr, np.uint64)
    if kind == "O":
        for i, v in enumerate(arr):
            if isinstance(v, bool) or not isinstance(v, (int, np.integer)):
                raise TypeError(f"cids[{i}] is {v!r}, not an integer")
            if not 0 <= v < _CID_LIMIT:
                raise OverflowError(f"cids[{i}] is {int(v)}; a cid is an unsigned 64-bit integer")
        return arr.astype(np.uint64)
    raise TypeError(f"cids must hold integers, got dtype {arr.dtype}")


@pooled
def cells_from_lonlat(
    lon: npt.ArrayLike,
    lat: npt.ArrayLike,
    level: int,
    profile: Profile | None = None,
    nthreads: int = 0,
) -> npt.NDArray[np.uint64]:
    """The cell at `level` (at most `MAX_RESOLUTION`) containing each point.

    `lon` and `lat` are any one-dimensional array-likes of degrees, converted
    to float64 once. `nthreads` 0 uses the shared pool, 1 the calling thread,
    2 or more a private pool of that many workers (inputs of fewer than 16384
    points always run on the calling thread). Returns uint64 cids.
    """
    level, nthreads = _args.level(level), _args.nthreads(nthreads)
    return _zarel._cells_from_lonlat(_degrees("lon", lon), _degrees("lat", lat), level, profile, nthreads)


@pooled
def cells_to_lonlat(
    cids: npt.ArrayLike, profile: Profile | None = None, nthreads: int = 0
) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]:
    """The nucleus of each cell as `(lon, lat)` float64 arrays of degrees.

    `cids` is any one-dimensional array-like of non-negative integers;
    `nthreads` as in `cells_from_lonlat`.
    """
    return _zarel._cells_to_lonlat(_cids(cids), profile, _args.nthreads(nthreads))


@pooled
def cell_boundaries(
    cids: npt.ArrayLike, n: int = 5, profile: Profile | None = None, nthreads: int = 0
) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.int64]]:
    """Each cell's closed counter-clockwise polygon as a ragged pair.

    Returns `(coords, offsets)`: `coords` float64 of shape (M, 2) holding
    `(lon, lat)` points, cell i being `coords[offsets[i]:offsets[i + 1]]`.
    Polar cells get `n` points per edge (2 to 65536), equatorial cells their
    four corners; rings crossing the antimeridian run east of 180 degrees and
    cells holding a pole are closed through it. `boundaries_to_polygons`
    makes shapely polygons of the pair.
    """
    n = _args.integer("n", n, 2, _args.MAX_EDGE_POINTS)
    return _zarel._cell_boundaries(_cids(cids), n, profile, _args.nthreads(nthreads))


@pooled
def cell_neighbours(
    cids: npt.ArrayLike, profile: Profile | None = None, nthreads: int = 0
) -> npt.NDArray[np.uint64]:
    """The four edge neighbours of each cell: uint64 of shape (N, 4), columns up, right, down, left."""
    return _zarel._cell_neighbours(_cids(cids), profile, _args.nthreads(nthreads))


def boundaries_to_polygons(coords: npt.ArrayLike, offsets: npt.ArrayLike) -> npt.NDArray[np.object_]:
    """Shapely polygons from the `(coords, offsets)` pair of `cell_boundaries`.

    One vectorised call builds every ring; the result is a NumPy object array
    of `shapely.Polygon`, one per cell, in order. Needs shapely 2.
    """
    try:
        import shapely  # type: ignore[import-untyped,unused-ignore]
    except ImportError as e:
        raise ModuleNotFoundError("cell polygons need shapely 2: pip install 'zarel[shapely]'", name=e.name) from e

    xy = np.asarray(coords, dtype=np.float64)
    starts = np.asarray(offsets)
    if xy.ndim != 2 or xy.shape[1] != 2:
        raise ValueError(f"coords must have shape (M, 2), got {xy.shape}")
    if starts.ndim != 1 or starts.size == 0 or starts.dtype.kind not in "iu":
        raise ValueError("offsets must be a one-dimensional integer array starting at 0")
    counts = np.diff(starts)
    if starts[0] != 0 or starts[-1] != len(xy) or (counts < 4).any():
        raise ValueError("offsets must start at 0, end at len(coords) and give each ring at least 4 points")
    ring_of_point = np.repeat(np.arange(counts.size), counts)
    rings = shapely.linearrings(xy, indices=ring_of_point)
    polygons: npt.NDArray[np.object_] = shapely.polygons(rings)
    return polygons


def cell_polygons(
    cids: npt.ArrayLike, n: int = 5, profile: Profile | None = None, nthreads: int = 0
) -> npt.NDArray[np.object_]:
    """Each cell as a `shapely.Polygon` (see `cell_boundaries`), in a NumPy object array.

    Ready for `geopandas.GeoSeries(cell_polygons(cids), crs="EPSG:4326")`.
    """
    return boundaries_to_polygons(*cell_boundaries(cids, n, profile, nthreads))
