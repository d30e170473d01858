"""Operation objects for the density benchmarks, shaped as the Python layer
hands them to plexar."""


class Gate:
    def __init__(self, name, target, control=(), parameter=None):
        self.id, self.target, self.control = name, [target], list(control)
        self.control_state = [1] * len(self.control)
        self.parameter = None if parameter is None else list(parameter)
        self.has_stored_matrix, self.stored_matrix = False, None


class Kraus:
    def __init__(self, target, matrices, name):
        self.operation_kind, self.target, self.kraus_matrices, self.channel_name = "kraus", [target], matrices, name
