"""Polygon coverage from Python: polyfill, fingerprint_polygon and Tree.from_geojson
against a brute force over every cell's nucleus, located by an exact point-in-polygon
model written from the rules (cross-checked against shapely on valid polygons)."""

import math
from fractions import Fraction

import numpy as np
import pytest
import shapely

import zarel
from zarel import Profile, Tree, _zarel

# -- the model ---------------------------------------------------------------

K = 1100  # every finite double times 2**K is an integer


def exact(v):
    n, d = Fraction(v).as_integer_ratio()  # floats and dyadic fractions only
    return n << (K - d.bit_length() + 1)


def closed(ring):
    r = [(float(p[0]), float(p[1])) for p in ring]
    return r + r[:1] if r and r[-1] != r[0] else r


def rings_of(doc):
    """Polygons as lists of closed rings of (float, float), read from the rules."""
    g = doc["geometry"] if doc["type"] == "Feature" else doc
    polys = [g["coordinates"]] if g["type"] == "Polygon" else g["coordinates"]
    return [[closed(ring) for ring in poly] for poly in polys]


def locate(polys, x, y):
    """'in', 'on' or 'out': crossing parity per ring towards +x, exact turns."""
    px, py = exact(x), exact(y)
    for_poly = []
    for rings in polys:
        parity = []
        for ring in rings:
            odd = False
            for (ax, ay), (bx, by) in zip(ring, ring[1:]):
                if (ax, ay) == (bx, by) or max(ax, bx) < x or not min(ay, by) <= y <= max(ay, by):
                    continue
                eax, eay, ebx, eby = exact(ax), exact(ay), exact(bx), exact(by)
                o = (eax - px) * (eby - py) - (eay - py) * (ebx - px)
                if o == 0 and min(ax, bx) <= x:
                    return "on"
                if (ay <= y < by and o > 0) or (by <= y < ay and o < 0):
                    odd = not odd
            parity.append(odd)
        for_poly.append(bool(parity) and parity[0] and not any(parity[1:]))
    return "in" if any(for_poly) else "out"


def edges(polys):
    return [(a, b) for rings in polys for ring in rings for a, b in zip(ring, ring[1:]) if a != b]


def crossings(polys, y):
    """Where the edges meet the parallel y, and whether each runs along it or is vertical."""
    out = []
    y = Fraction(y)
    for a, b in edges(polys):
        (ax, ay), (bx, by) = map(Fraction, a), map(Fraction, b)
        if ay == by == y:
            out += [(ax, "along"), (bx, "along")]
        elif min(ay, by) <= y <= max(ay, by):
            out.append((ax + (y - ay) * (bx - ax) / (by - ay), "vertical" if ax == bx else "slanted"))
    return out


def hair(far):
    """A power of two below every gap from the places in `far` (a point off them by it meets no edge)."""
    d = Fraction(1)
    while any(0 < abs(g) <= d for g in far):
        d /= 2
    return d


def on_earth(polys, x, y):
    """locate, but the +-180 meridian is a cut and a parallel at +-90 a single point: a nucleus there is
    in when the polygons cover every side of it and no other edge passes through it."""
    x, y = float(x), float(y)
    where = locate(polys, x, y)
    if where != "on" or (x != -180 and abs(y) != 90):
        return where
    if abs(y) == 90:
        if any(kind == "slanted" or (kind == "vertical" and abs(xc) != 180)
               for xc, kind in crossings(polys, y) if -180 <= xc <= 180):
            return "out"
        # Off the pole by less than any vertex's latitude gap and any edge's turn to the nearest sample.
        slopes = [abs((Fraction(by) - ay) / (Fraction(bx) - ax)) for (ax, ay), (bx, by) in edges(polys) if ax != bx]
        d = hair([Fraction(vy) - y for rings in polys for ring in rings for _, vy in ring] + slopes)
        return "in" if all(locate(polys, s, y - math.copysign(1, y) * d) == "in" for s in (-179, 0, 179)) else "out"
    cross = crossings(polys, y)
    if any(abs(xc) == 180 and kind != "vertical" for xc, kind in cross):
        return "out"
    d = hair([xc + 180 for xc, _ in cross] + [xc - 180 for xc, _ in cross])
    return "in" if locate(polys, -180 + d, y) == locate(polys, 180 - d, y) == "in" else "out"


def cells_at(level, profile=None):
    return sorted(c for b in range(9, 15) for c in zarel.subzones(b, level, profile))


def brute(doc, cids, profile=None):
    polys = rings_of(doc)
    lon, lat = zarel._cells_to_lonlat(np.array(cids, dtype=np.uint64), profile)
    return [c for c, x, y in zip(cids, lon, lat) if on_earth(polys, x, y) == "in"]


