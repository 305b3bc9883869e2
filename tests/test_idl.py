"""IDL lexing and parsing, observed through ThriftParser and the schema reprs."""

import pytest

import vantrel


def parse(text):
    parser = vantrel.ThriftParser()
    parser.parse(text)
    return parser


def parse_error(text):
    with pytest.raises(ValueError) as info:
        vantrel.ThriftParser().parse(text)
    return str(info.value)


def fld(id, name, ftype, default=None, required=False):
    value = "None" if default is None else f"Some({default})"
    return (
        f'ThriftField {{ id: {id}, name: "{name}", field_type: {ftype}, '
        f"required: {'true' if required else 'false'}, default_value: {value} }}"
    )


def struct_repr(name, *fields):
    return f'ThriftStruct(name="{name}", fields=[{", ".join(fields)}])'


def struct_of(text, name="S"):
    struct = parse(text).get_struct(name)
    assert struct is not None, f"struct {name} missing"
    return repr(struct)


def field_type(field):
    text = repr(field)
    _, _, rest = text.partition(", field_type=")
    assert rest.endswith(")")
    return rest[:-1]


def types_of(text, name="S"):
    return {f.name: field_type(f) for f in parse(text).get_struct(name).fields}


def default_of(ftype, literal, prefix="", suffix=""):
    """The rendered default of `1: <ftype> v = <literal>` (None when dropped)."""
    text = repr(parse(f"{prefix}\nstruct S {{ 1: {ftype} v = {literal} }}\n{suffix}").get_struct("S"))
    marker = "default_value: "
    value = text[text.index(marker) + len(marker) : text.rindex(" }])")]
    if value == "None":
        return None
    assert value.startswith("Some(") and value.endswith(")")
    return value[5:-1]


ENUM_COLOR = "enum Color { RED, GREEN }"


# -------------------------------------------------------------------- lexer


@pytest.mark.parametrize(
    "text",
    [
        "",
        "   \t\r\n  ",
        "// only a comment",
        "# only a comment\n",
        "/* block\n comment */",
        "// a\n# b\n/* c */ // d",
    ],
)
def test_empty_or_comment_only_text_gives_empty_document(text):
    parser = parse(text)
    assert parser.list_structs() == []
    assert parser.list_services() == []
    assert parser.list_enums() == []
    assert parser.list_includes() == []
    assert parser.namespaces() == {}


@pytest.mark.parametrize(
    "text",
    [
        "struct A { 1: i32 x }\n// trailing comment",
        "struct A { 1: i32 x }\n// trailing comment\n",
        "struct A { 1: i32 x }\n# hash comment",
        "struct A /* inline */ { # c\n 1: i32 /* t */ x // c\n }",
        "struct A { 1: i32 x }\u00a0\u2003\u3000",
        "struct A { 1: i32 x }/**/",
    ],
)
def test_comments_and_trailing_unicode_whitespace_are_ignored(text):
    assert struct_of(text, "A") == struct_repr("A", fld(1, "x", "I32"))


@pytest.mark.parametrize(
    "text, remainder",
    [
        ("struct S { 1: i32 x } @foo", '"@foo"'),
        ("struct S { 1: i32 x = - 5 }", '"- 5 }"'),
        ("struct S { 1: i32 x = +5 }", '"+5 }"'),
        ("struct S { 1: string x = 'a' }", "\"'a' }\""),
        ("struct S { 1: i32 x } $", '"$"'),
        ("struct S { 1: i32 x } / 2", '"/ 2"'),
        ("/* a */ /* b", '"/* b"'),
        ('struct S { 1: string s = "open }', '"\\"open }"'),
        # a backslash does not escape the quote: "a\" is a string, b a word
        ('"a\\"b" x', '"\\" x"'),
        ("struct \u00e9 {}", '"\u00e9 {}"'),
        # Unicode whitespace between tokens is not ignorable
        ("struct\u00a0S {}", '"S {}"'),
        ("struct S {} @a\tb\r\nc\\d\0e\x01", '"@a\\tb\\r\\nc\\\\d\\0e\\u{1}"'),
        ("@" + "a" * 60, '"@' + "a" * 39 + '"'),
        ("@" + "a" * 39, '"@' + "a" * 39 + '"'),
        ("@  x  \u00a0 ", '"@  x"'),
    ],
)
def test_unexpected_input(text, remainder):
    assert parse_error(text) == f"Parse error: Syntax error: Unexpected input: {remainder}"


