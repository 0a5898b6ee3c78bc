"""The exceptions the package raises: refused inputs, refused memory, interrupts."""

_MAX_REPR = 200


def _short_repr(value):
    """repr() of a value for a message, cut to a readable length; an object
    whose repr fails still gets a message (its type name)."""
    try:
        text = repr(value)
    except Exception:  # a broken __repr__ must not hide the real error
        return f"<{type(value).__name__}>"
    return text if len(text) <= _MAX_REPR else text[:_MAX_REPR - 5] + " ...>"


class NorvaneError(ValueError):
    """An input breaks a rule the simulation relies on.

    The message names the parameter, the offending value and the rule, so a
    notebook user can fix the call without reading the source.
    """

    def __init__(self, parameter, value, rule):
        self.parameter = parameter
        self.value = value
        self.rule = rule
        super().__init__(f"{parameter} = {_short_repr(value)}: {rule}")


class NorvaneMemoryError(NorvaneError, MemoryError):
    """A call would need more memory than is available or allowed.

    Raised before anything is allocated; `needed` and `allowed` are byte
    counts and `breakdown` the MemoryEstimate the figure came from. It is
    both a NorvaneError (a ValueError) and a MemoryError.
    """

    def __init__(self, parameter, value, rule, needed, allowed, breakdown):
        super().__init__(parameter, value, rule)
        self.needed, self.allowed, self.breakdown = needed, allowed, breakdown


class Interrupted(KeyboardInterrupt):
    """Ctrl-C stopped a chunked run at a chunk boundary.

    `steps` time steps of `nt` were completed; everything the run had
    written reflects exactly those steps. `forward` attaches `traces`
    ([n_shots, steps, n_rec]) and `state` (a State of a `steps`-step run,
    fields and layer memories after the last completed step); `gradient`
    attaches `gradients`, the contributions of the last `steps` steps (the
    time steps nt - steps .. nt - 1, whose adjoint fields and memories it has
    carried back to step nt - steps).
    """

    def __init__(self, label, steps, nt):
        super().__init__(f"{label} interrupted after {steps} of {nt} steps "
                         "(stopped at a chunk boundary)")
        self.steps, self.nt = steps, nt
        self.traces = self.state = self.gradients = None
