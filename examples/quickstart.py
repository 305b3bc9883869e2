"""A tour of vantrel: parse an IDL at run time, look at what it declares,
serialize a struct in the three protocols, and call a remote service."""

import socket
import threading
import time
from pathlib import Path

import vantrel

IDL = Path(__file__).with_name("inventory.thrift").read_text()


def main() -> None:
    parser = vantrel.ThriftParser()
    parser.parse(IDL)

    print("namespaces:", parser.namespaces())
    print("includes:  ", parser.list_includes())

    print("\nenums:")
    for name in parser.list_enums():
        print(f"  {name} = {parser.get_enum(name)}")

    print("\nstructs:")
    for name in parser.list_structs():
        struct = parser.get_struct(name)
        print(f"  {struct.name}")
        for field in struct.fields:
            print(f"    {field!r}")

    # The struct's repr shows the declared defaults too.
    print("\n" + repr(parser.get_struct("Location")))

    # Structs are also found under the prefix of each include.
    print("\nget_struct('base.Item'):", parser.get_struct("base.Item").name)

    print("\nservices:")
    for name in parser.list_services():
        service = parser.get_service(name)
        print(f"  {service!r}")
        for method in service.methods:
            args = ", ".join(f"{a.id}: {a.name}" for a in method.arguments)
            raises = ", ".join(e.name for e in method.exceptions)
            oneway = "oneway " if method.oneway else ""
            print(f"    {oneway}{method!r} ({args})" + (f" throws ({raises})" if raises else ""))

    serialize(parser)
    remote_call(parser)


def serialize(parser: vantrel.ThriftParser) -> None:
    item = parser.get_struct("Item")
    data = {
        "id": 42,
        "name": "Pruning shears",
        "category": 2,
        "price": {"cents": 1999},
        "locations": [{"warehouse": "north", "aisle": 3}, {"warehouse": "south", "aisle": 12, "shelf": 4}],
        "tags": ["garden", "steel"],
        "attributes": {"colour": "red"},
        "thumbnail": bytes(range(8)),
        "updated_at": 1_700_000_000_000,
    }
    print("\nserialized Item:")
    for protocol in (vantrel.ProtocolType.Binary, vantrel.ProtocolType.Compact, vantrel.ProtocolType.JSON):
        encoded = item.serialize_with_protocol(data, protocol)
        decoded = item.deserialize_with_protocol(encoded, protocol)
        print(f"  {protocol!r}: {len(encoded)} bytes; read back: {decoded.name!r}, {decoded.locations[1]!r}")
    print("  JSON:", item.serialize_with_protocol(data, vantrel.ProtocolType.JSON).decode()[:100], "...")

    # Instances start from the declared defaults; fields read and write as attributes.
    fresh = item(id=7, name="Trowel")
    fresh.tags = ["garden"]
    print("  new instance:", fresh)



def start_peer_server() -> int:
    """An independent Thrift server (thriftpy2) for the same IDL, on a free port."""
    import tempfile

    import thriftpy2
    from thriftpy2.rpc import make_server
    from thriftpy2.transport import TFramedTransportFactory

    # thriftpy2 reads included files, which vantrel never does: leave the include out.
    text = "\n".join(line for line in IDL.splitlines() if not line.startswith("include "))
    with tempfile.TemporaryDirectory() as folder:
        path = Path(folder, "inventory.thrift")
        path.write_text(text)
        inventory = thriftpy2.load(str(path), module_name="inventory_thrift")

    class Handler:
        items = {42: inventory.Item(id=42, name="Pruning shears", tags={"garden"})}

        def ping(self):
            pass

        def version(self):
            return "peer 1.0"

        def get_item(self, id):
            if id not in self.items:
                raise inventory.NotFound(id=id, message=f"no item {id}")
            return self.items[id]

        def search(self, text, category, limit):
            return [item for item in self.items.values() if text in item.name][:limit]

        def add_item(self, item):
            self.items[item.id] = item
            return item.id

        def record_view(self, id, at):
            pass

    with socket.socket() as probe:  # a free port
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    server = make_server(inventory.Inventory, Handler(), "127.0.0.1", port, trans_factory=TFramedTransportFactory())
    threading.Thread(target=server.serve, daemon=True).start()
    for _ in range(100):  # until it accepts
        try:
            socket.create_connection(("127.0.0.1", port), timeout=0.1).close()
            return port
        except OSError:
            time.sleep(0.05)
    raise RuntimeError("the peer server did not start")


def remote_call(parser: vantrel.ThriftParser) -> None:
    port = start_peer_server()
    client = vantrel.ThriftClient(parser.get_service("Inventory"), "127.0.0.1", port)
    client.set_parser(parser)  # struct arguments and results need the struct definitions
    print(f"\nremote calls to a peer server on port {port}:")
    with client:
        print("  version():", client.call("version"))
        print("  get_item(id=42):", client.call("get_item", id=42))
        new_id = client.call("add_item", item={"id": 7, "name": "Garden trowel", "price": {"cents": 899}})
        print("  add_item(...):", new_id)
        print("  search(text='Garden'):", client.call("search", text="Garden", limit=5))
        client.call("record_view", id=7, at=1_700_000_000_000)  # oneway: returns at once
        try:
            client.call("get_item", id=99)
        except RuntimeError as error:  # a declared exception of the method
            print("  get_item(id=99):", error)


if __name__ == "__main__":
    main()
