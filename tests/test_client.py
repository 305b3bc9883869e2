"""ThriftClient against scripted fake servers: call bytes, reply decoding, transports, connection state."""

import inspect
import re
import socket
import struct
import subprocess
import sys
import threading

import pytest

import vantrel
from helpers import h, plain

BIN = vantrel.ProtocolType.Binary
CMP = vantrel.ProtocolType.Compact
JSN = vantrel.ProtocolType.JSON
FRAMED = vantrel.TransportType.Framed
BUFFERED = vantrel.TransportType.Buffered
PROTOCOLS = pytest.mark.parametrize("protocol", [BIN, CMP, JSN], ids=["binary", "compact", "json"])
# Every pairing that can carry a two-way call.
EXCHANGES = pytest.mark.parametrize(
    "transport, protocol",
    [(FRAMED, BIN), (FRAMED, CMP), (FRAMED, JSN), (BUFFERED, BIN), (BUFFERED, JSN)],
    ids=["framed-binary", "framed-compact", "framed-json", "buffered-binary", "buffered-json"],
)

TIMEOUT = 10  # bounds every wait of the fake servers
NOT_OPEN = "ThriftClient is not open; call client.open() first"
DEFAULT_MAX = 104857600

IDL = """
struct Point { 1: i32 x, 2: i32 y }
exception Oops { 1: string why, 2: i32 code }

service Calc {
  i32 add(1: i32 a, 2: i32 b),
  void ping(),
  oneway void notify(1: string text),
  Point move(1: Point p, 2: i32 dx),
  Point origin(),
  list<string> names(),
  map<string, list<i32>> groups(1: map<string, list<i32>> g),
  string fail(1: i32 code) throws (1: Oops oops, 2: Oops other),
}

// the result and application exception structs, to build replies with
struct AddResult { 0: i32 success }
struct PointResult { 0: Point success }
struct NamesResult { 0: list<string> success }
struct GroupsResult { 0: map<string, list<i32>> success }
struct FailResult { 0: string success, 1: Oops oops, 2: Oops other }
struct AppError { 1: string message, 2: i32 type }
"""


@pytest.fixture(scope="module")
def parser():
    p = vantrel.ThriftParser()
    p.parse(IDL)
    return p


@pytest.fixture(scope="module")
def service(parser):
    return parser.get_service("Calc")


# ---------------------------------------------------------------- message building


def varint(n):
    out = bytearray()
    while True:
        if n < 0x80:
            out.append(n)
            return bytes(out)
        out.append(n & 0x7F | 0x80)
        n >>= 7


def zigzag(n):
    return (n << 1) ^ (n >> 31)


def message(protocol, name, mtype, seqid, body):
    """One whole message around an encoded body struct (JSON: the object text)."""
    raw = name.encode()
    if protocol is BIN:
        return struct.pack(">Ii", 0x80010000 | mtype, len(raw)) + raw + struct.pack(">i", seqid) + body
    if protocol is CMP:
        return bytes([0x82, mtype << 5 | 1]) + varint(zigzag(seqid)) + varint(zigzag(len(raw))) + raw + body
    return b'[1,"%s",%d,%d,%s]' % (raw, mtype, seqid, body)


def body(parser, protocol, struct_name, **values):
    return parser.get_struct(struct_name).serialize_with_protocol(values, protocol)


def reply(parser, protocol, struct_name, name="add", mtype=2, seqid=0, **values):
    return message(protocol, name, mtype, seqid, body(parser, protocol, struct_name, **values))


def binary_reply(body_hex, name="add", mtype=2, seqid=0):
    return message(BIN, name, mtype, seqid, h(body_hex))


def frame(data):
    return struct.pack(">i", len(data)) + data


def seqid_of(request):
    """Sequence id of a Binary call."""
    (length,) = struct.unpack_from(">i", request, 4)
    return struct.unpack_from(">i", request, 8 + length)[0]


# ---------------------------------------------------------------- the fake server


class Wire:
    """A connected socket with exact reads; every wait is bounded by the socket timeout."""

    def __init__(self, sock):
        self.sock = sock
        self.pending = b""

    def read(self, n):
        while len(self.pending) < n:
            chunk = self.sock.recv(65536)
            if not chunk:
                raise EOFError("the client closed the connection")
            self.pending += chunk
        data, self.pending = self.pending[:n], self.pending[n:]
        return data

    def send(self, data):
        self.sock.sendall(data)

    def end(self):
        """Shut the sending side: the client sees end of stream."""
        self.sock.shutdown(socket.SHUT_WR)

    def client_closed(self):
        """Waits (bounded) for end of stream from the client; True when it came."""
        try:
            while not self.pending:
                chunk = self.sock.recv(65536)
                if not chunk:
                    return True
                self.pending += chunk
        except ConnectionResetError:  # closed with unread data
            return True
        except OSError:
            return False
        return False


def walk_binary(wire, ttype):
    """Bytes of one Binary value of the given type."""
    sizes = {2: 1, 3: 1, 4: 8, 6: 2, 8: 4, 10: 8}
    if ttype in sizes:
        return wire.read(sizes[ttype])
    if ttype == 11:
        length = wire.read(4)
        return length + wire.read(struct.unpack(">i", length)[0])
    if ttype == 12:
        out = b""
        while True:
            t = wire.read(1)
            out += t
            if t == b"\x00":
                return out
            out += wire.read(2) + walk_binary(wire, t[0])
    if ttype == 13:
        head = wire.read(6)
        out = head
        for _ in range(struct.unpack(">i", head[2:])[0]):
            out += walk_binary(wire, head[0]) + walk_binary(wire, head[1])
        return out
    if ttype in (14, 15):
        head = wire.read(5)
        out = head
        for _ in range(struct.unpack(">i", head[1:])[0]):
            out += walk_binary(wire, head[0])
        return out
    raise AssertionError(f"type {ttype} in a request")


