"""The benchmark suite runs end to end at its smallest sizes and reports sane numbers.

Nothing here judges speed: the machine running the tests may be busy.
"""

import json
import math
import subprocess
import sys
from pathlib import Path

import pytest

for _name in ("numpy", "scipy", "ase", "threadpoolctl"):
    pytest.importorskip(_name)

import haldo

BENCH = Path(__file__).resolve().parents[2] / "bench"
HAS_OPERATORS = hasattr(haldo, "OperatorReal")


def _pelmar_has(name):
    try:
        import pelmar
    except ImportError:
        return False
    return hasattr(pelmar, name)


@pytest.fixture(scope="module")
def smoke(tmp_path_factory):
    folder = tmp_path_factory.mktemp("bench")
    out = folder / "results.json"
    command = [
        sys.executable,
        str(BENCH / "run.py"),
        "--threads=1",
        "--sizes=12",
        "--null",
        "--interleave-sizes=12,12",
        "--calls=300",
        "--atoms=40",
        "--bridge-order=12",
        "--neighbour-atoms=200",
        "--model-sites=200",
        "--model-kpoints=4",
        "--model-moments=16",
        "--repeats=2",
        "--max-repeats=2",
        "--budget=0",
        f"--data-dir={folder / 'data'}",
        f"--json={out}",
    ]
    done = subprocess.run(command, capture_output=True, text=True, timeout=300, check=False)
    assert done.returncode == 0, done.stderr
    return done.stdout, json.loads(out.read_text()), folder


def _positive(value):
    return isinstance(value, float) and math.isfinite(value) and value > 0


def test_table_has_a_line_per_comparison(smoke):
    stdout, data, _ = smoke
    assert "this project" in stdout and "ratio" in stdout
    for row in data["results"]:
        assert row["ours"]["name"] in stdout and row["peer"]["name"] in stdout


def test_every_number_is_positive_and_finite(smoke):
    _, data, _ = smoke
    assert data["results"]
    for row in data["results"]:
        assert _positive(row["ratio"])
        for side in (row["ours"], row["peer"]):
            assert len(side["times_s"]) == 2
            assert all(_positive(t) for t in side["times_s"])
            assert _positive(side["median_s"])
            # The loop-corrected figure may dip below zero for the cheapest calls.
            assert all(math.isfinite(v) for v in side["extra"].values())
            for key in ("ns_per_call", "MB_per_s", "atoms_per_s"):
                assert key not in side["extra"] or _positive(side["extra"][key])
            assert side["extra"].get("peak_MB", 0.0) >= 0


def test_groups_present_as_the_build_allows(smoke):
    _, data, _ = smoke
    groups = {row["group"] for row in data["results"]}
    assert "calls" in groups
    assert ("linalg" in groups) == HAS_OPERATORS
    assert ("linalg null" in groups) == HAS_OPERATORS
    assert ("interleave" in groups) == HAS_OPERATORS
    assert ("files" in groups) == _pelmar_has("read_xyz")
    assert "bridge" in groups
    assert "neighbours" in groups
    assert "extxyz" in groups
    if HAS_OPERATORS:
        operations = {r["operation"] for r in data["results"] if r["group"] == "linalg"}
        assert {"product", "inverse", "det", "eigen hermitian", "eigen general"} <= operations


def test_files_report_throughput_and_memory(smoke):
    _, data, _ = smoke
    reads = [r for r in data["results"] if r["group"] == "files"]
    if not reads:
        pytest.skip("pelmar is not built")
    for row in reads:
        for side in (row["ours"], row["peer"]):
            assert {"MB_per_s", "atoms_per_s", "peak_MB", "peak_x_arrays"} <= set(side["extra"])


def test_thread_count_is_reported_for_every_pool(smoke):
    _, data, _ = smoke
    pools = data["meta"]["threads"]["pools"]
    owners = {p["owner"] for p in pools if p["user_api"] == "blas"}
    assert any(owner.startswith("numpy") for owner in owners), owners
    assert all(p["num_threads"] == 1 for p in pools)


def test_report_renders_from_the_json(smoke):
    _, _, folder = smoke
    report = folder / "benchmarks.md"
    done = subprocess.run(
        [sys.executable, str(BENCH / "report.py"), str(folder / "results.json"), str(report)],
        capture_output=True,
        text=True,
        timeout=60,
        check=False,
    )
    assert done.returncode == 0, done.stderr
    text = report.read_text()
    assert "## BLAS and thread pools" in text and "## Targets" in text


@pytest.mark.skipif(not HAS_OPERATORS, reason="haldo's operators are not built")
@pytest.mark.parametrize(
    ("script", "options", "rows"),
    [
        ("blas_builds.py", ["--sizes=12", "--rounds=1"], 4),
        ("lapack_builds.py", ["--sizes=12", "--rounds=1", "--threads=1"], 4),
        ("paired_linalg.py", ["--sizes=12", "--rounds=1", "--threads=1"], 10),
    ],
)
def test_build_comparisons_give_a_positive_ratio_in_every_cell(script, options, rows):
    done = subprocess.run(
        [sys.executable, str(BENCH / script), *options],
        capture_output=True,
        text=True,
        timeout=120,
        check=False,
    )
    assert done.returncode == 0, done.stderr
    table = [
        line for line in done.stdout.splitlines() if line.startswith("| ") and "| 12 |" in line
    ]
    assert len(table) == rows
    for line in table:
        # Ratio cells start with their figure ("1.02 (0.98-1.05)", "1.02 [0.99, 1.05] ...");
        # "-" marks one that does not apply (a verdict needs two rounds or more).
        figures = [c.split()[0] for c in line.strip("|").split("|")[3:] if c.strip() != "-"]
        assert figures and all(_positive(float(f)) for f in figures)