@pytest.mark.parametrize("text", ["@" + "\u00e9" * 30, "@@" + "\u4e2d" * 20])
def test_unexpected_input_cut_never_splits_a_character(text):
    message = parse_error(text)
    head = "Parse error: Syntax error: Unexpected input: \""
    assert message.startswith(head) and message.endswith('"')
    shown = message[len(head) : -1]
    assert text.startswith(shown)
    assert 36 < len(shown.encode()) <= 40


@pytest.mark.parametrize(
    "text",
    [
        "99999999999999999999",
        "struct S { 1: i64 x = 9223372036854775808 }",
        "struct S { 1: i64 x = -9223372036854775809 }",
        "struct S { 18446744073709551617: i32 x }",
        "enum E { A = 123456789012345678901234567890 }",
    ],
)
def test_number_literal_out_of_64_bit_range_is_a_parse_error(text):
    assert parse_error(text).startswith("Parse error: ")


@pytest.mark.parametrize(
    "literal, rendered",
    [("9223372036854775807", "I64(9223372036854775807)"), ("-9223372036854775808", "I64(-9223372036854775808)")],
)
def test_number_literal_at_64_bit_limits(literal, rendered):
    assert default_of("i64", literal) == rendered


def test_words_underscores_and_unicode_letters_after_the_first_character():
    parser = parse("struct _S\u00e92 { 1: i32 _, 2: i32 __x, 3: i32 a\u0663b_ }")
    assert [f.name for f in parser.get_struct("_S\u00e92").fields] == ["_", "__x", "a\u0663b_"]


def test_keywords_are_case_sensitive():
    parser = parse("Struct A { 1: i32 x } STRUCT B { 1: i32 y }")
    assert parser.list_structs() == []


@pytest.mark.parametrize(
    "text, token",
    [
        # a field id must be followed by a colon ...
        ("struct S { 1 , }", "Comma"),
        ("struct S { 1 ; }", "Semicolon"),
        ("struct S { 1 ( }", "LeftParen"),
        ("struct S { 1 ) }", "RightParen"),
        ("struct S { 1 { }", "LeftBrace"),
        ("struct S { 1 } }", "RightBrace"),
        ("struct S { 1 [ }", "LeftBracket"),
        ("struct S { 1 ] }", "RightBracket"),
        ("struct S { 1 < }", "LessThan"),
        ("struct S { 1 > }", "GreaterThan"),
        ("struct S { 1 = }", "Equal"),
        ("struct S { 1 . }", "Dot"),
        ("struct S { 1 * }", "Asterisk"),
        ("struct S { 1 foo }", 'Identifier("foo")'),
        ("struct S { 1 oneway }", 'Keyword("oneway")'),
        ('struct S { 1 "a b" }', 'String("a b")'),
        ('struct S { 1 "t\tn\nr\r\\" }', 'String("t\\tn\\nr\\r\\\\")'),
        ('struct S { 1 "\u00e9\x01\x10" }', 'String("\u00e9\\u{1}\\u{10}")'),
        # ... and the lexer splits these literals into two tokens
        ("struct S { 12ab }", 'Identifier("ab")'),
        ("struct S { 0x1F }", 'Identifier("x1F")'),
        ("struct S { 1.5 }", "Dot"),
        # a type must be a word
        ("struct S { 1: -7 x }", "Number(-7)"),
        ("struct S { 1: : x }", "Colon"),
    ],
)
def test_unexpected_token_rendering(text, token):
    assert parse_error(text) == f"Parse error: Unexpected token: {token}"


# ------------------------------------------------------- declarations: errors


