"""Byte-exact Binary, Compact and JSON encodings, seen through struct serialization.

Every expected byte string here is written out by hand from the wire format,
so a codec that drifts by one byte fails.
"""

import json
import math

import pytest

import vantrel
from helpers import h, plain

BIN = vantrel.ProtocolType.Binary
CMP = vantrel.ProtocolType.Compact
JSN = vantrel.ProtocolType.JSON

IDL = """
enum Color { RED = 1, BLUE = 2 }

struct Inner { 1: i32 v }
struct Deep5 { 5: i32 v }

struct All {
  1: bool flag,
  2: byte tiny,
  3: i16 small,
  4: i32 num,
  5: i64 big,
  6: double real,
  7: string text,
  8: binary blob,
  9: list<i32> ints,
  10: set<string> names,
  11: map<i32, string> labels,
  12: Inner inner,
  13: list<Inner> inners,
  14: list<bool> bools,
  15: Color color,
}

struct Ids { 1: i32 a, 2: i32 b, 20: i32 c, 21: i32 d }
struct Desc { 5: i32 hi, 3: i32 lo }
struct Flags { 1: bool t, 20: bool far }
struct Jumps { 15: i32 a, 31: i32 b }
struct Nest { 1: i32 a, 2: Deep5 inner, 3: i32 b }
struct Neg { -1: i32 neg }
struct Pair { 1: i32 n, 2: string s, 3: i64 l }
struct Sparse { 2: i32 two, 10: i32 ten }
struct Keys {
  1: map<bool, i32> b,
  2: map<double, i32> d,
  3: map<i64, i32> l,
  4: map<binary, i32> bin,
  5: map<string, i32> s,
  6: map<Inner, i32> st,
  7: map<i32, string> sorted,
}
struct Weird { 1: map<list<i32>, i32> m }
struct Chain { 1: Chain next, 2: i32 v }
"""


@pytest.fixture(scope="module")
def structs():
    parser = vantrel.ThriftParser()
    parser.parse(IDL)
    return {name: parser.get_struct(name) for name in parser.list_structs()}


def read_error(struct, data, protocol):
    with pytest.raises(OSError) as info:
        struct.deserialize_with_protocol(data, protocol)
    return str(info.value)


# ------------------------------------------------------------ every value kind

