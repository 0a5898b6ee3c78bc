"""Acquisition geometry, source wavelets and snapshot settings."""

import numbers

import numpy as np

from . import _checks, memory
from .errors import NorvaneError
from .grid import check_grid


def ricker(freq, nt, dt, delay=None):
    """Ricker wavelet (second derivative of a Gaussian) of peak frequency `freq` Hz.

    r(t) = (1 - 2 (pi f tau)^2) exp(-(pi f tau)^2), tau = t - delay, sampled at
    t = n dt for n < nt. The default delay 1.5/f starts it below 1e-8 of its peak.
    """
    freq = _checks.positive_real("freq", freq)
    nt = _checks.integer("nt", nt, minimum=1, maximum=_checks.INT32_MAX)
    dt = _checks.positive_real("dt", dt)
    delay = 1.5 / freq if delay is None else _checks.real("delay", delay)
    memory.check_allocation("wavelet", 36 * nt)  # float64 temporaries and the result
    with np.errstate(all="ignore"):
        arg = (np.pi * freq * (np.arange(nt) * dt - delay)) ** 2
        r = (1 - 2 * arg) * np.exp(-arg)
    # Far in the tail exp(-arg) underflows to 0 and arg itself may overflow
    # to inf, where 0 * inf gives NaN: the wavelet's limit there is 0.
    r[~np.isfinite(r)] = 0.0
    return r.astype(np.float32)


class Survey:
    """Source and receiver node positions per shot, and their components.

    `src_pos` [n_shots, n_src, 3] and `rec_pos` [n_shots, n_rec, 3] hold
    integer (i, j, k) node indices; `src_comp` is the driven and `rec_comp`
    the recorded electric component (0/1/2 or 'x'/'y'/'z'). A source is a
    soft current source: its wavelet is a current (A) along the component,
    spread over one cell.
    """

    def __init__(self, grid, src_pos, rec_pos, src_comp=2, rec_comp=2):
        check_grid(grid)
        self.src_pos = _checks.positions("src_pos", src_pos, None, grid.shape)
        self.rec_pos = _checks.positions("rec_pos", rec_pos, self.src_pos.shape[0], grid.shape)
        self.src_comp = _checks.component("src_comp", src_comp)
        self.rec_comp = _checks.component("rec_comp", rec_comp)
        self.grid_shape = grid.shape

    @property
    def n_shots(self):
        return self.src_pos.shape[0]

    @property
    def n_src(self):
        return self.src_pos.shape[1]

    @property
    def n_rec(self):
        return self.rec_pos.shape[1]

    def check_wavelet(self, wavelet, memory_limit=None):
        """float32 [n_src, nt] copy of the wavelets (a 1-D array means one source)."""
        w = _checks.real_array("wavelet", wavelet, memory_limit=memory_limit)
        if w.ndim == 1 and self.n_src == 1:
            w = w[None, :]
        if w.ndim != 2 or w.shape[0] != self.n_src or not 1 <= w.shape[1] <= _checks.INT32_MAX:
            raise NorvaneError("wavelet.shape", w.shape,
                               f"must be [n_src={self.n_src}, nt] with 1 <= nt <= "
                               f"{_checks.INT32_MAX}")
        return np.ascontiguousarray(w)

    def check_residuals(self, residuals, nt, memory_limit=None):
        want = (self.n_shots, nt, self.n_rec)
        return _checks.real_array("residuals", residuals, want, memory_limit=memory_limit)


FORMATS = {"float32": 0, "half": 1, "float16": 1, "bfloat16": 2}


class Snapshots:
    """How the forward pass keeps E for the gradient.

    `interval` steps between snapshots (1 gives the exact discrete gradient;
    larger values replace the skipped steps by the sampled one), `format`
    'float32', 'half' or 'bfloat16' (or the codes 0, 1, 2), `components` 3
    (ex, ey, ez) or 1 (ez only: enough when the source and receivers are z
    and the model varies little sideways, at a third of the memory).
    """

    def __init__(self, interval=1, format="float32", components=3):
        # The interval reaches the library as an int32 and sizes the stores.
        self.interval = _checks.integer("snapshot interval", interval, minimum=1,
                                        maximum=_checks.INT32_MAX)
        if isinstance(format, str):
            if format.lower() not in FORMATS:
                raise NorvaneError("snapshot format", format, f"must be one of {list(FORMATS)}")
            self.format = FORMATS[format.lower()]
        elif isinstance(format, numbers.Integral) and not isinstance(format, (bool, np.bool_)) \
                and int(format) in (0, 1, 2):
            self.format = int(format)
        else:
            raise NorvaneError("snapshot format", format,
                               "must be 0/'float32', 1/'half' or 2/'bfloat16'")
        if isinstance(components, (bool, np.bool_)) \
                or not isinstance(components, numbers.Integral) or int(components) not in (1, 3):
            raise NorvaneError("snapshot components", components, "must be 3 or 1")
        self.components = int(components)

    @property
    def itemsize(self):
        return 4 if self.format == 0 else 2

    @property
    def dtype(self):
        return np.float32 if self.format == 0 else np.uint16

    def store_shape(self, nt, n_cells):
        """[C, n_snapshots, n_cells] of one store."""
        return (self.components, -(-nt // self.interval), n_cells)
