"""Prepare a 3-qubit GHZ state with stavex and print its amplitudes."""
import numpy as np

import stavex

n = 3
state = np.zeros(2**n, dtype=np.complex128)
state[0] = 1.0
circuit = [
    {"id": "h", "target": [0], "control": [], "control_state": [], "parameter": []},
    {"id": "cx", "target": [1], "control": [0], "control_state": [1], "parameter": []},
    {"id": "cx", "target": [2], "control": [1], "control_state": [1], "parameter": []},
]
stavex.run_circuit(n, state, circuit)
print(f"backend: {stavex.backend}")
for index, amplitude in enumerate(state):
    print(f"|{index:0{n}b}>  {amplitude.real:+.6f} {amplitude.imag:+.6f}i")
