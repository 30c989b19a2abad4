"""The one error a step raises when it did not do what it should."""


class Failed(Exception):
    """What was seen instead of what was expected, as the operator reads it
    after "NAME: STEP: ". leaves, when given, replaces the state the step
    would otherwise be said to leave (see steps.py): a failure that tells
    more, such as a refused command that changed nothing, says so."""

    def __init__(self, message, leaves=None):
        super().__init__(message)
        self.leaves = leaves
