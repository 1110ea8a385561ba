"""Every refusal a caller can meet, with its exception class and exact message,
and for arguments that fail to convert, the note naming the argument."""
import numpy as np
import pytest

from zarel import _zarel as z
from zarel import (Profile, Tree, cell_at, cells_geojson, cid_to_suid, neighbours, position, subzone_at, subzone_index,
                   subzones, suid_to_cid)

T2, T5 = Tree.from_cells([9], 2), Tree.from_cells([9], 5)
LARGEST = 2251419529454986814  # base 5 followed by eighteen 8s
BAD_BASE = "cid 15 names base 6, outside [0, 6)"
F, U = np.zeros(3), np.zeros(3, dtype=np.uint64)
NOT_CONTIGUOUS = "array is not contiguous: The given array is not contiguous or is misaligned."
INT_RANGE = "out of range integral type conversion attempted"
GEOJSON_POINTS = "the GeoJSON would hold more than the maximum 67108864 points"


def failing_after_9():
    yield 9
    raise KeyError("boom")


# (call, exception class, exact message or None, argument named in the note or None)
REFUSALS = [
    # Identifiers
    (lambda: cid_to_suid(0), ValueError, "not a cid: 0", None),
    (lambda: cid_to_suid(15), ValueError, BAD_BASE, None),
    (lambda: cid_to_suid(LARGEST + 1), ValueError, f"cid {LARGEST + 1} names base 6, outside [0, 6)", None),
    (lambda: cid_to_suid(2**64 - 1), ValueError, f"cid {2**64 - 1} is at level 19, deeper than the deepest level, 18",
     None),
    (lambda: cid_to_suid(-1), OverflowError, None, "cid"),
    (lambda: cid_to_suid(9.0), TypeError, None, "cid"),
    (lambda: suid_to_cid(""), ValueError, "empty suid", None),
    (lambda: suid_to_cid("A1"), ValueError, "unknown base cell 'A'", None),
    (lambda: suid_to_cid("'1"), ValueError, "unknown base cell '\\''", None),
    (lambda: suid_to_cid("N1\n"), ValueError, "bad suid digit '\\n'", None),
    (lambda: suid_to_cid("N9"), ValueError, "digit 9 out of range [0, 9)", None),
    (lambda: suid_to_cid("N" + "1" * 19), ValueError, "path of 19 digits is deeper than the deepest level, 18", None),
    (lambda: suid_to_cid("N" + "1" * 100 + "x"), ValueError, "bad suid digit 'x'", None),
    (lambda: suid_to_cid(983), TypeError, None, "suid"),
    # Zones
    (lambda: cell_at(6, 1, 0, 0), ValueError, "base 6 out of range [0, 6)", None),
    (lambda: cell_at(0, 1, 3, 0), ValueError, "(3, 0) outside a 3x3 base cell at level 1", None),
    (lambda: cell_at(0, 18, 3**18, 0), ValueError, f"({3**18}, 0) outside a {3**18}x{3**18} base cell at level 18",
     None),
    (lambda: position(8), ValueError, "not a cid: 8", None),
    (lambda: subzones(983, 10), ValueError, "depth 10 has too many sub-zones", None),
    (lambda: subzones(983, 41), ValueError, "level 41 overflows", None),
    (lambda: subzone_at(983, 1, 9), ValueError, "index 9 outside the 9 sub-zones at depth 1", None),
    (lambda: subzone_at(9, 40, 2**64 - 1), ValueError,
     "index 18446744073709551615 outside the 18446744073709551615 sub-zones at depth 40", None),
    # 3^50 sub-zones saturate the count; the bottom row then overflows the product.
    (lambda: subzone_at(cell_at(0, 18, 3**18 - 1, 0), 25, 0), ValueError, "depth 25 below level 18 overflows", None),
    (lambda: subzone_at(9, 19, 0), ValueError, "level 19 is deeper than the deepest level, 18", None),
    (lambda: subzone_at(8, 1, 0), ValueError, "not a cid: 8", None),
    (lambda: subzone_index(12, 81), ValueError, "12 is not an ancestor of 81", None),
    (lambda: subzone_index(983, 12), ValueError, "983 is not an ancestor of 12", None),
    (lambda: subzone_index(983, 983 * 9 + 9), ValueError, "983 is not an ancestor of 8856", None),
    (lambda: cell_at(2**32, 0, 0, 0), OverflowError, None, "base"),
    (lambda: cell_at(0, 0, 0, 1.0), TypeError, None, "col"),
    (lambda: cell_at(-1, "x", 0, 0), OverflowError, None, "base"),  # arguments convert in order
    (lambda: subzone_at(9, 2**32, 0), OverflowError, None, "depth"),
    (lambda: subzone_index(9, None), TypeError, None, "cid"),
    (lambda: subzones(9, -1), OverflowError, None, "depth"),
    (lambda: neighbours(cid=[9]), TypeError, None, "cid"),
    (lambda: neighbours(9, profile=5), TypeError, None, "profile"),
    # Profiles
    (lambda: Profile(aperture=4097), ValueError, "need 2 <= A <= 4096 and B >= 1, got A=4097, B=6", None),
    (lambda: Profile(n_base=0), ValueError, "need 2 <= A <= 4096 and B >= 1, got A=9, B=0", None),
    (lambda: Profile(aperture=2, n_base=3), ValueError, "B=3 > A(A-1)=2: the leading block would not be two digits",
     None),
    (lambda: Profile(aperture=2, n_base=2), ValueError, "aperture 2 is not a square; no rHEALPix N_side", None),
    (lambda: Profile(hash="SHA256"), ValueError, 'unknown hash id "SHA256"', None),
    (lambda: Profile(hash='a"b\\c\n'), ValueError, 'unknown hash id "a\\"b\\\\c\\n"', None),
    (lambda: Profile(lon_0_udeg=180_000_001), ValueError, "lon_0 180000001 micro-degrees outside [-180, 180] degrees",
     None),
    # Checks run in order: the squares are refused before the ellipsoid.
    (lambda: Profile(north_square=4, a_um=0), ValueError, "north_square/south_square must be in 0..3", None),
    (lambda: Profile(a_um=0), ValueError, "ellipsoid a and inv_f must be positive", None),
    (lambda: Profile(tick_us=0), ValueError, "tick_us must be >= 1", None),
    (lambda: Profile(aperture=-1), OverflowError, INT_RANGE, "aperture"),
    (lambda: Profile(north_square=256), OverflowError, INT_RANGE, "north_square"),
    (lambda: Profile(epoch_us=2**63), OverflowError, INT_RANGE, "epoch_us"),
    (lambda: Profile(a_um=2**64), OverflowError, INT_RANGE, "a_um"),
    (lambda: Profile(aperture=9.0), TypeError, None, "aperture"),
    (lambda: Profile(hash=b"sha256"), TypeError, None, "hash"),
    # Trees
    (lambda: Tree.from_cells([], 19), ValueError, "depth 19 is deeper than the deepest level, 18", None),
    (lambda: Tree.from_cells([729], 1), ValueError, "cid 729 is at level 2, deeper than 1", None),
    (lambda: Tree.from_cells([9, 8], 3), ValueError, "not a cid: 8", None),
    (lambda: Tree.from_cells([15], 3), ValueError, BAD_BASE, None),
    (lambda: Tree.from_cells(iter([9, 10, -1]), 3), OverflowError, None, "cids"),
    (lambda: Tree.from_cells(5, 3), TypeError, None, None),
    (lambda: Tree.from_cells([9], -1), OverflowError, None, None),
    (lambda: Tree.from_cells([9], 3, profile=5), TypeError, "'int' object is not an instance of 'Profile'",
     "profile"),
    (lambda: Tree.from_cells(failing_after_9(), 3), KeyError, None, None),
    (lambda: Tree.from_cells([], 1).covers(729), ValueError, "cid 729 is at level 2, deeper than 1", None),
    (lambda: T2.open(9 * 729), ValueError, "cid 6561 is at level 3, deeper than 2", None),
    (lambda: T2.open(3), ValueError, "not a cid: 3", None),
    (lambda: T5.prove(T5, "Union"), ValueError, 'unknown op "Union"', None),
    (lambda: T5.prove(T5, 'x"\\\n'), ValueError, 'unknown op "x\\"\\\\\\n"', None),
    (lambda: T5.prove(Tree.from_cells([9], 6), "union"), ValueError,
     "depth mismatch: 5 vs 6; depth is part of a root's identity", None),
    (lambda: T5.prove(T5, 1), TypeError, None, "op"),
    # Rasters
    (lambda: z.raster_cells(9), ValueError, "a raster at level 9 is too large", None),
    (lambda: z.raster_cells(19), ValueError, "level 19 is deeper than the deepest level, 18", None),
    (lambda: z.raster_index([9, 10, 81]), ValueError, "cid 81 is at level 1, the first at 0", None),
    (lambda: z.raster_index([8]), ValueError, "not a cid: 8", None),
    (lambda: z.raster_index([cell_at(0, 9, 0, 0)]), ValueError, "a raster at level 9 is too large", None),
    (lambda: z.raster_index("9"), TypeError, "Can't extract `str` to `Vec`", None),
    (lambda: z.halo_index(9), ValueError, "a halo index at level 9 is too large", None),
    (lambda: z.halo_index(2, 10), ValueError, "a halo of 10 is wider than a base cell of 9 at level 2", None),
    (lambda: z.halo_index(0, 1, Profile(n_base=5)), ValueError,
     "the rHEALPix layout has 6 base cells, the profile has 5", None),
    (lambda: z.halo_index(41), ValueError, "level 41 overflows", None),
    (lambda: z.raster_index({9, 10}), TypeError, None, "cids"),
    (lambda: z.raster_index([9, -1]), OverflowError, None, "cids"),
    (lambda: z.raster_cells(-1), OverflowError, None, "level"),
    (lambda: z.halo_index(1, 2**32), OverflowError, None, "width"),
    (lambda: Tree.from_raster(bytes(485), 2), ValueError, "raster has 485 cells, depth 2 needs 486", None),
    (lambda: Tree.from_raster(b"", 9), ValueError, "a raster at level 9 is too large", None),
    (lambda: Tree.from_raster(b"", 41), ValueError, "level 41 overflows", None),
    (lambda: Tree.from_cells([], 9).raster(), ValueError, "a raster at level 9 is too large", None),
    (lambda: Tree.from_raster(bytearray(6), 0), TypeError, None, None),
    (lambda: Tree.from_raster(np.zeros(6, np.uint8), 0), TypeError, None, None),
    (lambda: Tree.from_raster(bytes(6), -1), OverflowError, None, None),
    # Zone data
    (lambda: T2.to_dggs_json(9 * 729), ValueError, "cid 6561 is at level 3, deeper than 2", None),
    (lambda: T2.to_dggs_json(15), ValueError, BAD_BASE, None),
    (lambda: T2.to_dggs_json(3), ValueError, "not a cid: 3", None),
    (lambda: Tree.from_cells([], 10).to_dggs_json(9), ValueError, "depth 10 has too many sub-zones", None),
    (lambda: T2.to_dggs_json(9, field=5), TypeError, None, None),
    (lambda: T2.to_dggs_json(-1), OverflowError, None, None),
    (lambda: Tree.from_dggs_json({"x": float("nan")}), ValueError, None, None),
    (lambda: Tree.from_dggs_json({}, depth="1"), TypeError, None, None),
    # Display GeoJSON
    (lambda: cells_geojson([9, 15]), ValueError, BAD_BASE, None),
    (lambda: cells_geojson([3]), ValueError, "not a cid: 3", None),
    (lambda: cells_geojson([9], n=65537), ValueError, "n 65537 is above the maximum 65536 points per edge", None),
    # `n` is refused as _cell_boundaries refuses it, before the cells and whatever they are.
    (lambda: cells_geojson([10, 3], n=65537), ValueError, "n 65537 is above the maximum 65536 points per edge", None),
    (lambda: cells_geojson([9], Profile(n_base=7)), ValueError, "the rHEALPix layout has 6 base cells, the profile has 7",
     None),
    # Memory stays with the output: a request past the point bound fails first.
    (lambda: cells_geojson([81] * 300, n=65536), ValueError, GEOJSON_POINTS, None),
    # Claimed lengths cost nothing.
    (lambda: cells_geojson(range(2**62)), ValueError, GEOJSON_POINTS, None),
    (lambda: cells_geojson("9"), TypeError, "Can't extract `str` to `Vec`", None),
    (lambda: cells_geojson([9, -1]), OverflowError, None, None),
    (lambda: cells_geojson([9], n=-1), OverflowError, None, None),
    (lambda: cells_geojson(5), TypeError, None, None),
    (lambda: T2.geojson(n="3"), TypeError, None, None),
    # Batch functions: conversions in parameter order, then the checks before any work.
    (lambda: z._cells_from_lonlat([0.0], F, 3), TypeError, None, "lon"),
    (lambda: z._cells_from_lonlat([1.0], F, -1), TypeError, None, "lon"),
    (lambda: z._cells_from_lonlat(F, F.astype(np.float32), 3), TypeError, None, "lat"),
    (lambda: z._cells_from_lonlat(F.astype(">f8"), F, 3), TypeError, None, "lon"),
    (lambda: z._cells_from_lonlat(F, F, -1), OverflowError, None, "level"),
    (lambda: z._cells_from_lonlat(F, F, 3, profile=5), TypeError, None, "profile"),
    (lambda: z._cells_from_lonlat(F, F, 3, nthreads=-1), OverflowError, None, "nthreads"),
    (lambda: z._cells_to_lonlat(U.astype(np.int64)), TypeError, None, "cids"),
    (lambda: z._cells_to_lonlat(np.zeros((2, 3), np.uint64)), TypeError, None, "cids"),
    (lambda: z._cells_to_lonlat([9, 10]), TypeError, None, "cids"),
    (lambda: z._cell_boundaries(U, -1), OverflowError, None, "n"),
    (lambda: z._cell_boundaries(U, 2.0), TypeError, None, "n"),
    (lambda: z._cell_neighbours(memoryview(U)), TypeError, None, "cids"),
    (lambda: z._cell_neighbours(U, nthreads="2"), TypeError, None, "nthreads"),
    (lambda: z._cells_from_lonlat(F[:0], F[:0], 16), ValueError, "level 16 is above the maximum 15", None),
    (lambda: z._cells_from_lonlat(np.zeros(6)[::2], F[:2], 16), ValueError, "level 16 is above the maximum 15", None),
    (lambda: z._cells_from_lonlat(np.zeros(6)[::2], F[:2], 3), ValueError, NOT_CONTIGUOUS, None),
    (lambda: z._cells_from_lonlat(F, np.zeros(6)[::2], 3), ValueError, NOT_CONTIGUOUS, None),
    (lambda: z._cells_from_lonlat(F, F[:2], 3), ValueError, "3 longitudes but 2 latitudes", None),
    (lambda: z._cells_from_lonlat(F, F[:2], 3, nthreads=10**6), ValueError, "3 longitudes but 2 latitudes", None),
    (lambda: z._cell_boundaries(U + 9, 65537), ValueError, "n 65537 is above the maximum 65536 points per edge", None),
    (lambda: z._cell_boundaries(U + 9, 2**64 - 1), ValueError,
     "n 18446744073709551615 is above the maximum 65536 points per edge", None),
    # 4097 polar cells of 4 * 65535 + 1 points each pass 2^30 points: refused before allocating.
    (lambda: z._cell_boundaries(np.full(4097, 9 * 9 + 1, np.uint64), 65536), ValueError,
     "the boundaries would hold 1073991677 points, above the maximum 1073741824", None),
    (lambda: z._cells_to_lonlat(np.arange(9, 15, dtype=np.uint64)[::2]), ValueError, NOT_CONTIGUOUS, None),
    (lambda: z._cell_neighbours(np.arange(9, 15, dtype=np.uint64)[::-1]), ValueError, NOT_CONTIGUOUS, None),
    (lambda: z._cell_neighbours(np.frombuffer(bytes(17), np.uint64, 2, 1)), ValueError, NOT_CONTIGUOUS, None),
    # Binding: missing, surplus, duplicate and unknown arguments; no ordering of profiles, none of a tree against a number; no direct construction.
    (lambda: position(), TypeError, None, None),
    (lambda: position(9, cid=9), TypeError, None, None),
    (lambda: position(9, bogus=1), TypeError, None, None),
    (lambda: Profile(colour=1), TypeError, None, None),
    (lambda: Profile(*range(11)), TypeError, None, None),
    (lambda: Profile() < Profile(), TypeError, None, None),
    (lambda: T2 < 5, TypeError, None, None),
    (lambda: Tree(), TypeError, None, None),
    (lambda: z._cells_from_lonlat(F, F), TypeError, None, None),
]


@pytest.mark.parametrize("call, exc, message, arg", REFUSALS)
def test_refusals(call, exc, message, arg):
    with pytest.raises(exc) as e:
        call()
    if message is not None:
        assert str(e.value) == message
    if arg is not None:
        assert e.value.__notes__ == [f"while processing '{arg}'"]
