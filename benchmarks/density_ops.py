"""Operation objects for the density benchmarks, shaped as the Python layer
hands them to plexar."""


def _targets(target):
    return [target] if isinstance(target, int) else list(target)


class Gate:
    def __init__(self, name, target, control=(), parameter=None):
        self.id, self.target, self.control = name, [target], list(control)
        self.control_state = [1] * len(self.control)
        self.parameter = None if parameter is None else list(parameter)
        self.has_stored_matrix, self.stored_matrix = False, None


class MatrixGate:
    """A gate given by its stored 2^k x 2^k matrix (row and column bit j for
    targets[j])."""

    def __init__(self, targets, matrix):
        self.id, self.target, self.control, self.control_state = "unitary", list(targets), [], []
        self.parameter, self.has_stored_matrix, self.stored_matrix = None, True, matrix


class Kraus:
    """A Kraus operation on one qubit (an int) or several (a list)."""

    def __init__(self, target, matrices, name):
        self.operation_kind, self.target, self.kraus_matrices, self.channel_name = (
            "kraus", _targets(target), matrices, name)
