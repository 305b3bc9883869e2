"""A tour of vantrel: parse an IDL at run time and look at what it declares."""

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


if __name__ == "__main__":
    main()
