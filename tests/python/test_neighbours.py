"""morvak.neighbours against ASE's and vesin's neighbour lists."""

import pickle

import morvak
import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import pelmar

ase = pytest.importorskip("ase")
from ase.neighborlist import neighbor_list

vesin = pytest.importorskip("vesin")

# Pairs closer than this to the cutoff may fall either way in ASE's arithmetic.
TIE = 1e-9


def crystal(cell, positions, pbc=(True, True, True)):
    return pelmar.Crystal(cell, ["Si"] * len(positions), positions, pbc=pbc)


def keyset(i, j, shift, distance, cutoff):
    keep = np.abs(distance - cutoff) > TIE
    return set(zip(i[keep].tolist(), j[keep].tolist(), map(tuple, shift[keep].tolist())))


def check_against_ase(cell, positions, cutoff, pbc):
    cell, positions = np.asarray(cell, float), np.asarray(positions, float)
    found = morvak.neighbours(crystal(cell, positions, pbc), cutoff)
    assert found.i.dtype == found.j.dtype == found.shift.dtype == np.int64
    assert found.shift.shape == found.vector.shape == (len(found), 3)
    # Own invariants: the vector is what it says, ordered by (i, j, S), no self pair.
    expected = positions[found.j] - positions[found.i] + found.shift @ cell
    np.testing.assert_allclose(found.vector, expected, rtol=1e-12, atol=1e-9)
    np.testing.assert_allclose(found.distance, np.linalg.norm(found.vector, axis=1), rtol=1e-14)
    assert np.all(found.distance < cutoff)
    keys = np.column_stack([found.i, found.j, found.shift])
    assert np.all(np.diff(np.lexsort(keys.T[::-1])) == 1)
    assert len({tuple(k) for k in keys.tolist()}) == len(found)
    assert not np.any((found.i == found.j) & ~found.shift.any(axis=1))
    assert np.all(found.shift[:, ~np.array(pbc)] == 0)
    atoms = ase.Atoms(positions=positions, cell=cell, pbc=pbc)
    i, j, shift, d = neighbor_list("ijSd", atoms, cutoff)
    assert keyset(found.i, found.j, found.shift, found.distance, cutoff) == keyset(
        i, j, shift, d, cutoff
    )
    return found


@st.composite
def structures(draw):
    pbc = tuple(draw(st.lists(st.booleans(), min_size=3, max_size=3)))
    lengths = draw(st.lists(st.floats(1.0, 5.0), min_size=3, max_size=3))
    skew = draw(st.lists(st.floats(-0.6, 0.6), min_size=6, max_size=6))
    cell = np.diag(lengths)
    cell[np.triu_indices(3, 1)] = np.array(skew[:3]) * lengths[0]
    cell[np.tril_indices(3, -1)] = np.array(skew[3:]) * lengths[2]
    if abs(np.linalg.det(cell)) < 0.2 * np.prod(lengths):
        cell = np.diag(lengths)
    # Cutoffs up to 2.5 times the thinnest layer of the cell: many images.
    heights = 1 / np.linalg.norm(np.linalg.inv(cell), axis=0)
    cutoff = draw(st.floats(0.3, 2.5)) * float(np.min(heights))
    # Open axes may have no cell vector at all.
    for k in range(3):
        if not pbc[k] and draw(st.booleans()):
            cell[k] = 0.0
    n = draw(st.integers(1, 10))
    seed = draw(st.integers(0, 2**32 - 1))
    rng = np.random.default_rng(seed)
    # Fractions beyond [0, 1): atoms outside the cell, on open axes too.
    fractions = rng.uniform(-0.7, 1.7, size=(n, 3))
    positions = fractions @ np.where(np.abs(cell).sum(1, keepdims=True) > 0, cell, np.eye(3))
    return cell, positions, cutoff, pbc


@settings(max_examples=120, deadline=None)
@given(structures())
def test_same_pairs_as_ase(case):
    check_against_ase(*case)


@pytest.mark.parametrize(
    "cell, positions, cutoff, pbc",
    [
        # Cutoff of several cells: many images of one atom, including its own.
        ([[1.0, 0, 0], [0.4, 1.1, 0], [0.2, 0.3, 0.9]], [[0.1, 0.2, 0.3]], 3.3, (True,) * 3),
        # Graphene sheet without a third cell vector; a molecule without any cell.
        (
            [[2.46, 0, 0], [-1.23, 2.1304, 0], [0, 0, 0]],
            [[0, 0, 0], [1.23, 0.71014, 0]],
            1.6,
            (True, True, False),
        ),
        (np.zeros((3, 3)), [[0, 0, 0], [0, 0, 1.1], [0, 0.9, 0], [5, 5, 5]], 1.5, (False,) * 3),
        # Atoms hundreds of cells away: shifts too wide for the compact pair store.
        (
            [[1.0, 0, 0], [0.3, 1.2, 0], [0, 0, 1.1]],
            [[0.1, 0.2, 0.3], [600.5, 0.4, -700.2], [-0.3, 900.0, 2.0], [0.9, 0.1, 0.2]],
            1.5,
            (True,) * 3,
        ),
        # Atoms on top of each other and a chain along one periodic axis.
        (
            [[3.0, 0, 0], [0, 0, 0], [0, 0, 0]],
            [[0, 0, 0], [0, 0, 0], [1, 0, 0]],
            2.5,
            (True, False, False),
        ),
    ],
)
def test_special_structures(cell, positions, cutoff, pbc):
    assert len(check_against_ase(cell, positions, cutoff, pbc)) > 0


