"""Pure-Python MT19937-64 (Matsumoto and Nishimura's 64-bit Mersenne Twister,
the engine std::mt19937_64 names), so tests can predict every draw made from a
given seed."""

_MASK = (1 << 64) - 1
_NN = 312
_MM = 156
_MATRIX_A = 0xB5026F5AA96619E9
_UPPER = 0xFFFFFFFF80000000
_LOWER = 0x000000007FFFFFFF


class MT19937_64:
    def __init__(self, seed=5489):
        mt = [seed & _MASK]
        for i in range(1, _NN):
            prev = mt[-1]
            mt.append((6364136223846793005 * (prev ^ (prev >> 62)) + i) & _MASK)
        self._mt = mt
        self._index = _NN

    def _twist(self):
        mt = self._mt
        for i in range(_NN):
            x = (mt[i] & _UPPER) | (mt[(i + 1) % _NN] & _LOWER)
            y = x >> 1
            if x & 1:
                y ^= _MATRIX_A
            mt[i] = mt[(i + _MM) % _NN] ^ y
        self._index = 0

    def next(self):
        if self._index >= _NN:
            self._twist()
        x = self._mt[self._index]
        self._index += 1
        x ^= (x >> 29) & 0x5555555555555555
        x ^= (x << 17) & 0x71D67FFFEDA60000
        x ^= (x << 37) & 0xFFF7EEE000000000
        x ^= x >> 43
        return x & _MASK

    def take(self, count):
        return [self.next() for _ in range(count)]
