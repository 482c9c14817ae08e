"""Tight-binding models against analytic spectra, dense diagonalisation and each other."""

import pickle

import numpy as np
import pytest

morvak = pytest.importorskip("morvak")
pelmar = pytest.importorskip("pelmar")
special = pytest.importorskip("scipy.special")

T = -2.7  # eV
A = 2.46  # graphene lattice constant, Angstrom
GRAPHENE_CELL = [[A, 0, 0], [A / 2, A * np.sqrt(3) / 2, 0], [0, 0, 10]]
GRAPHENE_PATH = [("Γ", (0, 0, 0)), ("K", (1 / 3, 1 / 3, 0)), ("M", (0.5, 0, 0)), ("Γ", (0, 0, 0))]


def crystal(cell, symbols, positions, pbc=(True, True, True)):
    c = pelmar.Crystal(np.asarray(cell, float), list(symbols), np.asarray(positions, float))
    return c, pbc


def model(cell, symbols, positions, pbc=(True, True, True)):
    c, pbc = crystal(cell, symbols, positions, pbc)
    return morvak.Model(c, pbc=pbc)


def honeycomb(symbols=("C", "C")):
    a1, a2 = np.array(GRAPHENE_CELL[0]), np.array(GRAPHENE_CELL[1])
    positions = [(a1 + a2) / 3, 2 * (a1 + a2) / 3]
    return model(GRAPHENE_CELL, symbols, positions, pbc=(True, True, False))


def square(nx, ny, a=1.0):
    x, y = np.meshgrid(np.arange(nx), np.arange(ny), indexing="ij")
    positions = np.column_stack([x.ravel(), y.ravel(), np.zeros(x.size)]) * a
    return model(
        [[nx * a, 0, 0], [0, ny * a, 0], [0, 0, 10]],
        ["H"] * x.size,
        positions,
        pbc=(True, True, False),
    )


def jackson_broadened(levels, weights, grid, model, moments):
    """Levels as Gaussians of the Jackson kernel's width, (pi/M) sqrt(1 - x^2) in scaled units."""
    center, half_width = model._spectral_interval()
    sigma = np.pi * half_width / moments * np.sqrt(1 - ((levels - center) / half_width) ** 2)
    z = (grid[:, None] - levels[None, :]) / sigma
    return (np.exp(-0.5 * z * z) / (sigma * np.sqrt(2 * np.pi)) * weights).sum(axis=1)


@pytest.mark.parametrize("gap", [0.0, 0.8])
def test_honeycomb_bands_match_analytic(gap):
    m = honeycomb(("B", "N"))
    m.hopping(T, cutoff=1.6)
    m.onsite({"B": gap / 2, "N": -gap / 2})
    bands = m.bands(GRAPHENE_PATH, n=61)
    assert bands.energies.shape == (61, 2) and len(bands.k) == 61
    assert [label for label, _ in bands.ticks] == ["Γ", "K", "M", "Γ"]
    # Every labelled point is sampled exactly, and distances grow along the path.
    recip = m.reciprocal_cell
    for (label, frac), (_, at) in zip(GRAPHENE_PATH, bands.ticks):
        q = int(np.flatnonzero(bands.k == at)[0])
        assert np.allclose(bands.kpoints[q], np.array(frac) @ recip, atol=1e-14)
    assert np.all(np.diff(bands.k) > 0)
    a1, a2 = np.array(GRAPHENE_CELL[0]), np.array(GRAPHENE_CELL[1])
    f = np.abs(1 + np.exp(1j * bands.kpoints @ a1) + np.exp(1j * bands.kpoints @ a2))
    e = np.sqrt((gap / 2) ** 2 + (T * f) ** 2)
    assert np.max(np.abs(bands.energies - np.column_stack([-e, e]))) < 1e-10


def test_bloch_hamiltonian_is_hermitian_and_periodic_up_to_gauge():
    rng = np.random.default_rng(7)
    cell = np.eye(3) * 3.0 + rng.uniform(-0.6, 0.6, (3, 3))
    positions = rng.uniform(0, 1, (5, 3)) @ cell
    m = model(cell, ["C", "C", "N", "N", "B"], positions)
    m.onsite(lambda r, s: r[:, 0])
    m.hopping(lambda d, i, j: np.exp(-np.linalg.norm(d, axis=1)) * np.exp(0.3j * d[:, 2]), 4.0)
    m.hopping(0.2 - 0.1j, 4.0, r_min=2.5, elements=("C", "N"))
    g = rng.integers(-2, 3, 3) @ m.reciprocal_cell
    gauge = np.exp(1j * m.positions @ g)
    for k in rng.normal(size=(4, 3)):
        h = m.hamiltonian(k, format="dense")
        assert np.allclose(h, h.conj().T, rtol=0, atol=1e-14)
        shifted = m.hamiltonian(k + g, format="dense")
        assert np.allclose(shifted, gauge.conj()[:, None] * h * gauge[None, :], atol=1e-12)
        assert np.allclose(m.eigenvalues([k + g])[0], np.linalg.eigvalsh(h), atol=1e-12)


