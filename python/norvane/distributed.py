"""Shots spread over MPI processes: the same forward and gradient calls, on a communicator.

    from norvane import distributed as nd
    traces, state = nd.forward(grid, model, survey, w, layers)    # every rank, same inputs
    g = nd.gradient(state, traces - observed)                    # the global gradient everywhere
    sim = nd.DistributedSimulator(grid, survey, layers=layers)   # torch, same as Simulator

Run under `mpirun`; the communicator defaults to MPI.COMM_WORLD. Every
rank is given the whole survey and takes a contiguous block of its shots
(block sizes differ by at most one); each rank runs its block through the
library with all the OpenMP threads it has. Shots are independent in the
forward pass, so the gathered traces are bit for bit those of one process.
The gradients are sums over shots: each rank sums its block inside the
library and the ranks' partial sums are then added in rank order, never in
the order messages arrive, so a given rank count gives the same bits on
every run and every rank holds the same bits. Another rank count groups
the float32 additions differently and agrees to rounding. With one rank
the calls are exactly the single-process ones.

Failure: every rank does its local work (checks, allocation, the library
calls) first and only then meets the others in a status exchange; a rank
that raised re-raises its own exception there and every other rank raises
RankError naming the failed ranks and their messages, so no rank is left
waiting in a collective. The ranks also compare the sizes that the
collectives rely on (shots, steps, sources, receivers, grid) and refuse to
go on if their inputs disagree.
"""

import copy
import time

import numpy as np
from mpi4py import MPI

from . import _checks
from .errors import NorvaneError
from .grid import Grid, Materials
from .simulate import Gradients
from .simulate import forward as _forward
from .simulate import gradient as _gradient
from .survey import Survey

# Largest number of float32 elements one reduction step moves: MPI counts
# are 32-bit, and the reduction's receive buffer is this large.
_REDUCE_CHUNK = 1 << 26


class RankError(RuntimeError):
    """Another rank of the communicator failed; `errors` maps rank -> message."""

    def __init__(self, errors, comm_size, message=None):
        self.errors = dict(errors)
        if message is None:
            by_message = {}
            for rank, text in sorted(self.errors.items()):
                by_message.setdefault(text, []).append(rank)
            lines = [f"rank{'s' if len(r) > 1 else ''} {', '.join(map(str, r))}: {t}"
                     for t, r in by_message.items()]
            message = (f"{len(self.errors)} of {comm_size} ranks failed, so this rank "
                       "stops too:\n  " + "\n  ".join(lines))
        super().__init__(message)


def shot_blocks(n_shots, n_ranks):
    """[(start, stop)] per rank: contiguous blocks whose sizes differ by at most one."""
    base, extra = divmod(n_shots, n_ranks)
    blocks, start = [], 0
    for rank in range(n_ranks):
        stop = start + base + (1 if rank < extra else 0)
        blocks.append((start, stop))
        start = stop
    return blocks


def _world(comm):
    return MPI.COMM_WORLD if comm is None else comm


def _wait(request):
    """Complete a non-blocking collective, sleeping between polls: a rank that
    finishes its shots early would otherwise spin on a core that a slower
    rank on the same machine needs."""
    pause = 1e-4
    while not request.Test():
        time.sleep(pause)
        pause = min(2 * pause, 0.01)


# The sizes every rank's collectives depend on, compared before any of them.
_SIG_NAMES = "n_shots, nt, n_src, n_rec, nx, ny, nz"
_SIG_LEN = 7


