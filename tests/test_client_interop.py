"""ThriftClient against independent Thrift servers over strict Binary, framed and buffered."""

import threading

import pytest

import vantrel
from helpers import plain

thriftpy2 = pytest.importorskip("thriftpy2")
pytest.importorskip("thrift")
from thrift.protocol import TBinaryProtocol  # noqa: E402
from thrift.server import TServer  # noqa: E402
from thrift.Thrift import TApplicationException, TMessageType, TType  # noqa: E402
from thrift.transport import TSocket, TTransport  # noqa: E402
from thriftpy2.protocol import TBinaryProtocolFactory  # noqa: E402
from thriftpy2.server import TThreadedServer  # noqa: E402
from thriftpy2.thrift import TApplicationException as PeerApplicationException  # noqa: E402
from thriftpy2.thrift import TProcessor  # noqa: E402
from thriftpy2.transport import TBufferedTransportFactory, TFramedTransportFactory, TServerSocket  # noqa: E402

IDL = """
struct Point { 1: i32 x, 2: i32 y }

struct Shape {
  1: string name,
  2: list<Point> points,
  3: map<string, i64> attrs,
  4: set<string> tags,
  5: optional Point centre,
  6: double area,
  7: bool closed,
  8: binary blob,
  9: map<i32, list<string>> groups,
}

exception NotFound { 1: string what, 2: i32 code }

service Shapes {
  Shape echo(1: Shape shape),
  i64 total(1: list<i64> values, 2: map<string, list<i32>> groups),
  Point find(1: string name) throws (1: NotFound missing),
  void reset(),
  oneway void record(1: string event),
  list<string> events(),
  string broken(),
}
"""

SHAPE = {
    "name": "tri\u00e4ngle \u2713",
    "points": [{"x": 0, "y": 0}, {"x": -(2**31), "y": 2**31 - 1}],
    "attrs": {"min": -(2**63), "max": 2**63 - 1, "": 0},
    "tags": ["b", "a"],
    "centre": {"x": 1, "y": 2},
    "area": -1.5e-300,
    "closed": True,
    "blob": bytes(range(256)),
    "groups": {-1: ["x", ""], 7: []},
}


def find_point(name):
    return {"a": {"x": 1, "y": 2}}.get(name)


# ---------------------------------------------------------------- a thriftpy2 server


def start_thriftpy2(tmp_path, transport):
    path = tmp_path / "shapes.thrift"
    path.write_text(IDL)
    shapes = thriftpy2.load(str(path), module_name="shapes_interop_thrift")
    events = []

    class Handler:
        def echo(self, shape):
            return shape

        def total(self, values, groups):
            return sum(values) + sum(sum(g) for g in groups.values())

        def find(self, name):
            point = find_point(name)
            if point is None:
                raise shapes.NotFound(what=name, code=404)
            return shapes.Point(**point)

        def reset(self):
            events.clear()

        def record(self, event):
            events.append(event)

        def events(self):
            return list(events)

        def broken(self):
            raise PeerApplicationException(PeerApplicationException.INTERNAL_ERROR, "it broke")

    factory = TFramedTransportFactory() if transport is vantrel.TransportType.Framed else TBufferedTransportFactory()
    # what thriftpy2.rpc.make_server assembles, on an ephemeral port (which make_server refuses)
    server = TThreadedServer(
        TProcessor(shapes.Shapes, Handler()),
        TServerSocket(host="127.0.0.1", port=0),
        itrans_factory=factory,
        iprot_factory=TBinaryProtocolFactory(),
        daemon=True,
    )
    server.trans.listen()
    port = server.trans.sock.getsockname()[1]
    server.trans.listen = lambda: None  # already listening
    threading.Thread(target=server.serve, daemon=True).start()

    def stop():
        server.close()
        server.trans.close()

    return port, None, stop


# ---------------------------------------------------------------- an Apache thrift server with a hand-written processor

I32, I64, DOUBLE, BOOL, STRING = (TType.I32,), (TType.I64,), (TType.DOUBLE,), (TType.BOOL,), (TType.STRING,)
BINARY = (TType.STRING, "binary")
POINT = (TType.STRUCT, {1: ("x", I32), 2: ("y", I32)})
SHAPE_TYPE = (
    TType.STRUCT,
    {
        1: ("name", STRING),
        2: ("points", (TType.LIST, POINT)),
        3: ("attrs", (TType.MAP, STRING, I64)),
        4: ("tags", (TType.SET, STRING)),
        5: ("centre", POINT),
        6: ("area", DOUBLE),
        7: ("closed", BOOL),
        8: ("blob", BINARY),
        9: ("groups", (TType.MAP, I32, (TType.LIST, STRING))),
    },
)
NOT_FOUND = (TType.STRUCT, {1: ("what", STRING), 2: ("code", I32)})


