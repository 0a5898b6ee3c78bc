"""Memory budgets: the estimate matches what the calls allocate, and a call
over budget is refused with the figure before anything is allocated or run."""

import tracemalloc

import numpy as np
import pytest

import norvane as nv
from norvane import _lib, memory, simulate


def _traced_peak(call):
    """Peak bytes allocated through Python's allocators (numpy's included)
    while `call` runs; the library's own malloc is not seen."""
    tracemalloc.start()
    try:
        base = tracemalloc.get_traced_memory()[0]
        result = call()
        return result, tracemalloc.get_traced_memory()[1] - base
    finally:
        tracemalloc.stop()


# Python objects made per chunk (ctypes pointers, argument dicts) come on top.
SLACK = 512 * 2**10


@pytest.mark.parametrize("snaps,kw", [
    (nv.Snapshots(1, "float32", 3), dict(progress=False)),           # one call
    (nv.Snapshots(7, "half", 3), dict(progress=False, chunk_steps=13)),  # chunk buffers
    (nv.Snapshots(4, "bfloat16", 1), dict(progress=False, chunk_steps=8)),  # views, no copies
    (nv.Snapshots(1, "half", 3), dict(progress="auto")),              # capped automatic chunks
    (nv.Snapshots(2, "float32", 3), dict(progress=False, save_snapshots=False)),
])
def test_estimate_matches_allocations(case, monkeypatch, snaps, kw):
    """The forward's and the gradient's numpy allocations peak within the
    estimate (less the library's scratch, which tracemalloc cannot see) and
    above 85 % of it. Automatic chunks are capped at 1/8 of the stores here:
    without the cap, a fast run copies the stores' remaining slots in one
    chunk and would double their memory."""
    monkeypatch.setattr(simulate, "CHUNK_BUFFER_FLOOR", 0)
    case.wavelet = nv.ricker(3e9, 200, case.grid.dt)[None]
    est = nv.estimate_memory(case.grid, case.survey, 200, case.layers, snaps, gradient=True,
                             save_snapshots=kw.get("save_snapshots", True),
                             progress=kw["progress"], chunk_steps=kw.get("chunk_steps"))
    fwd = {k: v for k, v in est.items.items()
           if not k.startswith("adjoint") and k not in ("residuals", "gradients")}
    fwd_bytes = sum(fwd.values()) - fwd["library scratch"]
    (traces, state), peak = _traced_peak(lambda: case.forward(snapshots=snaps, **kw))
    assert 0.85 * fwd_bytes <= peak <= fwd_bytes + SLACK, (peak, est)
    if not state.has_snapshots:
        return
    grad_bytes = est.total - sum(fwd.values())
    _, peak = _traced_peak(lambda: nv.gradient(state, traces, progress=kw["progress"],
                                               chunk_steps=kw.get("chunk_steps")))
    assert 0.85 * grad_bytes <= peak <= grad_bytes + SLACK, (peak, est)


def test_refused_before_anything_is_touched(monkeypatch):
    """With each way of setting a limit, a call needing more is refused: the
    message gives the estimate's figure, the library is never called and
    nothing the size of a field is allocated."""
    monkeypatch.setattr(_lib, "call", lambda *a: pytest.fail("the library was called"))
    grid = nv.Grid((60, 60, 60), 0.01)
    model = nv.Materials.homogeneous(grid, 4.0)
    eps_before = model.eps_r.copy()
    survey = nv.Survey(grid, [[[30, 30, 30]]], [[[34, 30, 30]]])
    wavelet = nv.ricker(1e9, 20, grid.dt)[None]
    est = nv.estimate_memory(grid, survey, 20, progress=False)
    figure = memory.format_bytes(est.total)
    assert est.total > 2**20 and figure.endswith("MiB")
    for way in [dict(memory_limit=2**20), dict(memory_limit="1M"), "set", "env"]:
        kw = way if isinstance(way, dict) else {}
        if way == "set":
            nv.set_memory_limit(2**20)
        if way == "env":
            monkeypatch.setenv("NORVANE_MEMORY_LIMIT", "1MiB")
        try:
            run = lambda: nv.forward(grid, model, survey, wavelet, progress=False, **kw)  # noqa
            with pytest.raises(nv.NorvaneMemoryError) as err:
                run()
            e = err.value
            assert isinstance(e, MemoryError) and isinstance(e, nv.NorvaneError)
            assert e.parameter == "memory_limit" and e.needed == est.total
            assert e.allowed == 2**20 and f"needs {figure}" in str(e)
            assert "allows 1.0 MiB" in str(e) and "snapshot stores" in str(e)
            _, peak = _traced_peak(lambda: pytest.raises(nv.NorvaneMemoryError, run))
            assert peak < grid.n_nodes * 4, peak  # not even one field
        finally:
            nv.set_memory_limit(None)
    assert np.array_equal(model.eps_r, eps_before)