def _guarded(comm, work, signature):
    """Run `work()` locally, then agree with every rank on success.

    `signature()` (evaluated after work) gives the integers every rank must
    agree on. Returns work's result, or raises on every rank when any rank
    failed: the failed ranks re-raise their own exception, the others
    RankError.
    """
    error, result, sig = None, None, ()
    try:
        result = work()
        sig = tuple(int(v) for v in signature(result))
    except BaseException as exc:  # noqa: B902 -- reported to the others, then re-raised
        error = exc
    if comm.Get_size() == 1:
        if error is not None:
            raise error
        return result
    width = 1 + _SIG_LEN
    mine = np.full(width, -1, np.int64)
    mine[0] = 0 if error is None else 1
    mine[1:1 + len(sig)] = sig
    every = np.empty((comm.Get_size(), width), np.int64)
    _wait(comm.Iallgather(mine, every))
    if every[:, 0].any():
        text = None if error is None else f"{type(error).__name__}: {error}"
        texts = comm.allgather(text)
        errors = {r: t for r, t in enumerate(texts) if t is not None}
        if error is not None:
            if hasattr(error, "add_note") and len(errors) > 1:
                error.add_note(str(RankError(errors, comm.Get_size())))
            raise error
        raise RankError(errors, comm.Get_size())
    if (every[:, 1:] != every[0, 1:]).any():
        rows = "; ".join(f"rank {r}: {tuple(int(v) for v in row[1:1 + len(sig)])}"
                         for r, row in enumerate(every))
        raise RankError({}, comm.Get_size(), "the ranks were given different inputs "
                        f"({_SIG_NAMES}): {rows}")
    return result


class DistributedState:
    """What a distributed forward run leaves for the gradient.

    `local` is this rank's State (None on a rank without shots); `shots`
    the (start, stop) block of global shot indices it simulated; `blocks`
    every rank's block.
    """

    def __init__(self, comm, grid, survey, nt, blocks, local, has_snapshots, progress):
        self.comm, self.grid, self.survey, self.nt = comm, grid, survey, nt
        self.blocks, self.local, self.progress = blocks, local, progress
        self.shots = blocks[comm.Get_rank()]
        self._has_snapshots = has_snapshots

    @property
    def has_snapshots(self):
        return self.local.has_snapshots if self.local is not None else self._has_snapshots

    @property
    def nbytes(self):
        return 0 if self.local is None else self.local.nbytes

    def release(self):
        if self.local is not None:
            self.local.release()
        self._has_snapshots = False


def _local_survey(grid, survey, start, stop):
    """This rank's block of the survey, its positions checked against the grid.

    The survey was checked when it was built; checking the block again here
    catches arrays changed since, and names the shot by its global index.
    """
    if not isinstance(grid, Grid):
        raise NorvaneError("grid", type(grid).__name__, "must be a norvane.Grid")
    if not isinstance(survey, Survey):
        raise NorvaneError("survey", type(survey).__name__, "must be a norvane.Survey")
    if survey.grid_shape != grid.shape:
        raise NorvaneError("survey", survey.grid_shape,
                           f"was built for another grid; grid.shape is {grid.shape}")
    local = copy.copy(survey)
    for name in ("src_pos", "rec_pos"):
        block = getattr(survey, name)[start:stop]
        try:
            if stop > start:
                _checks.positions(name, block, None, grid.shape)
        except NorvaneError:
            # Find the shot, to name it by its index in the whole survey.
            for shot in range(block.shape[0]):
                try:
                    _checks.positions(name, block[shot:shot + 1], 1, grid.shape)
                except NorvaneError as exc:
                    raise NorvaneError(f"{name}[{start + shot}]", block[shot].tolist(),
                                       exc.rule) from None
            raise
        setattr(local, name, np.ascontiguousarray(block, np.int32))
    return local


def _local_progress(comm, progress):
    """One progress bar per job, on rank 0: the others would only repeat it."""
    return progress if comm.Get_rank() == 0 else False


def _forward_guarded(comm, make_materials, grid, survey, wavelet, layers, snapshots,
                     save_snapshots, progress, options):
    """This rank's share of a forward run, inside the failure guard."""
    n_ranks = comm.Get_size()

    def work():
        n_shots = survey.n_shots if isinstance(survey, Survey) else 0
        blocks = shot_blocks(n_shots, n_ranks)
        start, stop = blocks[comm.Get_rank()]
        local_survey = _local_survey(grid, survey, start, stop)
        materials = make_materials()
        if stop > start:
            traces, state = _forward(grid, materials, local_survey, wavelet, layers, snapshots,
                                     save_snapshots=save_snapshots,
                                     progress=_local_progress(comm, progress), **options)
            nt = state.nt
        else:
            # No shots here: check the shared inputs as a working rank would,
            # so that a bad model fails on every rank alike.
            if not isinstance(materials, Materials):
                raise NorvaneError("materials", type(materials).__name__,
                                   "must be a norvane.Materials")
            grid.check_stability(materials)
            nt = survey.check_wavelet(wavelet).shape[1]
            traces, state = np.zeros((0, nt, survey.n_rec), np.float32), None
        dstate = DistributedState(comm, grid, survey, nt, blocks, state, save_snapshots,
                                  progress)
        return traces, dstate

    def signature(result):
        _, s = result
        return (s.survey.n_shots, s.nt, s.survey.n_src, s.survey.n_rec, *s.grid.shape)

    return _guarded(comm, work, signature)


