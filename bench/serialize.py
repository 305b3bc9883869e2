#!/usr/bin/env python3
"""Struct serialization throughput: vantrel against the Thrift libraries for Python.

Every library works on the same data, described once in bench/bench.thrift:
``Order`` (nested structs, a list of structs, a map, a set, strings, binary,
integers, a double, a bool) and ``Ping`` (a small flat struct). For each struct,
workload and protocol the table shows operations per second, and for vantrel
the ratio to the fastest Thrift peer (thriftpy2 or thrift). msgspec's
MessagePack of the equivalent dict is printed as a reference for plain
Python object <-> bytes speed; it has no protocol, so its figure repeats on
the three protocol rows and never enters the ratio.

Run it through ``make bench``, which installs the peers and generates the
Apache thrift classes first. Options: ``--quick``, ``--filter REGEX`` (rows),
``--libs a,b`` (columns), ``--no-memory``.
"""

from __future__ import annotations

import argparse
import gc
import importlib.metadata
import os
import re
import shutil
import subprocess
import sys
import time
import timeit
from pathlib import Path

HERE = Path(__file__).resolve().parent
IDL_PATH = HERE / "bench.thrift"
DEFAULT_GEN_DIR = HERE.parent / "build" / "bench-gen"

PROTOCOLS = ("Binary", "Compact", "JSON")
WORKLOADS = {
    "ser-dict": "serialize from dict",
    "ser-inst": "serialize from instance",
    "de-all": "deserialize + every field",
    "de-two": "deserialize + two fields",
}
THRIFT_PEERS = ("thriftpy2", "thrift")
LIBRARIES = ("vantrel",) + THRIFT_PEERS + ("msgspec",)

NOTES: list[str] = []      # caveats printed under the table
PROBLEMS: list[str] = []   # sanity failures and broken cells


def note(text: str) -> None:
    NOTES.append(text)


def problem(text: str) -> None:
    PROBLEMS.append(text)
    print(f"MISMATCH: {text}")


# --------------------------------------------------------------------------
# The data. Plain dicts in the shape vantrel takes: nested structs as dicts,
# lists as lists, the set as a list, the map as a dict, binary as bytes.

def make_order() -> dict:
    address = {
        "street": "Bahnhofstrasse 21",
        "city": "Zürich",
        "country": "CH",
        "postal_code": 8001,
        "latitude": 47.3717,
        "longitude": 8.5394,
    }
    items = [
        {
            "sku": 4_000_000_000 + i * 7919,
            "title": title,
            "quantity": i + 1,
            "unit_price": price,
            "gift": i % 2 == 1,
        }
        for i, (title, price) in enumerate([
            ("Mechanical keyboard", 129.9),
            ("USB-C cable, 2 m", 12.5),
            ("27-inch monitor", 349.0),
            ("Desk lamp", 45.25),
            ("Notebook, dotted", 7.75),
        ])
    ]
    return {
        "order_id": 9_007_199_254_740_993,
        "customer": "Ada Lovelace",
        "email": "ada.lovelace@example.org",
        "shipping": address,
        "billing": dict(address, street="Limmatquai 4", postal_code=8024),
        "items": items,
        "attributes": {
            "channel": "web",
            "campaign": "spring-sale",
            "currency": "CHF",
            "locale": "de_CH",
            "referrer": "newsletter-2024-03",
        },
        "tags": ["priority", "gift-wrap", "fragile", "repeat-customer", "eu"],
        "signature": bytes((i * 37 + 11) % 256 for i in range(320)),
        "created_at": 1_733_900_000_123,
        "total": 1018.65,
        "paid": True,
        "history": [3, 1, 4, 1, 5, 9, 2, 6, 5, 3],
    }


def make_ping() -> dict:
    return {
        "seq": 42,
        "timestamp": 1_733_900_000_123,
        "load": 0.75,
        "healthy": True,
        "host": "api-7.eu-west",
    }


STRUCTS = {"Order": make_order(), "Ping": make_ping()}
# The two fields read by the de-two workload.
TWO_FIELDS = {"Order": ("order_id", "customer"), "Ping": ("seq", "host")}
SET_FIELDS = {"Order": ("tags",), "Ping": ()}
MAP_FIELDS = {"Order": ("attributes",), "Ping": ()}


def as_peers_write(name: str, data: dict) -> dict:
    """`data` with each set in the order the peers' Python sets iterate, which
    is the order they write it in."""
    return dict(data, **{f: list(set(data[f])) for f in SET_FIELDS[name]})


