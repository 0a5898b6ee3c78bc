"""norvane: 3-D electromagnetic FDTD on a Yee grid, forward and adjoint, on the CPU.

    grid = norvane.Grid((60, 40, 50), 0.01)             # nodes, spacing (m); dt defaults
    model = norvane.Materials(grid, eps_r, sigma)        # arrays of grid.shape
    survey = norvane.Survey(grid, src_pos, rec_pos)      # [shots, n, 3] node indices
    w = norvane.ricker(800e6, 400, grid.dt)[None]        # [n_src, nt]
    traces, state = norvane.forward(grid, model, survey, w, norvane.AbsorbingLayers(10))
    g = norvane.gradient(state, traces - observed)       # g.eps_r, g.sigma, g.wavelet

The PyTorch layer lives in norvane.torch and is imported only on request.
"""

from .errors import NorvaneError
from .grid import C0, Grid, Materials
from .pml import AbsorbingLayers, cpml_profiles
from .simulate import Gradients, State, forward, gradient
from .survey import Snapshots, Survey, ricker

__all__ = ["NorvaneError", "Grid", "Materials", "AbsorbingLayers", "cpml_profiles", "Survey",
           "Snapshots", "ricker", "forward", "gradient", "State", "Gradients", "C0"]
