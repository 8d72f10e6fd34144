"""A short tour of quillmat: build a GF(2) matrix and look at it."""

import quillmat

m = quillmat.Matrix([[1, 0, 1], [0, 1, 1], [1, 1, 0]])
print("matrix:", m)
print("size:", m.nrows(), "x", m.ncols())
print("cell (2, 1):", m.get(2, 1))
copy = m.copy()
print("rows as lists:", copy.to_list())
try:
    m.get(3, 0)
except BaseException as failure:  # PanicException derives from BaseException
    print(f"{type(failure).__name__}: {failure}")
