"""Independent GF(2) arithmetic on plain lists, to check the module against."""


def rank(rows):
    """Rank over GF(2) of 0/1 rows, by elimination on Python ints."""
    return rank_of_ints(int("".join(map(str, row)) or "0", 2) for row in rows)


def rank_of_ints(rows):
    """Rank over GF(2) of rows given as ints, bit j the entry of column j."""
    basis = {}  # leading bit -> row
    for bits in rows:
        while bits:
            top = bits.bit_length() - 1
            if top not in basis:
                basis[top] = bits
                break
            bits ^= basis[top]
    return len(basis)


def replay(operations, rows):
    """Apply each (target, source) pair as row target += row source (mod 2)."""
    rows = [list(r) for r in rows]
    for target, source in operations:
        rows[target] = [(a + b) % 2 for a, b in zip(rows[target], rows[source])]
    return rows


def is_reduced_echelon(rows):
    """Zero rows last, leading 1s strictly to the right, each the only 1 in its column."""
    leads = []
    for row in rows:
        lead = next((c for c, x in enumerate(row) if x), None)
        if lead is None:
            leads.append(None)
            continue
        if row[lead] != 1 or (leads and (leads[-1] is None or leads[-1] >= lead)):
            return False
        leads.append(lead)
    return all(sum(r[c] for r in rows) == 1 for c in leads if c is not None)


LOW_BIT = bytes(b & 1 for b in range(256))


def times(rows, v):
    """The product rows * v over GF(2), of cells 0..255: the parity of the
    positions where both have a 1 in their low bit, one byte per cell."""
    def bits(cells):
        return int.from_bytes(bytes(cells).translate(LOW_BIT), "little")
    column = bits(v)
    return [(bits(row) & column).bit_count() % 2 for row in rows]
