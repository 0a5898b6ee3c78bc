"""Running the time axis in chunks gives bit-identical results to one call."""

import io

import numpy as np
import pytest

import norvane as nv
from norvane import progress


# nt = 60 throughout: interval 7 leaves a partial last slot (60 = 8*7 + 4).
@pytest.mark.parametrize("interval,fmt,components,chunk", [
    (1, "float32", 3, 5),
    (7, "half", 3, 13),     # rounded up to 14: chunk starts on snapshot steps
    (4, "bfloat16", 1, 8),  # one component: chunk stores are views of the global one
])
def test_forward_chunks_are_bit_identical(case, interval, fmt, components, chunk):
    snaps = nv.Snapshots(interval, fmt, components)
    one, s1 = case.forward(snapshots=snaps)
    many, s2 = case.forward(snapshots=snaps, chunk_steps=chunk)
    assert np.array_equal(one, many)
    assert np.array_equal(s1.e_store, s2.e_store)
    assert np.array_equal(s1.rhs_store, s2.rhs_store)
    for c in s1.fields:
        assert np.array_equal(s1.fields[c], s2.fields[c])


@pytest.mark.parametrize("interval,fmt,components,chunk", [
    (1, "float32", 3, 9),
    (7, "half", 3, 14),
    (4, "bfloat16", 1, 12),
])
def test_gradient_chunks_are_bit_identical(case, one_thread, interval, fmt, components, chunk):
    """Reverse chunks carry the adjoint fields and memories; the material
    gradient of the partial last slot is formed only in the last chunk."""
    snaps = nv.Snapshots(interval, fmt, components)
    traces, state = case.forward(snapshots=snaps)
    res = np.sin(traces)  # any residual; not the traces themselves
    one = nv.gradient(state, res, progress=False)
    many = nv.gradient(state, res, progress=False, chunk_steps=chunk)
    for a, b in zip(one, many):
        assert np.array_equal(a, b)
    assert np.abs(one.eps_r).max() > 0 and np.abs(one.sigma).max() > 0


def test_progress_bar_path(case, monkeypatch, one_thread):
    """With the time estimate forced over the threshold the run goes through
    the timed first chunk, a bar on the stream and further chunks."""
    monkeypatch.setattr(progress, "SHOW_AFTER_SECONDS", 0.0)
    monkeypatch.setattr(progress, "CHUNK_SECONDS", 0.0)  # one interval per chunk
    stream = io.StringIO()
    calls = []
    real = progress.run_chunks

    def spy(*a, **kw):
        kw["stream"] = stream
        inner = a[3]
        a = (*a[:3], lambda t0, t1: (calls.append((t0, t1)), inner(t0, t1)), *a[4:])
        return real(*a, **kw)

    monkeypatch.setattr(nv.simulate, "run_chunks", spy)
    snaps = nv.Snapshots(5)
    traces, state = case.forward(snapshots=snaps, progress="auto")
    grads = nv.gradient(state, traces, progress="auto")
    assert calls[0] == (0, 10) and calls[1] == (10, 15)  # first chunk 8 -> 10 steps
    assert all(t0 % 5 == 0 for t0, _ in calls)
    assert "norvane forward" in stream.getvalue() and "steps/s" in stream.getvalue()
    monkeypatch.undo()
    ref_traces, ref_state = case.forward(snapshots=snaps)
    ref = nv.gradient(ref_state, ref_traces, progress=False)
    assert np.array_equal(traces, ref_traces)
    for a, b in zip(grads, ref):
        assert np.array_equal(a, b)
