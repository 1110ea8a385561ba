"""The `zarel` command: fingerprints, cells, trees, proofs and indexes from
vector files, for people who hold files rather than write Python.

Vector files are read through pyogrio (GeoPackage, Shapefile, GeoJSON,
FlatGeobuf and whatever else its GDAL reads) and GeoParquet through pyarrow;
geometries in another coordinate system are brought to longitude/latitude on
WGS84 with pyproj. Needs the `cli` extra: `pip install "zarel[cli]"`.

Errors are one line on standard error; the exit status is 2 for bad usage
and 1 for anything that failed, a proof or record that does not verify for
what the caller named included.
"""

from __future__ import annotations

import csv
import io
import json
import sys
import warnings
from pathlib import Path
from typing import IO, Any, Callable, Literal, Mapping, Sequence, TypeVar, cast

import click
import numpy as np

import zarel
from zarel import Index, Tree

MODES = ("nucleus", "inside", "overlap")
OPS = ("union", "intersect", "difference")
def _mode(value: str) -> Literal["nucleus", "inside", "overlap"]:
    return cast('Literal["nucleus", "inside", "overlap"]', value)


# Tables of fewer features than this are filled without a progress bar.
BAR_FROM = 513
_T = TypeVar("_T")


# ---------------------------------------------------------------- reading features

class Features:
    """The features of one layer: their ids and shapely geometries in longitude/latitude degrees."""

    def __init__(self, ids: list[Any], geometries: np.ndarray) -> None:
        self.ids = ids
        self.geometries = geometries


def _source(path: str) -> Any:
    """A path, or the bytes of standard input for `-`."""
    return io.BytesIO(sys.stdin.buffer.read()) if path == "-" else path


def _to_lonlat(geometries: np.ndarray, crs: Any) -> np.ndarray:
    if crs is None:
        return geometries  # taken as longitude/latitude, as GeoJSON is
    import pyproj  # type: ignore[import-untyped,unused-ignore]
    import shapely  # type: ignore[import-untyped,unused-ignore]

    source = pyproj.CRS.from_user_input(crs)
    target = pyproj.CRS.from_user_input("OGC:CRS84")
    if source == target or source == pyproj.CRS.from_epsg(4326):
        return geometries
    to = pyproj.Transformer.from_crs(source, target, always_xy=True)
    return shapely.transform(geometries, lambda xy: np.column_stack(to.transform(xy[:, 0], xy[:, 1])))


def _read_geoparquet(path: str, id_field: str | None) -> Features:
    import pyarrow.parquet as pq  # type: ignore[import-untyped,unused-ignore]
    import shapely  # type: ignore[import-untyped,unused-ignore]

    table = pq.read_table(_source(path))
    meta = json.loads((table.schema.metadata or {}).get(b"geo", b"{}"))
    column = meta.get("primary_column", "geometry")
    if column not in table.column_names:
        raise click.ClickException(f"{path}: no geometry column {column!r}")
    info = meta.get("columns", {}).get(column, {})
    if info.get("encoding", "WKB").upper() != "WKB":
        raise click.ClickException(f"{path}: geometry encoding {info['encoding']!r}; only WKB is read")
    geometries = shapely.from_wkb(table.column(column).to_numpy(zero_copy_only=False))
    ids = _ids(table, id_field, None, path)
    return Features(ids, _to_lonlat(geometries, info.get("crs", "OGC:CRS84")))


def _ids(table: Any, id_field: str | None, fid_column: str | None, path: str) -> list[Any]:
    if id_field is not None:
        if id_field not in table.column_names:
            raise click.BadParameter(f"{path} has no field {id_field!r}; it has {', '.join(table.column_names)}",
                                     param_hint="'--id-field'")
        return list(table.column(id_field).to_pylist())
    if fid_column and fid_column in table.column_names:
        return list(table.column(fid_column).to_pylist())
    return list(range(table.num_rows))


