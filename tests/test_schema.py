"""ThriftParser methods and the schema objects it hands out."""

import pytest

import vantrel

IDL = """
namespace py demo.api
include "idl/shared.thrift"
include "common"
include "idl/shared.thrift"

enum Color { RED, GREEN = 5 }

struct Point { 1: i32 x, 2: i32 y = 7 }

exception Oops { 1: required string message }

union Choice { 1: Point p, 2: map<string, list<Point>> many }

service Api {
  void ping(),
  i32 add(1: i32 a, 2: optional i32 b) throws (1: Oops oops),
  oneway void fire(1: required string what)
}
"""

POINT_REPR = (
    'ThriftStruct(name="Point", fields=['
    'ThriftField { id: 1, name: "x", field_type: I32, required: false, default_value: None }, '
    'ThriftField { id: 2, name: "y", field_type: I32, required: false, default_value: Some(I32(7)) }])'
)


@pytest.fixture
def parser():
    p = vantrel.ThriftParser()
    assert p.parse(IDL) is None
    return p


NO_DOCUMENT_CALLS = [
    ("list_structs", ()),
    ("get_struct", ("X",)),
    ("list_services", ()),
    ("get_service", ("X",)),
    ("list_enums", ()),
    ("get_enum", ("X",)),
    ("list_includes", ()),
    ("namespaces", ()),
]


@pytest.mark.parametrize("method, args", NO_DOCUMENT_CALLS)
def test_methods_before_any_parse_raise(method, args):
    p = vantrel.ThriftParser()
    with pytest.raises(ValueError) as info:
        getattr(p, method)(*args)
    assert str(info.value) == "No document parsed yet"


@pytest.mark.parametrize("method, args", NO_DOCUMENT_CALLS)
def test_failed_first_parse_leaves_no_document(method, args):
    p = vantrel.ThriftParser()
    with pytest.raises(ValueError, match="^Parse error: "):
        p.parse("struct S {")
    with pytest.raises(ValueError) as info:
        getattr(p, method)(*args)
    assert str(info.value) == "No document parsed yet"


def test_empty_document():
    p = vantrel.ThriftParser()
    p.parse("")
    assert p.list_structs() == []
    assert p.list_services() == []
    assert p.list_enums() == []
    assert p.list_includes() == []
    assert p.namespaces() == {}
    assert p.get_struct("X") is None
    assert p.get_service("X") is None
    assert p.get_enum("X") is None


def test_listing_and_lookup(parser):
    assert sorted(parser.list_structs()) == ["Choice", "Oops", "Point"]
    assert parser.list_services() == ["Api"]
    assert parser.list_enums() == ["Color"]
    assert parser.list_includes() == ["idl/shared.thrift", "common", "idl/shared.thrift"]
    assert parser.namespaces() == {"py": "demo.api"}
    assert parser.get_enum("Color") == {"RED": 0, "GREEN": 5}
    assert repr(parser.get_struct("Point")) == POINT_REPR


@pytest.mark.parametrize(
    "method, name",
    [
        ("get_struct", "point"),
        ("get_struct", "Nope"),
        ("get_struct", "other.Point"),
        ("get_struct", "shared.common.Point"),
        ("get_struct", "idl/shared.Point"),
        ("get_struct", "Color"),
        ("get_service", "api"),
        ("get_service", "shared.Api"),
        ("get_service", "Point"),
        ("get_enum", "color"),
        ("get_enum", "shared.Color"),
        ("get_enum", "Point"),
    ],
)
def test_unknown_names_give_none(parser, method, name):
    assert getattr(parser, method)(name) is None


@pytest.mark.parametrize("key", ["Point", "shared.Point", "common.Point"])
def test_struct_map_include_aliases(parser, key):
    struct = parser.get_struct(key)
    assert struct.name == "Point"
    assert repr(struct) == POINT_REPR


def test_include_aliases_are_not_listed(parser):
    assert "shared.Point" not in parser.list_structs()