def read_json(wire):
    out = bytearray()
    depth, in_string, escape = 0, False, False
    while True:
        c = wire.read(1)
        if not out and c in b" \t\r\n":
            continue
        out += c
        if in_string:
            if escape:
                escape = False
            elif c == b"\\":
                escape = True
            elif c == b'"':
                in_string = False
        elif c == b'"':
            in_string = True
        elif c in b"[{":
            depth += 1
        elif c in b"]}":
            depth -= 1
            if depth == 0:
                return bytes(out)


def read_request(wire, transport, protocol):
    """One whole request message (without framing)."""
    if transport is FRAMED:
        return wire.read(struct.unpack(">i", wire.read(4))[0])
    if protocol is JSN:
        return read_json(wire)
    assert protocol is BIN, "no reader for buffered Compact requests"
    head = wire.read(8)
    name = wire.read(struct.unpack(">i", head[4:])[0])
    return head + name + wire.read(4) + walk_binary(wire, 12)


class Raw(bytes):
    """A reply sent as it stands, without framing."""


class Answer:
    """Script: for each reply, read one request, then send the reply (framed when the transport is).

    A reply may be bytes, Raw bytes, a function of the request, or None (send nothing).
    """

    def __init__(self, *replies, transport=FRAMED, protocol=BIN, wait_close=False):
        self.replies = replies
        self.transport, self.protocol = transport, protocol
        self.wait_close = wait_close
        self.requests = []
        self.saw_close = None

    def __call__(self, wire):
        for item in self.replies:
            request = read_request(wire, self.transport, self.protocol)
            self.requests.append(request)
            if callable(item):
                item = item(request)
            if item is None:
                continue
            if not isinstance(item, Raw) and self.transport is FRAMED:
                item = frame(item)
            wire.send(item)
        if self.wait_close:
            self.saw_close = wire.client_closed()


class FakeServer:
    """Listens on 127.0.0.1 and runs one script per accepted connection, one connection after the other."""

    def __init__(self, *scripts):
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.listener.settimeout(TIMEOUT)
        self.port = self.listener.getsockname()[1]
        self.errors = []
        self.thread = threading.Thread(target=self._run, args=(scripts,), daemon=True)
        self.thread.start()

    def _run(self, scripts):
        try:
            for script in scripts:
                sock, _ = self.listener.accept()
                with sock:
                    sock.settimeout(TIMEOUT)
                    script(Wire(sock))
        except BaseException as error:  # reported by finish()
            self.errors.append(error)

    def finish(self):
        self.thread.join(TIMEOUT)
        self.listener.close()
        assert not self.thread.is_alive(), "the fake server did not finish"
        if self.errors:
            raise self.errors[0]


@pytest.fixture
def connect(parser, service):
    """connect(*scripts, transport=..., protocol=...) -> (open client, server)."""
    made = []

    def make(*scripts, transport=FRAMED, protocol=BIN):
        server = FakeServer(*scripts)
        client = vantrel.ThriftClient(service, "127.0.0.1", server.port, transport, protocol)
        client.set_parser(parser)
        made.append((client, server))
        client.open()
        return client, server

    yield make
    for client, server in made:
        client.close()
        server.finish()


def free_port():
    with socket.create_server(("127.0.0.1", 0)) as s:
        return s.getsockname()[1]


# ---------------------------------------------------------------- classes, construction, properties


def test_signatures_and_docs():
    cls = vantrel.ThriftClient
    assert cls.__text_signature__ == "(service, host, port, transport=..., protocol=...)"
    assert cls.__doc__.strip() and "\n" not in cls.__doc__.strip()
    for name, params in [
        ("set_parser", "parser"),
        ("open", ""),
        ("close", ""),
        ("is_open", ""),
        ("__enter__", ""),
        ("__exit__", "_exc_type, _exc_value, _traceback"),
        ("call", "method_name, **kwargs"),
    ]:
        assert getattr(cls, name).__text_signature__ == f"($self{', ' if params else ''}{params})", name
    exc = vantrel.ThriftApplicationException
    assert str(inspect.signature(exc)) == "(message, type_)"
    assert exc.__doc__ == "A Thrift application-level exception returned by the remote server."


def test_construction_defaults_and_properties(service):
    client = vantrel.ThriftClient(service, "127.0.0.1", 9)
    assert client.transport is FRAMED and client.protocol is BIN
    assert client.max_message_size == DEFAULT_MAX
    assert client.is_open() is False

    client = vantrel.ThriftClient(port=9, protocol=JSN, host="localhost", transport=BUFFERED, service=service)
    assert client.transport is BUFFERED and client.protocol is JSN
    client = vantrel.ThriftClient(service, "localhost", 65535, BUFFERED, CMP)
    assert client.transport is BUFFERED and client.protocol is CMP

    client.transport = FRAMED
    client.protocol = JSN
    client.max_message_size = 1000
    assert (client.transport, client.protocol, client.max_message_size) == (FRAMED, JSN, 1000)
    assert client.transport is FRAMED and client.protocol is JSN
    for name in ("transport", "protocol", "max_message_size"):
        with pytest.raises((AttributeError, TypeError)):
            delattr(client, name)


@pytest.mark.parametrize(
    "overrides, name",
    [
        ({"service": "Calc"}, "service"),
        ({"host": b"localhost"}, "host"),
        ({"port": "9"}, "port"),
        ({"port": 65536}, "port"),
        ({"port": -1}, "port"),
        ({"transport": None}, "transport"),
        ({"transport": 0}, "transport"),
        ({"transport": BIN}, "transport"),
        ({"protocol": None}, "protocol"),
        ({"protocol": FRAMED}, "protocol"),
    ],
)
def test_constructor_argument_errors_name_the_argument(service, overrides, name):
    args = {"service": service, "host": "localhost", "port": 9, **overrides}
    with pytest.raises((TypeError, OverflowError, ValueError)) as info:
        vantrel.ThriftClient(**args)
    assert name in str(info.value)


