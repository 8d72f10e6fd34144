// Working a new last row into rows that are already in echelon form.
//
// Both reductions keep the rows above the last one as they are, except for
// the additions that clear a pivot column, and move the last row up by
// exchanges.  The last row's leading position is read afresh after every
// change of that row.
#include <limits>
#include <optional>

#include "matrix/failure.hpp"
#include "matrix/interrupt.hpp"
#include "matrix/matrix.hpp"
#include "matrix/operations.hpp"
#include "matrix/output.hpp"

namespace quillmat {
namespace {

class LastRowReduction {
 public:
  explicit LastRowReduction(const Matrix& receiver) : w_(receiver.copy()) {
    if (w_.nrows() == 0) index_failure(0, std::numeric_limits<std::size_t>::max());
    last_ = w_.nrows() - 1;
  }

  std::size_t columns() const { return w_.ncols(); }
  std::optional<std::size_t> last_leading() const { return leading(w_.elements[last_]); }
  std::optional<std::size_t> leading_of(std::size_t row) const { return leading(w_.elements[row]); }
  std::size_t last() const { return last_; }

  void add(std::size_t target, std::size_t source) {
    interruption_point(columns() + 1);
    w_.add_rows(target, source);
    record_addition(operations_, target, source);
  }

  void exchange(std::size_t a, std::size_t b) {
    w_.swap_rows(a, b);
    record_exchange(operations_, a, b);
  }

  // Every row above the last with a 1 in `column` gets the last row added.
  void clear_column(std::size_t column) {
    for (std::size_t k = 0; k < last_; ++k) {
      interruption_point(1);
      if (checked_at(w_.elements[k], column) == 1) add(k, last_);
    }
  }

  // One sweep from row `from` up to row 1, moving rows up by at most one
  // place each; equal leading positions are added when `add_when` allows it.
  template <class AddWhen>
  void settle(std::size_t from, AddWhen add_when) {
    for (std::size_t a = from; a >= 1; --a) {
      interruption_point(columns() + 1);
      if (w_.is_zero_row(a)) continue;
      const std::optional<std::size_t> c1 = leading_of(a);
      if (!c1) unwrap_failure();  // non-zero cells, none of them 1
      const std::optional<std::size_t> c2 = leading_of(a - 1);
      if (!c2 || *c1 < *c2) {
        exchange(a, a - 1);
      } else if (*c1 == *c2 && add_when(*c1)) {
        add(a, a - 1);
      }
    }
  }

  std::pair<Matrix, Operations> result() { return {std::move(w_), std::move(operations_)}; }

 private:
  Matrix w_;
  Operations operations_;
  std::size_t last_;
};

}  // namespace

std::pair<Matrix, Operations> Matrix::reduced_echelon_form_last_row() const {
  LastRowReduction r(*this);
  const std::size_t last = r.last();
  // Moving the last row up to row t is announced on standard output.
  auto exchange_last = [&](std::size_t t) {
    r.exchange(t, last);
    print_line("inverting");
  };
  auto merge = [&](std::size_t j) {
    r.add(last, j);
    if (const auto p2 = r.last_leading()) r.clear_column(*p2);
  };
  for (std::size_t i = 0, columns = r.columns(); i < columns; ++i) {
    const std::optional<std::size_t> p = r.last_leading();
    if (!p) {
      if (last >= 1) r.settle(last, [](std::size_t) { return true; });
      break;
    }
    // Look among rows i .. last-1 for a row leading where the last row does,
    // else for the nearest row leading to its right.
    std::size_t best = last + 1, candidate = 0;
    bool found = false, done = false;
    for (std::size_t j = i; j < last && !done; ++j) {
      interruption_point(columns + 1);
      const std::optional<std::size_t> q = r.leading_of(j);
      if (!q) {
        exchange_last(found ? candidate : j);
        done = true;
      } else if (*q == *p) {
        merge(j);
        done = true;
      } else if (*q > *p && *q - *p < best) {
        candidate = j;
        best = *q - *p;
        found = true;
      }
    }
    if (done) continue;
    if (found) {
      exchange_last(candidate);
    } else {
      r.clear_column(*p);
    }
  }
  return r.result();
}

std::pair<Matrix, Operations> Matrix::echelon_form_last_row_dep() const {
  LastRowReduction r(*this);
  const std::size_t last = r.last();
  for (std::size_t i = 0, columns = r.columns(); i < columns; ++i) {
    const std::optional<std::size_t> p = r.last_leading();
    if (!p) {
      // Additions only for rows that both lead in the last column; row `last` stays put.
      if (last >= 2) {
        r.settle(last - 1, [&](std::size_t c1) { return c1 == r.columns() - 1; });
      }
      break;
    }
    std::size_t best = last, candidate = 0;
    bool found = false, merged = false;
    for (std::size_t j = 0; j < last; ++j) {
      interruption_point(columns + 1);
      const std::optional<std::size_t> q = r.leading_of(j);
      if (!q) {
        if (!found) candidate = j;
        found = true;
      } else if (*q == *p) {
        r.add(last, j);
        merged = true;
        break;
      } else if (*q > *p && *q - *p < best) {
        candidate = j;
        best = *q - *p;
        found = true;
      }
    }
    if (!merged && found) r.exchange(candidate, last);
  }
  return r.result();
}

}  // namespace quillmat
