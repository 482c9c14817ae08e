import pathlib
import re
import subprocess
import sys

import pytest

pelmar = pytest.importorskip("pelmar")
pytest.importorskip("matplotlib")
SCRIPT = pathlib.Path(__file__).parents[2] / "examples" / "tight_binding.py"


def number(pattern: str, text: str) -> list[float]:
    found = re.search(pattern, text)
    assert found, f"no line matching {pattern!r} in:\n{text}"
    return [float(x) for x in found.groups()]


def test_example_reproduces_the_physics(tmp_path):
    # A smaller sheet than the example's million atoms keeps the test fast;
    # the physics checked is the same.
    out = tmp_path / "figures"
    run = subprocess.run(
        [sys.executable, str(SCRIPT), "--out", str(out), "--atoms", "40000"],
        capture_output=True,
        text=True,
        timeout=300,
        check=False,
    )
    assert run.returncode == 0, run.stderr
    text = run.stdout
    assert number(r"deviation from the analytic bands: (\S+) eV", text)[0] < 1e-10
    low, high = number(r"van Hove peaks at (\S+) and (\S+) eV", text)
    assert low == pytest.approx(-2.7, abs=0.1) and high == pytest.approx(2.7, abs=0.1)
    slope, dirac = number(r"DOS near E = 0: (\S+) \|E\| .* \(Dirac cone: (\S+) \|E\|\)", text)
    assert slope == pytest.approx(dirac, rel=0.15)
    assert number(r"DOS integral: (\S+)", text)[0] == pytest.approx(1, abs=1e-3)
    gap, estimate = number(r"band gap (\S+) eV \(zone-folding estimate .* = (\S+) eV\)", text)
    assert gap == pytest.approx(estimate, rel=0.25)

    # The haldo part: print_eigen's eigenvalues match the analytic ring.
    lines = text.splitlines()
    k = next(n for n, line in enumerate(lines) if line.startswith("expected eigenvalues (eV):"))
    expected = [float(x) for x in lines[k].split(":", 1)[1].split()]
    assert lines[k + 1].startswith("eigenvalues (eV, ascending)")
    computed = [float(x) for x in lines[k + 2 : k + 2 + len(expected)]]
    assert computed == pytest.approx(expected, abs=2e-3)
    assert "hermitian True" in text

    names = {p.name for p in out.glob("*.png")}
    assert names == {"graphene_bands.png", "graphene_dos.png", "nanotube_bands.png"}
    assert all((out / name).read_bytes()[:8] == b"\x89PNG\r\n\x1a\n" for name in names)
