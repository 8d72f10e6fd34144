"""The Matrix operations written out in plain Python, byte for byte and failure
for failure, as the documentation describes them: a record may have ragged
rows and cells 0..255, strings may hold any character.  Each function works on
lists and raises Failure with the text of the module's internal failure where
the module raises PanicException.  The tests check the module's fast paths
(bit-packed rows, "0"/"1" strings as bit masks) and its editing methods
against these."""
from gf2 import LOW_BIT
from helpers import U64_MAX, Raised, index_failure

UNWRAP = "called `Option::unwrap()` on a `None` value"


def length_failure(left, right):
    return ("assertion `left == right` failed: The lengths of sub_monom and monom must be equal"
            f"\n  left: {left}\n right: {right}")


class Failure(Exception):
    """An internal failure of the model; `text` is the module's text for it."""

    def __init__(self, text):
        super().__init__(text)
        self.text = text


def outcome(fn, panic_type):
    """What fn() gives, or the Raised account of the module's failure in its place."""
    try:
        return fn()
    except Failure as failure:
        return Raised(panic_type, failure.text)


def at(cells, index):
    """cells[index], failing as the module's bounds check does."""
    if index >= len(cells):
        raise Failure(index_failure(len(cells), index))
    return cells[index]


# --- editing ---------------------------------------------------------------------


def xor(a, b):
    """The byte XOR of two equally long lists of cells."""
    return list((int.from_bytes(bytes(a)) ^ int.from_bytes(bytes(b))).to_bytes(len(a)))


def add_rows(rows, target, source):
    """Row target += row source by byte XOR over the first len(rows[0]) cells.
    Returns the failure text, checked column by column (source row, source
    cell, target row, target cell), or None after changing `rows`.  A failing
    call changes nothing."""
    n = len(rows[0]) if rows else 0
    # A check can first fail at column 0 or where a row ends: only those are visited.
    for i in sorted({0, *(len(rows[r]) for r in (source, target) if r < len(rows))}):
        if i >= n:
            break
        if source >= len(rows):
            return index_failure(len(rows), source)
        if i >= len(rows[source]):
            return index_failure(len(rows[source]), i)
        if target >= len(rows):
            return index_failure(len(rows), target)
        if i >= len(rows[target]):
            return index_failure(len(rows[target]), i)
    if n:
        rows[target][:n] = xor(rows[target][:n], rows[source][:n])
    return None


def exchange(rows, a, b, operations):
    """Exchange rows a and b, recorded as the three additions (a, b), (b, a), (a, b)."""
    if a != b:
        rows[a], rows[b] = rows[b], rows[a]
        operations += [(a, b), (b, a), (a, b)]


# --- reduction ---------------------------------------------------------------------


def echelon_form(rows):
    """Gauss-Jordan on a copy: a pivot is a cell equal to 1, found top down from
    the next pivot row; every other row with a 1 in its column gets the pivot
    row added (byte XOR)."""
    w, operations = [list(r) for r in rows], []
    columns, i = (len(rows[0]) if rows else 0), 0
    for q in range(columns):
        if i == len(w):
            break
        j = next((j for j in range(i, len(w)) if at(w[j], q) == 1), None)
        if j is None:
            continue
        exchange(w, i, j, operations)
        for k in range(len(w)):
            if k != i and at(w[k], q) == 1:
                text = add_rows(w, k, i)
                if text is not None:
                    raise Failure(text)
                operations.append((k, i))
        i += 1
    return w, operations


def row_echelon_full_matrix(rows):
    """Gauss-Jordan on a copy: a pivot is any non-zero cell (an empty column is
    skipped), and an addition keeps the lowest bit of each byte sum."""
    w, operations = [list(r) for r in rows], []
    columns, q = (len(rows[0]) if rows else 0), 0
    for r in range(len(w)):
        if q >= columns:
            break
        j = r
        while at(w[j], q) == 0:
            j += 1
            if j == len(w):
                j, q = r, q + 1
                if q == columns:
                    return w, operations
        exchange(w, r, j, operations)
        for k in range(len(w)):
            if k != r and at(w[k], q) == 1:
                reach = min(len(w[k]), len(w[r]))
                if reach < columns:
                    raise Failure(index_failure(len(w[k]) if len(w[k]) == reach else len(w[r]),
                                                reach))
                w[k][:columns] = bytes(xor(w[k][:columns], w[r][:columns])).translate(LOW_BIT)
                operations.append((k, r))
        q += 1
    return w, operations