def read_features(path: str, layer: str | None = None, id_field: str | None = None) -> Features:
    """Every feature of `path` (one layer of it), `-` for standard input."""
    if path.lower().endswith((".parquet", ".geoparquet")):
        return _read_geoparquet(path, id_field)
    import pyogrio  # type: ignore[import-untyped,unused-ignore]
    import shapely  # type: ignore[import-untyped,unused-ignore]

    try:
        with warnings.catch_warnings():
            # Standard input is read from memory, whose name has no suffix for the driver to like.
            warnings.filterwarnings("ignore", "File /vsimem/", RuntimeWarning)
            meta, table = pyogrio.read_arrow(_source(path), layer=layer, return_fids=True)
    except pyogrio.errors.DataSourceError as e:
        raise click.ClickException(str(e)) from None
    except pyogrio.errors.DataLayerError as e:
        raise click.BadParameter(str(e), param_hint="'--layer'") from None
    column = meta.get("geometry_name") or "wkb_geometry"
    if column not in table.column_names:
        raise click.ClickException(f"{path}: the layer has no geometries")
    geometries = shapely.from_wkb(table.column(column).to_numpy(zero_copy_only=False))
    return Features(_ids(table, id_field, "fid", path), _to_lonlat(geometries, meta.get("crs")))


# ---------------------------------------------------------------- writing tables

def _open_text(out: str) -> IO[str]:
    return sys.stdout if out == "-" else open(out, "w", newline="", encoding="utf-8")


def write_table(columns: Mapping[str, Sequence[Any]], out: str, geometries: np.ndarray | None = None) -> None:
    """The columns as CSV (stdout and `.csv`), Parquet (`.parquet`) or GeoJSON (`.geojson`, `.json`)."""
    suffix = Path(out).suffix.lower() if out != "-" else ".csv"
    if suffix == ".parquet":
        import pyarrow as pa  # type: ignore[import-untyped,unused-ignore]
        import pyarrow.parquet as pq  # type: ignore[import-untyped,unused-ignore]

        pq.write_table(pa.table({k: list(v) for k, v in columns.items()}), out)
    elif suffix in (".geojson", ".json"):
        import shapely  # type: ignore[import-untyped,unused-ignore]

        names = list(columns)
        shapes = [None] * len(columns[names[0]]) if geometries is None else shapely.to_geojson(geometries)
        with _open_text(out) as f:
            f.write('{"type": "FeatureCollection", "features": [\n')
            for i, shape in enumerate(shapes):
                properties = {name: _plain(columns[name][i]) for name in names}
                geometry = "null" if shape is None else shape
                f.write(("," if i else "") + f'{{"type": "Feature", "properties": {json.dumps(properties)}, '
                        f'"geometry": {geometry}}}\n')
            f.write("]}\n")
    elif suffix == ".csv":
        f = _open_text(out)
        try:
            writer = csv.writer(f, lineterminator="\n")
            writer.writerow(columns)
            writer.writerows(zip(*columns.values()))
        finally:
            if f is not sys.stdout:
                f.close()
    else:
        raise click.BadParameter(f"{out}: the suffix must be .csv, .parquet or .geojson", param_hint="'-o'")


def _plain(value: Any) -> Any:
    return value.item() if isinstance(value, np.generic) else value


# ---------------------------------------------------------------- trees and documents in files

def read_bytes(path: str) -> bytes:
    return sys.stdin.buffer.read() if path == "-" else Path(path).read_bytes()


def write_bytes(data: bytes, out: str) -> None:
    if out == "-":
        sys.stdout.buffer.write(data)
        sys.stdout.buffer.flush()
    else:
        Path(out).write_bytes(data)


def read_tree(path: str) -> Tree:
    try:
        return Tree.from_bytes(read_bytes(path))
    except ValueError as e:
        raise click.ClickException(f"{path}: {e}") from None


def read_json(path: str) -> Any:
    try:
        return json.loads(read_bytes(path))
    except ValueError as e:
        raise click.ClickException(f"{path}: not JSON: {e}") from None


def _filled(features: Features, fill: Callable[..., _T]) -> _T:
    """fill(geometries, progress=...) over the whole table, with a progress bar when standard error is a terminal."""
    if not sys.stderr.isatty() or len(features.ids) < BAR_FROM:
        return fill(features.geometries, progress=False)
    with click.progressbar(length=len(features.ids), label="filling", file=sys.stderr) as bar:
        return fill(features.geometries, progress=lambda done, _: bar.update(done - bar.pos))


def trees_of(features: Features, level: int, mode: str) -> list[Tree]:
    return _filled(features, lambda g, **kw: zarel.trees_from_polygons(g, level, mode=_mode(mode), **kw))


