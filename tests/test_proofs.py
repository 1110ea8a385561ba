import json
import random

import pytest
from hypothesis import given, settings, strategies as st

import model
from trees import edited, flip, random_pair, swap
from zarel import Profile, Tree, verify_setop

OPS = ["union", "intersect", "difference"]


def trees(seed, depth, a=9):
    ca, cb = random_pair(seed, depth, a=a)
    return Tree.from_cells(ca, depth, Profile(aperture=a)), Tree.from_cells(cb, depth, Profile(aperture=a))


def steps_of(proof):
    """Every step with its path (indices from the top-level list down)."""
    out = []

    def visit(step, path):
        out.append((path, step))
        for k, child in enumerate(step.get("children", [])):
            visit(child, path + (k,))

    for i, s in enumerate(proof["steps"]):
        visit(s, (i,))
    return out


def at(proof, path):
    node = proof["steps"][path[0]]
    for k in path[1:]:
        node = node["children"][k]
    return node


def siblings(proof, path):
    return proof["steps"] if len(path) == 1 else at(proof, path[:-1])["children"]


def mutants(proof, other, rng):
    """(name, mutant) pairs, one per mutation class and position; none proves a true claim."""
    steps = steps_of(proof)
    for key in ("root_a", "root_b", "root_c"):
        yield f"flip {key}", dict(proof, **{key: flip(proof[key], rng.randrange(64))})
    for path, step in steps:
        i, the_step, sibs = path[-1], (lambda m: at(m, path)), (lambda m: siblings(m, path))
        for key in "abc":
            yield f"flip {key} at {path}", edited(proof, the_step,
                                                 lambda s: s.update({key: flip(s[key], rng.randrange(64))}))
        yield f"drop {path}", edited(proof, sibs, lambda s: s.pop(i))
        yield f"duplicate {path}", edited(proof, sibs, lambda s: s.insert(i, s[i]))
        if i > 0 and siblings(proof, path)[0] != step:
            yield f"swap {path}", edited(proof, sibs, lambda s: swap(s, 0, i))
        if "children" in step:
            yield f"undecided without children {path}", edited(proof, the_step, lambda s: s.pop("children"))
        else:
            yield f"children on a decided step {path}", edited(proof, the_step, lambda s: s.update(children=[step] * 9))
            yield f"empty children on a decided step {path}", edited(proof, the_step, lambda s: s.update(children=[]))
        donor = next((d for p, d in steps_of(other) if len(p) == len(path) and d != step), None)
        if donor is not None:
            yield f"graft onto {path}", edited(proof, sibs, lambda s: s.__setitem__(i, donor))
    for key, values in {"A": [8, 10, 4], "B": [5, 7], "D": [proof["D"] + 1, max(proof["D"] - 1, 0)],
                        "v": [0, 2], "hash": ["sha512", "SHA256", ""]}.items():
        # Two equal inputs are equal in any shape, so only then may A and D change freely.
        if key in "AD" and proof["root_a"] == proof["root_b"]:
            continue
        for v in values:
            if v != proof[key]:
                yield f"{key}={v}", dict(proof, **{key: v})


@settings(max_examples=60, deadline=None)
@given(seed=st.integers(0, 2**32), depth=st.integers(0, 4), aperture=st.sampled_from([9, 4]))
def test_transcripts_verify_and_match_the_operation(seed, depth, aperture):
    a, b = trees(seed, depth, aperture)
    for op in OPS:
        p = a.prove(b, op)
        assert verify_setop(p)
        assert p["root_c"] == getattr(a, op)(b).root_hex
        assert (p["root_a"], p["root_b"]) == (a.root_hex, b.root_hex)
        assert (p["A"], p["B"], p["D"], p["op"], p["v"], p["hash"]) == (aperture, 6, depth, op, 1, "sha256")
        assert list(p) == sorted(p)
        # root_c is tag 3 over the steps' c in order.
        assert p["root_c"] == model.sha(3, [bytes.fromhex(s["c"]) for s in p["steps"]]).hex()
        # A transcript survives the trip through JSON text.
        assert verify_setop(json.loads(json.dumps(p)))
        # Another op verifies only where it proves the very same root.
        for other in OPS:
            if getattr(a, other)(b).root_hex != p["root_c"]:
                assert not verify_setop(dict(p, op=other)), (op, other)


@settings(max_examples=25, deadline=None)
@given(seed=st.integers(0, 2**32), depth=st.integers(1, 3), op=st.sampled_from(OPS))
def test_every_mutant_is_refused(seed, depth, op):
    a, b = trees(seed, depth)
    c, d = trees(seed + 1, depth)
    proof, other = a.prove(b, op), c.prove(d, op)
    rng = random.Random(seed)
    for name, m in mutants(proof, other, rng):
        assert not verify_setop(m), name


def test_self_transcripts():
    # Equal inputs decide every base at the top: no step descends.
    a = Tree.from_cells([9, 100, 983], 3)
    u, d = a.prove(a, "union"), a.prove(a, "difference")
    assert all("children" not in s for s in u["steps"] + d["steps"])
    assert all(s["a"] == s["b"] == s["c"] for s in u["steps"]) and u["root_c"] == u["root_a"]
    # Both operations give c = a there; the transcript proves roots, not wording.
    assert verify_setop(dict(u, op="intersect"))


def hand_transcript(A, B, D):
    """The transcript of empty ∪ empty for a hierarchy no profile makes, from hashlib alone."""
    e = model.ladders(D, A)[0][D]
    r = model.sha(3, [e] * B).hex()
    step = {"a": e.hex(), "b": e.hex(), "c": e.hex()}
    return {"A": A, "B": B, "D": D, "hash": "sha256", "op": "union", "root_a": r, "root_b": r, "root_c": r,
            "steps": [step] * B, "v": 1}


@pytest.mark.parametrize("A,B", [(2, 1), (2, 2), (3, 6), (4096, 1), (4096, 3)])
def test_extreme_shapes(A, B):
    D = model.deepest(A, B)
    p = hand_transcript(A, B, D)
    assert verify_setop(p)
    assert not verify_setop(dict(p, D=D + 1))
    assert not verify_setop(dict(p, steps=p["steps"][:-1]))

