"""Writes sage_hex.json: how SageMath reads hex truth tables, for the tests of
the two hex orders.  Run it with a Python that has passagemath (the
benchmark's .venv-sage, made by scripts/bench):

    .venv-sage/bin/python tests/immunity/data/sage_hex.py > tests/immunity/data/sage_hex.json

For each hex string it records what SageMath's BooleanFunction(hex) makes of
it: the truth table (f(0) first), the algebraic normal form, the algebraic
immunity and the annihilator that algebraic_immunity(annihilator=True)
returns.  The strings are not palindromes, so the two orders differ."""
import importlib
import json
import random
import sys

try:  # a modular passagemath install must load its library first
    importlib.import_module("sage.all__sagemath_modules")
except ImportError:
    importlib.import_module("sage.all")
from sage.crypto.boolean_function import BooleanFunction  # type: ignore[import-not-found]  # noqa: E402

rng = random.Random(2026)
strings = ["e8", "1", "17", "6996", "12fe342a", "0f0f00ff", "fe"]
strings += ["".join(rng.choice("0123456789abcdef") for _ in range(k)) for k in (4, 8, 16, 16, 32)]
records = []
for digits in strings:
    f = BooleanFunction(digits)
    immunity, annihilator = f.algebraic_immunity(annihilator=True)
    records.append({
        "hex": digits,
        "n": int(f.nvariables()),
        "truth_table": "".join("1" if v else "0" for v in f.truth_table()),
        "anf": str(f.algebraic_normal_form()),
        "algebraic_immunity": int(immunity),
        "annihilator": str(annihilator),
    })
json.dump({"generator": "tests/immunity/data/sage_hex.py",
           "sage": importlib.import_module("sage.version").version,
           "records": records}, sys.stdout, indent=1)
sys.stdout.write("\n")
