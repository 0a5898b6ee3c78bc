"""Convolutional perfectly matched layers: profiles and face widths.

Inside a layer the normal derivative d/du is replaced by the stretched one

    (1/s) d/du,   s(u, w) = kappa(u) + sigma(u) / (alpha(u) + i w eps0),

whose time-domain form is a convolution that a one-pole recursion evaluates
exactly for piecewise-constant fields. With b = exp(-(sigma/kappa + alpha)
dt/eps0) and a = sigma (b - 1) / (sigma kappa + kappa^2 alpha) (a = 0 where
sigma = 0), the memory of one field component is

    psi^n = b psi^(n-1) + a d^n,     d = D / h  (normal difference / spacing),

and the field receives c (d/kappa + psi^n) in place of c d, with c = dt/eps_eff
(E side) or dt/mu (H side). The library applies, with the memory psi held
from the previous step and the interior update having added c d already,

    F += sign c ((r0 - 1) d + r1 psi);    psi <- r2 psi - r3 d,

which is the same recursion for r0 = 1/kappa + a, r1 = r2 = b, r3 = -a:
(r0 - 1) d + r1 psi_old + d = d/kappa + (b psi_old + a d) = d/kappa + psi_new.

Grading: the profile index p runs from 0 at the inner edge of a layer to w-1
at the outer face. E-side samples sit on nodes and H-side samples half a cell
further out, so, measured in cells from the inner edge towards the outer
(electric-wall) face, an E sample with index p lies at depth p and an H sample
at depth p + 1/2, on low and high faces alike; the layer is w cells thick.
Each quantity is graded at that depth x with the usual polynomial laws

    sigma(x) = sigma_max (x/w)^m,   kappa(x) = 1 + (kappa_max - 1)(x/w)^m,
    alpha(x) = alpha_max (1 - x/w),

sigma_max = scale * (m + 1) / (150 pi sqrt(eps_r) h), the optimum for a
layer backed by a conductor in a medium of permittivity eps_r.
"""

import collections
import numbers

import numpy as np

from . import _checks
from ._lib import FACES
from .errors import NorvaneError
from .grid import check_grid

EPS0 = 8.854187817e-12

CpmlProfiles = collections.namedtuple("CpmlProfiles", "e_lo h_lo e_hi h_hi")
CpmlProfiles.__doc__ = """[4, w] float32 rows r0..r3 of the E and H side, low and high face."""


def grading(width, h, dt, order_m=3, eps_r=1.0, sigma_scale=1.0, kappa_max=1.0,
            alpha_max=0.01, side="e"):
    """sigma (S/m), kappa and alpha (S/m) at the w samples of one side, float64."""
    depth = np.arange(width, dtype=np.float64) + (0.5 if side == "h" else 0.0)
    x = depth / width
    sigma_max = sigma_scale * (order_m + 1) / (150 * np.pi * np.sqrt(eps_r) * h)
    sigma = sigma_max * x ** order_m
    kappa = 1 + (kappa_max - 1) * x ** order_m
    alpha = alpha_max * (1 - x)
    return sigma, kappa, alpha


def recursion_rows(sigma, kappa, alpha, dt):
    """Rows r0..r3 of the layer recursion from graded sigma, kappa, alpha."""
    b = np.exp(-(sigma / kappa + alpha) * dt / EPS0)
    denom = sigma * kappa + kappa ** 2 * alpha
    a = np.zeros_like(sigma)
    lossy = sigma > 0
    a[lossy] = sigma[lossy] * (b[lossy] - 1) / denom[lossy]
    return np.stack([1 / kappa + a, b, b, -a]).astype(np.float32)


def _grading_parameters(order_m, eps_r, sigma_scale, kappa_max, alpha_max):
    """The checked grading parameters, as floats, in the order of the arguments."""
    order_m = _checks.positive_real("order_m", order_m)
    eps_r = _checks.positive_real("eps_r", eps_r)
    sigma_scale = _checks.positive_real("sigma_scale", sigma_scale)
    kappa_max = _checks.positive_real("kappa_max", kappa_max)
    if kappa_max < 1:
        raise NorvaneError("kappa_max", kappa_max, "must be >= 1")
    alpha_max = _checks.real("alpha_max", alpha_max)
    if alpha_max < 0:
        raise NorvaneError("alpha_max", alpha_max, "must be finite and >= 0")
    return order_m, eps_r, sigma_scale, kappa_max, alpha_max


