"""ThriftStructInstance: construction, field access, caching, factories, repr, re-entry and gc."""

import gc
import weakref

import pytest

import vantrel
from helpers import h

IDL = """
struct P { 1: i32 x = 5, 2: i32 y }
struct Items { 1: list<i32> items, 2: string name }
struct Shadow { 1: i32 to_dict, 2: string struct_name, 3: i32 field_names, 4: i32 plain }
struct Inner { 1: i32 v }
struct Outer { 1: Inner inner, 2: list<Inner> inners, 3: map<string, Inner> by_name }
struct Weird { 1: map<list<i32>, i32> m, 2: i32 n }
"""


@pytest.fixture(scope="module")
def structs():
    parser = vantrel.ThriftParser()
    parser.parse(IDL)
    return {name: parser.get_struct(name) for name in parser.list_structs()}


class Token:
    """A weak-referenceable value object."""


# --------------------------------------------------------------- direct construction


def test_direct_instance():
    inst = vantrel.ThriftStructInstance("P", x=1, z=[1, 2])
    assert isinstance(inst, vantrel.ThriftStructInstance)
    assert inst.struct_name == "P"
    assert inst.field_names() == ["x", "z"]
    assert inst.x == 1 and inst.z == [1, 2]
    assert inst.to_dict() == {"x": 1, "z": [1, 2]}
    assert repr(inst) == "P(x=1, z=[1, 2])"
    inst.x = "now a string"
    assert inst.x == "now a string"
    assert repr(vantrel.ThriftStructInstance("Empty")) == "Empty()"
    assert vantrel.ThriftStructInstance("Empty").field_names() == []


@pytest.mark.parametrize(
    "call",
    [
        lambda: vantrel.ThriftStructInstance(),
        lambda: vantrel.ThriftStructInstance(1),
        lambda: vantrel.ThriftStructInstance(b"P"),
        lambda: vantrel.ThriftStructInstance("P", 1),
    ],
)
def test_constructor_argument_errors(call):
    with pytest.raises(TypeError):
        call()


def test_constructor_error_names_struct_name():
    with pytest.raises(TypeError, match="struct_name"):
        vantrel.ThriftStructInstance(1)


@pytest.mark.parametrize("name", ["y", "X", "struct_name", "__class__", "to_dict", ""])
def test_unknown_attribute_read_and_write(name):
    inst = vantrel.ThriftStructInstance("P", x=1)
    message = f"'P' object has no attribute '{name}'"
    if not hasattr(type(inst), name):
        with pytest.raises(AttributeError) as info:
            getattr(inst, name)
        assert str(info.value) == message
    with pytest.raises(AttributeError) as info:
        setattr(inst, name, 2)
    assert str(info.value) == message
    assert inst.field_names() == ["x"] and inst.x == 1


@pytest.mark.parametrize("name", ["x", "y", "struct_name"])
def test_delete_is_refused(name):
    inst = vantrel.ThriftStructInstance("P", x=1)
    with pytest.raises(AttributeError) as info:
        delattr(inst, name)
    assert str(info.value) == "can't delete attribute"
    assert inst.x == 1


def test_identity_equality_and_hash():
    a, b = vantrel.ThriftStructInstance("P", x=1), vantrel.ThriftStructInstance("P", x=1)
    assert a == a and a != b
    assert len({a, b}) == 2


# ------------------------------------------------------------------ struct factories


def test_new_instance_holds_defaults(structs):
    p = structs["P"].new_instance()
    assert p.struct_name == "P"
    assert p.field_names() == ["x", "y"]
    assert p.x == 5
    assert p.y is None
    assert p.to_dict() == {"x": 5, "y": None}
    assert repr(p) == "P(x=5, y=None)"
    assert repr(structs["P"]()) == "P(x=5, y=None)"


def test_factory_from_dict_and_keywords(structs):
    s = structs["P"]
    values = [1, 2]
    for inst in (s(x=1, z=2), s.new_instance_from_dict({"x": 1, "z": 2, 1: 2}), s.new_instance_from_dict(items={"x": 1})):
        assert inst.field_names() == ["x", "y"]
        assert inst.to_dict() == {"x": 1, "y": None}
    # the given objects are kept as they are
    items = structs["Items"](items=values)
    assert items.items is values
    values.append(3)
    assert structs["Items"].serialize(items) == h("0f 0001 08 00000003 00000001 00000002 00000003 00")


@pytest.mark.parametrize(
    "call",
    [
        lambda s: s(1),
        lambda s: s({"x": 1}),
        lambda s: s.new_instance_from_dict([("x", 1)]),
        lambda s: s.new_instance_from_dict(None),
        lambda s: s.new_instance_from_dict(),
        lambda s: s.new_instance(1),
    ],
)
def test_factory_argument_errors(structs, call):
    with pytest.raises(TypeError):
        call(structs["P"])


def test_factory_error_names_items(structs):
    with pytest.raises(TypeError, match="items"):
        structs["P"].new_instance_from_dict([("x", 1)])


def test_mismatched_value_is_kept_and_fails_only_when_written(structs):
    s = structs["P"]
    p = s(x="not a number")
    assert p.x == "not a number"
    with pytest.raises(TypeError):
        s.serialize(p)
    p = s.new_instance()
    p.x = "abc"
    assert p.x == "abc"
    assert p.to_dict() == {"x": "abc", "y": None}
    with pytest.raises(TypeError):
        s.serialize(p)
    p.x = 7
    assert s.serialize(p) == h("08 0001 00000007 00")
    p.x = None
    assert s.serialize(p) == h("00")


# --------------------------------------------------------------------- caching


