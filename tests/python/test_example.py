import pathlib
import subprocess
import sys

import pytest

pelmar = pytest.importorskip("pelmar")
SCRIPT = pathlib.Path(__file__).parents[2] / "examples" / "tight_binding.py"


def spectra(output: str):
    """Pairs of (expected, computed) eigenvalue lists from the example's output."""
    lines = output.splitlines()
    result = []
    for k, line in enumerate(lines):
        if line.startswith("expected eigenvalues (eV):"):
            expected = [float(x) for x in line.split(":", 1)[1].split()]
            header = k + 1
            assert lines[header].startswith("eigenvalues (eV, ascending)")
            computed = [float(x) for x in lines[header + 1 : header + 1 + len(expected)]]
            result.append((expected, computed))
    return result


def test_example_reproduces_analytic_spectra():
    run = subprocess.run(
        [sys.executable, str(SCRIPT)], capture_output=True, text=True, timeout=120, check=True
    )
    assert run.stderr == ""
    assert run.stdout.count("H is hermitian: True") == 2
    assert "found 48 nearest-neighbour bonds" in run.stdout
    pairs = spectra(run.stdout)
    assert [len(expected) for expected, _ in pairs] == [32, 12]
    for expected, computed in pairs:
        assert computed == sorted(computed)
        assert computed == pytest.approx(expected, abs=2e-3)
