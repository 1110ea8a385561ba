"""DGGS-JSON zone data: documents checked against the OGC API - DGGS schema,
round trips against leaf sets, the scanline order of the values, and every
refusal of the reader."""

import random

import jsonschema
import pytest
from hypothesis import given, settings, strategies as st

import model
from trees import random_cells
from zarel import OGC_RHEALPIX, ZAREL_1, Profile, Tree, cid_to_suid, subzones

URI = "https://www.opengis.net/def/dggrs/OGC/1.0/rHEALPix"
QURI = '"' + URI + '"'

# The DGGS-JSON encoding of zone data (OGC API - DGGS Part 1): a zone, the
# depths present, and per field one entry per depth holding the shape and the
# values of the sub-zones.
ENTRY = {"type": "object", "required": ["depth", "shape", "data"], "properties": {
    "depth": {"type": "integer", "minimum": 0},
    "shape": {"type": "object", "required": ["count", "subZones"], "properties": {
        "count": {"type": "integer", "minimum": 0}, "subZones": {"type": "integer", "minimum": 0},
        "dimensions": {"type": "object"}}},
    "data": {"type": "array", "items": {"type": ["number", "null"]}}}}
DGGS_JSON = {
    "$schema": "https://json-schema.org/draft/2020-12/schema",
    "type": "object", "required": ["dggrs", "zoneId", "depths", "values"],
    "properties": {
        "dggrs": {"type": "string", "format": "uri"}, "zoneId": {"type": "string"},
        "depths": {"type": "array", "items": {"type": "integer", "minimum": 0}, "minItems": 1},
        "schema": {"type": "object"},
        "dimensions": {"type": "array", "items": {"type": "object", "required": ["name"]}},
        "values": {"type": "object", "additionalProperties": {"type": "array", "items": ENTRY}}}}