def canonical(name: str, plain: dict) -> dict:
    """A decoded value in comparable form: sets compare regardless of order."""
    out = dict(plain)
    for field in SET_FIELDS[name]:
        if out.get(field) is not None:
            out[field] = sorted(out[field])
    return out


# --------------------------------------------------------------------------
# Libraries. Each one supplies, per struct and protocol, the statements that
# are timed (source text with a namespace, so that no wrapper call of ours is
# counted), plus encode/decode functions for the sanity checks.

class Op:
    """One timed operation: a statement and the names it uses."""

    def __init__(self, stmt: str, ns: dict):
        self.stmt = stmt
        self.ns = ns


def read_all_expr(var: str, names, attr: bool = True) -> str:
    """Source of a dict display reading every field of `var`."""
    if attr:
        return "{" + ", ".join(f"{n!r}: {var}.{n}" for n in names) + "}"
    return "{" + ", ".join(f"{n!r}: {var}[{n!r}]" for n in names) + "}"


def make_builders(Address, LineItem, Order, Ping):
    """dict -> object, the way a program using generated classes does it."""

    def build_order(d):
        return Order(
            order_id=d["order_id"],
            customer=d["customer"],
            email=d["email"],
            shipping=Address(**d["shipping"]),
            billing=Address(**d["billing"]),
            items=[LineItem(**i) for i in d["items"]],
            attributes=d["attributes"],
            tags=set(d["tags"]),
            signature=d["signature"],
            created_at=d["created_at"],
            total=d["total"],
            paid=d["paid"],
            history=d["history"],
        )

    def build_ping(d):
        return Ping(**d)

    return {"Order": build_order, "Ping": build_ping}


def object_to_plain(value):
    """A decoded peer object as nested plain values (for round-trip checks)."""
    if isinstance(value, (set, frozenset)):
        return sorted(object_to_plain(v) for v in value)
    if isinstance(value, list):
        return [object_to_plain(v) for v in value]
    if isinstance(value, dict):
        return {object_to_plain(k): object_to_plain(v) for k, v in value.items()}
    if hasattr(value, "thrift_spec") and hasattr(value, "__dict__"):
        return {k: object_to_plain(v) for k, v in vars(value).items()}
    return value


class Library:
    name = ""
    available = False
    reason = ""

    def op(self, struct: str, workload: str, protocol: str) -> Op | None:
        raise NotImplementedError

    def encode(self, struct: str, protocol: str, data: dict) -> bytes:
        raise NotImplementedError

    def decode_plain(self, struct: str, protocol: str, payload: bytes) -> dict:
        raise NotImplementedError

    def version(self) -> str:
        try:
            return importlib.metadata.version(self.name)
        except importlib.metadata.PackageNotFoundError:
            return "?"


class Vantrel(Library):
    name = "vantrel"

    def __init__(self):
        try:
            import vantrel
        except ImportError as exc:
            self.reason = f"cannot import vantrel ({exc})"
            return
        parser = vantrel.ThriftParser()
        parser.parse(IDL_PATH.read_text())
        self.structs = {n: parser.get_struct(n) for n in ("Address", "LineItem", "Order", "Ping")}
        if not hasattr(self.structs["Order"], "serialize_with_protocol"):
            self.reason = "this build of vantrel has no struct serialization yet"
            return
        self.protocols = {p: getattr(vantrel.ProtocolType, p) for p in PROTOCOLS}
        self.available = True
        self._instances = {}

    def instance(self, struct: str, data: dict | None = None):
        """An instance, nested structs as instances of their own; without
        `data`, the prebuilt one of the benchmark's data."""
        if data is None:
            if struct not in self._instances:
                self._instances[struct] = self.instance(struct, STRUCTS[struct])
            return self._instances[struct]
        s = self.structs
        if struct == "Order":
            return s["Order"](**dict(
                data,
                shipping=s["Address"](**data["shipping"]),
                billing=s["Address"](**data["billing"]),
                items=[s["LineItem"](**i) for i in data["items"]],
            ))
        return s[struct](**data)

    def op(self, struct, workload, protocol):
        s = self.structs[struct]
        ns = {
            "ser": s.serialize_with_protocol,
            "de": s.deserialize_with_protocol,
            "P": self.protocols[protocol],
        }
        if workload == "ser-dict":
            return Op("ser(d, P)", dict(ns, d=STRUCTS[struct]))
        if workload == "ser-inst":
            return Op("ser(inst, P)", dict(ns, inst=self.instance(struct)))
        payload = self.encode(struct, protocol, STRUCTS[struct])
        if workload == "de-all":
            return Op("de(b, P).to_dict()", dict(ns, b=payload))
        a, b = TWO_FIELDS[struct]
        return Op(f"o = de(b, P); o.{a}; o.{b}", dict(ns, b=payload))

    def encode(self, struct, protocol, data):
        return self.structs[struct].serialize_with_protocol(data, self.protocols[protocol])

    def decode_plain(self, struct, protocol, payload):
        inst = self.structs[struct].deserialize_with_protocol(payload, self.protocols[protocol])
        return self.to_plain(inst)

    def to_plain(self, value):
        if callable(getattr(value, "to_dict", None)):
            return {k: self.to_plain(v) for k, v in value.to_dict().items()}
        if isinstance(value, list):
            return [self.to_plain(v) for v in value]
        if isinstance(value, dict):
            return {self.to_plain(k): self.to_plain(v) for k, v in value.items()}
        return value


