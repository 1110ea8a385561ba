"""Tree and index bytes: round trips on random trees of several profiles, a
reader written from docs/tree-format.md alone that must find the same cells,
one form per tree (any change to a valid form is refused or is another tree's
form), damaged forms refused naming their byte, and index files."""
import pickle
import random
import re

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

from zarel import Index, Profile, Tree
from trees import random_cells

PROFILES = [(Profile.ogc(), 9, 6), (Profile(aperture=4, n_base=3, lon_0_udeg=-7, epoch_us=-5), 4, 3),
            (Profile(aperture=16, n_base=6, tick_us=1000), 16, 6)]


def read_documented(data):
    """The canonical cells of tree bytes, read as docs/tree-format.md describes them."""
    assert data[:5] == b"ZRLT\x01"
    n = data[5]
    pos = 6 + n
    aperture, n_base = int.from_bytes(data[pos:pos + 4], "big"), int.from_bytes(data[pos + 4:pos + 8], "big")
    pos += 4 + 4 + 8 + 1 + 1 + 8 + 8 + 8 + 8
    depth = data[pos]
    bits = "".join(f"{b:08b}" for b in data[pos + 1:])
    at = 0
    width = (aperture - 1).bit_length()
    cells = []

    def take(k):
        nonlocal at
        at += k
        return bits[at - k:at]

    def child(cid, height):  # a child at `height` >= 1
        if take(1) == "1":
            if take(1) == "0":
                cells.append(cid)
            else:
                partial(cid, height)

    def partial(cid, height):
        if take(1) == "1":  # the lone form
            d = int(take(width), 2)
            if height == 1 or take(1) == "0":
                cells.append(cid * aperture + d)
            else:
                partial(cid * aperture + d, height - 1)
            return
        for k in range(aperture):
            if height == 1:
                if take(1) == "1":
                    cells.append(cid * aperture + k)
            else:
                child(cid * aperture + k, height - 1)

    for b in range(n_base):
        if depth == 0:
            if take(1) == "1":
                cells.append(aperture + b)
        else:
            child(aperture + b, depth)
    assert set(bits[at:]) <= {"0"} and len(bits) - at < 8
    return sorted(cells)


def tree_of(seed, depth, n, which):
    profile, a, b = PROFILES[which]
    rng = random.Random(seed)
    if n == 0 and seed % 3 == 0:  # the full tree
        return Tree.from_cells(range(a, a + b), depth, profile)
    return Tree.from_cells(random_cells(rng, depth, n, a=a, b=b), depth, profile)


@given(seed=st.integers(0, 2**32), depth=st.integers(0, 8), n=st.integers(0, 60), which=st.integers(0, 2))
@settings(max_examples=80, deadline=None)
def test_round_trip_and_documented_reader(seed, depth, n, which):
    t = tree_of(seed, depth, n, which)
    data = t.to_bytes()
    back = Tree.from_bytes(data)
    assert back == t and back.profile == t.profile and back.depth == t.depth and back.cells() == t.cells()
    assert read_documented(data) == t.cells()
    # The same coverage built another way has the same form.
    assert Tree.from_cells(list(reversed(t.leaves())) if t.leaf_count() < 5000 else t.cells(), depth,
                           t.profile).to_bytes() == data
    assert Tree.from_bytes(bytearray(data)) == t and Tree.from_bytes(memoryview(data)) == t


@given(seed=st.integers(0, 2**32), depth=st.integers(1, 6), which=st.integers(0, 2))
@settings(max_examples=30, deadline=None)
def test_any_change_is_refused_or_another_form(seed, depth, which):
    data = tree_of(seed, depth, 12, which).to_bytes()
    rng = random.Random(seed)
    for cut in range(len(data)):
        with pytest.raises(ValueError, match=r"^tree bytes, byte \d+: "):
            Tree.from_bytes(data[:cut])
    for _ in range(40):
        i = rng.randrange(len(data))
        flipped = bytearray(data)
        flipped[i] ^= 1 << rng.randrange(8)
        try:
            t = Tree.from_bytes(bytes(flipped))
        except ValueError as e:
            assert int(re.match(r"tree bytes, byte (\d+): ", str(e)).group(1)) <= len(data)
        else:
            assert t.to_bytes() == bytes(flipped)


OGC_EMPTY3 = Tree.from_cells([], 3).to_bytes()
HEADER = 62  # magic, version and the OGC profile