def _gather_traces(comm, local, blocks, nt, n_rec, wanted):
    """Full [n_shots, nt, n_rec] traces on the ranks with wanted[rank] set."""
    n_ranks, rank = comm.Get_size(), comm.Get_rank()
    n_shots = blocks[-1][1]
    if nt * n_rec == 0:
        return np.zeros((n_shots, nt, n_rec), np.float32) if wanted[rank] else None
    counts = [stop - start for start, stop in blocks]
    displs = [start for start, _ in blocks]
    # One shot's traces as one element: counts stay small for any survey.
    shot = MPI.FLOAT.Create_contiguous(nt * n_rec).Commit()
    try:
        out = np.empty((n_shots, nt, n_rec), np.float32) if wanted[rank] else None
        if all(wanted):
            comm.Allgatherv([local, counts[rank], shot], [out, (counts, displs), shot])
        else:
            for root in range(n_ranks):
                if wanted[root]:
                    recv = [out, (counts, displs), shot] if root == rank else None
                    comm.Gatherv([local, counts[rank], shot], recv, root=root)
    finally:
        shot.Free()
    return out


def forward(grid, materials, survey, wavelet, layers=None, snapshots=None, *, comm=None,
            gather=True, save_snapshots=True, progress="auto", **options):
    """norvane.forward over the ranks of `comm` (default MPI.COMM_WORLD).

    Every rank passes the same grid, materials, survey and wavelet and runs
    its block of shots. Returns (traces, DistributedState): with gather=True
    (this rank's choice) the traces of all shots, [n_shots, nt, n_rec];
    with gather=False only this rank's block, state.shots = (start, stop).
    The progress bar, if any, is drawn by rank 0; other keyword options
    (chunk_steps, memory_limit, ...) go to norvane.forward on each rank,
    so a memory limit is one rank's. Collective: every rank of
    `comm` must call it.
    """
    comm = _world(comm)
    traces, state = _forward_guarded(comm, lambda: materials, grid, survey, wavelet, layers,
                                     snapshots, save_snapshots, progress, options)
    if comm.Get_size() == 1:
        return traces, state
    wanted = comm.allgather(bool(gather))
    if any(wanted):
        full = _gather_traces(comm, traces, state.blocks, state.nt, state.survey.n_rec, wanted)
        if gather:
            traces = full
    return traces, state


def _local_residuals(state, residuals):
    """This rank's rows of the residuals, given all shots or this rank's block."""
    start, stop = state.shots
    n_shots = state.survey.n_shots
    shape = np.shape(residuals)
    if len(shape) >= 1 and shape[0] == n_shots and stop - start != n_shots:
        residuals = residuals[start:stop]
    return residuals


def _fixed_order_sum(comm, flat):
    """Sum `flat` (float32, same length on every rank) over the ranks, in rank order.

    A reduce-scatter then an all-gather, as an MPI all-reduce does, but with
    the additions done here: rank r receives segment r of every rank's
    array, adds the copies as ((a_0 + a_1) + a_2) + ..., and the summed
    segments are gathered to all. Each rank sends and receives about twice
    the array, like a ring all-reduce, and every rank ends with the same bits.
    """
    n_ranks, rank = comm.Get_size(), comm.Get_rank()
    out = np.empty_like(flat)
    for c0 in range(0, flat.size, _REDUCE_CHUNK):
        part = flat[c0:c0 + _REDUCE_CHUNK]
        seg = shot_blocks(part.size, n_ranks)
        counts = [b - a for a, b in seg]
        displs = [a for a, _ in seg]
        mine = counts[rank]
        copies = np.empty((n_ranks, mine), np.float32)
        comm.Alltoallv([part, (counts, displs), MPI.FLOAT],
                       [copies, ([mine] * n_ranks, [r * mine for r in range(n_ranks)]),
                        MPI.FLOAT])
        total = copies[0].copy()
        for r in range(1, n_ranks):
            total += copies[r]
        comm.Allgatherv([total, MPI.FLOAT],
                        [out[c0:c0 + part.size], (counts, displs), MPI.FLOAT])
    return out