@pytest.mark.parametrize(
    "name, value", [("transport", 1), ("transport", BIN), ("protocol", 2), ("protocol", None), ("max_message_size", "1")]
)
def test_property_setters_refuse_other_types(service, name, value):
    client = vantrel.ThriftClient(service, "localhost", 9)
    with pytest.raises(TypeError) as info:
        setattr(client, name, value)
    assert name in str(info.value)
    assert client.transport is FRAMED and client.protocol is BIN and client.max_message_size == DEFAULT_MAX


def test_set_parser_refuses_other_objects(service):
    with pytest.raises(TypeError) as info:
        vantrel.ThriftClient(service, "localhost", 9).set_parser(IDL)
    assert "parser" in str(info.value)


# ---------------------------------------------------------------- ThriftApplicationException


def test_application_exception_members():
    exc = vantrel.ThriftApplicationException("boom", 6)
    assert isinstance(exc, Exception)
    assert (exc.message, exc.type_, exc.args, str(exc)) == ("boom", 6, ("boom", 6), "boom")
    exc = vantrel.ThriftApplicationException(type_=-(2**31), message="m")
    assert (exc.message, exc.type_, exc.args) == ("m", -(2**31), ("m", -(2**31)))
    with pytest.raises(AttributeError):
        exc.message = "other"
    with pytest.raises(vantrel.ThriftApplicationException) as info:
        raise vantrel.ThriftApplicationException("raised", 1)
    assert info.value.type_ == 1


@pytest.mark.parametrize(
    "message, shown",
    [
        ("", '""'),
        ("plain text", '"plain text"'),
        ('say "hi" \\ it\'s', '"say \\"hi\\" \\\\ it\'s"'),
        ("tab\tcr\rlf\nnul\0", '"tab\\tcr\\rlf\\nnul\\0"'),
        ("bell\x07 del\x7f", '"bell\\u{7} del\\u{7f}"'),
        ("gr\u00fc\u00dfe \u2713 \U0001f600", '"gr\u00fc\u00dfe \u2713 \U0001f600"'),
    ],
)
def test_application_exception_repr_quotes_the_message(message, shown):
    exc = vantrel.ThriftApplicationException(message, 7)
    assert repr(exc) == f"ThriftApplicationException(type=7, message={shown})"
    assert str(exc) == message


@pytest.mark.parametrize(
    "args, kwargs, name",
    [
        ((5, 1), {}, "message"),
        (("m", "1"), {}, "type_"),
        (("m", 2**31), {}, "type_"),
        (("m",), {}, "type_"),
        ((), {"type_": 1}, "message"),
    ],
)
def test_application_exception_argument_errors(args, kwargs, name):
    with pytest.raises((TypeError, OverflowError)) as info:
        vantrel.ThriftApplicationException(*args, **kwargs)
    assert name in str(info.value)


# ---------------------------------------------------------------- call messages

CALLS = [
    (
        "add",
        {"a": 1, "b": 2, "unknown": 9},
        {
            BIN: h("80010001 00000003 616464 00000000 08 0001 00000001 08 0002 00000002 00"),
            CMP: h("82 21 00 06 616464 15 02 15 04 00"),
            JSN: b'[1,"add",1,0,{"1":["i32",1],"2":["i32",2]}]',
        },
    ),
    (
        "add",
        {"b": -1},
        {
            BIN: h("80010001 00000003 616464 00000000 08 0002 ffffffff 00"),
            CMP: h("82 21 00 06 616464 25 01 00"),
            JSN: b'[1,"add",1,0,{"2":["i32",-1]}]',
        },
    ),
    (
        "ping",
        {},
        {
            BIN: h("80010001 00000004 70696e67 00000000 00"),
            CMP: h("82 21 00 08 70696e67 00"),
            JSN: b'[1,"ping",1,0,{}]',
        },
    ),
    (
        "notify",
        {"text": "hi"},
        {
            BIN: h("80010004 00000006 6e6f74696679 00000000 0b 0001 00000002 6869 00"),
            CMP: h("82 81 00 0c 6e6f74696679 18 04 6869 00"),
            JSN: b'[1,"notify",4,0,{"1":["str","hi"]}]',
        },
    ),
]
EMPTY_RESULT = {BIN: h("00"), CMP: h("00"), JSN: b"{}"}


@pytest.mark.parametrize("transport", [FRAMED, BUFFERED], ids=["framed", "buffered"])
@PROTOCOLS
@pytest.mark.parametrize("method, kwargs, expected", CALLS, ids=["add", "add-b-only", "ping", "notify-oneway"])
def test_call_message_bytes(connect, transport, protocol, method, kwargs, expected):
    wire_bytes = expected[protocol]
    if transport is FRAMED:
        wire_bytes = frame(wire_bytes)
    oneway = method == "notify"
    # buffered Compact can send but not receive: a two-way call fails after its request went out
    fails = transport is BUFFERED and protocol is CMP and not oneway
    seen = {}

    def script(wire):
        seen["request"] = wire.read(len(wire_bytes))
        if fails:
            seen["closed"] = wire.client_closed()
        elif not oneway:
            result = message(protocol, method, 2, 0, EMPTY_RESULT[protocol])
            wire.send(frame(result) if transport is FRAMED else result)

    client, server = connect(script, transport=transport, protocol=protocol)
    if fails:
        with pytest.raises(OSError) as info:
            client.call(method, **kwargs)
        assert str(info.value) == "I/O error: buffered RPC transport currently supports Binary and JSON protocols"
        assert not client.is_open()
    else:
        # an empty result struct is None whatever the return type
        assert client.call(method, **kwargs) is None
    server.finish()
    assert seen["request"] == wire_bytes
    if fails:
        assert seen["closed"]


