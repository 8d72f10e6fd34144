#include "engine/eliminate.hpp"
#include "vector_clones.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cassert>

#include "engine/tuning.hpp"

namespace quillmat::engine {
namespace {

constexpr std::size_t panel_words = 4;  // 256 columns per panel
constexpr std::size_t panel_columns = panel_words * word_bits;
constexpr std::size_t tile_words = 8;  // 32 tables of 256 entries of 8 words: 512 KiB
static_assert(tile_words == 2 * vector_words, "a tile is two vectors");
constexpr std::size_t group_rows = 8;
constexpr std::size_t prefetch_distance = tuning::prefetch_rows;
constexpr std::size_t table_entries = std::size_t{1} << group_rows;
constexpr std::size_t max_groups = panel_columns / group_rows;

using PanelBits = std::array<Word, panel_words>;

bool any(const PanelBits& bits) {
  Word all = 0;
  for (Word w : bits) all |= w;
  return all != 0;
}
void add(PanelBits& to, const PanelBits& from) {
  for (std::size_t w = 0; w < panel_words; ++w) to[w] ^= from[w];
}
bool test(const PanelBits& bits, std::size_t b) {
  return bits[b / word_bits] >> (b % word_bits) & 1;
}

// A pivot of the current panel.  `bits` is its row over the panel, reduced
// against the other pivots (zero at their columns); `track` holds bit t for
// each original pivot row t (in order of discovery) whose sum is `bits`.
struct Pivot {
  PanelBits bits;
  PanelBits track;
  std::size_t column;  // in the panel
  std::size_t row;     // logical row of its original
};

// A row to update and the generators to add to it: byte g of `select` picks
// from generators 8g .. 8g+7.
struct Target {
  Word* row;
  PanelBits select;
};

// The panel words of `row` from word `first`, zero past the matrix.
PanelBits panel_bits(const Word* row, std::size_t first, std::size_t words) {
  PanelBits bits{};
  for (std::size_t w = 0; w < panel_words && first + w < words; ++w) bits[w] = row[first + w];
  return bits;
}

// The kernels work on tiles of words held in local variables of a vector
// type (256 bits: one register in the avx2 clone, two in the default one).
// No function takes or returns one, so no call depends on the vector ABI.
typedef Word Vector __attribute__((vector_size(vector_words * sizeof(Word))));

// Tables of all sums of 8 generator rows, over words [offset, offset + width)
// of each: entry e of table g sums the generators 8g + i for each bit i of e.
// Only entries below 2**(generators in the group) are built.  width is a
// multiple of vector_words.
QUILLMAT_VECTOR_CLONES
void build_tables(Word* tables, Word* const* generators, std::size_t count, std::size_t offset,
                  std::size_t width) {
  for (std::size_t g = 0; g * group_rows < count; ++g) {
    Word* table = tables + g * table_entries * width;
    const std::size_t in_group = std::min(group_rows, count - g * group_rows);
    for (std::size_t w = 0; w < width; ++w) table[w] = 0;
    for (std::size_t e = 1; e < (std::size_t{1} << in_group); ++e) {
      const std::size_t low = static_cast<std::size_t>(std::countr_zero(e));
      const Word* from = table + (e & (e - 1)) * width;
      const Word* generator = generators[g * group_rows + low] + offset;
      Word* to = table + e * width;
      for (std::size_t w = 0; w < width; w += vector_words) {
        Vector a, b;
        __builtin_memcpy(&a, from + w, sizeof a);
        __builtin_memcpy(&b, generator + w, sizeof b);
        a ^= b;
        __builtin_memcpy(to + w, &a, sizeof a);
      }
    }
  }
}

// Adds to each target, over words [offset, offset + width), the entries its
// selection picks.  width is tile_words or vector_words.
QUILLMAT_VECTOR_CLONES
void apply_tables(const Word* tables, std::size_t groups, const Target* targets, std::size_t count,
                  std::size_t offset, std::size_t width) {
  if (width == tile_words) {
    for (std::size_t t = 0; t < count; ++t) {
      Word* out = targets[t].row + offset;
      // Rows lie anywhere once pivots have moved: fetch a few ahead.
      if (t + prefetch_distance < count) {
        __builtin_prefetch(targets[t + prefetch_distance].row + offset, 1);
      }
      const auto* select = reinterpret_cast<const unsigned char*>(targets[t].select.data());
      Vector low, high;
      __builtin_memcpy(&low, out, sizeof low);
      __builtin_memcpy(&high, out + vector_words, sizeof high);
      for (std::size_t g = 0; g < groups; ++g) {
        const Word* entry = tables + (g * table_entries + select[g]) * tile_words;
        Vector a, b;
        __builtin_memcpy(&a, entry, sizeof a);
        __builtin_memcpy(&b, entry + vector_words, sizeof b);
        low ^= a;
        high ^= b;
      }
      __builtin_memcpy(out, &low, sizeof low);
      __builtin_memcpy(out + vector_words, &high, sizeof high);
    }
    return;
  }
  for (std::size_t t = 0; t < count; ++t) {
    Word* out = targets[t].row + offset;
    const auto* select = reinterpret_cast<const unsigned char*>(targets[t].select.data());
    Vector sum;
    __builtin_memcpy(&sum, out, sizeof sum);
    for (std::size_t g = 0; g < groups; ++g) {
      Vector a;
      __builtin_memcpy(&a, tables + (g * table_entries + select[g]) * vector_words, sizeof a);
      sum ^= a;
    }
    __builtin_memcpy(out, &sum, sizeof sum);
  }
}

// The elimination, panel by panel.  In a panel with pivots p_0 .. p_{k-1}:
//   1. find_pivots reads the rows' panel words and keeps, for each pivot,
//      the sum of original pivot rows that reduces it (its track);
//   2. each pivot row becomes that sum, its final self: the tracks select
//      from tables of the original pivot rows;
//   3. every other row that has a 1 at some p_j adds the final pivot row of
//      p_j: its own panel bits select from tables of the final pivot rows, in
//      which a column without a pivot selects nothing.
// Steps 2 and 3 go tile by tile; a tile's tables are built before anything
// in the tile changes, and the tiles are shared among the team's threads.
class Eliminator {
 public:
  Eliminator(BitMatrix& matrix, std::size_t rows, Form form, Control& control)
      : m_(matrix),
        rows_(rows),
        form_(form),
        control_(control),
        team_(control, team_size(matrix, rows, control)),
        zero_row_(matrix.stride()) {
    // Tables for as many groups as a panel of this matrix can have pivots.
    const std::size_t columns = std::min(panel_columns, matrix.cols());
    const std::size_t groups = (columns + group_rows - 1) / group_rows;
    for (unsigned i = 0; i < team_.size(); ++i) {
      scratch_.push_back(
          Scratch{WordBlock(groups * table_entries * tile_words), WordBlock(columns * tile_words)});
    }
  }

