"""Nearest-neighbour tight binding on a crystal read from an XYZ file.

Reads a graphene supercell with pelmar, builds the pi-band Hamiltonian
H_ij = -t for every nearest-neighbour pair (periodic images included) as a
haldo.HamiltonianReal, and diagonalises it. The supercell's spectrum is the
graphene band structure sampled on the 4x4 k-point grid that the supercell
folds onto its Gamma point:

    E(k) = +/- t |1 + exp(i k.a1) + exp(i k.a2)|,  k = (m/4) b1 + (n/4) b2.

Then the same for a ring of N sites in a haldo.HamiltonianComplex, whose
eigenvalues are -2t cos(2 pi k / N).

Run:  python examples/tight_binding.py [structure.xyz]
"""

import cmath
import itertools
import math
import pathlib
import sys

import haldo
import pelmar

HOPPING = 2.7  # eV, the graphene pi-band hopping t
BOND_CUTOFF = 1.6  # Angstrom: above the C-C bond (1.42), below the second shell (2.46)
GRAPHENE = pathlib.Path(__file__).with_name("data") / "graphene_4x4.xyz"
RING_SITES = 12


def say(text: str) -> None:
    # haldo prints straight to the process's standard output; flush ours first
    # so that the two streams stay in order.
    print(text, flush=True)


def neighbour_hoppings(crystal: "pelmar.Crystal", cutoff: float) -> dict[tuple[int, int], int]:
    """Counts, for each ordered pair of atoms, the bonds shorter than `cutoff`
    between atom i and any periodic image of atom j (neighbouring cells only)."""
    cell = crystal.cell.tolist()
    positions = crystal.positions.tolist()
    bonds: dict[tuple[int, int], int] = {}
    shifts = list(itertools.product((-1, 0, 1), repeat=3))
    for i, ri in enumerate(positions):
        for j, rj in enumerate(positions):
            for n1, n2, n3 in shifts:
                d = [
                    rj[k] + n1 * cell[0][k] + n2 * cell[1][k] + n3 * cell[2][k] - ri[k]
                    for k in range(3)
                ]
                if 1e-8 < math.dist(d, (0.0, 0.0, 0.0)) < cutoff:
                    bonds[(i, j)] = bonds.get((i, j), 0) + 1
    return bonds


def graphene_bands(t: float, n: int) -> list[float]:
    """Both pi bands of graphene on the n x n grid of k-points."""
    energies = []
    for m1, m2 in itertools.product(range(n), repeat=2):
        f = 1 + cmath.exp(2j * math.pi * m1 / n) + cmath.exp(2j * math.pi * m2 / n)
        energies += [-t * abs(f), t * abs(f)]
    return sorted(energies)


def crystal_hamiltonian(path: pathlib.Path) -> None:
    crystal = pelmar.load_xyz(str(path))
    say(f"read {crystal!r} from {path.name}")
    bonds = neighbour_hoppings(crystal, BOND_CUTOFF)
    say(f"found {len(bonds) // 2} nearest-neighbour bonds (cutoff {BOND_CUTOFF} Angstrom)")

    h = haldo.HamiltonianReal()
    h.zeros(crystal.natom, crystal.natom)
    for (i, j), count in bonds.items():
        h.set(i, j, -HOPPING * count)
    say(f"H is hermitian: {h.is_hermitian()}")
    h.eigen()
    if path == GRAPHENE:
        expected = " ".join(f"{round(e, 9) + 0.0:.4f}" for e in graphene_bands(HOPPING, 4))
        say(f"expected eigenvalues (eV): {expected}")
    say("eigenvalues (eV, ascending) and eigenvectors (columns):")
    h.print_eigen()


def ring_hamiltonian(sites: int) -> None:
    say(f"ring of {sites} sites, hopping t = {HOPPING} eV, complex flavour")
    h = haldo.HamiltonianComplex()
    h.zeros(sites, sites)
    for i in range(sites):
        j = (i + 1) % sites
        h.set(i, j, -HOPPING)
        h.set(j, i, -HOPPING)
    say(f"H is hermitian: {h.is_hermitian()}")
    h.eigen()
    expected = sorted(-2 * HOPPING * math.cos(2 * math.pi * k / sites) for k in range(sites))
    say("expected eigenvalues (eV): " + " ".join(f"{round(e, 9) + 0.0:.4f}" for e in expected))
    say("eigenvalues (eV, ascending) and eigenvectors (columns):")
    h.print_eigen()


def main() -> None:
    path = pathlib.Path(sys.argv[1]) if len(sys.argv) > 1 else GRAPHENE
    crystal_hamiltonian(path)
    ring_hamiltonian(RING_SITES)


if __name__ == "__main__":
    main()