@settings(max_examples=60, deadline=None)
@given(seed=st.integers(0, 2**32), depth=st.integers(0, 4))
def test_round_trip_keeps_the_leaves_inside_the_zone(seed, depth):
    rng = random.Random(seed)
    cells = random_cells(rng, depth, rng.randint(0, 25))
    t = Tree.from_cells(cells, depth)
    (zone,) = random_cells(rng, depth, 1)
    field = rng.choice([None, "f", "caf\u00e9"])
    doc = t.to_dggs_json(zone) if field is None else t.to_dggs_json(zone, field=field)
    jsonschema.validate(doc, DGGS_JSON)
    d = depth - model.level_of(zone)
    assert doc["dggrs"] == URI and doc["zoneId"] == cid_to_suid(zone) and doc["depths"] == [d]
    assert list(doc) == sorted(doc)
    assert list(doc["values"]) == [field or "coverage"]
    entry = doc["values"][field or "coverage"][0]
    assert entry["shape"] == {"count": 9**d, "subZones": 9**d} and entry["depth"] == d
    inside = {leaf for leaf in model.leaf_set(cells, depth) if leaf // 9 ** d == zone}
    # Value i belongs to the sub-zone with scanline index i.
    assert entry["data"] == [1 if s in inside else None for s in subzones(zone, d)]
    back = Tree.from_dggs_json(doc)
    assert back.depth == depth and set(back.leaves()) == inside


def in_n(values, **extra):
    return {"dggrs": URI, "zoneId": "N", "values": values, **extra}


def doc_with(data, **extra):
    return in_n({"f": [{"depth": 1, "data": data}]}, **extra)


# Plain lists are read value by value beside the JSON road; a 2**64 - 1, a tuple
# or a list subclass sends the data down the road whole: both must agree.
@pytest.mark.parametrize("big", [2, 2**64 - 1])
@pytest.mark.parametrize("kind", [list, tuple, type("Values", (list,), {})])
@pytest.mark.parametrize("nonzero, cells", [(False, [81, 82, 84, 85]), (True, [82, 84])])
def test_nonzero(nonzero, cells, kind, big):
    doc = doc_with(kind([0, 1.5, None, big, -0.0, None, None, None, None]))
    assert Tree.from_dggs_json(doc, nonzero=nonzero).cells() == cells


def test_entry_depth_from_the_document():
    assert Tree.from_dggs_json(in_n({"f": [{"data": [1] + [None] * 8}]}, depths=[1])).cells() == [81]
    two = in_n({"f": [{"depth": 0, "data": [1]}, {"depth": 1, "data": [None] * 8 + [5]}]})
    assert Tree.from_dggs_json(two, depth=1).cells() == [89]
    assert Tree.from_dggs_json(two, field="f", depth=0).cells() == [9]


EMPTY81 = [None] * 81
AB = {"b": [], "a": []}
D12 = {"f": [{"depth": 1}, {"depth": 2}]}


def depth_2(**entry):
    return in_n({"f": [{"depth": 2, "data": EMPTY81, **entry}]})


@pytest.mark.parametrize("doc, kwargs, message", [
    ([], {}, "document DGGRS None is not the profile's " + QURI),
    ({"dggrs": 'a"b\\'}, {}, 'document DGGRS Some("a\\"b\\\\") is not the profile\'s ' + QURI),
    (doc_with([1] * 9, dimensions=[{"name": "t"}]), {},
     "zone data with extra dimensions has more than one value per sub-zone"),
    ({"dggrs": URI}, {}, "missing zoneId"),
    ({"dggrs": URI, "zoneId": "X1"}, {}, "unknown base cell 'X'"),
    ({"dggrs": URI, "zoneId": "N9"}, {}, "digit 9 out of range [0, 9)"),
    ({"dggrs": URI, "zoneId": "N"}, {}, "missing values"),
    (in_n([]), {}, "missing values"),
    (in_n({}), {}, "the document has several fields []; name one"),
    (in_n(AB), {}, 'the document has several fields ["a", "b"]; name one'),
    (in_n(AB), {"field": "c"}, 'no field "c"; the document has ["a", "b"]'),
    (in_n({"f": {}}), {}, "a field's values must be an array"),
    (in_n({"f": [{"data": []}]}, depths=[3, 4]), {}, "a value entry names no depth"),
    (in_n(D12), {}, 'the document has several depths ["1", "2"]; name one'),
    (in_n(D12), {"depth": 3}, 'no depth "3"; the document has ["1", "2"]'),
    (in_n({"f": [{"depth": 10, "data": []}]}), {}, "depth 10 has too many sub-zones"),
    (in_n({"f": [{"depth": 2**32, "data": []}]}), {}, "depth 4294967296 has too many sub-zones"),
    (depth_2(shape={"count": 80}), {}, 'shape Some({"count":80}) does not describe the 81 sub-zones at depth 2'),
    (depth_2(shape={"subZones": 9}), {}, 'shape Some({"subZones":9}) does not describe the 81 sub-zones at depth 2'),
    (depth_2(data=None), {}, "missing data"),
    # A claim of 387,420,489 values backed by none is refused at once.
    (in_n({"f": [{"depth": 9, "data": []}]}), {}, "0 values for the 387420489 sub-zones at depth 9"),
    (doc_with([1] * 8), {}, "8 values for the 9 sub-zones at depth 1"),
    (doc_with([1, True] + [1] * 7), {}, "zone data value true is not a number or null"),
    (doc_with([1, "1"] + [1] * 7), {}, 'zone data value "1" is not a number or null'),
    ({**depth_2(), "zoneId": "N" + "8" * 17}, {}, "depth 2 below a level-17 zone is deeper than the deepest level, 18"),
])
def test_reader_messages(doc, kwargs, message):
    with pytest.raises(ValueError) as info:
        Tree.from_dggs_json(doc, **kwargs)
    assert str(info.value) == message


def test_ignored_members():
    # A shape count given as text, an empty dimensions list, non-integer depths.
    doc = doc_with([1] + [None] * 8, dimensions=[], depths=["x", -1])
    doc["values"]["f"][0]["shape"] = {"count": "81", "subZones": 9}
    assert Tree.from_dggs_json(doc).cells() == [81]


@pytest.mark.parametrize("profile", [ZAREL_1, Profile(north_square=1), Profile(a_um=6378136000000)])
def test_only_the_registered_dggrs(profile):
    message = f"profile {profile.describe()} is not a registered DGGRS; its zone ids would be read against another grid"
    t = Tree.from_cells([9], 1, profile)
    with pytest.raises(ValueError) as info:
        t.to_dggs_json(9)
    assert str(info.value) == message
    with pytest.raises(ValueError) as info:
        Tree.from_dggs_json(doc_with([1] * 9), profile=profile)
    assert str(info.value) == message
    # Hash, tick and epoch play no part.
    registered = Profile(tick_us=1000, epoch_us=5)
    assert Tree.from_dggs_json(doc_with([1] * 9), profile=registered).profile == registered