def read_value(iprot, desc):
    kind = desc[0]
    if kind == TType.STRUCT:
        return read_struct(iprot, desc[1])
    if kind == TType.LIST:
        _, size = iprot.readListBegin()
        value = [read_value(iprot, desc[1]) for _ in range(size)]
        iprot.readListEnd()
        return value
    if kind == TType.SET:
        _, size = iprot.readSetBegin()
        value = {read_value(iprot, desc[1]) for _ in range(size)}
        iprot.readSetEnd()
        return value
    if kind == TType.MAP:
        _, _, size = iprot.readMapBegin()
        value = {}
        for _ in range(size):
            key = read_value(iprot, desc[1])
            value[key] = read_value(iprot, desc[2])
        iprot.readMapEnd()
        return value
    if desc == BINARY:
        return iprot.readBinary()
    return {TType.I32: iprot.readI32, TType.I64: iprot.readI64, TType.DOUBLE: iprot.readDouble,
            TType.BOOL: iprot.readBool, TType.STRING: iprot.readString}[kind]()


def read_struct(iprot, fields):
    value = {}
    iprot.readStructBegin()
    while True:
        _, ftype, fid = iprot.readFieldBegin()
        if ftype == TType.STOP:
            break
        if fid in fields and fields[fid][1][0] == ftype:
            value[fields[fid][0]] = read_value(iprot, fields[fid][1])
        else:
            iprot.skip(ftype)
        iprot.readFieldEnd()
    iprot.readStructEnd()
    return value


def write_value(oprot, desc, value):
    kind = desc[0]
    if kind == TType.STRUCT:
        write_struct(oprot, desc[1], value)
    elif kind in (TType.LIST, TType.SET):
        (oprot.writeListBegin if kind == TType.LIST else oprot.writeSetBegin)(desc[1][0], len(value))
        for item in value:
            write_value(oprot, desc[1], item)
        (oprot.writeListEnd if kind == TType.LIST else oprot.writeSetEnd)()
    elif kind == TType.MAP:
        oprot.writeMapBegin(desc[1][0], desc[2][0], len(value))
        for key, item in value.items():
            write_value(oprot, desc[1], key)
            write_value(oprot, desc[2], item)
        oprot.writeMapEnd()
    elif desc == BINARY:
        oprot.writeBinary(value)
    else:
        {TType.I32: oprot.writeI32, TType.I64: oprot.writeI64, TType.DOUBLE: oprot.writeDouble,
         TType.BOOL: oprot.writeBool, TType.STRING: oprot.writeString}[kind](value)


def write_struct(oprot, fields, value):
    oprot.writeStructBegin("S")
    for fid, (name, desc) in sorted(fields.items()):
        if value.get(name) is not None:
            oprot.writeFieldBegin(name, desc[0], fid)
            write_value(oprot, desc, value[name])
            oprot.writeFieldEnd()
    oprot.writeFieldStop()
    oprot.writeStructEnd()


class NotFound(Exception):
    def __init__(self, what, code):
        super().__init__(what)
        self.fields = {"what": what, "code": code}


class Processor:
    """Dispatches by method name; argument and result structs are described by the field tables below."""

    def __init__(self):
        self.events = []
        self.message_types = {}
        self.methods = {
            # name: (argument fields, result fields, handler)
            "echo": ({1: ("shape", SHAPE_TYPE)}, {0: ("success", SHAPE_TYPE)}, lambda shape: shape),
            "total": (
                {1: ("values", (TType.LIST, I64)), 2: ("groups", (TType.MAP, STRING, (TType.LIST, I32)))},
                {0: ("success", I64)},
                lambda values, groups: sum(values) + sum(sum(g) for g in groups.values()),
            ),
            "find": ({1: ("name", STRING)}, {0: ("success", POINT), 1: ("missing", NOT_FOUND)}, self.find),
            "reset": ({}, {}, self.events.clear),
            "record": ({1: ("event", STRING)}, None, lambda event: self.events.append(event)),
            "events": ({}, {0: ("success", (TType.LIST, STRING))}, lambda: list(self.events)),
            "broken": ({}, {0: ("success", STRING)}, self.broken),
        }

    @staticmethod
    def find(name):
        point = find_point(name)
        if point is None:
            raise NotFound(name, 404)
        return point

    @staticmethod
    def broken():
        raise TApplicationException(TApplicationException.INTERNAL_ERROR, "it broke")

    def process(self, iprot, oprot):
        name, mtype, seqid = iprot.readMessageBegin()
        self.message_types[name] = mtype
        if name not in self.methods:
            iprot.skip(TType.STRUCT)
            iprot.readMessageEnd()
            error = TApplicationException(TApplicationException.UNKNOWN_METHOD, name)
            self.send(oprot, name, TMessageType.EXCEPTION, seqid, error.write)
            return
        arg_fields, result_fields, handler = self.methods[name]
        args = read_struct(iprot, arg_fields)
        iprot.readMessageEnd()
        try:
            result = {"success": handler(**args)}
        except NotFound as error:
            result = {"missing": error.fields}
        except TApplicationException as error:
            self.send(oprot, name, TMessageType.EXCEPTION, seqid, error.write)
            return
        if result_fields is not None:  # oneway methods get no reply
            self.send(oprot, name, TMessageType.REPLY, seqid, lambda o: write_struct(o, result_fields, result))

    @staticmethod
    def send(oprot, name, mtype, seqid, write_body):
        oprot.writeMessageBegin(name, mtype, seqid)
        write_body(oprot)
        oprot.writeMessageEnd()
        oprot.trans.flush()


