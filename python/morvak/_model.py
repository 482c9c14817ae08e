"""Tight-binding models on crystal structures: one orbital per atom.

The model keeps numbers only (onsite energies and one canonical hopping per
Hermitian pair), so it pickles compactly with plain pickle, whatever callables
built it. The sign convention of the Bloch Hamiltonian is

    H(k)[i, j] = sum_S t(i, j, S) exp(i k.d),   d = r_j + S.cell - r_i,

with d the full bond vector from atom i to the image S of atom j.
"""

from __future__ import annotations

from collections.abc import Callable, Mapping, Sequence
from typing import Any, Literal

import numpy as np
import scipy.sparse

from . import _native
from ._kpm import jackson_dos, spectral_interval
from ._paths import Bands, path_kpoints, reciprocal_cell
from ._sweep import check_client, run_blocks

__all__ = ["Bands", "Model"]

HoppingValue = complex | float | Callable[[np.ndarray, np.ndarray, np.ndarray], Any]
OnsiteValue = float | Mapping[str, float] | Callable[[np.ndarray, np.ndarray], Any]

# Largest model "exact" and dense formats build, in orbitals (a 20000^2 complex matrix is 6.4 GB).
_DENSE_LIMIT = 20000
# Relative tolerance of the Hermitian check on a hopping callable's values.
_HERMITIAN_RTOL = 1e-10


def _pbc_tuple(pbc: Any) -> tuple[bool, bool, bool]:
    flags = np.broadcast_to(np.asarray(pbc, dtype=bool), (3,))
    return (bool(flags[0]), bool(flags[1]), bool(flags[2]))