def union_all(trees: list[Tree]) -> Tree:
    """The union of the trees, pairwise so each step unites trees of similar size."""
    while len(trees) > 1:
        trees = [trees[i] | trees[i + 1] if i + 1 < len(trees) else trees[i] for i in range(0, len(trees), 2)]
    return trees[0]


# ---------------------------------------------------------------- checking proofs and openings
# Each checks the document and that it is about exactly what the caller named,
# and gives the proven fact, or raises ValueError saying what does not hold.

def setop_result(proof: Any, *, root_a: str, root_b: str, op: str) -> str:
    """The root of `root_a op root_b` that `proof` proves."""
    if not zarel.verify_setop(proof):
        raise ValueError("the proof does not verify")
    for name, wanted in (("root_a", root_a), ("root_b", root_b), ("op", op)):
        if proof.get(name) != wanted:
            raise ValueError(f"the proof's {name} is {proof.get(name)}, not {wanted}")
    return str(proof["root_c"])


def _opened_cell(record: Any) -> tuple[int, str]:
    """The cell an opening record opens and its claim, read from the record's path."""
    a = int(record["A"])
    entries = record["opening"]["entries"]
    cid = None
    while True:
        opened = [(k, e) for k, e in enumerate(entries) if isinstance(e, dict)]
        k, entry = opened[0]
        cid = a + k if cid is None else cid * a + k
        if "claim" in entry:
            return cid, str(entry["claim"])
        entries = entry["entries"]


def opening_claim(record: Any, *, root: str, cid: int) -> str:
    """"full" or "empty": what `record` proves of the cell `cid` in the tree of root `root`."""
    if not zarel.verify_opening(record):
        raise ValueError("the record does not verify")
    if record.get("root") != root:
        raise ValueError(f"the record's root is {record.get('root')}, not {root}")
    opened, claim = _opened_cell(record)
    a = int(record["A"])
    ancestor = cid
    while ancestor > opened:
        ancestor //= a
    if ancestor != opened:
        raise ValueError(f"the record opens cell {opened}, not cell {cid} or one of its ancestors")
    return claim


# ---------------------------------------------------------------- the commands

class Command(click.Group):
    """Errors as one line on standard error: status 2 for bad usage, 1 for a failure."""

    def main(self, args: Sequence[str] | None = None, prog_name: str | None = None,
             complete_var: str | None = None, standalone_mode: bool = True, **extra: Any) -> Any:
        try:
            return super().main(args, prog_name, complete_var, standalone_mode=False, **extra)
        except click.exceptions.Exit as e:
            sys.exit(e.exit_code)
        except click.UsageError as e:
            sys.exit(_fail(e.format_message(), 2))
        except click.ClickException as e:
            sys.exit(_fail(e.format_message(), 1))
        except click.Abort:
            sys.exit(_fail("interrupted", 130))
        except (ValueError, TypeError, OSError) as e:
            sys.exit(_fail(str(e) if not isinstance(e, OSError) or not e.filename else
                           f"{e.filename}: {e.strerror}", 1))


def _fail(message: str, status: int) -> int:
    click.echo(f"zarel: {' '.join(message.split())}", err=True)
    return status


level_option = click.option("--level", "-l", type=click.IntRange(0, zarel.MAX_RESOLUTION), required=True,
                            help="The level of the cells (0 to 15).")
mode_option = click.option("--mode", "-m", type=click.Choice(MODES), default="nucleus", show_default=True,
                           help="nucleus: cells whose centre is inside; inside: cells wholly inside; "
                                "overlap: cells the polygon meets.")
layer_option = click.option("--layer", help="The layer to read (default: the first).")
id_option = click.option("--id-field", help="The field naming each feature (default: its feature id).")


def features_options(command: Callable[..., Any]) -> Callable[..., Any]:
    """FILE and the options that read its features and fill them at a level."""
    for option in (id_option, layer_option, mode_option, level_option, click.argument("file")):
        command = option(command)
    return command


@click.group(cls=Command, context_settings={"help_option_names": ["-h", "--help"]})
@click.version_option(zarel.__version__, prog_name="zarel")
def cli() -> None:
    """Fingerprint areas of the Earth as cells of the rHEALPix grid, and prove facts about them.

    \b
    Example:
      zarel fingerprint parcels.gpkg --level 12 -o roots.csv
    """