@pytest.mark.parametrize(
    "text, message",
    [
        ("struct S { 1: i32 struct }", 'Unexpected token: Keyword("struct")'),
        ("struct S { 1: service x }", 'Unexpected token: Keyword("service")'),
        ("struct S { 1: i32 a", "End of input"),
        ("struct S { 1: i32 a,", "End of input"),
        ("struct S { 1:", "End of input"),
        ("struct S { 1: i32 x (a = \"b\" }", "End of input"),
        ("struct", "End of input"),
        ("struct enum {}", 'Unexpected token: Keyword("enum")'),
        ("struct S [ ]", "Unexpected token: LeftBracket"),
        ("struct S { 1 i32 x }", 'Unexpected token: Identifier("i32")'),
        ('struct S { 1: list<i32 (a = "b")> xs }', "Unexpected token: LeftParen"),
        ("struct S { 1: map<string; i32> m }", "Unexpected token: Semicolon"),
        ("struct S { 1: list<i32, i32> m }", "Unexpected token: Comma"),
        ("struct S { 1: double d = 2.5 }", "Unexpected token: Dot"),
        ("struct S { 1: string s = Consts.NAME }", "Unexpected token: Dot"),
        ("service S { void f() throws E }", 'Unexpected token: Identifier("E")'),
        ("service S { void f(1: i32 a }", "Unexpected token: RightBrace"),
        ("service S { void struct() }", 'Unexpected token: Keyword("struct")'),
        ("service S { void f()", "End of input"),
        ("namespace py 5", "Unexpected token: Number(5)"),
        ('namespace "py" x', 'Unexpected token: String("py")'),
        ("namespace py a.5", "Unexpected token: Number(5)"),
        ("namespace py a.", "End of input"),
        ("include foo", 'Unexpected token: Identifier("foo")'),
        ("typedef i32 struct", 'Unexpected token: Keyword("struct")'),
        ("enum E { 1 }", "Unexpected token: Number(1)"),
        ("enum E { A = B }", 'Unexpected token: Identifier("B")'),
        ('enum E (a = "b") { A }', "Unexpected token: LeftParen"),
        ("enum E { A", "End of input"),
        ("struct B extends 5 {}", "Unexpected token: Number(5)"),
    ],
)
def test_declaration_errors(text, message):
    assert parse_error(text) == f"Parse error: {message}"


# ---------------------------------------------------------- document level


def test_top_level_junk_is_skipped():
    parser = parse(
        "foo bar 1 2 ; ; } ) extends throws oneway required optional \"s\" = . *\n"
        "struct A { 1: i32 x };\n"
        "junk { 1: i32 y } ;\n"
        "enum E { X };"
    )
    assert parser.list_structs() == ["A"]
    assert parser.list_enums() == ["E"]
    assert repr(parser.get_struct("A")) == struct_repr("A", fld(1, "x", "I32"))


def test_struct_union_exception_share_one_namespace_last_wins():
    text = "struct X { 1: i32 a } union X { 1: i32 b } exception X { 1: i32 c }"
    parser = parse(text)
    assert parser.list_structs() == ["X"]
    assert repr(parser.get_struct("X")) == struct_repr("X", fld(1, "c", "I32"))


def test_namespaces_and_includes():
    parser = parse(
        "namespace * api\n"
        'namespace py "com.x"\n'
        "namespace java com.example.api;\n"
        "namespace cpp first\n"
        "namespace cpp second.service.struct\n"
        'include "a.thrift"\n'
        'include "b/c.thrift";\n'
        'include "a.thrift"\n'
    )
    assert parser.namespaces() == {
        "*": "api",
        "py": "com.x",
        "java": "com.example.api",
        "cpp": "second.service.struct",
    }
    assert parser.list_includes() == ["a.thrift", "b/c.thrift", "a.thrift"]


@pytest.mark.parametrize(
    "const",
    [
        "const i32 X = 5;",
        "const i32 X = 5,",
        "const list<i32> L = [1, 2];",
        'const map<string, i32> M = {"a": 1}',
        "const i32 X = [1, 2];",  # failed value skipped, rest dropped at top level
        "const double PI = 3.14",  # `.14` is dropped at top level
        "const string N = Consts.NAME",
        'const Point P = {"x": 1}',
        "const i32 X = GREEN;",
        "const i32 X",
    ],
)
def test_constants_are_read_and_dropped(const):
    parser = parse(f"{const}\nstruct S {{ 1: i32 a }}")
    assert parser.list_structs() == ["S"]
    assert repr(parser.get_struct("S")) == struct_repr("S", fld(1, "a", "I32"))
    assert parser.list_enums() == []


