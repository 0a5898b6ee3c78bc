"""Bad inputs are refused before the library is called, with a message that
names the parameter, and nothing the caller passed is modified."""

import numpy as np
import pytest

import norvane as nv
from conftest import Case


def _with(case, **over):
    """Run forward with one ingredient replaced; ingredients are built lazily so
    that the constructor that should refuse the value is the one exercised."""
    g = over.get("grid") or case.grid
    eps = over.get("eps_r", case.eps_r)
    sig = over.get("sigma", case.sigma)
    mu = over.get("mu_r")
    m = nv.Materials(g, eps, sig, mu)
    s = nv.Survey(g, over.get("src_pos", case.survey.src_pos),
                  over.get("rec_pos", case.survey.rec_pos),
                  over.get("src_comp", 2), over.get("rec_comp", 2))
    layers = over.get("layers") or case.layers
    snaps = over.get("snapshots") or nv.Snapshots()
    return nv.forward(g, m, s, over.get("wavelet", case.wavelet), layers, snaps, progress=False,
                      chunk_steps=over.get("chunk_steps"))


def _bad(arr, index, value):
    arr = np.array(arr, copy=True)
    arr[index] = value
    return arr


C = Case()
BAD = [
    # (name fragment expected in the message, call)
    ("shape", lambda: nv.Grid((10, 10), 0.01)),
    ("shape[2]", lambda: nv.Grid((10, 10, 2), 0.01)),
    ("spacing[1]", lambda: nv.Grid((10, 10, 10), (0.01, -0.01, 0.01))),
    ("spacing[0]", lambda: nv.Grid((10, 10, 10), (float("nan"), 0.01, 0.01))),
    ("order", lambda: nv.Grid((10, 10, 10), 0.01, order=6)),
    ("dt", lambda: nv.Grid((10, 10, 10), 0.01, dt=0.0)),
    ("dt", lambda: _with(C, grid=nv.Grid(C.grid.shape, C.grid.spacing, dt=1e-9))),
    ("dt", lambda: _with(C, eps_r=_bad(C.eps_r, (4, 4, 4), 0.5))),  # faster than light
    ("eps_r.shape", lambda: _with(C, eps_r=C.eps_r[:-1])),
    ("eps_r", lambda: _with(C, eps_r=_bad(C.eps_r, (2, 3, 4), 0.0))),
    ("eps_r", lambda: _with(C, eps_r=_bad(C.eps_r, (2, 3, 4), np.nan))),
    ("eps_r", lambda: _with(C, eps_r=C.eps_r.astype(np.complex64))),
    ("sigma", lambda: _with(C, sigma=_bad(C.sigma, (1, 1, 1), -1e-3))),
    ("mu_r", lambda: _with(C, mu_r=np.zeros(C.grid.shape))),
    ("mu_r", lambda: _with(C, mu_r=np.full(C.grid.shape, np.inf))),
    ("src_pos[1, 0]", lambda: _with(C, src_pos=[[[6, 8, 7]], [[18, 7, 6]]])),
    ("rec_pos[0, 1]", lambda: _with(C, rec_pos=[[[1, 1, 1], [1, -1, 1]], [[1, 1, 1]] * 2])),
    ("rec_pos.shape", lambda: _with(C, rec_pos=[[[1, 1, 1]]])),
    ("src_pos", lambda: _with(C, src_pos=[[[6.5, 8, 7]], [[10, 7, 6]]])),
    ("src_pos.shape", lambda: _with(C, src_pos=[[[6, 8]], [[10, 7]]])),
    ("src_comp", lambda: _with(C, src_comp=3)),
    ("rec_comp", lambda: _with(C, rec_comp="w")),
    ("widths[xlo]", lambda: _with(C, layers=nv.AbsorbingLayers({"xlo": -1}))),
    ("widths[zlo] + widths[zhi]", lambda: _with(C, layers=nv.AbsorbingLayers({"z": 7}))),
    ("widths", lambda: nv.AbsorbingLayers((1, 2, 3, 4, 5))),
    ("widths", lambda: nv.AbsorbingLayers({"top": 3})),
    ("snapshot interval", lambda: nv.Snapshots(interval=0)),
    ("snapshot format", lambda: nv.Snapshots(format="fp8")),
    ("snapshot format", lambda: nv.Snapshots(format=3)),
    ("snapshot components", lambda: nv.Snapshots(components=2)),
    # Values that ctypes would wrap around to a small int32 in the library.
    ("snapshot interval", lambda: nv.Snapshots(interval=2**32 + 1)),
    ("shape[0]", lambda: nv.Grid((2**31, 3, 3), 0.01)),
    ("widths[ylo]", lambda: nv.AbsorbingLayers({"ylo": 2**32})),
    ("wavelet.shape", lambda: _with(C, wavelet=np.zeros((2, 60)))),
    ("wavelet", lambda: _with(C, wavelet=_bad(C.wavelet, (0, 5), np.inf))),
    ("chunk_steps", lambda: _with(C, chunk_steps=0)),
    ("progress", lambda: C.forward(progress="yes")),
    ("memory", lambda: _with(C, wavelet=np.zeros((1, 2_000_000)))),  # ~300 GB of stores
    ("grid", lambda: nv.forward("grid", C.materials, C.survey, C.wavelet)),
]


@pytest.mark.parametrize("name,call", BAD, ids=[f"{i:02d}-{n}" for i, (n, _) in enumerate(BAD)])
def test_bad_input_is_refused_with_its_name(name, call):
    with pytest.raises(nv.NorvaneError) as err:
        call()
    assert isinstance(err.value, ValueError)
    assert str(err.value).startswith(name), str(err.value)


def test_gradient_inputs_are_checked(case):
    traces, state = case.forward(save_snapshots=False)
    with pytest.raises(nv.NorvaneError, match=r"^residuals.shape"):
        nv.gradient(state, traces[:, :-1])
    with pytest.raises(nv.NorvaneError, match=r"^state = 'no snapshots'"):
        nv.gradient(state, traces)
    # The wavelet gradient needs no snapshots.
    assert nv.gradient(state, traces, eps_r=False, sigma=False).wavelet.shape == (1, 60)


def test_message_names_value_and_rule(case):
    with pytest.raises(nv.NorvaneError) as err:
        _with(case, sigma=_bad(case.sigma, (1, 2, 3), -2.0))
    e = err.value
    assert (e.parameter, e.value) == ("sigma", -2.0)
    assert ">= 0" in e.rule and "(1, 2, 3)" in e.rule


def test_caller_arrays_are_never_written(case):
    """Inputs already in the library's dtype and layout are still copied."""
    eps, sig, wav = case.eps_r.copy(), case.sigma.copy(), case.wavelet.copy()
    src = np.ascontiguousarray(case.survey.src_pos)
    rec = np.ascontiguousarray(case.survey.rec_pos)
    kept = [a.copy() for a in (eps, sig, wav, src, rec)]
    m = nv.Materials(case.grid, eps, sig)
    s = nv.Survey(case.grid, src, rec)
    traces, state = nv.forward(case.grid, m, s, wav, case.layers, progress=False)
    res = traces.copy()
    nv.gradient(state, res, progress=False)
    with pytest.raises(nv.NorvaneError):
        nv.Materials(case.grid, _bad(eps, (0, 0, 0), -1), sig)
    for a, b in zip((eps, sig, wav, src, rec), kept):
        assert np.array_equal(a, b)
    assert np.array_equal(res, traces)