def gradient(state, residuals, *, eps_r=True, sigma=True, wavelet=True, progress=None,
             **options):
    """norvane.gradient over the ranks: the global gradients on every rank.

    `state` is this rank's DistributedState; `residuals` either all shots,
    [n_shots, nt, n_rec] (each rank takes its rows), or this rank's block.
    `progress` defaults to the forward run's setting; other keyword
    options go to norvane.gradient on each rank. Collective.
    """
    if not isinstance(state, DistributedState):
        raise NorvaneError("state", type(state).__name__,
                           "must be the DistributedState from norvane.distributed.forward()")
    comm = state.comm
    progress = state.progress if progress is None else progress
    want = {"eps_r": eps_r, "sigma": sigma, "wavelet": wavelet}
    grid, survey, nt = state.grid, state.survey, state.nt

    def work():
        local = _local_residuals(state, residuals)
        if state.local is not None:
            return _gradient(state.local, local, progress=_local_progress(comm, progress),
                             **options, **want)
        # No shots here: the same checks, and zero partial sums.
        _checks.real_array("residuals", local, shape=(0, nt, survey.n_rec))
        if (eps_r or sigma) and not state.has_snapshots:
            raise NorvaneError("state", "no snapshots", "material gradients need a forward "
                               "run with save_snapshots=True (and stores not released)")
        cells = np.zeros(grid.interior_shape, np.float32)
        return Gradients(cells if eps_r else None, cells.copy() if sigma else None,
                         np.zeros((survey.n_src, nt), np.float32) if wavelet else None)

    def signature(_):
        return (survey.n_shots, nt, survey.n_src, survey.n_rec, *grid.shape)

    g = _guarded(comm, work, signature)
    if comm.Get_size() == 1:
        return g
    parts = [v for v in g if v is not None]
    if not parts:
        return g
    summed = _fixed_order_sum(comm, np.concatenate([p.ravel() for p in parts]))
    out, at = [], 0
    for v in g:
        if v is None:
            out.append(None)
        else:
            out.append(summed[at:at + v.size].reshape(v.shape))
            at += v.size
    return Gradients(*out)


def _torch_simulator():
    from .torch import Simulator
    return Simulator


def __getattr__(name):
    # The torch class is built on first access so that numpy-only use of
    # this module does not import torch.
    if name == "DistributedSimulator":
        cls = _make_distributed_simulator(_torch_simulator())
        globals()[name] = cls
        return cls
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def _make_distributed_simulator(simulator):
    class DistributedSimulator(simulator):
        """norvane.torch.Simulator over the ranks of `comm` (default MPI.COMM_WORLD).

        Every rank calls it with the same tensors and gets the traces of all
        shots; after backward() each rank holds the global gradient, the same
        bits on every rank, so an optimizer stepping on every rank keeps the
        models identical. The loss must be the same function of the traces
        on every rank (as it is when the script is the one-machine script).
        """

        def __init__(self, grid, survey, mu_r=None, layers=None, snapshots=None,
                     progress="auto", comm=None):
            super().__init__(grid, survey, mu_r, layers, snapshots, progress)
            self.comm = _world(comm)

        def _run_forward(self, eps_r, sigma, wavelet, save_snapshots):
            # Materials are built inside the guard: a rank given a bad model
            # must still reach the status exchange.
            traces, state = _forward_guarded(
                self.comm, lambda: Materials(self.grid, eps_r, sigma, self.mu_r), self.grid,
                self.survey, wavelet, self.layers, self.snapshots, save_snapshots,
                self.progress, {})
            if self.comm.Get_size() > 1:
                traces = _gather_traces(self.comm, traces, state.blocks, state.nt,
                                        state.survey.n_rec, [True] * self.comm.Get_size())
            return traces, state

        def _run_gradient(self, state, residuals, **want):
            return gradient(state, residuals, **want)

    DistributedSimulator.__module__ = __name__
    return DistributedSimulator
