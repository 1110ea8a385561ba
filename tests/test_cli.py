"""The `zarel` command on small files, its answers checked against the Python
API; exit statuses on tampered and misnamed proofs and records, and on bad
usage. A few runs go through a subprocess, as a user's would; the rest call
the same entry point in the test's process."""
import csv
import io
import json
import os
import subprocess
import sys

import numpy as np
import pytest

# The command is Python over the module; GDAL's own code is not built for the sanitizers.
pytestmark = pytest.mark.skipif(bool(os.environ.get("ZAREL_SANITIZED")), reason="not under sanitizers")
pytest.importorskip("click")
pyogrio = pytest.importorskip("pyogrio")
shapely = pytest.importorskip("shapely")

import zarel  # noqa: E402
from zarel import Index, Tree  # noqa: E402
from trees import flip  # noqa: E402

COUNTRIES = os.path.join(os.path.dirname(__file__), "..", "examples", "data", "countries.geo.json")
LEVEL = 5


class Run:
    def __init__(self, returncode, stdout, stderr):
        self.returncode, self.stdout, self.stderr = returncode, stdout, stderr


def subprocess_cli(*args, stdin=None):
    return subprocess.run([sys.executable, "-m", "zarel", *map(str, args)], capture_output=True, input=stdin)


def zarel_cli(*args, stdin=None):
    from click.testing import CliRunner
    from zarel.cli import cli

    out = CliRunner().invoke(cli, list(map(str, args)), input=stdin)
    return Run(out.exit_code, out.stdout_bytes, out.stderr_bytes)


def table(out):
    return list(csv.DictReader(io.StringIO(out.stdout.decode())))


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    import pyarrow as pa

    features = json.load(open(COUNTRIES))["features"]
    d = tmp_path_factory.mktemp("cli")
    out = {}
    for name, part, driver in (("a.gpkg", features[:4], "GPKG"), ("b.geojson", features[2:6], "GeoJSON")):
        geoms = shapely.from_geojson([json.dumps(f["geometry"]) for f in part])
        names = [f["properties"]["name"] for f in part]
        arrow = pa.table({"name": names, "geometry": pa.array(shapely.to_wkb(geoms))})
        pyogrio.write_arrow(arrow, d / name, driver=driver, geometry_name="geometry", geometry_type="Unknown",
                            crs="EPSG:4326")
        out[name] = (d / name, names, geoms)
    return d, out


def test_fingerprints_cells_and_trees_match_the_api(files):
    d, f = files
    path, names, geoms = f["a.gpkg"]
    roots = table(subprocess_cli("fingerprint", path, "--level", LEVEL, "--id-field", "name", "--mode", "inside"))
    assert [r["id"] for r in roots] == names
    assert [r["root"] for r in roots] == zarel.roots_hex(zarel.fingerprint_polygons(geoms, LEVEL, mode="inside"))
    cells = table(zarel_cli("cells", "-", "--level", LEVEL, stdin=path.read_bytes()))
    cids, offsets = zarel.polyfill_polygons(geoms, LEVEL)
    assert [int(r["cid"]) for r in cells] == cids.tolist()
    assert [r["suid"] for r in cells] == [zarel.cid_to_suid(int(c)) for c in cids]
    # Default ids are the GeoPackage's feature ids, counted from 1.
    assert [int(r["id"]) for r in cells] == np.repeat(np.arange(1, 5), np.diff(offsets)).tolist()
    assert zarel_cli("tree", path, "--level", LEVEL, "-o", d / "a.zrl").returncode == 0
    union = Tree.from_cells(cids, LEVEL)
    assert Tree.from_bytes((d / "a.zrl").read_bytes()) == union
    info = zarel_cli("info", d / "a.zrl").stdout.decode()
    assert f"root: {union.root_hex}" in info and f"leaves: {union.leaf_count()}" in info