def start_apache(tmp_path, transport):
    processor = Processor()
    server_socket = TSocket.TServerSocket(host="127.0.0.1", port=0)
    server_socket.listen()
    port = server_socket.handle.getsockname()[1]
    server_socket.listen = lambda: None  # already listening
    factory = (
        TTransport.TFramedTransportFactory()
        if transport is vantrel.TransportType.Framed
        else TTransport.TBufferedTransportFactory()
    )
    server = TServer.TThreadedServer(
        processor, server_socket, factory, TBinaryProtocol.TBinaryProtocolFactory(), daemon=True
    )
    threading.Thread(target=server.serve, daemon=True).start()
    # its accept loop has no way to stop: the daemon thread ends with the process
    return port, processor, lambda: None


# ---------------------------------------------------------------- the tests

PEERS = {"thriftpy2": start_thriftpy2, "apache": start_apache}


@pytest.fixture(
    scope="module",
    params=[(p, t) for p in PEERS for t in ("Framed", "Buffered")],
    ids=lambda p: f"{p[0]}-{p[1].lower()}",
)
def peer(request, tmp_path_factory):
    name, transport = request.param
    transport = getattr(vantrel.TransportType, transport)
    port, processor, stop = PEERS[name](tmp_path_factory.mktemp("idl"), transport)
    yield port, transport, processor
    stop()


@pytest.fixture
def client(peer):
    port, transport, _ = peer
    parser = vantrel.ThriftParser()
    parser.parse(IDL)
    c = vantrel.ThriftClient(parser.get_service("Shapes"), "127.0.0.1", port, transport=transport)
    c.set_parser(parser)
    with c:
        yield c


def test_struct_argument_and_result(client):
    back = plain(client.call("echo", shape=SHAPE))
    assert sorted(back.pop("tags")) == sorted(SHAPE["tags"])
    assert back == {k: v for k, v in SHAPE.items() if k != "tags"}
    # absent fields stay absent both ways
    assert plain(client.call("echo", shape={"name": "bare"})) == {
        "name": "bare", "points": None, "attrs": None, "tags": None, "centre": None,
        "area": None, "closed": None, "blob": None, "groups": None,
    }


def test_messages_larger_than_the_socket_buffers(client):
    # Both directions cross several buffer fills.
    shape = {"name": "x" * 200_000, "points": [{"x": i, "y": -i} for i in range(20_000)], "blob": bytes(100_000)}
    assert plain(client.call("echo", shape=shape)) == dict(
        shape, attrs=None, tags=None, centre=None, area=None, closed=None, groups=None
    )


def test_containers_are_read_by_the_peer(client):
    values = [2**62, 2**62 - 1, -5]
    groups = {"a": [1, 2, 3], "b": [], "\u00fc": [-(2**31)]}
    assert client.call("total", values=values, groups=groups) == sum(values) + 6 - 2**31
    assert client.call("total", values=[], groups={}) == 0


def test_declared_exception_and_result(client):
    assert plain(client.call("find", name="a")) == {"x": 1, "y": 2}
    with pytest.raises(RuntimeError) as info:
        client.call("find", name="nope")
    assert str(info.value) == "Service exception 'missing' (field 1): \"NotFound(what='nope', code=404)\""
    assert client.is_open()


def test_void_and_oneway_calls(client, peer):
    assert client.call("reset") is None
    assert client.call("record", event="first") is None
    assert client.call("record", event="second \u2713") is None
    assert client.call("events") == ["first", "second \u2713"]
    processor = peer[2]
    if processor is not None:  # the hand-written processor saw the message types
        assert processor.message_types["record"] == TMessageType.ONEWAY
        assert processor.message_types["events"] == TMessageType.CALL


def test_application_exception_from_the_peer(client):
    with pytest.raises(vantrel.ThriftApplicationException) as info:
        client.call("broken")
    assert (info.value.message, info.value.type_) == ("it broke", 6)
    assert client.call("total", values=[1], groups={}) == 1
