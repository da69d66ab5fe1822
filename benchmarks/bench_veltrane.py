"""Validation of a device inventory: quarv.utils.veltrane against pydantic v2, voluptuous and the
`schema` package.

1,000 device records of about 30 values each, under wildcard keys: texts, integers and flags,
`Use(int)` conversions of texts, an `Or` of two literals, nested mappings (some under wildcard keys
of their own), a `ListOf` of mappings, optional keys and a wildcard `Default`. Each peer validates
the same data against the equivalent schema written in its own terms (a pydantic model that
forbids unknown keys, a voluptuous schema with every key required unless marked optional); the
results are checked equal before anything is timed. Same data, same process; prints the best time
of several runs and the ratios.

Run: python benchmarks/bench_veltrane.py
(needs: pip install ".[bench]"; peers that are not installed are left out)

Objects made per value: count the interpreter's object allocations with a probe on PyObject_Malloc,
for one process that validates N more times than another (as root, perf installed):
    perf probe -x $(python -c 'import sysconfig as s; print(s.get_config_var("LIBDIR"))')/libpython3.11.so.1.0 PyObject_Malloc
    perf stat -e 'probe_libpython3:*' python benchmarks/bench_veltrane.py --only-copy N
    perf stat -e 'probe_libpython3:*' python benchmarks/bench_veltrane.py --validate N
and divide the difference of the two counts by N times the number of values.
"""

import copy
import sys
import time
import typing

from quarv.utils.veltrane import Any, Default, ListOf, Optional, Or, Schema, Use

try:
    import pydantic
except ImportError:
    pydantic = None
try:
    import voluptuous
except ImportError:
    voluptuous = None
try:
    import schema as schema_package
except ImportError:
    schema_package = None

DEVICES = 1000


def device(i):
    entry = {
        "hostname": f"dev{i:04d}",
        "type": ("router", "switch")[i % 2],
        "os": "ios",
        "version": str(15 + i % 3),
        "ip": f"10.{i // 256}.{i % 256}.1",
        "enabled": i % 7 != 0,
        "timeout": str(10 + i % 50),
        "credentials": {"username": "admin", "password": f"pw{i}"},
        "location": {"site": f"site{i % 12}", "rack": str(i % 40)},
        "interfaces": [
            {"name": "eth0", "ip": f"192.168.{i % 256}.1", "mtu": "1500"},
            {"name": "eth1", "mtu": "9000"},
        ],
        "services": {
            "ssh": {"port": "22", "enabled": True},
            "http": {"port": "80", "enabled": i % 2 == 0},
            "snmp": {"port": "161", "enabled": i % 3 == 0},
        },
        "tags": ["core", "lab"] if i % 2 else ["edge"],
        "snmp": {"community": "public", "version": 1 + i % 2},
        "description": f"device number {i}",
    }
    if i % 3 == 0:
        entry["port"] = 2222
        entry["location"]["row"] = f"r{i % 5}"
    if i % 4 == 0:
        entry["protocol"] = "telnet"
    return entry


def inventory():
    return {"version": 2, "site": "lab", "devices": {f"dev{i:04d}": device(i) for i in range(DEVICES)}}


def values_in(data):
    """The values a validation looks at: the leaves of the nested mappings and lists."""
    if isinstance(data, dict):
        return sum(values_in(v) for v in data.values())
    if isinstance(data, list):
        return sum(values_in(v) for v in data)
    return 1


# ----- the schemas -------------------------------------------------------------------------------------


def veltrane_schema():
    dev = {
        "hostname": str,
        "type": Or("router", "switch"),
        "os": str,
        "version": Use(int),
        "ip": str,
        Optional("port"): int,
        "enabled": bool,
        "timeout": Use(int),
        "credentials": {"username": str, "password": str},
        "location": {"site": str, "rack": Use(int), Optional("row"): str},
        "interfaces": ListOf({"name": str, Optional("ip"): str, "mtu": Use(int)}),
        "services": {Any(): {"port": Use(int), "enabled": bool}},
        "tags": ListOf(str),
        "snmp": {"community": str, "version": Or(1, 2)},
        "description": str,
        "protocol": Default(str, "ssh"),
    }
    return Schema({"version": int, Optional("site"): str, "devices": {Any(): dev}}).validate


def pydantic_validator():
    class Strict(pydantic.BaseModel):
        model_config = pydantic.ConfigDict(extra="forbid")

    class Credentials(Strict):
        username: str
        password: str

    class Location(Strict):
        site: str
        rack: int
        row: typing.Optional[str] = None

    class Interface(Strict):
        name: str
        ip: typing.Optional[str] = None
        mtu: int

    class Service(Strict):
        port: int
        enabled: bool

    class Snmp(Strict):
        community: str
        version: typing.Literal[1, 2]

    class Device(Strict):
        hostname: str
        type: typing.Literal["router", "switch"]
        os: str
        version: int
        ip: str
        port: typing.Optional[int] = None
        enabled: bool
        timeout: int
        credentials: Credentials
        location: Location
        interfaces: typing.List[Interface]
        services: typing.Dict[str, Service]
        tags: typing.List[str]
        snmp: Snmp
        description: str
        protocol: str = "ssh"

    class Inventory(Strict):
        version: int
        site: typing.Optional[str] = None
        devices: typing.Dict[str, Device]

    return Inventory.model_validate, lambda model: model.model_dump(exclude_none=True)


