"""Peak resident memory of one file operation, run in a fresh interpreter.

Usage: python peak_memory.py OPERATION LAYOUT EXTXYZ OUT

Native allocations are invisible to tracemalloc, so the kernel's own counters
are read instead: the high-water mark is reset (or, where the kernel does not
allow that, recorded) after the imports and the preparation, and the growth of
the high-water mark over the resident size at that moment is the operation's
peak. Prints one JSON object.
"""

from __future__ import annotations

import json
import sys
from pathlib import Path

import file_ops


def _status_kib(field: str) -> int:
    with open("/proc/self/status", encoding="ascii") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError(f"/proc/self/status has no {field}")


def _reset_high_water_mark() -> bool:
    try:
        with open("/proc/self/clear_refs", "w", encoding="ascii") as refs:
            refs.write("5")
        return True
    except OSError:
        return False


def measure(name: str, layout: Path, extxyz: Path, out: Path) -> dict:
    call = file_ops.prepare(name, layout, extxyz, out)
    reset = _reset_high_water_mark()
    baseline = _status_kib("VmRSS")
    before_hwm = _status_kib("VmHWM")
    result = call()
    peak = _status_kib("VmHWM")
    del result
    # Without a reset the mark may still hold a peak from the imports; then
    # only growth beyond it is visible and the figure is a lower bound.
    start = baseline if reset else before_hwm
    return {
        "operation": name,
        "peak_bytes": max(0, peak - start) * 1024,
        "baseline_bytes": baseline * 1024,
        "exact": reset,
    }


def main(argv: list[str]) -> int:
    if len(argv) != 4:
        print(__doc__.split("\n\n")[1], file=sys.stderr)
        return 2
    name, layout, extxyz, out = argv
    print(json.dumps(measure(name, Path(layout), Path(extxyz), Path(out))))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
