"""Tight binding with morvak: graphene bands, a million-atom density of states,
a carbon nanotube, and a small haldo Hamiltonian.

1. Reads the graphene primitive cell from examples/data/graphene.xyz, builds
   the nearest-neighbour pi-band model (hopping -t) and draws its bands along
   Gamma-K-M-Gamma, checked against E(k) = +-t |1 + exp(i k.a1) + exp(i k.a2)|.
2. Builds a periodic graphene sheet of about a million atoms and computes its
   density of states by the kernel polynomial method: van Hove peaks at +-t and
   the Dirac cone's linear DOS, |E| / (sqrt(3) pi t^2) per atom, near E = 0.
3. Reads a (10,0) carbon nanotube from an extended XYZ file and gives it a
   bond-length-dependent hopping, t(d) = t exp(-beta (d / a_cc - 1)): the
   curvature shortens some bonds. Bands along the tube axis and the gap.
4. Benzene's pi system as a haldo.HamiltonianReal: eigen() and print_eigen().

Figures go to the folder given by --out (default ./tight_binding_figures).

Run:  python examples/tight_binding.py [--out FOLDER] [--atoms N]
"""

from __future__ import annotations

import argparse
import math
import pathlib
import time
from typing import Self

import morvak
import numpy as np

import pelmar

T = 2.7  # eV, the graphene pi-band hopping t
A_CC = 1.42  # Angstrom, the C-C bond
BOND_CUTOFF = 1.6  # Angstrom: above the bond, below the second shell (2.46)
BETA = 3.0  # decay of the hopping with bond length
DATA = pathlib.Path(__file__).with_name("data")
PATH = [("Γ", (0, 0, 0)), ("K", (1 / 3, 1 / 3, 0)), ("M", (0.5, 0, 0)), ("Γ", (0, 0, 0))]


def say(text: str) -> None:
    # haldo prints straight to the process's standard output; flush ours first
    # so that the two streams stay in order.
    print(text, flush=True)


class Step:
    """One line per step: its name now, its time when done."""

    def __init__(self, text: str) -> None:
        self.text = text

    def __enter__(self) -> Self:
        self.start = time.perf_counter()
        print(f"  {self.text} ...", end="", flush=True)
        return self

    def __exit__(self, *exc: object) -> None:
        print(f" done in {time.perf_counter() - self.start:.1f} s", flush=True)


def graphene_bands(out: pathlib.Path, plt) -> None:
    path = DATA / "graphene.xyz"
    crystal = pelmar.load_xyz(str(path))
    model = morvak.Model(crystal, pbc=(True, True, False))
    model.hopping(-T, cutoff=BOND_CUTOFF)
    bands = model.bands(PATH, n=301)
    a1, a2 = model.cell[0], model.cell[1]
    f = np.abs(1 + np.exp(1j * bands.kpoints @ a1) + np.exp(1j * bands.kpoints @ a2))
    analytic = np.column_stack([-T * f, T * f])
    deviation = np.max(np.abs(bands.energies - analytic))
    say(f"graphene: {crystal.natom} atoms from {path.name}, {len(bands.k)} k-points Γ-K-M-Γ")
    say(f"largest deviation from the analytic bands: {deviation:.1e} eV (must be < 1e-10)")
    ax = morvak.plot.bands(bands)
    ax.plot(bands.k, analytic, "k:", linewidth=0.8)
    ax.set_title("graphene π bands (dotted: analytic)")
    ax.figure.savefig(out / "graphene_bands.png", dpi=120)
    plt.close(ax.figure)
    if not deviation < 1e-10:
        raise SystemExit("graphene bands deviate from the analytic formula")


def graphene_sheet(atoms: int) -> pelmar.Crystal:
    """A periodic rectangular sheet of about `atoms` atoms (4 per rectangular cell)."""
    a = A_CC * math.sqrt(3)
    nx = max(1, round(math.sqrt(atoms / 4 * 3 * A_CC / a)))
    ny = max(1, round(atoms / 4 / nx))
    basis = np.array([(0, 0), (a / 2, A_CC / 2), (a / 2, 1.5 * A_CC), (0, 2 * A_CC)])
    x, y = np.meshgrid(np.arange(nx) * a, np.arange(ny) * 3 * A_CC, indexing="ij")
    xy = (basis[None] + np.column_stack([x.ravel(), y.ravel()])[:, None]).reshape(-1, 2)
    positions = np.column_stack([xy, np.zeros(len(xy))])
    cell = np.diag([nx * a, ny * 3 * A_CC, 10.0])
    return pelmar.Crystal(cell, ["C"] * len(positions), positions, pbc=(True, True, False))