def test_constant_hopping_placement_and_calls_add_up():
    # A chain of one atom per cell: the pair i == j goes to the positive shift.
    chain = model(
        [[1.0, 0, 0], [0, 10, 0], [0, 0, 10]], ["C"], [[0, 0, 0]], pbc=(True, False, False)
    )
    t = 0.3 + 0.4j
    chain.hopping(t, 1.5)
    chain.hopping(t, 1.5)
    k = np.array([0.7, 0, 0])
    h = chain.hamiltonian(k, format="dense")
    assert h.shape == (1, 1) and h[0, 0] == pytest.approx(2 * 2 * (t * np.exp(0.7j)).real)
    # Two atoms: t at H[0, 1] (i < j), its conjugate at H[1, 0].
    dimer = model(np.eye(3) * 10, ["C", "C"], [[0, 0, 0], [1, 0, 0]], pbc=False)
    dimer.hopping(t, 1.5)
    dense = dimer.hamiltonian(format="dense")
    assert dense[0, 1] == t and dense[1, 0] == np.conj(t)
    assert dimer.dtype == np.complex128 and dimer.hamiltonian().dtype == np.complex128


def test_non_hermitian_callable_names_the_first_bad_pair():
    m = model(np.eye(3) * 10, ["C", "C", "C"], [[0, 0, 0], [1, 0, 0], [2, 0, 0]], pbc=False)
    with pytest.raises(ValueError, match=r"\(i=0, j=1, S=\(0, 0, 0\)\).*\(i=1, j=0"):
        m.hopping(lambda d, i, j: 1.0 + 0.1 * i, 1.5)
    with pytest.raises(ValueError, match="not Hermitian"):
        m.hopping(lambda d, i, j: 1j * np.ones(len(d)), 1.5)
    m.hopping(lambda d, i, j: 1j * d[:, 0], 1.5)  # odd in d and imaginary: Hermitian
    with pytest.raises(ValueError, match="shape"):
        m.hopping(lambda d, i, j: np.ones(3), 1.5)
    with pytest.raises(ValueError, match="cutoff"):
        m.hopping(1.0, 0.0)
    with pytest.raises(ValueError, match="real"):
        m.onsite(1j)


@pytest.mark.parametrize("q", [2, 3, 4])
def test_peierls_phases_give_the_hofstadter_spectrum(q):
    # Landau gauge on a q x 1 magnetic cell: flux 1/q quantum per plaquette.
    x = np.arange(q, dtype=float)
    m = model(
        [[q, 0, 0], [0, 1, 0], [0, 0, 10]],
        ["C"] * q,
        np.column_stack([x, np.zeros(q), np.zeros(q)]),
        pbc=(True, True, False),
    )
    m.hopping(lambda d, i, j: -1.0 * np.exp(2j * np.pi / q * x[i] * d[:, 1]), 1.1)
    rng = np.random.default_rng(q)
    for kx, ky in rng.uniform(-np.pi, np.pi, (5, 2)):
        harper = np.diag(-2 * np.cos(ky + 2 * np.pi * np.arange(q) / q)).astype(complex)
        for s in range(q):
            harper[s, (s + 1) % q] += -np.exp(1j * kx * q) if s == q - 1 else -1.0
            harper[(s + 1) % q, s] += -np.exp(-1j * kx * q) if s == q - 1 else -1.0
        expected = np.linalg.eigvalsh(harper)
        assert np.allclose(m.eigenvalues([[kx, ky, 0]])[0], expected, atol=1e-12)


def test_real_and_complex_paths_agree_for_trivial_phases():
    real = square(20, 20)
    real.hopping(-1.0, 1.1)
    real.onsite(lambda r, s: 0.1 * np.sin(r[:, 0]))
    phase = np.random.default_rng(0).uniform(0, 2 * np.pi, real.natom)
    gauged = square(20, 20)  # a pure gauge: the same spectrum, complex matrices
    gauged.hopping(lambda d, i, j: -np.exp(1j * (phase[j] - phase[i])), 1.1)
    gauged.onsite(lambda r, s: 0.1 * np.sin(r[:, 0]))
    assert real.dtype == np.float64 and gauged.dtype == np.complex128
    exact_real = np.linalg.eigvalsh(real.hamiltonian(format="dense"))
    assert np.allclose(gauged.eigenvalues([[0, 0, 0]])[0], exact_real, atol=1e-12)
    # +-1 vectors on the real path, random phases on the complex one: both
    # estimate the same broadened spectrum.
    grid = np.linspace(-4.5, 4.5, 91)
    exact = jackson_broadened(exact_real, 1 / real.natom, grid, real, 64)
    for m in (real, gauged):
        kpm = m.dos(grid, moments=64, vectors=200, seed=1)
        assert np.max(np.abs(kpm - exact)) < 0.06 * exact.max()
    gaussian = gauged.dos(grid, method="exact", broadening=0.1)
    assert np.trapezoid(gaussian, grid) == pytest.approx(1, abs=1e-6)
    assert np.allclose(gaussian, real.dos(grid, method="exact", broadening=0.1), atol=1e-12)
    values, vectors = gauged.eigsh(4, sigma=0.55)
    nearest = exact_real[np.argsort(np.abs(exact_real - 0.55))[:4]]
    assert np.allclose(values, np.sort(nearest), atol=1e-10) and vectors.shape == (400, 4)


