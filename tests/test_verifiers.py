"""Both verifiers against hostile documents: whatever a caller passes, the answer
is False (never an exception, a deep walk or an allocation sized by the document),
except that an interrupt raised while reading the document still propagates.
Equivalent documents, whether the direct reader takes them or leaves them to the
general one (non-ASCII text, odd numbers), get the same answers."""
import json
import random

import pytest

from trees import edited, random_cells
from zarel import Tree, verify_opening, verify_setop

PROOF = Tree.from_cells([9, 100, 983], 3).prove(Tree.from_cells([10, 983], 3), "union")
RECORD = Tree.from_cells([100, 8019], 3).open(8019)  # 8019 lies under base 2
BOTH = pytest.mark.parametrize("verify, good", [(verify_setop, PROOF), (verify_opening, RECORD)],
                               ids=["setop", "opening"])

GARBAGE = [None, True, False, 0, 1, -1, 2**63, 2**64 - 1, 2**70, 1.5, -0.0, "", "sha256", "full", [], [PROOF],
           [RECORD], {}, {"v": 1}, "0" * 64, "G" * 64, "A" * 64, "0" * 63, "0" * 65, {"claim": "full"},
           {"entries": []}, {"claim": None}, {"entries": "0" * 64}]
UNCONVERTIBLE = [{1, 2}, b"bytes", float("nan"), {"x": float("-inf")}, object(), {"steps": [complex(1, 2)]},
                 {"root": float("inf")}]


@BOTH
@pytest.mark.parametrize("value", GARBAGE + UNCONVERTIBLE, ids=repr)
def test_garbage_documents_and_fields(verify, good, value):
    assert verify(good) is True
    assert verify(value) is False
    for key in good:
        if value != good[key]:
            assert verify(dict(good, **{key: value})) is False, key
        assert verify({k: v for k, v in good.items() if k != key}) is False, key


# (verifier, document, the part of it that changes, the key or index that changes)
NESTED = [(verify_setop, PROOF, lambda m: m["steps"][0], k) for k in ("a", "b", "c", "children")] + [
    (verify_opening, RECORD, lambda m: m["opening"]["entries"][2]["entries"], 0),
    (verify_opening, RECORD, lambda m: m["opening"]["entries"][2], "entries")]


@pytest.mark.parametrize("verify, good, part, key", NESTED)
@pytest.mark.parametrize("value", GARBAGE + [[None] * 9, ["g" * 64] * 9, [{}] * 9], ids=repr)
def test_garbage_nested_fields(verify, good, part, key, value):
    assert verify(edited(good, part, lambda p: p.__setitem__(key, value))) is False


@BOTH
@pytest.mark.parametrize("shape", [{k: v} for k in "ABD" for v in (2**32, 2**64 - 1, 2**70, 10**30, 4097, 1, 0)]
                         # Valid shapes whose contents do not match: refused before any ladder is built.
                         + [dict(A=4096, B=4096 * 4095, D=3), dict(A=2, B=2, D=61), dict(A=4096, B=1, D=4)])
def test_huge_or_mismatched_shapes(verify, good, shape):
    assert verify(dict(good, **shape)) is False


def nest(n, wrap):
    v = wrap(None)
    for _ in range(n):
        v = wrap(v)
    return v


LEAF = {"a": "0" * 64, "b": "1" * 64, "c": "2" * 64}


def chain(depth):
    """A transcript step descending `depth` levels along one path."""
    return nest(depth, lambda v: LEAF if v is None else dict(LEAF, children=[v] + [LEAF] * 8))


def deep_opening(depth):
    node = nest(depth, lambda v: {"claim": "full"} if v is None else {"entries": [v] + ["0" * 64] * 8})
    return {"entries": [node] + ["0" * 64] * 5}


@pytest.mark.parametrize("verify, doc", [
    # Nested deeper than the depth: refused while parsing, not walked.
    (verify_setop, dict(PROOF, steps=[chain(20)] * 6)),
    (verify_setop, dict(PROOF, D=18, steps=[chain(60)] * 6)),
    (verify_opening, dict(RECORD, D=18, opening=deep_opening(60))),
    (verify_setop, dict(PROOF, steps=nest(200, lambda v: [v] if v is not None else []))),
    (verify_opening, dict(RECORD, opening={"entries": nest(200, lambda v: [v] if v is not None else [])})),
    (verify_setop, nest(100000, lambda v: [v] if v is not None else [])),
    (verify_opening, nest(100000, lambda v: {"entries": [v]} if v is not None else {})),
])
def test_nesting_limits(verify, doc):
    assert verify(doc) is False


class Interrupting(dict):
    def items(self):
        raise KeyboardInterrupt


