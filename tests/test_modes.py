"""Containment modes "inside" and "overlap" against shapely, which judges every cell of the
globe as the polygon its boundary gives at a high edge density."""

import json
import math
import pathlib

import numpy as np
import pytest
import shapely
from shapely import affinity

import zarel
from zarel import Tree

WORLD = shapely.box(-180, -90, 180, 90)
EAST = shapely.box(180, -90, 540, 90)
# Curved polar edges drawn with 64 points lie within this many degrees of the true edge.
CHORD = 1e-3
DATA = pathlib.Path(__file__).resolve().parent.parent / "examples" / "data" / "countries.geo.json"


def polygon(*rings):
    return {"type": "Polygon", "coordinates": [[list(p) for p in r] + [list(r[0])] for r in rings]}


def box(x0, y0, x1, y1):
    return [(x0, y0), (x1, y0), (x1, y1), (x0, y1)]


def star(cx, cy, r_out, r_in, n=5):
    return [(cx + (r_out if k % 2 == 0 else r_in) * math.cos(math.pi / 2 + k * math.pi / n),
             cy + (r_out if k % 2 == 0 else r_in) * math.sin(math.pi / 2 + k * math.pi / n)) for k in range(2 * n)]


def cells_at(level):
    return np.array(sorted(c for b in range(9, 15) for c in zarel.subzones(b, level)), dtype=np.uint64)


def cell_shapes(cids):
    """Each cell as shapely sees it: the part east of 180 moved one turn west."""
    out = []
    for p in zarel.cell_polygons(cids, n=64):
        if p.bounds[2] > 180:
            p = shapely.union(shapely.intersection(p, WORLD), affinity.translate(shapely.intersection(p, EAST), -360))
        out.append(p)
    return np.array(out, dtype=object)


def country(name):
    features = json.loads(DATA.read_text())["features"]
    return next(f["geometry"] for f in features if f["properties"]["name"] == name)


def edge_cells(level, rows, cols, base=2):
    return [zarel.cell_at(base, level, r, c) for r in rows for c in cols]


def union_of(cids):
    return shapely.geometry.mapping(shapely.union_all(cell_shapes(np.array(cids, dtype=np.uint64))))


SHAPES = {
    "star": lambda: polygon(star(20, 10, 40, 15)),
    "star with holes": lambda: polygon(star(-70, -10, 45, 20, 7), box(-80, -15, -65, 0), star(-60, 5, 6, 2)),
    "sliver": lambda: polygon([(-30, -40), (60, 35), (60.001, 35.0005)]),
    "along cell edges": lambda: union_of(edge_cells(2, range(2, 6), range(1, 7)) + edge_cells(2, [6], [4])),
    "north cap": lambda: polygon(box(-180, 62, 180, 90)),
    "south cap with a slice": lambda: polygon([(-180, -90), (180, -90), (180, -55), (0, -80), (-180, -55)]),
    "polar star": lambda: polygon(star(30, 75, 12, 5)),
    "split at 180": lambda: {"type": "MultiPolygon", "coordinates": [
        polygon(box(150, -30, 180, 70))["coordinates"], polygon(box(-180, -30, -145, 70))["coordinates"]]},
    "Norway": lambda: country("Norway"),
    "Russia": lambda: country("Russia"),
    "Indonesia": lambda: country("Indonesia"),
}


@pytest.mark.parametrize("name", sorted(SHAPES))
def test_modes_agree_with_shapely(name):
    doc = SHAPES[name]()
    level = 3
    cids = cells_at(level)
    shapes = cell_shapes(cids)
    p = shapely.intersection(shapely.make_valid(shapely.geometry.shape(doc)), WORLD)
    shapely.prepare(p)
    candidates = shapely.intersects(p, shapes)
    inside = candidates & shapely.contains(p, shapes)
    overlap = candidates.copy()
    overlap[candidates] = shapely.area(shapely.intersection(p, shapes[candidates])) > 0
    near = candidates.copy()
    near[candidates] = shapely.distance(shapely.boundary(p), shapely.boundary(shapes[candidates])) < CHORD
    polar = (cids < 10 * 9**level) | (cids >= 14 * 9**level)
    got = {}
    for mode, truth in (("inside", inside), ("overlap", overlap)):
        cells = zarel.polyfill(doc, level, mode=mode)
        ours = np.isin(cids, np.array(cells, dtype=np.uint64))
        # Only curved polar cells may differ, and only where the outline is too near to tell.
        assert (polar & near)[ours != truth].all(), (mode, cids[ours != truth])
        tree = Tree.from_geojson(doc, level, mode=mode)
        assert sorted(tree.leaves()) == cells
        assert zarel.fingerprint_polygon(doc, level, mode=mode) == tree.root_hex
        got[mode] = set(cells)
    assert got["inside"] <= set(zarel.polyfill(doc, level)) <= got["overlap"]