class ThriftPy2(Library):
    name = "thriftpy2"

    def __init__(self):
        try:
            import thriftpy2
            from thriftpy2 import utils
            from thriftpy2.protocol import TCompactProtocolFactory, TJSONProtocolFactory
        except ImportError as exc:
            self.reason = f"cannot import thriftpy2 ({exc})"
            return
        try:
            from thriftpy2.protocol.cybin import TCyBinaryProtocolFactory as binary
        except ImportError:
            from thriftpy2.protocol import TBinaryProtocolFactory as binary
            note("thriftpy2's Cython binary protocol is missing; its Binary rows are pure Python")
        try:
            from thriftpy2.protocol.cycompact import TCyCompactProtocolFactory as compact
        except ImportError:
            compact = TCompactProtocolFactory
            note(f"thriftpy2 {self.version()} ships no Cython compact protocol; "
                 "its Compact rows use the pure-Python TCompactProtocol")
        self.module = thriftpy2.load(str(IDL_PATH), module_name="bench_thrift")
        self.factories = {"Binary": binary(), "Compact": compact(), "JSON": TJSONProtocolFactory()}
        self.ser = utils.serialize
        self.de = utils.deserialize
        m = self.module
        self.classes = {"Order": m.Order, "Ping": m.Ping}
        self.builders = make_builders(m.Address, m.LineItem, m.Order, m.Ping)
        self.available = True

    def op(self, struct, workload, protocol):
        ns = {
            "ser": self.ser,
            "de": self.de,
            "F": self.factories[protocol],
            "build": self.builders[struct],
            "Cls": self.classes[struct],
        }
        data = STRUCTS[struct]
        if workload == "ser-dict":
            return Op("ser(build(d), F)", dict(ns, d=data))
        if workload == "ser-inst":
            return Op("ser(obj, F)", dict(ns, obj=self.builders[struct](data)))
        payload = self.encode(struct, protocol, data)
        if workload == "de-all":
            return Op("o = de(Cls(), b, F); " + read_all_expr("o", data), dict(ns, b=payload))
        a, b = TWO_FIELDS[struct]
        return Op(f"o = de(Cls(), b, F); o.{a}; o.{b}", dict(ns, b=payload))

    def encode(self, struct, protocol, data):
        return self.ser(self.builders[struct](data), self.factories[protocol])

    def decode_plain(self, struct, protocol, payload):
        obj = self.de(self.classes[struct](), payload, self.factories[protocol])
        return object_to_plain(obj)