@BOTH
def test_interrupt_propagates(verify, good):
    with pytest.raises(KeyboardInterrupt):
        verify(Interrupting(good))


@pytest.fixture(scope="module")
def records():
    rng = random.Random(11)
    out = []
    for depth in (0, 3, 18):
        tree = Tree.from_cells(random_cells(rng, depth, 40), depth)
        for cid in random_cells(rng, depth, 30):
            rec = tree.open(cid)
            if rec is not None:
                out.append(rec)
    assert len(out) > 30
    return out


def test_helpers_answer_only_for_the_roots_cell_and_op_expected():
    from zarel import opening_claim, setop_result, suid_to_cid

    a, b = Tree.from_cells([100, 8019], 3), Tree.from_cells([10, 983], 3)
    inside, outside = 8019, 9 * 983 + 4
    assert opening_claim(a.open(inside), root=a.root_hex, cid=inside) == "full"
    assert opening_claim(a.open(outside), root=bytes.fromhex(a.root_hex), cid=outside) == "empty"
    assert opening_claim(b.open(983), root=b, cid="Q12") == "full" and suid_to_cid("Q12") == 983
    record = a.open(inside)

    def claim_of(r):
        node = r["opening"]
        while "claim" not in node:
            node = next(e for e in node["entries"] if isinstance(e, dict))
        return node

    flipped = edited(record, claim_of, lambda c: c.__setitem__("claim", "empty"))
    for doc, root, cid in [(record, a, outside), (record, b, inside), (b.open(inside), a, inside), (flipped, a, inside),
                           (edited(record, lambda r: r, lambda r: r.__setitem__("root", b.root_hex)), b, inside),
                           (None, a, inside), ({"claim": "full"}, a, inside)]:
        assert verify_opening(record) and opening_claim(doc, root=root, cid=cid) is None
    proof = a.prove(b, "difference")
    assert setop_result(proof, root_a=a, root_b=b.root_hex, op="difference") == (a - b).root_hex
    wrong_result = edited(proof, lambda p: p, lambda p: p.__setitem__("root_c", b.root_hex))
    for doc, ra, rb, op in [(proof, b, a, "difference"), (proof, a, b, "union"), (wrong_result, a, b, "difference"),
                            (a.prove(b, "union"), a, b, "difference"), ({}, a, b, "difference")]:
        assert setop_result(doc, root_a=ra, root_b=rb, op=op) is None
    with pytest.raises(ValueError, match="op must be one of union, intersect, difference"):
        setop_result(proof, root_a=a, root_b=b, op="Union")
    with pytest.raises(ValueError, match="root must be a root"):
        opening_claim(record, root="00", cid=inside)


class ThroughText(dict):
    """A record the verifier cannot read from its objects: it takes the JSON text road."""


class Digits(int):
    pass


class Text(str):
    pass


# Each variant with the answer it must get (None: whichever, so long as both roads agree).
@pytest.mark.parametrize("variant, valid", [
    (lambda r: r, True),
    (lambda r: json.loads(json.dumps(r, indent=3)), True),
    (lambda r: dict(reversed(list(r.items()))), True),
    (lambda r: {**r, "note": "caf\u00e9 \U0001f600 \\ \" \n"}, True),  # non-ASCII: the general reader's road
    (lambda r: {**r, "extra": [1e300, -0.0, 2**64 - 1, -2**63, 2**70, 0.1, None, True, {}]}, True),
    (lambda r: {**r, "hash": "sha256\u00e9"}, False),
    (lambda r: {**r, "v": 1.0}, False),
    (lambda r: {**r, "v": 2**64}, False),
    (lambda r: {**r, "D": True} if r["D"] == 1 else {**r, "v": True}, None),
    (lambda r: {**r, "v": Digits(1), "A": Digits(r["A"])}, None),
    (lambda r: {**r, "hash": Text("sha256")}, None),
    (lambda r: {**r, "root": r["root"].upper()}, None),
    (lambda r: {**r, "opening": {"entries": tuple(r["opening"]["entries"])}}, None),
    (lambda r: {**r, "opening": {"entries": [Text(e) if isinstance(e, str) else e for e in r["opening"]["entries"]]}}, None),
    (lambda r: {**r, "opening": {**r["opening"], "claim": "full"}}, None),
    (lambda r: {**r, "B": 10**9 + r["B"]}, None),
])
def test_objects_and_text_verify_alike(records, variant, valid):
    """Records read straight from their objects get the answers of the text road."""
    for rec in records[::3]:
        doc = variant(rec)
        answer = verify_opening(doc)
        assert answer is verify_opening(ThroughText(doc)) and valid in (None, answer)
