"""morvak.from_ase and to_ase, with ASE as the oracle."""

import subprocess
import sys

import morvak
import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

import pelmar

ase = pytest.importorskip("ase")
ase_build = pytest.importorskip("ase.build")


def bits(values):
    return np.ascontiguousarray(values, dtype=np.float64).tobytes()


def assert_same_structure(crystal, atoms):
    assert crystal.symbols == tuple(atoms.get_chemical_symbols())
    assert bits(crystal.cell) == bits(atoms.cell.array)
    assert bits(crystal.positions) == bits(atoms.positions)
    assert crystal.pbc == tuple(bool(p) for p in atoms.pbc)


def triclinic():
    rng = np.random.default_rng(4)
    cell = [[4.1, 0.0, 0.0], [-1.3, 3.7, 0.0], [0.6, -0.9, 5.2]]
    atoms = ase.Atoms("Fe2OHe3", cell=cell, pbc=(True, False, True))
    atoms.set_scaled_positions(rng.random((len(atoms), 3)) * 1.4 - 0.2)
    return atoms


STRUCTURES = {
    "silicon": lambda: ase_build.bulk("Si", "diamond", a=5.43, cubic=True),
    "graphene": lambda: ase_build.graphene(size=(2, 2, 1), vacuum=7.5),
    "water, no cell": lambda: ase_build.molecule("H2O"),
    "slab": lambda: ase_build.fcc111("Cu", size=(2, 2, 3), vacuum=4.0),
    "triclinic": triclinic,
    "no atoms": lambda: ase.Atoms(cell=np.eye(3), pbc=False),
}


@pytest.mark.parametrize("name", list(STRUCTURES))
def test_round_trip_through_a_crystal(name):
    atoms = STRUCTURES[name]()
    crystal = morvak.from_ase(atoms)
    assert type(crystal) is pelmar.Crystal
    assert_same_structure(crystal, atoms)
    back = morvak.to_ase(crystal)
    assert type(back) is ase.Atoms
    assert back == atoms  # ASE's equality: numbers, positions, cell, pbc
    assert bits(back.positions) == bits(atoms.positions)
    assert morvak.from_ase(back) == crystal


coordinates = st.floats(-1e6, 1e6, allow_subnormal=True) | st.sampled_from([-0.0, 5e-324])


@settings(max_examples=40, deadline=None)
@given(
    natom=st.integers(0, 6),
    data=st.data(),
    pbc=st.tuples(st.booleans(), st.booleans(), st.booleans()),
)
def test_any_crystal_survives_ase_exactly(natom, data, pbc):
    cell = data.draw(hnp.arrays(np.float64, (3, 3), elements=coordinates))
    positions = data.draw(hnp.arrays(np.float64, (natom, 3), elements=coordinates))
    symbols = data.draw(st.lists(st.sampled_from(["H", "C", "Si", "Og", "U"]), min_size=natom,
                                 max_size=natom))  # fmt: skip
    crystal = pelmar.Crystal(cell, symbols, positions, pbc=pbc)
    atoms = morvak.to_ase(crystal)
    assert_same_structure(crystal, atoms)
    assert morvak.from_ase(atoms) == crystal


def test_atoms_arrays_are_independent_of_the_crystal():
    crystal = morvak.from_ase(ase_build.bulk("Cu"))
    atoms = morvak.to_ase(crystal)
    atoms.positions[0, 0] = 99.0
    atoms.cell.array[0, 0] = 99.0
    assert np.asarray(crystal.positions)[0, 0] == 0.0 and np.asarray(crystal.cell)[0, 0] == 0.0


ERRORS = [
    (morvak.from_ase, lambda: ase.Atoms("X2", positions=np.zeros((2, 3))), ValueError,
     r"from_ase: symbols\[0\]: unknown element symbol 'X'"),
    (morvak.from_ase, lambda: ase.Atoms("H", positions=[[np.nan, 0, 0]]), ValueError,
     r"from_ase: positions\[0\]\[0\]"),
    (morvak.from_ase, lambda: pelmar.Crystal(np.eye(3), ["H"], [[0.0, 0, 0]]), TypeError,
     "from_ase: expected an ase.Atoms, got Crystal"),
    (morvak.to_ase, lambda: ase.Atoms("H"), TypeError, "to_ase: expected a pelmar.Crystal, got Atoms"),
]  # fmt: skip


@pytest.mark.parametrize("function, make, error, message", ERRORS)
def test_errors(function, make, error, message):
    with pytest.raises(error, match=message):
        function(make())


@pytest.mark.parametrize("function", [morvak.from_ase, morvak.to_ase])
def test_missing_ase_names_the_extra(function, monkeypatch):
    monkeypatch.setitem(sys.modules, "ase", None)  # makes `import ase` raise ImportError
    with pytest.raises(ImportError, match=r"needs ASE.*pip install 'morvak\[ase\]'"):
        function(None)


def test_import_morvak_leaves_ase_unloaded():
    code = "import sys, morvak; print('ase' in sys.modules)"
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=False)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "False"