@pytest.mark.parametrize(
    "include, key",
    [
        ('"a.thrift.thrift"', "a.thrift.Point"),
        ('"x/y/z.thrift"', "z.Point"),
        ('"dotted.name"', "dotted.name.Point"),
        ('"noext"', "noext.Point"),
    ],
)
def test_include_prefix_rules(include, key):
    p = vantrel.ThriftParser()
    p.parse(f"include {include}\nstruct Point {{ 1: i32 x }}")
    assert p.get_struct(key).name == "Point"


def test_failed_parse_keeps_previous_document(parser):
    with pytest.raises(ValueError) as info:
        parser.parse("struct Other { 1: i32 a")
    assert str(info.value) == "Parse error: End of input"
    assert sorted(parser.list_structs()) == ["Choice", "Oops", "Point"]
    assert parser.get_struct("Other") is None
    assert repr(parser.get_struct("shared.Point")) == POINT_REPR
    with pytest.raises(ValueError, match=r'^Parse error: Syntax error: Unexpected input: "@"$'):
        parser.parse("struct Other {} @")
    assert parser.list_services() == ["Api"]


def test_successful_parse_replaces_document(parser):
    parser.parse("struct Other { 1: i32 a }")
    assert parser.list_structs() == ["Other"]
    assert parser.get_struct("Point") is None
    assert parser.list_includes() == []
    assert parser.namespaces() == {}
    assert parser.list_enums() == []


def test_reparse_does_not_change_handed_out_objects(parser):
    struct = parser.get_struct("Point")
    aliased = parser.get_struct("shared.Point")
    service = parser.get_service("Api")
    method = service.get_method("add")
    field = struct.fields[1]
    before = [repr(o) for o in (struct, aliased, service, method, field)]
    parser.parse("struct Point { 1: string replaced } service Api { string other() }")
    assert [repr(o) for o in (struct, aliased, service, method, field)] == before
    assert [f.name for f in struct.fields] == ["x", "y"]
    assert [m.name for m in service.methods] == ["ping", "add", "fire"]


def test_returned_containers_are_copies(parser):
    parser.get_enum("Color")["BLUE"] = 9
    parser.list_structs().append("X")
    parser.list_includes().clear()
    parser.namespaces()["java"] = "x"
    parser.get_struct("Point").fields.clear()
    assert parser.get_enum("Color") == {"RED": 0, "GREEN": 5}
    assert "X" not in parser.list_structs()
    assert len(parser.list_includes()) == 3
    assert parser.namespaces() == {"py": "demo.api"}
    assert len(parser.get_struct("Point").fields) == 2


@pytest.mark.parametrize(
    "call",
    [
        lambda p: p.parse(123),
        lambda p: p.parse(b"struct A {}"),
        lambda p: p.parse(),
        lambda p: p.parse("", ""),
        lambda p: p.get_struct(1),
        lambda p: p.get_struct(),
        lambda p: p.get_enum(None),
        lambda p: p.get_service(b"Api"),
        lambda p: p.list_structs(1),
    ],
)
def test_wrong_arguments_raise_type_error(parser, call):
    with pytest.raises(TypeError):
        call(parser)


def test_keyword_arguments_follow_the_signatures(parser):
    assert parser.get_struct(name="Point").name == "Point"
    assert parser.get_service("Api").get_method(name="ping").name == "ping"
    parser.parse(content="struct K {}")
    assert parser.list_structs() == ["K"]


# ------------------------------------------------------------- schema objects


def test_field_attributes_and_repr(parser):
    oops = parser.get_struct("Oops")
    (message,) = oops.fields
    assert (message.id, message.name, message.required) == (1, "message", True)
    assert type(message.id) is int and type(message.required) is bool
    assert repr(message) == 'ThriftField(id=1, name="message", required=true, field_type=String)'
    assert repr(oops) == (
        'ThriftStruct(name="Oops", fields=[ThriftField { id: 1, name: "message", '
        "field_type: String, required: true, default_value: None }])"
    )
    p, many = parser.get_struct("Choice").fields
    assert repr(p) == 'ThriftField(id=1, name="p", required=false, field_type=Struct("Point"))'
    assert repr(many) == (
        'ThriftField(id=2, name="many", required=false, field_type=Map(String, List(Struct("Point"))))'
    )


