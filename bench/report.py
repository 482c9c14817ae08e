"""Write a Markdown report (docs/benchmarks.md) from a results JSON of run.py.

    python bench/report.py bench/results/results.json docs/benchmarks.md [--command "./dev bench"]
    python bench/report.py RESULTS.json OUT.md --section "Neighbour lists" --append

The report states the machine, the BLAS libraries and thread counts of both
sides, the command, how busy the machine was, every comparison and the
verdict on each target. It refuses nothing: judging whether the run was made
on a quiet machine is left to the reader, who sees the load averages.
"""

from __future__ import annotations

import argparse
import json
import sys
from pathlib import Path

import targets
from common import format_seconds


def _md_table(header: list[str], body: list[list[str]]) -> list[str]:
    lines = ["| " + " | ".join(header) + " |", "|" + "|".join("---" for _ in header) + "|"]
    lines += ["| " + " | ".join(cells) + " |" for cells in body]
    return lines


def _machine(meta: dict, command: str) -> list[str]:
    m = meta["machine"]
    versions = ", ".join(f"{k} {v}" for k, v in m["versions"].items() if v)
    tuning = ", ".join(f"{k}={v}" for k, v in m["tuning_variables"].items() if v) or "none set"
    load_start = ", ".join(f"{x:.2f}" for x in m["load_average_at_start"])
    load_end = ", ".join(f"{x:.2f}" for x in meta.get("load_average_at_end", []))
    return [
        f"- Command: `{command}`",
        f"- Started: {meta['started']}; took {meta.get('seconds', 0):.0f} s",
        (
            f"- Machine: {m['cpu']}, {m['usable_cpus']} usable of {m['logical_cpus']} "
            f"logical CPUs, {m['memory_gib']:.1f} GiB; {m['platform']}"
        ),
        f"- Python {m['python']}; {versions}",
        f"- Load average (1, 5, 15 min) at start: {load_start}; at end: {load_end}",
        f"- OpenBLAS tuning variables: {tuning}",
        f"- Options: `{json.dumps(meta['options'])}`",
    ]


def _pools(meta: dict) -> list[str]:
    info = meta["threads"]
    body = [
        [
            p["owner"],
            f"{p['internal_api']} {p.get('version') or ''}".strip(),
            p.get("architecture") or "",
            p.get("threading_layer") or "",
            str(p["num_threads"]),
            f"`{p['filepath']}`",
        ]
        for p in info["pools"]
    ]
    lines = [
        f"Threads requested on both sides: {info['requested_threads']} (threadpoolctl's reading):",
        "",
    ]
    lines += _md_table(["used by", "library", "kernel", "threading", "threads", "path"], body)
    if not any("haldo" in p["owner"].split(", ") for p in info["pools"]):
        lines += ["", "haldo was not loaded: no library above serves its calls."]
    for p in info["limited_after_import"]:
        lines += [
            "",
            f"{p['filepath']} started with {p['num_threads_before']} threads and was limited.",
        ]
    return lines


def _results(rows: list[dict]) -> list[str]:
    body = [
        [
            r["group"],
            r["operation"],
            r["flavour"],
            str(r["size"]),
            r["ours"]["name"],
            format_seconds(r["ours"]["median_s"]).strip(),
            r["peer"]["name"],
            format_seconds(r["peer"]["median_s"]).strip(),
            f"{r['ratio']:.2f}",
        ]
        for r in rows
    ]
    header = [
        "group",
        "operation",
        "flavour",
        "size",
        "this project",
        "median",
        "peer",
        "median",
        "ratio",
    ]
    return _md_table(header, body)