# ------------------------------------------------------------------ structs


def test_fields_annotations_separators_and_requiredness():
    text = (
        "struct S (x = \"y\") {\n"
        '  1: string name (annotation = "x"),\n'
        '  2: i32 n = 1 (a = "b");\n'
        "  3: required i64 r 4: optional bool o\n"
        "  5: list<i32> (ann = (nested (deep))) xs\n"
        "  6: i32 a 6: i32 a\n"
        "} (c = \"d\")"
    )
    assert struct_of(text) == struct_repr(
        "S",
        fld(1, "name", "String"),
        fld(2, "n", "I32", "I32(1)"),
        fld(3, "r", "I64", required=True),
        fld(4, "o", "Bool"),
        fld(5, "xs", "List(I32)"),
        fld(6, "a", "I32"),
        fld(6, "a", "I32"),
    )


@pytest.mark.parametrize("written, stored", [(65537, 1), (-1, -1), (32768, -32768), (0, 0), (32767, 32767)])
def test_field_id_is_narrowed_to_16_bits(written, stored):
    field = parse(f"struct S {{ {written}: i32 x }}").get_struct("S").fields[0]
    assert field.id == stored


@pytest.mark.parametrize(
    "written, rendered",
    [
        ("bool", "Bool"),
        ("byte", "Byte"),
        ("i16", "I16"),
        ("i32", "I32"),
        ("i64", "I64"),
        ("double", "Double"),
        ("string", "String"),
        ("binary", "Binary"),
        ("i8", 'Struct("i8")'),
        ("list<string>", "List(String)"),
        ("set<i16>", "Set(I16)"),
        ("map<string, list<i32>>", "Map(String, List(I32))"),
        ("map<string,list<Point>>", 'Map(String, List(Struct("Point")))'),
        ("map<set<byte>, map<i64, binary>>", "Map(Set(Byte), Map(I64, Binary))"),
        ("shared.Point", 'Struct("shared.Point")'),
        ("a.b.service", 'Struct("a.b.service")'),
        ("list<" * 64 + "i32" + ">" * 64, "List(" * 64 + "I32" + ")" * 64),
    ],
)
def test_type_expressions(written, rendered):
    assert types_of(f"struct S {{ 1: {written} x }}") == {"x": rendered}


def test_typedef_and_enum_resolution_depends_on_declaration_order():
    text = (
        "struct Before { 1: Timestamp t, 2: Color c, 3: shared.Timestamp q }\n"
        "typedef i64 Timestamp\n"
        "typedef Timestamp Stamp2;\n"
        "typedef list<Stamp2> Stamps\n"
        "typedef i32 Redefined\n"
        "typedef string Redefined\n"
        "enum Color { RED }\n"
        "struct After { 1: Timestamp t, 2: Color c, 3: shared.Timestamp q,\n"
        "  4: Stamp2 s, 5: Stamps ss, 6: map<Color, list<Timestamp>> m,\n"
        "  7: other.Color oc, 8: Redefined r, 9: x.y.Stamps xs }\n"
    )
    assert types_of(text, "Before") == {
        "t": 'Struct("Timestamp")',
        "c": 'Struct("Color")',
        "q": 'Struct("shared.Timestamp")',
    }
    assert types_of(text, "After") == {
        "t": "I64",
        "c": "I32",
        "q": "I64",
        "s": "I64",
        "ss": "List(I64)",
        "m": "Map(I32, List(I64))",
        "oc": "I32",
        "r": "String",
        "xs": "List(I64)",
    }


