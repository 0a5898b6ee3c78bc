"""Loading libnorvane_cpu.so and the one table of its C prototypes.

Every export is declared here, once, with the parameter names and C types of
the public header; a test parses the header and compares it with PROTOTYPES,
so the host and the ABI cannot drift apart. Calls into the library hold a
lock because the finite-difference order is a process-wide setting that each
pass reads at entry.
"""

import ctypes
import os
import pathlib
import threading

import numpy as np

from .errors import NorvaneError

ABI_VERSION = 6

# C type spelling (as in the header) -> ctypes type.
_CTYPES = {
    "void": None,
    "int32_t": ctypes.c_int32,
    "float": ctypes.c_float,
    "const float *": ctypes.POINTER(ctypes.c_float),
    "float *": ctypes.POINTER(ctypes.c_float),
    "const int32_t *": ctypes.POINTER(ctypes.c_int32),
    "void *": ctypes.c_void_p,
    "const void *": ctypes.c_void_p,
}

FACES = ("xlo", "xhi", "ylo", "yhi", "zlo", "zhi")
# Tangential E then tangential H components of each face axis.
_FACE_COMPONENTS = {"x": ("ey", "ez", "hy", "hz"), "y": ("ex", "ez", "hx", "hz"),
                    "z": ("ex", "ey", "hx", "hy")}
PSI_NAMES = tuple(f"psi_{c}_{face}" for face in FACES for c in _FACE_COMPONENTS[face[0]])


def _group(names, ctype):
    return [(n, ctype) for n in names]


def _layer_group(prefix=""):
    return (_group([prefix + n for n in PSI_NAMES], "float *")
            + _group([f"pml_{f}" for f in FACES], "int32_t")
            + _group([f"prof_e_{f}" for f in FACES], "const float *")
            + _group([f"prof_h_{f}" for f in FACES], "const float *"))


_COEFFS = _group(["ca_e", "cb_e", "cs_e", "ca_h", "cb_h", "cs_h"], "float *")
_MATERIALS = _group(["eps_r", "sigma", "mu_r"], "const float *")
_GRID = (_group(["nx", "ny", "nz"], "int32_t") + _group(["dt", "dx", "dy", "dz"], "float"))

# name -> (restype, [(parameter, C type), ...]) in header order.
PROTOTYPES = {
    "norvane_abi_version": ("int32_t", []),
    "norvane_supports_external_pml": ("int32_t", []),
    "set_fdtd_order": ("void", [("order", "int32_t")]),
    "forward": ("void", _MATERIALS
                + [("e_snapshots", "void *"), ("rhs_snapshots", "void *")]
                + _group(["ex", "ey", "ez", "hx", "hy", "hz"], "float *")
                + _COEFFS + _layer_group()
                + [("nt", "int32_t"), ("n_shots", "int32_t"), ("n_rec", "int32_t"),
                   ("rec_pos", "const int32_t *"), ("rec_out", "float *"),
                   ("rec_comp", "int32_t")]
                + _GRID
                + [("n_src", "int32_t"), ("src_pos", "const int32_t *"),
                   ("src_wavelet", "const float *"), ("src_comp", "int32_t")]
                + _group(["snapshot_interval", "snapshot_components", "snapshot_format",
                          "save_rhs"], "int32_t")),
    "backward": ("void", _MATERIALS
                 + [("e_snapshots", "const void *"), ("rhs_snapshots", "const void *")]
                 + _group(["adj_ex", "adj_ey", "adj_ez", "adj_hx", "adj_hy", "adj_hz"],
                          "float *")
                 + _COEFFS + _layer_group("adj_")
                 + _group(["nt", "n_shots", "reserved_i32"], "int32_t")
                 + _GRID
                 + [("n_rec", "int32_t"), ("rec_pos", "const int32_t *"),
                    ("rec_residual", "const float *"), ("rec_comp", "int32_t"),
                    ("n_src", "int32_t"), ("src_pos", "const int32_t *"),
                    ("src_comp", "int32_t"), ("grad_wavelet", "float *"),
                    ("want_grad_wavelet", "int32_t"), ("grad_eps_r", "float *"),
                    ("grad_sigma", "float *"), ("want_grad_eps_r", "int32_t"),
                    ("want_grad_sigma", "int32_t")]
                 + _group(["snapshot_interval", "snapshot_components", "snapshot_format"],
                          "int32_t")),
}

# Bit of snapshot_format that switches snapshots off entirely.
SNAPSHOTS_OFF = 0x4000000

_lock = threading.Lock()
_handle = None


def candidate_paths():
    """Where the library is looked for, in order."""
    env = os.environ.get("NORVANE_LIB")
    if env:
        return [pathlib.Path(env)]
    here = pathlib.Path(__file__).resolve().parent
    repo = here.parent.parent  # <repo>/python/norvane -> <repo>
    return [here / "libnorvane_cpu.so", here.parent / "libnorvane_cpu.so",
            repo / "build" / "libnorvane_cpu.so"]


def _declare(handle):
    for name, (restype, params) in PROTOTYPES.items():
        fn = getattr(handle, name)
        fn.restype = _CTYPES[restype]
        fn.argtypes = [_CTYPES[ctype] for _, ctype in params]
    return handle


def library():
    """The loaded library with every prototype declared (loaded on first use)."""
    global _handle
    if _handle is None:
        paths = candidate_paths()
        found = next((p for p in paths if p.is_file()), None)
        if found is None:
            raise NorvaneError("NORVANE_LIB", os.environ.get("NORVANE_LIB"),
                               "libnorvane_cpu.so not found; looked in "
                               + ", ".join(str(p) for p in paths)
                               + " (build it, or set NORVANE_LIB to its path)")
        handle = _declare(ctypes.CDLL(str(found)))
        version = handle.norvane_abi_version()
        if version != ABI_VERSION or handle.norvane_supports_external_pml() != 1:
            raise NorvaneError("libnorvane_cpu.so", str(found),
                               f"calling convention {version} found, {ABI_VERSION} with "
                               "caller-supplied absorbing layers required")
        _handle = handle
    return _handle


def pointer(array, ctype):
    """A typed pointer to a C-contiguous array the package owns (None -> NULL)."""
    if array is None:
        return None
    assert array.flags.c_contiguous, "internal: non-contiguous array passed to the library"
    if ctype == "void *" or ctype == "const void *":
        return ctypes.c_void_p(array.ctypes.data)
    expected = np.int32 if "int32_t" in ctype else np.float32
    assert array.dtype == expected, f"internal: {array.dtype} passed as {ctype}"
    return array.ctypes.data_as(_CTYPES[ctype])


def call(name, order, arguments):
    """Call `forward` or `backward` with a dict of every parameter by name.

    Arrays are converted to pointers and scalars to their C types; a missing
    or extra name is a programming error. The order is set inside the same
    lock so that concurrent Python threads cannot change it under a pass.
    """
    _, params = PROTOTYPES[name]
    if set(arguments) != {p for p, _ in params}:
        missing = {p for p, _ in params} - set(arguments)
        extra = set(arguments) - {p for p, _ in params}
        raise AssertionError(f"internal: {name} missing {sorted(missing)}, extra {sorted(extra)}")
    values = []
    for pname, ctype in params:
        v = arguments[pname]
        if ctype.endswith("*"):
            values.append(pointer(v, ctype))
        elif ctype == "float":
            values.append(float(v))
        else:
            values.append(int(v))
    lib = library()
    with _lock:
        lib.set_fdtd_order(int(order))
        getattr(lib, name)(*values)