def polygon(*rings):
    return {"type": "Polygon", "coordinates": [list(map(list, r)) for r in rings]}


def star(cx, cy, r_out, r_in, n=5):
    turns = [(r_in if k % 2 else r_out, math.pi / 2 + k * math.pi / n) for k in range(2 * n)]
    return [(cx + r * math.cos(t), cy + r * math.sin(t)) for r, t in turns]


def box(x0, y0, x1, y1):
    return [(x0, y0), (x1, y0), (x1, y1), (x0, y1)]


def nuclei(cids):
    lon, lat = zarel._cells_to_lonlat(np.array(cids, dtype=np.uint64))
    return list(zip(lon.tolist(), lat.tolist()))


SHAPES = {
    "concave star": polygon(star(20, 10, 40, 15)),
    "pentagram": polygon([star(20, 10, 40, 15)[k] for k in (0, 4, 8, 2, 6)]),
    "holed": polygon(box(-60, -30, 60, 40), box(-20, -10, 30, 20)),
    "overlapping parts": {"type": "MultiPolygon", "coordinates": [
        [box(-100, -20, -40, 30)], [box(-70, 0, 0, 50)], [box(100, -60, 140, -10)]]},
    "north cap": polygon([(-180, 62), (180, 62), (180, 90), (-180, 90)]),
    "south cap with a slice": polygon([(-180, -90), (180, -90), (180, -55), (0, -80), (-180, -55)]),
    "past 180": polygon(box(150, -30, 215, 25)),
    "split at 180": {"type": "MultiPolygon", "coordinates": [[box(150, -30, 180, 25)], [box(-180, -30, -145, 25)]]},
    "split in the cap": {"type": "MultiPolygon", "coordinates": [[box(170, 50, 180, 85)], [box(-180, 50, -170, 85)]]},
    # Edges along rows of nuclei, which share one latitude: those cells are left out.
    "through nuclei": polygon(nuclei([zarel.suid_to_cid(s) for s in ("P30", "Q32", "Q72", "P70")])),
    # Rays from the middle row of nuclei pass exactly through the side vertices.
    "diamond of nuclei": polygon(nuclei([zarel.cell_at(3, 2, r, c) for r, c in [(0, 4), (4, 8), (8, 4), (4, 0)]])),
    "feature": {"type": "Feature", "properties": {"name": "x"},
                "geometry": polygon(box(-10, -10, 10, 10), [(0, 0), (5, 0), (5, 5)])},
}
VALID = ["concave star", "holed", "north cap", "south cap with a slice", "split at 180"]


@pytest.mark.parametrize("name", VALID)
def test_model_agrees_with_shapely(name):
    polys = rings_of(SHAPES[name])
    lon, lat = zarel._cells_to_lonlat(np.array(cells_at(3), dtype=np.uint64))
    parts = [shapely.Polygon(r[0], r[1:]) for r in polys]
    ours = np.array([locate(polys, x, y) == "in" for x, y in zip(lon, lat)])
    theirs = np.any([shapely.contains_xy(p, lon, lat) for p in parts], axis=0)
    assert (ours == theirs).all()


@pytest.mark.parametrize("name", sorted(SHAPES))
@pytest.mark.parametrize("resolution", [0, 1, 2, 3])
def test_polyfill_is_the_nucleus_rule_over_the_globe(name, resolution):
    doc = SHAPES[name]
    assert _zarel.polyfill(doc, resolution) == brute(doc, cells_at(resolution))


@pytest.mark.parametrize("name, coarse", [
    ("concave star", "Q4"), ("holed", "P7"), ("north cap", "N1"), ("north cap", "N4"),
    ("south cap with a slice", "S3"), ("past 180", "R4"), ("split at 180", "R1"), ("through nuclei", "Q1"),
    ("north cap", "N3"), ("split in the cap", "N3")])
def test_polyfill_matches_the_model_deep_inside_one_cell(name, coarse):
    subs = sorted(zarel.subzones(zarel.suid_to_cid(coarse), 4))
    got = _zarel.polyfill(SHAPES[name], len(coarse) + 3)
    assert [x for x in got if subs[0] <= x <= subs[-1]] == brute(SHAPES[name], subs)