@pytest.mark.parametrize(
    "text, expected",
    [
        ("enum E { A, B = 5, C }", {"A": 0, "B": 5, "C": 6}),
        ("enum E { A = 1, B, C = 1, D }", {"A": 1, "B": 2, "C": 1, "D": 2}),
        ("enum E { A = 0x10 }", {"A": 0, "x10": 1}),
        ("enum E { A; B,, ; C }", {"A": 0, "B": 1, "C": 2}),
        ("enum E { A, A = 5 }", {"A": 5}),
        ("enum E { A = -3, B }", {"A": -3, "B": -2}),
        ("enum E { A = 4294967297, B = 2147483648, C }", {"A": 1, "B": -2147483648, "C": -2147483647}),
        ('enum E { A } (x = "y");', {"A": 0}),
        ("enum E {}", {}),
    ],
)
def test_enum_values(text, expected):
    assert parse(text).get_enum("E") == expected


def test_later_enum_replaces_earlier():
    parser = parse("enum E { A } enum E { B = 3 }")
    assert parser.list_enums() == ["E"]
    assert parser.get_enum("E") == {"B": 3}


def test_service_methods():
    text = (
        "exception Err { 1: string msg }\n"
        "service S (a = \"b\") {\n"
        "  void ping(),\n"
        "  oneway i32 f(1: i32 a, 2: required string b;) throws (1: Err e, 2: shared.Other o);\n"
        '  map<string, Point> get(1: i64 id = 5 (x = "y"),) (ann = "z")\n'
        "  oneway void fire()\n"
        "} (c = \"d\")"
    )
    service = parse(text).get_service("S")
    assert repr(service) == 'ThriftService(name="S", methods=["ping", "f", "get", "fire"])'
    ping, f, get, fire = service.methods
    assert repr(ping) == 'ThriftMethod(name="ping", return_type=Struct("void"))'
    assert (ping.arguments, ping.exceptions, ping.oneway) == ([], [], False)
    assert repr(f) == 'ThriftMethod(name="f", return_type=I32)'
    assert f.oneway is True
    assert [repr(a) for a in f.arguments] == [
        'ThriftField(id=1, name="a", required=false, field_type=I32)',
        'ThriftField(id=2, name="b", required=true, field_type=String)',
    ]
    assert [repr(e) for e in f.exceptions] == [
        'ThriftField(id=1, name="e", required=false, field_type=Struct("Err"))',
        'ThriftField(id=2, name="o", required=false, field_type=Struct("shared.Other"))',
    ]
    assert repr(get) == 'ThriftMethod(name="get", return_type=Map(String, Struct("Point")))'
    assert [repr(a) for a in get.arguments] == ['ThriftField(id=1, name="id", required=false, field_type=I64)']
    assert get.oneway is False
    assert fire.oneway is True


# ----------------------------------------------------------- default values