def rank(rows):
    """The number of distinct columns in which a row has its first 1."""
    return len({row.index(1) for row in rows if 1 in row})


def kernel(rows):
    """One vector per free column of a matrix taken to be in reduced echelon form.
    Pivots: walking the columns, the next row is a pivot row when it holds a 1
    there.  The vector of free column l is 1 at l; each pivot column in turn
    gets the byte XOR of the products of the vector's cells with the pivot
    row's, so values filled earlier take part in later ones."""
    columns = len(rows[0]) if rows else 0
    pivots, free, r = [], [], 0
    for c in range(columns):
        if r < len(rows) and at(rows[r], c) == 1:
            pivots.append((c, r))
            r += 1
        else:
            free.append(c)
    basis = []
    for l in free:
        v = [0] * columns
        v[l] = 1
        filled = [l]  # the columns where v is not 0: only they add to a sum
        for p, r in pivots:
            row = rows[r]
            if len(row) < columns:
                raise Failure(index_failure(len(row), columns - 1))
            s = 0
            for k in filled:
                s ^= v[k] * row[k] & 0xFF
            v[p] = s
            if s:
                filled.append(p)
        basis.append(v)
    return basis


# --- evaluation ----------------------------------------------------------------------


def value(point, exponents):
    """A monomial at a point, straight from its definition: the product of digit
    powers over the positions both strings have, modulo 256 (0**0 = 1).  At each
    position the point's character must be a digit, then the exponent's."""
    product = 1
    for x, y in zip(point, exponents):
        if not ("0" <= x <= "9" and "0" <= y <= "9"):
            raise Failure(UNWRAP)
        product = product * int(x) ** int(y) % 256
    return product


def vandermonde(support, monomials):
    return [[value(p, m) for m in monomials] for p in support]


def replay(operations, column):
    """Each (target, source) in turn: entry target becomes the lowest bit of entry
    target + entry source; target is checked against the length, then source."""
    column = list(column)
    for target, source in operations:
        at(column, target), at(column, source)
        column[target] = (column[target] + column[source]) & 1
    return column


def append_column(rows, column):
    if len(column) < len(rows):
        raise Failure(index_failure(len(column), len(column)))
    return [row + [cell] for row, cell in zip(rows, column)]


def fill_rows(rows, support, monomials):
    return [list(r) for r in rows] + vandermonde(support, monomials)


def construct_and_add_column(rows, support, monom, operations):
    column = [value(at(support, i), monom) for i in range(len(rows))]
    return append_column(rows, replay(operations, column))


def compute_next(rows, monomials, support, idx, operations):
    if idx >= 2**63 - 1:
        raise Failure("capacity overflow")
    point = support[-1] if support else at(support, U64_MAX)
    row = [value(point, at(monomials, i)) for i in range(idx + 1)]
    column = [value(at(support, i), monomials[-1]) for i in range(idx)]
    return append_column(rows, replay(operations, column)) + [row]


def divides(term, point):
    """Whether the monomial divides the point: strings of equal byte length, no
    character of the term above the point's."""
    left, right = len(term.encode()), len(point.encode())
    if left != right:
        raise Failure(length_failure(left, right))
    return all(a <= b for a, b in zip(term, point))


def verify(z, g, mapping):
    """The polynomial with coefficients g on the monomials `mapping`, evaluated
    at each point in turn: (False, (k, z[k])) at the first where it is 1."""
    terms = mapping[:len(g)]
    for k, point in enumerate(z):
        total = sum(c for i, c in enumerate(g) if divides(at(terms, i), point))
        if total % 2:
            return False, (k, point)
    return True, None