def voluptuous_validator():
    v = voluptuous
    dev = {
        "hostname": str,
        "type": v.Any("router", "switch"),
        "os": str,
        "version": v.Coerce(int),
        "ip": str,
        v.Optional("port"): int,
        "enabled": bool,
        "timeout": v.Coerce(int),
        "credentials": {"username": str, "password": str},
        "location": {"site": str, "rack": v.Coerce(int), v.Optional("row"): str},
        "interfaces": [{"name": str, v.Optional("ip"): str, "mtu": v.Coerce(int)}],
        "services": {str: {"port": v.Coerce(int), "enabled": bool}},
        "tags": [str],
        "snmp": {"community": str, "version": v.Any(1, 2)},
        "description": str,
        v.Optional("protocol", default="ssh"): str,
    }
    return v.Schema({"version": int, v.Optional("site"): str, "devices": {str: dev}}, required=True)


def schema_package_validator():
    p = schema_package
    dev = {
        "hostname": str,
        "type": p.Or("router", "switch"),
        "os": str,
        "version": p.Use(int),
        "ip": str,
        p.Optional("port"): int,
        "enabled": bool,
        "timeout": p.Use(int),
        "credentials": {"username": str, "password": str},
        "location": {"site": str, "rack": p.Use(int), p.Optional("row"): str},
        "interfaces": [{"name": str, p.Optional("ip"): str, "mtu": p.Use(int)}],
        "services": {str: {"port": p.Use(int), "enabled": bool}},
        "tags": [str],
        "snmp": {"community": str, "version": p.Or(1, 2)},
        "description": str,
        p.Optional("protocol", default="ssh"): str,
    }
    return p.Schema({"version": int, p.Optional("site"): str, "devices": {str: dev}}).validate


# ----- measuring -----------------------------------------------------------------------------------------


def best_of(runs, data, work):
    best = float("inf")
    for _ in range(runs):
        inputs = copy.deepcopy(data)
        start = time.perf_counter()
        work(inputs)
        best = min(best, time.perf_counter() - start)
    return best


def main():
    data = inventory()
    if sys.argv[1:2] in (["--validate"], ["--only-copy"]):
        ours = veltrane_schema()
        ours(copy.deepcopy(data))  # warm
        inputs = [copy.deepcopy(data) for _ in range(int(sys.argv[2]))]
        if sys.argv[1] == "--validate":
            for one in inputs:
                ours(one)
        return
    values = values_in(data)
    ours = veltrane_schema()
    expected = ours(copy.deepcopy(data))
    peers = []
    if pydantic is not None:
        validate, dump = pydantic_validator()
        assert dump(validate(copy.deepcopy(data))) == expected, "pydantic disagrees"
        peers.append(("pydantic v2", validate, 7))
    if voluptuous is not None:
        validate = voluptuous_validator()
        assert validate(copy.deepcopy(data)) == expected, "voluptuous disagrees"
        peers.append(("voluptuous", validate, 5))
    if schema_package is not None:
        validate = schema_package_validator()
        assert validate(copy.deepcopy(data)) == expected, "the schema package disagrees"
        peers.append(("schema", validate, 3))

    print(f"{DEVICES} devices, {values} values")
    own_time = best_of(7, data, ours)
    print(f"  {'veltrane':12} {own_time * 1000:8.1f} ms")
    # where veltrane's time goes: the top-level step fills in the wildcard default through the
    # framework's ListDict (a flat list of every leaf, rebuilt into new dictionaries), then the rules
    # validate the filled-in data
    schema = ours.__self__
    step_time = best_of(7, data, lambda d: schema.apply_fallback(schema.apply_defaults(d)))
    filled = schema.apply_fallback(schema.apply_defaults(copy.deepcopy(data)))
    rules_time = best_of(7, filled, lambda d: schema.validate(d, top=False))
    print(f"  {'':12} of which the top-level step (defaults, fallbacks) {step_time * 1000:.1f} ms, "
          f"the rules {rules_time * 1000:.1f} ms")
    for name, validate, runs in peers:
        peer_time = best_of(runs, data, validate)
        ratio = peer_time / own_time
        verdict = f"veltrane {ratio:.1f}x faster" if ratio >= 1 else f"veltrane {1 / ratio:.1f}x slower"
        print(f"  {name:12} {peer_time * 1000:8.1f} ms   {verdict}")
    missing = [n for n, m in (("pydantic", pydantic), ("voluptuous", voluptuous), ("schema", schema_package)) if not m]
    if missing:
        print("not installed: " + ", ".join(missing) + ' (pip install ".[bench]")')


if __name__ == "__main__":
    main()
