"""The extension's method records, as the layers above the classes read them.

Every method registers one record in the extension (`_velarix.methods`):
its name, classes, end conditions, command options and the configuration
the NumPy layer fits with. The NumPy layer, the command, the tests, the
benchmark, the figures and the digest take the methods from `RECORDS`, and
nothing else lists them.
"""

from dataclasses import dataclass

from velarix import _velarix


@dataclass(frozen=True)
class Option:
    """A setting the command offers for a method (``--name`` with hyphens)."""

    name: str
    builder: str
    type: str
    choices: tuple
    metavar: str
    help: str

    @property
    def flag(self):
        return "--" + self.name.replace("_", "-")

    def parse(self, text):
        """The value the builder takes, from a choice as the command spells it."""
        if self.type == "bool":
            return text == "yes"
        return {"int": int, "float": float}.get(self.type, str)(text)

    def apply(self, configuration, value):
        """The configuration with this setting applied by its builder."""
        return getattr(configuration, self.builder)(value)


@dataclass(frozen=True)
class Method:
    """One method of the library: its classes and how the layers above use it."""

    name: str
    configuration: type
    spline: type
    end_conditions: tuple
    options: tuple
    interpolation_configuration: object
    summary: str
    # The shape requirements its fits' verdict checks where the data have
    # them: "monotone", "convex", "flat", "overshoot".
    promises: tuple
    # The Matplotlib colour of its curves on every figure.
    colour: str
    # Whether a fit of long data splits its passes over get_workers() threads.
    threaded_fit: bool

    @property
    def command_name(self):
        """The name the command takes: the snake-case name with hyphens."""
        return self.name.replace("_", "-")


def _method(record):
    fields = dict(record)
    fields["options"] = tuple(Option(**dict(o)) for o in fields["options"])
    return Method(**fields)


RECORDS = {record["name"]: _method(record) for record in _velarix.methods}
