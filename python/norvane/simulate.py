"""The numpy driver: forward traces and adjoint gradients.

`forward` checks everything, allocates every array the library touches
(fields, coefficient workspaces, layer memories, snapshot stores, traces)
and runs the time axis in chunks; it returns the traces and a State that
keeps what the adjoint pass needs. `gradient` injects residuals (the
derivative of a misfit with respect to the traces) and returns the misfit's
gradients with respect to permittivity, conductivity and the wavelets.

Both add up what they will allocate before allocating anything (see
memory.py and `estimate_memory`), and both stop cleanly on Ctrl-C: the
interrupt is held until the chunk running in the library has finished and
been copied back, then `norvane.Interrupted` (a KeyboardInterrupt) is raised
carrying the outputs of the completed steps.
"""

import collections
import os

import numpy as np

from . import _checks, _lib, memory
from . import progress as progress_module
from .errors import Interrupted, NorvaneError
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


# The field and coefficient arrays start at different offsets within a
# memory page, five cache lines apart. Arrays that all start at the same
# offset (as separate large allocations do) put the elements a row update
# reads and writes at equal addresses modulo the page: the loads then wait
# on unrelated stores (false store-to-load dependencies) and compete for the
# same L1 sets. Staggered, both passes run 5-25 % faster, with the same bits.
_PAGE_FLOATS = 1024
_STAGGER_FLOATS = 80


def _staggered_floats(count, size):
    """Floats of the one allocation behind `count` staggered arrays of `size`."""
    return count * (size + _PAGE_FLOATS) + _PAGE_FLOATS


def _staggered_zeros(count, size, first_slot):
    """`count` zeroed float32 arrays of `size` elements in one allocation, the
    i-th starting (first_slot + i) * 320 bytes into a memory page."""
    buf = np.zeros(_staggered_floats(count, size), np.float32)
    address = buf.ctypes.data // 4  # in floats; numpy aligns data to 16 bytes
    arrays, pos = [], 0
    for i in range(count):
        target = (_STAGGER_FLOATS * (first_slot + i)) % _PAGE_FLOATS
        pos += (target - (address + pos)) % _PAGE_FLOATS
        arrays.append(buf[pos:pos + size])
        pos += size
    return arrays


