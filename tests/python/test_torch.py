"""The autograd layer against finite differences of the simulation itself.

For a scalar loss L and a direction d, the adjoint gives <grad L, d>; the
central difference (L(m + h d) - L(m - h d)) / 2h approaches it with an
O(h^2) truncation error, and float32 rounding of the traces (relative ~1e-7
per sample, grown to ~1e-5 over the run) adds an error ~1e-5 |L| / h. With
snapshots of every step in float32 the library's gradient is the exact
discrete adjoint, so the two agree to about 1e-4 at the steps below; a 1e-2
relative tolerance leaves two decades of margin for other machines and
thread counts, yet catches any missing term, wrong sign or factor, which
moves the result by order one. Directions are confined to the cells where
the library forms material gradients: outside the absorbing layers (where it
reports zero by design) and off the last node plane of each axis (whose
material enters no update).
"""

import numpy as np
import pytest


torch = pytest.importorskip("torch")
import norvane.torch as ntorch  # noqa: E402


@pytest.fixture
def setup(case):
    sim = ntorch.Simulator(case.grid, case.survey, layers=case.layers, progress=False)
    with torch.no_grad():
        t0 = sim(torch.from_numpy(case.eps_r), torch.from_numpy(case.sigma),
                 torch.from_numpy(case.wavelet))
    rng = np.random.default_rng(3)
    observed = (0.5 * t0 + 0.1 * t0.abs().max() * torch.from_numpy(
        rng.standard_normal(t0.shape).astype(np.float32))).double()

    def loss(eps, sig, wav):
        return 0.5 * ((sim(eps, sig, wav).double() - observed) ** 2).sum()

    return sim, loss, rng


def test_directional_derivatives_match_finite_differences(case, setup):
    sim, loss, rng = setup
    eps = torch.tensor(case.eps_r, requires_grad=True)
    sig = torch.tensor(case.sigma, requires_grad=True)
    wav = torch.tensor(case.wavelet, requires_grad=True)
    loss(eps, sig, wav).backward()
    inside = torch.from_numpy(case.inside)
    directions = {
        # (perturbed input, step h, direction d)
        "eps_r": (1e-2, torch.from_numpy(rng.standard_normal(case.grid.shape)) * inside),
        "sigma": (1e-3, torch.from_numpy(rng.standard_normal(case.grid.shape)) * inside),
        "wavelet": (1e-2 * float(wav.abs().max()),
                    torch.from_numpy(rng.standard_normal(wav.shape))),
    }
    base = {"eps_r": eps.detach(), "sigma": sig.detach(), "wavelet": wav.detach()}
    grads = {"eps_r": eps.grad, "sigma": sig.grad, "wavelet": wav.grad}
    for name, (h, d) in directions.items():
        d = d.float()
        with torch.no_grad():
            plus = dict(base, **{name: base[name] + h * d})
            minus = dict(base, **{name: base[name] - h * d})
            fd = (loss(plus["eps_r"], plus["sigma"], plus["wavelet"])
                  - loss(minus["eps_r"], minus["sigma"], minus["wavelet"])) / (2 * h)
        adj = (grads[name].double() * d.double()).sum()
        rel = abs(float(fd - adj)) / abs(float(fd))
        assert rel <= 1e-2, (f"{name}: finite difference {float(fd):.6g}, "
                             f"adjoint {float(adj):.6g}, relative error {rel:.2e}")


def test_gradient_shapes_padding_and_dtypes(case, setup):
    sim, loss, _ = setup
    eps = torch.tensor(case.eps_r, dtype=torch.float64, requires_grad=True)
    sig = torch.tensor(case.sigma)  # constant: no gradient asked for
    wav = torch.tensor(case.wavelet, requires_grad=True)
    loss(eps, sig, wav).backward()
    assert eps.grad.shape == eps.shape and eps.grad.dtype == torch.float64
    assert sig.grad is None and wav.grad.shape == wav.shape
    # Last planes carry no cell; the layers report zero by design.
    assert not eps.grad[-1].any() and not eps.grad[:, -1].any() and not eps.grad[:, :, -1].any()
    assert not eps.grad[:3].any() and eps.grad[5:9, 5:9, 5:9].abs().min() > 0


def test_wavelet_only_needs_no_snapshots(case, setup):
    """With materials constant the forward keeps no snapshot store, and the
    wavelet gradient equals the one of a full gradient run."""
    sim, loss, _ = setup
    wav = torch.tensor(case.wavelet, requires_grad=True)
    loss(torch.tensor(case.eps_r), torch.tensor(case.sigma), wav).backward()
    eps = torch.tensor(case.eps_r, requires_grad=True)
    wav2 = torch.tensor(case.wavelet, requires_grad=True)
    loss(eps, torch.tensor(case.sigma), wav2).backward()
    assert torch.allclose(wav.grad, wav2.grad, rtol=1e-5, atol=0)
