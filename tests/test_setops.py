import pytest
from hypothesis import given, settings, strategies as st

import model
from model import Leaves
from trees import model_divergence, random_pair
from zarel import Profile, Tree, cid_to_suid

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
def test_ops_against_leaf_sets(seed, depth):
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


@settings(max_examples=60, deadline=None)
@given(seed=st.integers(0, 2**32), depth=st.integers(0, 4))
def test_divergence_lists_maximal_differing_regions(seed, depth):
    ca, cb = random_pair(seed, depth)
    a, b = Tree.from_cells(ca, depth), Tree.from_cells(cb, depth)
    la, lb = Leaves(model.leaf_set(ca, depth), depth), Leaves(model.leaf_set(cb, depth), depth)
    got = a.divergence(b)
    assert [(d["cid"], d["hash_a"], d["hash_b"]) for d in got] == model_divergence(la, lb)
    for d in got:
        assert list(d) == ["cid", "suid", "hash_a", "hash_b"]
        assert d["suid"] == cid_to_suid(d["cid"])
    # Every differing leaf lies under exactly one reported cell.
    differing = set(la.leaves) ^ set(lb.leaves)
    covered = [set(model.leaf_range(d["cid"], depth)) for d in got]
    assert set().union(*covered) >= differing
    assert sum(len(c) for c in covered) == len(set().union(*covered))


def test_halves_combine_into_one_full_node():
    left, right = Tree.from_cells(range(90, 95), 2), Tree.from_cells(range(95, 99), 2)
    assert left.union(right).cells() == [10]


def test_result_keeps_self_profile():
    p = Profile.zarel_1()
    a, b = Tree.from_cells([9], 2, p), Tree.from_cells([10], 2)
    for f in OPS.values():
        assert f(a, b).profile == p
        assert f(b, a).profile == Profile.ogc()


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