def test_sequence_ids_count_calls_from_zero(connect):
    answer = Answer(*[binary_reply("08 0000 00000003 00")] * 4)
    client, server = connect(answer)
    assert [client.call("add", a=1, b=2) for _ in range(3)] == [3, 3, 3]
    with pytest.raises(ValueError):
        client.call("nope")  # refused before an id is taken
    with pytest.raises(TypeError):
        client.call("add", a="1")  # the id was taken before the arguments were written
    assert client.call("add") == 3
    server.finish()
    assert [seqid_of(r) for r in answer.requests] == [0, 1, 2, 4]


def test_struct_and_container_arguments(connect):
    answer = Answer(binary_reply("00", "move"), binary_reply("00", "groups"), transport=BUFFERED)
    client, server = connect(answer, transport=BUFFERED)
    client.call("move", p={"x": 1, "y": -1}, dx=5)
    client.call("groups", g={"a": [1, 2], "": []})
    server.finish()
    assert answer.requests[0] == message(
        BIN, "move", 1, 0, h("0c 0001 08 0001 00000001 08 0002 ffffffff 00 08 0002 00000005 00")
    )
    assert answer.requests[1] == message(
        BIN, "groups", 1, 1, h("0d 0001 0b 0f 00000002 00000001 61 08 00000002 00000001 00000002 00000000 08 00000000 00")
    )


# ---------------------------------------------------------------- results and exceptions from replies

RESULTS = [
    ("add", "AddResult", {"a": 1, "b": 2}, -7),
    ("move", "PointResult", {"p": {"x": 1, "y": 2}, "dx": 3}, {"x": 4, "y": 2}),
    ("names", "NamesResult", {}, ["plain", ']} "[{ \\', "", "\u00fc\u2713"]),
    ("groups", "GroupsResult", {"g": {"k": [1]}}, {"a": [1, -2], "b": []}),
    ("fail", "FailResult", {"code": 0}, "fine"),
]


@EXCHANGES
@pytest.mark.parametrize("method, result_struct, kwargs, value", RESULTS, ids=[r[0] for r in RESULTS])
def test_results(connect, parser, transport, protocol, method, result_struct, kwargs, value):
    data = reply(parser, protocol, result_struct, name=method, success=value)
    answer = Answer(data, transport=transport, protocol=protocol)
    client, _ = connect(answer, transport=transport, protocol=protocol)
    assert plain(client.call(method, **kwargs)) == value
    assert client.is_open()


@EXCHANGES
def test_exceptions_keep_the_connection(connect, parser, transport, protocol):
    answer = Answer(
        message(protocol, "fail", 3, 0, body(parser, protocol, "AppError", message="bo\"om", type=6)),
        reply(parser, protocol, "FailResult", name="fail", oops={"why": "bad", "code": 7}),
        reply(parser, protocol, "FailResult", name="fail", other={"code": -1}),
        reply(parser, protocol, "FailResult", name="fail", success="ok"),
        transport=transport,
        protocol=protocol,
    )
    client, _ = connect(answer, transport=transport, protocol=protocol)
    with pytest.raises(vantrel.ThriftApplicationException) as info:
        client.call("fail", code=1)
    assert (info.value.message, info.value.type_) == ('bo"om', 6)
    assert repr(info.value) == 'ThriftApplicationException(type=6, message="bo\\"om")'
    with pytest.raises(RuntimeError) as info:
        client.call("fail", code=2)
    assert str(info.value) == "Service exception 'oops' (field 1): \"Oops(why='bad', code=7)\""
    with pytest.raises(RuntimeError) as info:
        client.call("fail", code=3)
    assert str(info.value) == "Service exception 'other' (field 2): \"Oops(why=None, code=-1)\""
    assert client.is_open()
    assert client.call("fail", code=4) == "ok"


@PROTOCOLS
def test_reply_header_is_not_matched_against_the_call(connect, parser, protocol):
    # a wrong name, a wrong sequence id, and the message types Call and Oneway all read as replies
    variants = [("other", 2, 0), ("add", 2, 99), ("add", 1, 0), ("add", 4, 0)]
    answer = Answer(
        *[reply(parser, protocol, "AddResult", name=n, mtype=t, seqid=s, success=i) for i, (n, t, s) in enumerate(variants)],
        protocol=protocol,
    )
    client, _ = connect(answer, protocol=protocol)
    assert [client.call("add", a=1, b=1) for _ in variants] == [0, 1, 2, 3]


UNKNOWN_NONE = "Service exception 'unknown' (field {}): \"None\""

# Binary result bodies that keep the stream in step: (method, body, expected value or (exception, message))
BINARY_REPLIES = [
    ("add", "08 0000 00000003 08 0001 00000004 0b 0002 00000001 ff 00", 3),
    ("add", "08 0000 00000003", 3),
    ("add", "00", None),
    ("add", "08 0005 00000001 08 0000 00000003 00", (RuntimeError, UNKNOWN_NONE.format(5))),
    ("add", "08 ffff 00000001 00", (RuntimeError, UNKNOWN_NONE.format(-1))),
    ("fail", "0c 0001 0b 0001 00000001 ff 00 00", (RuntimeError, "Service exception 'oops' (field 1): \"None\"")),
    ("add", "", (OSError, "IO error: failed to fill whole buffer")),
    ("add", "05 0000", (OSError, "Invalid type: 5")),
    ("add", "08 0000 0000", (OSError, "IO error: failed to fill whole buffer")),
    ("fail", "0b 0000 00000001 ff 00", (OSError, "IO error: invalid utf-8 sequence of 1 bytes from index 0")),
    ("add", "0b 0005 00000001 ff 00", (OSError, "invalid utf-8 sequence of 1 bytes from index 0")),
    ("origin", "0c 0000 08 0001 00000001 00 00", {"x": 1, "y": None}),
]