# field, value, Binary field bytes, Compact field bytes, JSON document.
# Binary and Compact bodies are followed by the STOP byte 00.
FIELD_CASES = [
    ("flag", True, "02 0001 01", "11", '{"1":["tf",1]}'),
    ("flag", False, "02 0001 00", "12", '{"1":["tf",0]}'),
    ("tiny", -1, "03 0002 ff", "23 ff", '{"2":["i8",-1]}'),
    ("small", -2, "06 0003 fffe", "34 03", '{"3":["i16",-2]}'),
    ("num", 300, "08 0004 0000012c", "45 d8 04", '{"4":["i32",300]}'),
    ("num", -(2**31), "08 0004 80000000", "45 ff ff ff ff 0f", '{"4":["i32",-2147483648]}'),
    ("big", 7, "0a 0005 0000000000000007", "56 0e", '{"5":["i64","7"]}'),
    (
        "big",
        2**63 - 1,
        "0a 0005 7fffffffffffffff",
        "56 fe ff ff ff ff ff ff ff ff 01",
        '{"5":["i64","9223372036854775807"]}',
    ),
    (
        "big",
        -(2**63),
        "0a 0005 8000000000000000",
        "56 ff ff ff ff ff ff ff ff ff 01",
        '{"5":["i64","-9223372036854775808"]}',
    ),
    ("real", 1.5, "04 0006 3ff8000000000000", "67 3ff8000000000000", '{"6":["dbl",1.5]}'),
    ("real", 1.0, "04 0006 3ff0000000000000", "67 3ff0000000000000", None),
    ("text", "x", "0b 0007 00000001 78", "78 02 78", '{"7":["str","x"]}'),
    ("text", "", "0b 0007 00000000", "78 00", '{"7":["str",""]}'),
    ("blob", b"\x00\xff", "0b 0008 00000002 00ff", "88 04 00 ff", '{"8":["str","AP8="]}'),
    ("ints", [1, 2], "0f 0009 08 00000002 00000001 00000002", "99 25 02 04", '{"9":["lst",["i32",2,1,2]]}'),
    ("ints", [], "0f 0009 08 00000000", "99 05", '{"9":["lst",["i32",0]]}'),
    ("names", ["a"], "0e 000a 0b 00000001 00000001 61", "aa 18 02 61", '{"10":["set",["str",1,"a"]]}'),
    (
        "labels",
        {1: "a"},
        "0d 000b 08 0b 00000001 00000001 00000001 61",
        "bb 02 58 02 02 61",
        '{"11":["map",["i32","str",1,{"1":"a"}]]}',
    ),
    ("labels", {}, "0d 000b 08 0b 00000000", "bb 00", '{"11":["map",["i32","str",0,{}]]}'),
    ("inner", {"v": 1}, "0c 000c 08 0001 00000001 00", "cc 15 02 00", '{"12":["rec",{"1":["i32",1]}]}'),
    ("inner", {"v": None}, "0c 000c 00", "cc 00", '{"12":["rec",{}]}'),
    (
        "inners",
        [{"v": 1}, {"v": None}],
        "0f 000d 0c 00000002 08 0001 00000001 00 00",
        "d9 2c 15 02 00 00",
        '{"13":["lst",["rec",2,{"1":["i32",1]},{}]]}',
    ),
    ("bools", [True, False], "0f 000e 02 00000002 01 00", "e9 21 01 02", '{"14":["lst",["tf",2,1,0]]}'),
    ("color", 2, "08 000f 00000002", "f5 04", '{"15":["i32",2]}'),
]


def field_case_params():
    for field, value, binary, compact, text in FIELD_CASES:
        ident = f"{field}={value!r}"
        yield pytest.param(field, value, BIN, h(binary + "00"), id=f"binary-{ident}")
        yield pytest.param(field, value, CMP, h(compact + "00"), id=f"compact-{ident}")
        if text is not None:
            yield pytest.param(field, value, JSN, text.encode(), id=f"json-{ident}")


@pytest.mark.parametrize("field, value, protocol, expected", list(field_case_params()))
def test_single_field_encoding_and_read_back(structs, field, value, protocol, expected):
    s = structs["All"]
    assert s.serialize_with_protocol({field: value}, protocol) == expected
    back = s.deserialize_with_protocol(expected, protocol)
    assert plain(getattr(back, field)) == value
    assert [name for name, v in back.to_dict().items() if v is not None] == [field]
    if value not in ([], {}):
        # written again from what was read (value tree or Python values)
        assert s.serialize_with_protocol(s.deserialize_with_protocol(expected, protocol), protocol) == expected


@pytest.mark.parametrize("protocol, expected", [(BIN, b"\x00"), (CMP, b"\x00"), (JSN, b"{}")])
def test_empty_struct(structs, protocol, expected):
    s = structs["All"]
    assert s.serialize_with_protocol({}, protocol) == expected
    back = s.deserialize_with_protocol(expected, protocol)
    assert set(back.to_dict().values()) == {None}


def test_static_protocol_classes_use_their_protocol(structs):
    s = structs["Pair"]
    data = {"n": 5, "s": "x"}
    for cls, protocol in [(vantrel.BinaryProtocol, BIN), (vantrel.CompactProtocol, CMP), (vantrel.JSONProtocol, JSN)]:
        encoded = cls.serialize_struct(s, data)
        assert encoded == s.serialize_with_protocol(data, protocol)
        assert cls.deserialize_struct(s, encoded).to_dict() == {"n": 5, "s": "x", "l": None}
        assert cls.serialize_struct(struct_def=s, data=data) == encoded
        assert cls.deserialize_struct(struct_def=s, data=encoded).n == 5
    assert vantrel.BinaryProtocol.serialize_struct(s, data) == s.serialize(data)


