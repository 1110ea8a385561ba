"""A short tour of zarel: profiles, coverage trees and their 32-byte roots."""

import json
import pathlib
import random

import numpy as np

import zarel
from zarel import Profile, Tree

DATA = pathlib.Path(__file__).parent / "data"


def main():
    print(f"zarel {zarel.__version__}")

    # A real area: a country's outline (public-domain Natural Earth data) becomes
    # the cells whose nucleus it contains, and their 32-byte fingerprint.
    countries = json.loads((DATA / "countries.geo.json").read_text())
    france = next(f for f in countries["features"] if f["properties"]["name"] == "France")
    print(f"\nFrance, {sum(len(r) for p in france['geometry']['coordinates'] for r in p)} vertices:")
    for res in (5, 8, 11):
        t = Tree.from_geojson(france, res)
        km2 = t.leaf_count() * zarel.cell_area_m2(res) / 1e6
        print(f"  resolution {res:2}: {t.leaf_count():>13,} cells ({km2:,.0f} km^2) in "
              f"{len(t.cells()):>6,} canonical cells, fingerprint {t.root_hex[:16]}...")
    print(f"  fingerprint_polygon agrees: {zarel.fingerprint_polygon(france, 11) == t.root_hex}")
    reversed_rings = {"type": "MultiPolygon", "coordinates": [
        [ring[::-1] for ring in part] for part in france["geometry"]["coordinates"]]}
    print(f"  the outline with every ring reversed has the same fingerprint: "
          f"{zarel.fingerprint_polygon(reversed_rings, 11) == t.root_hex}")
    print(f"  polyfill at resolution 5 lists {len(zarel.polyfill(france, 5)):,} cids")

    # Profiles: the integers a cell id and a root are read against.
    ogc, z1 = Profile.ogc(), Profile.zarel_1()
    print(f"\n{ogc!r}\n  id {ogc.id_hex()}")
    print(f"{z1!r}\n  id {z1.id_hex()}")

    # Cells: a cid and its suid name the same cell.
    cid = zarel.suid_to_cid("Q12")
    print(f"\ncell Q12 is cid {cid}; cid {cid} is {zarel.cid_to_suid(cid)}")

    # A coverage: one coarse cell, a few of its neighbours' children, a scatter of fine cells.
    rng = random.Random(2026)
    fine = [zarel.suid_to_cid("R" + "".join(str(rng.randrange(9)) for _ in range(6))) for _ in range(2000)]
    cells = [zarel.suid_to_cid("Q1")] + [zarel.suid_to_cid(f"Q2{d}") for d in range(9)] + fine
    depth = 6
    t = Tree.from_cells(cells, depth)
    print(f"\n{t!r}")
    print(f"  {len(cells)} cids in, {len(t.cells())} canonical cells, {t.leaf_count()} leaves at depth {depth}")
    print(f"  Q2's nine children collapse into one cell: covers(Q2) = {t.covers(zarel.suid_to_cid('Q2'))}")

    # The same coverage built another way: every leaf, shuffled, from a NumPy array.
    leaves = np.array(t.leaves(), dtype=np.uint64)
    rng.shuffle(leaves)
    again = Tree.from_cells(leaves, depth)
    print(f"\nrebuilt from {len(leaves)} shuffled leaves: root {again.root_hex}")
    print(f"  same root as before: {again.root_hex == t.root_hex}; trees equal: {again == t}")

    # Depth is part of a root's identity.
    deeper = Tree.from_cells(cells, depth + 1)
    print(f"\nthe same cells at depth {depth + 1}: root {deeper.root_hex}")
    print(f"  equal to the depth-{depth} tree: {deeper == t}")


    # Points into cells: a few thousand GPS fixes around a city, located at level 9.
    pts = np.random.default_rng(7)
    lon = 2.35 + pts.normal(0, 0.05, 5000)
    lat = 48.86 + pts.normal(0, 0.03, 5000)
    level = 9
    located = zarel._cells_from_lonlat(lon, lat, level)
    busiest, counts = np.unique(located, return_counts=True)
    top = int(busiest[counts.argmax()])
    (nlon,), (nlat,) = zarel._cells_to_lonlat(np.array([top], dtype=np.uint64))
    print(f"\n{len(lon)} points fall into {len(busiest)} level-{level} cells; the busiest, "
          f"{zarel.cid_to_suid(top)}, holds {counts.max()}")
    print(f"  its nucleus is ({nlon:.5f}, {nlat:.5f}); every level-{level} cell covers "
          f"{zarel.cell_area_m2(level) / 1e6:.4f} km^2")
    print("  its edge neighbours: " + ", ".join(
        f"{side} {zarel.cid_to_suid(c)}" for side, c in zarel.neighbours(top).items()))
    hits = Tree.from_cells(located, level)
    print(f"  the visited cells as a tree: {hits.leaf_count()} leaves, root {hits.root_hex[:16]}...")


    # Set algebra with proofs: two coverages, their union, and a transcript that
    # proves the union's root from the two input roots alone.
    a = Tree.from_cells(fine[:1200] + [zarel.suid_to_cid("Q1")], depth)
    b = Tree.from_cells(fine[800:] + [zarel.suid_to_cid("Q2")], depth)
    u = a.union(b)
    proof = a.prove(b, "union")
    print(f"\nA has {a.leaf_count()} leaves, B {b.leaf_count()}, A | B {u.leaf_count()}, "
          f"A & B {a.intersect(b).leaf_count()}, A - B {a.difference(b).leaf_count()}")
    print(f"  transcript: {len(json.dumps(proof))} bytes; root_c {proof['root_c'][:16]}... "
          f"equals the union's root: {proof['root_c'] == u.root_hex}")
    print(f"  verify_setop: {zarel.verify_setop(proof)}")
    forged = json.loads(json.dumps(proof))
    forged["root_c"] = a.root_hex
    print(f"  the same transcript claiming A's root as the result: {zarel.verify_setop(forged)}")
    print(f"  A and B diverge in {len(a.divergence(b))} maximal subtrees")

    print(f"  the proof checked for A | B: {zarel.setop_result(proof, root_a=a, root_b=b, op='union') == u.root_hex}")

    # Openings: prove one cell covered and another uncovered against the root alone,
    # read with what the reader expects: that root and that cell.
    inside, outside = zarel.suid_to_cid("Q21"), zarel.suid_to_cid("P0")
    for name, cell in (("Q21", inside), ("P0", outside)):
        print(f"  opening of {name} against the union's root: {zarel.opening_claim(u.open(cell), root=u, cid=cell)!r}")
    print(f"  the Q21 opening against A's root: {zarel.opening_claim(u.open(inside), root=a, cid=inside)!r}")


if __name__ == "__main__":
    main()