@pytest.mark.parametrize("method, body_hex, expected", BINARY_REPLIES)
def test_binary_reply_bodies(connect, method, body_hex, expected):
    answer = Answer(binary_reply(body_hex, method), binary_reply("08 0000 0000002a 00"))
    client, _ = connect(answer)
    kwargs = {"code": 1} if method == "fail" else {}
    if isinstance(expected, tuple):
        with pytest.raises(expected[0]) as info:
            client.call(method, **kwargs)
        assert type(info.value) is expected[0]
        assert str(info.value) == expected[1]
    else:
        assert plain(client.call(method, **kwargs)) == expected
    # the reply was complete, so the stream is in step and the connection stays
    assert client.is_open()
    assert client.call("add") == 42


APP_ERRORS = [
    (BIN, "00", ("", 0)),
    (BIN, "08 0001 00000005 0b 0003 00000001 78 00", ("", 0)),
    (BIN, "0b 0001 00000001 61 0b 0001 00000001 62 08 0002 00000001 00", ("b", 1)),
    (BIN, "0f 0003 0b 00000001 00000001 78 0b 0001 00000002 6869 08 0002 fffffffe 00", ("hi", -2)),
    (BIN, "0b 0001 00000005 6869", "failed to fill whole buffer"),
    (BIN, "05 0001", "Invalid type: 5"),
    (BIN, "0b 0009 00000001 ff 00", "invalid utf-8 sequence of 1 bytes from index 0"),
    (CMP, "18 02 61 15 0c 25 02 00", ("a", 6)),
    (CMP, "1d", "Invalid field type"),
    (JSN, '{"1":["str","m"],"2":["i32",4294967297]}', ("m", 1)),
    (JSN, '{"1":["i32",5],"2":["i32",1.5]}', ("", 0)),
    (JSN, "{}", ("", 0)),
]


@pytest.mark.parametrize("protocol, body_text, expected", APP_ERRORS)
def test_application_exception_replies(connect, parser, protocol, body_text, expected):
    raw = body_text.encode() if protocol is JSN else h(body_text)
    answer = Answer(
        message(protocol, "add", 3, 0, raw), reply(parser, protocol, "AddResult", success=42), protocol=protocol
    )
    client, _ = connect(answer, protocol=protocol)
    if isinstance(expected, tuple):
        with pytest.raises(vantrel.ThriftApplicationException) as info:
            client.call("add")
        assert (info.value.message, info.value.type_) == expected
        if expected == ("", 0):
            assert repr(info.value) == 'ThriftApplicationException(type=0, message="")'
    else:
        with pytest.raises(OSError) as info:
            client.call("add")
        assert type(info.value) is OSError and str(info.value) == expected
    assert client.is_open()
    assert client.call("add") == 42


@PROTOCOLS
def test_unreadable_reply_headers(connect, parser, protocol):
    bad = {BIN: h("80020002 00000000 00000000 00"), CMP: h("80 21 00 00 00"), JSN: b'[1,"add",2]'}[protocol]
    text = {
        BIN: "IO error: Bad version: 0x80020002",
        CMP: "IO error: Bad protocol id",
        JSN: "IO error: JSON message array too short",
    }[protocol]
    answer = Answer(bad, reply(parser, protocol, "AddResult", success=42), protocol=protocol)
    client, _ = connect(answer, protocol=protocol)
    with pytest.raises(OSError) as info:
        client.call("add")
    assert str(info.value) == text
    assert client.is_open()
    assert client.call("add") == 42


# ---------------------------------------------------------------- transports and the connection


@pytest.mark.parametrize("length", ["00000000", "ffffffff", "80000000"])
def test_framed_reply_of_zero_or_negative_length_is_empty_and_keeps_the_connection(connect, length):
    answer = Answer(Raw(h(length)), binary_reply("08 0000 00000003 00"))
    client, _ = connect(answer)
    with pytest.raises(OSError) as info:
        client.call("add")
    assert str(info.value) == "IO error: failed to fill whole buffer"
    assert client.is_open()
    assert client.call("add") == 3


def nested_lists(depth):
    """A result struct: field 0 i32 3, then field 9 holding lists nested `depth` deep."""
    return h("08 0000 00000003 0f 0009") + h("0f 00000001") * (depth - 1) + h("08 00000001 00000007 00")


