"""Shots spread over MPI ranks against the single-process package.

Run by plain pytest these tests check the one-rank path (which must be the
single-process API exactly); ctest also runs this file under
`mpirun -np 2`, where every rank computes the single-process reference
itself and compares. Forward shots are independent, so gathered traces
must equal it bit for bit. The gradients are sums over shots: one process
lets the library add all shots, two ranks add two partial sums, so the two
differ by float32 rounding of the regrouped sums: ~1e-7 relative to the
largest entry, several 1e-7 where terms of both signs cancel; 1e-5 of the
largest entry leaves margin and still fails on any lost or doubled shot,
which moves entries by order one.
"""

import hashlib

import numpy as np
import pytest

import norvane as nv

MPI = pytest.importorskip("mpi4py.MPI")
nd = pytest.importorskip("norvane.distributed")

COMM = MPI.COMM_WORLD
SIZE, RANK = COMM.Get_size(), COMM.Get_rank()
TOL = 1e-5


def survey(case, n_shots):
    src = [[[5 + i, 8, 7]] for i in range(n_shots)]
    rec = [[[11 - i % 3, 8, 7], [8, 9, 6 + i % 3]] for i in range(n_shots)]
    return nv.Survey(case.grid, src, rec)


def digest(arrays):
    return hashlib.sha256(b"".join(np.ascontiguousarray(a).tobytes() for a in arrays)).hexdigest()


def relative_difference(a, b):
    return float(np.abs(a.astype(np.float64) - b).max() / np.abs(b).max())


@pytest.mark.parametrize("n_shots", [1, 2, 5])
def test_forward_and_gradient_match_one_process(case, n_shots):
    """Uneven blocks (1 and 5 shots on 2 ranks leave a rank with fewer or no shots)."""
    sv = survey(case, n_shots)
    ref_traces, ref_state = nv.forward(case.grid, case.materials, sv, case.wavelet, case.layers,
                                       progress=False)
    residuals = 0.5 * ref_traces + 1e-3
    ref = nv.gradient(ref_state, residuals, progress=False)

    traces, state = nd.forward(case.grid, case.materials, sv, case.wavelet, case.layers,
                               progress=False)
    g = nd.gradient(state, residuals)
    again = nd.gradient(state, residuals)
    # The block form of the residuals and of the traces gives the same sums.
    start, stop = state.shots
    block, _ = nd.forward(case.grid, case.materials, sv, case.wavelet, case.layers,
                          gather=False, save_snapshots=False, progress=False)
    g_block = nd.gradient(state, residuals[start:stop])
    every_rank = COMM.allgather(digest(g))

    assert np.array_equal(traces, ref_traces)
    assert np.array_equal(block, ref_traces[start:stop])
    assert digest(again) == digest(g) == digest(g_block)
    assert len(set(every_rank)) == 1, "ranks hold different gradient bits"
    for name, ours, theirs in zip(g._fields, g, ref):
        assert ours.shape == theirs.shape, name
        if SIZE == 1:
            assert np.array_equal(ours, theirs), name
        else:
            assert relative_difference(ours, theirs) < TOL, name


def test_torch_simulator_gives_the_global_gradient(case):
    torch = pytest.importorskip("torch")
    import norvane.torch as ntorch

    sv = survey(case, 3)
    observed = torch.full((3, case.wavelet.shape[1], 2), 1e-3)
    grads = []
    for sim in (ntorch.Simulator(case.grid, sv, layers=case.layers, progress=False),
                nd.DistributedSimulator(case.grid, sv, layers=case.layers, progress=False)):
        eps = torch.tensor(case.eps_r, requires_grad=True)
        wav = torch.tensor(case.wavelet, requires_grad=True)
        traces = sim(eps, torch.tensor(case.sigma), wav)
        (0.5 * ((traces - observed) ** 2).sum()).backward()
        grads.append((traces.detach().numpy(), eps.grad.numpy(), wav.grad.numpy()))
    (t1, e1, w1), (t2, e2, w2) = grads
    every_rank = COMM.allgather(digest([e2, w2]))
    assert np.array_equal(t1, t2)
    assert relative_difference(e2, e1) < TOL and relative_difference(w2, w1) < TOL
    assert len(set(every_rank)) == 1


def test_a_failing_rank_stops_every_rank(case):
    """The last rank gets an invalid shot (moved off the grid after the
    survey was checked), then NaN residuals: it raises its own error, the
    others RankError, and nobody waits in a collective."""
    sv = survey(case, 2 * SIZE)
    bad = SIZE - 1
    if RANK == bad:
        sv.src_pos[2 * RANK + 1, 0, 0] = 99
    expected = nv.NorvaneError if RANK == bad else nd.RankError
    with pytest.raises(expected, match=r"src_pos\[%d\]|rank %d" % (2 * bad + 1, bad)):
        nd.forward(case.grid, case.materials, sv, case.wavelet, case.layers, progress=False)

    traces, state = nd.forward(case.grid, case.materials, survey(case, 2 * SIZE),
                               case.wavelet, case.layers, progress=False)
    residuals = traces.copy()
    if RANK == bad:
        residuals[2 * RANK, 5, 0] = np.nan
    with pytest.raises(expected, match="finite"):
        nd.gradient(state, residuals)
    # The ranks are still in step: a clean call afterwards works.
    assert nd.gradient(state, traces).eps_r.shape == case.grid.interior_shape


@pytest.mark.skipif(SIZE == 1, reason="needs ranks that can disagree")
def test_ranks_given_different_surveys_refuse(case):
    sv = survey(case, 2 if RANK == 0 else 3)
    with pytest.raises(nd.RankError, match="different inputs"):
        nd.forward(case.grid, case.materials, sv, case.wavelet, case.layers, progress=False)
