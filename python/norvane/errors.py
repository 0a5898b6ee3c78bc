"""The one exception the package raises for inputs it refuses."""


class NorvaneError(ValueError):
    """An input breaks a rule the simulation relies on.

    The message names the parameter, the offending value and the rule, so a
    notebook user can fix the call without reading the source.
    """

    def __init__(self, parameter, value, rule):
        self.parameter = parameter
        self.value = value
        self.rule = rule
        super().__init__(f"{parameter} = {value!r}: {rule}")
