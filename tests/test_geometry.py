"""Grid geometry against independent oracles: PROJ's rHEALPix (through pyproj)
for the projection both ways, mpmath for the authalic latitude and the
ellipsoid's area, shapely for the quarter caps, and round trips between cells,
nuclei and points (the rings of aperture 9 are checked with the display GeoJSON)."""
import math
import random

import numpy as np
import pytest

from model import W0, cell_of_planar, proj_for, random_points, upper_left
from trees import random_cells
from zarel import _zarel as z
from zarel import OGC_RHEALPIX, ZAREL_1, Profile, cell_area_m2, cell_at, neighbours, polyfill, position

pyproj = pytest.importorskip("pyproj")
mpmath = pytest.importorskip("mpmath")
shapely = pytest.importorskip("shapely")

A, INV_F = 6378137.0, 298.257223563


def sample_points(n, seed):
    """Uniform points on the sphere plus the awkward places: poles, the
    antimeridian, base-cell edges and the polar squares' corners."""
    lon, lat = random_points(n, seed)
    edge_lat = 41.93785391016014  # geodetic latitude of authalic asin(2/3), near the squares' edges
    special_lon = np.array([-180, 180, -90, 0, 90, 45, -135, 179.999999, -179.999999, 0.5])
    special_lat = np.array([90, -90, edge_lat, -edge_lat, edge_lat + 1e-9, -edge_lat - 1e-9, 0, 89.9999, -89.9999])
    grid_lon, grid_lat = np.meshgrid(special_lon, special_lat)
    return np.concatenate([lon, grid_lon.ravel()]), np.concatenate([lat, grid_lat.ravel()])


@pytest.mark.parametrize("ns, ss", [(0, 0), (1, 3), (2, 2), (3, 1)])
@pytest.mark.parametrize("level", [0, 4, 10])
def test_point_lookup_matches_proj_forward(ns, ss, level):
    lon, lat = sample_points(50000, seed=level * 16 + ns * 4 + ss)
    x, y = proj_for(0, ns, ss).transform(lon, lat)
    base, row, col, u, v = cell_of_planar(np.asarray(x), np.asarray(y), level, ns, ss)
    p = Profile(lon_0_udeg=0, north_square=ns, south_square=ss)
    got = z._cells_from_lonlat(lon, lat, level, p)
    # Points within a micrometre of a cell edge may fall either side between the
    # two implementations; the pole and the antimeridian land well inside cells.
    n = 3**level
    margin = 1e-6 / (W0 / n)
    clear = (np.abs(u - np.round(u)) > margin) & (np.abs(v - np.round(v)) > margin)
    assert clear.mean() > 0.99
    want = [cell_at(int(b), level, int(r), int(c)) for b, r, c in zip(base[clear], row[clear], col[clear])]
    assert got[clear].tolist() == want


@pytest.mark.parametrize("lon_0_udeg", [0, 50000000, -123456789])
def test_nuclei_and_corners_match_proj_inverse(lon_0_udeg):
    rng = np.random.default_rng(lon_0_udeg & 0xFFFF)
    levels = rng.integers(0, 16, 20000)
    pos = [(int(rng.integers(6)), int(L), int(rng.integers(3**L)), int(rng.integers(3**L))) for L in levels]
    pos += [(b, L, r, c) for b in range(6) for L in (1, 5) for r in (0, 3**L - 1) for c in (0, 3**L - 1)]
    base, level, row, col = np.array(pos).T
    cids = np.array([cell_at(*p) for p in pos], dtype=np.uint64)
    p = Profile(lon_0_udeg=lon_0_udeg)
    ulx, uly = upper_left(base)
    w = W0 / 3.0**level

    def close(lon, lat, dx, dy, which=slice(None)):
        """(lon, lat) against PROJ's inverse of the point (dx, dy) cells from the upper-left corners."""
        plon, plat = proj_for(lon_0_udeg / 1e6).transform((ulx + (col + dx) * w)[which], (uly - (row + dy) * w)[which],
                                                          direction="INVERSE")
        # PROJ's inverse authalic series is shorter than ours: agreement to ~1e-8 degrees.
        assert np.max(np.abs(lat - plat)) < 1e-7
        polar = np.abs(plat) > 89.99
        dlon = np.abs((lon - plon + 180) % 360 - 180)
        assert np.max(dlon[~polar] * np.cos(np.radians(plat[~polar]))) < 1e-7

    lon, lat = z._cells_to_lonlat(cids, p)
    assert np.all((lon >= -180) & (lon < 180))
    close(lon, lat, 0.5, 0.5)
    # Equatorial rings run counter-clockwise from the upper-left corner: UL, LL, LR, UR, UL.
    # One level a call: cells drawn together at mixed levels carry their finer neighbours' corners.
    for L in np.unique(level):
        eq = (base >= 1) & (base <= 4) & (level == L)
        coords, offsets = z._cell_boundaries(cids[eq], 2, p)
        for k, (dx, dy) in enumerate([(0, 0), (0, 1), (1, 1), (1, 0)]):
            close(coords[offsets[:-1] + k, 0], coords[offsets[:-1] + k, 1], dx, dy, eq)