def test_small_polygons_against_the_model_around_them():
    """Polygons a few cells across, in the band, the caps and near their rims, against every nucleus nearby."""
    rng = np.random.default_rng(25)
    for _ in range(60):
        level = int(rng.integers(6, 12))
        lat0 = float(rng.choice([rng.uniform(-40, 40), rng.uniform(42, 88), rng.uniform(-88, -42),
                                 rng.uniform(40, 44) * rng.choice([-1, 1])]))
        lon0 = rng.uniform(-179, 179)
        cell = 90 / 3 ** level
        ring = [(lon0 + rng.uniform(-1.5, 1.5) * cell / math.cos(math.radians(lat0)),
                 lat0 + rng.uniform(-1.5, 1.5) * cell) for _ in range(int(rng.integers(3, 7)))]
        doc = polygon(ring + ring[:1])
        centre = zarel.cells_from_lonlat([lon0], [lat0], level)
        near = sorted(zarel.grid_disk(centre, 12)[0].tolist())
        got = _zarel.polyfill(doc, level)
        assert set(got) <= set(near)
        assert got == brute(doc, near)


def random_doc(rng, seam_lats):
    """Parts often against the cut or a pole, vertices often on the nuclei's latitudes there."""
    def lon():
        return float(rng.choice([-180, 180])) if rng.random() < 0.4 else rng.uniform(-180, 180)

    def lat():
        return float(rng.choice([-90, 90] + seam_lats)) if rng.random() < 0.5 else rng.uniform(-90, 90)

    def ring():
        if rng.random() < 0.5:
            (x0, x1), (y0, y1) = sorted((lon(), lon())), sorted((lat(), lat()))
            return box(x0, y0, x1, y1)
        return [(lon(), lat()) for _ in range(rng.integers(3, 7))]

    return {"type": "MultiPolygon", "coordinates": [[ring() for _ in range(rng.integers(1, 3))]
                                                    for _ in range(rng.integers(1, 4))]}


def test_random_polygons_against_the_cut_and_the_poles():
    """Every nucleus on the cut or a pole at resolution 5, and a sample of the others."""
    cids = np.array(cells_at(5), dtype=np.uint64)
    lon, lat = zarel._cells_to_lonlat(cids)
    rng = np.random.default_rng(16)
    edge = (lon == -180) | (np.abs(lat) == 90)
    chosen = sorted(cids[edge].tolist() + rng.choice(cids[~edge], 300, replace=False).tolist())
    for _ in range(40):
        doc = random_doc(rng, lat[lon == -180].tolist() + [85.0])
        got = set(_zarel.polyfill(doc, 5))
        assert [c for c in chosen if c in got] == brute(doc, chosen)


@pytest.mark.parametrize("resolution", [0, 2, 5])
def test_the_whole_globe_covers_every_cell(resolution):
    doc = polygon(box(-180, -90, 180, 90))
    every = Tree.from_cells(range(9, 15), resolution)
    assert len(_zarel.polyfill(doc, resolution)) == every.leaf_count() == 6 * 9**resolution
    assert Tree.from_geojson(doc, resolution) == every
    assert _zarel.fingerprint_polygon(doc, resolution) == every.root_hex


def test_roots_ignore_orientation_and_start_vertex():
    ring = star(-30, 20, 35, 12, 7)
    hole = box(-40, 15, -25, 30)
    base = _zarel.fingerprint_polygon(polygon(ring, hole), 5)
    for r, h in [(ring[::-1], hole), (ring, hole[::-1]), (ring[3:] + ring[:3], hole[2:] + hole[:2])]:
        assert _zarel.fingerprint_polygon(polygon(r, h), 5) == base
    rev = ring[::-1]
    assert _zarel.fingerprint_polygon(polygon(rev + rev[:1]), 5) == _zarel.fingerprint_polygon(polygon(ring), 5)


def test_empty_coverages():
    tiny = polygon([(1.0, 1.0), (1.0 + 1e-9, 1.0), (1.0, 1.0 + 1e-9)])
    for doc in (tiny, {"type": "MultiPolygon", "coordinates": []}, polygon([])):
        assert _zarel.polyfill(doc, 6) == []
        assert Tree.from_geojson(doc, 6).is_empty()
        assert _zarel.fingerprint_polygon(doc, 6) == Tree.from_cells([], 6).root_hex


def test_other_profiles():
    doc = SHAPES["holed"]
    for p in (Profile.zarel_1(), Profile(north_square=2, south_square=1, lon_0_udeg=-120000000)):
        assert _zarel.polyfill(doc, 2, p) == brute(doc, cells_at(2, p), p)
        assert Tree.from_geojson(doc, 2, p).profile == p


# -- messages and refusals ----------------------------------------------------

UNSUPPORTED = "unsupported GeoJSON type {}; need Polygon or MultiPolygon"


