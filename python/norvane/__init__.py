"""norvane: 3-D electromagnetic FDTD on a Yee grid, forward and adjoint, on the CPU.

    grid = norvane.Grid((60, 40, 50), 0.01)             # nodes, spacing (m); dt defaults
    model = norvane.Materials(grid, eps_r, sigma)        # arrays of grid.shape
    survey = norvane.Survey(grid, src_pos, rec_pos)      # [shots, n, 3] node indices
    w = norvane.ricker(800e6, 400, grid.dt)[None]        # [n_src, nt]
    traces, state = norvane.forward(grid, model, survey, w, norvane.AbsorbingLayers(10))
    g = norvane.gradient(state, traces - observed)       # g.eps_r, g.sigma, g.wavelet

Memory: every call adds up what it will allocate and refuses with
NorvaneMemoryError (stating the figure) when that exceeds the memory
available or the cap of set_memory_limit / NORVANE_MEMORY_LIMIT / the
memory_limit= argument; estimate_memory(grid, survey, nt, ...) gives the
breakdown in advance. Ctrl-C stops a run at a chunk boundary with
Interrupted (a KeyboardInterrupt) carrying the completed steps' outputs.

The PyTorch layer lives in norvane.torch and is imported only on request.
"""

from .errors import Interrupted, NorvaneError, NorvaneMemoryError
from .grid import C0, Grid, Materials
from .memory import MemoryEstimate, get_memory_limit, set_memory_limit
from .pml import AbsorbingLayers, cpml_profiles
from .simulate import Gradients, State, estimate_memory, forward, gradient
from .survey import Snapshots, Survey, ricker

__all__ = ["NorvaneError", "NorvaneMemoryError", "Interrupted", "Grid", "Materials",
           "AbsorbingLayers", "cpml_profiles", "Survey", "Snapshots", "ricker", "forward",
           "gradient", "State", "Gradients", "C0", "estimate_memory", "MemoryEstimate",
           "set_memory_limit", "get_memory_limit"]