def eccentricity(inv_f):
    mpmath.mp.dps = 40
    f = 1 / mpmath.mpf(inv_f)
    return mpmath.sqrt(f * (2 - f))


def authalic_closed(inv_f):
    """The closed-form authalic latitude of geodetic `phi` (radians), in 40 digits."""
    e = eccentricity(inv_f)
    q = lambda t: (1 - e**2) * (t / (1 - (e * t) ** 2) - 1 / (2 * e) * mpmath.log((1 - e * t) / (1 + e * t)))
    return lambda phi: mpmath.asin(q(mpmath.sin(phi)) / q(1))


def test_authalic_radius_and_areas_against_mpmath():
    e = eccentricity(INV_F)
    ellipsoid_area = 2 * mpmath.pi * mpmath.mpf(A) ** 2 * (1 + (1 - e**2) / e * mpmath.atanh(e))
    for level in range(19):
        assert cell_area_m2(level) * 6 * 9**level == pytest.approx(float(ellipsoid_area), rel=1e-14)
        assert OGC_RHEALPIX.area_m2(level) == cell_area_m2(level) == cell_area_m2(level, ZAREL_1)
    for level, p in [(19, None), (40, None), (983, None), (2**32 - 1, None), (5, Profile(aperture=4096))]:
        deepest = 18 if p is None else 4
        for area in (lambda: cell_area_m2(level, p), lambda: (p or OGC_RHEALPIX).area_m2(level)):
            with pytest.raises(ValueError, match=f"^level {level} is deeper than the deepest level, {deepest}$"):
                area()
    sphere = Profile(inv_f_nano=10**18, a_um=10**12)  # nearly a sphere of radius 10^6 m
    assert sphere.area_m2(0) * 6 == pytest.approx(4 * math.pi * 1e12, rel=1e-8)
    # Every grid the point functions draw tiles the ellipsoid; the rest are refused as they refuse them.
    for aperture, level in [(4, 7), (4096, 3), (16, 9)]:
        p = Profile(aperture=aperture)
        assert p.area_m2(level) * 6 * aperture**level == pytest.approx(float(ellipsoid_area), rel=1e-12)
    twelve = Profile(n_base=12)
    for call in (lambda: cell_area_m2(3, twelve), lambda: twelve.area_m2(3),
                 lambda: z._cells_from_lonlat(np.zeros(1), np.zeros(1), 3, twelve)):
        with pytest.raises(ValueError, match="^the rHEALPix layout has 6 base cells, the profile has 12$"):
            call()
    for level in range(5, 16):
        with pytest.raises(ValueError, match=f"^level {level} is deeper than the deepest level, 4$"):
            z._cells_from_lonlat(np.full(1, 10.0), np.full(1, 10.0), level, Profile(aperture=4096))


