"""The Yee grid, its time step, and the material model on it.

Stability: the leapfrog scheme on a staggered grid is stable while

    dt <= 1 / (v_max * sqrt(1/dx^2 + 1/dy^2 + 1/dz^2) * sum_k |c_k|),

where v_max = c0 / sqrt(min(eps_r * mu_r)) is the fastest wave speed in the
model and sum_k |c_k| is the largest amplification of the order's staggered
difference (1 for second order, 9/8 + 1/24 for fourth, and so on). The
default time step sits at 0.9 of the limit for vacuum.
"""

import numbers

import numpy as np

from . import _checks
from .errors import NorvaneError

C0 = 299792458.0

# sum of |c_k| of the staggered difference of each order.
STENCIL_GAIN = {
    2: 1.0,
    4: 9 / 8 + 1 / 24,
    8: 1225 / 1024 + 245 / 3072 + 49 / 5120 + 5 / 7168,
}


class Grid:
    """Node counts, spacings (m), time step (s) and finite-difference order.

    `shape` = (nx, ny, nz) node counts, each >= 3; `spacing` = (dx, dy, dz)
    or one number for a cubic grid; `dt` defaults to `cfl` (0.9) times the
    vacuum Courant limit of the order.
    """

    def __init__(self, shape, spacing, dt=None, order=2, cfl=0.9):
        if isinstance(shape, numbers.Integral) or len(tuple(shape)) != 3:
            raise NorvaneError("shape", shape, "must be three node counts (nx, ny, nz)")
        self.shape = tuple(_checks.integer(f"shape[{a}]", n, minimum=3)
                           for a, n in enumerate(shape))
        if isinstance(spacing, numbers.Real):
            spacing = (spacing,) * 3
        if len(tuple(spacing)) != 3:
            raise NorvaneError("spacing", spacing, "must be one number or (dx, dy, dz)")
        self.spacing = tuple(_checks.positive_real(f"spacing[{a}]", h)
                             for a, h in enumerate(spacing))
        if order not in STENCIL_GAIN or isinstance(order, bool):
            raise NorvaneError("order", order, "must be 2, 4 or 8")
        self.order = int(order)
        if dt is None:
            cfl = _checks.positive_real("cfl", cfl)
            if cfl > 1:
                raise NorvaneError("cfl", cfl, "must be <= 1 (fraction of the Courant limit)")
            dt = cfl * self.courant_limit()
        self.dt = _checks.positive_real("dt", dt)
        # The library works in float32: keep the value it will see.
        self.dt = float(np.float32(self.dt))

    @property
    def n_nodes(self):
        nx, ny, nz = self.shape
        return nx * ny * nz

    @property
    def interior_shape(self):
        """Shape of the cell grids the material gradients live on."""
        return tuple(n - 1 for n in self.shape)

    def courant_limit(self, min_eps_mu=1.0):
        """Largest stable dt for a slowest-index medium with eps_r*mu_r = min_eps_mu."""
        inv = np.sqrt(sum(1.0 / h ** 2 for h in self.spacing))
        v_max = C0 / np.sqrt(min_eps_mu)
        return float(1.0 / (v_max * inv * STENCIL_GAIN[self.order]))

    def check_stability(self, materials):
        """Raise NorvaneError if dt exceeds the Courant limit of `materials`."""
        min_eps_mu = float(np.min(materials.eps_r.astype(np.float64)
                                  * materials.mu_r.astype(np.float64)))
        limit = self.courant_limit(min_eps_mu)
        if self.dt > limit:
            raise NorvaneError("dt", self.dt,
                               f"exceeds the Courant limit {limit:.6g} s of order {self.order} "
                               f"for the fastest medium (min eps_r*mu_r = {min_eps_mu:.6g})")

    def __repr__(self):
        return (f"Grid(shape={self.shape}, spacing={self.spacing}, dt={self.dt:.6g}, "
                f"order={self.order})")


class Materials:
    """Relative permittivity, conductivity (S/m) and relative permeability per node.

    All three are copied to float32 arrays of the grid's shape; `sigma`
    defaults to 0 and `mu_r` to 1. Nodes with sigma > 100 S/m act as perfect
    electric conductors in the library.
    """

    def __init__(self, grid, eps_r, sigma=None, mu_r=None):
        shape = grid.shape
        self.eps_r = _checks.real_array("eps_r", eps_r, shape)
        _checks.bounded_below("eps_r", self.eps_r, 0.0, strict=True)
        self.sigma = (np.zeros(shape, np.float32) if sigma is None
                      else _checks.real_array("sigma", sigma, shape))
        _checks.bounded_below("sigma", self.sigma, 0.0, strict=False)
        self.mu_r = (np.ones(shape, np.float32) if mu_r is None
                     else _checks.real_array("mu_r", mu_r, shape))
        _checks.bounded_below("mu_r", self.mu_r, 0.0, strict=True)

    @classmethod
    def homogeneous(cls, grid, eps_r=1.0, sigma=0.0, mu_r=1.0):
        full = lambda v: np.full(grid.shape, v, np.float32)  # noqa: E731
        return cls(grid, full(eps_r), full(sigma), full(mu_r))
