"""PyTorch layer: traces as a differentiable function of eps_r, sigma and wavelet.

    sim = norvane.torch.Simulator(grid, survey, layers=norvane.AbsorbingLayers(10))
    traces = sim(eps_r, sigma, wavelet)        # tensors; [n_shots, nt, n_rec]
    loss = ((traces - observed) ** 2).sum()
    loss.backward()                            # eps_r.grad, sigma.grad, wavelet.grad

The forward pass runs the library's forward and keeps its snapshot stores
on the autograd context; backward hands the incoming trace gradient to the
library's adjoint pass as the residual. The library gives material
gradients on the interior cells [nx-1, ny-1, nz-1]; the last node plane of
each axis carries no cell of its own, so its gradient is zero. Computation
is in float32 on the CPU; results are returned on the inputs' device and
dtype. This module is imported only when asked for, so numpy-only use does
not need torch.
"""

import numpy as np
import torch

from .grid import Materials
from .simulate import forward as _forward
from .simulate import gradient as _gradient
from .survey import Snapshots


def _numpy(t):
    return t.detach().to("cpu", torch.float32).contiguous().numpy()


def _tensor(v):
    return v if torch.is_tensor(v) else torch.as_tensor(v, dtype=torch.float32)


def _pad_to_nodes(g, shape):
    full = np.zeros(shape, np.float32)
    full[:-1, :-1, :-1] = g
    return full


class SimulateFunction(torch.autograd.Function):
    """apply(eps_r, sigma, wavelet, sim) -> traces; sim is a Simulator."""

    @staticmethod
    def forward(ctx, eps_r, sigma, wavelet, sim):
        need_eps, need_sig, _ = ctx.needs_input_grad[:3]
        materials = Materials(sim.grid, _numpy(eps_r), _numpy(sigma), sim.mu_r)
        traces, state = _forward(sim.grid, materials, sim.survey, _numpy(wavelet), sim.layers,
                                 sim.snapshots, save_snapshots=bool(need_eps or need_sig),
                                 progress=sim.progress)
        ctx.state, ctx.progress = state, sim.progress
        ctx.meta = [(t.dtype, t.device) for t in (eps_r, sigma, wavelet)]
        return torch.from_numpy(traces).to(eps_r.device)

    @staticmethod
    def backward(ctx, grad_traces):
        need = ctx.needs_input_grad[:3]
        g = _gradient(ctx.state, _numpy(grad_traces), eps_r=need[0], sigma=need[1],
                      wavelet=need[2], progress=ctx.progress)
        shape = ctx.state.grid.shape
        out = []
        for value, wanted, (dtype, device) in zip(
                (g.eps_r, g.sigma, g.wavelet), need, ctx.meta):
            if not wanted:
                out.append(None)
                continue
            if value.ndim == 3:
                value = _pad_to_nodes(value, shape)
            out.append(torch.from_numpy(value).to(device=device, dtype=dtype))
        return (*out, None)


class Simulator(torch.nn.Module):
    """Fixed grid, survey, permeability, layers and snapshot settings.

    forward(eps_r, sigma, wavelet) with eps_r, sigma of grid.shape and wavelet
    [n_src, nt] returns traces [n_shots, nt, n_rec] (float32 computation).
    """

    def __init__(self, grid, survey, mu_r=None, layers=None, snapshots=None, progress="auto"):
        super().__init__()
        self.grid, self.survey, self.layers = grid, survey, layers
        self.snapshots = Snapshots() if snapshots is None else snapshots
        self.mu_r = None if mu_r is None else np.array(mu_r, np.float32)
        self.progress = progress

    def forward(self, eps_r, sigma, wavelet):
        return SimulateFunction.apply(_tensor(eps_r), _tensor(sigma), _tensor(wavelet), self)