@pytest.mark.parametrize(
    "ftype, literal, rendered",
    [
        ("i32", "5", "I32(5)"),
        ("i32", "-5", "I32(-5)"),
        ("i32", "4294967295", "I32(-1)"),
        ("i32", "-2147483649", "I32(2147483647)"),
        ("byte", "300", "Byte(44)"),
        ("byte", "128", "Byte(-128)"),
        ("i16", "65537", "I16(1)"),
        ("i16", "40000", "I16(-25536)"),
        ("double", "3", "Double(3.0)"),
        ("double", "0", "Double(0.0)"),
        ("double", "1234567890123456", "Double(1234567890123456.0)"),
        ("double", "9007199254740993", "Double(9007199254740992.0)"),
        ("double", "10000000000000000", "Double(1e16)"),
        ("double", "123456789012345678", "Double(1.2345678901234568e17)"),
        ("double", "9223372036854775807", "Double(9.223372036854776e18)"),
        ("bool", "1", "Bool(true)"),
        ("bool", "0", "Bool(false)"),
        ("bool", "-1", "Bool(true)"),
        ("bool", "true", "Bool(true)"),
        ("bool", "false", "Bool(false)"),
        ("bool", "yes", None),
        ("bool", '"true"', None),
        ("string", '"a b"', 'String("a b")'),
        ("string", '""', 'String("")'),
        ("string", "hello", 'String("hello")'),
        ("string", "struct", 'String("struct")'),
        ("string", '"a\\"', 'String("a\\\\")'),
        ("string", '"t\tn\nr\rz\0"', 'String("t\\tn\\nr\\rz\\0")'),
        ("string", '"\u00e9\x01"', 'String("\u00e9\\u{1}")'),
        ("string", "5", None),
        ("binary", '"abc"', "Binary([97, 98, 99])"),
        ("binary", '"\u00e9"', "Binary([195, 169])"),
        ("binary", "abc", None),
        ("i32", '"5"', None),
        ("i32", "GREEN", None),
        ("i32", "[1]", None),
        ("list<i32>", "[1, 2, 3]", "List([I32(1), I32(2), I32(3)])"),
        ("list<i32>", "[1; 2]", "List([I32(1), I32(2)])"),
        ("list<i32>", "[1 2,]", "List([I32(1), I32(2)])"),
        ("list<i32>", "[]", "List([])"),
        ("list<list<string>>", '[["a"], [], [b]]', 'List([List([String("a")]), List([]), List([String("b")])])'),
        ("list<i32>", '[1, "x"]', None),
        ("list<i32>", "{1}", None),
        ("set<i32>", "[2, 1, 2]", "Set([I32(2), I32(1), I32(2)])"),
        (
            "map<string, i32>",
            '{"a": 1, "b": 2}',
            'Map([(String("a"), I32(1)), (String("b"), I32(2))])',
        ),
        (
            "map<i32, list<bool>>",
            "{2: [true]; 1: [], 2: [0]}",
            "Map([(I32(2), List([Bool(true)])), (I32(1), List([])), (I32(2), List([Bool(false)]))])",
        ),
        ("map<string, i32>", "{}", "Map([])"),
        ("map<string, i32>", '{"a" 1}', None),
        ("map<string, i32>", '["a"]', None),
        ("Point", '{"x": 1}', 'Struct { name: Some("Point"), fields: {} }'),
        ("Point", "Point(1, 2)", 'Struct { name: Some("Point"), fields: {} }'),
        ("Point", "[[[1]]] junk", 'Struct { name: Some("Point"), fields: {} }'),
        ("shared.Point", "x", 'Struct { name: Some("shared.Point"), fields: {} }'),
        (
            "map<string, Point>",
            '{"a": {"x": 1}}',
            'Map([(String("a"), Struct { name: Some("Point"), fields: {} })])',
        ),
        ("list<Point>", "[]", "List([])"),
    ],
)
def test_default_values(ftype, literal, rendered):
    assert default_of(ftype, literal) == rendered


@pytest.mark.parametrize(
    "ftype, literal, rendered",
    [
        ("i32", "Color.GREEN", "I32(1)"),
        ("i64", "Color.GREEN", "I64(1)"),
        ("i64", "Neg.A", "I64(-1)"),
        ("byte", "Neg.B", "Byte(44)"),
        ("double", "Color.GREEN", "Double(1.0)"),
        ("i32", "7", "I32(7)"),
        ("Color", "Color.RED", "I32(0)"),
        ("i32", "GREEN", None),
        ("i32", "Color.BLUE", None),
        ("i32", "Other.GREEN", None),
        ("i32", "x.Color.GREEN", None),
        ("bool", "Color.GREEN", None),
        ("list<Color>", "[Color.GREEN, 0]", "List([I32(1), I32(0)])"),
        ("string", "Color", 'String("Color")'),
        # an enum declared after its use is a struct type: its default is skipped whole
        ("Later", "Later.X", 'Struct { name: Some("Later"), fields: {} }'),
    ],
)
def test_enum_member_defaults(ftype, literal, rendered):
    prefix = ENUM_COLOR + " enum Neg { A = 4294967295, B = 300 }"
    assert default_of(ftype, literal, prefix, suffix="enum Later { X }") == rendered


