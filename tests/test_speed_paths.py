"""The fast roads through the module: opening records read by the direct reader
or, for anything it leaves alone (non-ASCII text, surrogates, odd numbers), by
the general one. Equivalent documents must get the same answers."""

import json
import random

import pytest

from zarel import Tree, verify_opening
from trees import random_cells


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


@pytest.mark.parametrize("variant", [
    lambda r: json.loads(json.dumps(r, indent=3)),
    lambda r: dict(reversed(list(r.items()))),
    lambda r: {**r, "note": "caf\u00e9 \U0001f600 \\ \" \n"},  # non-ASCII: the general reader's road
    lambda r: {**r, "extra": [1e300, -0.0, 2**64 - 1, -2**63, 2**70, 0.1, None, True, {}]},
])
def test_equivalent_documents_verify_alike(records, variant):
    for rec in records[::5]:
        assert verify_opening(variant(rec))


@pytest.mark.parametrize("spoil", [
    lambda r: {**r, "hash": "sha256\u00e9"},
    lambda r: {**r, "root": r["root"].upper()},
    lambda r: {**r, "D": r["D"] + 1},
    lambda r: {**r, "v": 1.0},
    lambda r: {**r, "v": 2**64},
])
def test_spoiled_documents_fail_alike(records, spoil):
    for rec in records[::5]:
        assert not verify_opening(spoil(rec))