def test_proofs_and_openings_verify_only_for_what_is_named(files):
    d, f = files
    for name in ("a", "b"):
        assert zarel_cli("tree", f[f"{name}.{'gpkg' if name == 'a' else 'geojson'}"][0], "--level", LEVEL,
                         "-o", d / f"{name}.zrl").returncode == 0
    a, b = (Tree.from_bytes((d / f"{n}.zrl").read_bytes()) for n in "ab")
    assert zarel_cli("prove", d / "a.zrl", d / "b.zrl", "--op", "intersect", "-o", d / "p.json").returncode == 0
    proof = json.loads((d / "p.json").read_text())
    named = ["--root-a", a.root_hex, "--root-b", b.root_hex, "--op", "intersect"]
    ok = zarel_cli("verify", d / "p.json", *named)
    assert ok.returncode == 0 and (a & b).root_hex in ok.stdout.decode()
    tampered = dict(proof, root_c=flip(proof["root_c"], 5))
    swapped = ["--root-a", b.root_hex, "--root-b", a.root_hex, "--op", "intersect"]
    for run, doc, args in ((subprocess_cli, tampered, named), (zarel_cli, proof, swapped),
                           (zarel_cli, proof, named[:-1] + ["union"])):
        out = run("verify", "-", *args, stdin=json.dumps(doc).encode())
        assert out.returncode == 1 and out.stderr.decode().count("\n") == 1
    bad = zarel_cli("verify", d / "p.json", "--root-a", "0" * 63, "--root-b", b.root_hex, "--op", "intersect")
    assert bad.returncode == 2 and bad.stderr.decode().count("\n") == 1
    assert zarel_cli("prove", d / "a.zrl", d / "b.zrl", "--op", "xor").returncode == 2

    cell = a.cells()[0]
    (d / "r.json").write_text(json.dumps(a.open(cell)))
    inside = cell * 9 + 4
    for cid, root, status in ((cell, a.root_hex, 0), (inside, a.root_hex, 0), (cell + 1, a.root_hex, 1),
                              (cell, b.root_hex, 1)):
        out = zarel_cli("verify-opening", d / "r.json", "--root", root, "--cid", zarel.cid_to_suid(cid))
        assert out.returncode == status, out.stderr
    record = a.open(cell)
    record["opening"]["entries"] = record["opening"]["entries"][::-1]
    assert zarel_cli("verify-opening", "-", "--root", a.root_hex, "--cid", cell,
                     stdin=json.dumps(record).encode()).returncode == 1


def test_index_build_and_query_match_the_api(files):
    d, f = files
    (pa, pn, pg), (qa, qn, qg) = f["a.gpkg"], f["b.geojson"]
    assert zarel_cli("index", "build", pa, "--level", LEVEL, "--id-field", "name", "-o", d / "i.zri").returncode == 0
    index = Index()
    for name, t in zip(pn, zarel.trees_from_polygons(pg, LEVEL)):
        index.add(name, t)
    assert Index.load(d / "i.zri").roots() == index.roots()
    rows = table(zarel_cli("index", "query", d / "i.zri", qa, "--id-field", "name"))
    expected = [(name, hit["key"], hit["relation"], hit["shared_cells"])
                for name, t in zip(qn, zarel.trees_from_polygons(qg, LEVEL)) for hit in index.query(t)]
    assert [(r["id"], r["key"], r["relation"], int(r["shared_cells"])) for r in rows] == expected and expected
    # Two files name their keys by file; a name given twice is refused.
    assert zarel_cli("index", "build", pa, qa, "--level", 3, "-o", d / "j.zri").returncode == 0
    assert len(Index.load(d / "j.zri")) == 8
    assert zarel_cli("index", "build", pa, pa, "--level", 3, "-o", d / "j.zri").returncode == 1


def test_a_bad_feature_is_named_by_its_row_in_the_whole_file(tmp_path):
    # Past the first few hundred rows, where a reader working in steps could count from its step.
    boxes = [shapely.box(x % 100, 0, x % 100 + 0.5, 89.9 if x != 550 else 95.0) for x in range(600)]
    path = tmp_path / "boxes.geojson"
    path.write_text(json.dumps({"type": "FeatureCollection", "features": [
        {"type": "Feature", "properties": {}, "geometry": shapely.geometry.mapping(b)} for b in boxes]}))
    for command in ("fingerprint", "cells", "tree"):
        out = zarel_cli(command, path, "--level", 2, "-o", tmp_path / ("out.zrl" if command == "tree" else "out.csv"))
        assert out.returncode == 1 and "geometry 550:" in out.stderr.decode(), out.stderr
