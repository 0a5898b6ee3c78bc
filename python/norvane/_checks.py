"""Input checks shared by the model classes. Each raises NorvaneError naming
the parameter, the offending value and the rule; each returns a fresh
float32/int32 copy so that nothing the caller owns is ever written.

Anything the library receives as a 32-bit integer is bounded here: ctypes
converts a Python int to int32_t by dropping the high bits, so a value of
2^32 + 1 would reach the library as 1 and, for a snapshot interval, size a
store for far fewer slots than the library then writes.
"""

import numbers

import numpy as np

from . import memory
from .errors import NorvaneError

INT32_MAX = 2**31 - 1


def integer(name, value, minimum=None, maximum=None):
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Integral):
        raise NorvaneError(name, value, "must be an integer")
    value = int(value)
    if minimum is not None and value < minimum:
        raise NorvaneError(name, value, f"must be >= {minimum}")
    if maximum is not None and value > maximum:
        raise NorvaneError(name, value, f"must be <= {maximum}")
    return value


def real(name, value):
    """A finite Python float from a real number (not a bool)."""
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Real):
        raise NorvaneError(name, value, "must be a real number")
    try:
        value = float(value)
    except OverflowError:  # an int beyond the float range
        raise NorvaneError(name, value, "must be finite") from None
    if not np.isfinite(value):
        raise NorvaneError(name, value, "must be finite")
    return value


def positive_real(name, value):
    value = real(name, value)
    if value <= 0:
        raise NorvaneError(name, value, "must be finite and > 0")
    return value


def flag(name, value):
    """A yes/no option: True, False (or numpy's bools)."""
    if not isinstance(value, (bool, np.bool_)):
        raise NorvaneError(name, value, "must be True or False")
    return bool(value)


def triple(name, value, what):
    """The three items of a sequence, for (nx, ny, nz)-like parameters."""
    if isinstance(value, (str, bytes)):
        raise NorvaneError(name, value, f"must be {what}")
    try:
        items = tuple(value)
    except Exception:  # not iterable, 0-d arrays, iterators that fail
        raise NorvaneError(name, value, f"must be {what}") from None
    if len(items) != 3:
        raise NorvaneError(name, value, f"must be {what}")
    return items


def _as_array(name, value):
    """np.asarray without a copy where the input already is an array (a
    broadcast view of any size stays a view until its size has been checked)."""
    try:
        return np.asarray(value)
    except Exception as exc:  # ragged lists, tensors that need grad, and the like
        raise NorvaneError(name, type(value).__name__,
                           f"not convertible to an array ({exc})") from None


def real_array(name, value, shape=None, ndim=None, memory_limit=None):
    """A C-contiguous float32 copy of a real array, checked for shape and finiteness."""
    a = _as_array(name, value)
    if a.dtype == object or not (np.issubdtype(a.dtype, np.floating)
                                 or np.issubdtype(a.dtype, np.integer)):
        raise NorvaneError(name, str(a.dtype), "must hold real numbers")
    if shape is not None and a.shape != tuple(shape):
        raise NorvaneError(f"{name}.shape", a.shape, f"must be {tuple(shape)}")
    if ndim is not None and a.ndim != ndim:
        raise NorvaneError(f"{name}.shape", a.shape, f"must have {ndim} dimensions")
    # The float32 copy and the finiteness mask (one byte an element).
    memory.check_allocation(name, 5 * a.size, memory_limit)
    with np.errstate(over="ignore", invalid="ignore"):  # overflow to inf is reported below
        out = np.array(a, dtype=np.float32, order="C", copy=True)
    bad = ~np.isfinite(out)
    if bad.any():
        at = tuple(int(i) for i in np.argwhere(bad)[0])
        shown = a[at].item() if a.ndim else a.item()
        raise NorvaneError(name, shown,
                           f"must be finite in float32 (first bad element at {at})")
    return out


def bounded_below(name, a, bound, strict):
    """Check every element of `a` is > bound (strict) or >= bound."""
    bad = (a <= bound) if strict else (a < bound)
    if bad.any():
        at = tuple(int(i) for i in np.argwhere(bad)[0])
        rule = f"must be {'>' if strict else '>='} {bound:g} everywhere (first bad element at {at})"
        raise NorvaneError(name, float(a[at]), rule)


def positions(name, value, n_shots, grid_shape):
    """Int32 copy of [n_shots, n, 3] node positions, all inside the grid."""
    a = _as_array(name, value)
    if a.ndim == 2 and a.shape[1] == 0 and a.dtype == np.float64:
        a = a.reshape(a.shape[0], 0, 3)  # [[], ...]: shots without positions
    if a.ndim != 3 or a.shape[2] != 3 or (n_shots is not None and a.shape[0] != n_shots):
        want = f"[{n_shots if n_shots is not None else 'n_shots'}, n, 3]"
        raise NorvaneError(f"{name}.shape", a.shape, f"must be {want}")
    if a.shape[0] < 1:
        raise NorvaneError(f"{name}.shape", a.shape, "needs at least one shot")
    if a.shape[1] > INT32_MAX:
        raise NorvaneError(f"{name}.shape", a.shape, f"at most {INT32_MAX} per shot")
    if not np.issubdtype(a.dtype, np.integer):
        # Whole numbers stored as floats are accepted; the range is checked
        # on the floats so that nothing wraps around in the integer cast.
        if not (np.issubdtype(a.dtype, np.floating) and np.all(np.isfinite(a))
                and np.all(a == np.round(a))):
            raise NorvaneError(name, str(a.dtype), "must hold integer node indices")
    for axis, n in enumerate(grid_shape):
        col = a[..., axis]
        bad = (col < 0) | (col > n - 1)
        if bad.any():
            at = tuple(int(i) for i in np.argwhere(bad)[0])
            raise NorvaneError(f"{name}[{at[0]}, {at[1]}]", a[at[0], at[1]].tolist(),
                               f"index {'ijk'[axis]} must lie in 0..{n - 1}")
    return np.array(a, dtype=np.int32, order="C", copy=True)


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