# ---------------------------------------------------------------- Compact details


@pytest.mark.parametrize(
    "name, data, compact",
    [
        ("Ids", {"a": 0, "b": 0, "c": 0, "d": 0}, "15 00 15 00 05 00 14 00 15 00 00"),
        ("Desc", {"hi": 1, "lo": 2}, "55 02 05 00 03 04 00"),
        ("Flags", {"t": True, "far": False}, "11 02 00 14 00"),
        ("Flags", {"t": False, "far": True}, "12 01 00 14 00"),
        ("Jumps", {"a": 0, "b": 0}, "f5 00 05 00 1f 00 00"),
        ("Nest", {"a": 1, "inner": {"v": 1}, "b": 1}, "15 02 1c 55 02 00 15 02 00"),
        ("Neg", {"neg": 1}, "05 ff ff 02 00"),
    ],
    ids=["deltas-1-2-20-21", "descending-id", "bools-true-false", "bools-false-true", "delta-15-16", "nested", "negative-id"],
)
def test_compact_field_headers(structs, name, data, compact):
    s = structs[name]
    assert s.serialize_with_protocol(data, CMP) == h(compact)
    assert plain(s.deserialize_with_protocol(h(compact), CMP)) == data


@pytest.mark.parametrize(
    "count, compact, binary",
    [(14, "e5", "0000000e"), (15, "f5 1e", "0000000f"), (200, "f5 90 03", "000000c8")],
)
def test_list_count_forms(structs, count, compact, binary):
    s = structs["All"]
    items = list(range(count))
    zigzag = b"".join(bytes([2 * i]) if 2 * i < 128 else bytes([(2 * i) & 0x7F | 0x80, (2 * i) >> 7]) for i in items)
    compact_bytes = h("99" + compact) + zigzag + b"\x00"
    binary_bytes = h("0f 0009 08" + binary) + b"".join(i.to_bytes(4, "big") for i in items) + b"\x00"
    assert s.serialize_with_protocol({"ints": items}, CMP) == compact_bytes
    assert s.serialize_with_protocol({"ints": items}, BIN) == binary_bytes
    assert s.deserialize_with_protocol(compact_bytes, CMP).ints == items
    assert s.deserialize_with_protocol(binary_bytes, BIN).ints == items
    assert json.loads(s.serialize_with_protocol({"ints": items}, JSN)) == {"9": ["lst", ["i32", count, *items]]}


def test_compact_empty_map_is_one_byte(structs):
    # count 0 ends the header: the next byte is already the next field
    inst = structs["All"].deserialize_with_protocol(h("bb 00 1c 15 02 00 00"), CMP)
    assert inst.labels == {}
    assert inst.inner.v == 1


@pytest.mark.parametrize("element, expected", [("01", True), ("02", False), ("00", False), ("03", False)])
def test_compact_bool_list_elements(structs, element, expected):
    assert structs["All"].deserialize_with_protocol(h("e9 11" + element + "00"), CMP).bools == [expected]


@pytest.mark.parametrize("byte, expected", [("00", False), ("01", True), ("02", True), ("ff", True)])
def test_binary_bool_is_true_for_any_non_zero_byte(structs, byte, expected):
    assert structs["All"].deserialize_with_protocol(h("02 0001" + byte + "00"), BIN).flag is expected


# ------------------------------------------------------------------ JSON details


