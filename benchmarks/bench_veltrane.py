"""Validation of a large configuration: quarv.utils.veltrane against the `schema` package.

About 1,000 devices of about 20 keys each, in nested mappings and lists, validated against a schema
with Optional keys, a wildcard key for the devices, Use conversions, Or alternatives, ListOf lists
and a few defaults; the peer validates the same data against the equivalent schema written for the
`schema` package. Same data, same process; prints the best time of several runs and the ratio.
Run: python benchmarks/bench_veltrane.py   (needs: pip install schema)
"""

import copy
import time

from quarv.utils.veltrane import Any, Default, ListOf, Optional, Or, Schema, Use

try:
    import schema as peer
except ImportError:
    peer = None

DEVICES = 1000


def device(i):
    entry = {
        "hostname": f"dev{i:04d}",
        "type": ("router", "switch", "firewall")[i % 3],
        "os": "ios",
        "ip": f"10.{i // 256}.{i % 256}.1",
        "enabled": i % 7 != 0,
        "timeout": str(10 + i % 50),
        "credentials": {"username": "admin", "password": f"pw{i}"},
        "location": {"site": f"site{i % 12}", "rack": i % 40},
        "interfaces": [
            {"name": "eth0", "ip": f"192.168.{i % 256}.1", "mtu": "1500"},
            {"name": "eth1", "mtu": "9000"},
        ],
        "tags": ["core", "lab"] if i % 2 else ["edge"],
        "vlans": [10, 20, "30"],
        "snmp": {"community": "public", "version": 1 + i % 3},
        "description": f"device number {i}",
    }
    if i % 3 == 0:
        entry["port"] = 2222
        entry["location"]["row"] = f"r{i % 5}"
    if i % 5 == 0:
        entry["retries"] = 5
    return entry


def configuration():
    return {"version": 2, "site": "lab", "devices": {f"dev{i:04d}": device(i) for i in range(DEVICES)}}


def own_schema():
    dev = {
        "hostname": str,
        "type": Or("router", "switch", "firewall"),
        "os": str,
        "ip": str,
        Optional("port"): int,
        "enabled": bool,
        "timeout": Use(int),
        "credentials": {"username": str, "password": str},
        "location": {"site": str, "rack": int, Optional("row"): str},
        "interfaces": ListOf({"name": str, Optional("ip"): str, "mtu": Use(int)}),
        "tags": ListOf(str),
        "vlans": ListOf(Or(int, Use(int))),
        "snmp": {"community": str, "version": Or(1, 2, 3)},
        "description": str,
        "retries": Default(int, 3),
        "protocol": Default(str, "ssh"),
    }
    return Schema({"version": int, Optional("site"): str, "devices": {Any(): dev}})


def peer_schema():
    dev = {
        "hostname": str,
        "type": peer.Or("router", "switch", "firewall"),
        "os": str,
        "ip": str,
        peer.Optional("port"): int,
        "enabled": bool,
        "timeout": peer.Use(int),
        "credentials": {"username": str, "password": str},
        "location": {"site": str, "rack": int, peer.Optional("row"): str},
        "interfaces": [{"name": str, peer.Optional("ip"): str, "mtu": peer.Use(int)}],
        "tags": [str],
        "vlans": [peer.Or(int, peer.Use(int))],
        "snmp": {"community": str, "version": peer.Or(1, 2, 3)},
        "description": str,
        peer.Optional("retries", default=3): int,
        peer.Optional("protocol", default="ssh"): str,
    }
    return peer.Schema({"version": int, peer.Optional("site"): str, "devices": {str: dev}})


def best_of(runs, data, work):
    best = float("inf")
    result = None
    for _ in range(runs):
        inputs = copy.deepcopy(data)
        start = time.perf_counter()
        result = work(inputs)
        best = min(best, time.perf_counter() - start)
    return best, result


def main():
    data = configuration()
    ours = own_schema()
    own_time, own_result = best_of(7, data, ours.validate)
    print(f"veltrane  Schema.validate   {own_time * 1000:9.1f} ms")
    if peer is None:
        print("schema package not installed: pip install schema")
        return
    theirs = peer_schema()
    peer_time, peer_result = best_of(3, data, theirs.validate)
    assert own_result == peer_result, "the two validations disagree"
    print(f"schema    Schema.validate   {peer_time * 1000:9.1f} ms")
    print(f"ratio (schema / veltrane)   {peer_time / own_time:9.1f} x")


if __name__ == "__main__":
    main()
