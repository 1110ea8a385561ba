import pytest
from hypothesis import given, strategies as st

from zarel import cid_to_suid, suid_to_cid

LARGEST = 2251419529454986814  # base 5 followed by eighteen 8s


def suid_model(cid):
    digits = []
    while cid >= 81:
        digits.append(cid % 9)
        cid //= 9
    return "NOPQRS"[cid - 9] + "".join(map(str, reversed(digits)))


@pytest.mark.parametrize("cid, suid", [
    (9, "N"), (14, "S"), (81, "N0"), (85, "N4"), (983, "Q12"), (LARGEST, "S" + "8" * 18),
])
def test_known_cells(cid, suid):
    assert cid_to_suid(cid) == suid
    assert suid_to_cid(suid) == cid


@given(base=st.integers(0, 5), digits=st.lists(st.integers(0, 8), max_size=18))
def test_round_trip(base, digits):
    cid = 9 + base
    for d in digits:
        cid = cid * 9 + d
    suid = cid_to_suid(cid)
    assert suid == suid_model(cid) and len(suid) == len(digits) + 1
    assert suid_to_cid(suid) == cid


@pytest.mark.parametrize("cid, message", [
    (0, "not a cid: 0"), (8, "not a cid: 8"),
    (15, "cid 15 names base 6, outside [0, 6)"),
    (80, "cid 80 names base 71, outside [0, 6)"),
    (LARGEST + 1, f"cid {LARGEST + 1} names base 6, outside [0, 6)"),
    (2**64 - 1, f"cid {2**64 - 1} is at level 19, deeper than the deepest level, 18"),
])
def test_cid_messages(cid, message):
    with pytest.raises(ValueError) as e:
        cid_to_suid(cid)
    assert str(e.value) == message


@pytest.mark.parametrize("suid, message", [
    ("", "empty suid"),
    ("A1", "unknown base cell 'A'"),
    ("'1", "unknown base cell '\\''"),
    ("N1x", "bad suid digit 'x'"),
    ("N1\n", "bad suid digit '\\n'"),
    ("N9", "digit 9 out of range [0, 9)"),
    ("N" + "1" * 19, "path of 19 digits is deeper than the deepest level, 18"),
    ("N" + "1" * 100 + "x", "bad suid digit 'x'"),
    ("N" + "1" * 100, "path of 100 digits is deeper than the deepest level, 18"),
])
def test_suid_messages(suid, message):
    with pytest.raises(ValueError) as e:
        suid_to_cid(suid)
    assert str(e.value) == message


@pytest.mark.parametrize("arg, exc", [(-1, OverflowError), (2**64, OverflowError), ("9", TypeError), (9.0, TypeError)])
def test_cid_argument(arg, exc):
    with pytest.raises(exc) as e:
        cid_to_suid(arg)
    assert e.value.__notes__ == ["while processing 'cid'"]


def test_suid_argument_and_keywords():
    with pytest.raises(TypeError) as e:
        suid_to_cid(983)
    assert e.value.__notes__ == ["while processing 'suid'"]
    assert suid_to_cid(suid="Q12") == 983 and cid_to_suid(cid=983) == "Q12"
    with pytest.raises(TypeError):
        suid_to_cid()
    with pytest.raises(TypeError):
        cid_to_suid(9, 10)