class _Workspace:
    """Fields, coefficient workspaces and layer memories of one pass."""

    def __init__(self, grid, n_shots, widths, adjoint):
        n = grid.n_nodes
        # Zero-filled: the coefficient build leaves the last plane of each
        # axis untouched and the layer terms may read it there. The fields
        # (kept by the State) and the coefficients (not) are separate
        # allocations.
        names = ("ca_e", "cb_e", "cs_e", "ca_h", "cb_h", "cs_h")
        self.coeffs = dict(zip(names, _staggered_zeros(6, n, 6)))
        prefix = "adj_" if adjoint else ""
        self.fields = dict(zip((prefix + c for c in _E + _H),
                               _staggered_zeros(6, n_shots * n, 0)))
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
    patterns as uint16), the final fields (`fields['ez']` is
    [n_shots, nx, ny, nz]) and the final layer memories (`memories`, keyed
    like the library's psi parameters, None for faces of width 0).
    `release()` frees the stores.
    """

    def __init__(self, grid, materials, survey, wavelet, widths, profiles, snapshots,
                 e_store, rhs_store, fields, memories=None):
        self.grid, self.materials, self.survey = grid, materials, survey
        self.wavelet, self.nt = wavelet, wavelet.shape[1]
        self.widths, self.profiles, self.snapshots = widths, profiles, snapshots
        self.e_store, self.rhs_store = e_store, rhs_store
        shape = (survey.n_shots, *grid.shape)
        self.fields = {c: fields[c].reshape(shape) for c in _E + _H}
        self.memories = dict(memories or {})

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


def _check_run_options(progress, chunk_steps, memory_limit):
    """The checked progress setting ('auto', True or False)."""
    if isinstance(progress, (bool, np.bool_)):
        progress = bool(progress)
    elif not (isinstance(progress, str) and progress == "auto"):
        raise NorvaneError("progress", progress, "must be 'auto', True or False")
    if chunk_steps is not None:
        _checks.integer("chunk_steps", chunk_steps, minimum=1)
    if memory_limit is not None:
        memory.parse_bytes("memory_limit", memory_limit)
    return progress


# Splitting a run with three snapshot components copies each chunk's slots
# through a buffer (the slots of one chunk are not contiguous in a
# [C, n_snapshots, n_cells] store). Automatic chunks are kept short enough
# that these buffers stay under 1/8 of the stores, or 64 MiB for small runs.
CHUNK_BUFFER_SHARE = 8
CHUNK_BUFFER_FLOOR = 64 * 2**20


def _chunking(nt, interval, slot_bytes, progress, chunk_steps):
    """(max_steps of automatic chunks or None, longest chunk if the run is
    split, 0 if it runs in one call). `slot_bytes`: bytes of chunk buffer
    per snapshot slot (0 if none)."""
    def rounded(n):
        return -(-n // interval) * interval

    if chunk_steps is None and progress is False:
        return None, 0
    if chunk_steps is not None:
        return None, (rounded(chunk_steps) if rounded(chunk_steps) < nt else 0)
    max_steps = None
    if slot_bytes:
        n_slots = -(-nt // interval)
        cap = max(CHUNK_BUFFER_FLOOR, n_slots * slot_bytes // CHUNK_BUFFER_SHARE)
        max_steps = max(1, cap // slot_bytes) * interval
    # Automatic chunking times a short first chunk, then runs the rest in
    # one or more chunks: split unless that first chunk covers the run.
    first = min(rounded(progress_module.FIRST_CHUNK_STEPS), max_steps or nt)
    return max_steps, (0 if first >= nt else min(nt, max_steps or nt))


def _layer_bytes(grid, n_shots, widths):
    """Layer memories and their profiles ([4, w] E and H rows per face)."""
    total = 0
    for name in _lib.PSI_NAMES:
        w = widths[name.rsplit("_", 1)[1]]
        if w > 0:
            total += 4 * int(np.prod(psi_shape(name, w, n_shots, grid.shape), dtype=object))
    return total + sum(2 * 4 * 4 * w for w in widths.values())


def _omp_threads():
    """Threads the library's parallel regions run with (its default team)."""
    first = os.environ.get("OMP_NUM_THREADS", "").split(",")[0].strip()
    return int(first) if first.isdigit() and int(first) > 0 else (os.cpu_count() or 1)


def _forward_estimate(grid, survey, nt, widths, snapshots, save_snapshots, progress,
                      chunk_steps):
    """(MemoryEstimate of a forward run, max_steps for its automatic chunks)."""
    n_shots, n_nodes = survey.n_shots, grid.n_nodes
    n_cells = n_shots * int(np.prod(grid.interior_shape, dtype=object))
    c, size = snapshots.components, snapshots.itemsize
    n_slots = -(-nt // snapshots.interval)
    slot_bytes = 2 * c * n_cells * size if save_snapshots and c > 1 else 0
    max_steps, chunk = _chunking(nt, snapshots.interval, slot_bytes, progress, chunk_steps)
    buffers = 0
    if chunk:
        buffers = (slot_bytes * -(-chunk // snapshots.interval)
                   + 4 * chunk * (n_shots * survey.n_rec + survey.n_src))
    estimate = memory.MemoryEstimate("forward", {
        "fields": 4 * _staggered_floats(6, n_shots * n_nodes),
        "coefficients": 4 * _staggered_floats(6, n_nodes),
        "layer memories": _layer_bytes(grid, n_shots, widths),
        "snapshot stores": 2 * c * n_slots * n_cells * size if save_snapshots else 0,
        "chunk buffers": buffers,
        "library scratch": (4 * (_omp_threads() * c * (grid.shape[2] - 1)
                                 + n_shots * survey.n_src) if save_snapshots else 0),
        "traces": 4 * n_shots * nt * survey.n_rec,
        "wavelet": 4 * survey.n_src * nt})
    return estimate, max_steps


def _gradient_estimate(grid, survey, nt, widths, snapshots, stores, want, progress,
                       chunk_steps):
    """(MemoryEstimate of a gradient run, max_steps for its automatic chunks).

    `stores`: (bytes of both stores, whether their first nt slots are
    contiguous) when the material gradients read them, else None; `want`:
    the (eps_r, sigma, wavelet) flags."""
    n_shots, n_nodes = survey.n_shots, grid.n_nodes
    n_interior = int(np.prod(grid.interior_shape, dtype=object))
    store_bytes, contiguous = stores if stores is not None else (0, True)
    n_slots = -(-nt // snapshots.interval)
    # A chunk's slots are copied unless they are contiguous in the store:
    # never for one component, for three unless the chunk is the whole run.
    sliced = stores is not None and snapshots.components > 1
    slot_bytes = store_bytes // n_slots if sliced else 0
    max_steps, chunk = _chunking(nt, snapshots.interval, slot_bytes, progress, chunk_steps)
    if chunk:
        # Reverse chunks end at nt, which need not be a snapshot step: the
        # last one may reach into one slot more.
        slots = -(-chunk // snapshots.interval) + 1
        buffers = (slot_bytes * slots
                   + 4 * (chunk + snapshots.interval) * (n_shots * survey.n_rec
                                                         + survey.n_src * bool(want[2])))
    else:  # one call: the stores are copied only if they are views of longer ones
        buffers = 0 if contiguous else store_bytes
    estimate = memory.MemoryEstimate("gradient", {
        "adjoint fields": 4 * _staggered_floats(6, n_shots * n_nodes),
        "adjoint coefficients": 4 * _staggered_floats(6, n_nodes),
        "adjoint layer memories": _layer_bytes(grid, n_shots, widths),
        "adjoint chunk buffers": buffers,
        "residuals": 4 * n_shots * nt * survey.n_rec,
        "gradients": (4 * n_interior * (bool(want[0]) + bool(want[1]))
                      + 4 * survey.n_src * nt * bool(want[2]))})
    return estimate, max_steps


_ADVICE = ("simulate fewer shots per call, raise the snapshot interval, use snapshot format "
           "'half' or 'bfloat16' or components=1, or save_snapshots=False for traces only")


def estimate_memory(grid, survey, nt, layers=None, snapshots=None, *, save_snapshots=True,
                    gradient=False, progress="auto", chunk_steps=None):
    """What `forward` (and, with gradient=True, a `gradient` on its State) allocates.

    Returns a MemoryEstimate: bytes by item (`items`, also by indexing) and
    their sum `total`; str() gives the total and the breakdown in GiB/MiB.
    Arguments as for forward, with nt the number of time steps. With
    gradient=True the items of the adjoint pass are added (keys 'adjoint
    ...', 'residuals', 'gradients'): the peak of a forward and a gradient
    run while the State is kept, as in a torch training step, is at most
    this total. The materials (3 x 4 bytes a node) are not included: they
    exist before the call.
    """
    layers = AbsorbingLayers(0) if layers is None else layers
    snapshots = Snapshots() if snapshots is None else snapshots
    for name, value, cls in (("grid", grid, Grid), ("survey", survey, Survey),
                             ("layers", layers, AbsorbingLayers),
                             ("snapshots", snapshots, Snapshots)):
        if not isinstance(value, cls):
            raise NorvaneError(name, type(value).__name__, f"must be a norvane.{cls.__name__}")
    if survey.grid_shape != grid.shape:
        raise NorvaneError("survey", survey.grid_shape,
                           f"was built for another grid; grid.shape is {grid.shape}")
    layers.check(grid)
    nt = _checks.integer("nt", nt, minimum=1, maximum=_checks.INT32_MAX)
    save_snapshots = _checks.flag("save_snapshots", save_snapshots)
    gradient = _checks.flag("gradient", gradient)
    progress = _check_run_options(progress, chunk_steps, None)
    estimate, _ = _forward_estimate(grid, survey, nt, layers.widths, snapshots, save_snapshots,
                                    progress, chunk_steps)
    if gradient:
        stores = (estimate["snapshot stores"], True) if save_snapshots else None
        estimate = estimate + _gradient_estimate(
            grid, survey, nt, layers.widths, snapshots, stores,
            (save_snapshots, save_snapshots, True), progress, chunk_steps)[0]
    return estimate


def _slot_view(store, s0, s1):
    """The slots [s0, s1) of a [C, n_snapshots, n_cells] store, contiguous if possible."""
    view = store[:, s0:s1]
    return view if view.flags.c_contiguous else None


def forward(grid, materials, survey, wavelet, layers=None, snapshots=None, *,
            save_snapshots=True, progress="auto", chunk_steps=None, memory_limit=None):
    """Simulate every shot; return (traces [n_shots, nt, n_rec], State).

    `wavelet` [n_src, nt] sets nt. `layers` defaults to no absorbing layer
    (electric walls all round), `snapshots` to every step in float32 with
    three components. With save_snapshots=False no store is kept: the State
    can then give wavelet gradients only. `progress`: 'auto', True or False;
    `chunk_steps` forces the chunk length of the time axis. `memory_limit`
    (bytes, or a string like '4G') caps what the call may allocate; the call
    is refused with NorvaneMemoryError, before allocating, if it would need
    more than that or than the memory available (see estimate_memory).

    Ctrl-C stops the run at the next chunk boundary and raises Interrupted
    (a KeyboardInterrupt) whose `steps` is the number of steps completed,
    `traces` their traces and `state` the State of a run of that many steps:
    bit for bit what forward() with the first `steps` wavelet samples gives.
    """
    layers = AbsorbingLayers(0) if layers is None else layers
    snapshots = Snapshots() if snapshots is None else snapshots
    _check_types(grid, materials, survey, layers, snapshots)
    layers.check(grid)
    grid.check_stability(materials)
    save_snapshots = _checks.flag("save_snapshots", save_snapshots)
    progress = _check_run_options(progress, chunk_steps, memory_limit)
    wavelet = survey.check_wavelet(wavelet, memory_limit)
    nt, n_shots = wavelet.shape[1], survey.n_shots
    estimate, max_steps = _forward_estimate(grid, survey, nt, layers.widths, snapshots,
                                            save_snapshots, progress, chunk_steps)
    memory.check_budget(estimate, memory_limit, _ADVICE)

    profiles = layers.profiles(grid)
    work = _Workspace(grid, n_shots, layers.widths, adjoint=False)
    n_cells = n_shots * int(np.prod(grid.interior_shape))
    interval = snapshots.interval
    if save_snapshots:
        shape = snapshots.store_shape(nt, n_cells)
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

    def state_after(steps):
        slots = -(-steps // interval)
        return State(grid, materials, survey, wavelet[:, :steps], layers.widths, profiles,
                     snapshots, None if e_store is None else e_store[:, :slots],
                     None if rhs_store is None else rhs_store[:, :slots], work.fields,
                     work.psi)

    try:
        run_chunks("norvane forward", nt, interval, run_chunk, reverse=False,
                   progress=progress, chunk_steps=chunk_steps, max_steps=max_steps)
    except Interrupted as stop:
        # Chunks start on snapshot steps, so the completed steps form a run
        # of their own: its traces, stores and final fields and memories.
        stop.traces, stop.state = traces[:, :stop.steps], state_after(stop.steps)
        raise
    return traces, state_after(nt)


def gradient(state, residuals, *, eps_r=True, sigma=True, wavelet=True, progress="auto",
             chunk_steps=None, memory_limit=None):
    """Gradients of a misfit whose derivative with respect to the traces is `residuals`.

    `residuals` has the shape of the traces, [n_shots, nt, n_rec]. Returns a
    Gradients tuple; eps_r/sigma/wavelet=False skips that gradient (the
    material gradients need a State with snapshots). `memory_limit` as for
    forward. Ctrl-C stops at the next chunk boundary with Interrupted, whose
    `gradients` hold the contributions of the last `steps` time steps.
    """
    if not isinstance(state, State):
        raise NorvaneError("state", type(state).__name__, "must be the State from forward()")
    eps_r = _checks.flag("eps_r", eps_r)
    sigma = _checks.flag("sigma", sigma)
    wavelet = _checks.flag("wavelet", wavelet)
    progress = _check_run_options(progress, chunk_steps, memory_limit)
    grid, survey, snapshots, nt = state.grid, state.survey, state.snapshots, state.nt
    residuals = survey.check_residuals(residuals, nt, memory_limit)
    if (eps_r or sigma) and not state.has_snapshots:
        raise NorvaneError("state", "no snapshots", "material gradients need a forward run "
                           "with save_snapshots=True (and stores not released)")
    use_stores = eps_r or sigma
    stores = None
    if use_stores:
        stores = (state.nbytes, all(s.flags.c_contiguous
                                    for s in (state.e_store, state.rhs_store)))
    estimate, max_steps = _gradient_estimate(grid, survey, nt, state.widths, snapshots, stores,
                                             (eps_r, sigma, wavelet), progress, chunk_steps)
    memory.check_budget(estimate, memory_limit, _ADVICE)
    n_shots, interval = survey.n_shots, snapshots.interval
    work = _Workspace(grid, n_shots, state.widths, adjoint=True)
    g_eps = np.zeros(grid.interior_shape, np.float32) if eps_r else None
    g_sig = np.zeros(grid.interior_shape, np.float32) if sigma else None
    g_wav = np.zeros((survey.n_src, nt), np.float32) if wavelet else None
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

    try:
        run_chunks("norvane gradient", nt, interval, run_chunk, reverse=True,
                   progress=progress, chunk_steps=chunk_steps, max_steps=max_steps)
    except Interrupted as stop:
        stop.gradients = Gradients(g_eps, g_sig, g_wav)
        raise
    return Gradients(g_eps, g_sig, g_wav)