  Echelon run() {
    Echelon result;
    const std::size_t rows = rows_;
    const std::uint64_t planned = planned_work();
    control_.plan(planned);
    std::uint64_t reported = 0;
    for (std::size_t first = 0; first < m_.words() && result.rank < rows; first += panel_words) {
      control_.checkpoint();
      find_pivots(result.rank, first);
      if (!pivots_.empty()) {
        collect_targets(result.rank, first);
        update(first);
        place_pivots(result, first);
      }
      const std::uint64_t work = panel_work(first);
      control_.advance(std::min(work, planned - std::min(planned, reported)));
      reported += work;
    }
    if (reported < planned) control_.advance(planned - reported);
    assert((m_.check_layout(), true));
    return result;
  }

 private:
  struct Scratch {
    WordBlock tables;  // 32 tables of 256 entries of a tile
    WordBlock final;   // the final pivot rows over a tile
  };

  static unsigned team_size(const BitMatrix& matrix, std::size_t rows, const Control& control) {
    // Threads pay off once a panel's update is well above their hand-over.
    const bool large = rows * matrix.words() >= tuning::team_words;
    return large ? std::max(1u, control.threads()) : 1u;
  }

  std::uint64_t panel_work(std::size_t first) const {
    return static_cast<std::uint64_t>(rows_) * (m_.stride() - first);
  }
  std::uint64_t planned_work() const {
    std::uint64_t total = 0;
    for (std::size_t first = 0; first < m_.words(); first += panel_words)
      total += panel_work(first);
    return total;
  }

