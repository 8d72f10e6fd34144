"""Writes sage_profiles.json: what SageMath's BooleanFunction says of about
thirty functions, for the tests of profile() and its neighbours against a
peer.  Run it from the repository root with a Python that has passagemath
(the benchmark's .venv-sage, made by scripts/bench):

    .venv-sage/bin/python tests/immunity/data/make_sage_profiles.py

The functions come from a fixed seed: random ones of 3 to 10 variables,
balanced and not; x0 + ... + x(k-1) + g(the others), balanced and
(k-1)-resilient; g(x0 + x1 + x2, x3 + x4 + x5, ...), correlation immune of
order 2 but unbalanced for most g; Maiorana-McFarland bent functions; and
the edge cases (constants, an affine function, a point, the majority).
Each record holds the truth table as Sage read it (f(0) first, variable
x_i bit i of x; Sage is handed a list, which it reads that way) and Sage's
nonlinearity(), algebraic_degree(), the number of terms of
algebraic_normal_form(), resiliency_order(), correlation_immunity(),
absolute_indicator(), sum_of_square_indicator(), walsh_hadamard_transform()
and algebraic_immunity().  Sage's values are recorded as it gives them,
conventions included; the tests map them onto quillmat's."""
import importlib
import json
import pathlib
import random

try:  # a modular passagemath install must load its library first
    importlib.import_module("sage.all__sagemath_modules")
except ImportError:
    importlib.import_module("sage.all")
from sage.crypto.boolean_function import BooleanFunction  # type: ignore[import-not-found]  # noqa: E402

SEED = 2026
OUT = pathlib.Path(__file__).with_name("sage_profiles.json")
rng = random.Random(SEED)


def parity(x):
    return bin(x).count("1") & 1


def random_table(n):
    while True:  # a random table that is not balanced, as most are
        table = [rng.randrange(2) for _ in range(1 << n)]
        if 2 * sum(table) != 1 << n:
            return table


def balanced_table(n):
    table = [1] * (1 << (n - 1)) + [0] * (1 << (n - 1))
    rng.shuffle(table)
    return table


def resilient_table(n, k):
    """x0 + ... + x(k-1) + g(x_k, ..., x_(n-1)), g random: W(a) = 0 unless
    a covers x0 .. x(k-1), so it is balanced and (k-1)-resilient at least."""
    g = [rng.randrange(2) for _ in range(1 << (n - k))]
    return [parity(x & ((1 << k) - 1)) ^ g[x >> k] for x in range(1 << n)]


def parities_table(n, g):
    """g of the parities of x0 x1 x2, x3 x4 x5, ...: each of them is
    independent of any two inputs, so f is 2nd-order correlation immune."""
    m = n // 3
    return [g[sum(parity(x >> (3 * i) & 7) << i for i in range(m))] for x in range(1 << n)]


def bent_table(n):
    """Maiorana-McFarland: f(x, y) = x . pi(y) + g(y), x the low n/2 bits."""
    m = n // 2
    pi = list(range(1 << m))
    rng.shuffle(pi)
    g = [rng.randrange(2) for _ in range(1 << m)]
    low = (1 << m) - 1
    return [parity((x & low) & pi[x >> m]) ^ g[x >> m] for x in range(1 << n)]


functions = [
    ("zero", [0] * 16),
    ("one", [1] * 32),
    ("affine x0 + x2 + 1", [parity(x & 0b101) ^ 1 for x in range(64)]),
    ("one point", [int(x == 0b10110101) for x in range(256)]),
    ("majority of 7", [int(bin(x).count("1") >= 4) for x in range(128)]),
    # SageMath issue #36294's example: correlation immune of order 1, unbalanced.
    ("issue 36294", [0, 0, 1, 0, 0, 1, 0, 0]),
    ("x0 x1 + x2 x3", [(x & 1) & (x >> 1 & 1) ^ (x >> 2 & 1) & (x >> 3 & 1) for x in range(16)]),
]
functions += [(f"bent {n}", bent_table(n)) for n in (6, 8, 10)]
functions += [(f"random {n}", random_table(n)) for n in range(3, 11)]
functions += [(f"balanced {n}", balanced_table(n)) for n in range(3, 11)]
functions += [(f"resilient {n}, k = {k}", resilient_table(n, k)) for n, k in ((5, 2), (6, 3), (8, 4), (10, 5))]
functions += [("parities 6, AND", parities_table(6, [0, 0, 0, 1])),
              ("parities 9", parities_table(9, [1, 0, 0, 1, 0, 1, 1, 1]))]

records = []
for name, table in functions:
    f = BooleanFunction(table)
    assert [int(v) for v in f.truth_table()] == table
    degree = int(f.algebraic_degree())
    records.append({
        "name": name,
        "n": int(f.nvariables()),
        "truth_table": "".join(map(str, table)),
        "nonlinearity": int(f.nonlinearity()),
        "algebraic_degree": degree,
        "anf_terms": len(f.algebraic_normal_form().monomials()) if degree >= 0 else 0,
        "resiliency_order": int(f.resiliency_order()),
        "correlation_immunity": int(f.correlation_immunity()),
        "absolute_indicator": int(f.absolute_indicator()),
        "sum_of_square_indicator": int(f.sum_of_square_indicator()),
        "algebraic_immunity": int(f.algebraic_immunity()),
        "walsh_hadamard_transform": [int(w) for w in f.walsh_hadamard_transform()],
    })

# One record a line, so that the file stays small and a diff readable.
lines = [json.dumps(r, separators=(",", ":")) for r in records]
header = {"generator": "tests/immunity/data/make_sage_profiles.py",
          "sage": importlib.import_module("sage.version").version, "seed": SEED}
OUT.write_text(json.dumps(header)[:-1] + ', "records": [\n' + ",\n".join(lines) + "\n]}\n")
print(f"{OUT.name}: {len(records)} functions, {OUT.stat().st_size} bytes")
