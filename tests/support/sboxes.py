"""S-boxes with published properties, shared by the S-box tests."""


def gmul(a, b):
    r = 0
    while b:
        if b & 1:
            r ^= a
        a = (a << 1) ^ (0x11B if a & 0x80 else 0)
        b >>= 1
    return r


def aes_sbox():
    """FIPS-197's S-box, from its definition: the inverse in GF(2^8) mod
    x^8 + x^4 + x^3 + x + 1, then the affine map b + rotations by 1..4 + 0x63."""
    inverse = [0] + [next(y for y in range(1, 256) if gmul(x, y) == 1) for x in range(1, 256)]
    out = []
    for x in range(256):
        b = inverse[x]
        s = b
        for k in range(1, 5):
            s ^= ((b << k) | (b >> (8 - k))) & 0xFF
        out.append(s ^ 0x63)
    return out


AES = aes_sbox()
PRESENT = [0xC, 5, 6, 0xB, 9, 0, 0xA, 0xD, 3, 0xE, 0xF, 8, 4, 7, 1, 2]
SAGE_DOCTEST = [7, 6, 0, 4, 2, 5, 1, 3]
