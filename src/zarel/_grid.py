"""Cell arrays, grid disks and zone data over what users hold.

The module's cell-array functions read one-dimensional contiguous NumPy arrays
(uint64 cids, str suids) in place; these wrappers take any array-like, convert
once, and return the module's results. Listings (children, disks) are ragged
pairs `(cells, offsets)`: cell i's list is `cells[offsets[i]:offsets[i + 1]]`.
"""

from __future__ import annotations

import re
from typing import Any

import numpy as np
import numpy.typing as npt

from zarel import _args, _zarel
from zarel._args import pooled
from zarel._batch import _cids
from zarel._zarel import Profile, Tree

__all__ = [
    "cell_children",
    "cell_levels",
    "cell_parents",
    "cells_valid",
    "cids_to_suids",
    "grid_disk",
    "suid_to_cid",
    "grid_distance",
    "grid_ring",
    "suids_to_cids",
    "to_dggs_json",
]


def _suids(values: npt.ArrayLike) -> npt.NDArray[np.str_]:
    # Not through NumPy's own inference, which would spell a stray int as digits.
    arr = values if isinstance(values, np.ndarray) else np.asarray(values, dtype=object)
    if arr.ndim != 1:
        raise ValueError(f"suids must be one-dimensional, got shape {arr.shape}")
    if arr.size == 0:
        return np.empty(0, dtype="U1")
    if arr.dtype.kind == "O":
        if not all(issubclass(t, str) for t in set(map(type, arr))):
            i = next(i for i, v in enumerate(arr) if not isinstance(v, str))
            raise TypeError(f"suids[{i}] is {arr[i]!r}, not a str")
        arr = arr.astype(str)
    elif arr.dtype.kind == "S":
        arr = np.char.decode(arr, "ascii", "replace")
    if arr.dtype.kind != "U":
        raise TypeError(f"suids must hold str, got dtype {arr.dtype}")
    return np.require(arr, requirements=["C", "A"])


@pooled
def _suid_fault(suid: str) -> str | None:
    """The module's refusal of a suid's first character that is not ASCII, with the character itself.

    The module shows the first byte of such a character's UTF-8 as if it were
    the character ("\u00c3" for "é"); an ASCII fault before it is left to the module.
    """
    for k, c in enumerate(suid):
        ok = c in "NOPQRS" if k == 0 else "0" <= c <= "9"
        if not ok:
            if c.isascii():
                return None
            shown = "'\\''" if c == "'" else f"'{c}'"
            return f"unknown base cell {shown}" if k == 0 else f"bad suid digit {shown}"
    return None


def suid_to_cid(suid: str) -> int:
    """The cid of a suid: a base letter N to S, then one digit 0 to 8 per level ("Q12" is 983).

    The module's `suid_to_cid`, except that a character outside ASCII is shown
    as written in the refusal ("bad suid digit 'é'").
    """
    try:
        return _zarel.suid_to_cid(suid)
    except ValueError:
        fault = _suid_fault(suid) if isinstance(suid, str) else None
        if fault is None:
            raise
        raise ValueError(fault) from None


def cids_to_suids(cids: npt.ArrayLike, nthreads: int = 0) -> npt.NDArray[np.str_]:
    """The suid of each cid ("N", "Q12", ...) as a NumPy array of `str`.

    `cids` is any one-dimensional array-like of non-negative integers; a cid
    that is not one fails with its index named. `nthreads` 0 uses the shared
    pool, 1 the calling thread, 2 or more a private pool of that many workers.
    """
    return _zarel._cids_to_suids(_cids(cids), _args.nthreads(nthreads))


@pooled
def suids_to_cids(suids: npt.ArrayLike, nthreads: int = 0) -> npt.NDArray[np.uint64]:
    """The cid of each suid, as uint64; `suids` any one-dimensional array-like of `str`."""
    arr = _suids(suids)
    try:
        return _zarel._suids_to_cids(arr, _args.nthreads(nthreads))
    except ValueError as e:
        match = re.match(r"cell (\d+): ", str(e))
        fault = _suid_fault(str(arr[int(match.group(1))])) if match else None
        if match is None or fault is None:
            raise
        raise ValueError(f"{match.group()}{fault}") from None


@pooled
def cell_levels(cids: npt.ArrayLike, profile: Profile | None = None, nthreads: int = 0) -> npt.NDArray[np.uint8]:
    """The level of each cell, as uint8."""
    return _zarel._cell_levels(_cids(cids), profile, _args.nthreads(nthreads))


@pooled
def cell_parents(
    cids: npt.ArrayLike, level: int, profile: Profile | None = None, nthreads: int = 0
) -> npt.NDArray[np.uint64]:
    """The ancestor at `level` of each cell, as uint64 (a cell at `level` is its own).

    A cell coarser than `level` fails with its index named.
    """
    return _zarel._cell_parents(_cids(cids), _args.level(level, _args.U32), profile, _args.nthreads(nthreads))


