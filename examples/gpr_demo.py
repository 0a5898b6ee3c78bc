"""Ground-penetrating radar in 3-D: a B-scan, a permittivity gradient and a
short inversion.

A y-polarised antenna pair (transmitter and receiver 4 cm apart) is moved
along x, 2 cm above two soil layers that hide a metal pipe (a conductor of
10^4 S/m, which the solver treats as a perfect one) and an air-filled void.
The script

1. simulates the survey and writes the B-scan (bscan.png);
2. takes the misfit between the data and the same survey over the soil
   without pipe and void, and writes its gradient with respect to eps_r as
   a depth slice through the pipe and a vertical section (gradient.png);
3. runs a few Adam steps on eps_r of the soil, starting from that
   background, prints the misfit per iteration and plots it (misfit.png).

Usage: /usr/bin/python3 examples/gpr_demo.py [OUTPUT_DIR]   (default ./out)
       mpirun -np 2 /usr/bin/python3 examples/gpr_demo.py --mpi [OUTPUT_DIR]
With --mpi the shots are split among the MPI ranks (make demo-mpi); every
rank runs the same script and rank 0 prints and plots.
"""

import argparse
import os
import pathlib
import sys
import time

# The solver's threads sleep instead of spinning at their per-phase barriers:
# no effect on results, much faster when the cores are shared. Must be set
# before the OpenMP runtime is loaded (by torch or by the solver).
os.environ.setdefault("OMP_WAIT_POLICY", "PASSIVE")

import matplotlib  # noqa: E402

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
import torch  # noqa: E402

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "python"))
import norvane as nv  # noqa: E402
import norvane.torch as ntorch  # noqa: E402

# Geometry (metres): 1 cm cells, z is depth, the ground surface at z = 0.12 m.
H = 0.01
SHAPE = (60, 40, 50)
PML = 10
GROUND_K = 16
FREQ = 1.0e9
NT = 260


def models(grid):
    """True model (layers, pipe, void) and the background (layers only)."""
    nx, ny, nz = grid.shape
    x, z = np.meshgrid(np.arange(nx) * H, np.arange(nz) * H, indexing="ij")
    x, z = x[:, None, :], z[:, None, :]
    eps = np.ones(grid.shape, np.float32)
    sig = np.zeros(grid.shape, np.float32)
    soil = z >= GROUND_K * H
    deep = z >= 0.30
    eps[np.broadcast_to(soil, eps.shape)] = 5.0
    sig[np.broadcast_to(soil, sig.shape)] = 0.003
    eps[np.broadcast_to(deep, eps.shape)] = 8.0
    sig[np.broadcast_to(deep, sig.shape)] = 0.01
    background = (eps.copy(), sig.copy())
    pipe = np.broadcast_to((x - 0.22) ** 2 + (z - 0.22) ** 2 <= 0.02 ** 2, eps.shape)
    sig[pipe] = 1.0e4
    y = (np.arange(ny) * H)[None, :, None]
    void = (x - 0.40) ** 2 + (y - ny * H / 2) ** 2 + (z - 0.24) ** 2 <= 0.03 ** 2
    eps[void], sig[void] = 1.0, 0.0
    return (eps, sig), background


def survey(grid, n_shots):
    """Transmitter and receiver 4 cm apart in x, 2 cm above the ground."""
    xs = np.linspace(PML + 3, SHAPE[0] - PML - 8, n_shots).round().astype(int)
    j, k = SHAPE[1] // 2, GROUND_K - 2
    src = [[[i, j, k]] for i in xs]
    rec = [[[i + 4, j, k]] for i in xs]
    return nv.Survey(grid, src, rec, src_comp="y", rec_comp="y"), xs


