// The quantum Fourier transform of |0101> on 4 qubits, then its inverse by
// Qiskit's standard gates: every shot reads back 0101 (OpenQASM 3).
OPENQASM 3.0;
include "stdgates.inc";
qubit[4] q;
bit[4] c;
x q[0];
x q[2];
// QFT
h q[3];
cp(pi/2) q[2], q[3];
cp(pi/4) q[1], q[3];
cp(pi/8) q[0], q[3];
h q[2];
cp(pi/2) q[1], q[2];
cp(pi/4) q[0], q[2];
h q[1];
cp(pi/2) q[0], q[1];
h q[0];
swap q[0], q[3];
swap q[1], q[2];
// inverse QFT
swap q[1], q[2];
swap q[0], q[3];
h q[0];
cp(-pi/2) q[0], q[1];
h q[1];
cp(-pi/4) q[0], q[2];
cp(-pi/2) q[1], q[2];
h q[2];
cp(-pi/8) q[0], q[3];
cp(-pi/4) q[1], q[3];
cp(-pi/2) q[2], q[3];
h q[3];
c = measure q;