class ApacheThrift(Library):
    name = "thrift"

    def __init__(self, gen_dir: Path):
        try:
            from thrift import TSerialization
            from thrift.protocol.TBinaryProtocol import TBinaryProtocolAcceleratedFactory
            from thrift.protocol.TCompactProtocol import TCompactProtocolAcceleratedFactory
            from thrift.protocol.TJSONProtocol import TJSONProtocolFactory
            from thrift.transport.TTransport import TMemoryBuffer
        except ImportError as exc:
            self.reason = f"cannot import thrift ({exc})"
            return
        if not (gen_dir / "bench_gen" / "ttypes.py").exists() and not generate(gen_dir):
            self.reason = f"no generated classes in {gen_dir} and no thrift compiler to make them"
            return
        sys.path.insert(0, str(gen_dir))
        try:
            from bench_gen import ttypes
        finally:
            sys.path.pop(0)
        try:
            from thrift.protocol import fastbinary  # noqa: F401
        except ImportError as exc:
            note(f"WARNING: thrift's C accelerator (thrift.protocol.fastbinary) is not "
                 f"importable ({exc}); its Binary and Compact rows are pure Python")
        self.factories = {
            "Binary": TBinaryProtocolAcceleratedFactory(),
            "Compact": TCompactProtocolAcceleratedFactory(),
            "JSON": TJSONProtocolFactory(),
        }
        for proto in ("Binary", "Compact"):
            if self.factories[proto].getProtocol(TMemoryBuffer())._fast_encode is None:
                note(f"WARNING: thrift's accelerated {proto} protocol fell back to pure Python")
        self.ser = TSerialization.serialize
        self.de = TSerialization.deserialize
        self.classes = {"Order": ttypes.Order, "Ping": ttypes.Ping}
        self.builders = make_builders(ttypes.Address, ttypes.LineItem, ttypes.Order, ttypes.Ping)
        self.available = True

    op = ThriftPy2.op

    def encode(self, struct, protocol, data):
        return self.ser(self.builders[struct](data), self.factories[protocol])

    def decode_plain(self, struct, protocol, payload):
        obj = self.de(self.classes[struct](), payload, self.factories[protocol])
        return object_to_plain(obj)


class Msgspec(Library):
    name = "msgspec"

    def __init__(self):
        try:
            import msgspec
        except ImportError as exc:
            self.reason = f"cannot import msgspec ({exc})"
            return
        self.enc = msgspec.msgpack.Encoder().encode
        self.dec = msgspec.msgpack.Decoder().decode
        self.available = True

    def op(self, struct, workload, protocol):
        # A dict is msgspec's only value here, so "from instance" does not apply.
        data = STRUCTS[struct]
        ns = {"enc": self.enc, "dec": self.dec}
        if workload == "ser-dict":
            return Op("enc(d)", dict(ns, d=data))
        if workload == "ser-inst":
            return None
        ns["b"] = self.enc(data)
        if workload == "de-all":
            return Op("dec(b)", ns)
        a, b = TWO_FIELDS[struct]
        return Op(f"o = dec(b); o[{a!r}]; o[{b!r}]", ns)

    def encode(self, struct, protocol, data):
        return self.enc(data)

    def decode_plain(self, struct, protocol, payload):
        return self.dec(payload)


def generate(gen_dir: Path) -> bool:
    """Generate the Apache thrift classes when the set-up step was skipped."""
    compiler = shutil.which("thrift")
    if compiler is None:
        return False
    gen_dir.mkdir(parents=True, exist_ok=True)
    subprocess.run([compiler, "--gen", "py", "-out", str(gen_dir), str(IDL_PATH)], check=True)
    return True


# --------------------------------------------------------------------------
# Sanity: the same bytes and the same data back, before anything is timed.

def first_difference(a: bytes, b: bytes) -> int:
    for i, (x, y) in enumerate(zip(a, b)):
        if x != y:
            return i
    return min(len(a), len(b))