@pytest.mark.parametrize(
    "body, expected",
    [
        # the failed value is skipped up to the next field's separator or id ...
        ("1: bool b = yes, 2: i32 n", [fld(1, "b", "Bool"), fld(2, "n", "I32")]),
        # ... but the first token after the failed part is taken unless it is a separator
        # or closer, so here the next field is swallowed up to the struct's brace
        ("1: i32 x = Color.BLUE 2: i32 y", [fld(1, "x", "I32")]),
        # a keyword right after the failed value does not stop the skip, only later ones
        ('1: i32 x = "s" required 2: i32 y', [fld(1, "x", "I32"), fld(2, "y", "I32")]),
        ('1: i32 x = yes.no "s" ] other 2: i32 y', [fld(1, "x", "I32"), fld(2, "y", "I32")]),
        ('1: i32 x = "s" (a, b) [c; d] {e: f} 2: i32 y', [fld(1, "x", "I32"), fld(2, "y", "I32")]),
        ("1: list<i32> x = [1, [2]], 2: i32 y", [fld(1, "x", "List(I32)"), fld(2, "y", "I32")]),
        (
            "1: Point p = Point(1, 2), 2: i32 y",
            [fld(1, "p", 'Struct("Point")', 'Struct { name: Some("Point"), fields: {} }'), fld(2, "y", "I32")],
        ),
        # a struct-typed field default may consist of no token at all
        (
            "1: Point p = , 2: i32 y",
            [fld(1, "p", 'Struct("Point")', 'Struct { name: Some("Point"), fields: {} }'), fld(2, "y", "I32")],
        ),
        # the failed set default took `{`; the skip stops at the matching `}`, which closes the struct
        ('1: set<string> s = {"a"}, 2: i32 n', [fld(1, "s", "Set(String)")]),
        # a container element that takes no token fails the whole default
        ('1: list<Point> ps = [{"x": 1}], 2: i32 n', [fld(1, "ps", 'List(Struct("Point"))')]),
        ('1: map<string, Point> m = {"a": }, 2: i32 n', [fld(1, "m", 'Map(String, Struct("Point"))')]),
        ("1: list<Point> ps = [, 2: i32 n", [fld(1, "ps", 'List(Struct("Point"))'), fld(2, "n", "I32")]),
        ("1: map<Point, i32> m = {{1: 2}: 3}, 2: i32 n", [fld(1, "m", 'Map(Struct("Point"), I32)')]),
    ],
)
def test_failed_defaults_are_dropped_and_skipped(body, expected):
    text = f"{ENUM_COLOR}\nstruct S {{ {body} }}\nstruct T {{ 1: i32 t }}"
    parser = parse(text)
    assert repr(parser.get_struct("S")) == struct_repr("S", *expected)
    assert repr(parser.get_struct("T")) == struct_repr("T", fld(1, "t", "I32"))


def test_struct_list_default_from_the_issue_terminates():
    parser = parse('struct Point { 1: i32 x } struct S { 1: list<Point> ps = [{"x": 1}], 2: i32 n }')
    assert sorted(parser.list_structs()) == ["Point", "S"]
    assert repr(parser.get_struct("S")) == struct_repr("S", fld(1, "ps", 'List(Struct("Point"))'))
    assert repr(parser.get_struct("Point")) == struct_repr("Point", fld(1, "x", "I32"))


def test_failed_skip_can_leave_tokens_that_break_the_struct():
    # `[` fails the i32 default; the skip takes `1` and stops at the comma, so
    # `2 ]` is read as the next field and `]` is not a colon.
    assert parse_error("struct S { 1: i32 x = [1, 2] }") == "Parse error: Unexpected token: RightBracket"


N_DEEP = 100_000


@pytest.mark.parametrize(
    "text",
    [
        "struct S { 1: " + "list<" * N_DEEP + "i32" + ">" * N_DEEP + " x }",
        "struct S { 1: " + "list<" * N_DEEP,
        "struct S { 1: " + "map<i32, " * N_DEEP + "i32" + ">" * N_DEEP + " x }",
        "typedef " + "set<" * N_DEEP + "i32" + ">" * N_DEEP + " T",
        "service X { " + "list<" * N_DEEP + "i32" + ">" * N_DEEP + " f() }",
    ],
)
def test_deeply_nested_types_are_a_parse_error(text):
    assert parse_error(text).startswith("Parse error: ")


@pytest.mark.parametrize(
    "ftype, default",
    [
        ("list<i32>", None),
        ("list<list<list<i32>>>", None),
        ("Point", 'Struct { name: Some("Point"), fields: {} }'),
    ],
)
def test_deeply_nested_default_is_dropped_or_skipped(ftype, default):
    literal = "[" * N_DEEP + "]" * N_DEEP
    text = f"struct S {{ 1: {ftype} x = {literal}, 2: i32 n }}"
    parsed = repr(parse(text).get_struct("S"))
    type_text = types_of(f"struct S {{ 1: {ftype} x }}")["x"]
    assert parsed == struct_repr("S", fld(1, "x", type_text, default), fld(2, "n", "I32"))