@cli.command()
@features_options
@click.option("-o", "--output", default="-", help="CSV, Parquet or GeoJSON by suffix; `-` for CSV on stdout.")
def fingerprint(file: str, level: int, mode: str, layer: str | None, id_field: str | None, output: str) -> None:
    """One root per feature of FILE: the 64-hex-digit fingerprint of its cells at LEVEL.

    \b
    Example:
      zarel fingerprint countries.gpkg --level 9 --id-field name -o roots.parquet
    """
    f = read_features(file, layer, id_field)
    roots = _filled(f, lambda g, **kw: zarel.fingerprint_polygons(g, level, mode=_mode(mode), **kw))
    write_table({"id": f.ids, "root": zarel.roots_hex(roots)}, output, f.geometries)


@cli.command()
@features_options
@click.option("-o", "--output", default="-", help="CSV or Parquet by suffix; `-` for CSV on stdout.")
def cells(file: str, level: int, mode: str, layer: str | None, id_field: str | None, output: str) -> None:
    """The cells at LEVEL of each feature of FILE: one row per cell (id, cid, suid).

    \b
    Example:
      zarel cells parcels.gpkg --level 12 -o cells.parquet
    """
    f = read_features(file, layer, id_field)
    cids, offsets = _filled(f, lambda g, **kw: zarel.polyfill_polygons(g, level, mode=_mode(mode), **kw))
    ids = np.repeat(np.asarray(f.ids, dtype=object), np.diff(offsets)).tolist()
    write_table({"id": ids, "cid": cids.tolist(), "suid": zarel.cids_to_suids(cids).tolist()}, output)


@cli.command()
@click.argument("file")
@level_option
@mode_option
@layer_option
@click.option("-o", "--output", required=True, help="The tree file (`.zrl`); `-` for stdout.")
def tree(file: str, level: int, mode: str, layer: str | None, output: str) -> None:
    """The coverage of every feature of FILE together, as one tree file.

    \b
    Example:
      zarel tree parcels.gpkg --level 12 -o parcels.zrl
    """
    f = read_features(file, layer)
    trees = trees_of(f, level, mode)
    t = union_all(trees) if trees else Tree.from_cells([], level)
    write_bytes(t.to_bytes(), output)
    if output != "-":
        click.echo(t.root_hex)


@cli.command()
@click.argument("tree_file", metavar="TREE")
def info(tree_file: str) -> None:
    """The root, depth, profile and counts of a tree file.

    \b
    Example:
      zarel info parcels.zrl
    """
    t = read_tree(tree_file)
    click.echo(f"root: {t.root_hex}\ndepth: {t.depth}\nprofile: {t.profile.describe()}\n"
               f"profile id: {t.profile.id_hex()}\ncells: {len(t.cells_array())}\nleaves: {t.leaf_count()}")


@cli.command()
@click.argument("a")
@click.argument("b")
@click.option("--op", type=click.Choice(OPS), required=True, help="The set operation to prove.")
@click.option("-o", "--output", default="-", help="The proof file (JSON); `-` for stdout.")
def prove(a: str, b: str, op: str, output: str) -> None:
    """A proof of A OP B for two tree files, checkable against their roots alone.

    \b
    Example:
      zarel prove parcels.zrl reserve.zrl --op intersect -o proof.json
    """
    proof = read_tree(a).prove(read_tree(b), cast('Literal["union", "intersect", "difference"]', op))
    text = json.dumps(proof) + "\n"
    if output == "-":
        click.echo(text, nl=False)
    else:
        Path(output).write_text(text)


def _root(value: str) -> str:
    if len(value) != 64 or any(c not in "0123456789abcdef" for c in value):
        raise click.BadParameter(f"{value!r} is not a root (64 lowercase hex digits)")
    return value


@cli.command()
@click.argument("proof_file", metavar="PROOF")
@click.option("--root-a", required=True, callback=lambda c, p, v: _root(v), help="The root of the first tree.")
@click.option("--root-b", required=True, callback=lambda c, p, v: _root(v), help="The root of the second tree.")
@click.option("--op", type=click.Choice(OPS), required=True, help="The set operation the proof must be of.")
def verify(proof_file: str, root_a: str, root_b: str, op: str) -> None:
    """Check that PROOF proves ROOT_A OP ROOT_B, and print the resulting root.

    Exits with status 0 only when the proof verifies and is about exactly the
    roots and operation named; 1 otherwise.

    \b
    Example:
      zarel verify proof.json --root-a 5f1e... --root-b 0b7c... --op intersect
    """
    try:
        result = setop_result(read_json(proof_file), root_a=root_a, root_b=root_b, op=op)
    except (ValueError, KeyError, AttributeError, TypeError) as e:
        raise click.ClickException(f"{proof_file}: {e}") from None
    click.echo(f"{root_a} {op} {root_b} = {result}")