@pytest.mark.parametrize(
    "name, data, text",
    [
        ("Pair", {"n": 5, "s": "x"}, '{"1":["i32",5],"2":["str","x"]}'),
        ("Pair", {"l": 7}, '{"3":["i64","7"]}'),
        ("Pair", {"l": -7}, '{"3":["i64","-7"]}'),
        ("Sparse", {"two": 2, "ten": 10}, '{"10":["i32",10],"2":["i32",2]}'),
        ("Neg", {"neg": 1}, '{"-1":["i32",1]}'),
        ("Keys", {"b": {True: 1, False: 2}}, '{"1":["map",["tf","i32",2,{"0":2,"1":1}]]}'),
        ("Keys", {"d": {1.5: 1}}, '{"2":["map",["dbl","i32",1,{"1.5":1}]]}'),
        ("Keys", {"l": {-7: 1}}, '{"3":["map",["i64","i32",1,{"-7":1}]]}'),
        ("Keys", {"bin": {b"\x00\xff": 1}}, '{"4":["map",["str","i32",1,{"AP8=":1}]]}'),
        ("Keys", {"s": {"k": 1}}, '{"5":["map",["str","i32",1,{"k":1}]]}'),
        ("Keys", {"sorted": {10: "a", 2: "b"}}, '{"7":["map",["i32","str",2,{"10":"a","2":"b"}]]}'),
    ],
)
def test_json_documents(structs, name, data, text):
    assert structs[name].serialize_with_protocol(data, JSN) == text.encode()


def test_json_struct_map_key_is_its_compact_json_text(structs):
    key = structs["Inner"](v=1)
    out = structs["Keys"].serialize_with_protocol({"st": {key: 1}}, JSN)
    assert json.loads(out) == {"6": ["map", ["rec", "i32", 1, {'{"1":["i32",1]}': 1}]]}


@pytest.mark.parametrize(
    "value, text",
    [(float("nan"), '"NaN"'), (float("inf"), '"Infinity"'), (float("-inf"), '"-Infinity"')],
)
def test_json_non_finite_doubles_are_strings(structs, value, text):
    s = structs["All"]
    out = s.serialize_with_protocol({"real": value, "num": 1}, JSN)
    assert out == ('{"4":["i32",1],"6":["dbl",' + text + "]}").encode()
    back = s.deserialize_with_protocol(out, JSN).real
    if math.isnan(value):
        assert math.isnan(back)
    else:
        assert back == value


def test_json_unicode_text(structs):
    s = structs["All"]
    text = 'h\u00e9llo \u2713 \U0001f600 "q" \\ \x01'
    out = s.serialize_with_protocol({"text": text}, JSN)
    assert json.loads(out.decode("utf-8")) == {"7": ["str", text]}
    assert s.deserialize_with_protocol(out, JSN).text == text


# ------------------------------------------------- value trees written as they are


@pytest.mark.parametrize(
    "protocol, expected",
    [(BIN, h("0f 0009 0b 00000000 00")), (CMP, h("99 08 00")), (JSN, b'{"9":["lst",["str",0]]}')],
)
def test_empty_list_from_a_decoded_value_is_written_with_string_elements(structs, protocol, expected):
    s = structs["All"]
    decoded = s.deserialize(h("0f 0009 08 00000000 00"))
    assert s.serialize_with_protocol(decoded, protocol) == expected
    # once read, the Python list is written with the declared element type
    assert decoded.ints == []
    assert s.serialize_with_protocol(decoded, BIN) == h("0f 0009 08 00000000 00")


def test_map_with_repeated_keys_from_the_wire(structs):
    s = structs["All"]
    data = h("0d 000b 08 0b 00000002 00000001 00000001 61 00000001 00000001 62 00")
    decoded = s.deserialize(data)
    # the decoded tree keeps both pairs; JSON keeps the later one and counts it once
    assert s.serialize_with_protocol(decoded, BIN) == data
    assert s.serialize_with_protocol(decoded, JSN) == b'{"11":["map",["i32","str",1,{"1":"b"}]]}'
    assert decoded.labels == {1: "b"}