def test_deeply_nested_unclosed_default_is_a_parse_error():
    assert parse_error("struct S { 1: list<i32> x = " + "[" * N_DEEP + " }") == "Parse error: End of input"


def test_deeply_nested_annotation_is_skipped():
    annotation = "(" * N_DEEP + ")" * N_DEEP
    assert struct_of(f"struct S {{ 1: i32 x {annotation}, 2: i32 y }}") == struct_repr(
        "S", fld(1, "x", "I32"), fld(2, "y", "I32")
    )


# ---------------------------------------------------------------- extends


def test_struct_extends_merges_parent_fields_first():
    text = (
        "struct A { 1: i32 a }\n"
        "union U extends A { 2: string u }\n"
        "exception C extends U { 3: bool c }\n"
        "struct D extends shared.C { 4: i64 d }\n"
        "struct A { 9: i32 replaced }\n"
    )
    parser = parse(text)
    assert repr(parser.get_struct("C")) == struct_repr(
        "C", fld(1, "a", "I32"), fld(2, "u", "String"), fld(3, "c", "Bool")
    )
    assert repr(parser.get_struct("D")) == struct_repr(
        "D", fld(1, "a", "I32"), fld(2, "u", "String"), fld(3, "c", "Bool"), fld(4, "d", "I64")
    )
    # a later redeclaration of the parent does not touch already merged children
    assert repr(parser.get_struct("U")) == struct_repr("U", fld(1, "a", "I32"), fld(2, "u", "String"))


@pytest.mark.parametrize(
    "text, message",
    [
        ("struct A { 1: i32 a } struct B extends A { 1: i32 x }", "Duplicate inherited field 'x' in extends A"),
        ("struct A { 2: i32 x } struct B extends A { 1: i32 x }", "Duplicate inherited field 'x' in extends A"),
        ("struct A {} struct B extends A { 1: i32 x, 2: i32 x }", "Duplicate inherited field 'x' in extends A"),
        ("struct A {} struct B extends A { 1: i32 x, 1: i32 y }", "Duplicate inherited field 'y' in extends A"),
        ("struct A { 1: i32 a } struct B extends A {} struct C extends B { 1: i32 c }",
         "Duplicate inherited field 'c' in extends B"),
        ("struct B extends A {} struct A {}", "Unknown parent struct: A"),
        ("struct B extends shared.A {}", "Unknown parent struct: A"),
        ("service S extends A {} struct A {}", "Unknown parent service: A"),
        ("struct A {} service S extends A {}", "Unknown parent service: A"),
        ("service A { void f() } service S extends A { i32 f() }", "Duplicate inherited method 'f' in extends A"),
        ("service A {} service S extends A { void g() void g() }", "Duplicate inherited method 'g' in extends A"),
    ],
)
def test_extends_errors(text, message):
    assert parse_error(text) == f"Parse error: Syntax error: {message}"


def test_duplicates_without_extends_are_kept():
    parser = parse("struct S { 1: i32 x, 1: i32 x } service V { void f() i32 f() }")
    assert repr(parser.get_struct("S")) == struct_repr("S", fld(1, "x", "I32"), fld(1, "x", "I32"))
    assert repr(parser.get_service("V")) == 'ThriftService(name="V", methods=["f", "f"])'


def test_service_extends_merges_parent_methods_first():
    text = (
        "service S1 { void a() }\n"
        "service S2 extends shared.S1 { i32 b() }\n"
        "service S3 extends S2 (x = \"y\") { oneway void c() }\n"
    )
    parser = parse(text)
    assert repr(parser.get_service("S2")) == 'ThriftService(name="S2", methods=["a", "b"])'
    assert repr(parser.get_service("S3")) == 'ThriftService(name="S3", methods=["a", "b", "c"])'
    assert repr(parser.get_service("S3").get_method("b")) == 'ThriftMethod(name="b", return_type=I32)'
