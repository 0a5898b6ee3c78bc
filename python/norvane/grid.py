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
FLOAT32_MIN_NORMAL = float(np.finfo(np.float32).tiny)
FLOAT32_MAX = float(np.finfo(np.float32).max)

# sum of |c_k| of the staggered difference of each order.
STENCIL_GAIN = {
    2: 1.0,
    4: 9 / 8 + 1 / 24,
    8: 1225 / 1024 + 245 / 3072 + 49 / 5120 + 5 / 7168,
}


def _normal_float32(name, value):
    """A positive real that float32, the library's precision, holds as a
    normal number: neither rounded to 0 or inf nor stripped of precision."""
    value = _checks.positive_real(name, value)
    if not FLOAT32_MIN_NORMAL <= value <= FLOAT32_MAX:
        raise NorvaneError(name, value, f"must lie in {FLOAT32_MIN_NORMAL:.4g} .. "
                           f"{FLOAT32_MAX:.4g} (normal float32 numbers)")
    return value


class Grid:
    """Node counts, spacings (m), time step (s) and finite-difference order.

    `shape` = (nx, ny, nz) node counts, each >= 3; `spacing` = (dx, dy, dz)
    or one number for a cubic grid; `dt` defaults to `cfl` (0.9) times the
    vacuum Courant limit of the order.
    """

    def __init__(self, shape, spacing, dt=None, order=2, cfl=0.9):
        shape = _checks.triple("shape", shape, "three node counts (nx, ny, nz)")
        # Each count reaches the library as an int32.
        self.shape = tuple(_checks.integer(f"shape[{a}]", n, minimum=3,
                                           maximum=_checks.INT32_MAX)
                           for a, n in enumerate(shape))
        if isinstance(spacing, numbers.Real):
            spacing = (spacing,) * 3
        spacing = _checks.triple("spacing", spacing, "one number or (dx, dy, dz)")
        self.spacing = tuple(_normal_float32(f"spacing[{a}]", h)
                             for a, h in enumerate(spacing))
        if isinstance(order, (bool, np.bool_)) or not isinstance(order, numbers.Integral) \
                or int(order) not in STENCIL_GAIN:
            raise NorvaneError("order", order, "must be 2, 4 or 8")
        self.order = int(order)
        if dt is None:
            cfl = _checks.positive_real("cfl", cfl)
            if cfl > 1:
                raise NorvaneError("cfl", cfl, "must be <= 1 (fraction of the Courant limit)")
            dt = cfl * self.courant_limit()
        # The library works in float32: keep the value it will see.
        self.dt = float(np.float32(_normal_float32("dt", dt)))

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
        # Plane by plane: float64 products of the whole model would need
        # four times the memory of eps_r before the run's budget is checked.
        # (The float64 product of two float32 numbers is exact.)
        min_eps_mu = min(float(np.min(e.astype(np.float64) * m))
                         for e, m in zip(materials.eps_r, materials.mu_r))
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
        shape = check_grid(grid).shape
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
        shape = check_grid(grid).shape
        values = {"eps_r": eps_r, "sigma": sigma, "mu_r": mu_r}
        for name, v in values.items():
            _checks.real(name, v)
        # Broadcast views, float64 so that a value beyond float32 is reported
        # as such: Materials checks the budget and makes the one float32 copy.
        full = {name: np.broadcast_to(np.float64(v), shape) for name, v in values.items()}
        return cls(grid, **full)


def check_grid(grid, name="grid"):
    if not isinstance(grid, Grid):
        raise NorvaneError(name, type(grid).__name__, "must be a norvane.Grid")
    return grid