def test_many_atoms_against_vesin():
    # Enough atoms for both threads and many bins; a skewed cell with atoms outside it.
    rng = np.random.default_rng(5)
    cell = np.array([[60.0, 0, 0], [18.0, 56.0, 0], [-12.0, 14.0, 52.0]])
    positions = rng.uniform(-0.2, 1.2, size=(20000, 3)) @ cell
    found = morvak.neighbours(crystal(cell, positions), 2.0)
    i, j, shift, d = vesin.NeighborList(cutoff=2.0, full_list=True).compute(
        positions, cell, True, quantities="ijSd"
    )
    assert keyset(found.i, found.j, found.shift, found.distance, 2.0) == keyset(i, j, shift, d, 2.0)
    assert np.all(np.diff(found.i) >= 0)


def test_pbc_argument_and_ase_atoms():
    cell = np.diag([2.0, 2.0, 2.0])
    c = crystal(cell, [[0, 0, 0]], pbc=(True, False, True))
    assert len(morvak.neighbours(c, 2.1)) == 4  # +-x, +-z
    assert len(morvak.neighbours(c, 2.1, pbc=True)) == 6
    assert len(morvak.neighbours(c, 2.1, pbc=[False, False, True])) == 2
    atoms = ase.Atoms("Si", positions=[[0, 0, 0]], cell=cell, pbc=(True, True, False))
    assert len(morvak.neighbours(atoms, 2.1)) == 4
    assert len(morvak.neighbours(ase.Atoms(), 2.1)) == 0


def test_result_object():
    cell = np.diag([2.0, 2.0, 2.0])
    found = morvak.neighbours(crystal(cell, [[0, 0, 0], [1, 0, 0]]), 1.5)
    assert len(found) == 4
    assert repr(found) == "NeighbourList(4 pairs, cutoff=1.5, pbc=(True, True, True))"
    back = pickle.loads(pickle.dumps(found))
    for name in ("i", "j", "shift", "vector", "distance"):
        np.testing.assert_array_equal(getattr(back, name), getattr(found, name))
    assert (back.cutoff, back.pbc) == (found.cutoff, found.pbc)


@pytest.mark.parametrize(
    "cell, pbc, cutoff, error, message",
    [
        (np.eye(3), True, 0.0, ValueError, "cutoff must be a positive finite number, found 0"),
        (np.eye(3), True, -1.0, ValueError, "found -1"),
        (np.eye(3), True, float("nan"), ValueError, "found nan"),
        (np.eye(3), True, float("inf"), ValueError, "found inf"),
        (np.eye(3), True, "1", TypeError, "cutoff must be a real number, found str"),
        (
            [[1, 0, 0], [0, 0, 0], [0, 0, 1]],
            True,
            1.0,
            ValueError,
            "cell vector 1 is zero, but axis 1 is periodic",
        ),
        (
            [[1, 0, 0], [0, 1, 0], [1, 1, 0]],
            True,
            1.0,
            ValueError,
            (
                "cell vector 2 lies in the span of cell vectors 0 and 1: "
                "the cell is degenerate along periodic axis 2"
            ),
        ),
        (
            [[1, 0, 0], [2, 0, 0], [0, 0, 1]],
            (True, True, False),
            1.0,
            ValueError,
            "degenerate along periodic axis 1",
        ),
        (np.eye(3), "yes", 1.0, TypeError, "pbc must be a bool or three bools"),
        (np.eye(3), (True, True), 1.0, TypeError, "pbc must be a bool or three bools"),
    ],
)
def test_errors(cell, pbc, cutoff, error, message):
    c = crystal(cell, [[0.5, 0.5, 0.5]], pbc=(False, False, False))
    with pytest.raises(error, match=message.replace("(", r"\(").replace(")", r"\)")):
        morvak.neighbours(c, cutoff, pbc=pbc)


def test_refuses_what_is_not_a_structure_or_finite():
    with pytest.raises(TypeError, match="pelmar.Crystal or an ase.Atoms, found int"):
        morvak.neighbours(3, 1.0)
    atoms = ase.Atoms("Si2", positions=[[0, 0, 0], [np.nan, 0, 0]], cell=np.eye(3), pbc=True)
    with pytest.raises(ValueError, match="position of atom 1 is not finite"):
        morvak.neighbours(atoms, 1.0)