def test_square_lattice_dos_and_van_hove_log_singularity():
    m = square(127, 127)  # odd: no exactly degenerate shell at E = 0
    m.hopping(-1.0, 1.1)
    grid = np.linspace(-4.2, 4.2, 841)
    rho = {n: m.dos(grid, moments=n, vectors=2, seed=3) for n in (32, 64, 128)}
    # The analytic K(1 - E^2/16) / (2 pi^2 t), seen through the kernel.
    fine = np.linspace(-4, 4, 16000)
    analytic = jackson_broadened(
        fine, special.ellipk(1 - fine**2 / 16) / (2 * np.pi**2) * (fine[1] - fine[0]), grid, m, 64
    )
    inner = np.abs(grid) < 3.8
    assert np.max(np.abs(rho[64] - analytic)[inner]) < 0.05 * analytic.max()
    # The peak sits at E = 0, and a logarithmic peak grows by ln(4) / (2 pi^2 t)
    # when the resolution improves 4x.
    assert abs(grid[np.argmax(rho[128])]) <= 0.01
    zero = np.argmin(np.abs(grid))
    growth = rho[128][zero] - rho[32][zero]
    assert growth == pytest.approx(np.log(4) / (2 * np.pi**2), rel=0.1)
    for r in rho.values():
        assert np.trapezoid(r, grid) == pytest.approx(1, abs=2e-3)


def test_kpm_matches_broadened_eigenvalues_on_a_disordered_model():
    m = square(40, 50)
    m.hopping(-1.0, 1.1)
    m.onsite(lambda r, s: np.random.default_rng(5).uniform(-1.5, 1.5, len(r)))
    moments = 256
    grid = np.linspace(-6, 6, 601)
    kpm = m.dos(grid, moments=moments, vectors=128, seed=11)
    values = m.eigenvalues([[0, 0, 0]])[0]  # H(k = 0) is the real-space Hamiltonian
    exact = jackson_broadened(values, 1 / m.natom, grid, m, moments)
    assert np.max(np.abs(kpm - exact)) < 0.05 * exact.max()
    assert np.trapezoid(kpm, grid) == pytest.approx(1, abs=2e-3)


def test_kpm_moments_are_reproducible_per_vector():
    m = square(30, 30)
    m.hopping(lambda d, i, j: -np.exp(0.5j * d[:, 0]), 1.1)
    full = m.kpm_moments(64, np.arange(6), seed=42)
    assert full.shape == (6, 64)
    assert np.array_equal(m.kpm_moments(64, [4, 1], seed=42), full[[4, 1]])
    assert not np.array_equal(m.kpm_moments(64, [4], seed=43)[0], full[4])
    assert np.allclose(full[:, 0], 1.0, rtol=0, atol=1e-14)  # unit-modulus vectors
    grid = np.linspace(-3, 3, 7)
    assert np.array_equal(m.dos(grid, seed=9, moments=32), m.dos(grid, seed=9, moments=32))


def test_pickle_keeps_values_not_callables():
    m = honeycomb()
    m.hopping(lambda d, i, j: T * np.exp(-(np.linalg.norm(d, axis=1) - 1.42)), 3.0)
    m.onsite(lambda r, s: 0.1 * r[:, 1])
    data = pickle.dumps(m)
    back = pickle.loads(data)
    k = np.array([0.3, -0.2, 0.0])
    assert np.array_equal(back.hamiltonian(k, format="dense"), m.hamiltonian(k, format="dense"))
    assert back.pbc == m.pbc and back.symbols == m.symbols
    back.hopping(0.1, 1.6)  # still a working model after the round trip
    assert not np.array_equal(back.hamiltonian(format="dense"), m.hamiltonian(format="dense"))


def test_plots_return_axes_headless():
    matplotlib = pytest.importorskip("matplotlib")
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    m = honeycomb()
    m.hopping(T, 1.6)
    ax = morvak.plot.bands(m.bands(GRAPHENE_PATH, n=30))
    assert [t.get_text() for t in ax.get_xticklabels()] == ["Γ", "K", "M", "Γ"]
    assert "eV" in ax.get_ylabel()
    grid = np.linspace(-9, 9, 50)
    ax = morvak.plot.dos(grid, m.dos(grid, method="exact", broadening=0.5))
    assert "eV" in ax.get_xlabel()
    plt.close("all")
