"""Shared fixtures: the package from the source tree and one small model.

The suite needs the built library (build/libnorvane_cpu.so or NORVANE_LIB)
and Debian's python3 with numpy and pytest; the torch tests skip without torch.
"""

import ctypes
import os
import pathlib
import sys

# Sleeping rather than spinning at the library's per-phase barriers changes
# no result but keeps small runs fast when the cores are shared with other
# work; it must be set before the OpenMP runtime is loaded.
os.environ.setdefault("OMP_WAIT_POLICY", "PASSIVE")

import numpy as np
import pytest

REPO = pathlib.Path(__file__).resolve().parents[2]
sys.path.insert(0, str(REPO / "python"))

import norvane as nv  # noqa: E402


class Case:
    """An 18x16x14 two-shot model with layers, random materials and a wavelet."""

    def __init__(self, order=2, nt=60, widths=3, seed=0):
        rng = np.random.default_rng(seed)
        self.grid = nv.Grid((18, 16, 14), (0.01, 0.011, 0.009), order=order)
        shape = self.grid.shape
        self.eps_r = (2 + rng.random(shape)).astype(np.float32)
        self.sigma = (0.02 + 0.01 * rng.random(shape)).astype(np.float32)
        self.materials = nv.Materials(self.grid, self.eps_r, self.sigma)
        self.survey = nv.Survey(self.grid, [[[6, 8, 7]], [[10, 7, 6]]],
                                [[[11, 8, 7], [8, 9, 8]], [[5, 8, 7], [12, 9, 8]]])
        self.wavelet = nv.ricker(3e9, nt, self.grid.dt)[None]
        self.layers = nv.AbsorbingLayers(widths, eps_r=2.0)
        # Cells where the library forms material gradients: outside the layers.
        self.inside = np.zeros(shape, bool)
        self.inside[widths:-1 - widths, widths:-1 - widths, widths:-1 - widths] = True

    def forward(self, **kw):
        kw.setdefault("progress", False)
        return nv.forward(self.grid, self.materials, self.survey, self.wavelet, self.layers,
                          **kw)


@pytest.fixture
def case():
    return Case()


@pytest.fixture
def one_thread():
    """Run the library single-threaded. Both passes give the same bits for
    any thread count; tests that compare against separately computed runs
    pin one thread anyway so that a failure points at the host layer."""
    try:
        gomp = ctypes.CDLL("libgomp.so.1")
    except OSError:
        pytest.skip("libgomp not found; cannot pin the thread count")
    before = gomp.omp_get_max_threads()
    gomp.omp_set_num_threads(1)
    yield
    gomp.omp_set_num_threads(before)