  // Reads rows from `start` on, reducing their panel bits against the pivots
  // found so far, until the pivots span every row's panel bits.
  void find_pivots(std::size_t start, std::size_t first) {
    pivots_.clear();
    pivot_mask_ = PanelBits{};
    // Once every column of the panel has a pivot, no row can add one.
    const std::size_t capacity = std::min(panel_columns, m_.cols() - first * word_bits);
    for (std::size_t i = start; i < rows_ && pivots_.size() < capacity; ++i) {
      if ((i - start) % tuning::rows_per_checkpoint == tuning::rows_per_checkpoint - 1) {
        control_.checkpoint();
      }
      if (i + prefetch_distance < rows_) __builtin_prefetch(m_.row(i + prefetch_distance) + first);
      PanelBits bits = panel_bits(m_.row(i), first, m_.words());
      PanelBits track{};
      for (std::size_t w = 0; w < panel_words; ++w) {
        for (Word set = bits[w] & pivot_mask_[w]; set != 0; set &= set - 1) {
          const Pivot& pivot = pivots_[pivot_at_[w * word_bits + std::countr_zero(set)]];
          add(bits, pivot.bits);
          add(track, pivot.track);
        }
      }
      if (!any(bits)) continue;
      const std::size_t t = pivots_.size();
      track[t / word_bits] |= Word{1} << (t % word_bits);
      std::size_t column = 0;
      while (bits[column / word_bits] == 0) column += word_bits;
      column += static_cast<std::size_t>(std::countr_zero(bits[column / word_bits]));
      for (Pivot& other : pivots_) {
        if (test(other.bits, column)) {
          add(other.bits, bits);
          add(other.track, track);
        }
      }
      pivot_mask_[column / word_bits] |= Word{1} << (column % word_bits);
      pivot_at_[column] = static_cast<std::uint16_t>(t);
      pivots_.push_back(Pivot{bits, track, column, i});
    }
  }

  // The rows that change: the pivot rows (selecting by track from the
  // original pivot rows) and the rows with a 1 at a pivot column (selecting
  // by their panel bits from the final ones); for Form::echelon only rows
  // from `start` on, as the rows above have no 1 there.
  void collect_targets(std::size_t start, std::size_t first) {
    originals_.clear();
    pivot_targets_.clear();
    for (const Pivot& pivot : pivots_) {
      originals_.push_back(m_.row(pivot.row));
      pivot_targets_.push_back(Target{nullptr, pivot.track});
    }
    final_by_column_.assign(panel_columns, zero_row_.data());
    for (const Pivot& pivot : pivots_) final_by_column_[pivot.column] = m_.row(pivot.row);
    is_pivot_row_.assign(rows_ - start, false);
    for (const Pivot& pivot : pivots_) is_pivot_row_[pivot.row - start] = true;
    active_groups_ = 0;
    for (std::size_t g = 0; g < max_groups; ++g) {
      if (pivot_mask_[g / 8] >> (g % 8 * 8) & 0xff) active_groups_ = g + 1;
    }
    targets_.clear();
    // In the last panel the pivots span what is left of every other row from
    // `start` on (zero before the panel): each of those becomes zero.
    const bool last = first + panel_words >= m_.words();
    for (std::size_t i = form_ == Form::reduced ? 0 : start; i < rows_; ++i) {
      if (i >= start && is_pivot_row_[i - start]) continue;
      if (last && i >= start) {
        std::fill_n(m_.row(i) + first, m_.stride() - first, Word{0});
        continue;
      }
      if (i + prefetch_distance < rows_) __builtin_prefetch(m_.row(i + prefetch_distance) + first);
      PanelBits select = panel_bits(m_.row(i), first, m_.words());
      for (std::size_t w = 0; w < panel_words; ++w) select[w] &= pivot_mask_[w];
      if (any(select)) targets_.push_back(Target{m_.row(i), select});
    }
  }

