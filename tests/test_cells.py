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
