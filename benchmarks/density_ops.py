"""Operation objects for the density benchmarks, shaped as the Python layer
hands them to plexar."""


class Gate:
    def __init__(self, name, target):
        self.id, self.target, self.control, self.control_state = name, [target], [], []
        self.parameter, self.has_stored_matrix, self.stored_matrix = None, False, None


class Kraus:
    def __init__(self, target, matrices, name):
        self.operation_kind, self.target, self.kraus_matrices, self.channel_name = "kraus", [target], matrices, name