def million_atom_dos(out: pathlib.Path, atoms: int, plt) -> None:
    with Step(f"graphene sheet of about {atoms} atoms"):
        crystal = graphene_sheet(atoms)
    with Step("model build (neighbours and sparse Hamiltonian)"):
        model = morvak.Model(crystal)
        model.hopping(-T, cutoff=BOND_CUTOFF)
        h = model.hamiltonian()
    say(f"  {model.natom} atoms, {h.nnz} hoppings")
    moments, vectors = 1024, 2
    energies = np.linspace(-3.2 * T, 3.2 * T, 1601)
    with Step(f"DOS by KPM ({moments} moments, {vectors} random vectors)"):
        dos = model.dos(energies, moments=moments, vectors=vectors, seed=2024)
    low, high = energies < 0, energies > 0
    peaks = energies[low][np.argmax(dos[low])], energies[high][np.argmax(dos[high])]
    say(f"van Hove peaks at {peaks[0]:+.2f} and {peaks[1]:+.2f} eV (t = {T:.2f} eV)")
    near = (np.abs(energies) > 0.2) & (np.abs(energies) < 0.8)
    slope = np.sum(dos[near] * np.abs(energies[near])) / np.sum(energies[near] ** 2)
    dirac = 1 / (math.sqrt(3) * math.pi * T**2)
    say(f"DOS near E = 0: {slope:.4f} |E| per eV per atom (Dirac cone: {dirac:.4f} |E|)")
    total = np.trapezoid(dos, energies)
    say(f"DOS integral: {total:.4f} states per atom")

    ax = morvak.plot.dos(energies, dos)
    for e in (-T, T):
        ax.axvline(e, color="C3", linestyle="--", linewidth=0.8)
    ax.text(T, ax.get_ylim()[1] * 0.92, "  +t", color="C3")
    ax.text(-T, ax.get_ylim()[1] * 0.92, "−t  ", color="C3", ha="right")
    cone = np.abs(energies) < 1.5
    ax.plot(energies[cone], dirac * np.abs(energies[cone]), "k:", label="|E| / (√3 π t²)")
    ax.legend(loc="upper center")
    ax.set_title(f"graphene, {model.natom} atoms: KPM, {moments} moments")
    ax.figure.savefig(out / "graphene_dos.png", dpi=120)
    plt.close(ax.figure)


def nanotube(out: pathlib.Path, plt) -> None:
    path = DATA / "nanotube_10_0.extxyz"
    crystal = morvak.read(str(path))
    model = morvak.Model(crystal)
    model.hopping(
        lambda d, i, j: -T * np.exp(-BETA * (np.linalg.norm(d, axis=1) / A_CC - 1)), BOND_CUTOFF
    )
    bands = model.bands([("Γ", (0, 0, 0)), ("Z", (0, 0, 0.5))], n=201)
    e = bands.energies
    gap = np.min(e[e > 0]) - np.max(e[e < 0])
    xy = np.asarray(crystal.positions)[:, :2]
    radius = np.linalg.norm(xy - xy.mean(axis=0), axis=1)
    diameter = 2 * radius.mean()
    say(
        f"(10,0) nanotube: {crystal.natom} atoms from {path.name}, pbc {model.pbc}, "
        f"diameter {diameter:.2f} Å"
    )
    say(
        f"band gap {gap:.3f} eV (zone-folding estimate 2 t a_cc / d = {2 * T * A_CC / diameter:.3f} eV)"
    )
    ax = morvak.plot.bands(bands, linewidth=0.8)
    ax.set_ylim(-3 * T, 3 * T)
    ax.set_title("(10,0) carbon nanotube, t(d) = t exp(-β (d/a - 1))")
    ax.figure.savefig(out / "nanotube_bands.png", dpi=120)
    plt.close(ax.figure)


def benzene_haldo() -> None:
    """The six pi orbitals of benzene as a haldo.HamiltonianReal."""
    angles = np.arange(6) * np.pi / 3
    positions = np.column_stack([A_CC * np.cos(angles), A_CC * np.sin(angles), np.zeros(6)])
    ring = pelmar.Crystal(np.zeros((3, 3)), ["C"] * 6, positions, pbc=False)
    model = morvak.Model(ring)
    model.hopping(-T, cutoff=BOND_CUTOFF)
    h = model.hamiltonian(format="haldo")
    say(f"benzene through haldo: {type(h).__name__}, hermitian {h.is_hermitian()}")
    h.eigen()
    expected = sorted(-2 * T * math.cos(2 * math.pi * k / 6) for k in range(6))
    say("expected eigenvalues (eV): " + " ".join(f"{e + 0.0:.4f}" for e in expected))
    say("eigenvalues (eV, ascending) and eigenvectors (columns):")
    h.print_eigen()


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", type=pathlib.Path, default=pathlib.Path("tight_binding_figures"))
    parser.add_argument("--atoms", type=int, default=1_000_000, help="atoms in the large sheet")
    args = parser.parse_args()

    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    args.out.mkdir(parents=True, exist_ok=True)
    start = time.perf_counter()
    graphene_bands(args.out, plt)
    million_atom_dos(args.out, args.atoms, plt)
    nanotube(args.out, plt)
    benzene_haldo()
    names = ", ".join(sorted(p.name for p in args.out.glob("*.png")))
    say(f"figures written to {args.out.resolve()}: {names}")
    say(f"total time {time.perf_counter() - start:.1f} s")


if __name__ == "__main__":
    main()
