"""Cell polygons that tile and the outlines built on them: neighbours share
their boundary point for point at any levels (polar squares and their rims
included), so the union of a coverage's cells dissolves without slivers, and
`Tree.outline` (edges cancelled, never polygons unioned) is that union."""

import json
import sys

import numpy as np
import pytest
import shapely

import zarel
from zarel import Profile, Tree, _cell_boundaries, cells_geojson, suid_to_cid

DAKOTAS = {"type": "Polygon", "coordinates": [[[-104.05, 42.5], [-96.5, 42.5], [-96.5, 49], [-104.05, 49],
                                               [-104.05, 42.5]]]}


def cell_polygons(cids, n=3, profile=None):
    coords, offsets = _cell_boundaries(np.asarray(cids, np.uint64), n, profile)
    return [shapely.Polygon(coords[a:b]) for a, b in zip(offsets[:-1], offsets[1:])]


def parts_and_holes(geom):
    parts = list(getattr(geom, "geoms", [geom])) if not geom.is_empty else []
    return len(parts), sum(len(p.interiors) for p in parts)


def random_coverage(rng):
    """Cells at mixed levels under one ancestor, polar or equatorial, sometimes with the N/O meeting cells."""
    base = int(rng.choice([0, 5, 0, 5, 1, 4]))
    top = int(rng.integers(0, 2))
    anc = (9 + base) * 9**top + int(rng.integers(0, 9**top))
    depth = int(rng.integers(top + 1, 5))
    cids = []
    for _ in range(int(rng.integers(1, 60))):
        level = int(rng.integers(top, depth + 1))
        cids.append(anc * 9 ** (level - top) + int(rng.integers(0, 9 ** (level - top))))
    if rng.random() < 0.3:
        cids += [suid_to_cid(s) for s in ("N768667", "O102001", "O10200", "N7686")[: int(rng.integers(1, 5))]]
        depth = 6
    return Tree.from_cells(cids, depth)


@pytest.mark.parametrize("seed", range(6))
def test_outline_is_the_union_of_the_cell_polygons(seed):
    rng = np.random.default_rng(seed)
    for _ in range(40):
        tree, n = random_coverage(rng), int(rng.choice([2, 3, 5]))
        union = shapely.union_all(cell_polygons(tree.cells_array(), n))
        outline = tree.outline(n)
        assert outline.is_valid, shapely.is_valid_reason(outline)
        assert outline.area == pytest.approx(union.area, rel=1e-12, abs=1e-12)
        assert outline.symmetric_difference(union).area < 1e-9
        assert parts_and_holes(outline) == parts_and_holes(union)


def split_at_random(cid, rng, depth, odds=0.5):
    """The cell cut into cells of mixed levels down to depth, each split with the odds given."""
    cells, frontier = [], [cid]
    while frontier:
        c = frontier.pop()
        if zarel.cell_levels(np.array([c], np.uint64))[0] < depth and rng.random() < odds:
            frontier += [c * 9 + d for d in range(9)]
        else:
            cells.append(c)
    return cells


def test_mixed_level_neighbours_share_their_edges_point_for_point():
    # A polar cell split into children of mixed levels: one region, so the
    # cells dissolve into one part without holes, and every segment of a
    # cell's ring is another cell's, walked the other way, or on the outline.
    # (Across the polar squares' rims the polar cells' extra points lie on the
    # equatorial cells' edges instead; the rim test below.)
    for parent in ("N4", "N40", "S48", "N41", "S44"):
        tree = Tree.from_cells(split_at_random(suid_to_cid(parent), np.random.default_rng(len(parent)), 5, 0.6), 5)
        polygons = cell_polygons(tree.cells_array(), 4)
        union = shapely.union_all(polygons)
        assert union.geom_type == "Polygon" and not union.interiors, parent
        segments = {}
        for p in polygons:
            ring = p.exterior.coords
            for a, b in zip(ring[:-1], ring[1:]):
                segments[a, b] = segments.get((a, b), 0) + 1
        outer = sum(1 for (a, b) in segments if (b, a) not in segments)
        boundary = tree.outline(4)
        assert outer == len(boundary.exterior.coords) - 1
        assert boundary.equals_exact(union.normalize(), 0) or boundary.normalize().equals_exact(union.normalize(), 0)


