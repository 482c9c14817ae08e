"""Tight-binding models: morvak.Model against numpy, scipy.sparse, ASE and kwant.

- build: neighbours and the sparse Hamiltonian of a graphene sheet, against
  ASE's neighbor_list with a scipy.sparse assembly; the two matrices must agree.
- kpm: Chebyshev moments (one random vector), against the same recursion in
  numpy/scipy.sparse (kpm_numpy below) from the same start vector; the moments
  must agree to 1e-10 relative. kwant.kpm is timed too when kwant imports.
- bands: eigenvalues at many k-points of a 200-orbital cell, against a serial
  loop of numpy.linalg.eigvalsh over the same H(k); the values must agree.
"""

from __future__ import annotations

import math

import numpy as np
import scipy.sparse
from common import Row, Timing, rows_for, side, time_interleaved

OURS_BUILD, ASE_BUILD = "Model.hopping+hamiltonian", "ase.neighbor_list+scipy.sparse"
OURS_KPM, NUMPY_KPM, KWANT_KPM = "Model.kpm_moments", "numpy/scipy.sparse recursion", "kwant.kpm"
OURS_BANDS, NUMPY_BANDS = "Model.eigenvalues", "numpy.linalg.eigvalsh loop"
T, A_CC, CUTOFF = 2.7, 1.42, 1.6


def graphene_sheet(atoms: int):
    import pelmar

    a = A_CC * math.sqrt(3)
    nx = max(1, round(math.sqrt(atoms / 4 * 3 * A_CC / a)))
    ny = max(1, round(atoms / 4 / nx))
    basis = np.array([(0, 0), (a / 2, A_CC / 2), (a / 2, 1.5 * A_CC), (0, 2 * A_CC)])
    x, y = np.meshgrid(np.arange(nx) * a, np.arange(ny) * 3 * A_CC, indexing="ij")
    xy = (basis[None] + np.column_stack([x.ravel(), y.ravel()])[:, None]).reshape(-1, 2)
    positions = np.column_stack([xy, np.zeros(len(xy))])
    cell = np.diag([nx * a, ny * 3 * A_CC, 10.0])
    return pelmar.Crystal(cell, ["C"] * len(positions), positions, pbc=(True, True, False))


def build_ours(crystal):
    import morvak

    model = morvak.Model(crystal)
    model.hopping(-T, CUTOFF)
    return model.hamiltonian()


def build_ase(atoms):
    from ase.neighborlist import neighbor_list

    i, j = neighbor_list("ij", atoms, CUTOFF)
    n = len(atoms)
    return scipy.sparse.coo_matrix((np.full(len(i), -T), (i, j)), shape=(n, n)).tocsr()