HEADER = message(BIN, "add", 2, 0, b"")
LONG = binary_reply("0b 0000 0000002a" + "78" * 42 + "00")  # 65 bytes
BROKEN = [
    # (transport, protocol, raw reply, max_message_size or None, expected message)
    (FRAMED, BIN, b"", None, "IO error: failed to fill whole buffer"),
    (FRAMED, BIN, h("0000"), None, "IO error: failed to fill whole buffer"),
    (FRAMED, BIN, h("0000000a 80010002"), None, "I/O error: early eof"),
    (FRAMED, BIN, h("7fffffff"), None,
     f"I/O error: message of 2147483647 bytes exceeds the maximum message size of {DEFAULT_MAX} bytes"),
    (FRAMED, BIN, frame(LONG), 64,
     f"I/O error: message of {len(LONG)} bytes exceeds the maximum message size of 64 bytes"),
    (BUFFERED, BIN, b"", None, "I/O error: early eof"),
    (BUFFERED, BIN, h("8001"), None, "I/O error: early eof"),
    (BUFFERED, BIN, HEADER + h("08 0000 00000003"), None, "I/O error: unexpected end of file"),
    (BUFFERED, BIN, HEADER + h("08 0000 0000"), None, "I/O error: early eof"),
    (BUFFERED, BIN, HEADER + h("08 00"), None, "I/O error: unexpected end of file"),
    (BUFFERED, BIN, HEADER + h("07 0000 00000003 00"), None, "I/O error: Unknown field type byte 0x07"),
    (BUFFERED, BIN, HEADER + h("0f 0000 05 00000001 00 00"), None, "I/O error: Unknown field type byte 0x05"),
    (BUFFERED, BIN, h("80010002 ffffffff 616464"), None, "I/O error: negative name length -1 in buffered message"),
    (BUFFERED, BIN, message(BIN, "add", 2, 0, nested_lists(70)), None, "I/O error: maximum nesting depth of 64 exceeded"),
    (BUFFERED, BIN, LONG, 64, "I/O error: message exceeds the maximum message size of 64 bytes"),
    (BUFFERED, BIN, HEADER + h("0b 0000 7fffffff 78"), None,
     re.compile(r"I/O error: (early eof|message exceeds the maximum message size of 104857600 bytes)$")),
    (BUFFERED, JSN, b"", None, re.compile("IO error: ")),
    (BUFFERED, JSN, b" \n ", None, re.compile("IO error: ")),
    (BUFFERED, JSN, b"\r\n x[]", None, "I/O error: expected JSON object or array at start of buffered message"),
    (BUFFERED, JSN, b'[1,"add",2,0,{"0":["str","]"]}', None, "I/O error: unexpected end of file"),
    (BUFFERED, JSN, b'[1,"add",2,0,{"0":["str","' + b"x" * 100 + b'"]}]', 64,
     "I/O error: message exceeds the maximum message size of 64 bytes"),
]


@pytest.mark.parametrize("transport, protocol, raw, limit, expected", BROKEN)
def test_failure_inside_an_exchange_drops_the_connection(connect, parser, transport, protocol, raw, limit, expected):
    # the peer's reply is cut, malformed or too large: the rest of it must never reach a later call
    def broken(wire):
        read_request(wire, transport, protocol)
        wire.send(raw)
        wire.end()
        broken.saw_close = wire.client_closed()

    again = Answer(reply(parser, protocol, "AddResult", success=5), transport=transport, protocol=protocol)
    client, server = connect(broken, again, transport=transport, protocol=protocol)
    if limit is not None:
        client.max_message_size = limit
    with pytest.raises(OSError) as info:
        client.call("add", a=1, b=2)
    assert type(info.value) is OSError
    if isinstance(expected, str):
        assert str(info.value) == expected
    else:
        assert expected.match(str(info.value)), str(info.value)
    assert client.is_open() is False
    with pytest.raises(OSError) as info:
        client.call("add", a=1, b=2)
    assert str(info.value) == NOT_OPEN
    client.open()
    assert client.call("add") == 5
    client.close()
    server.finish()
    assert broken.saw_close


# Runs in its own process so that its peak memory is its own.
ANNOUNCED_BUT_NOT_SENT = r"""
import resource, socket, struct, sys, threading
import vantrel
transport = getattr(vantrel.TransportType, sys.argv[1])
announced = 100_000_000  # under the default maximum message size
if sys.argv[1] == "Framed":
    reply = struct.pack(">i", announced) + bytes(10)
else:
    reply = struct.pack(">Ii", 0x80010002, 3) + b"add" + struct.pack(">ibhi", 0, 11, 0, announced) + bytes(10)
listener = socket.create_server(("127.0.0.1", 0))
listener.settimeout(10)
def serve():
    conn, _ = listener.accept()
    with conn:
        conn.settimeout(10)
        conn.recv(65536)
        conn.sendall(reply)
threading.Thread(target=serve, daemon=True).start()
parser = vantrel.ThriftParser()
parser.parse("service S { i32 add() }")
client = vantrel.ThriftClient(parser.get_service("S"), "127.0.0.1", listener.getsockname()[1], transport)
client.open()
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
try:
    client.call("add")
except OSError as error:
    print(error)
print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before)
"""


@pytest.mark.parametrize("transport", ["Framed", "Buffered"])
def test_announced_length_commits_no_memory_before_the_bytes_arrive(transport):
    run = subprocess.run(
        [sys.executable, "-c", ANNOUNCED_BUT_NOT_SENT, transport], capture_output=True, text=True, timeout=60
    )
    assert run.returncode == 0, run.stderr
    error, growth_kib = run.stdout.splitlines()
    assert error == "I/O error: early eof"
    assert int(growth_kib) < 30_000  # far below the 100 MB announced


def test_reset_by_the_peer_is_an_os_error_and_drops_the_connection(connect):
    opened, reset = threading.Event(), threading.Event()

    def script(wire):
        assert opened.wait(TIMEOUT)
        wire.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        wire.sock.close()  # with linger 0: a reset instead of an orderly end
        reset.set()

    client, _ = connect(script)
    opened.set()
    assert reset.wait(TIMEOUT)
    with pytest.raises(OSError) as info:
        client.call("add")
    assert re.match(r"I/O error: .+ \(os error (104|32)\)$", str(info.value)), str(info.value)
    assert not client.is_open()


def test_buffered_binary_walk_within_the_nesting_limit(connect):
    answer = Answer(Raw(message(BIN, "add", 2, 0, nested_lists(60))), transport=BUFFERED)
    client, _ = connect(answer, transport=BUFFERED)
    assert client.call("add") == 3
    assert client.is_open()


