import inspect
import pathlib
import tomllib

import numpy as np

import zarel
import zarel._zarel as m

# The documented names: every callable among them carries its signature.
NAMES = ["Profile", "Tree", "Index",
         "polyfill", "fingerprint_polygon", "verify_opening", "verify_setop", "cell_area_m2",
         "cells_geojson", "suid_to_cid", "cid_to_suid", "position", "cell_at", "subzone_index",
         "subzone_at", "subzones", "neighbours", "halo_index", "_cells_from_lonlat",
         "_cells_to_lonlat", "_cell_boundaries", "_cell_neighbours", "raster_index", "raster_cells",
         "OGC_RHEALPIX", "ZAREL_1", "MAX_RESOLUTION", "__version__"]


def test_constants():
    assert m.MAX_RESOLUTION == 15
    # The version is written in pyproject.toml alone; the build hands it to the module.
    project = tomllib.loads((pathlib.Path(__file__).parents[1] / "pyproject.toml").read_text())["project"]
    assert m.__version__ == zarel.__version__ == project["version"]
    assert issubclass(m.InternalError, BaseException) and not issubclass(m.InternalError, Exception)


def test_docstrings_carry_signatures():
    funcs = [getattr(m, n) for n in NAMES if callable(getattr(m, n, None)) and n not in ("Profile", "Tree", "Index")]
    methods = [getattr(cls, n) for cls in (m.Profile, m.Tree) for n, v in vars(cls).items()
               if not n.startswith("_") and callable(getattr(cls, n))]
    # The interpreter splits "sig\n--\n\n" docstrings into __text_signature__ and __doc__.
    for f in funcs + methods + [m.Profile]:
        assert f.__text_signature__ is not None, f
    assert inspect.signature(m.Tree.from_cells).parameters["profile"].default is None


def test_keywords():
    t = m.Tree.from_cells(cids=(9, 983), depth=3, profile=None)
    assert m.verify_setop(proof=t.prove(other=t, op="union")) is True
    assert m.verify_opening(record=t.open(cid=9)) is True
    assert m.suid_to_cid(suid="Q12") == 983 and m.cid_to_suid(cid=983) == "Q12"
    assert m.cell_at(base=3, level=2, row=4, col=5) == (9 + 3) * 81 + 4 * 9 + 5
    assert m.subzone_at(ancestor=983, depth=1, index=4) == 983 * 9 + 4
    lon, lat = np.array([1.0]), np.array([2.0])
    assert m._cells_from_lonlat(lon=lon, lat=lat, level=4, profile=None, nthreads=1).tolist() == \
        m._cells_from_lonlat(lon, lat, 4).tolist()


class _EqualToAll:
    """Claims equality with everything and leaves `!=` to the other side."""

    def __eq__(self, other):
        return True

    def __ne__(self, other):
        return NotImplemented

    __hash__ = None


def test_tree_ne_negates_python_eq():
    t = zarel.Tree.from_cells([9], 1)
    # `==` defers to the other object (here True), so `!=` must be False, not identity's True.
    assert (t == _EqualToAll()) is True
    assert (t != _EqualToAll()) is False
    for other in (5, "tree", None, zarel.OGC_RHEALPIX):
        assert t.__ne__(other) is (not (t == other))
    assert t.__eq__(5) is NotImplemented
