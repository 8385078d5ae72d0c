"""Gaussian broadening of densities on an evenly spaced energy grid."""

from __future__ import annotations

import numpy as np
import numpy.typing as npt


def gaussian_broadening(densities: npt.NDArray[np.float64], energies: npt.NDArray[np.float64],
                        sigma: float) -> npt.NDArray[np.float64]:
    """densities (..., nedos) convolved along the last axis with a normalised Gaussian of
    standard deviation sigma (eV), cut at four sigma; the weight is kept, except what the
    kernel carries past the ends of the grid."""
    if len(energies) < 2:
        return densities
    step = float(energies[-1] - energies[0]) / (len(energies) - 1)
    reach = int(4 * sigma / step) if step > 0 else 0  # none for a sigma well below the spacing
    if reach < 1:
        return densities
    offsets = np.arange(-reach, reach + 1) * step
    kernel = np.exp(-0.5 * (offsets / sigma) ** 2)
    kernel /= kernel.sum()
    flat = np.asarray(densities, dtype=float).reshape(-1, densities.shape[-1])
    out = np.array([np.convolve(row, kernel, mode="same") for row in flat])
    if out.shape[-1] != densities.shape[-1]:  # a kernel longer than the grid
        middle = (out.shape[-1] - densities.shape[-1]) // 2
        out = out[:, middle:middle + densities.shape[-1]]
    return out.reshape(densities.shape)