@pytest.mark.parametrize(
    "transport, protocol",
    [(FRAMED, BIN), (BUFFERED, BIN), (BUFFERED, JSN)],
    ids=["framed-binary", "buffered-binary", "buffered-json"],
)
def test_max_message_size_boundary(connect, parser, transport, protocol):
    data = reply(parser, protocol, "NamesResult", name="names", success=["x" * 40])
    answer = Answer(data, data, transport=transport, protocol=protocol)
    client, _ = connect(answer, transport=transport, protocol=protocol)
    client.max_message_size = len(data)
    assert client.call("names") == ["x" * 40]
    client.max_message_size = len(data) - 1
    with pytest.raises(OSError, match="exceeds the maximum message size of %d bytes$" % (len(data) - 1)):
        client.call("names")
    assert not client.is_open()


@pytest.mark.parametrize("protocol", [BIN, JSN], ids=["binary", "json"])
def test_buffered_replies_back_to_back_and_whitespace(connect, parser, protocol):
    first = reply(parser, protocol, "NamesResult", name="names", success=['a]"}', "\\"])
    second = reply(parser, protocol, "AddResult", success=9)
    lead = b"\r\n  " if protocol is JSN else b""
    # both replies travel together; the second must wait in the client's buffer for the next call
    answer = Answer(Raw(lead + first + lead + second), None, transport=BUFFERED, protocol=protocol)
    client, _ = connect(answer, transport=BUFFERED, protocol=protocol)
    assert client.call("names") == ['a]"}', "\\"]
    assert client.call("add") == 9


@pytest.mark.parametrize(
    "transport, protocol",
    [(FRAMED, BIN), (BUFFERED, BIN), (BUFFERED, CMP)],
    ids=["framed-binary", "buffered-binary", "buffered-compact"],
)
def test_oneway_call_reads_no_reply(connect, parser, transport, protocol):
    args = {BIN: h("0b 0001 00000001 61 00"), CMP: h("18 02 61 00")}[protocol]
    expected = [message(protocol, "notify", 4, seqid, args) for seqid in (0, 1)]
    if transport is FRAMED:
        expected = [frame(e) for e in expected]

    def script(wire):
        script.requests = [wire.read(len(e)) for e in expected]
        if protocol is BIN:
            assert seqid_of(read_request(wire, transport, protocol)) == 2
            result = reply(parser, BIN, "AddResult", success=3)
            wire.send(frame(result) if transport is FRAMED else result)

    client, server = connect(script, transport=transport, protocol=protocol)
    # no reply ever comes for these: the calls return once their messages are sent
    assert client.call("notify", text="a") is None
    assert client.call("notify", text="a") is None
    if protocol is BIN:
        assert client.call("add") == 3
    client.close()
    server.finish()
    assert script.requests == expected


ADD_A1 = {BIN: h("08 0001 00000001 00"), CMP: h("15 02 00"), JSN: b'{"1":["i32",1]}'}


def test_transport_and_protocol_switch_between_calls_on_one_connection(connect, parser):
    steps = [(FRAMED, BIN), (FRAMED, JSN), (BUFFERED, JSN), (BUFFERED, BIN), (FRAMED, CMP)]

    def script(wire):
        for i, (transport, protocol) in enumerate(steps):
            request = read_request(wire, transport, protocol)
            assert request == message(protocol, "add", 1, i, ADD_A1[protocol])
            result = reply(parser, protocol, "AddResult", seqid=i, success=10 + i)
            wire.send(frame(result) if transport is FRAMED else result)

    client, _ = connect(script)
    for i, (transport, protocol) in enumerate(steps):
        client.transport, client.protocol = transport, protocol
        assert client.transport is transport and client.protocol is protocol
        assert client.call("add", a=1) == 10 + i


def test_not_open_and_error_precedence(service, parser):
    client = vantrel.ThriftClient(service, "127.0.0.1", free_port())
    with pytest.raises(ValueError) as info:
        client.call("nope", a=None)
    assert str(info.value) == "Unknown method: nope"
    with pytest.raises(ValueError, match="^Unknown method: Add$"):
        client.call("Add")  # names match case-sensitively
    with pytest.raises(TypeError):
        client.call(b"add")
    with pytest.raises(TypeError):
        client.call("add", a=None)  # None is written, and refused, rather than left out
    with pytest.raises(TypeError):
        client.call("add", a="1")
    with pytest.raises(ValueError) as info:
        client.call("move", p={"x": 1})  # no struct definitions yet
    assert str(info.value) == "Unknown struct in schema: Point"
    for method, kwargs in [("add", {"a": 1, "extra": object()}), ("notify", {"text": "x"})]:
        with pytest.raises(OSError) as info:
            client.call(method, **kwargs)
        assert type(info.value) is OSError and str(info.value) == NOT_OPEN
    client.set_parser(parser)
    with pytest.raises(OSError, match="^" + re.escape(NOT_OPEN) + "$"):
        client.call("move", p={"x": 1})


def test_open_failure(service):
    port = free_port()
    client = vantrel.ThriftClient(service, "127.0.0.1", port)
    with pytest.raises(OSError) as info:
        client.open()
    assert str(info.value).startswith(f"connect to 127.0.0.1:{port}: ")
    assert str(info.value).endswith("(os error 111)")
    assert not client.is_open()
    with pytest.raises(OSError) as info:
        with client:
            pass
    assert str(info.value).startswith(f"connect to 127.0.0.1:{port}: ")


def test_host_names_are_resolved(service, parser):
    server = FakeServer(Answer(binary_reply("08 0000 00000003 00")))
    client = vantrel.ThriftClient(service, "localhost", server.port)
    with client:
        assert client.call("add") == 3
    server.finish()


def test_failed_open_keeps_the_old_connection(connect):
    holder, connected, refusing = {}, threading.Event(), threading.Event()

    def script(wire):
        assert connected.wait(TIMEOUT)
        holder["server"].listener.close()  # no further connection can be made
        refusing.set()
        Answer(binary_reply("08 0000 00000003 00"))(wire)

    client, holder["server"] = connect(script)
    connected.set()
    assert refusing.wait(TIMEOUT)
    with pytest.raises(OSError, match=f"^connect to 127.0.0.1:{holder['server'].port}: "):
        client.open()
    assert client.is_open()
    assert client.call("add") == 3


