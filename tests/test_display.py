"""Display GeoJSON and the batch boundaries, checked over every cell of the low
levels and a sample of deep ones: closed, counter-clockwise rings that shapely
accepts, no jump across the antimeridian, caps through the pole, the nucleus
inside, and the same points in both."""

import math

import numpy as np
import pytest
import shapely

from zarel import (OGC_RHEALPIX, ZAREL_1, Profile, Tree, _cell_boundaries, _cells_to_lonlat, cell_at, cells_geojson,
                   cid_to_suid, raster_cells)


def level_cells(level, profile=None):
    if level <= 3:
        return np.frombuffer(raster_cells(level, profile), np.uint64).tolist()
    # Deep levels: random cells and the polar squares' centre cells, which hold the poles.
    rng, n = np.random.default_rng(level), math.isqrt((profile or OGC_RHEALPIX).aperture) ** level
    rows = rng.integers(0, n, (300, 3)).tolist() + [[0, n // 2, n // 2], [5, n // 2, n // 2]]
    return [cell_at(b % 6, level, r, c, profile) for b, r, c in rows]


@pytest.mark.parametrize("profile", [None, ZAREL_1, Profile(north_square=2, south_square=3), Profile(aperture=4)])
@pytest.mark.parametrize("level, n", [(0, 3), (1, 4), (2, 3), (3, 2), (5, 4), (9, 4)])
def test_every_cell_of_a_level(level, n, profile):
    cids = level_cells(level, profile)
    rhealpix = profile is None or profile.aperture == 9
    doc = cells_geojson(cids, profile, n)
    assert len(doc["features"]) == len(cids)
    lon, lat = _cells_to_lonlat(np.array(cids, np.uint64), profile)
    coords, offsets = _cell_boundaries(np.array(cids, np.uint64), n, profile)
    for i, (cid, f) in enumerate(zip(cids, doc["features"])):
        assert list(f) == ["geometry", "id", "properties", "type"]
        suid = cid_to_suid(cid) if rhealpix else None
        assert f["id"] == str(cid) and f["properties"] == {"cid": cid, "level": level, "suid": suid}
        (ring,) = f["geometry"]["coordinates"]
        assert ring[0] == ring[-1] and all(type(x) is float for point in ring for x in point)
        assert ring == coords[offsets[i] : offsets[i + 1]].tolist()
        poly = shapely.Polygon(ring)
        assert poly.is_valid, (cid, shapely.is_valid_reason(poly))
        assert poly.exterior.is_ccw
        lons = [p[0] for p in ring]
        cap = any(abs(p[1]) == 90 for p in ring)
        if cap and not rhealpix:
            continue  # quarter caps around a pole shared by four cells: the geometry's own tests
        if cap:
            # Closed through the pole: the cap spans every longitude.
            assert (min(lons), max(lons)) == (-180, 180) and len(ring) == (4 * (n - 1) + 5 if n > 2 else 9)
            continue
        assert max(lons) - min(lons) < 180
        assert all(-180 <= x < 540 for x in lons)
        nucleus = shapely.Point(lon[i], lat[i])
        shifted = shapely.Point(lon[i] + 360, lat[i])
        assert poly.contains(nucleus) or poly.contains(shifted), cid


@pytest.mark.parametrize("n, polar, cap", [(0, 5, 9), (1, 5, 9), (2, 5, 9), (3, 9, 13), (5, 17, 21)])
def test_ring_lengths(n, polar, cap):
    doc = cells_geojson([9, 10, 81, 85], n=n)
    lengths = [len(f["geometry"]["coordinates"][0]) for f in doc["features"]]
    # Base 0 and its centre child hold the pole; base 1 is equatorial, and
    # drawn with base 0 it shares the points of their common edge.
    assert lengths == [cap, 5 + max(n - 2, 0), polar, cap]
    assert len(cells_geojson([10], n=n)["features"][0]["geometry"]["coordinates"][0]) == 5


def test_collection_shape():
    assert cells_geojson([]) == {"features": [], "type": "FeatureCollection"}
    doc = cells_geojson((10, 10))
    assert doc["features"][0] == doc["features"][1]
    # Equatorial cells are their four corners whatever `n` is within its bound.
    assert cells_geojson([983, 10], n=65536) == cells_geojson([983, 10])
    t, z1 = Tree.from_cells([9, 100, 983], 3), Tree.from_cells([9], 1, ZAREL_1)
    assert (t.geojson(), t.geojson(n=5), z1.geojson()) == (
        cells_geojson(t.cells()), cells_geojson(t.cells(), n=5), cells_geojson([9], ZAREL_1))
