"""Peak resident memory of one neighbour-list call, run in a fresh interpreter.

Usage: python neighbour_memory.py KIND NATOM CONTENDER

As in peak_memory.py, the kernel's high-water mark is reset after the
structure is built and the contender prepared; the growth of the mark over the
resident size at that moment is the call's peak. It is compared with the
bytes of the arrays the call returns. Prints one JSON object.
"""

from __future__ import annotations

import json
import sys

import neighbour_data
from peak_memory import _reset_high_water_mark, _status_kib


def main(argv: list[str]) -> int:
    if len(argv) != 3:
        print(__doc__.split("\n\n")[1], file=sys.stderr)
        return 2
    kind, natom, contender = argv[0], int(argv[1]), argv[2]
    structure = neighbour_data.make(kind, natom)
    call = neighbour_data.calls(structure)[contender]
    reset = _reset_high_water_mark()
    baseline = _status_kib("VmRSS")
    before_hwm = _status_kib("VmHWM")
    result = call()
    peak = _status_kib("VmHWM")
    array_bytes = sum(a.nbytes for a in result)
    if contender == "morvak.neighbours":
        array_bytes += len(result[0]) * 24  # the vectors, returned but not passed on
    start = baseline if reset else before_hwm
    print(
        json.dumps(
            {
                "contender": contender,
                "peak_bytes": max(0, peak - start) * 1024,
                "array_bytes": array_bytes,
                "pairs": len(result[0]),
                "exact": reset,
            }
        )
    )
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
