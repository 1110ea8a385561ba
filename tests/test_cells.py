from hypothesis import example, given, strategies as st

from zarel import cid_to_suid, suid_to_cid


def suid_model(cid):
    digits = []
    while cid >= 81:
        digits.append(cid % 9)
        cid //= 9
    return "NOPQRS"[cid - 9] + "".join(map(str, reversed(digits)))


@given(base=st.integers(0, 5), digits=st.lists(st.integers(0, 8), max_size=18))
@example(base=0, digits=[]).via("the first base cell")
@example(base=5, digits=[8] * 18).via("the largest cid")
def test_round_trip(base, digits):
    cid = 9 + base
    for d in digits:
        cid = cid * 9 + d
    suid = cid_to_suid(cid)
    assert suid == suid_model(cid) and len(suid) == len(digits) + 1
    assert suid_to_cid(suid) == cid
