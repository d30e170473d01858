// A Bell pair: run with --noise depolarizing:0.05 (plexar) and about 5% of
// the shots read 01 or 10 instead of only 00 and 11.
OPENQASM 2.0;
include "qelib1.inc";
qreg q[2];
creg c[2];
h q[0];
cx q[0], q[1];
measure q -> c;
