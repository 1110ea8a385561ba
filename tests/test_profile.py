import hashlib
import json
import math
import re
import struct

import pytest
from hypothesis import given, strategies as st

import zarel
from zarel import Profile

FIELDS = ["hash", "aperture", "n_base", "lon_0_udeg", "north_square", "south_square",
          "a_um", "inv_f_nano", "tick_us", "epoch_us"]


def preimage(p):
    """The identity preimage, laid out independently with struct."""
    h = p["hash"].encode()
    return (b"ZAREL-PROFILE-1" + bytes([len(h)]) + h
            + struct.pack(">IIqBBQQQq", p["aperture"], p["n_base"], p["lon_0_udeg"],
                          p["north_square"], p["south_square"], p["a_um"],
                          p["inv_f_nano"], p["tick_us"], p["epoch_us"]))


def test_default_preimage_bytes():
    # The documented bytes after the tag, written out by hand.
    expected = bytes.fromhex(
        "06736861323536" "00000009" "00000006" "0000000002faf080" "00" "00"
        "000005cd06971840" "00000045 71840f8b".replace(" ", "") + "0000000000000001" "0000000000000000")
    assert preimage(Profile().to_dict()) == b"ZAREL-PROFILE-1" + expected
    assert Profile().id_hex() == hashlib.sha256(b"ZAREL-PROFILE-1" + expected).hexdigest()


@given(aperture=st.sampled_from([4, 9, 16, 25, 4096]), n_base=st.integers(1, 12),
       lon=st.integers(-180_000_000, 180_000_000), ns=st.integers(0, 3), ss=st.integers(0, 3),
       a_um=st.integers(1, 2**64 - 1), inv_f=st.integers(10**9 + 13, 2**64 - 1),
       tick=st.integers(1, 2**64 - 1), epoch=st.integers(-2**63, 2**63 - 1))
def test_identity_matches_hashlib(aperture, n_base, lon, ns, ss, a_um, inv_f, tick, epoch):
    p = Profile(aperture=aperture, n_base=n_base, lon_0_udeg=lon, north_square=ns,
                south_square=ss, a_um=a_um, inv_f_nano=inv_f, tick_us=tick, epoch_us=epoch)
    assert p.id_hex() == hashlib.sha256(preimage(p.to_dict())).hexdigest()
    assert Profile.from_dict(p.to_dict()) == p
    assert Profile.from_dict([p.to_dict()[f] for f in FIELDS]) == p
    assert hash(p) == hash(Profile.from_dict(p.to_dict()))


def test_named_profiles():
    assert Profile() == Profile.ogc() == zarel.OGC_RHEALPIX
    assert Profile(lon_0_udeg=0) == Profile.zarel_1() == zarel.ZAREL_1
    assert Profile(epoch_us=1) != Profile() and Profile(epoch_us=1).id_hex() != Profile().id_hex()
    assert Profile.ogc().describe() == (
        "H(9,6) rhealpix lon_0=50 ns=0 ss=0 a=6378137 1/f=298.257223563 hash=sha256 tick=1us epoch=0")
    p = Profile(lon_0_udeg=-12_500_000)
    assert (p.hash, p.lon_0, p.aperture, p.n_base) == ("sha256", -12.5, 9, 6)
    assert "lon_0=-12.5 " in p.describe()
    assert list(Profile().to_dict()) == sorted(FIELDS)
    assert (Profile() == 5) is False and (Profile() != 5) is True
    assert Profile("sha256", 9, 6, 0) == Profile(lon_0_udeg=0)


@pytest.mark.parametrize("kwargs", [dict(aperture=4096), dict(lon_0_udeg=180_000_000),
                                    dict(lon_0_udeg=-180_000_000), dict(n_base=5), dict(n_base=72)])
def test_valid_edges(kwargs):
    p = Profile(**kwargs)
    assert Profile.from_dict(p.to_dict()) == p and p.to_dict().items() >= kwargs.items()
    # Extra keys are ignored and key order does not matter.
    assert Profile.from_dict(dict(reversed(list(p.to_dict().items())), note="ignored")) == p


def record(**changes):
    d = Profile().to_dict()
    d.update(changes)
    return d


def without(*keys):
    return {k: v for k, v in record().items() if k not in keys}


NOT_JSON = r"not JSON \({}: .*\); a missing value is null, not NaN"


@pytest.mark.parametrize("rec, pattern", [
    (without("hash"), re.escape("bad profile record: missing field `hash`")),
    (without("aperture", "tick_us"), re.escape("bad profile record: missing field `aperture`")),
    ([1, 2], re.escape("bad profile record: invalid length 2, expected struct Profile with 10 elements")),
    (record(hash="md5"), re.escape('unknown hash id "md5"')),  # read, then validated
    (record(a_um=math.nan), NOT_JSON.format("ValueError")), (record(a_um=math.inf), NOT_JSON.format("ValueError")),
    (record(a_um={1, 2}), NOT_JSON.format("TypeError")), (record(a_um=b"x"), NOT_JSON.format("TypeError")),
    # A huge int crosses as a float, which the record refuses as a u64.
    (record(a_um=2**70), "bad profile record: .*floating point.*"),
] + [(rec, "bad profile record: .*") for rec in [
    record(aperture=9.0), record(aperture="9"), record(hash=1), record(north_square=300),
    record(aperture=-9), record(epoch_us=2**70), [*record().values()] * 2, 5, "profile", None]])
def test_unreadable_records(rec, pattern):
    with pytest.raises(ValueError) as e:
        Profile.from_dict(rec)
    assert re.fullmatch(pattern, str(e.value), re.S)


def test_json_depth_limit():
    # 127 levels inside the record still parse (and then fail as a record); 129 do not.
    with pytest.raises(ValueError, match="^bad profile record"):
        Profile.from_dict(record(a_um=json.loads("[" * 127 + "0" + "]" * 127)))
    with pytest.raises(ValueError, match="^not JSON: .*line 1, column"):
        Profile.from_dict(record(a_um=json.loads("[" * 128 + "0" + "]" * 128)))


@pytest.mark.parametrize("kwargs, message", [
    (dict(inv_f_nano=10**9), "inv_f_nano 1000000000 must be above 10^9 (a flattening below 1)"),
    (dict(inv_f_nano=10**9 + 12), "inv_f_nano 1000000012 is too close to 10^9: the eccentricity rounds to 1"),
    (dict(inv_f_nano=10**9, aperture=8), "aperture 8 is not a square; no rHEALPix N_side"),
    (dict(inv_f_nano=10**9, tick_us=0), "tick_us must be >= 1"),
])
def test_impossible_ellipsoids(kwargs, message):
    with pytest.raises(ValueError) as e:
        Profile(**kwargs)
    assert str(e.value) == message


@given(a_um=st.integers(1, 2**64 - 1), inv_f=st.integers(1, 2**64 - 1) | st.integers(10**9 - 20, 10**9 + 20))
def test_every_valid_ellipsoid_has_a_finite_area(a_um, inv_f):
    # The eccentricity first rounds to 1 at 1/f = 1 + 1.2e-8 (it is sqrt(1 - (1 - f)^2)).
    f = 1 / (inv_f / 1e9)
    try:
        p = Profile(a_um=a_um, inv_f_nano=inv_f)
    except ValueError:
        assert inv_f <= 10**9 or math.sqrt(f * (2 - f)) >= 1
        return
    assert 0 < p.area_m2(0) < math.inf and 0 < p.area_m2(5) < math.inf