  void update(std::size_t first) {
    const std::size_t k = pivots_.size();
    const std::size_t original_groups = (k + group_rows - 1) / group_rows;
    const std::size_t tiles = (m_.stride() - first + tile_words - 1) / tile_words;
    const unsigned members = team_.size();
    team_.run([&](unsigned member) {
      Word* tables = scratch_[member].tables.data();
      Word* final = scratch_[member].final.data();
      std::vector<Target> pivots(pivot_targets_);
      for (std::size_t tile = member; tile < tiles; tile += members) {
        control_.checkpoint();
        const std::size_t offset = first + tile * tile_words;
        const std::size_t width = std::min(tile_words, m_.stride() - offset);
        // The final pivot rows, from the original ones, into `final`.
        build_tables(tables, originals_.data(), k, offset, width);
        for (std::size_t j = 0; j < k; ++j) pivots[j].row = final + j * width;
        std::fill_n(final, k * width, Word{0});
        apply_tables(tables, original_groups, pivots.data(), k, 0, width);
        for (std::size_t j = 0; j < k; ++j) {
          std::copy_n(final + j * width, width, originals_[j] + offset);
        }
        // The other rows, from the final pivot rows.
        build_tables(tables, final_by_column_.data(), active_groups_ * group_rows, offset, width);
        apply_tables(tables, active_groups_, targets_.data(), targets_.size(), offset, width);
      }
    });
  }

  // Moves the pivot rows, in column order, to rows start .. start+k-1; the
  // other rows from `start` on follow in their order.
  void place_pivots(Echelon& result, std::size_t first) {
    const std::size_t start = result.rank;
    std::vector<Word*>& order = m_.row_order();
    std::vector<const Pivot*> by_column;
    for (const Pivot& pivot : pivots_) by_column.push_back(&pivot);
    std::sort(by_column.begin(), by_column.end(),
              [](const Pivot* a, const Pivot* b) { return a->column < b->column; });
    moved_.clear();
    for (const Pivot* pivot : by_column) {
      moved_.push_back(order[pivot->row]);
      result.pivots.push_back(static_cast<std::uint32_t>(first * word_bits + pivot->column));
    }
    for (std::size_t i = start; i < rows_; ++i) {
      if (!is_pivot_row_[i - start]) moved_.push_back(order[i]);
    }
    std::copy(moved_.begin(), moved_.end(), order.begin() + static_cast<std::ptrdiff_t>(start));
    result.rank += pivots_.size();
  }

  BitMatrix& m_;
  std::size_t rows_;  // the rows taken part: 0 .. rows_-1
  Form form_;
  Control& control_;
  Team team_;
  WordBlock zero_row_;
  std::vector<Scratch> scratch_;
  std::vector<Pivot> pivots_;
  PanelBits pivot_mask_{};
  std::array<std::uint16_t, panel_columns> pivot_at_{};
  std::vector<bool> is_pivot_row_;
  std::vector<Word*> originals_;
  std::vector<Word*> final_by_column_;
  std::size_t active_groups_ = 0;
  std::vector<Target> pivot_targets_;
  std::vector<Target> targets_;
  std::vector<Word*> moved_;
};

}  // namespace

Echelon echelonize(BitMatrix& matrix, Form form, Control& control) {
  return echelonize(matrix, matrix.rows(), form, control);
}

Echelon echelonize(BitMatrix& matrix, std::size_t rows, Form form, Control& control) {
  assert(rows <= matrix.rows());
  assert((matrix.check_layout(), true));
  if (rows == 0 || matrix.cols() == 0) return {};
  return Eliminator(matrix, rows, form, control).run();
}

std::size_t rank_of(BitMatrix& matrix, Control& control) {
  return echelonize(matrix, Form::echelon, control).rank;
}

}  // namespace quillmat::engine
