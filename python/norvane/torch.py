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

from . import _checks
from .errors import NorvaneError
from .grid import Materials, check_grid
from .pml import AbsorbingLayers
from .simulate import _check_run_options
from .simulate import forward as _forward
from .simulate import gradient as _gradient
from .survey import Snapshots, Survey


def _numpy(t):
    return t.detach().to("cpu", torch.float32).contiguous().numpy()


def _tensor(name, v):
    """A real tensor as given, or a checked float32 tensor made from anything else."""
    if torch.is_tensor(v):
        # A cast to float32 would quietly turn booleans into 0/1 and drop
        # imaginary parts.
        if v.dtype == torch.bool or v.dtype.is_complex:
            raise NorvaneError(name, str(v.dtype), "must hold real numbers")
        return v
    return torch.from_numpy(_checks.real_array(name, v))


def _pad_to_nodes(g, shape):
    full = np.zeros(shape, np.float32)
    full[:-1, :-1, :-1] = g
    return full


class SimulateFunction(torch.autograd.Function):
    """apply(eps_r, sigma, wavelet, sim) -> traces; sim is a Simulator."""

    @staticmethod
    def forward(ctx, eps_r, sigma, wavelet, sim):
        need_eps, need_sig, _ = ctx.needs_input_grad[:3]
        traces, state = sim._run_forward(_numpy(eps_r), _numpy(sigma), _numpy(wavelet),
                                         bool(need_eps or need_sig))
        ctx.state, ctx.sim = state, sim
        ctx.meta = [(t.dtype, t.device) for t in (eps_r, sigma, wavelet)]
        return torch.from_numpy(traces).to(eps_r.device)

    @staticmethod
    def backward(ctx, grad_traces):
        need = ctx.needs_input_grad[:3]
        g = ctx.sim._run_gradient(ctx.state, _numpy(grad_traces), eps_r=need[0],
                                  sigma=need[1], wavelet=need[2])
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
        check_grid(grid)
        snapshots = Snapshots() if snapshots is None else snapshots
        for name, value, cls in (("survey", survey, Survey), ("snapshots", snapshots, Snapshots),
                                 ("layers", AbsorbingLayers(0) if layers is None else layers,
                                  AbsorbingLayers)):
            if not isinstance(value, cls):
                raise NorvaneError(name, type(value).__name__, f"must be a norvane.{cls.__name__}")
        if survey.grid_shape != grid.shape:
            raise NorvaneError("survey", survey.grid_shape,
                               f"was built for another grid; grid.shape is {grid.shape}")
        if layers is not None:
            layers.check(grid)
        if mu_r is not None:
            mu_r = _checks.real_array("mu_r", mu_r, grid.shape)
            _checks.bounded_below("mu_r", mu_r, 0.0, strict=True)
        self.grid, self.survey, self.layers = grid, survey, layers
        self.snapshots, self.mu_r = snapshots, mu_r
        self.progress = _check_run_options(progress, None, None)

    # The two passes, overridden by the distributed simulator.
    def _run_forward(self, eps_r, sigma, wavelet, save_snapshots):
        materials = Materials(self.grid, eps_r, sigma, self.mu_r)
        return _forward(self.grid, materials, self.survey, wavelet, self.layers, self.snapshots,
                        save_snapshots=save_snapshots, progress=self.progress)

    def _run_gradient(self, state, residuals, **want):
        return _gradient(state, residuals, progress=self.progress, **want)

    def forward(self, eps_r, sigma, wavelet):
        return SimulateFunction.apply(_tensor("eps_r", eps_r), _tensor("sigma", sigma),
                                      _tensor("wavelet", wavelet), self)