def _cid(value: str) -> int:
    try:
        return int(value) if value.isdigit() else zarel.suid_to_cid(value)
    except (ValueError, OverflowError) as e:
        raise click.BadParameter(f"{value!r} is neither a cid nor a suid: {e}") from None


@cli.command("verify-opening")
@click.argument("record_file", metavar="RECORD")
@click.option("--root", required=True, callback=lambda c, p, v: _root(v), help="The root of the tree.")
@click.option("--cid", required=True, callback=lambda c, p, v: _cid(v), help="The cell, as a cid or a suid.")
def verify_opening(record_file: str, root: str, cid: int) -> None:
    """Check that RECORD proves the cell CID covered or uncovered in the tree of ROOT.

    Exits with status 0 only when the record verifies and is about exactly the
    root and cell named; 1 otherwise.

    \b
    Example:
      zarel verify-opening record.json --root 5f1e... --cid Q12
    """
    try:
        claim = opening_claim(read_json(record_file), root=root, cid=cid)
    except (ValueError, KeyError, AttributeError, TypeError, IndexError) as e:
        raise click.ClickException(f"{record_file}: {e}") from None
    name = zarel.cid_to_suid(cid)
    click.echo(f"cell {cid} ({name}) is {'covered' if claim == 'full' else 'not covered'} in {root}")


@cli.group()
def index() -> None:
    """Registries of coverages: build an index file, then ask it which coverages a file's features meet.

    \b
    Example:
      zarel index build reserves.gpkg --level 10 --id-field name -o registry.zri
      zarel index query registry.zri parcels.gpkg -o hits.csv
    """


@index.command("build")
@click.argument("files", nargs=-1, required=True)
@level_option
@mode_option
@layer_option
@id_option
@click.option("-o", "--output", required=True, help="The index file.")
def index_build(files: Sequence[str], level: int, mode: str, layer: str | None, id_field: str | None,
                output: str) -> None:
    """An index of every feature of FILES, each under its id (`FILE:id` when there are several files).

    \b
    Example:
      zarel index build reserves.gpkg parks.shp --level 10 --id-field name -o registry.zri
    """
    idx = Index()
    for file in files:
        f = read_features(file, layer, id_field)
        for key, t in zip(f.ids, trees_of(f, level, mode)):
            name = str(key) if len(files) == 1 else f"{file}:{key}"
            if name in idx:
                raise click.ClickException(f"{file}: two features are called {name!r}; name them with --id-field")
            idx.add(name, t)
    idx.save(output)
    click.echo(f"{len(idx)} keys, {idx.distinct_roots} distinct coverages", err=True)


@index.command("query")
@click.argument("index_file", metavar="INDEX")
@click.argument("file")
@mode_option
@layer_option
@id_option
@click.option("-o", "--output", default="-", help="CSV, Parquet or GeoJSON by suffix; `-` for CSV on stdout.")
def index_query(index_file: str, file: str, mode: str, layer: str | None, id_field: str | None,
                output: str) -> None:
    """Which indexed coverages each feature of FILE meets, and how: one row per feature and key.

    \b
    Example:
      zarel index query registry.zri parcels.gpkg -o hits.csv
    """
    idx = Index.load(index_file)
    keys = idx.keys()
    rows: dict[str, list[Any]] = {k: [] for k in ("id", "key", "relation", "fraction_of_query",
                                                  "fraction_of_item", "shared_cells")}
    if keys:
        level = idx[keys[0]].depth
        f = read_features(file, layer, id_field)
        for fid, t in zip(f.ids, trees_of(f, level, mode)):
            for hit in idx.query(t):
                rows["id"].append(fid)
                for k in list(rows)[1:]:
                    rows[k].append(hit[k])  # type: ignore[literal-required]
    write_table(rows, output)


def main(argv: Sequence[str] | None = None) -> Any:
    """The console script."""
    return cli.main(args=list(argv) if argv is not None else None, prog_name="zarel")


if __name__ == "__main__":
    main()
