"""The numpy driver: forward traces and adjoint gradients.

`forward` checks everything, allocates every array the library touches
(fields, coefficient workspaces, layer memories, snapshot stores, traces)
and runs the time axis in chunks; it returns the traces and a State that
keeps what the adjoint pass needs. `gradient` injects residuals (the
derivative of a misfit with respect to the traces) and returns the misfit's
gradients with respect to permittivity, conductivity and the wavelets.
"""

import collections
import os

import numpy as np

from . import _checks, _lib
from .errors import NorvaneError
from .grid import Grid, Materials
from .pml import AbsorbingLayers
from .progress import run_chunks
from .survey import Snapshots, Survey

Gradients = collections.namedtuple("Gradients", "eps_r sigma wavelet")
Gradients.__doc__ = """eps_r, sigma: [nx-1, ny-1, nz-1] over interior cells (zero inside
the absorbing layers and at conductors with sigma > 100 S/m); wavelet:
[n_src, nt]. An entry not asked for is None."""

_E, _H = ("ex", "ey", "ez"), ("hx", "hy", "hz")
_AXIS = {"x": 0, "y": 1, "z": 2}


def psi_shape(name, width, n_shots, shape):
    """Shape of one layer memory `psi_<comp>_<face>`.

    Along the face normal an E memory has w+1 slabs and an H memory w. Along
    the other axes a memory spans the nodes its component is updated on: E
    components stop one node short along their own axis, H components along
    the two others.
    """
    _, comp, face = name.split("_")
    normal, own = _AXIS[face[0]], _AXIS[comp[1]]
    dims = []
    for axis, n in enumerate(shape):
        if axis == normal:
            dims.append(width + 1 if comp[0] == "e" else width)
        elif (axis == own) == (comp[0] == "e"):
            dims.append(n - 1)
        else:
            dims.append(n)
    return (n_shots, *dims)


class _Workspace:
    """Fields, coefficient workspaces and layer memories of one pass."""

    def __init__(self, grid, n_shots, widths, adjoint):
        n = grid.n_nodes
        # Zero-filled: the coefficient build leaves the last plane of each
        # axis untouched and the layer terms may read it there.
        self.coeffs = {c: np.zeros(n, np.float32)
                       for c in ("ca_e", "cb_e", "cs_e", "ca_h", "cb_h", "cs_h")}
        prefix = "adj_" if adjoint else ""
        self.fields = {prefix + c: np.zeros(n_shots * n, np.float32) for c in _E + _H}
        self.psi = {}
        for name in _lib.PSI_NAMES:
            w = widths[name.rsplit("_", 1)[1]]
            self.psi[prefix + name] = (np.zeros(psi_shape(name, w, n_shots, grid.shape),
                                                np.float32) if w > 0 else None)

    def arguments(self):
        return {**self.coeffs, **self.fields, **self.psi}


def _layer_arguments(widths, profiles):
    args = {f"pml_{face}": w for face, w in widths.items()}
    for face in _lib.FACES:
        prof_e, prof_h = profiles.get(face, (None, None))
        args[f"prof_e_{face}"] = None if prof_e is None else np.ascontiguousarray(prof_e)
        args[f"prof_h_{face}"] = None if prof_h is None else np.ascontiguousarray(prof_h)
    return args


def _grid_arguments(grid, nt, n_shots):
    nx, ny, nz = grid.shape
    dx, dy, dz = grid.spacing
    return dict(nx=nx, ny=ny, nz=nz, dt=grid.dt, dx=dx, dy=dy, dz=dz, nt=nt, n_shots=n_shots)


class State:
    """What a forward run leaves for the adjoint pass.

    Holds float32 copies of the model and survey, the layer profiles, the
    snapshot stores ([C, n_snapshots, n_cells] each, float32 or the 16-bit
    patterns as uint16) and the final fields (`fields['ez']` is
    [n_shots, nx, ny, nz]). `release()` frees the stores.
    """

    def __init__(self, grid, materials, survey, wavelet, widths, profiles, snapshots,
                 e_store, rhs_store, fields):
        self.grid, self.materials, self.survey = grid, materials, survey
        self.wavelet, self.nt = wavelet, wavelet.shape[1]
        self.widths, self.profiles, self.snapshots = widths, profiles, snapshots
        self.e_store, self.rhs_store = e_store, rhs_store
        shape = (survey.n_shots, *grid.shape)
        self.fields = {c: fields[c].reshape(shape) for c in _E + _H}

    @property
    def has_snapshots(self):
        return self.e_store is not None

    @property
    def nbytes(self):
        return sum(s.nbytes for s in (self.e_store, self.rhs_store) if s is not None)

    def release(self):
        self.e_store = self.rhs_store = None


