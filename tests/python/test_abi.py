"""The host's prototype table against the public header, and the package's
traces against a call of `forward` assembled here by hand."""

import ctypes
import re
import subprocess
import sys

import numpy as np

import norvane as nv
from conftest import REPO
from norvane import _lib


def _header_prototypes():
    text = (REPO / "lib" / "interface" / "norvane_cpu.h").read_text()
    text = re.sub(r"/\*.*?\*/", " ", text, flags=re.S)
    out = {}
    for ret, name, params in re.findall(
            r"NORVANE_API\s+(\w+)\s+(\w+)\s*\(([^)]*)\)\s*NORVANE_NOEXCEPT", text):
        parsed = []
        if params.strip() != "void":
            for p in params.split(","):
                m = re.fullmatch(r"\s*(.*?)\s*(\*?)\s*(\w+)\s*", p)
                ctype = " ".join(m.group(1).split()) + (" *" if m.group(2) else "")
                parsed.append((m.group(3), ctype))
        out[name] = (ret, parsed)
    return out


def test_prototype_table_matches_header():
    header = _header_prototypes()
    assert set(header) == set(_lib.PROTOTYPES)
    assert len(header["forward"][1]) == 80 and len(header["backward"][1]) == 85
    for name, (ret, params) in header.items():
        assert _lib.PROTOTYPES[name] == (ret, params), name


def test_library_identity():
    lib = _lib.library()
    assert lib.norvane_abi_version() == 6
    assert lib.norvane_supports_external_pml() == 1


def test_traces_equal_a_direct_ctypes_call(case):
    """Allocate every array as the calling convention describes and call the
    raw export with plain ctypes values, without the package's table."""
    traces, _ = case.forward(snapshots=nv.Snapshots(2, "bfloat16", 1))
    g, s = case.grid, case.survey
    nx, ny, nz = g.shape
    nt, shots, nodes = case.wavelet.shape[1], s.n_shots, g.n_nodes
    raw = ctypes.CDLL(_lib.library()._name)  # a fresh handle: no declared argtypes
    keep = []

    def ptr(a):
        a = np.ascontiguousarray(a)
        keep.append(a)
        return ctypes.c_void_p(a.ctypes.data)

    f32 = lambda n: np.zeros(n, np.float32)  # noqa: E731
    n_cells = shots * (nx - 1) * (ny - 1) * (nz - 1)
    slots = -(-nt // 2)
    e_store, rhs_store = np.zeros(slots * n_cells, np.uint16), np.zeros(slots * n_cells, np.uint16)
    fields = [f32(shots * nodes) for _ in range(6)]
    coeffs = [f32(nodes) for _ in range(6)]
    w = 3
    # Memories per face in the header's order; x faces: [S][w+1][ny-1][nz],
    # [S][w+1][ny][nz-1], [S][w][ny][nz-1], [S][w][ny-1][nz]; y and z alike.
    sizes = {"x": [(w + 1) * (ny - 1) * nz, (w + 1) * ny * (nz - 1), w * ny * (nz - 1),
                   w * (ny - 1) * nz],
             "y": [(nx - 1) * (w + 1) * nz, nx * (w + 1) * (nz - 1), nx * w * (nz - 1),
                   (nx - 1) * w * nz],
             "z": [(nx - 1) * ny * (w + 1), nx * (ny - 1) * (w + 1), nx * (ny - 1) * w,
                   (nx - 1) * ny * w]}
    psi = [f32(shots * n) for axis in "xyz" for _ in range(2) for n in sizes[axis]]
    prof = [nv.cpml_profiles(w, h, g.dt, eps_r=2.0) for h in g.spacing]
    prof_e = [prof[f // 2].e_lo if f % 2 == 0 else prof[f // 2].e_hi for f in range(6)]
    prof_h = [prof[f // 2].h_lo if f % 2 == 0 else prof[f // 2].h_hi for f in range(6)]
    rec_out = f32(shots * nt * s.n_rec)
    i32, fl = ctypes.c_int32, ctypes.c_float
    args = ([ptr(case.eps_r), ptr(case.sigma), ptr(np.ones(g.shape, np.float32)),
             ptr(e_store), ptr(rhs_store)] + [ptr(a) for a in fields + coeffs + psi]
            + [i32(w)] * 6 + [ptr(p) for p in prof_e + prof_h]
            + [i32(nt), i32(shots), i32(s.n_rec), ptr(s.rec_pos.astype(np.int32)),
               ptr(rec_out), i32(2), i32(nx), i32(ny), i32(nz), fl(g.dt)]
            + [fl(h) for h in g.spacing]
            + [i32(1), ptr(s.src_pos.astype(np.int32)), ptr(case.wavelet), i32(2),
               i32(2), i32(1), i32(2), i32(1)])
    assert len(args) == 80
    raw.set_fdtd_order(ctypes.c_int32(g.order))
    raw.forward(*args)
    assert np.array_equal(rec_out.reshape(shots, nt, s.n_rec), traces)
    assert np.abs(traces).max() > 0


def test_numpy_api_runs_without_torch():
    """torch is optional: block its import and run a small forward."""
    code = (
        "import sys; sys.modules['torch'] = None\n"
        f"sys.path.insert(0, {str(REPO / 'python')!r})\n"
        "import norvane as nv\n"
        "g = nv.Grid((8, 8, 8), 0.01)\n"
        "s = nv.Survey(g, [[[4, 4, 4]]], [[[5, 4, 4]]])\n"
        "tr, st = nv.forward(g, nv.Materials.homogeneous(g), s, nv.ricker(5e9, 20, g.dt))\n"
        "assert tr.shape == (1, 20, 1) and abs(tr).max() > 0\n")
    subprocess.run([sys.executable, "-c", code], check=True, timeout=60)
