"""Binary protocol interoperability with thriftpy2, both directions, over the same IDL text."""

import math

import pytest

import vantrel

thriftpy2 = pytest.importorskip("thriftpy2")
from thriftpy2.protocol.binary import TBinaryProtocolFactory  # noqa: E402
from thriftpy2.utils import deserialize as peer_deserialize  # noqa: E402
from thriftpy2.utils import serialize as peer_serialize  # noqa: E402

IDL = """
enum Kind { A = 1, B = 2 }

struct Point { 1: double x, 2: double y }

struct Tag { 1: required string name, 2: optional i32 weight }

struct Rich {
  1: bool ok,
  2: byte b,
  3: i16 s,
  4: i32 i,
  5: i64 l,
  6: double d,
  7: string text,
  8: binary data,
  9: list<i64> longs,
  10: set<string> words,
  11: map<string, Point> points,
  12: Point origin,
  13: list<Tag> tags,
  14: map<i32, list<string>> groups,
  15: Kind kind,
  16: list<double> reals,
  17: list<bool> flags,
}
"""

VALUES = {
    "ok": True,
    "b": -128,
    "s": -32768,
    "i": 2**31 - 1,
    "l": -(2**63),
    "d": -1.25e-300,
    "text": "h\u00e9llo \u2713 \U0001f600",
    "data": bytes(range(256)),
    "longs": [2**63 - 1, 0, -1],
    "words": ["only"],
    "points": {"a": {"x": 1.5, "y": -2.0}, "\u00fc": {"x": 0.0, "y": float("inf")}},
    "origin": {"x": 3.0, "y": 4.0},
    "tags": [{"name": "t1", "weight": 7}, {"name": "t2"}],
    "groups": {1: ["a", "b"], -5: []},
    "kind": 2,
    "reals": [float("nan"), float("-inf"), 5e-324],
    "flags": [True, False, True],
}


def same(a, b):
    if isinstance(a, float) and isinstance(b, float) and math.isnan(a):
        return math.isnan(b)
    return a == b


@pytest.fixture(scope="module")
def peer(tmp_path_factory):
    path = tmp_path_factory.mktemp("idl") / "interop.thrift"
    path.write_text(IDL)
    return thriftpy2.load(str(path), module_name="vantrel_interop_thrift")


@pytest.fixture(scope="module")
def rich():
    parser = vantrel.ThriftParser()
    parser.parse(IDL)
    return parser.get_struct("Rich")


def peer_object(peer):
    v = VALUES
    return peer.Rich(
        ok=v["ok"],
        b=v["b"],
        s=v["s"],
        i=v["i"],
        l=v["l"],
        d=v["d"],
        text=v["text"],
        data=v["data"],
        longs=list(v["longs"]),
        words=set(v["words"]),
        points={k: peer.Point(**p) for k, p in v["points"].items()},
        origin=peer.Point(**v["origin"]),
        tags=[peer.Tag(**t) for t in v["tags"]],
        groups={k: list(g) for k, g in v["groups"].items()},
        kind=v["kind"],
        reals=list(v["reals"]),
        flags=list(v["flags"]),
    )


def check_peer_object(obj, peer):
    v = VALUES
    for name in ("ok", "b", "s", "i", "l", "d", "text", "data", "longs", "groups", "kind", "flags"):
        assert getattr(obj, name) == v[name], name
    assert set(obj.words) == set(v["words"]) and len(obj.words) == len(v["words"])
    assert obj.points == {k: peer.Point(**p) for k, p in v["points"].items()}
    assert obj.origin == peer.Point(**v["origin"])
    assert obj.tags == [peer.Tag(**t) for t in v["tags"]]
    assert all(same(a, b) for a, b in zip(obj.reals, v["reals"])) and len(obj.reals) == 3


def check_vantrel_instance(inst):
    v = VALUES
    for name in ("ok", "b", "s", "i", "l", "d", "text", "data", "longs", "words", "groups", "kind", "flags"):
        assert getattr(inst, name) == v[name], name
    assert type(inst.data) is bytes
    assert {k: p.to_dict() for k, p in inst.points.items()} == v["points"]
    assert inst.origin.to_dict() == v["origin"]
    assert [t.to_dict() for t in inst.tags] == [{"weight": None, **t} for t in v["tags"]]
    assert all(same(a, b) for a, b in zip(inst.reals, v["reals"])) and len(inst.reals) == 3


@pytest.fixture(params=["python", "cython"])
def factory(request):
    if request.param == "cython":
        cybin = pytest.importorskip("thriftpy2.protocol.cybin")
        return cybin.TCyBinaryProtocolFactory()
    return TBinaryProtocolFactory()


def test_vantrel_bytes_read_by_thriftpy2(rich, peer, factory):
    data = rich.serialize(VALUES)
    obj = peer_deserialize(peer.Rich(), data, factory)
    check_peer_object(obj, peer)


def test_thriftpy2_bytes_read_by_vantrel(rich, peer, factory):
    data = peer_serialize(peer_object(peer), factory)
    check_vantrel_instance(rich.deserialize(data))
    # and written back by vantrel, the peer still reads the same object
    check_peer_object(peer_deserialize(peer.Rich(), rich.serialize(rich.deserialize(data)), factory), peer)


def test_same_bytes_as_thriftpy2(rich, peer, factory):
    assert rich.serialize(VALUES) == peer_serialize(peer_object(peer), factory)