def _check_types(grid, materials, survey, layers, snapshots):
    for name, value, cls in (("grid", grid, Grid), ("materials", materials, Materials),
                             ("survey", survey, Survey), ("snapshots", snapshots, Snapshots),
                             ("layers", layers, AbsorbingLayers)):
        if not isinstance(value, cls):
            raise NorvaneError(name, type(value).__name__, f"must be a norvane.{cls.__name__}")
    if materials.eps_r.shape != grid.shape:
        raise NorvaneError("materials.eps_r.shape", materials.eps_r.shape,
                           f"must match grid.shape {grid.shape}")
    if survey.grid_shape != grid.shape:
        raise NorvaneError("survey", survey.grid_shape,
                           f"was built for another grid; grid.shape is {grid.shape}")


def _check_run_options(progress, chunk_steps):
    if progress not in ("auto", True, False):
        raise NorvaneError("progress", progress, "must be 'auto', True or False")
    if chunk_steps is not None:
        _checks.integer("chunk_steps", chunk_steps, minimum=1)


def _check_memory(nbytes):
    """Refuse snapshot stores larger than the machine's physical memory."""
    try:
        total = os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES")
    except (ValueError, OSError, AttributeError):
        return
    if nbytes > total:
        raise NorvaneError("snapshots", f"{nbytes / 2**30:.1f} GiB of stores",
                           f"exceeds the {total / 2**30:.1f} GiB of memory; raise the interval, "
                           "use format 'half' or 'bfloat16', or components=1")


def _slot_view(store, s0, s1):
    """The slots [s0, s1) of a [C, n_snapshots, n_cells] store, contiguous if possible."""
    view = store[:, s0:s1]
    return view if view.flags.c_contiguous else None


def forward(grid, materials, survey, wavelet, layers=None, snapshots=None, *,
            save_snapshots=True, progress="auto", chunk_steps=None):
    """Simulate every shot; return (traces [n_shots, nt, n_rec], State).

    `wavelet` [n_src, nt] sets nt. `layers` defaults to no absorbing layer
    (electric walls all round), `snapshots` to every step in float32 with
    three components. With save_snapshots=False no store is kept: the State
    can then give wavelet gradients only. `progress`: 'auto', True or False;
    `chunk_steps` forces the chunk length of the time axis.
    """
    layers = AbsorbingLayers(0) if layers is None else layers
    snapshots = Snapshots() if snapshots is None else snapshots
    _check_types(grid, materials, survey, layers, snapshots)
    layers.check(grid)
    grid.check_stability(materials)
    wavelet = survey.check_wavelet(wavelet)
    nt, n_shots = wavelet.shape[1], survey.n_shots
    _check_run_options(progress, chunk_steps)

    profiles = layers.profiles(grid)
    work = _Workspace(grid, n_shots, layers.widths, adjoint=False)
    n_cells = n_shots * int(np.prod(grid.interior_shape))
    interval = snapshots.interval
    if save_snapshots:
        shape = snapshots.store_shape(nt, n_cells)
        _check_memory(2 * int(np.prod(shape)) * snapshots.itemsize)
        e_store = np.empty(shape, snapshots.dtype)
        rhs_store = np.empty(shape, snapshots.dtype)
        fmt = snapshots.format
    else:
        e_store = rhs_store = None
        fmt = snapshots.format | _lib.SNAPSHOTS_OFF
    traces = np.zeros((n_shots, nt, survey.n_rec), np.float32)
    base = {"eps_r": materials.eps_r, "sigma": materials.sigma, "mu_r": materials.mu_r,
            **work.arguments(), **_layer_arguments(layers.widths, profiles),
            "n_rec": survey.n_rec, "rec_pos": survey.rec_pos, "rec_comp": survey.rec_comp,
            "n_src": survey.n_src, "src_pos": survey.src_pos, "src_comp": survey.src_comp,
            "snapshot_interval": interval, "snapshot_components": snapshots.components,
            "snapshot_format": fmt, "save_rhs": 1 if save_snapshots else 0}

    def run_chunk(t0, t1):
        # Chunk stores: the chunk's slots of the global store when they are
        # contiguous (one component, or one chunk), else a small store copied
        # into the global one per component afterwards.
        s0, s1 = t0 // interval, -(-t1 // interval)
        chunk_stores, copy_back = [], []
        for store in (e_store, rhs_store):
            view = None if store is None else _slot_view(store, s0, s1)
            if store is not None and view is None:
                view = np.empty((store.shape[0], s1 - s0, n_cells), store.dtype)
                copy_back.append((view, store))
            chunk_stores.append(view)
        whole = t1 - t0 == nt
        rec = traces if whole else np.zeros((n_shots, t1 - t0, survey.n_rec), np.float32)
        _lib.call("forward", grid.order, {
            **base, **_grid_arguments(grid, t1 - t0, n_shots),
            "src_wavelet": wavelet if whole else np.ascontiguousarray(wavelet[:, t0:t1]),
            "rec_out": rec, "e_snapshots": chunk_stores[0], "rhs_snapshots": chunk_stores[1]})
        if not whole:
            traces[:, t0:t1] = rec
        for chunk_store, store in copy_back:
            store[:, s0:s1] = chunk_store

    run_chunks("norvane forward", nt, interval, run_chunk, reverse=False, progress=progress,
               chunk_steps=chunk_steps)
    state = State(grid, materials, survey, wavelet, layers.widths, profiles, snapshots,
                  e_store, rhs_store, work.fields)
    return traces, state


