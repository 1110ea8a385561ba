"""Geometry objects in, display GeoJSON out.

Tables of geometries take the batch road: lists of GeoJSON dicts, shapely
arrays, GeoSeries, WKB and Arrow arrays become flat coordinate and offset
arrays (`_tables`), which the module fills one geometry per pool task without
the interpreter lock, a chunk of rows at a time. A single shapely polygon
takes the same road, its coordinates read directly. Progress, where asked
for, is reported on the calling thread through the module's hook, which its
poll for Ctrl-C calls while the work runs.

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
density, and `GeoTree(tree, outline=True)` as the coverage's outline.
"""

from __future__ import annotations

import contextlib
import json
import re
from collections.abc import Iterator
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

_ONE = np.array([0, 1], dtype=np.int64)


def _polygon_arrays(geometry: Any) -> _tables.Arrays:
    """A shapely geometry's flat arrays; a plain polygon, the usual case, without the table's detour."""
    if geometry.geom_type == "Polygon" and not geometry.is_empty:
        import shapely  # type: ignore[import-untyped,unused-ignore]

        xy = shapely.get_coordinates(geometry).ravel()
        if len(geometry.interiors):
            rings = _tables.offsets(shapely.get_num_coordinates(shapely.get_rings(geometry)))
        else:
            rings = np.array([0, xy.size // 2], dtype=np.int64)
        return xy, rings, np.array([0, rings.size - 1], dtype=np.int64), _ONE
    return _tables.shapely_arrays(_tables.objects([geometry]))


def _one(geometry: Any, level: int, form: str, profile: Profile | None,
         mode: Literal["nucleus", "inside", "overlap"]) -> Any:
    """A single shapely geometry down the array road; its refusals name no row."""
    try:
        return _zarel._cover_polygons(*_polygon_arrays(geometry), level, form, profile, mode=mode)
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


_FEW_POINTS = 64  # up to this many, plain Python compares faster than NumPy starts


def _on_earth(polygons: list[Any]) -> bool:
    """Whether every position of a small document is a pair of plain numbers on the Earth (False: look closer)."""
    lon, lat = _tables.LON_LIMIT, _tables.LAT_LIMIT
    try:
        points = 0
        for polygon in polygons:
            for ring in polygon:
                points += len(ring)
                if points > _FEW_POINTS:
                    return False
                for pos in ring:
                    x, y = pos[0], pos[1]
                    if type(x) not in (int, float) or type(y) not in (int, float) or not (
                            -lon <= x <= lon and -lat <= y <= lat):  # NaN fails here too
                        return False
        return True
    except (TypeError, IndexError, KeyError):
        return False


def _check_coordinates(doc: Any) -> None:
    """Refuses a point that is not finite or off the Earth, as the batch road does.

    A document whose shape is wrong is left to the module, whose messages say what
    is wrong with it.
    """
    try:
        polygons = _tables.polygons_of(doc)
    except (ValueError, TypeError):
        return
    # All on the Earth, the usual case, is settled at once; the full reading names the first point that is not.
    if _on_earth(polygons):
        return
    try:
        rings = [_tables.ring_xy(ring, "") for polygon in polygons for ring in polygon]
    except (ValueError, TypeError):
        return
    if not rings:
        return
    with np.errstate(invalid="ignore"):
        if (np.abs(np.concatenate(rings) if len(rings) > 1 else rings[0]) <= _tables.LIMITS).all():
            return
    error = _tables.coordinate_error(_tables.geojson_arrays([doc]))
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
def polyfill(geojson: Any, level: int, profile: Profile | None = None, *, mode: Literal["nucleus", "inside", "overlap"] = "nucleus",
             progress: _Progress = False) -> list[int]:
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

    `progress=True` shows a `tqdm.auto` bar of one polygon while the fill
    runs, its time redrawn every 10 ms or so (``pip install
    'zarel[progress]'``): a sign of life for fills of minutes. A callable is
    called instead as `progress(0, 1)` meanwhile and `progress(1, 1)` at the
    end, on the calling thread; an exception it raises ends the fill.
    """
    level = _args.level(level)
    if _tables.is_shapely(geojson):
        return _single(progress, lambda: list(_one(geojson, level, "cells", profile, mode)[0].tolist()))
    return _single(progress, lambda: _read(_zarel.polyfill, geojson, "polyfill_polygons", level, profile, mode=mode))


@level_was("resolution")
def fingerprint_polygon(geojson: Any, level: int, profile: Profile | None = None, *, mode: Literal["nucleus", "inside", "overlap"] = "nucleus",
                        progress: _Progress = False) -> str:
    """Hex root of the canonical coverage of a GeoJSON polygon at `level`.

    Also takes shapely geometries and objects with `__geo_interface__`; `mode`
    and `progress` as in `polyfill`.
    """
    level = _args.level(level)
    if _tables.is_shapely(geojson):
        return _single(progress, lambda: str(_one(geojson, level, "roots", profile, mode)[0].tobytes().hex()))
    return _single(progress, lambda: _read(_zarel.fingerprint_polygon, geojson, "fingerprint_polygons", level,
                                           profile, mode=mode))


@level_was("resolution")
def tree_from_geojson(geojson: Any, level: int, profile: Profile | None = None, *, mode: Literal["nucleus", "inside", "overlap"] = "nucleus",
                      progress: _Progress = False) -> Tree:
    """The canonical coverage of a GeoJSON Polygon/MultiPolygon at `level` (nucleus rule by default).

    `Tree.from_geojson` that also takes shapely geometries and objects with
    `__geo_interface__` (see `polyfill`); `mode` and `progress` as in `polyfill`.
    """
    level = _args.level(level)
    if _tables.is_shapely(geojson):
        return _single(progress, lambda: _one(geojson, level, "trees", profile, mode)[0])
    return _single(progress, lambda: _read(Tree.from_geojson, geojson, "trees_from_polygons", level, profile,
                                           mode=mode))


def tree_from_cells(cids: Any, depth: int, profile: Profile | None = None, *, progress: _Progress = False) -> Tree:
    """`Tree.from_cells(cids, depth, profile)`, showing `progress` as in
    `polyfill`: a bar (or calls of `progress(done, total)`) that shows the
    build is alive, for builds of tens of millions of cids."""
    return _single(progress, lambda: Tree.from_cells(cids, depth, profile), "tree")


def _single(progress: _Progress, fill: Callable[[], _R], unit: str = "polygon") -> _R:
    """`fill()`, one call's work, reporting `progress` as it runs."""
    if progress is False:
        return fill()
    report = _Reporter(progress, 1, unit)
    with report.hooked(lambda _: 0):
        out = fill()
        report.tick(1)
    return out


# Rows converted and filled at a time: beside its result a call holds one
# chunk's flat arrays and shapely objects.
_CHUNK_ROWS = 16384
# Whole-call refusals of polyfill_polygons, counted over every chunk.
_MAX_CELLS = 1 << 26
_COVER_COUNT = re.compile(r"the polygons cover (\d+) cells")
_ROW = re.compile(r"geometry (\d+): ")

_Progress = bool | Callable[[int, int], object]


class _Reporter:
    """Where a call's progress goes: a tqdm bar, a callable of (done, total), or nowhere.

    `tick(done)` reports on the calling thread, both while the module works
    (through its hook, every 10 ms or so) and between chunks of rows; the
    counts never go down.
    """

    def __init__(self, progress: Any, total: int, unit: str) -> None:
        self.total, self.bar, self.sink = total, None, None
        if progress is True:
            try:
                from tqdm.auto import tqdm  # type: ignore[import-untyped,unused-ignore]
            except ModuleNotFoundError as e:
                raise ModuleNotFoundError("progress=True needs tqdm: pip install 'zarel[progress]'",
                                          name=e.name) from None
            self.bar = tqdm(total=total, unit=unit)
        elif progress is not False:
            if isinstance(progress, bool | np.bool_) or not callable(progress):
                raise TypeError("progress must be True, False or a callable(done, total), not "
                                f"{type(progress).__name__}")
            self.sink = progress

    def tick(self, done: int) -> None:
        if self.bar is not None:
            if done > self.bar.n:
                self.bar.update(done - self.bar.n)
            else:
                self.bar.refresh()  # no row more, but the time spent shows
        elif self.sink is not None:
            self.sink(done, self.total)

    @contextlib.contextmanager
    def hooked(self, count: Callable[[int | None], int]) -> Iterator[None]:
        """Within, the module's work ticks `count(rows it has done, or None)`."""
        if self.bar is None and self.sink is None:
            yield
            return
        outer = _zarel._progress_hook(lambda done: self.tick(count(done)))
        try:
            yield
        finally:
            _zarel._progress_hook(outer)  # a call made by another's progress callable hands its hook back
            if self.bar is not None:
                self.bar.close()


def _renamed(error: Exception, first: int) -> Exception:
    """A chunk's refusal of a row, naming the row by its index in the whole table."""
    named = _ROW.match(str(error))
    if not first or named is None:
        return error
    return type(error)(f"geometry {int(named.group(1)) + first}: {str(error)[named.end():]}")


def _cover(geoms: Any, level: int, form: str, profile: Profile | None, nthreads: int,
           mode: Literal["nucleus", "inside", "overlap"], progress: _Progress,
           take: Callable[[int, int, Any], None]) -> None:
    """Fills the table a chunk of rows at a time, handing each chunk's result to `take(first, rows, result)`.

    For the "cells" form a chunk over the bound of materialised cells hands
    over the module's refusal instead, and the next chunks are still filled:
    a failing row after it is the one named, as in one call over the table.
    """
    level, nthreads = _args.level(level), _args.nthreads(nthreads)
    rows = _tables.table_rows(geoms)
    report = _Reporter(progress, rows.count, "row")
    first = 0
    with report.hooked(lambda done: first + (done or 0)):
        for first in range(0, rows.count, _CHUNK_ROWS):
            last = min(rows.count, first + _CHUNK_ROWS)
            try:
                result = _zarel._cover_polygons(*rows.read(first, last), level, form, profile, nthreads, mode=mode)
            except (ValueError, TypeError) as error:
                if form != "cells" or not _COVER_COUNT.match(str(error)):
                    raise _renamed(error, first) from None
                result = error
            take(first, rows.count, result)
            report.tick(last)
        if not rows.count:
            report.tick(0)


@level_was("resolution")
@pooled
def fingerprint_polygons(
    geoms: Any, level: int, profile: Profile | None = None, nthreads: int = 0, *,
    mode: Literal["nucleus", "inside", "overlap"] = "nucleus", progress: _Progress = False,
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
    a private pool of that many workers; `mode` as in `polyfill`. Rows are
    read and filled 16,384 at a time, so the call holds little beside its
    result.

    `progress=True` shows a `tqdm.auto` bar of the rows done (a widget in
    notebooks; ``pip install 'zarel[progress]'``). A callable is called
    instead, as `progress(done, total)`: the rows done so far, rising to the
    table's length. Either is called on the calling thread, every 10 ms or
    so while the rows are filled; an exception it raises ends the call.
    """
    out: npt.NDArray[np.uint8] = np.empty((0, 32), np.uint8)

    def take(first: int, count: int, roots: npt.NDArray[np.uint8]) -> None:
        nonlocal out
        if len(roots) == count:  # the whole table at once, the module's own array
            out = roots
            return
        if not first:
            out = np.empty((count, 32), np.uint8)
        out[first:first + len(roots)] = roots

    _cover(geoms, level, "roots", profile, nthreads, mode, progress, take)
    return out


@level_was("resolution")
@pooled
def polyfill_polygons(
    geoms: Any, level: int, profile: Profile | None = None, nthreads: int = 0, *,
    mode: Literal["nucleus", "inside", "overlap"] = "nucleus", progress: _Progress = False,
) -> tuple[npt.NDArray[np.uint64], npt.NDArray[np.int64]]:
    """Each geometry's cells at `level` as the ragged pair `(cids, offsets)`.

    Geometry i's sorted cids are `cids[offsets[i]:offsets[i + 1]]`, equal to
    `polyfill(geoms[i], level)`. Refused above 2**26 cells for one
    geometry or for all together. `geoms`, `nthreads`, `mode` and `progress`
    as in `fingerprint_polygons`.
    """
    pairs: list[tuple[npt.NDArray[np.uint64], npt.NDArray[np.int64]]] = []
    cells = 0

    def take(first: int, count: int, pair: Any) -> None:
        nonlocal cells
        refused = _COVER_COUNT.match(str(pair)) if isinstance(pair, ValueError) else None
        more = int(refused.group(1)) if refused else int(pair[1][-1])
        if cells + more <= _MAX_CELLS:
            pairs.append(pair)
        else:  # past the bound the rest are only counted, so the refusal names the total
            pairs.clear()
        cells += more

    _cover(geoms, level, "cells", profile, nthreads, mode, progress, take)
    if cells > _MAX_CELLS:
        raise ValueError(f"the polygons cover {cells} cells at resolution {level}, more than the {_MAX_CELLS} "
                         "that polyfill materialises; use trees_from_polygons")
    if len(pairs) == 1:  # the whole table at once: the module's own arrays
        return pairs[0]
    offsets = np.zeros(1 + sum(len(p[1]) - 1 for p in pairs), np.int64)
    row = base = 0
    for _, ends in pairs:
        offsets[row + 1:row + len(ends)] = ends[1:] + base
        row, base = row + len(ends) - 1, base + int(ends[-1])
    return (np.concatenate([p[0] for p in pairs]) if pairs else np.empty(0, np.uint64)), offsets


@level_was("resolution")
@pooled
def trees_from_polygons(
    geoms: Any, level: int, profile: Profile | None = None, nthreads: int = 0, *,
    mode: Literal["nucleus", "inside", "overlap"] = "nucleus", progress: _Progress = False,
) -> list[Tree]:
    """Each geometry's coverage `Tree` at `level`, in input order.

    `geoms`, `nthreads`, `mode` and `progress` as in `fingerprint_polygons`.
    """
    trees: list[Tree] = []
    _cover(geoms, level, "trees", profile, nthreads, mode, progress, lambda _, __, some: trees.extend(some))
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
    `cid`, `suid`, `level`); with `outline=True` it is
    `tree.geojson(n, outline=True)`, one feature holding the coverage's
    outline. A tree's own `__geo_interface__` is `geojson()`.

    `geopandas.GeoDataFrame.from_features(GeoTree(tree, 8), crs="EPSG:4326")`
    gives one row per cell; `GeoTree(tree, outline=True)` one row.
    """

    __slots__ = ("tree", "n", "outline")

    def __init__(self, tree: Tree, n: int = 3, *, outline: bool = False) -> None:
        if not isinstance(tree, Tree):
            raise TypeError(f"GeoTree needs a Tree, got {type(tree).__name__}")
        self.tree = tree
        self.n = n
        self.outline = outline

    @property
    def __geo_interface__(self) -> dict[str, Any]:
        return self.tree.geojson(self.n, outline=self.outline)

    def __repr__(self) -> str:
        extra = ", outline=True" if self.outline else ""
        return f"GeoTree({self.tree!r}, n={self.n}{extra})"
