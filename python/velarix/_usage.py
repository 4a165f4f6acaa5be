"""The command's refusal of its input or its options."""


class UsageError(Exception):
    """A problem with the input or the options: one line, exit status 2."""