def test_json_list_map_key_from_a_decoded_value(structs):
    s = structs["Weird"]
    decoded = s.deserialize(h("0d 0001 0f 08 00000001 08 00000001 00000001 00000007 00"))
    out = s.serialize_with_protocol(decoded, JSN)
    assert json.loads(out) == {"1": ["map", ["lst", "i32", 1, {'["i32",1,1]': 7}]]}


# ------------------------------------------------------------------- reading


@pytest.mark.parametrize("protocol, trailer", [(BIN, "00"), (CMP, "00"), (BIN, "00 ff ff 12"), (CMP, "00 99 99")])
def test_bytes_after_stop_are_ignored(structs, protocol, trailer):
    assert set(structs["All"].deserialize_with_protocol(h(trailer), protocol).to_dict().values()) == {None}


@pytest.mark.parametrize(
    "protocol, data, expected",
    [
        (BIN, "0b 0004 0000002a 00", 42),  # header says STRING, declared i32
        (BIN, "0a 0004 0000002a 00", 42),
        (CMP, "48 54 00", 42),
        (BIN, "08 0004 00000001 08 0004 00000002 00", 2),  # repeated id: last wins
        (CMP, "45 02 05 00 04 04 00", 2),
    ],
)
def test_values_are_read_by_declared_type_and_last_repeat_wins(structs, protocol, data, expected):
    assert structs["All"].deserialize_with_protocol(h(data), protocol).num == expected


def test_compact_bool_header_over_another_declared_type(structs):
    # The header of the list field says "bool true"; that folded value is what
    # the first bool element reads, and the fields after it still line up.
    inst = structs["All"].deserialize_with_protocol(h("e1 21 02 05 0004 0e 00"), CMP)
    assert (inst.bools, inst.num) == ([True, False], 7)


@pytest.mark.parametrize(
    "protocol, data",
    [
        (BIN, "0f 0009 0b 00000001 00000007 00"),  # element type not compared with the declaration
        (BIN, "0f 0009 00 00000001 00000007 00"),  # STOP accepted as element type
        (BIN, "0f 0009 01 00000001 00000007 00"),  # VOID too
        (CMP, "99 18 0e 00"),
    ],
)
def test_list_element_type_byte_is_only_validated(structs, protocol, data):
    assert structs["All"].deserialize_with_protocol(h(data), protocol).ints == [7]


def test_string_of_length_zero_and_missing_fields(structs):
    inst = structs["All"].deserialize(h("0b 0007 00000000 00"))
    assert inst.text == ""
    assert inst.field_names() == [f.name for f in structs["All"].fields]


# Unknown field 99 of every wire type, followed by the known field num = 7.
BINARY_SKIPS = {
    "bool": "02 0063 01",
    "byte": "03 0063 ff",
    "i16": "06 0063 0001",
    "i32": "08 0063 00000001",
    "i64": "0a 0063 0000000000000001",
    "double": "04 0063 3ff0000000000000",
    "string": "0b 0063 00000002 6869",
    "struct": "0c 0063 08 0001 00000001 0b 0002 00000001 78 0f 0003 08 00000001 00000005 00",
    "list": "0f 0063 0b 00000002 00000001 61 00000000",
    "set": "0e 0063 08 00000001 00000009",
    "map": "0d 0063 0b 0c 00000001 00000001 6b 08 0001 00000001 00",
    "void": "01 0063",
    "list-negative-count": "0f 0063 08 ffffffff",
    "map-negative-count": "0d 0063 08 08 ffffffff",
    "list-of-stop": "0f 0063 00 00000003",
    "huge-list-of-void": "0f 0063 01 7fffffff",
    "huge-map-of-void": "0d 0063 01 01 7fffffff",
}
COMPACT_SKIPS = {
    "bool-true": "01 00 63",
    "bool-false": "02 00 63",
    "byte": "03 00 63 ff",
    "i16": "04 00 63 01",
    "i32": "05 00 63 ac 02",
    "i64": "06 00 63 ff ff ff ff ff ff ff ff ff 01",
    "double": "07 00 63 3ff0000000000000",
    "string": "08 00 63 04 68 69",
    "struct": "0c 00 63 15 02 28 02 78 39 15 0a 00",
    "struct-with-bools": "0c 00 63 11 22 00",
    "list": "09 00 63 28 02 61 00",
    "list-of-bools": "09 00 63 21 01 02",
    "set": "0a 00 63 15 12",
    "map": "0b 00 63 02 8c 02 6b 15 02 00",
    "empty-map": "0b 00 63 00",
    "list-negative-count": "09 00 63 f5 01",
    "huge-list-of-stop": "09 00 63 f0 fe ff ff ff 0f",
}


