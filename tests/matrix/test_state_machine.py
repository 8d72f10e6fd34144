"""Random sequences of the editing methods and the copying ones, applied to a
Matrix and to a plain list-of-lists model, compared after every step, failed
steps included: a failing call changes nothing.

The number of sequences comes from the Hypothesis profile; the sanitizer run
selects the "thorough" one (QUILLMAT_HYPOTHESIS_PROFILE=thorough)."""
import pytest
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, invariant, precondition, rule

import model
import quillmat
from helpers import U64_MAX, index_failure, provoke_failure

Matrix = quillmat.Matrix

# Mostly rows that exist, sometimes one past the end, far beyond, or negative.
indices = st.one_of(st.integers(0, 5), st.integers(0, 5),
                    st.sampled_from([U64_MAX, 2**40, -1, 2**64]))
cells = st.one_of(st.integers(0, 1), st.integers(0, 255))
rows = st.lists(cells, max_size=5)


PANIC = type(provoke_failure())


class MatrixMachine(RuleBasedStateMachine):
    def __init__(self):
        super().__init__()
        self.model = []
        self.m = Matrix([])

    def expect(self, call, failure, change=None):
        """Run `call`: with `failure` None it must succeed and `change` is applied to
        the model; otherwise it must raise that failure text and change nothing."""
        if failure is None:
            assert call() is None
            if change is not None:
                change()
        else:
            with pytest.raises(PANIC) as info:
                call()
            assert info.value.args == (failure,)

    @staticmethod
    def overflows(call, *indices):
        """Whether an index is negative or past 64 bits, in which case `call`
        must raise OverflowError (before the matrix is looked at)."""
        if min(indices) >= 0 and max(indices) <= U64_MAX:
            return False
        with pytest.raises(OverflowError):
            call()
        return True

    @rule(elements=st.lists(rows, max_size=5))
    def start_over(self, elements):
        self.m, self.model = Matrix(elements), [list(r) for r in elements]

    @rule(to=indices, source=indices)  # "target" names a bundle in a rule
    def add_rows(self, to, source):
        target = to
        if self.overflows(lambda: self.m.add_rows(target, source), target, source):
            return
        # The model changes only when the addition succeeds, as the matrix must.
        failure = model.add_rows(self.model, target, source)
        self.expect(lambda: self.m.add_rows(target, source), failure)

    @rule(row1=indices, row2=indices)
    def swap_rows(self, row1, row2):
        if self.overflows(lambda: self.m.swap_rows(row1, row2), row1, row2):
            return
        n = len(self.model)
        failure = (index_failure(n, row1) if row1 >= n else
                   index_failure(n, row2) if row2 >= n else None)

        def change():
            self.model[row1], self.model[row2] = self.model[row2], self.model[row1]
        self.expect(lambda: self.m.swap_rows(row1, row2), failure, change)

    @rule(v=st.one_of(rows, rows.map(bytes), rows.map(tuple)))
    def append_row(self, v):
        self.expect(lambda: self.m.append_row(v), None, lambda: self.model.append(list(v)))

    @rule(data=st.data())
    def append_column(self, data):
        n = len(self.model)
        v = data.draw(st.lists(cells, min_size=max(0, n - 2), max_size=n + 2))
        # Checked before any row changes: too short a column fails whole.
        failure = index_failure(len(v), len(v)) if len(v) < n else None

        def change():
            for row, cell in zip(self.model, v):
                row.append(cell)
        self.expect(lambda: self.m.append_column(v), failure, change)

    @rule(start=indices, end=indices)
    def get_sub_matrix(self, start, end):
        if self.overflows(lambda: self.m.get_sub_matrix(start, end), start, end):
            return
        if end < start:
            failure = f"slice index starts at {start} but ends at {end}"
        elif end > len(self.model):
            failure = f"range end index {end} out of range for slice of length {len(self.model)}"
        else:
            sub = self.m.get_sub_matrix(start, end)
            assert sub.to_list() == self.model[start:end]
            if start < end:
                sub.append_column([7] * (end - start))  # the slice owns its rows
            return
        with pytest.raises(PANIC) as info:
            self.m.get_sub_matrix(start, end)
        assert info.value.args == (failure,)

    @rule(switch=st.booleans())
    def copy(self, switch):
        c = self.m.copy()
        assert c.to_list() == self.model
        c.append_row([9])  # the copy owns its rows
        if self.model:
            c.add_rows(0, 0)
        if switch:  # carry on with the copy, as it was before the changes above
            self.m = self.m.copy()

    @precondition(lambda self: self.model)
    @rule(data=st.data())
    def get(self, data):
        r = data.draw(st.integers(0, len(self.model) - 1))
        c = data.draw(st.integers(0, len(self.model[r]) + 1))
        if c < len(self.model[r]):
            assert self.m.get(r, c) == self.model[r][c]
        else:
            with pytest.raises(PANIC) as info:
                self.m.get(r, c)
            assert info.value.args == (index_failure(len(self.model[r]), c),)

    @invariant()
    def matches_the_model(self):
        assert self.m.to_list() == self.model
        assert (self.m.nrows(), self.m.ncols()) == (len(self.model),
                                                   len(self.model[0]) if self.model else 0)
        assert repr(self.m) == repr(self.model)
        assert [self.m.is_zero_row(i) for i in range(len(self.model))] == [
            not any(r) for r in self.model]


TestMatrixMachine = MatrixMachine.TestCase