def kpm_numpy(h: scipy.sparse.csr_matrix, center: float, half_width: float, moments: int, r0):
    """The same recursion as the native one: mu_2n and mu_2n+1 from r_n and r_n+1."""
    n = h.shape[0]

    def scaled(v):
        return (h @ v - center * v) / half_width

    mu = np.empty(moments)
    prev, cur = r0, scaled(r0)
    mu0 = np.vdot(prev, prev).real / n
    mu1 = np.vdot(cur, prev).real / n
    mu[0] = mu0
    if moments > 1:
        mu[1] = mu1
    for s in range(1, (moments + 1) // 2):
        nxt = 2 * scaled(cur) - prev
        mu[2 * s] = 2 * np.vdot(cur, cur).real / n - mu0
        if 2 * s + 1 < moments:
            mu[2 * s + 1] = 2 * np.vdot(nxt, cur).real / n - mu1
        prev, cur = cur, nxt
    return mu


def kwant_call(h, moments: int):
    try:
        import kwant.kpm
    except ImportError:
        return None
    return lambda: kwant.kpm.SpectralDensity(
        h, num_moments=moments, num_vectors=1, rng=np.random.default_rng(0)
    )


def supercell_model(orbitals: int):
    """A 200-orbital honeycomb supercell with first and third neighbours."""
    import morvak

    import pelmar

    n = round(math.sqrt(orbitals / 2))
    a = A_CC * math.sqrt(3)
    a1, a2 = np.array([a, 0, 0]), np.array([a / 2, a * math.sqrt(3) / 2, 0])
    basis = [(a1 + a2) / 3, 2 * (a1 + a2) / 3]
    positions = [b + p * a1 + q * a2 for p in range(n) for q in range(n) for b in basis]
    cell = np.array([n * a1, n * a2, [0, 0, 10.0]])
    model = morvak.Model(pelmar.Crystal(cell, ["C"] * len(positions), positions), pbc=(1, 1, 0))
    model.hopping(-T, CUTOFF)
    model.hopping(lambda d, i, j: -0.3 * np.exp(0.1j * d[:, 0]), 2.9, r_min=2.6)
    return model


def run(build_atoms: int, kpm_sites: int, kpm_moments: int, nk: int, timing: Timing, log):
    import ase
    import morvak
    from morvak import _model

    rows: list[Row] = []

    crystal = graphene_sheet(build_atoms)
    atoms = ase.Atoms(
        ["C"] * crystal.natom,
        positions=np.asarray(crystal.positions),
        cell=np.asarray(crystal.cell),
        pbc=(True, True, False),
    )
    log(f"  build: graphene sheet of {crystal.natom} atoms")
    ours, theirs = build_ours(crystal), build_ase(atoms)
    if abs(ours - theirs).max() != 0:
        raise RuntimeError("ASE's assembly gives another Hamiltonian")
    few = Timing(min_repeats=min(timing.min_repeats, 2), max_repeats=3, budget_s=0)
    times = time_interleaved(
        {OURS_BUILD: lambda: build_ours(crystal), ASE_BUILD: lambda: build_ase(atoms)}, few
    )
    rows += rows_for("model", "build", "graphene", crystal.natom, times, OURS_BUILD, [ASE_BUILD])

    log(f"  kpm: {kpm_sites} sites, {kpm_moments} moments, 1 vector")
    model = morvak.Model(graphene_sheet(kpm_sites))
    model.hopping(-T, CUTOFF)
    h = model.hamiltonian()
    center, half_width = model._spectral_interval()
    seed = 12345
    r0 = morvak._native.kpm_start_vector(_model._seed64(seed), 0, h.shape[0], False)
    mine = model.kpm_moments(kpm_moments, [0], seed=seed)[0]
    reference = kpm_numpy(h, center, half_width, kpm_moments, r0)
    scale = np.max(np.abs(reference))
    if np.max(np.abs(mine - reference)) > 1e-10 * scale:
        raise RuntimeError("the numpy recursion gives other moments")
    calls = {
        OURS_KPM: lambda: model.kpm_moments(kpm_moments, [0], seed=seed),
        NUMPY_KPM: lambda: kpm_numpy(h, center, half_width, kpm_moments, r0),
    }
    peers = [NUMPY_KPM]
    kwant = kwant_call(h, kpm_moments)
    if kwant is not None:
        calls[KWANT_KPM] = kwant
        peers.append(KWANT_KPM)
    else:
        log("  kwant does not import: kwant.kpm skipped")
    times = time_interleaved(calls, few)
    kpm_rows = rows_for("model", "kpm", "graphene", h.shape[0], times, OURS_KPM, peers)
    kpm_rows[0].ours.extra["max_rel_moment_diff"] = float(np.max(np.abs(mine - reference)) / scale)
    rows += kpm_rows

    log(f"  bands: {nk} k-points of a 200-orbital cell")
    cell_model = supercell_model(200)
    kpoints = np.random.default_rng(1).normal(size=(nk, 3)) * [1, 1, 0]

    def numpy_bands():
        return np.array(
            [np.linalg.eigvalsh(cell_model.hamiltonian(k, format="dense")) for k in kpoints]
        )

    mine = cell_model.eigenvalues(kpoints)
    if np.max(np.abs(mine - numpy_bands())) > 1e-10:
        raise RuntimeError("numpy gives other eigenvalues")
    times = time_interleaved(
        {OURS_BANDS: lambda: cell_model.eigenvalues(kpoints), NUMPY_BANDS: numpy_bands}, few
    )
    rows += rows_for(
        "model", "bands", "complex", cell_model.natom, times, OURS_BANDS, [NUMPY_BANDS]
    )
    return rows


__all__ = ["run", "side"]