@pytest.mark.parametrize("seed", range(4))
def test_neighbours_across_and_inside_the_polar_squares_share_every_vertex(seed):
    # A polar cell and its neighbour (across the rim half the time), each split
    # into cells of mixed levels: one part without holes, and every vertex of a
    # cell that lies on another cell's outline is one of that cell's vertices too.
    rng = np.random.default_rng(seed)
    done = 0
    while done < 12:
        base, level = int(rng.choice([0, 5])), int(rng.integers(1, 4))
        side, k, direction = 3**level, int(rng.integers(0, 3**level)), int(rng.integers(0, 4))
        rim = [(0, k), (k, side - 1), (side - 1, k), (k, 0)][direction]
        row, col = rim if rng.random() < 0.5 else rng.integers(0, side, 2)
        cell = zarel.cell_at(base, level, int(row), int(col))
        other = zarel.neighbours(cell)[("up", "right", "down", "left")[direction]] // 9 ** int(rng.integers(0, 2))
        depth = level + 2
        cells = split_at_random(cell, rng, depth) + split_at_random(other, rng, depth)
        cids = Tree.from_cells(cells, depth).cells_array()
        n = int(rng.choice([2, 3, 5]))
        polygons = cell_polygons(cids, n)
        if any(p.bounds[0] <= -180 or p.bounds[2] >= 180 for p in polygons):
            continue  # the cut: its cells are drawn on either side of it
        done += 1
        assert parts_and_holes(shapely.union_all(polygons)) == (1, 0), zarel.cids_to_suids(cids)
        rings = [np.asarray(p.exterior.coords[:-1]) for p in polygons]
        points = np.concatenate(rings)
        for p, ring in zip(polygons, rings):
            on = points[shapely.dwithin(p.exterior, shapely.points(points), 1e-9)]
            assert set(map(tuple, on)) <= set(map(tuple, ring)), zarel.cids_to_suids(cids)
        drawn = [f["geometry"]["coordinates"][0] for f in cells_geojson(cids.tolist(), n=n)["features"]]
        assert drawn == [[list(c) for c in p.exterior.coords] for p in polygons]


def test_the_polar_rim_is_one_latitude_on_both_sides():
    north, below = cell_polygons([suid_to_cid("N768667"), suid_to_cid("O102001")])
    shared = set(north.exterior.coords) & set(below.exterior.coords)
    # Both corners and the polar cell's point between them, drawn alike on both sides.
    assert len(shared) == 3 and len({lat for _, lat in shared}) == 1
    alone = cell_polygons([suid_to_cid("O102001")])[0]
    assert len(alone.exterior.coords) == 5 and set(alone.exterior.coords) < set(below.exterior.coords)
    assert shapely.union_all([north, below]).geom_type == "Polygon"
    # At mixed levels too, and in the display GeoJSON the same points.
    cids = [suid_to_cid("N76866"), suid_to_cid("O102001"), suid_to_cid("O102002")]
    doc = cells_geojson(cids)
    rings = [shapely.Polygon(f["geometry"]["coordinates"][0]) for f in doc["features"]]
    assert [r.exterior.coords[:] for r in rings] == [p.exterior.coords[:] for p in cell_polygons(cids)]
    assert shapely.union_all(rings).geom_type == "Polygon"


# A box in the Dakotas; the whole north polar square, cap and antimeridian cells
# included, drawn at levels 1 and 2 (its outline is the square's rim).
WHOLE_REGIONS = {
    "dakotas": lambda: zarel.tree_from_geojson(DAKOTAS, 7),
    "north square": lambda: Tree.from_cells([suid_to_cid(f"N{d}") for d in range(9) if d != 2]
                                            + [suid_to_cid(f"N2{d}") for d in range(9)], 2),
}


@pytest.mark.parametrize("region", WHOLE_REGIONS)
def test_a_whole_region_dissolves_into_one_polygon(region):
    tree = WHOLE_REGIONS[region]()
    union = shapely.union_all(cell_polygons(tree.cells_array()))
    outline = tree.outline()
    assert outline.is_valid and parts_and_holes(union) == parts_and_holes(outline) == (1, 0)
    assert outline.area == pytest.approx(union.area, rel=1e-12)


def test_geojson_outline_matches_the_shapely_outline():
    tree = zarel.tree_from_geojson(DAKOTAS, 5) | Tree.from_cells([suid_to_cid("Q3")], 5)
    doc = tree.geojson(outline=True)
    (feature,) = doc["features"]
    assert feature["properties"] == {"depth": 5, "root": tree.root_hex}
    assert feature["geometry"]["type"] == "MultiPolygon"
    assert shapely.geometry.shape(feature["geometry"]).equals_exact(tree.outline(), 0)
    json.dumps(doc)
    assert tree.geojson() == tree.__geo_interface__
    view = zarel.GeoTree(tree, 3, outline=True).__geo_interface__
    assert view == doc


def test_empty_and_whole_coverages():
    empty = Tree.from_cells([], 3)
    assert empty.outline().is_empty and empty.outline().geom_type == "MultiPolygon"
    assert empty.geojson(outline=True)["features"][0]["geometry"] == {"coordinates": [], "type": "MultiPolygon"}
    one = Tree.from_cells([suid_to_cid("P")], 0, Profile(lon_0_udeg=0))
    assert one.outline().geom_type == "Polygon" and len(one.outline().exterior.coords) == 5


def test_outline_refusals(monkeypatch):
    tree = Tree.from_cells([suid_to_cid("N1")], 1)
    with pytest.raises(ValueError, match="n 65537 is above the maximum 65536"):
        tree.outline(65537)
    monkeypatch.setitem(sys.modules, "shapely", None)
    with pytest.raises(ImportError, match=r"zarel\[shapely\]"):
        tree.outline()