def sanity(libs: dict[str, Library]) -> None:
    print("\nSanity checks")
    peers = [libs[n] for n in THRIFT_PEERS if n in libs]
    vantrel = libs.get("vantrel")

    for struct, data in STRUCTS.items():
        expected = canonical(struct, data)

        # The Binary format is standard: every Thrift library must agree byte for byte.
        reference = None
        for lib in peers:
            payload = lib.encode(struct, "Binary", data)
            if reference is None:
                reference = (lib.name, payload)
            elif payload != reference[1]:
                problem(f"{struct}: {lib.name} Binary differs from {reference[0]} "
                        f"at byte {first_difference(payload, reference[1])}")
            else:
                print(f"  ok  {struct}: {lib.name} Binary equals {reference[0]}'s")
        if vantrel is not None and reference is not None:
            same_order = as_peers_write(struct, data)
            for source in ("dict", "instance"):
                try:
                    value = same_order if source == "dict" else vantrel.instance(struct, same_order)
                    payload = vantrel.encode(struct, "Binary", value)
                except Exception as exc:
                    problem(f"{struct}: vantrel Binary from {source} raised {exc!r}")
                    continue
                if payload != reference[1]:
                    problem(f"{struct}: vantrel Binary from {source} differs from {reference[0]} "
                            f"at byte {first_difference(payload, reference[1])} "
                            f"({len(payload)} vs {len(reference[1])} bytes)")
                else:
                    print(f"  ok  {struct}: vantrel Binary from {source} equals {reference[0]}'s "
                          f"({len(payload)} bytes)")

        # Every library gets its own data back, in every protocol.
        for lib in libs.values():
            sizes = []
            for protocol in PROTOCOLS if lib.name != "msgspec" else ("msgpack",):
                try:
                    payload = lib.encode(struct, protocol, data)
                    back = canonical(struct, lib.decode_plain(struct, protocol, payload))
                except Exception as exc:  # report and keep measuring the rest
                    problem(f"{struct}: {lib.name} {protocol} round trip raised {exc!r}")
                    continue
                if back != expected:
                    diff = sorted(k for k in expected.keys() | back.keys()
                                  if back.get(k) != expected.get(k))
                    problem(f"{struct}: {lib.name} {protocol} round trip changed {diff}")
                    continue
                sizes.append(f"{protocol} {len(payload)} B")
            if sizes:
                print(f"  ok  {struct}: {lib.name} round trips ({', '.join(sizes)})")

        # thriftpy2's JSON document has the named-field form that vantrel also reads.
        if vantrel is not None and "thriftpy2" in libs:
            document = libs["thriftpy2"].encode(struct, "JSON", data)
            try:
                back = canonical(struct, vantrel.decode_plain(struct, "JSON", document))
            except Exception as exc:
                problem(f"{struct}: vantrel cannot read thriftpy2's JSON document: {exc!r}")
            else:
                # thriftpy2 writes a map as a list of {"key", "value"} objects,
                # which the named-field form does not take (it reads as empty).
                maps = MAP_FIELDS[struct]
                if {k: v for k, v in back.items() if k not in maps} != {k: v for k, v in expected.items() if k not in maps}:
                    problem(f"{struct}: vantrel reads thriftpy2's JSON document differently")
                else:
                    print(f"  ok  {struct}: vantrel reads thriftpy2's JSON document (map fields aside)")


# --------------------------------------------------------------------------
# Timing.

def ops_per_second(op: Op, target: float, repeats: int) -> float:
    """Best of `repeats` runs of a loop sized to take about `target` seconds."""
    # Collection stays on: allocation-heavy decoders pay for it in real programs too.
    timer = timeit.Timer(op.stmt, setup="gc.enable()", timer=time.perf_counter,
                         globals=dict(op.ns, gc=gc))
    timer.timeit(1)  # raises here if the statement does not work
    number = 1
    while True:
        elapsed = timer.timeit(number)
        if elapsed >= target / 5:
            number = max(1, int(number * target / elapsed))
            break
        number *= 10 if elapsed < target / 50 else 2
    best = min(timer.timeit(number) for _ in range(repeats))
    return number / best


def fmt_rate(value) -> str:
    if isinstance(value, str):
        return value
    return f"{value:,.0f}"


def run_table(libs: dict[str, Library], all_libs: dict[str, Library],
              pattern: re.Pattern | None, target: float, repeats: int) -> None:
    columns = [n for n in LIBRARIES if n in all_libs]
    rows = [(s, w, p) for s in STRUCTS for w in WORKLOADS for p in PROTOCOLS
            if pattern is None or pattern.search(f"{s} {w} {p}")]
    if not rows:
        print("\nno row matches --filter")
        return

    header = (f"{'struct':<6}  {'workload':<26}{'protocol':<9}"
              + "".join(f"{c:>12}" for c in columns) + "   vantrel / best Thrift peer")
    print("\nOperations per second (best of %d; higher is better)\n" % repeats)
    print(header)
    print("-" * len(header))

    msgspec_cache: dict[tuple[str, str], object] = {}
    for struct, workload, protocol in rows:
        rates: dict[str, object] = {}
        for name in columns:
            lib = all_libs[name]
            if name not in libs:
                rates[name] = "skipped"
                continue
            if not lib.available:
                rates[name] = "n/a"
                continue
            # msgpack has no protocol: measure it once per struct and workload.
            key = (struct, workload)
            if name == "msgspec" and key in msgspec_cache:
                rates[name] = msgspec_cache[key]
                continue
            try:
                op = lib.op(struct, workload, protocol)
                rates[name] = "-" if op is None else ops_per_second(op, target, repeats)
            except Exception as exc:  # one broken cell must not stop the run
                rates[name] = "err"
                PROBLEMS.append(f"{struct} {workload} {protocol} {name}: {exc!r}")
            if name == "msgspec":
                msgspec_cache[key] = rates[name]

        peers = [(rates[n], n) for n in THRIFT_PEERS if isinstance(rates.get(n), float)]
        mine = rates.get("vantrel")
        if isinstance(mine, float) and peers:
            best, who = max(peers)
            ratio = f"{mine / best:6.2f}x  ({who})"
        else:
            ratio = "n/a"
        print(f"{struct:<6}  {WORKLOADS[workload]:<26}{protocol:<9}"
              + "".join(f"{fmt_rate(rates[c]):>12}" for c in columns) + f"   {ratio}",
              flush=True)


