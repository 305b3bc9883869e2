"""A tour of vantrel: parse an IDL at run time, look at what it declares, and
serialize a struct in the three protocols."""

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


if __name__ == "__main__":
    main()