@pytest.mark.parametrize("level", range(16))
def test_nucleus_looks_up_to_its_cell(level):
    n = 3**level
    cells = random_cells(random.Random(level), level, 3000, top=level)
    cells += [cell_at(b, level, r, c) for b in range(6) for r in {0, n // 2, n - 1} for c in {0, n // 2, n - 1}]
    cids = np.array(cells, dtype=np.uint64)
    # Strong flattenings take the closed-form inverse.
    for p in (OGC_RHEALPIX, ZAREL_1, Profile(north_square=3, south_square=2), Profile(inv_f_nano=3 * 10**9),
              Profile(inv_f_nano=149 * 10**9)):
        lon, lat = z._cells_to_lonlat(cids, p)
        assert np.array_equal(z._cells_from_lonlat(lon, lat, level, p), cids)


def test_base_cap_runs_along_the_squares_edge():
    # Cells straddling the antimeridian are checked with the display GeoJSON.
    base_cap, _ = z._cell_boundaries(np.array([9], np.uint64))
    assert base_cap[0, 0] == -180 and base_cap[-1, 0] == -180
    assert np.allclose(base_cap[1:-3, 1], 41.9379, atol=1e-4)


@pytest.mark.parametrize("aperture, n_base", [(9, 5), (9, 7), (4096, 4096 * 4095)])
def test_geometry_needs_six_base_cells(aperture, n_base):
    # The last base cell's cid is valid in its hierarchy but has no corner on the plane.
    p = Profile(aperture=aperture, n_base=n_base)
    cids = np.array([aperture + n_base - 1, aperture], np.uint64)
    square = [[0, 0], [10, 0], [10, 10], [0, 10]]
    message = f"the rHEALPix layout has 6 base cells, the profile has {n_base}$"
    for call in (lambda: z._cells_to_lonlat(cids, p), lambda: z._cell_boundaries(cids, 3, p),
                 lambda: z._cell_neighbours(cids, p), lambda: z._cells_from_lonlat(np.zeros(2), np.zeros(2), 1, p),
                 lambda: neighbours(aperture, p), lambda: polyfill({"type": "Polygon", "coordinates": [square]}, 1, p)):
        with pytest.raises(ValueError, match=message):
            call()
    # Positions need no layout.
    assert position(int(cids[0]), p) == (n_base - 1, 0, 0, 0)


@pytest.mark.parametrize("lon_0_udeg, ns, ss", [(50000000, 0, 0), (0, 1, 3), (-123456789, 2, 1), (180000000, 3, 2)])
@pytest.mark.parametrize("level", [0, 5, 15])
def test_every_point_on_the_polar_edges_lands_in_a_nearby_cell(lon_0_udeg, ns, ss, level):
    # The four base meridians at the squares' edge latitude, and the doubles around them.
    beta = authalic_closed(INV_F)
    lat_edge = float(mpmath.degrees(mpmath.findroot(lambda p: beta(p) - mpmath.asin(mpmath.mpf(2) / 3), 0.73)))
    lat0 = np.array([lat_edge, -lat_edge, 41.93785391016016, -41.93785391016016, 90, -90])
    lon0 = lon_0_udeg / 1e6 + np.array([-180.0, -90.0, 0.0, 90.0, 180.0])
    steps = np.arange(-6, 7)
    lat = np.concatenate([lat0 + s * np.spacing(lat0) for s in steps])
    lon = np.concatenate([lon0 + s * np.spacing(lon0) for s in steps])
    lon, lat = (a.ravel() for a in np.meshgrid(lon, lat))
    lat = np.clip(lat, -90, 90)
    p = Profile(lon_0_udeg=lon_0_udeg, north_square=ns, south_square=ss)
    cids = z._cells_from_lonlat(lon, lat, level, p)
    nlon, nlat = z._cells_to_lonlat(cids, p)
    _, _, dist = pyproj.Geod(ellps="WGS84").inv(lon, lat, nlon, nlat)
    assert np.all(dist <= 2 * math.sqrt(cell_area_m2(level, p)))


# WGS84 and flattenings strong enough to take the closed form.
@pytest.mark.parametrize("inv_f_nano, tol", [(298257223563, 3e-15), (3 * 10**9, 1e-14), (10 * 10**9, 1e-14),
                                             (149 * 10**9, 1e-14)])
def test_strong_flattening_inverts_the_closed_form(inv_f_nano, tol):
    p = Profile(inv_f_nano=inv_f_nano)
    rng = np.random.default_rng(inv_f_nano % 1000)
    # Equatorial nuclei have authalic latitude asin(8y / 3pi) from their planar y.
    level, n = 18, 3**18
    rows = rng.integers(0, n, 300)
    cids = np.array([cell_at(int(b), level, int(r), 7) for b, r in zip(rng.integers(1, 5, 300), rows)], np.uint64)
    _, lat = z._cells_to_lonlat(cids, p)
    y = np.pi / 4 - (rows + 0.5) * (np.pi / 2 / n)
    beta = authalic_closed(inv_f_nano / 1e9)
    for yi, li in zip(y, lat):
        assert abs(float(beta(mpmath.radians(li)) - mpmath.asin(8 * mpmath.mpf(yi) / (3 * mpmath.pi)))) < tol


@pytest.mark.parametrize("aperture, level, lon_0_udeg", [(4, 1, 0), (4, 3, 50000000), (16, 2, 0), (16, 1, -30000000)])
def test_even_apertures_draw_quarter_caps_at_the_poles(aperture, level, lon_0_udeg):
    p = Profile(aperture=aperture, lon_0_udeg=lon_0_udeg)
    s = math.isqrt(aperture)
    cids = np.array([cell_at(b, level, r, c, p) for b in range(6) for r in range(s**level) for c in range(s**level)],
                    np.uint64)
    geod = pyproj.Geod(ellps="WGS84")
    for n in (2, 17):
        coords, offsets = z._cell_boundaries(cids, n, p)
        touching = 0
        for i in range(len(cids)):
            ring = coords[offsets[i]:offsets[i + 1]]
            poly = shapely.Polygon(ring)
            assert poly.is_valid and poly.exterior.is_ccw
            assert np.ptp(ring[:, 0]) <= 180
            touching += np.count_nonzero(np.abs(ring[:-1, 1]) == 90) == 2
            if n == 17:
                area, _ = geod.polygon_area_perimeter(ring[:, 0], ring[:, 1])
                assert area == pytest.approx(cell_area_m2(level, p), rel=0.03)
        assert touching == 8  # four quarter caps at each pole