class Model:
    """A tight-binding model with one orbital per atom of `crystal`.

    `pbc` (a bool or three) overrides the crystal's periodicity; along a
    non-periodic axis no hopping crosses the cell boundary.
    """

    def __init__(self, crystal: Any, pbc: bool | Sequence[bool] | None = None) -> None:
        self._cell = np.array(crystal.cell, dtype=np.float64).reshape(3, 3)
        self._positions = np.array(crystal.positions, dtype=np.float64).reshape(-1, 3)
        self._symbols = tuple(str(s) for s in crystal.symbols)
        if pbc is None:
            pbc = getattr(crystal, "pbc", (True, True, True))
        self._pbc = _pbc_tuple(pbc)
        self._onsite = np.zeros(len(self._positions))
        self._blocks: list[tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray]] = []
        self._bond_blocks: list[np.ndarray] | None = []
        self._cache: dict[str, Any] = {}

    # -- description --------------------------------------------------------

    @property
    def natom(self) -> int:
        """Number of atoms, which is the number of orbitals."""
        return len(self._positions)

    @property
    def cell(self) -> np.ndarray:
        return self._cell.copy()

    @property
    def positions(self) -> np.ndarray:
        return self._positions.copy()

    @property
    def symbols(self) -> tuple[str, ...]:
        return self._symbols

    @property
    def pbc(self) -> tuple[bool, bool, bool]:
        return self._pbc

    @property
    def dtype(self) -> np.dtype:
        """float64 when every onsite energy and hopping is real, else complex128."""
        real = all(block[3].dtype == np.float64 for block in self._blocks)
        return np.dtype(np.float64 if real else np.complex128)

    @property
    def reciprocal_cell(self) -> np.ndarray:
        """Rows b_i with a_i . b_j = 2 pi delta_ij, in 1/Angstrom."""
        return reciprocal_cell(self._cell)

    def __repr__(self) -> str:
        return (
            f"Model(natom={self.natom}, hoppings={self._terms()[1].size}, "
            f"dtype={self.dtype.name}, pbc={self._pbc})"
        )

    # -- building -----------------------------------------------------------

    def onsite(self, value: OnsiteValue) -> None:
        """Adds onsite energies: a number for every atom, a dict from symbol to
        number, or a vectorised callable f(positions, symbols) -> array."""
        n = self.natom
        if callable(value):
            result = value(self._positions.copy(), np.array(self._symbols, dtype=str))
            energies = np.asarray(result)
        elif isinstance(value, Mapping):
            missing = sorted(set(self._symbols) - set(value))
            if missing:
                raise ValueError(f"onsite: no energy given for symbol {missing[0]!r}")
            energies = np.array([value[s] for s in self._symbols])
        else:
            energies = np.asarray(value)
        if energies.dtype.kind == "c":
            if np.any(energies.imag != 0):
                raise ValueError("onsite energies must be real (a Hermitian diagonal)")
            energies = energies.real
        if energies.dtype.kind not in "biuf":
            raise TypeError(f"onsite energies must be numbers, got dtype {energies.dtype}")
        try:
            energies = np.broadcast_to(energies.astype(np.float64), (n,))
        except ValueError:
            raise ValueError(
                f"onsite: expected one energy per atom ({n}), got shape {energies.shape}"
            ) from None
        if not np.all(np.isfinite(energies)):
            raise ValueError("onsite energies must be finite")
        self._onsite = self._onsite + energies
        self._cache.clear()

    def hopping(
        self,
        value: HoppingValue,
        cutoff: float,
        r_min: float = 0.0,
        elements: tuple[str, str] | None = None,
    ) -> None:
        """Adds a hopping for every neighbour pair with r_min < d < cutoff.

        `value` is a number (real or complex) or a vectorised callable
        f(vectors, i, j) -> array, called once with every ordered pair
        (vectors: bond vectors d, shape (npairs, 3); i, j: atom indices).
        A number t goes to H[i, j] for i < j (for i == j, to the pair whose
        shift S is lexicographically positive) and conj(t) to the mirror
        (j, i, -S). A callable's value for (j, i, -S) must be the conjugate of
        its value for (i, j, S). `elements=("A", "B")` keeps only pairs of an
        A and a B atom. Calls add up.
        """
        cutoff = float(cutoff)
        r_min = float(r_min)
        if not (np.isfinite(cutoff) and cutoff > 0):
            raise ValueError(f"cutoff must be a finite distance above 0, got {cutoff}")
        if not (0 <= r_min < cutoff):
            raise ValueError(f"r_min must be in [0, cutoff), got {r_min} with cutoff {cutoff}")
        # The neighbour search and the choice of one pair per Hermitian pair
        # run in C++; bond vectors are (r_j - r_i) + S.cell, exactly the
        # negative of the mirror's, so a callable even or odd in d passes the
        # Hermitian check exactly.
        i, j, shift, bond = _native.bond_pairs(
            self._cell, self._positions, cutoff, r_min, self._pbc
        )
        if elements is not None:
            a, b = elements
            symbols = np.array(self._symbols, dtype=str)
            si, sj = symbols[i], symbols[j]
            keep = ((si == a) & (sj == b)) | ((si == b) & (sj == a))
            i, j, shift, bond = i[keep], j[keep], shift[keep], bond[keep]
        if callable(value):
            values = self._evaluate(value, i, j, shift, bond)
        else:
            values = self._constant(value, i.size)
        self._blocks.append((i, j, shift, values))
        if self._bond_blocks is not None:
            self._bond_blocks.append(bond)
        self._cache.clear()

    @staticmethod
    def _constant(value: Any, count: int) -> np.ndarray:
        if isinstance(value, (complex, np.complexfloating)):
            t = complex(value)
            if not np.isfinite(t):
                raise ValueError(f"hopping must be finite, got {value}")
            return np.full(count, t, dtype=np.complex128)
        if isinstance(value, (bool, np.bool_)) or not isinstance(value, (int, float, np.number)):
            raise TypeError(f"hopping must be a number or a callable, got {type(value).__name__}")
        t = float(value)
        if not np.isfinite(t):
            raise ValueError(f"hopping must be finite, got {value}")
        return np.full(count, t)

    @staticmethod
    def _evaluate(f: Callable, i, j, shift, bond) -> np.ndarray:
        m = i.size
        result = np.asarray(
            f(np.concatenate([bond, -bond]), np.concatenate([i, j]), np.concatenate([j, i]))
        )
        if result.dtype.kind not in "biufc":
            raise TypeError(f"hopping callable must return numbers, got dtype {result.dtype}")
        try:
            values = np.broadcast_to(result, (2 * m,))
        except ValueError:
            raise ValueError(
                f"hopping callable returned shape {result.shape}, expected ({2 * m},): "
                "one value per ordered pair"
            ) from None
        if not np.all(np.isfinite(values)):
            bad = int(np.flatnonzero(~np.isfinite(values))[0])
            raise ValueError(
                f"hopping callable gave a non-finite value {values[bad]} at pair {bad}"
            )
        forward, mirror = values[:m], values[m:]
        scale = np.maximum(np.abs(forward), np.abs(mirror))
        bad = np.abs(mirror - np.conj(forward)) > _HERMITIAN_RTOL * scale
        if np.any(bad):
            p = int(np.flatnonzero(bad)[0])
            s = tuple(int(x) for x in shift[p])
            ms = tuple(-x for x in s)
            raise ValueError(
                f"hopping callable is not Hermitian: value {forward[p]} for pair "
                f"(i={i[p]}, j={j[p]}, S={s}) but {mirror[p]} for (i={j[p]}, j={i[p]}, S={ms}); "
                "expected the conjugate"
            )
        if values.dtype.kind == "c":
            return np.array(forward, dtype=np.complex128)
        return np.array(forward, dtype=np.float64)

    # -- the stored terms ---------------------------------------------------

    def _terms(self):
        """(onsite, row, col, shift, value): the canonical terms, one array each."""
        if len(self._blocks) > 1:  # merge once, so later calls copy nothing
            dtype = self.dtype
            self._blocks = [
                (
                    np.concatenate([b[0] for b in self._blocks]),
                    np.concatenate([b[1] for b in self._blocks]),
                    np.concatenate([b[2] for b in self._blocks]),
                    np.concatenate([b[3].astype(dtype) for b in self._blocks]),
                )
            ]
            if self._bond_blocks:
                self._bond_blocks = [np.concatenate(self._bond_blocks)]
        if self._blocks:
            return (self._onsite, *self._blocks[0])
        empty = np.zeros(0, dtype=np.int32)
        return self._onsite, empty, empty, np.zeros((0, 3), np.int32), np.zeros(0)

    def _bonds(self) -> np.ndarray:
        _, row, col, shift, _ = self._terms()
        if self._bond_blocks:
            return self._bond_blocks[0]
        if "bonds" not in self._cache:
            self._cache["bonds"] = (self._positions[col] - self._positions[row]) + shift.astype(
                np.float64
            ) @ self._cell
        return self._cache["bonds"]

    def _native_terms(self):
        onsite, row, col, _, value = self._terms()
        return onsite, row, col, value, self._bonds()

    def _suffix(self, value: np.ndarray) -> str:
        return "_complex" if value.dtype.kind == "c" else "_real"

    def _csr(self, k: np.ndarray | None = None) -> scipy.sparse.csr_matrix:
        if k is None and "csr" in self._cache:
            return self._cache["csr"]
        terms = self._native_terms()
        assemble = getattr(_native, "assemble" + self._suffix(terms[3]))
        data, indices, indptr = assemble(*terms, k)
        n = self.natom
        matrix = scipy.sparse.csr_matrix((data, indices, indptr), shape=(n, n), copy=False)
        if k is None:
            self._cache["csr"] = matrix
        return matrix

    # -- Hamiltonians -------------------------------------------------------

    def hamiltonian(
        self,
        k: Sequence[float] | np.ndarray | None = None,
        format: Literal["csr", "dense", "haldo"] = "csr",
    ) -> Any:
        """The real-space Hamiltonian (every periodic image summed: the Gamma
        point of the supercell) or, for a Cartesian wave vector k in 1/Angstrom,
        the Bloch Hamiltonian H(k). Real when the model is real and k is None.

        format: "csr" (scipy.sparse.csr_matrix), "dense" (ndarray) or "haldo"
        (haldo.HamiltonianReal or HamiltonianComplex).
        """
        if format not in ("csr", "dense", "haldo"):
            raise ValueError(f"format must be 'csr', 'dense' or 'haldo', got {format!r}")
        kv = None
        if k is not None:
            kv = np.asarray(k, dtype=np.float64)
            if kv.shape != (3,) or not np.all(np.isfinite(kv)):
                raise ValueError(f"k must be three finite Cartesian components, got {k!r}")
        if format != "csr" and self.natom > _DENSE_LIMIT:
            raise ValueError(f"a dense Hamiltonian of {self.natom} orbitals is too large")
        matrix = self._csr(kv)
        if format == "csr":
            return matrix.copy() if kv is None else matrix
        dense = matrix.toarray()
        if format == "dense":
            return dense
        import haldo

        from ._bridge import from_numpy

        cls = haldo.HamiltonianComplex if dense.dtype.kind == "c" else haldo.HamiltonianReal
        return from_numpy(dense, cls)

    # -- spectra ------------------------------------------------------------

    def bands(
        self,
        path: Sequence[tuple[str, Sequence[float]]],
        n: int = 100,
        *,
        client: Any = None,
        progress: bool | None = None,
    ) -> Bands:
        """Band energies along a path of (label, fractional reciprocal
        coordinates) points. `n` k-points in total, spread over the segments in
        proportion to their lengths, every labelled point sampled exactly.

        With a ``dask.distributed.Client`` as `client`, blocks of k-points run
        as tasks on the cluster's workers; the energies are the same, bit for
        bit. `progress` shows a status line (see `morvak.sweep`)."""
        distance, kpoints, ticks = path_kpoints(path, n, self.reciprocal_cell)
        if client is None and not progress:
            energies = self.eigenvalues(kpoints)
        else:
            blocks = _split(kpoints, _block_count(client, len(kpoints)))
            parts = run_blocks(
                _eigenvalue_block,
                blocks,
                shared=self,
                client=client,
                label="bands",
                progress=progress,
            )
            energies = np.concatenate(parts) if parts else self.eigenvalues(kpoints)
        return Bands(distance, energies, ticks, kpoints)

    def eigenvalues(self, kpoints: Sequence[Sequence[float]] | np.ndarray) -> np.ndarray:
        """Ascending eigenvalues of H(k) at each Cartesian k (rows), shape (nk, natom).

        Each k-point is solved on its own, so any split of the k-points gives
        the same values bit for bit."""
        return self._eigenvalues(kpoints, threads=0)

    def _eigenvalues(self, kpoints: Any, threads: int) -> np.ndarray:
        kpoints = _aligned(kpoints, np.float64)
        if kpoints.ndim != 2 or kpoints.shape[1] != 3:
            raise ValueError(f"kpoints must have shape (nk, 3), got {kpoints.shape}")
        if self.natom > _DENSE_LIMIT:
            raise ValueError(f"a dense Bloch Hamiltonian of {self.natom} orbitals is too large")
        terms = self._native_terms()
        solve = getattr(_native, "band_energies" + self._suffix(terms[3]))
        return solve(*terms, kpoints, threads)

    def dos(
        self,
        energies: Sequence[float] | np.ndarray,
        method: Literal["kpm", "exact"] = "kpm",
        moments: int = 512,
        vectors: int = 8,
        seed: int | None = None,
        broadening: float | None = None,
        *,
        client: Any = None,
        progress: bool | None = None,
    ) -> np.ndarray:
        """Density of states per site (integrating to 1) on the energy grid.

        "kpm": Chebyshev moments by a stochastic trace over `vectors` random
        vectors (+-1 for real models, random phases for complex ones), with the
        Jackson kernel; the same seed gives the same result. "exact": the
        eigenvalues of the dense Hamiltonian, each a Gaussian of standard
        deviation `broadening`.

        With a ``dask.distributed.Client`` as `client`, blocks of random
        vectors run as tasks on the cluster's workers. Vector v's random
        stream depends only on (seed, v), so the moments, and the result, are
        those of the local run with the same seed, bit for bit.
        """
        grid = np.asarray(energies, dtype=np.float64)
        if method == "exact":
            if broadening is None or not (np.isfinite(broadening) and broadening > 0):
                raise ValueError(f"method='exact' needs broadening > 0, got {broadening}")
            # H(k = 0) is the real-space Hamiltonian; the native solver runs
            # serial LAPACK off the interpreter lock.
            values = self.eigenvalues(np.zeros((1, 3)))[0]
            z = (grid[..., None] - values) / broadening
            return np.exp(-0.5 * z * z).sum(axis=-1) / (
                self.natom * broadening * np.sqrt(2 * np.pi)
            )
        if method != "kpm":
            raise ValueError(f"method must be 'kpm' or 'exact', got {method!r}")
        if broadening is not None:
            raise ValueError("broadening applies to method='exact' only")
        if isinstance(moments, bool) or int(moments) != moments or moments < 2:
            raise ValueError(f"moments must be an integer >= 2, got {moments}")
        if isinstance(vectors, bool) or int(vectors) != vectors or vectors < 1:
            raise ValueError(f"vectors must be an integer >= 1, got {vectors}")
        if seed is None:
            # One key for every block, wherever it runs.
            seed = int(np.random.SeedSequence().entropy)
        center, half_width = self._spectral_interval()
        ids = np.arange(int(vectors))
        if client is None and not progress:
            rows = self.kpm_moments(int(moments), ids, seed)
        else:
            blocks = [
                (int(moments), seed, part) for part in _split(ids, _block_count(client, len(ids)))
            ]
            rows = np.concatenate(
                run_blocks(
                    _kpm_block,
                    blocks,
                    shared=self,
                    client=client,
                    label="dos",
                    progress=progress,
                )
            )
        mu = rows.mean(axis=0)
        return jackson_dos(mu, grid, center, half_width)

    def _spectral_interval(self) -> tuple[float, float]:
        if "interval" not in self._cache:
            h = self._csr()
            bounds = getattr(_native, "gershgorin" + self._suffix(h.data))
            self._cache["interval"] = spectral_interval(*bounds(h.data, h.indices, h.indptr))
        return self._cache["interval"]

    def kpm_moments(
        self, moments: int, vector_ids: Sequence[int] | np.ndarray, seed: int | None = None
    ) -> np.ndarray:
        """Chebyshev moments per site, one row per random vector, of the
        Hamiltonian scaled into (-1, 1) by its Gershgorin interval.

        Random vector v depends only on (seed, v), so moments of any subset of
        vectors, computed anywhere, are the rows of the full computation."""
        return self._kpm_moments(moments, vector_ids, seed, threads=0)

    def _kpm_moments(
        self, moments: int, vector_ids: Any, seed: int | None, threads: int
    ) -> np.ndarray:
        h = self._csr()
        center, half_width = self._spectral_interval()
        ids = _aligned(vector_ids, np.uint64).reshape(-1)
        run = getattr(_native, "kpm_moments" + self._suffix(h.data))
        return run(
            h.data,
            h.indices,
            h.indptr,
            center,
            half_width,
            int(moments),
            _seed64(seed),
            ids,
            threads,
        )

    def eigsh(self, k: int = 6, sigma: float = 0.0) -> tuple[np.ndarray, np.ndarray]:
        """The k eigenpairs nearest the energy sigma (shift-invert on the sparse
        real-space Hamiltonian): values ascending, vectors as columns (natom, k)."""
        from scipy.sparse.linalg import eigsh

        values, vectors = eigsh(self._csr().tocsc(), k=k, sigma=sigma, which="LM")
        order = np.argsort(values)
        return values[order], vectors[:, order]

    # -- pickling -----------------------------------------------------------

    def __getstate__(self) -> dict[str, Any]:
        onsite, row, col, shift, value = self._terms()
        return {
            "cell": self._cell,
            "positions": self._positions,
            "symbols": self._symbols,
            "pbc": self._pbc,
            "onsite": onsite,
            "terms": (row, col, shift, value),
        }

    def __setstate__(self, state: dict[str, Any]) -> None:
        self._cell = _aligned(state["cell"])
        self._positions = _aligned(state["positions"])
        self._symbols = state["symbols"]
        self._pbc = state["pbc"]
        self._onsite = _aligned(state["onsite"])
        row, col, shift, value = (_aligned(a) for a in state["terms"])
        self._blocks = [(row, col, shift, value)] if row.size else []
        self._bond_blocks = None  # recomputed from the shifts when needed
        self._cache = {}