def test_empty_struct_and_service_reprs():
    p = vantrel.ThriftParser()
    p.parse("struct E {} service V {}")
    assert repr(p.get_struct("E")) == 'ThriftStruct(name="E", fields=[])'
    assert p.get_struct("E").fields == []
    assert repr(p.get_service("V")) == 'ThriftService(name="V", methods=[])'
    assert p.get_service("V").methods == []


def test_service_and_methods(parser):
    service = parser.get_service("Api")
    assert service.name == "Api"
    assert repr(service) == 'ThriftService(name="Api", methods=["ping", "add", "fire"])'
    ping, add, fire = service.methods
    assert repr(ping) == 'ThriftMethod(name="ping", return_type=Struct("void"))'
    assert (ping.name, ping.arguments, ping.exceptions, ping.oneway) == ("ping", [], [], False)
    assert repr(add) == 'ThriftMethod(name="add", return_type=I32)'
    assert [repr(a) for a in add.arguments] == [
        'ThriftField(id=1, name="a", required=false, field_type=I32)',
        'ThriftField(id=2, name="b", required=false, field_type=I32)',
    ]
    assert [repr(e) for e in add.exceptions] == [
        'ThriftField(id=1, name="oops", required=false, field_type=Struct("Oops"))'
    ]
    assert add.oneway is False
    assert fire.oneway is True
    assert [(a.id, a.name, a.required) for a in fire.arguments] == [(1, "what", True)]


def test_get_method():
    p = vantrel.ThriftParser()
    p.parse("service S { i32 f() string f() void g() }")
    service = p.get_service("S")
    assert repr(service.get_method("f")) == 'ThriftMethod(name="f", return_type=I32)'
    assert repr(service.get_method("g")) == 'ThriftMethod(name="g", return_type=Struct("void"))'
    assert service.get_method("nope") is None
    assert service.get_method("F") is None
    assert service.get_method("") is None


def test_every_access_builds_new_objects(parser):
    struct = parser.get_struct("Point")
    assert struct.fields is not struct.fields
    assert struct.fields[0] is not struct.fields[0]
    assert parser.get_struct("Point") is not parser.get_struct("Point")
    service = parser.get_service("Api")
    assert parser.get_service("Api") is not service
    assert service.methods[1] is not service.methods[1]
    assert service.get_method("add") is not service.get_method("add")
    add = service.get_method("add")
    assert add.arguments[0] is not add.arguments[0]
    assert add.exceptions[0] is not add.exceptions[0]


@pytest.mark.parametrize(
    "target, attr, value",
    [
        (lambda p: p.get_struct("Point").fields[0], "id", 5),
        (lambda p: p.get_struct("Point").fields[0], "name", "z"),
        (lambda p: p.get_struct("Point").fields[0], "required", True),
        (lambda p: p.get_struct("Point"), "name", "Q"),
        (lambda p: p.get_struct("Point"), "fields", []),
        (lambda p: p.get_service("Api"), "name", "Q"),
        (lambda p: p.get_service("Api"), "methods", []),
        (lambda p: p.get_service("Api").get_method("add"), "name", "Q"),
        (lambda p: p.get_service("Api").get_method("add"), "arguments", []),
        (lambda p: p.get_service("Api").get_method("add"), "exceptions", []),
        (lambda p: p.get_service("Api").get_method("add"), "oneway", True),
    ],
)
def test_attributes_are_read_only(parser, target, attr, value):
    obj = target(parser)
    before = repr(obj)
    with pytest.raises(AttributeError):
        setattr(obj, attr, value)
    assert repr(obj) == before