def test_reads_are_cached_and_seen_by_the_writer(structs):
    s = structs["Items"]
    inst = s.deserialize(h("0f 0001 08 00000001 00000001 0b 0002 00000001 61 00"))
    first = inst.items
    assert first == [1]
    assert inst.items is first
    assert inst.to_dict()["items"] is first
    first.append(2)
    assert s.serialize(inst) == h("0f 0001 08 00000002 00000001 00000002 0b 0002 00000001 61 00")


def test_nested_values_read_as_instances(structs):
    s = structs["Outer"]
    data = s.serialize({"inner": {"v": 1}, "inners": [{"v": 2}], "by_name": {"a": {"v": 3}}})
    outer = s.deserialize(data)
    assert repr(outer) == "Outer(inner=Inner(v=1), inners=[Inner(v=2)], by_name={'a': Inner(v=3)})"
    inner = outer.inner
    assert isinstance(inner, vantrel.ThriftStructInstance)
    assert inner.struct_name == "Inner" and inner.field_names() == ["v"]
    assert outer.inner is inner
    # a change to the cached nested instance is written with the outer one
    inner.v = 9
    assert s.deserialize(s.serialize(outer)).inner.v == 9


def test_value_that_cannot_become_python_reads_as_none_and_is_cached(structs):
    s = structs["Weird"]
    data = h("0d 0001 0f 08 00000001 08 00000001 00000001 00000007 08 0002 00000004 00")
    inst = s.deserialize(data)
    assert s.serialize(inst) == data
    # a list key cannot be a dict key: the read gives None, which is cached and then omitted
    assert inst.m is None
    assert inst.n == 4
    assert s.serialize(inst) == h("08 0002 00000004 00")


def test_replaced_values_are_released(structs):
    token = Token()
    ref = weakref.ref(token)
    inst = vantrel.ThriftStructInstance("P", x=token)
    del token
    assert ref() is not None
    inst.x = 1
    assert ref() is None
    token = Token()
    ref = weakref.ref(token)
    p = structs["P"].new_instance()
    p.y = token
    del token, p
    assert ref() is None


# ------------------------------------------------------------ shadowed fields


def test_fields_shadowed_by_class_attributes(structs):
    s = structs["Shadow"]
    inst = s.new_instance()
    assert callable(inst.to_dict) and callable(inst.field_names)
    assert inst.struct_name == "Shadow"
    inst.to_dict = 3
    inst.struct_name = "renamed"
    inst.field_names = 4
    inst.plain = 5
    assert inst.struct_name == "Shadow"
    assert inst.to_dict() == {"to_dict": 3, "struct_name": "renamed", "field_names": 4, "plain": 5}
    assert inst.field_names() == ["to_dict", "struct_name", "field_names", "plain"]
    assert repr(inst) == "Shadow(to_dict=3, struct_name='renamed', field_names=4, plain=5)"
    assert s.serialize(inst) == h(
        "08 0001 00000003 0b 0002 00000007 72656e616d6564 08 0003 00000004 08 0004 00000005 00"
    )


# ------------------------------------------------------------ re-entry and gc


def test_repr_reentering_the_instance_raises_runtime_error():
    inst = vantrel.ThriftStructInstance("P", x=None)
    inst.x = inst
    with pytest.raises(RuntimeError):
        repr(inst)
    assert inst.to_dict() == {"x": inst}
    # the instance is usable again afterwards
    inst.x = 1
    assert repr(inst) == "P(x=1)"

    class Peek:
        def __repr__(self):
            return repr(inst.x)

    inst.x = Peek()
    with pytest.raises(RuntimeError):
        repr(inst)


def test_writing_the_instance_while_it_is_serialized_raises_runtime_error(structs):
    s = structs["P"]
    p = s.new_instance()

    class Sneaky:
        armed = False

        def __index__(self):
            if self.armed:
                p.y = 2
            return 1

    sneaky = Sneaky()
    p.x = sneaky
    sneaky.armed = True
    with pytest.raises(RuntimeError):
        s.serialize(p)
    p.x = 3
    assert s.serialize(p) == h("08 0001 00000003 00")


@pytest.mark.parametrize("make", ["direct", "struct", "decoded"])
def test_reference_cycles_are_collected(structs, make):
    if make == "direct":
        inst = vantrel.ThriftStructInstance("P", x=None)
    elif make == "struct":
        inst = structs["P"].new_instance()
    else:
        inst = structs["P"].deserialize(h("08 0002 00000001 00"))
    token = Token()
    token.inst = inst
    inst.x = token
    ref = weakref.ref(token)
    del token, inst
    gc.collect()
    assert ref() is None


def test_dict_changed_while_an_instance_is_built_from_it(structs):
    class Clear:
        def __index__(self):
            items.clear()
            return 1

    items = {"x": Clear(), "y": 1}
    clear = items["x"]
    inst = structs["P"].new_instance_from_dict(items)
    assert inst.x is clear
    assert inst.y in (1, None)


def test_self_referencing_dict_given_to_the_factories():
    parser = vantrel.ThriftParser()
    parser.parse("struct Chain { 1: Chain next, 2: i32 v }")
    chain = parser.get_struct("Chain")
    loop = {}
    loop["next"] = loop
    assert chain.new_instance_from_dict(loop).next is loop
    assert chain(next=loop).next is loop


def test_self_referencing_value_assigned_without_crash(structs):
    loop = []
    loop.append(loop)
    inst = vantrel.ThriftStructInstance("P", x=None)
    inst.x = loop
    assert inst.x is loop
    p = structs["Items"].new_instance()
    p.items = loop
    assert p.items is loop
    with pytest.raises(TypeError):
        structs["Items"].serialize(p)
