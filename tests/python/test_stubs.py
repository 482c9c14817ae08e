"""The type stubs of haldo and pelmar, checked with mypy as a user's project sees them."""

import os
import pathlib
import re
import site
import subprocess
import sys
import textwrap

import pytest

import haldo
import pelmar

pytest.importorskip("mypy")

REPO_STUBS = pathlib.Path(__file__).resolve().parents[2] / "stubs"
MODULE_DIR = pathlib.Path(pelmar.__file__).resolve().parent
# An installed package puts its stub packages beside the modules in site-packages.
INSTALLED = (MODULE_DIR / "pelmar-stubs").is_dir()

GOOD = """
    import pathlib

    import numpy as np

    import haldo
    import pelmar

    h = haldo.HamiltonianReal()
    h.zeros(2, 2)
    h.set(0, 1, -1.0)
    h.set(1, 0, -1)
    product: haldo.OperatorReal = h.transpose() + h * h.inverse() - haldo.OperatorReal()
    real: float = product.get(0, 1) + h.det()
    hermitian: bool = h.is_hermitian() and h.is_symmetric()
    h.eigen()
    z = haldo.HamiltonianComplex()
    z.eye(3, 3)
    value: complex = z.det() + z.get(0, 0)
    b = haldo.BasisComplex()
    b.randu(3)
    b.zeros()
    w: complex = (b + b - b).get(0)
    r = haldo.BasisReal()
    r.set_size(2)
    r.set(0, 2.5)
    element: float = r.get(0)

    c = pelmar.Crystal(np.eye(3), ["Si"], [[0.0, 0, 0]])
    d = pelmar.Crystal([[1, 0, 0], [0, 1, 0], [0, 0, 1]], ("H", "H"), np.zeros((2, 3)))
    pelmar.write_xyz(pathlib.Path("x.xyz"), c)
    loaded: pelmar.Crystal = pelmar.load_xyz(b"x.xyz")
    count: int = c.natom + len(d)
    symbols: tuple[str, ...] = loaded.symbols
    positions = np.asarray(loaded.positions)
    cell: memoryview = loaded.cell
    same: bool = c == d
    pelmar.read_xyz("x.xyz")
    test: dict[str, object] = pelmar.__test__
    slab = pelmar.Crystal(np.eye(3), [], [], pbc=(True, True, False))
    periodic: tuple[bool, bool, bool] = slab.pbc
    pelmar.Crystal(np.eye(3), [], [], pbc=False)
    pelmar.Crystal(np.eye(3), [], [], pbc=np.array([1, 1, 0], dtype=bool))
"""

# Each line holds one mistake, with the mypy error code it must draw.
BAD = [
    ("r: float = haldo.OperatorComplex().get(0, 0)", "assignment"),
    ("haldo.OperatorReal() + haldo.OperatorComplex()", "operator"),
    ("haldo.BasisReal() - haldo.OperatorReal()", "operator"),
    ("h: haldo.HamiltonianReal = haldo.HamiltonianReal().transpose()", "assignment"),
    ("haldo.BasisReal().zeros(2, 2)", "call-overload"),
    ("haldo.OperatorReal().eye(2)", "call-overload"),
    ("haldo.BasisReal().get(arg0=0)", "call-arg"),
    ("haldo.BasisComplex().set(0, 1j)", "arg-type"),
    ("pelmar.read_xyz(b'x.xyz')", "arg-type"),
    ("pelmar.load_xyz('x.xyz').natom = 3", "misc"),
    ("pelmar.write_xyz('x.xyz', 'not a crystal')", "arg-type"),
    ("pelmar.Crystal([[0.0] * 3] * 3, ['Si'], [['x', 'y', 'z']])", "arg-type"),
    ("n: str = pelmar.load_xyz('x.xyz').symbols", "assignment"),
    ("pelmar.Crystal([[0.0] * 3] * 3, [], [], pbc='TTF')", "arg-type"),
    ("pelmar.load_xyz('x.xyz').pbc = (True, True, True)", "misc"),
]


def run_mypy(directory, *files):
    env = dict(os.environ)
    env.pop("MYPYPATH", None)
    if INSTALLED:
        env.pop("PYTHONPATH", None)
    else:
        # mypy looks for <module>-stubs in every folder of the interpreter's
        # path, as it does in site-packages.
        env["PYTHONPATH"] = str(REPO_STUBS)
    command = [sys.executable, "-m", "mypy", "--strict", "--no-incremental"]
    command += ["--cache-dir", os.devnull, "--no-error-summary", *files]
    done = subprocess.run(
        command, cwd=directory, env=env, capture_output=True, text=True, timeout=300, check=False
    )
    return done.returncode, done.stdout + done.stderr


def test_mypy_accepts_correct_use_and_reports_each_mistake(tmp_path):
    (tmp_path / "good.py").write_text(textwrap.dedent(GOOD))
    bad = ["import haldo", "import pelmar", *(line for line, _ in BAD)]
    (tmp_path / "bad.py").write_text("\n".join(bad) + "\n")
    status, output = run_mypy(tmp_path, "good.py", "bad.py")
    assert status == 1, output
    assert "good.py" not in output
    found = {}
    for line, code in re.findall(r"^bad\.py:(\d+): error: .*\[([\w-]+)\]$", output, re.MULTILINE):
        found.setdefault(int(line), set()).add(code)
    expected = {number: {code} for number, (_, code) in enumerate(BAD, start=3)}
    assert found == expected, output


def test_stubs_match_the_modules(tmp_path):
    # pybind11 classes have a metaclass of their own that stubs can't name.
    allowlist = tmp_path / "allowlist.txt"
    allowlist.write_text("".join(f"haldo.{name}\n" for name in dir(haldo) if name[0].isupper()))
    stubs = MODULE_DIR if INSTALLED else REPO_STUBS
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(stubs), str(MODULE_DIR)]))
    done = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "--allowlist", str(allowlist), "haldo", "pelmar"],
        cwd=tmp_path, env=env, capture_output=True, text=True, timeout=300, check=False,
    )  # fmt: skip
    assert done.returncode == 0, done.stdout + done.stderr


def test_installed_package_ships_its_stubs():
    if str(MODULE_DIR) not in map(str, map(pathlib.Path, site.getsitepackages())):
        pytest.skip("the modules under test are not installed in site-packages")
    for name in ("haldo", "pelmar"):
        stub = MODULE_DIR / f"{name}-stubs" / "__init__.pyi"
        assert stub.read_text() == (REPO_STUBS / f"{name}-stubs" / "__init__.pyi").read_text()