@pytest.mark.parametrize(
    "protocol, unknown, known",
    [pytest.param(BIN, v, "08 0004 00000007", id=f"binary-{k}") for k, v in BINARY_SKIPS.items()]
    + [pytest.param(CMP, v, "05 00 04 0e", id=f"compact-{k}") for k, v in COMPACT_SKIPS.items()],
)
def test_unknown_fields_are_skipped(structs, protocol, unknown, known):
    inst = structs["All"].deserialize_with_protocol(h(unknown + known + "00"), protocol)
    assert inst.num == 7
    assert [k for k, v in inst.to_dict().items() if v is not None] == ["num"]


FILL = "failed to fill whole buffer"

READ_ERRORS = [
    (BIN, "", FILL),
    (BIN, "08 0004 0000", FILL),
    (BIN, "0b 0007 00000005 6162", FILL),
    (BIN, "08 0004 00000001", FILL),  # no STOP
    (BIN, "05 0001 00000000 00", "Invalid type: 5"),
    (BIN, "07 0001 00", "Invalid type: 7"),
    (BIN, "10 0001 00", "Invalid type: 16"),
    (BIN, "0f 0009 05 00000001 00000001 00", "Invalid field type"),
    (BIN, "0e 000a 10 00000000 00", "Invalid field type"),
    (BIN, "0d 000b 05 0b 00000000 00", "Invalid field type"),
    (BIN, "0d 000b 08 09 00000000 00", "Invalid field type"),
    (BIN, "0b 0007 00000002 61ff 00", "invalid utf-8 sequence of 1 bytes from index 1"),
    (BIN, "0b 0007 00000003 e28241 00", "invalid utf-8 sequence of 2 bytes from index 0"),
    (BIN, "0b 0007 00000004 f0908041 00", "invalid utf-8 sequence of 3 bytes from index 0"),
    (BIN, "0b 0007 00000004 6162e282 00", "incomplete utf-8 byte sequence from index 2"),
    (BIN, "0b 0063 00000001 ff 00", "invalid utf-8 sequence of 1 bytes from index 0"),  # while skipping
    (BIN, "0f 0063 05 00000000 00", "Invalid field type"),  # while skipping
    (BIN, "0c 0063 05 0001 00", "Invalid type: 5"),  # while skipping
    (BIN, "0f 0063 08 00000002 00000001", FILL),  # while skipping
    (CMP, "", FILL),
    (CMP, "45 80", FILL),
    (CMP, "78 04 61", FILL),
    (CMP, "1d", "Invalid field type"),
    (CMP, "1f", "Invalid field type"),
    (CMP, "99 1d", "Invalid field type"),
    (CMP, "bb 02 d8", "Invalid field type"),
    (CMP, "bb 02 5e", "Invalid field type"),
    (CMP, "78 04 61ff 00", "invalid utf-8 sequence of 1 bytes from index 1"),
    (CMP, "78 06 6162e2 00", "incomplete utf-8 byte sequence from index 2"),
    (CMP, "08 00 63 02 ff 00", "invalid utf-8 sequence of 1 bytes from index 0"),  # while skipping
]


