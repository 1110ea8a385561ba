import pytest
from hypothesis import given, settings, strategies as st

import model
from model import Leaves
from trees import model_divergence, random_pair
from zarel import ZAREL_1, Index, Profile, Tree, cid_to_suid

# Python's set operators, which the trees' operators follow; each but "^" has a method too.
OPS = {
    "union": lambda x, y: x | y,
    "intersect": lambda x, y: x & y,
    "difference": lambda x, y: x - y,
    "^": lambda x, y: x ^ y,
}
METHODS = ["union", "intersect", "difference"]


@settings(max_examples=80, deadline=None)
@given(seed=st.integers(0, 2**32), depth=st.integers(0, 4))
def test_ops_and_divergence_against_leaf_sets(seed, depth):
    ca, cb = random_pair(seed, depth)
    a, b = Tree.from_cells(ca, depth), Tree.from_cells(cb, depth)
    la, lb = model.leaf_set(ca, depth), model.leaf_set(cb, depth)
    # Against the whole globe too, whose Full bases meet branches of the other side.
    everything = (Tree.from_cells(range(9, 15), depth), model.leaf_set(range(9, 15), depth))
    for (x, lx), (y, ly) in [((a, la), (b, lb)), (everything, (a, la)), ((b, lb), everything)]:
        for op, f in OPS.items():
            expected = f(lx, ly)
            got = f(x, y)
            assert op == "^" or got == getattr(x, op)(y)
            assert got.leaves() == sorted(expected), op
            assert got.cells() == model.canonical_cells(expected, depth), op
            assert got.root_hex == model.root(expected, depth), op
            assert got == Tree.from_cells(sorted(expected), depth)
    # The divergence lists the maximal differing regions.
    got = a.divergence(b)
    assert [(d["cid"], d["hash_a"], d["hash_b"]) for d in got] == model_divergence(Leaves(la, depth), Leaves(lb, depth))
    for d in got:
        assert list(d) == ["cid", "suid", "hash_a", "hash_b"]
        assert d["suid"] == cid_to_suid(d["cid"])
    # Every differing leaf lies under exactly one reported cell.
    covered = [set(model.leaf_range(d["cid"], depth)) for d in got]
    assert set().union(*covered) >= la ^ lb
    assert sum(len(c) for c in covered) == len(set().union(*covered))


def test_result_keeps_self_profile():
    # The time fields place no cell: such trees combine, and compare by their cells.
    p = Profile(tick_us=1000, epoch_us=-5)
    a, b = Tree.from_cells([9], 2, p), Tree.from_cells([10], 2)
    for f in OPS.values():
        assert f(a, b).profile == p
        assert f(b, a).profile == Profile.ogc()
    assert a == Tree.from_cells([9], 2) and a.union(b) == b.union(a)
    assert a.prove(b, "union")["root_c"] == a.union(b).root_hex
    index = Index()
    index.add("ogc", Tree.from_cells([9], 2))
    assert [h["relation"] for h in index.query(a)] == ["equal"]


WGS84 = "a=6378137 1/f=298.257223563"


@pytest.mark.parametrize("profile, differs", [
    (ZAREL_1, "prime meridian mismatch: lon_0=50 vs lon_0=0"),
    (Profile(lon_0_udeg=50_000_001), "prime meridian mismatch: lon_0=50 vs lon_0=50.000001"),
    (Profile(south_square=3), "polar square mismatch: ns=0 ss=0 vs ns=0 ss=3"),
    (Profile(north_square=1), "polar square mismatch: ns=0 ss=0 vs ns=1 ss=0"),
    (Profile(a_um=6378136999999), f"ellipsoid mismatch: {WGS84} vs a=6378136.999999 1/f=298.257223563"),
    (Profile(inv_f_nano=298257222101), f"ellipsoid mismatch: {WGS84} vs a=6378137 1/f=298.257222101"),
])
def test_one_grid_per_combination(profile, differs):
    # The same cids under a profile that places them elsewhere: equal roots, other places.
    a, b = Tree.from_cells([983], 5), Tree.from_cells([983], 5, profile)
    assert a.root_hex == b.root_hex and a != b and not a == b
    index = Index()
    index.add("a", a)
    for call in [a.union, a.intersect, a.difference, a.divergence, lambda t: a.prove(t, "union"), index.query,
                 lambda t: index.add("b", t), *(lambda t, f=f: f(a, t) for f in OPS.values())]:
        with pytest.raises(ValueError) as e:
            call(b)
        assert str(e.value) == differs + "; a cid names another place under each profile"
    assert index.roots() == [("a", a.root_hex)]


def test_other_aperture_suid():
    p = Profile(aperture=4)
    a, b = Tree.from_cells([4 * 4 + 1], 2, p), Tree.from_cells([], 2, p)
    (d,) = a.divergence(b)
    # A suid names a cell of the (9, 6) grid: "N" is cid 9 there, not this cell.
    assert (d["cid"], d["suid"], d["hash_b"]) == (4, None, Leaves([], 2, a=4).empty[2].hex())
    assert d["hash_a"] == Leaves(model.leaf_set([17], 2, a=4), 2, a=4).hash(4, 2).hex()
    assert sorted(a.union(b).cells()) == [17]


@pytest.mark.parametrize("method", METHODS + ["divergence"])
def test_compatibility_messages(method):
    a = Tree.from_cells([9], 5)
    with pytest.raises(ValueError) as e:
        getattr(a, method)(Tree.from_cells([9], 6))
    assert str(e.value) == "depth mismatch: 5 vs 6; depth is part of a root's identity"
    with pytest.raises(ValueError) as e:
        getattr(a, method)(Tree.from_cells([4], 5, Profile(aperture=4)))
    assert str(e.value) == "topology mismatch: Hierarchy { a: 9, b: 6 } vs Hierarchy { a: 4, b: 6 }"
    with pytest.raises(TypeError) as e:
        getattr(a, method)(5)
    assert str(e.value) == "'int' object is not an instance of 'Tree'"
    assert e.value.__notes__ == ["while processing 'other'"]
    assert getattr(a, method)(other=a) is not None


@pytest.mark.parametrize("op", OPS.values())
def test_operators_refuse_as_the_methods(op):
    a = Tree.from_cells([9], 5)
    with pytest.raises(ValueError, match="^depth mismatch: 5 vs 6; depth is part of a root's identity$"):
        op(a, Tree.from_cells([9], 6))
    for other in (5, {9}, None):
        for x, y in [(a, other), (other, a)]:
            with pytest.raises(TypeError, match="unsupported operand"):
                op(x, y)