def test_a_union_of_cells_gives_those_cells_in_every_mode():
    cids = edge_cells(3, range(4, 9), range(10, 14)) + edge_cells(3, range(9, 12), [11], base=3)
    doc = union_of(cids)
    for mode in ("nucleus", "inside", "overlap"):
        assert zarel.polyfill(doc, 3, mode=mode) == sorted(cids)
    # Cells that only touch the polygon along an edge or at a corner stay out.
    one = edge_cells(3, [5], [5])
    assert zarel.polyfill(union_of(one), 3, mode="overlap") == one


@pytest.mark.parametrize("gap, meets", [(3e-9, False), (-3e-9, True)])
def test_polar_bound(gap, meets):
    """A spike whose tip stops 3e-9 degrees short of a curved polar edge, or pokes
    3e-9 degrees into it: beyond the 1e-9 bound, each is judged exactly."""
    cell = zarel.suid_to_cid("N0120")
    ring, _ = zarel.cell_boundaries([cell], n=201)
    lon, lat = zarel.cells_to_lonlat([cell])
    m, before, after = ring[100], ring[99], ring[101]
    tangent = (after - before) / np.hypot(*(after - before))
    normal = np.array([-tangent[1], tangent[0]])
    if np.dot(normal, m - [lon[0], lat[0]]) < 0:
        normal = -normal
    tip = m + gap * normal
    base = m + 0.5 * normal
    spike = polygon([tuple(tip), tuple(base + 0.2 * tangent), tuple(base - 0.2 * tangent)])
    assert (cell in zarel.polyfill(spike, 4, mode="overlap")) == meets
    # Turned inside out: the spike cut from a large cap around the cell.
    cap = polygon(box(-180, ring[:, 1].min() - 1, 180, 90), [tuple(tip), tuple(base + 0.2 * tangent), tuple(base - 0.2 * tangent)])
    assert (cell in zarel.polyfill(cap, 4, mode="inside")) == (not meets)


def test_mode_is_keyword_only_and_named():
    doc = polygon(box(0, 0, 10, 10))
    assert zarel.polyfill(doc, 3, mode="nucleus") == zarel.polyfill(doc, 3)
    for call in (zarel._zarel.polyfill, zarel._zarel.fingerprint_polygon, Tree.from_geojson):
        with pytest.raises(TypeError):
            call(doc, 3, None, "inside")
        with pytest.raises(ValueError) as e:
            call(doc, 3, mode="Inside")
        assert str(e.value) == 'mode "Inside" is not one of "nucleus", "inside", "overlap"'
        assert e.value.__notes__ == ["while processing 'mode'"]


@pytest.mark.parametrize("level", [3, 5])
def test_the_cut_at_180_is_no_edge(level):
    west, east = polygon(box(170, 50, 180, 80)), polygon(box(-180, 50, -170, 80))
    both = {"type": "MultiPolygon", "coordinates": [west["coordinates"], east["coordinates"]]}
    i_w, i_e, i_b = (set(zarel.polyfill(d, level, mode="inside")) for d in (west, east, both))
    o_w, o_e, o_b = (set(zarel.polyfill(d, level, mode="overlap")) for d in (west, east, both))
    across = i_b - i_w - i_e
    # Cells across the meridian are wholly inside only the two sides together.
    assert not i_w & i_e and i_w | i_e <= i_b and across
    assert across <= o_w & o_e and o_w | o_e == o_b


SQUARE = box(0, 0, 10, 10)
# Parts that bound no area, each beside the well-formed polygon bounding the same area (None: no area).
DEGENERATE = {
    "spike out": (polygon([(0, 0), (10, 0), (10, 5), (20, 5), (10, 5), (10, 10), (0, 10)]), polygon(SQUARE)),
    "spike in, twice over": (polygon([(0, 0), (10, 0), (10, 5), (4, 5), (7, 5), (4, 5), (10, 5), (10, 10), (0, 10)]),
                             polygon(SQUARE)),
    "flat ring": (polygon([(0, 0), (5, 5), (10, 10)]), None),
    "two-point ring": (polygon([(0, 0), (10, 10)]), None),
    "hole equal to shell": (polygon(SQUARE, SQUARE[::-1]), None),
    "hole outside shell": (polygon(SQUARE, box(20, 0, 30, 10)), polygon(SQUARE)),
    "flat hole": (polygon(SQUARE, [(2, 2), (8, 8)]), polygon(SQUARE)),
    "hole on the boundary": (polygon(SQUARE, [(0, 0), (5, 5), (0, 10)]), polygon([(0, 0), (10, 0), (10, 10), (0, 10), (5, 5)])),
}