def plot_bscan(traces, xs, grid, path):
    data = traces[:, :, 0].T
    data = data - data.mean(axis=1, keepdims=True)  # remove the direct wave
    t = np.arange(data.shape[0]) * grid.dt * 1e9
    data = data * (1 + t[:, None] / t[-1]) ** 2     # gain for spreading losses
    lim = np.abs(data).max()
    fig, ax = plt.subplots(figsize=(6, 4.5))
    ax.imshow(data, aspect="auto", cmap="gray", vmin=-lim, vmax=lim,
              extent=[xs[0] * H, xs[-1] * H, t[-1], 0])
    ax.set(xlabel="antenna position x (m)", ylabel="two-way time (ns)",
           title="B-scan (mean trace removed, time gain)")
    fig.tight_layout()
    fig.savefig(path, dpi=120)
    plt.close(fig)


def plot_gradient(g, grid, path):
    j, k = SHAPE[1] // 2, 22
    fig, axes = plt.subplots(1, 2, figsize=(10, 4))
    for ax, sl, title, ext, lab in (
            (axes[0], g[:, :, k].T, f"depth slice z = {k * H:.2f} m (pipe axis)",
             [0, g.shape[0] * H, g.shape[1] * H, 0], "y (m)"),
            (axes[1], g[:, j, :].T, f"vertical section y = {j * H:.2f} m",
             [0, g.shape[0] * H, g.shape[2] * H, 0], "depth z (m)")):
        lim = np.abs(sl).max() or 1.0
        im = ax.imshow(sl, cmap="seismic", vmin=-lim, vmax=lim, extent=ext)
        ax.set(xlabel="x (m)", ylabel=lab, title=title)
        fig.colorbar(im, ax=ax, shrink=0.8)
    fig.suptitle("gradient of the misfit with respect to eps_r (background model)")
    fig.tight_layout()
    fig.savefig(path, dpi=120)
    plt.close(fig)


def plot_misfit(history, eps_true, sig_true, eps_final, eps_start, path):
    j = SHAPE[1] // 2
    ext = [0, SHAPE[0] * H, SHAPE[2] * H, 0]
    fig, axes = plt.subplots(1, 3, figsize=(13, 3.8))
    axes[0].semilogy(np.arange(len(history)), history, "o-")
    axes[0].set(xlabel="iteration", ylabel="misfit", title="misfit (Adam on eps_r)")
    im = axes[1].imshow(eps_true[:, j, :].T, cmap="viridis", extent=ext)
    axes[1].contour(sig_true[:, j, :].T > 100, levels=[0.5], colors="w", extent=ext,
                    origin="upper")
    axes[1].set(title="true eps_r (white: metal pipe)")
    fig.colorbar(im, ax=axes[1], shrink=0.8)
    update = (eps_final - eps_start)[:, j, :].T
    lim = np.abs(update).max() or 1.0
    im = axes[2].imshow(update, cmap="seismic", vmin=-lim, vmax=lim, extent=ext)
    axes[2].set(title="eps_r update after inversion")
    fig.colorbar(im, ax=axes[2], shrink=0.8)
    for ax in axes[1:]:
        ax.set(xlabel="x (m)", ylabel="depth z (m)")
    fig.tight_layout()
    fig.savefig(path, dpi=120)
    plt.close(fig)