@pytest.mark.parametrize("data, message", [
    (b"ZRLX" + OGC_EMPTY3[4:], "byte 0: not zarel tree bytes (no magic)"),
    (OGC_EMPTY3[:4] + b"\x02" + OGC_EMPTY3[5:], "byte 4: version 2 is not one this reader knows (1)"),
    (OGC_EMPTY3[:12] + b"\x00\x00\x00\x07" + OGC_EMPTY3[16:],
     "byte 5: profile: aperture 7 is not a square; no rHEALPix N_side"),
    (OGC_EMPTY3[:HEADER] + b"\x13" + OGC_EMPTY3[HEADER + 1:],
     f"byte {HEADER}: depth 19 is deeper than the deepest level, 18"),
    (OGC_EMPTY3 + b"\x00", f"byte {HEADER + 2}: 1 byte after the end of the tree"),
    (OGC_EMPTY3[:-1] + b"\x01", f"byte {HEADER + 1}: the padding bits after the tree are not zero"),
    # Base 0 partly covered, written child by child with every child empty.
    (OGC_EMPTY3[:HEADER + 1] + bytes([0b11000000, 0, 0x00, 0]), f"byte {HEADER + 1}: a node marked partly covered "
                                                                 "has every child empty"),
    # Base 0 partly covered, its lone child's digit 15.
    (OGC_EMPTY3[:HEADER + 1] + bytes([0b11111110, 0]), f"byte {HEADER + 1}: a lone child's digit 15 is not below"),
])
def test_damaged_forms_name_their_byte(data, message):
    with pytest.raises(ValueError, match="^tree bytes, " + re.escape(message)):
        Tree.from_bytes(data)


def test_arguments_and_sizes():
    with pytest.raises(TypeError, match="bytes-like"):
        Tree.from_bytes("ZRLT")
    # A wholly covered base at the deepest level is a few bytes; so is the empty tree.
    assert len(Tree.from_cells([9], 18).to_bytes()) == HEADER + 2
    # The worked example of docs/tree-format.md, its bits written out by hand.
    bits = "10" "0" "0" "11" "1" "0001" "1" "1" "0010" "0" "0" "00000"
    assert Tree.from_cells([9, 983], 2).to_bytes()[HEADER + 1:] == int(bits, 2).to_bytes(3, "big")


def test_pickles_of_the_earlier_forms_still_load():
    from zarel._pickling import _index_from_state, _profile_state, _tree_from_state

    t = Tree.from_cells([9, 983 * 9 + 4], 5, Profile.zarel_1())
    index, _ = index_of(3)

    class Earlier:  # pickles as the earlier reductions did
        def __init__(self, *reduction):
            self.reduction = reduction

        def __reduce__(self):
            return self.reduction

    cells = np.asarray(t.cells(), dtype="<u8").tobytes()
    tree = pickle.loads(pickle.dumps(Earlier(_tree_from_state, (cells, 5, _profile_state(t.profile)))))
    assert tree == t and tree.profile == Profile.zarel_1()
    back = pickle.loads(pickle.dumps(Earlier(_index_from_state, index._content())))
    assert back.roots() == index.roots() and back.keys() == index.keys() and back.distinct_roots == 4


def index_of(seed):
    rng = random.Random(seed)
    pool = [Tree.from_cells(random_cells(rng, 4, 20), 4, Profile.zarel_1()) for _ in range(4)]
    index = Index()
    for i, key in enumerate(["b", "a", "é\x00ключ", "b", "c"]):
        index.add(key, pool[i % 4])   # "b" moves on, leaving its first tree unnamed
    return index, pool


def test_index_files(tmp_path):
    index, pool = index_of(1)
    path = tmp_path / "registry.zri"
    index.save(path)
    back = Index.load(str(path))
    assert back.keys() == index.keys() and back.roots() == index.roots() and back.distinct_roots == 4
    assert back.query(pool[1]) == index.query(pool[1]) and back["c"].profile == Profile.zarel_1()
    assert back.to_bytes() == path.read_bytes()
    Index().save(path)
    assert len(Index.load(path)) == 0
    with pytest.raises(FileNotFoundError):
        Index.load(tmp_path / "missing.zri")
    # Adding a tree of another profile's time to a loaded index is refused as to the original.
    with pytest.raises(ValueError):
        back.add("d", Tree.from_cells([9], 4, Profile.ogc()))


def test_damaged_index_bytes_are_refused():
    data = index_of(2)[0].to_bytes()
    for cut in range(len(data)):
        with pytest.raises(ValueError, match=r"^index bytes, byte \d+: "):
            Index.from_bytes(data[:cut])
    # The last key's bytes made invalid UTF-8, then made equal to another key.
    last = data.rindex(b"c")
    with pytest.raises(ValueError, match=f"byte {last}: a key is not UTF-8"):
        Index.from_bytes(data[:last] + b"\xff" + data[last + 1:])
    with pytest.raises(ValueError, match='the key "a" appears twice'):
        Index.from_bytes(data[:last] + b"a" + data[last + 1:])