@pytest.mark.parametrize("protocol, data, message", READ_ERRORS)
def test_read_errors(structs, protocol, data, message):
    assert read_error(structs["All"], h(data), protocol) == "Read error: " + message


@pytest.mark.parametrize("protocol", [BIN, CMP])
def test_every_truncation_fails_cleanly(structs, protocol):
    s = structs["All"]
    full = s.serialize_with_protocol(
        {"flag": True, "big": -5, "text": "hé", "ints": [1, 2, 3], "labels": {1: "a"}, "inners": [{"v": 1}]},
        protocol,
    )
    for end in range(len(full)):
        assert read_error(s, full[:end], protocol) == "Read error: " + FILL


# ---------------------------------------------------------- hostile input


@pytest.mark.parametrize(
    "protocol, data",
    [
        (BIN, "0b 0007 ffffffff 00"),
        (BIN, "0b 0008 80000000 00"),
        (BIN, "0f 0009 08 ffffffff 00"),
        (BIN, "0e 000a 0b ffffffff 00"),
        (BIN, "0d 000b 08 0b ffffffff 00"),
        (BIN, "0f 0009 08 7fffffff 00000001"),
        (BIN, "0b 0007 7fffffff 6162"),
        (BIN, "0b 0008 7fffffff 6162"),
        (BIN, "0d 000b 08 0b 7fffffff 00"),
        (BIN, "0f 000d 0c 7fffffff 00 00"),
        (BIN, "0f 000e 02 7fffffff 01"),
        (CMP, "78 01 00"),
        (CMP, "88 01 00"),
        (CMP, "99 f5 01 00"),
        (CMP, "aa f8 01 00"),
        (CMP, "bb 01 00"),
        (CMP, "99 f5 fe ff ff ff 0f 02"),
        (CMP, "78 fe ff ff ff 0f 61"),
        (CMP, "bb fe ff ff ff 0f 58 02"),
        (CMP, "d9 fc fe ff ff ff 0f 00"),
    ],
)
def test_negative_and_huge_lengths_are_read_errors(structs, protocol, data):
    assert read_error(structs["All"], h(data), protocol).startswith("Read error: ")


DEPTH = "maximum nesting depth of 64 exceeded"


def nested_chain(protocol, levels):
    if protocol is BIN:
        return h("0c 0001" * (levels - 1) + "08 0002 00000001" + "00" * levels)
    return h("1c" * (levels - 1) + "25 02" + "00" * levels)


@pytest.mark.parametrize("protocol", [BIN, CMP])
def test_nesting_depth_on_read(structs, protocol):
    s = structs["Chain"]
    inst = s.deserialize_with_protocol(nested_chain(protocol, 60), protocol)
    for _ in range(59):
        inst = inst.next
    assert inst.v == 1
    message = read_error(s, nested_chain(protocol, 70), protocol)
    assert message.startswith("Read error: ") and DEPTH in message


@pytest.mark.parametrize(
    "protocol, data",
    [
        (BIN, h("0f 0063") + h("0f 00000001") * 10000),
        (BIN, h("0c 0063") + h("0c 0001") * 10000),
        (BIN, h("0d 0063") + h("0d 0d 00000001") * 10000),
        (CMP, h("09 00 63") + h("19") * 10000),
        (CMP, h("0c 00 63") + h("1c") * 10000),
    ],
    ids=["binary-lists", "binary-structs", "binary-maps", "compact-lists", "compact-structs"],
)
def test_deeply_nested_unknown_field_fails_to_skip(structs, protocol, data):
    message = read_error(structs["All"], data, protocol)
    assert message.startswith("Read error: ") and DEPTH in message


def test_deeply_nested_json_is_refused(structs):
    doc = '{"99":["lst",' + "[" * 10000 + "]" * 10000 + "]}"
    with pytest.raises(ValueError, match="^JSON parse error: "):
        structs["All"].deserialize_with_protocol(doc.encode(), JSN)