# --------------------------------------------------------------------------
# Memory: resident set size before and after many operations.

PAGE_KIB = os.sysconf("SC_PAGE_SIZE") // 1024


def rss_kib() -> int:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * PAGE_KIB


def memory_growth(vantrel: Library, count: int) -> None:
    print(f"\nResident memory change over {count:,} vantrel operations "
          "(serialize + deserialize + to_dict on Ping, after a warm-up)")
    if not vantrel.available:
        print(f"  n/a: {vantrel.reason}")
        return
    s = vantrel.structs["Ping"]
    ser, de = s.serialize_with_protocol, s.deserialize_with_protocol
    data = STRUCTS["Ping"]
    for protocol in PROTOCOLS:
        P = vantrel.protocols[protocol]

        def loop(n):
            for _ in range(n):
                de(ser(data, P), P).to_dict()

        try:
            loop(max(1, count // 10))
        except Exception as exc:
            print(f"  {protocol:<8} err: {exc!r}")
            continue
        gc.collect()
        before = rss_kib()
        started = time.perf_counter()
        loop(count)
        elapsed = time.perf_counter() - started
        gc.collect()
        after = rss_kib()
        print(f"  {protocol:<8}{after - before:+8d} KiB   (RSS {after:,} KiB, {elapsed:.1f} s)",
              flush=True)


# --------------------------------------------------------------------------

def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true",
                        help="shorter timing runs and 200,000 operations for memory")
    parser.add_argument("--filter", metavar="REGEX",
                        help="only rows whose 'struct workload protocol' matches, "
                             "for example 'Ping.*Binary' or 'de-two'")
    parser.add_argument("--libs", metavar="LIST",
                        help=f"comma-separated columns to time (of {', '.join(LIBRARIES)})")
    parser.add_argument("--no-memory", action="store_true", help="skip the memory measurement")
    parser.add_argument("--gen-dir", type=Path, default=DEFAULT_GEN_DIR,
                        help="where the Apache thrift classes were generated")
    args = parser.parse_args(argv)

    target, repeats, mem_count = (0.03, 3, 200_000) if args.quick else (0.12, 5, 1_000_000)
    pattern = re.compile(args.filter, re.IGNORECASE) if args.filter else None
    wanted = set(LIBRARIES)
    if args.libs:
        wanted = {n.strip() for n in args.libs.split(",") if n.strip()}
        unknown = wanted - set(LIBRARIES)
        if unknown:
            parser.error(f"unknown libraries: {', '.join(sorted(unknown))}")

    print(f"Python {sys.version.split()[0]}; data shapes from {IDL_PATH.name}")
    all_libs = {
        "vantrel": Vantrel(),
        "thriftpy2": ThriftPy2(),
        "thrift": ApacheThrift(args.gen_dir),
        "msgspec": Msgspec(),
    }
    for lib in all_libs.values():
        state = "" if lib.available else f"   (n/a: {lib.reason})"
        print(f"  {lib.name:<10}{lib.version():<10}{state}")

    ready = {n: lib for n, lib in all_libs.items() if lib.available}
    sanity(ready)
    timed = {n: lib for n, lib in all_libs.items() if n in wanted}
    run_table(timed, all_libs, pattern, target, repeats)

    if NOTES:
        print()
        for text in NOTES:
            print(f"note: {text}")
    if PROBLEMS:
        print(f"\n{len(PROBLEMS)} problem(s):")
        for text in PROBLEMS:
            print(f"  {text}")

    if not args.no_memory and "vantrel" in wanted:
        memory_growth(all_libs["vantrel"], mem_count)
    return 1 if PROBLEMS else 0


if __name__ == "__main__":
    sys.exit(main())