def cpml_profiles(width, h, dt, order_m=3, eps_r=1.0, sigma_scale=1.0, kappa_max=1.0,
                  alpha_max=0.01):
    """E- and H-side recursion profiles of one face pair of width `width` cells.

    `h` is the spacing along the face normal (m), `dt` the time step (s),
    `eps_r` the permittivity of the medium next to the layer. Low and high
    faces get equal arrays: depth from the inner edge is the same for both.
    """
    width = _checks.integer("width", width, minimum=1, maximum=_checks.INT32_MAX)
    h = _checks.positive_real("h", h)
    dt = _checks.positive_real("dt", dt)
    params = _grading_parameters(order_m, eps_r, sigma_scale, kappa_max, alpha_max)
    # Extreme parameters overflow (sigma_max beyond the float range, or
    # 1/kappa + a beyond float32); such profiles are refused below.
    with np.errstate(all="ignore"):
        e = recursion_rows(*grading(width, h, dt, *params, "e"), dt)
        hh = recursion_rows(*grading(width, h, dt, *params, "h"), dt)
    if not (np.isfinite(e).all() and np.isfinite(hh).all()):
        raise NorvaneError("sigma_scale", sigma_scale,
                           f"gives non-finite layer profiles with h = {h:g} m, dt = {dt:g} s, "
                           f"kappa_max = {kappa_max:g}, alpha_max = {alpha_max:g}: "
                           "the layer conductivity or stretching overflows float32")
    return CpmlProfiles(e, hh, e.copy(), hh.copy())


class AbsorbingLayers:
    """Layer widths per face plus the grading parameters of the profiles.

    `widths`: one int for all six faces, a tuple of six in the order
    (xlo, xhi, ylo, yhi, zlo, zhi), or a dict with face names (and optionally
    'x', 'y', 'z' for both faces of an axis); faces not named get 0.
    """

    def __init__(self, widths=10, order_m=3, eps_r=1.0, sigma_scale=1.0, kappa_max=1.0,
                 alpha_max=0.01):
        self.widths = _widths(widths)
        (self.order_m, self.eps_r, self.sigma_scale, self.kappa_max,
         self.alpha_max) = _grading_parameters(order_m, eps_r, sigma_scale, kappa_max,
                                               alpha_max)

    def check(self, grid):
        """Each axis must keep the low and high layers apart: w_lo + w_hi <= n - 2."""
        check_grid(grid)
        for axis, n in enumerate(grid.shape):
            lo, hi = self.widths[FACES[2 * axis]], self.widths[FACES[2 * axis + 1]]
            if lo + hi > n - 2:
                raise NorvaneError(f"widths[{FACES[2 * axis]}] + widths[{FACES[2 * axis + 1]}]",
                                   lo + hi, f"must be <= n{'xyz'[axis]} - 2 = {n - 2} so the "
                                   "two layers of the axis do not overlap")

    def profiles(self, grid):
        """{face: (prof_e, prof_h)} for faces of nonzero width, [4, w] float32 each."""
        self.check(grid)
        out = {}
        for f, face in enumerate(FACES):
            w = self.widths[face]
            if w == 0:
                continue
            p = cpml_profiles(w, grid.spacing[f // 2], grid.dt, self.order_m, self.eps_r,
                              self.sigma_scale, self.kappa_max, self.alpha_max)
            out[face] = (p.e_hi, p.h_hi) if face.endswith("hi") else (p.e_lo, p.h_lo)
        return out


def _widths(widths):
    if isinstance(widths, dict):
        out = dict.fromkeys(FACES, 0)
        for key, value in widths.items():
            if key in ("x", "y", "z"):
                out[key + "lo"] = out[key + "hi"] = value
            elif isinstance(key, str) and key in out:
                out[key] = value
            else:
                raise NorvaneError("widths", key, f"unknown face; use {FACES} or 'x', 'y', 'z'")
    elif isinstance(widths, numbers.Integral) and not isinstance(widths, (bool, np.bool_)):
        out = dict.fromkeys(FACES, widths)
    else:
        try:
            items = tuple(widths) if not isinstance(widths, (str, bytes)) else ()
        except Exception:  # not iterable
            items = ()
        if len(items) != 6:
            raise NorvaneError("widths", widths, f"must be one int or six ints {FACES}")
        out = dict(zip(FACES, items))
    return {face: _checks.integer(f"widths[{face}]", w, minimum=0, maximum=_checks.INT32_MAX)
            for face, w in out.items()}