def test_available_memory_bounds_the_budget(case, monkeypatch):
    monkeypatch.setattr(memory, "available_memory", lambda: (3 * 2**20, "MemAvailable"))
    traces, state = case.forward(save_snapshots=False)  # ~0.5 MiB fits
    with pytest.raises(nv.NorvaneMemoryError, match=r"^memory = .*only 3.0 MiB is available "
                                                    r"\(MemAvailable\)"):
        case.forward()
    # A user limit above what is available does not raise the budget.
    with pytest.raises(nv.NorvaneMemoryError, match=r"^memory = "):
        case.forward(memory_limit="1G")
    # The gradient has its own budget; the copies of inputs are checked too.
    with pytest.raises(nv.NorvaneMemoryError, match=r"gradient needs"):
        nv.gradient(state, traces, eps_r=False, sigma=False, memory_limit=2**16)
    with pytest.raises(nv.NorvaneMemoryError, match=r"a copy of eps_r needs"):
        nv.Materials(nv.Grid((100, 100, 100), 0.01),
                     np.broadcast_to(np.float32(1), (100, 100, 100)))


def test_byte_counts_and_limits():
    assert [memory.parse_bytes("x", v) for v in (2048, "2K", "1.5GiB", "10 MB", 3e9)] == \
        [2048, 2048, 3 * 2**29, 10 * 2**20, 3 * 10**9]
    for bad in ("4Q", "", 0, -1, float("nan"), True, None):
        with pytest.raises(nv.NorvaneError, match=r"^x = "):
            memory.parse_bytes("x", bad)
    assert nv.set_memory_limit("2G") is None
    assert nv.get_memory_limit() == 2**31 and nv.set_memory_limit(None) == 2**31


def test_workspace_placement_changes_speed_not_bits(case, monkeypatch, one_thread):
    """The field and coefficient arrays start at twelve different offsets
    within a page, each its own zeroed array; traces, final fields and
    gradients are those of plain separate allocations, bit for bit."""
    work = simulate._Workspace(case.grid, 2, case.layers.widths, adjoint=False)
    arrays = [*work.fields.values(), *work.coeffs.values()]
    assert len({a.ctypes.data % 4096 for a in arrays}) == 12
    assert all(a.flags.c_contiguous and not a.any() for a in arrays)
    assert [a.size for a in arrays] == [2 * case.grid.n_nodes] * 6 + [case.grid.n_nodes] * 6

    def run():
        traces, state = case.forward(snapshots=nv.Snapshots(3, "half", 3))
        return traces, dict(state.fields), nv.gradient(state, traces, progress=False)

    staggered = run()
    monkeypatch.setattr(simulate, "_staggered_zeros",
                        lambda count, size, slot: [np.zeros(size, np.float32)
                                                   for _ in range(count)])
    plain = run()
    assert np.array_equal(staggered[0], plain[0])
    for c in staggered[1]:
        assert np.array_equal(staggered[1][c], plain[1][c])
    for g, h in zip(staggered[2], plain[2]):
        assert np.array_equal(g, h)
