"""Module contents, class docstrings and signatures, and the two setting enums."""

import inspect

import pytest

import vantrel

# Every class the module will ever export, in registration order.
ALL_CLASSES = [
    "ThriftParser",
    "BinaryProtocol",
    "ThriftStruct",
    "ThriftField",
    "ThriftStructInstance",
    "PyThriftService",
    "PyThriftMethod",
    "ThriftServer",
    "ProtocolType",
    "CompactProtocol",
    "JSONProtocol",
    "TransportType",
    "ThriftClient",
    "AsyncThriftClient",
    "ThriftApplicationException",
]

# The classes that exist so far; extend this list as classes are added.
EXPECTED_CLASSES = [
    "ThriftParser",
    "BinaryProtocol",
    "ThriftStruct",
    "ThriftField",
    "ThriftStructInstance",
    "PyThriftService",
    "PyThriftMethod",
    "ProtocolType",
    "CompactProtocol",
    "JSONProtocol",
    "TransportType",
    "ThriftClient",
    "ThriftApplicationException",
]

NOT_CONSTRUCTIBLE = ["ThriftStruct", "ThriftField", "PyThriftService", "PyThriftMethod", "ProtocolType"]


def public_names_in_definition_order():
    return [n for n in vars(vantrel) if not n.startswith("_")]


def test_module_exports_only_registered_classes_in_registration_order():
    names = public_names_in_definition_order()
    assert set(names) <= set(ALL_CLASSES)
    assert set(EXPECTED_CLASSES) <= set(names)
    assert names == [n for n in ALL_CLASSES if n in names]
    for name in names:
        obj = getattr(vantrel, name)
        assert isinstance(obj, type), name
        assert obj.__name__ == name
        assert obj.__qualname__ == name


def test_module_docstring_is_one_sentence():
    doc = vantrel.__doc__
    assert isinstance(doc, str) and doc.strip()
    assert "\n" not in doc.strip()


@pytest.mark.parametrize("name", NOT_CONSTRUCTIBLE)
def test_classes_without_constructor_raise_type_error(name):
    with pytest.raises(TypeError):
        getattr(vantrel, name)()


@pytest.mark.parametrize("name", ["ThriftStruct", "ThriftField", "PyThriftService", "PyThriftMethod", "ProtocolType"])
def test_classes_without_signature_or_doc(name):
    cls = getattr(vantrel, name)
    assert cls.__doc__ is None
    assert cls.__text_signature__ is None


def test_thrift_parser_class_signature_and_empty_doc():
    assert str(inspect.signature(vantrel.ThriftParser)) == "()"
    assert not vantrel.ThriftParser.__doc__


def test_transport_type_signature_and_doc():
    assert str(inspect.signature(vantrel.TransportType)) == "()"
    assert vantrel.TransportType.__doc__.splitlines() == [
        "Transport layer to use when reading/writing Thrift messages over TCP.",
        "",
        "* `Framed`   \u2013 each message is prefixed by a 4-byte big-endian frame length.",
        "* `Buffered` \u2013 messages are written directly to the socket with no framing.",
    ]


@pytest.mark.parametrize(
    "method, params",
    [
        ("parse", "content"),
        ("list_structs", ""),
        ("get_struct", "name"),
        ("list_services", ""),
        ("get_service", "name"),
        ("list_enums", ""),
        ("get_enum", "name"),
        ("list_includes", ""),
        ("namespaces", ""),
    ],
)
def test_thrift_parser_method_signatures(method, params):
    func = getattr(vantrel.ThriftParser, method)
    assert func.__text_signature__ == f"($self{', ' if params else ''}{params})"
    assert str(inspect.signature(getattr(vantrel.ThriftParser(), method))) == f"({params})"
    assert not func.__doc__


PROTOCOL_CLASSES = ["BinaryProtocol", "CompactProtocol", "JSONProtocol"]


@pytest.mark.parametrize("name", PROTOCOL_CLASSES)
def test_protocol_classes_signature_doc_and_static_methods(name):
    cls = getattr(vantrel, name)
    assert str(inspect.signature(cls)) == "()"
    assert not cls.__doc__
    assert isinstance(cls(), cls)
    with pytest.raises(TypeError):
        cls(1)
    for method in ("serialize_struct", "deserialize_struct"):
        func = getattr(cls, method)
        assert func.__text_signature__ == "(struct_def, data)"
        assert str(inspect.signature(func)) == "(struct_def, data)"