def gradient(state, residuals, *, eps_r=True, sigma=True, wavelet=True, progress="auto",
             chunk_steps=None):
    """Gradients of a misfit whose derivative with respect to the traces is `residuals`.

    `residuals` has the shape of the traces, [n_shots, nt, n_rec]. Returns a
    Gradients tuple; eps_r/sigma/wavelet=False skips that gradient (the
    material gradients need a State with snapshots).
    """
    if not isinstance(state, State):
        raise NorvaneError("state", type(state).__name__, "must be the State from forward()")
    grid, survey, snapshots, nt = state.grid, state.survey, state.snapshots, state.nt
    residuals = survey.check_residuals(residuals, nt)
    if (eps_r or sigma) and not state.has_snapshots:
        raise NorvaneError("state", "no snapshots", "material gradients need a forward run "
                           "with save_snapshots=True (and stores not released)")
    _check_run_options(progress, chunk_steps)
    n_shots, interval = survey.n_shots, snapshots.interval
    work = _Workspace(grid, n_shots, state.widths, adjoint=True)
    g_eps = np.zeros(grid.interior_shape, np.float32) if eps_r else None
    g_sig = np.zeros(grid.interior_shape, np.float32) if sigma else None
    g_wav = np.zeros((survey.n_src, nt), np.float32) if wavelet else None
    use_stores = bool(eps_r or sigma)
    base = {"eps_r": state.materials.eps_r, "sigma": state.materials.sigma,
            "mu_r": state.materials.mu_r, **work.arguments(),
            **_layer_arguments(state.widths, state.profiles), "reserved_i32": 0,
            "n_rec": survey.n_rec, "rec_pos": survey.rec_pos, "rec_comp": survey.rec_comp,
            "n_src": survey.n_src, "src_pos": survey.src_pos, "src_comp": survey.src_comp,
            "want_grad_wavelet": 1 if wavelet else 0, "grad_eps_r": g_eps, "grad_sigma": g_sig,
            "want_grad_eps_r": 1 if eps_r else 0, "want_grad_sigma": 1 if sigma else 0,
            "snapshot_interval": interval, "snapshot_components": snapshots.components,
            "snapshot_format": snapshots.format}

    def run_chunk(t0, t1):
        s0, s1 = t0 // interval, -(-t1 // interval)
        stores = [None, None]
        if use_stores:
            stores = [np.ascontiguousarray(s[:, s0:s1])
                      for s in (state.e_store, state.rhs_store)]
        whole = t1 - t0 == nt
        gw = None
        if wavelet:
            gw = g_wav if whole else np.zeros((survey.n_src, t1 - t0), np.float32)
        _lib.call("backward", grid.order, {
            **base, **_grid_arguments(grid, t1 - t0, n_shots),
            "rec_residual": residuals if whole else np.ascontiguousarray(residuals[:, t0:t1]),
            "grad_wavelet": gw, "e_snapshots": stores[0], "rhs_snapshots": stores[1]})
        if wavelet and not whole:
            g_wav[:, t0:t1] += gw

    run_chunks("norvane gradient", nt, interval, run_chunk, reverse=True, progress=progress,
               chunk_steps=chunk_steps)
    return Gradients(g_eps, g_sig, g_wav)