def _aligned(values: Any, dtype: Any = None) -> np.ndarray:
    """A C-ordered, aligned array: unpickled arrays (from a Dask task, say) may
    sit at any byte offset, and the native code reads them as doubles."""
    return np.require(np.asarray(values, dtype=dtype), requirements=["C", "A"])


def _seed64(seed: int | None) -> int:
    """A 64-bit stream key from any seed; fresh entropy for None."""
    return int(np.random.SeedSequence(seed).generate_state(1, dtype=np.uint64)[0])


def _block_count(client: Any, items: int) -> int:
    """Blocks for a run: a few per worker thread, so that a lost worker costs little."""
    if client is None:
        return min(items, 16)
    check_client(client)
    workers = client.scheduler_info().get("workers", {}).values()
    threads = max(1, sum(int(w.get("nthreads", 1)) for w in workers))
    return max(1, min(items, 4 * threads))


def _task_threads() -> int:
    """Native threads for one block: 1 inside a Dask worker, whose own threads
    already run that many tasks side by side on the cores it was given; 0 (all
    of the machine's) elsewhere."""
    try:
        from distributed import get_worker

        get_worker()
    except (ImportError, ValueError):
        return 0
    return 1


def _split(items: np.ndarray, blocks: int) -> list[np.ndarray]:
    return [part for part in np.array_split(items, max(blocks, 1)) if len(part)]


def _eigenvalue_block(model: Model, kpoints: np.ndarray) -> np.ndarray:
    return model._eigenvalues(kpoints, threads=_task_threads())


def _kpm_block(model: Model, block: tuple[int, int, np.ndarray]) -> np.ndarray:
    moments, seed, ids = block
    return model._kpm_moments(moments, ids, seed, threads=_task_threads())
