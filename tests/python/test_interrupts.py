"""Ctrl-C during a chunked run: the run stops at the next chunk boundary and
everything it hands back is exactly a run of the completed steps.

The signal is sent by another thread (in process) or another process while
the main thread is inside the library's call, where Python can only act on
it after the call returns, in the middle of the chunk's bookkeeping."""

import os
import signal
import subprocess
import sys
import threading

import numpy as np
import pytest

import norvane as nv
from conftest import REPO
from norvane import _lib

pytestmark = pytest.mark.skipif(not hasattr(signal, "pthread_kill"), reason="POSIX signals")


def _interrupt_during_call(monkeypatch, call_index):
    """Send SIGINT from a thread while the `call_index`-th library call runs.

    A later call first waits for that thread, so on a loaded machine the
    signal still comes by the end of the next call, never after the run."""
    real, calls, threads = _lib.call, [], []

    def spy(name, order, arguments):
        calls.append(name)
        if len(calls) > call_index:
            for t in threads:
                t.join()
        if len(calls) == call_index:
            entered = threading.Event()
            t = threading.Thread(target=lambda: (entered.wait(),
                                                 os.kill(os.getpid(), signal.SIGINT)))
            t.start()
            threads.append(t)
            entered.set()  # the thread runs once the call releases the GIL
        return real(name, order, arguments)

    monkeypatch.setattr(_lib, "call", spy)
    return calls, threads


def test_forward_stops_at_a_chunk_boundary(case, monkeypatch, one_thread):
    handler = signal.getsignal(signal.SIGINT)
    calls, threads = _interrupt_during_call(monkeypatch, 2)
    snaps = nv.Snapshots(5, "half", 3)
    with pytest.raises(KeyboardInterrupt) as err:
        case.forward(snapshots=snaps, chunk_steps=10)
    for t in threads:
        t.join()
    stop = err.value
    assert isinstance(stop, nv.Interrupted) and signal.getsignal(signal.SIGINT) is handler
    # Normally right after the second chunk; a late signal may let one more finish.
    assert stop.steps % 10 == 0 and 20 <= stop.steps < 60 and len(calls) == stop.steps // 10
    monkeypatch.undo()

    # A run of that many steps, in one call: traces, stores, final fields and
    # layer memories equal bit for bit, and so do the gradients from them.
    k = stop.steps
    ref_traces, ref = nv.forward(case.grid, case.materials, case.survey, case.wavelet[:, :k],
                                 case.layers, snaps, progress=False)
    got = stop.state
    assert got.nt == k and np.array_equal(stop.traces, ref_traces)
    assert np.array_equal(got.e_store, ref.e_store) and np.array_equal(got.rhs_store,
                                                                       ref.rhs_store)
    for c in ref.fields:
        assert np.array_equal(got.fields[c], ref.fields[c])
    assert got.memories.keys() == ref.memories.keys()
    for name, mem in ref.memories.items():
        assert (mem is None and got.memories[name] is None) or np.array_equal(
            got.memories[name], mem)
    res = np.cos(ref_traces)
    for a, b in zip(nv.gradient(got, res, progress=False), nv.gradient(ref, res, progress=False)):
        assert np.array_equal(a, b)


def test_gradient_stops_and_other_handlers_are_called(case, monkeypatch):
    traces, state = case.forward(snapshots=nv.Snapshots(4))
    _, threads = _interrupt_during_call(monkeypatch, 1)
    with pytest.raises(nv.Interrupted) as err:
        nv.gradient(state, traces, progress=False, chunk_steps=12)
    stop = err.value
    # Reverse chunks end at nt = 60: [48, 60), [36, 48), ...
    assert stop.steps % 12 == 0 and stop.steps < 60 and stop.gradients.eps_r.any()
    for t in threads:
        t.join()
    monkeypatch.undo()

    # A handler of the caller's own is called at the boundary instead; here
    # it only records, so the run goes on to the end.
    seen = []
    previous = signal.signal(signal.SIGINT, lambda s, f: seen.append(s))
    try:
        _interrupt_during_call(monkeypatch, 2)
        interrupted, _ = case.forward(snapshots=nv.Snapshots(4), chunk_steps=12)
    finally:
        signal.signal(signal.SIGINT, previous)
    assert seen == [signal.SIGINT] and np.array_equal(interrupted, traces)


CHILD = r"""
import sys
sys.path.insert(0, sys.argv[1])
import numpy as np, norvane as nv
from norvane import _lib

real = _lib.call
def announce(*a):
    print("chunk", flush=True)  # the parent sends SIGINT on the first line
    return real(*a)
_lib.call = announce

g = nv.Grid((40, 40, 40), 0.01)
s = nv.Survey(g, [[[20, 20, 20]]], [[[24, 20, 20]]])
w = nv.ricker(1e9, 30000, g.dt)[None]  # long enough for a parent slow to signal
m = nv.Materials.homogeneous(g, 4.0)
try:
    nv.forward(g, m, s, w, nv.AbsorbingLayers(5), save_snapshots=False, progress=False,
               chunk_steps=25)
    print("finished")
except nv.Interrupted as stop:
    _lib.call = real
    ref, _ = nv.forward(g, m, s, w[:, :stop.steps], nv.AbsorbingLayers(5),
                        save_snapshots=False, progress=False)
    print("stopped", stop.steps, np.array_equal(ref, stop.traces), flush=True)
"""


def test_sigint_from_another_process():
    """Ctrl-C as a terminal sends it: to a separate process mid-run."""
    env = dict(os.environ, OMP_NUM_THREADS="1")
    child = subprocess.Popen([sys.executable, "-c", CHILD, str(REPO / "python")],
                             stdout=subprocess.PIPE, text=True, env=env)
    try:
        assert child.stdout.readline().strip() == "chunk"
        child.send_signal(signal.SIGINT)
        out, _ = child.communicate(timeout=120)
    finally:
        child.kill()
    last = out.split()[-3:]
    assert last[0] == "stopped" and last[2] == "True", out
    assert int(last[1]) % 25 == 0 and 0 < int(last[1]) < 30000