@pytest.mark.parametrize("name", sorted(DEGENERATE))
def test_degenerate_parts_add_no_cell(name):
    doc, region = DEGENERATE[name]
    level = 4
    got = {}
    for mode in ("inside", "nucleus", "overlap"):
        got[mode] = zarel.polyfill(doc, level, mode=mode)
        assert got[mode] == (zarel.polyfill(region, level, mode=mode) if region else [])
    assert set(got["inside"]) <= set(got["nucleus"]) <= set(got["overlap"])
    # Overlap is every cell sharing positive area with the region, as shapely measures it.
    cids = np.array(zarel.polyfill(polygon(box(-10, -10, 40, 20)), level, mode="overlap"), dtype=np.uint64)
    area = shapely.area(shapely.intersection(shapely.geometry.shape(region or polygon([(0, 0)] * 3)), cell_shapes(cids)))
    assert sorted(cids[area > 1e-9].tolist()) == got["overlap"]


def test_the_earths_edges_written_a_few_ulps_off_are_the_edges():
    # Natural Earth writes -180 as -179.99999999999994 (2 ulps) along Antarctica's edge at -90.
    ring = [(-179.99999999999994, -90), (180, -90), (180, -84.7), (-179.99999999999994, -84.7)]
    for level in range(10):
        pole = int(zarel.cells_from_lonlat([0], [-90], level)[0])
        assert pole in zarel.polyfill(polygon(ring), level)
    for mode in ("inside", "nucleus", "overlap"):
        assert zarel.polyfill(polygon(ring), 4, mode=mode) == zarel.polyfill(polygon(box(-180, -90, 180, -84.7)), 4,
                                                                               mode=mode)
    # Cell corners on the cut and at the poles are written exactly, so a cell's own outline gives that cell.
    cids = cells_at(3)
    coords, _ = zarel.cell_boundaries(cids)
    near = np.isclose(np.abs(coords), [180, 90], rtol=0, atol=1e-9) & (np.abs(coords) != [180, 90])
    assert not near.any()
    for suid in ("R44", "R333", "Q345"):
        cid = zarel.suid_to_cid(suid)
        outline = zarel.cell_boundaries([cid])[0].tolist()
        for mode in ("inside", "nucleus", "overlap"):
            assert zarel.polyfill({"type": "Polygon", "coordinates": [outline]}, len(suid) - 1, mode=mode) == [cid]


def _filled(geom, level):
    """Each mode's cells of a shapely polygon, split at 180 as the docs say when it runs east of it."""
    if geom.bounds[2] > 180:
        geom = shapely.union(shapely.clip_by_rect(geom, -180, -90, 180, 90),
                             affinity.translate(shapely.clip_by_rect(geom, 180, -90, 540, 90), -360))
    doc = shapely.geometry.mapping(geom)
    return {mode: zarel.polyfill(doc, level, mode=mode) for mode in ("nucleus", "inside", "overlap")}


@pytest.mark.parametrize("base", "NSOQ")
def test_a_cells_own_outline_gives_its_children_in_every_mode(base):
    # Curved polar edges drawn as chords, the pole cap, the rim and the cut.
    rng = np.random.default_rng(ord(base))
    for level in range(1, 7):
        for suid in (base + "4" * level, base + "".join(map(str, rng.integers(0, 9, level)))):
            cid = zarel.suid_to_cid(suid)
            for n in (2, 3, 8):
                got = _filled(zarel.cell_polygons([cid], n)[0], level + 1)
                # Two points an edge are chords too coarse for the nuclei near the pole; the modes still agree.
                assert got["inside"] == got["nucleus"] == got["overlap"], (suid, n)
                if n > 2 or level > 2:
                    assert got["nucleus"] == [cid * 9 + d for d in range(9)], (suid, n)


@pytest.mark.parametrize("seed", range(3))
def test_a_union_of_cells_gives_those_cells_in_every_mode_near_the_poles(seed):
    rng = np.random.default_rng(seed)
    for _ in range(6):
        base = str(rng.choice(list("NSNSOR")))
        top = zarel.suid_to_cid(base + "".join(map(str, rng.integers(0, 9, int(rng.integers(0, 3))))))
        level = int(zarel.cell_levels(np.array([top], np.uint64))[0])
        depth = level + int(rng.integers(1, 3))
        cells = [top * 9**(depth - level) + int(k) for k in rng.choice(9**(depth - level), 12)]
        tree = Tree.from_cells(cells, depth)
        got = _filled(tree.outline(int(rng.choice([3, 6]))), depth)
        assert got["inside"] == got["nucleus"] == got["overlap"] == sorted(tree.leaves()), (base, cells)