@pytest.mark.parametrize("doc, message", [
    ({"type": "FeatureCollection", "features": []}, UNSUPPORTED.format('"FeatureCollection"')),
    ({"type": "polygon", "coordinates": []}, UNSUPPORTED.format('"polygon"')),
    ({"type": 'a"b\\c'}, UNSUPPORTED.format('"a\\"b\\\\c"')),
    ({"type": "Feature", "geometry": None}, UNSUPPORTED.format('""')),
    ({"type": 7, "coordinates": []}, UNSUPPORTED.format('""')),
    ([1, 2], UNSUPPORTED.format('""')),
    ({"type": "Feature", "properties": {}}, "feature without geometry"),
    ({"type": "Feature", "geometry": {"type": "Feature"}}, "feature without geometry"),
    ({"type": "Polygon"}, "missing coordinates"),
    ({"type": "MultiPolygon", "coordinates": {"a": 1}}, "missing coordinates"),
    ({"type": "Polygon", "coordinates": 5}, "polygon must be an array of rings"),
    ({"type": "MultiPolygon", "coordinates": [[box(0, 0, 1, 1)], 5]}, "polygon must be an array of rings"),
    ({"type": "Polygon", "coordinates": []}, "polygon has no rings"),
    ({"type": "Polygon", "coordinates": [box(0, 0, 1, 1), "ring"]}, "ring must be an array"),
    ({"type": "Polygon", "coordinates": [[[1, 2], [3]]]}, "position must be [lon, lat]"),
    ({"type": "Polygon", "coordinates": [[5]]}, "position must be [lon, lat]"),
    ({"type": "Polygon", "coordinates": [[["1", 2]]]}, "position must be numeric"),
])
def test_document_messages(doc, message):
    for call in (_zarel.polyfill, _zarel.fingerprint_polygon, Tree.from_geojson):
        with pytest.raises(ValueError) as e:
            call(doc, 3)
        assert str(e.value) == message


def test_positions_read_as_written():
    three = polygon([(0, 0, 300), (40, 0, 1), (40, 30), (0, 30)])
    ints = polygon([(0, 0), (40, 0), (40, 30), (0, 30), (0, 0)])
    assert _zarel.polyfill(three, 3) == _zarel.polyfill(ints, 3) == _zarel.polyfill(polygon(box(0.0, 0.0, 40.0, 30.0)), 3)
    assert _zarel.polyfill(polygon([(0, 0), (2**70, 0), (0, 30)]), 1) == _zarel.polyfill(
        polygon([(0, 0), (float(2**70), 0), (0, 30)]), 1)


def test_resolution_messages_and_order():
    doc = polygon(box(0, 0, 1e-4, 1e-4))
    assert isinstance(_zarel.polyfill(doc, 15), list)
    for call in (_zarel.polyfill, _zarel.fingerprint_polygon, Tree.from_geojson):
        with pytest.raises(ValueError, match=r"^resolution 16 out of range \[0, 15\]$"):
            call(doc, 16)
        # The document is read before the resolution is judged.
        with pytest.raises(ValueError, match="^polygon has no rings$"):
            call(polygon(), 16)
        # Arguments are extracted before the document is converted.
        with pytest.raises(OverflowError) as e:
            call({"type": "Polygon", "coordinates": [[[float("nan"), 0]]]}, -1)
        assert e.value.__notes__ == ["while processing 'resolution'"]
        with pytest.raises(ValueError, match=r"^not JSON \(ValueError: "):
            call({"type": "Polygon", "coordinates": [[[float("nan"), 0]]]}, 3)
        # Aperture 4096 runs out of 64-bit cids below level 5.
        with pytest.raises(ValueError, match="^depth 5 is deeper than the deepest level, 4$"):
            call(doc, 5, Profile(aperture=4096))
    for call in (_zarel.fingerprint_polygon, Tree.from_geojson):
        with pytest.raises(ValueError, match="^depth 19 is deeper than the deepest level, 18$"):
            call(doc, 19)


WORLD = polygon(box(-180, -90, 180, 90))


def test_polyfill_refuses_huge_lists_while_descending():
    doc = polygon(box(-60, -40, 60, 40))
    for d, resolution, total in [(doc, 9, Tree.from_geojson(doc, 9).leaf_count()), (WORLD, 15, 6 * 9**15)]:
        with pytest.raises(ValueError) as e:
            _zarel.polyfill(d, resolution)
        head, tail = str(e.value).split(f" cells at resolution {resolution}, ")
        assert tail == "more than the 67108864 that polyfill materialises; use Tree.from_geojson"
        # The count stops where it first passes the bound, short of the whole coverage.
        assert head.startswith("the polygon covers at least ") and 2**26 < int(head.split()[-1]) < total
    assert Tree.from_geojson(doc, 10).leaf_count() > 2**26 * 9  # the tree form holds far more