def test_open_on_an_open_client_replaces_the_connection(connect):
    first = Answer(wait_close=True)
    second = Answer(binary_reply("08 0000 00000003 00"))
    client, server = connect(first, second)
    client.open()
    assert client.call("add") == 3
    client.close()
    server.finish()
    assert first.saw_close and len(second.requests) == 1


def test_close_and_context_manager(connect):
    scripts = [
        Answer(wait_close=True),
        Answer(wait_close=True),
        Answer(binary_reply("08 0000 00000003 00"), wait_close=True),
    ]
    client, server = connect(*scripts)
    assert client.close() is None
    assert client.close() is None
    assert not client.is_open()
    with client as entered:
        assert entered is client and client.is_open()
    assert not client.is_open()
    with pytest.raises(KeyError):
        with client:
            assert client.call("add") == 3
            raise KeyError("propagates")
    assert not client.is_open()
    with pytest.raises(TypeError):
        client.__exit__(None, None)
    assert client.__exit__(None, None, None) is None
    server.finish()
    assert [s.saw_close for s in scripts] == [True, True, True]


def test_set_parser_supplies_the_struct_definitions_in_force_at_the_time(service, parser, connect):
    answer = Answer(
        binary_reply("0c 0000 08 0001 00000001 00 00", "origin"),
        binary_reply("0c 0000 08 0001 00000001 00 00", "origin"),
        binary_reply("00", "move"),
    )
    client, server = connect(answer)
    client.set_parser(vantrel.ThriftParser())  # nothing parsed: no struct definitions
    with pytest.raises(ValueError, match="^Unknown struct in schema: Point$"):
        client.call("move", p={"x": 1}, dx=1)
    with pytest.raises(ValueError, match="^Unknown struct type: Point$"):
        client.call("origin")
    assert client.is_open()

    other = vantrel.ThriftParser()
    other.parse(IDL)
    client.set_parser(other)
    other.parse("struct Point { 7: string label }")  # a later parse does not reach the client
    assert plain(client.call("origin")) == {"x": 1, "y": None}
    client.call("move", p={"x": 2, "y": 3})
    client.close()
    server.finish()
    assert answer.requests[2][-19:] == h("0c 0001 08 0001 00000002 08 0002 00000003 00 00")


# ---------------------------------------------------------------- threads


def test_calls_from_several_threads_each_get_their_own_reply(connect):
    def add_reply(request):
        a, b = struct.unpack_from(">i", request, 18)[0], struct.unpack_from(">i", request, 25)[0]
        return binary_reply("08 0000" + struct.pack(">i", a + b).hex() + "00", seqid=seqid_of(request))

    client, _ = connect(Answer(*[add_reply] * 40))
    results = {}

    def work(t):
        results[t] = [client.call("add", a=t, b=i) for i in range(10)]

    threads = [threading.Thread(target=work, args=(t,), daemon=True) for t in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(TIMEOUT)
    assert results == {t: [t + i for i in range(10)] for t in range(4)}


# A server in its own process: it answers only when this process tells it to, which
# a thread of this process can do only while the interpreter lock is free.
SLOW_SERVER = r"""
import select, socket, struct, sys
listener = socket.create_server(("127.0.0.1", 0))
print(listener.getsockname()[1], flush=True)
listener.settimeout(30)
conn, _ = listener.accept()
conn.settimeout(30)
def read(n):
    data = b""
    while len(data) < n:
        chunk = conn.recv(n - len(data))
        if not chunk:
            sys.exit(1)
        data += chunk
    return data
read(struct.unpack(">i", read(4))[0])
print("request", flush=True)
ready, _, _ = select.select([sys.stdin], [], [], 20)
told = bool(ready) and sys.stdin.readline().strip() == "go"
body = struct.pack(">Ii", 0x80010002, 3) + b"add" + struct.pack(">ibhib", 0, 8, 0, int(told), 0)
conn.sendall(struct.pack(">i", len(body)) + body)
conn.recv(1)
"""


def test_blocking_call_releases_the_interpreter_lock(service):
    server = subprocess.Popen(
        [sys.executable, "-c", SLOW_SERVER], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True
    )
    try:
        port = int(server.stdout.readline())
        client = vantrel.ThriftClient(service, "127.0.0.1", port)
        client.open()
        seen = {"count": 0, "refused": []}

        def helper():
            assert server.stdout.readline().strip() == "request"
            for _ in range(100000):  # Python code running while the call waits
                seen["count"] += 1
            seen["transport"] = client.transport
            # the call holds the client: changing it meanwhile is refused
            for change in (
                lambda: setattr(client, "protocol", JSN),
                lambda: setattr(client, "transport", BUFFERED),
                lambda: setattr(client, "max_message_size", 10),
                lambda: client.set_parser(vantrel.ThriftParser()),
            ):
                try:
                    change()
                except RuntimeError as error:
                    seen["refused"].append(str(error))
            server.stdin.write("go\n")
            server.stdin.flush()

        thread = threading.Thread(target=helper, daemon=True)
        thread.start()
        assert client.call("add", a=1, b=2) == 1  # 1: released by the helper thread, 0: by the server's timeout
        thread.join(TIMEOUT)
        assert seen["count"] == 100000 and seen["transport"] is FRAMED
        assert seen["refused"] == ["ThriftClient object is already in use"] * 4
        assert client.protocol is BIN and client.max_message_size == DEFAULT_MAX
        client.close()
        server.wait(TIMEOUT)
    finally:
        server.kill()
        server.wait()