def smooth(g, passes=2):
    """[1, 2, 1]/4 along each axis, `passes` times: a cheap preconditioner that
    keeps the update at the scale of the wavelength instead of the grid."""
    for _ in range(passes):
        for axis in range(3):
            g = 0.5 * g + 0.25 * (torch.roll(g, 1, axis) + torch.roll(g, -1, axis))
    return g


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("out", nargs="?", default="out", help="output folder (default ./out)")
    parser.add_argument("--iterations", type=int, default=4)
    parser.add_argument("--mpi", action="store_true",
                        help="split the shots among the MPI ranks (run under mpirun)")
    args = parser.parse_args()
    out = pathlib.Path(args.out)
    # One machine: the package's calls. Under MPI: the same calls on the
    # world communicator; only rank 0 talks and draws.
    forward, Simulator, lead, ranks = nv.forward, ntorch.Simulator, True, 1
    if args.mpi:
        from norvane import distributed as nd
        from mpi4py import MPI
        forward, Simulator = nd.forward, nd.DistributedSimulator
        lead, ranks = MPI.COMM_WORLD.Get_rank() == 0, MPI.COMM_WORLD.Get_size()
    say = print if lead else (lambda *a, **k: None)
    if lead:
        out.mkdir(parents=True, exist_ok=True)
    start = time.perf_counter()

    grid = nv.Grid(SHAPE, H, order=2)
    (eps, sig), (eps0, sig0) = models(grid)
    layers = nv.AbsorbingLayers(PML, eps_r=5.0)
    wavelet = nv.ricker(FREQ, NT, grid.dt)[None]
    say(f"{grid}, {NT} steps of {grid.dt * 1e12:.1f} ps"
        + (f", shots split among {ranks} MPI ranks" if args.mpi else ""))

    # 1. B-scan: forward only, many antenna positions, no snapshots kept.
    scan, xs = survey(grid, 20)
    # What the passes will allocate (all shots in one process); each call
    # checks its own figure against the memory available before allocating.
    say(f"B-scan memory: {nv.estimate_memory(grid, scan, NT, layers, save_snapshots=False)}")
    traces, _ = forward(grid, nv.Materials(grid, eps, sig), scan, wavelet, layers,
                        save_snapshots=False)
    if lead:
        plot_bscan(traces, xs, grid, out / "bscan.png")
    say(f"B-scan: {scan.n_shots} traces -> {out / 'bscan.png'}"
          f"  [{time.perf_counter() - start:.0f} s]")

    # 2. and 3. Inversion data: fewer positions; the first gradient is the
    # gradient of the misfit against the background model.
    inv, _ = survey(grid, 5)
    observed, _ = forward(grid, nv.Materials(grid, eps, sig), inv, wavelet, layers,
                          save_snapshots=False)
    observed = torch.from_numpy(observed)
    sim = Simulator(grid, inv, layers=layers,
                           snapshots=nv.Snapshots(interval=5, format="half", components=3))
    say("inversion memory (forward + gradient): "
        f"{nv.estimate_memory(grid, inv, NT, layers, sim.snapshots, gradient=True)}")
    soil = torch.from_numpy(np.zeros(SHAPE, bool))
    soil[PML:-PML, PML:-PML, GROUND_K:-PML] = True
    eps_t = torch.tensor(eps0, requires_grad=True)
    sig_t, wav_t = torch.from_numpy(sig0), torch.from_numpy(wavelet)
    opt = torch.optim.Adam([eps_t], lr=0.2)
    history = []
    for it in range(args.iterations + 1):
        last = it == args.iterations
        opt.zero_grad()
        tick = time.perf_counter()
        with torch.set_grad_enabled(not last):  # the last one only measures
            misfit = 0.5 * ((sim(eps_t, sig_t, wav_t) - observed) ** 2).sum()
        history.append(float(misfit))
        say(f"iteration {it}: misfit {history[-1]:.6g}"
              f"  [{time.perf_counter() - start:.0f} s]")
        if last:
            break
        misfit.backward()
        raw = eps_t.grad * soil  # only the soil is unknown
        if it == 0:
            say(f"gradient of {inv.n_shots} shots (forward + adjoint): "
                f"{time.perf_counter() - tick:.2f} s")
            if lead:
                plot_gradient(raw.numpy(), grid, out / "gradient.png")
            say(f"gradient -> {out / 'gradient.png'}")
        eps_t.grad = smooth(raw) * soil
        opt.step()
        with torch.no_grad():
            eps_t.clamp_(min=1.0)
    if lead:
        plot_misfit(history, eps, sig, eps_t.detach().numpy(), eps0, out / "misfit.png")
    say(f"misfit {history[0]:.4g} -> {history[-1]:.4g} "
          f"({100 * (1 - history[-1] / history[0]):.0f} % lower) -> {out / 'misfit.png'}")
    say(f"total {time.perf_counter() - start:.1f} s")


if __name__ == "__main__":
    main()
