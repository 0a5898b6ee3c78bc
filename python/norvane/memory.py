"""Memory budgets: what a call will allocate, checked before it allocates.

A forward run holds six field components per shot, six coefficient arrays,
the absorbing-layer memories, two snapshot stores ([C, slots, cells] each,
4 or 2 bytes an element), the traces, and inside the library a float copy of
one snapshot slot for the 16-bit formats. Most of it is written only as the
run goes on, so an allocation that does not fit is not refused at once: the
pages are committed later and the kernel kills the process halfway through
the run, with nothing saved. Every call therefore adds up its allocations
first and refuses, with the figure, when they exceed the memory available
(MemAvailable of /proc/meminfo, or the space left under the process's memory
control group) or a limit the user sets, whichever is smaller.

The user limit, strongest first: the `memory_limit=` argument of a call,
`set_memory_limit(bytes)`, the environment variable NORVANE_MEMORY_LIMIT.
Byte counts may be written with a binary suffix: '512M', '4G', '1.5GiB'.
"""

import math
import numbers
import os
import re

from .errors import NorvaneError, NorvaneMemoryError

_ENV = "NORVANE_MEMORY_LIMIT"
_SUFFIX = {"": 1, "k": 2**10, "m": 2**20, "g": 2**30, "t": 2**40}
_user_limit = None


def format_bytes(n):
    """'1.50 GiB', '12.3 MiB', '4.0 KiB' or '512 B'."""
    if n >= 2**30:
        return f"{n / 2**30:.2f} GiB"
    if n >= 2**20:
        return f"{n / 2**20:.1f} MiB"
    if n >= 2**10:
        return f"{n / 2**10:.1f} KiB"
    return f"{int(n)} B"


def parse_bytes(name, value):
    """A positive byte count from an int, a float or a string like '4G'."""
    if isinstance(value, str):
        m = re.fullmatch(r"\s*([0-9]*\.?[0-9]+(?:[eE][+-]?[0-9]+)?)\s*([kKmMgGtT]?)(?:i?[bB])?\s*",
                         value)
        if m is None:
            raise NorvaneError(name, value, "must be a byte count such as 2000000000, 512M or 4G")
        value = float(m.group(1)) * _SUFFIX[m.group(2).lower()]
    elif isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise NorvaneError(name, value, "must be a byte count (int) or a string such as '4G'")
    try:
        value = float(value)
    except OverflowError:
        value = math.inf
    if not math.isfinite(value) or value < 1:
        raise NorvaneError(name, value, "must be a finite byte count >= 1")
    return int(value)


def set_memory_limit(nbytes):
    """Cap what one call may allocate (None removes the cap); returns the previous cap.

    Applies to every later call that has no `memory_limit=` argument and
    overrides NORVANE_MEMORY_LIMIT. The cap never raises the budget above
    the memory available.
    """
    global _user_limit
    previous = _user_limit
    _user_limit = None if nbytes is None else parse_bytes("nbytes", nbytes)
    return previous


def get_memory_limit():
    """The cap in force without a per-call argument: set_memory_limit, then the
    environment, else None."""
    if _user_limit is not None:
        return _user_limit
    env = os.environ.get(_ENV)
    return None if env in (None, "") else parse_bytes(_ENV, env)


def _read_int(path):
    try:
        with open(path) as f:
            text = f.read().strip()
    except OSError:
        return None
    return int(text) if text.isdigit() else None


def available_memory():
    """(bytes, where the figure comes from) that can be allocated without
    swapping, or (None, None) where the system does not say."""
    found = []
    try:
        with open("/proc/meminfo") as f:
            for line in f:
                if line.startswith("MemAvailable:"):
                    found.append((int(line.split()[1]) * 1024, "MemAvailable"))
                    break
    except (OSError, ValueError, IndexError):
        pass
    if not found:
        try:
            found.append((os.sysconf("SC_AVPHYS_PAGES") * os.sysconf("SC_PAGE_SIZE"),
                          "free physical pages"))
        except (ValueError, OSError, AttributeError):
            pass
    # A container's memory control group can allow less than the machine has.
    for limit, usage in (("/sys/fs/cgroup/memory.max", "/sys/fs/cgroup/memory.current"),
                         ("/sys/fs/cgroup/memory/memory.limit_in_bytes",
                          "/sys/fs/cgroup/memory/memory.usage_in_bytes")):
        cap, used = _read_int(limit), _read_int(usage)
        if cap is not None and used is not None and cap < 2**60:
            found.append((max(cap - used, 0), "left in the memory control group"))
            break
    return min(found) if found else (None, None)


class MemoryEstimate:
    """Bytes a call allocates, by item; `total` is their sum.

    Items (bytes, 0 where not used): fields, coefficients, layer memories
    (with their profiles), snapshot stores, chunk buffers (the copies of a
    chunk's snapshot slots, traces and wavelets when the run is split),
    library scratch (the float copies of one row of old E per thread and of
    E at each source that the library allocates for exact right-hand-side
    snapshots), traces, wavelet, and for the gradient
    residuals and gradients.
    """

    def __init__(self, label, items):
        self.label = label
        self.items = {k: int(v) for k, v in items.items()}

    @property
    def total(self):
        return sum(self.items.values())

    def __getitem__(self, key):
        return self.items[key]

    def __add__(self, other):
        items = dict(self.items)
        for k, v in other.items.items():
            items[k] = items.get(k, 0) + v
        return MemoryEstimate(f"{self.label} + {other.label}", items)

    def breakdown(self):
        parts = sorted(((v, k) for k, v in self.items.items() if v > 0), reverse=True)
        return ", ".join(f"{k} {format_bytes(v)}" for v, k in parts)

    def __str__(self):
        return f"{format_bytes(self.total)} ({self.breakdown()})"

    def __repr__(self):
        return f"MemoryEstimate({self.label!r}, {self.items!r})"


def check_budget(estimate, memory_limit=None, advice=""):
    """Raise NorvaneMemoryError if `estimate` exceeds the budget; return the budget
    (None when neither a limit nor the available memory is known)."""
    if memory_limit is not None:
        limit, source = parse_bytes("memory_limit", memory_limit), "the memory_limit argument"
    else:
        limit = get_memory_limit()
        source = ("the limit set by set_memory_limit()" if _user_limit is not None
                  else f"the limit {_ENV}")
    available, where = available_memory()
    candidates = []
    if limit is not None:
        candidates.append((limit, "memory_limit", f"{source} allows {format_bytes(limit)}"))
    if available is not None:
        candidates.append((available, "memory",
                           f"only {format_bytes(available)} is available ({where})"))
    if not candidates:
        return None
    allowed, parameter, phrase = min(candidates)
    needed = estimate.total
    if needed > allowed:
        rule = (f"{estimate.label} needs {estimate} but {phrase}"
                + (f"; {advice}" if advice else ""))
        raise NorvaneMemoryError(parameter, format_bytes(needed), rule, needed, allowed,
                                 estimate)
    return allowed


def check_allocation(name, nbytes, memory_limit=None):
    """Budget check of one copy of an input (`name`) before it is made."""
    check_budget(MemoryEstimate(f"a copy of {name}", {name: nbytes}), memory_limit)