def test_thrift_struct_instance_signature_and_doc():
    cls = vantrel.ThriftStructInstance
    assert cls.__text_signature__ == "(struct_name, **kwargs)"
    assert str(inspect.signature(cls)) == "(struct_name, **kwargs)"
    assert cls.__doc__.splitlines() == [
        "A live instance of a Thrift struct.",
        "",
        "Fields are accessible as Python attributes (``instance.field_name``).",
        "Unknown attribute names raise ``AttributeError``.",
    ]
    for method in ("field_names", "to_dict"):
        func = getattr(cls, method)
        assert func.__text_signature__ == "($self)"
        assert str(inspect.signature(getattr(cls("S"), method))) == "()"


@pytest.mark.parametrize(
    "method, params, doc",
    [
        ("serialize", "data", "Serialize a struct from either a `ThriftStructInstance` or a plain `dict`."),
        (
            "serialize_with_protocol",
            "data, protocol",
            "Serialize a struct from either a `ThriftStructInstance` or a plain `dict` using specific protocol.",
        ),
        ("deserialize", "data", "Deserialize bytes into a `ThriftStructInstance`."),
        ("deserialize_with_protocol", "data, protocol", None),
        ("new_instance", "", "Construct an empty ThriftStructInstance with all fields set to None."),
        ("new_instance_from_dict", "items", None),
    ],
)
def test_thrift_struct_method_signatures_and_docs(method, params, doc):
    func = getattr(vantrel.ThriftStruct, method)
    assert func.__text_signature__ == f"($self{', ' if params else ''}{params})"
    if doc is None:
        assert not func.__doc__
    else:
        assert func.__doc__ == doc


def test_get_method_signature():
    func = vantrel.PyThriftService.get_method
    assert func.__text_signature__ == "($self, name)"
    assert not func.__doc__


# ---------------------------------------------------------------- ProtocolType


@pytest.mark.parametrize("member, value", [("Binary", 0), ("Compact", 1), ("JSON", 2)])
def test_protocol_type_members(member, value):
    obj = getattr(vantrel.ProtocolType, member)
    assert obj is getattr(vantrel.ProtocolType, member)
    assert isinstance(obj, vantrel.ProtocolType)
    assert repr(obj) == f"ProtocolType.{member}"
    assert str(obj) == f"ProtocolType.{member}"
    assert int(obj) == value
    # no comparison of its own: identity only, never equal to its integer
    assert obj == obj
    assert obj != value
    assert not (obj == value)
    assert hash(obj) == hash(obj)


def test_protocol_type_members_are_distinct_and_hashable():
    members = [vantrel.ProtocolType.Binary, vantrel.ProtocolType.Compact, vantrel.ProtocolType.JSON]
    assert len({id(m) for m in members}) == 3
    assert members[0] != members[1]
    assert {members[0]: "b"}[vantrel.ProtocolType.Binary] == "b"
    with pytest.raises(TypeError):
        members[0] < members[1]


# --------------------------------------------------------------- TransportType


@pytest.mark.parametrize("member, value", [("Framed", 0), ("Buffered", 1)])
def test_transport_type_members(member, value):
    obj = getattr(vantrel.TransportType, member)
    assert obj is getattr(vantrel.TransportType, member)
    assert isinstance(obj, vantrel.TransportType)
    assert repr(obj) == f"TransportType.{member}"
    assert str(obj) == f"TransportType.{member}"
    assert int(obj) == value
    assert obj == value
    assert value == obj
    assert not (obj != value)
    assert obj != 1 - value
    assert not (obj == 1 - value)


def test_transport_type_equality_between_members():
    framed, buffered = vantrel.TransportType.Framed, vantrel.TransportType.Buffered
    assert framed == framed and buffered == buffered
    assert framed != buffered
    assert not (framed == buffered)


def test_transport_type_constructor_gives_a_new_framed_object():
    obj = vantrel.TransportType()
    assert obj == vantrel.TransportType.Framed
    assert obj is not vantrel.TransportType.Framed
    assert obj != vantrel.TransportType.Buffered
    assert int(obj) == 0
    assert repr(obj) == "TransportType.Framed"
    with pytest.raises(TypeError):
        vantrel.TransportType(1)


def test_transport_type_compared_with_non_integers_falls_back_to_identity():
    framed = vantrel.TransportType.Framed
    assert not (framed == "Framed")
    assert framed != "Framed"
    assert not (framed == None)  # noqa: E711
    assert framed != object()


@pytest.mark.parametrize("op", ["<", "<=", ">", ">="])
def test_transport_type_has_no_ordering(op):
    framed, buffered = vantrel.TransportType.Framed, vantrel.TransportType.Buffered
    for left, right in [(framed, buffered), (framed, 1), (framed, framed)]:
        with pytest.raises(TypeError):
            eval(f"left {op} right")


def test_transport_type_is_unhashable():
    with pytest.raises(TypeError):
        hash(vantrel.TransportType.Framed)
    with pytest.raises(TypeError):
        {vantrel.TransportType.Buffered}
