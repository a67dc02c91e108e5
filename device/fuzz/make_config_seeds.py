#!/usr/bin/env python3
"""Writes the configuration fuzzer's seeds into DIRECTORY: configuration
files as the configurator writes them, and a few it never would."""
import sys


def document(adapters, data_format="String", declaration='<?xml version="1.0"?>'):
    return (f'{declaration}\n<ROOT DataFormat="{data_format}" Version="1.0">'
            f"{adapters}</ROOT>\n")


def switch(address, alias, type_code, ports, extra=""):
    body = "".join(f'<Port Number="{n}" Alias="{a}"{x}/>' for n, a, x in ports)
    return (f'<SWITCH Address="{address}" Alias="{alias}" Model="T8" '
            f'Type="{type_code}"{extra}>{body}</SWITCH>')


def adapter(switches, name=r"\Device\eth0", active="Yes", timeout="20"):
    return (f'<ADAPTER Name="{name}" Active="{active}" Timeout="{timeout}">'
            f"{switches}</ADAPTER>")


PORTS = [(n, f"P{n}", "") for n in range(1, 9)]
SEEDS = {
    "plain": document(adapter(switch("02.C4.7D.00.00.01", "SW1", 1, PORTS))),
    "integer": document(adapter(
        switch("02.C4.7D.00.00.01", "SW1", 3, PORTS) +
        switch("02.C4.7D.00.00.02", "SW2", 5,
               [(300, "Wrapped", ""), (4, "Off", ' Disabled="Yes"'),
                ("-1", "Minus", ""), ("  +7", "Seven", "")])),
        "Integer"),
    "adapters": document(
        adapter(switch("02.C4.7D.00.00.09", "X", 0, PORTS), name=r"\Device\eth1") +
        adapter(switch("02.C4.7D.00.00.01", "SW1", 2, PORTS), timeout="0") +
        adapter("", name="eth0")),
    "inactive": document(adapter(switch("02.C4.7D.00.00.01", "S", 1, PORTS),
                                 active="No")),
    "utf16": None,  # written below
    "entities": document(adapter(switch(
        "02.C4.7D.00.00.01", "S&amp;W &#x10348;&lt;1&gt;", 4,
        [(1, "&#233;t&#233;", ""), (2, "x" * 255, "")]))),
    "broken": '<?xml version="1.0"?><ROOT><ADAPTER Name="\\Device\\eth0"',
}
SEEDS_BYTES = {k: v.encode() for k, v in SEEDS.items() if v is not None}
SEEDS_BYTES["utf16"] = b"\xff\xfe" + document(
    adapter(switch("02.C4.7D.00.00.01", "Wide", 1, PORTS)),
    declaration='<?xml version="1.0" encoding="UTF-16"?>').encode("utf-16-le")

for name, data in SEEDS_BYTES.items():
    with open(f"{sys.argv[1]}/{name}.xml", "wb") as f:
        f.write(data)