@pooled
def cell_children(
    cids: npt.ArrayLike, level: int, profile: Profile | None = None, nthreads: int = 0
) -> tuple[npt.NDArray[np.uint64], npt.NDArray[np.int64]]:
    """The descendants at `level` of each cell, ascending, as a ragged pair `(cells, offsets)`.

    Cell i's descendants are `cells[offsets[i]:offsets[i + 1]]`, in cid order
    (`subzones` gives one cell's in scanline order). A call that would list more
    than 2**27 cells is refused before anything is listed.
    """
    return _zarel._cell_children(_cids(cids), _args.level(level, _args.U32), profile, _args.nthreads(nthreads))


@pooled
def grid_disk(
    cids: npt.ArrayLike, k: int, profile: Profile | None = None, nthreads: int = 0
) -> tuple[npt.NDArray[np.uint64], npt.NDArray[np.int64]]:
    """Every cell within `k` edge steps of each cell, itself included, as a ragged pair.

    Returns `(cells, offsets)`, cell i's disk being `cells[offsets[i]:offsets[i + 1]]`
    in ascending cid order. Steps cross the folded edges between base cells as
    `neighbours` does; away from those edges a disk holds 2k(k+1) + 1 cells. A
    call whose disks would hold more than 2**27 cells in all is refused.
    """
    return _zarel._grid_disk(_cids(cids), _args.integer("k", k, 0, _args.U32), profile, _args.nthreads(nthreads))


def grid_ring(
    cids: npt.ArrayLike, k: int, profile: Profile | None = None, nthreads: int = 0
) -> tuple[npt.NDArray[np.uint64], npt.NDArray[np.int64]]:
    """Every cell at exactly `k` edge steps from each cell, as a ragged pair like `grid_disk`'s.

    Cell i's ring is `cells[offsets[i]:offsets[i + 1]]`, ascending: the disk of
    radius k less the disk of radius k - 1 (the cell itself for k = 0). Away
    from the folded edges between base cells a ring holds 4k cells; where the
    grid runs out first (coarse levels) it may be empty.
    """
    return _zarel._grid_ring(_cids(cids), _args.integer("k", k, 0, _args.U32), profile, _args.nthreads(nthreads))


def grid_distance(
    a: npt.ArrayLike, b: npt.ArrayLike, profile: Profile | None = None, nthreads: int = 0
) -> npt.NDArray[np.int64]:
    """The fewest edge steps between `a[i]` and `b[i]`, as int64, NumPy-broadcast.

    Steps cross the folded edges between base cells as `neighbours` does, so
    `grid_distance(c, n) == 1` for every edge neighbour n of c and the cells of
    `grid_ring(c, k)` are those at distance k. Defined for two cells of one
    level (the grid of a level is connected); a pair at two levels is refused
    with its index named, as is a value that is not a cid.
    """
    x, y = np.broadcast_arrays(_cids(np.atleast_1d(np.asarray(a))), _cids(np.atleast_1d(np.asarray(b))))
    return _zarel._grid_distance(np.ascontiguousarray(x), np.ascontiguousarray(y), profile, _args.nthreads(nthreads))


def cells_valid(cids: npt.ArrayLike, profile: Profile | None = None, nthreads: int = 0) -> npt.NDArray[np.bool_]:
    """Whether each value is a cid of the profile's grid, as a bool array.

    `cids` is any one-dimensional array-like of integers; negative ones (in a
    signed integer array) answer False rather than raising.
    """
    arr = np.asarray(cids)
    if arr.dtype.kind == "i" and arr.ndim == 1:
        fits = arr >= 0
        out = np.zeros(arr.shape, dtype=bool)
        out[fits] = _zarel._cells_valid(arr[fits].astype(np.uint64), profile, _args.nthreads(nthreads))
        return out
    return _zarel._cells_valid(_cids(cids), profile, _args.nthreads(nthreads))


def to_dggs_json(tree: Tree, zone: int | str | None = None, field: str = "coverage") -> dict[str, Any]:
    """`tree.to_dggs_json(zone, field)` with `zone` a cid, a suid, or None for the tree's enclosing zone.

    None takes `enclosing_zone(tree)`, the deepest zone holding the whole tree;
    a tree without one (empty, or over several base cells) is refused: write
    it with `dggs_json_zones`.
    """
    if zone is None:
        zone = _zarel.enclosing_zone(tree)
        if zone is None:
            raise ValueError("the tree has no enclosing zone (it is empty or spans several base cells); "
                             "dggs_json_zones writes one document per zone")
    elif isinstance(zone, str):
        zone = _zarel.suid_to_cid(zone)
    return tree.to_dggs_json(zone, field)
