"""Kernel polynomial method: the density of states from Chebyshev moments."""

from __future__ import annotations

import numpy as np

# Fraction of the scaled interval (-1, 1) left free at each end, so that the
# extreme eigenvalues stay clear of the Chebyshev weight's singularities.
EDGE_MARGIN = 0.01


def spectral_interval(lower: float, upper: float) -> tuple[float, float]:
    """(center, half_width) mapping [lower, upper] into [-1 + m, 1 - m]."""
    center = 0.5 * (lower + upper)
    half = 0.5 * (upper - lower)
    # A spectrum of one value (no hoppings) still needs a finite scale.
    half = max(half, 1e-8 * max(1.0, abs(center)))
    return center, half / (1.0 - EDGE_MARGIN)


def jackson_kernel(moments: int) -> np.ndarray:
    """The Jackson damping factors g_n, n < moments."""
    n = np.arange(moments)
    q = np.pi / (moments + 1)
    return ((moments - n + 1) * np.cos(q * n) + np.sin(q * n) / np.tan(q)) / (moments + 1)


def jackson_dos(
    mu: np.ndarray, energies: np.ndarray, center: float, half_width: float
) -> np.ndarray:
    """rho(E) from moments mu of (H - center) / half_width, zero outside the interval."""
    mu = np.asarray(mu, dtype=np.float64)
    x = (np.asarray(energies, dtype=np.float64) - center) / half_width
    inside = np.abs(x) < 1
    xs = x[inside]
    coefficients = mu * jackson_kernel(mu.size)
    coefficients[1:] *= 2
    # Chebyshev series by Clenshaw's recurrence: O(moments) per energy, no cosines.
    series = np.polynomial.chebyshev.chebval(xs, coefficients)
    rho = np.zeros_like(x)
    rho[inside] = series / (np.pi * half_width * np.sqrt(1 - xs * xs))
    return rho