def _extras(rows: list[dict], keys: list[tuple[str, str, str]], flavour: bool = False) -> list[str]:
    seen, body = set(), []
    for r in rows:
        for s in (r["ours"], r["peer"]):
            cells = [r["operation"]] + ([r["flavour"]] if flavour else [])
            cells += [str(r["size"]), s["name"]]
            cells += [
                "-" if s["extra"].get(k) is None else format(s["extra"][k], spec)
                for k, _, spec in keys
            ]
            if tuple(cells) not in seen:
                seen.add(tuple(cells))
                body.append(cells)
    header = ["operation"] + (["flavour"] if flavour else []) + ["size", "side"]
    return _md_table(header + [title for _, title, _ in keys], body)


def render(data: dict, command: str | None, section: str | None = None) -> str:
    """The whole report, or with `section` one part of a longer document: a
    level-2 heading of that title with the run's parts one level below it."""
    meta, rows = data["meta"], data["results"]
    if section is None:
        lines = ["# Benchmarks", ""]
        lines += [
            "Medians over repeats, this project and its peer timed alternately in one process.",
            "Ratio is this project's time over the peer's: below 1 is faster.",
            "",
        ]
        h2, h3 = "##", "###"
    else:
        lines = [f"## {section}", ""]
        h2, h3 = "###", "####"
    lines += [f"{h2} Run", ""]
    lines += _machine(meta, command or meta["command"])
    lines += ["", f"{h2} BLAS and thread pools", ""] + _pools(meta)
    lines += ["", f"{h2} Results", ""] + _results(rows)
    calls = [r for r in rows if r["group"] == "calls"]
    if calls:
        lines += ["", f"{h3} Per-call cost", ""]
        lines += _extras(
            calls,
            [
                ("ns_per_call", "ns/call", ".1f"),
                ("ns_per_call_minus_loop", "ns/call less the loop", ".1f"),
            ],
        )
    files = [r for r in rows if r["group"] == "files"]
    if files:
        lines += ["", f"{h3} Structure files", ""]
        lines += _extras(
            files,
            [
                ("file_MB", "file MB", ".1f"),
                ("MB_per_s", "MB/s", ".1f"),
                ("atoms_per_s", "atoms/s", ".3g"),
                ("peak_MB", "peak MB", ".1f"),
                ("peak_x_arrays", "peak / arrays", ".2f"),
            ],
        )
        lines += [
            "",
            "Arrays: 26 bytes per atom (three float64 coordinates and a two-character symbol).",
        ]
    neighbours = [r for r in rows if r["group"] == "neighbours"]
    if neighbours:
        lines += ["", f"{h3} Neighbour lists", ""]
        lines += _extras(
            neighbours,
            [
                ("pairs", "pairs", ".0f"),
                ("pairs_per_s", "pairs/s", ".3g"),
                ("peak_MB", "peak MB", ".1f"),
                ("arrays_MB", "arrays MB", ".1f"),
                ("peak_x_arrays", "peak / arrays", ".2f"),
            ],
            flavour=True,
        )
        lines += [
            "",
            (
                "Arrays: what each side returns, i, j, shift and distance (and the vectors for "
                "morvak.neighbours). A peer named 'extrapolated' was not run at that size."
            ),
        ]
    verdicts = targets.check(rows)
    lines += ["", f"{h2} Targets", ""]
    lines += [f"- {v.line()}" for v in verdicts] or ["No row of this run falls under a target."]
    return "\n".join(lines) + "\n"


def main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument("results", type=Path, help="JSON written by run.py")
    parser.add_argument("output", type=Path, help="Markdown file to write")
    parser.add_argument("--command", help="the command to state (default: as run.py recorded it)")
    parser.add_argument("--section", help="write one part of a document, under this heading")
    parser.add_argument("--append", action="store_true", help="add to the output file")
    args = parser.parse_args(argv)
    data = json.loads(args.results.read_text())
    args.output.parent.mkdir(parents=True, exist_ok=True)
    text = render(data, args.command, args.section)
    if args.append and args.output.exists():
        text = args.output.read_text().rstrip("\n") + "\n\n" + text
    args.output.write_text(text)
    print(f"wrote {args.output}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
