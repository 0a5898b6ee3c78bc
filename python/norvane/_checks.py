"""Input checks shared by the model classes. Each raises NorvaneError naming
the parameter, the offending value and the rule; each returns a fresh
float32/int32 copy so that nothing the caller owns is ever written."""

import numbers

import numpy as np

from .errors import NorvaneError


def integer(name, value, minimum=None, maximum=None):
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Integral):
        raise NorvaneError(name, value, "must be an integer")
    value = int(value)
    if minimum is not None and value < minimum:
        raise NorvaneError(name, value, f"must be >= {minimum}")
    if maximum is not None and value > maximum:
        raise NorvaneError(name, value, f"must be <= {maximum}")
    return value


def positive_real(name, value):
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Real):
        raise NorvaneError(name, value, "must be a real number")
    value = float(value)
    if not np.isfinite(value) or value <= 0:
        raise NorvaneError(name, value, "must be finite and > 0")
    return value


def real_array(name, value, shape=None, ndim=None):
    """A C-contiguous float32 copy of a real array, checked for shape and finiteness."""
    try:
        a = np.array(value, copy=True)
    except Exception as exc:  # ragged lists and the like
        raise NorvaneError(name, type(value).__name__, f"not convertible to an array ({exc})")
    if a.dtype == object or not (np.issubdtype(a.dtype, np.floating)
                                 or np.issubdtype(a.dtype, np.integer)):
        raise NorvaneError(name, str(a.dtype), "must hold real numbers")
    if shape is not None and a.shape != tuple(shape):
        raise NorvaneError(f"{name}.shape", a.shape, f"must be {tuple(shape)}")
    if ndim is not None and a.ndim != ndim:
        raise NorvaneError(f"{name}.shape", a.shape, f"must have {ndim} dimensions")
    a = np.ascontiguousarray(a, dtype=np.float32)
    bad = ~np.isfinite(a)
    if bad.any():
        at = tuple(int(i) for i in np.argwhere(bad)[0])
        raise NorvaneError(name, float(a[at]), f"must be finite (first bad element at {at})")
    return a


def bounded_below(name, a, bound, strict):
    """Check every element of `a` is > bound (strict) or >= bound."""
    bad = (a <= bound) if strict else (a < bound)
    if bad.any():
        at = tuple(int(i) for i in np.argwhere(bad)[0])
        rule = f"must be {'>' if strict else '>='} {bound:g} everywhere (first bad element at {at})"
        raise NorvaneError(name, float(a[at]), rule)


def positions(name, value, n_shots, grid_shape):
    """Int32 copy of [n_shots, n, 3] node positions, all inside the grid."""
    try:
        a = np.array(value, copy=True)
    except Exception as exc:
        raise NorvaneError(name, type(value).__name__, f"not convertible to an array ({exc})")
    if a.ndim != 3 or a.shape[2] != 3 or (n_shots is not None and a.shape[0] != n_shots):
        want = f"[{n_shots if n_shots is not None else 'n_shots'}, n, 3]"
        raise NorvaneError(f"{name}.shape", a.shape, f"must be {want}")
    if a.shape[0] < 1:
        raise NorvaneError(f"{name}.shape", a.shape, "needs at least one shot")
    if not np.issubdtype(a.dtype, np.integer):
        if a.size and (np.issubdtype(a.dtype, np.floating) and np.all(np.isfinite(a))
                       and np.all(a == np.round(a))):
            a = a.astype(np.int64)
        else:
            raise NorvaneError(name, str(a.dtype), "must hold integer node indices")
    for axis, n in enumerate(grid_shape):
        col = a[..., axis]
        bad = (col < 0) | (col > n - 1)
        if bad.any():
            at = tuple(int(i) for i in np.argwhere(bad)[0])
            raise NorvaneError(f"{name}[{at[0]}, {at[1]}]", a[at[0], at[1]].tolist(),
                               f"index {'ijk'[axis]} must lie in 0..{n - 1}")
    return np.ascontiguousarray(a, dtype=np.int32)


COMPONENTS = {"x": 0, "y": 1, "z": 2, "ex": 0, "ey": 1, "ez": 2}


def component(name, value):
    if isinstance(value, str):
        code = COMPONENTS.get(value.lower())
        if code is None:
            raise NorvaneError(name, value, "must be 0, 1, 2 or 'x', 'y', 'z'")
        return code
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Integral) \
            or not 0 <= int(value) <= 2:
        raise NorvaneError(name, value, "must be 0, 1, 2 (x, y, z electric component)")
    return int(value)
