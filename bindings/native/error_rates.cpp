// Target-decoy counting for rescoring's training loop, without the interpreter lock: how many
// targets pass a false discovery rate under one score, and the lowest score that passes; and
// the single feature column, in its better direction, that accepts the most targets.
//
// Only counts, comparisons and one division per run of equal scores are computed here, the
// same operations in the same order as the package's numpy reference
// (`tovel_mesk.fdr.qvalues.tdc_qvalues`, `tovel_mesk.fdr.rescore._best_direction_by_column`):
//   estimate = targets > 0 ? min(decoys / max(targets, 1), 1) : 1
// in doubles, taken at the last entry of each run of equal scores; a run passes when some run
// at or below it has an estimate at or under the level. The order within a run of equal
// scores never matters, so any sort gives the reference's answer.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <utility>
#include <vector>

#include "convert.hpp"
#include "errors.hpp"
#include "interpreter_lock.hpp"
#include "native.hpp"
#include "pyclass.hpp"

namespace bind::native {

namespace {

// A read-only view of a C-contiguous buffer of doubles ('d'), 64-bit integers ('q') or
// booleans ('?'), of one or two dimensions.
class ArrayView {
public:
    ~ArrayView() {
        if (held_) PyBuffer_Release(&view_);
    }
    void acquire(PyObject *obj, char kind, int ndim, const char *what) {
        if (PyObject_GetBuffer(obj, &view_, PyBUF_FORMAT | PyBUF_C_CONTIGUOUS) != 0) throw PyErrSet{};
        held_ = true;
        const char *format = view_.format ? view_.format : "B";
        while (*format == '@' || *format == '=' || *format == '<') ++format;
        const Py_ssize_t size = kind == '?' ? 1 : 8;
        const char found = format[0] == 'l' && view_.itemsize == 8 ? 'q' : format[0];
        if (found != kind || format[1] != '\0' || view_.itemsize != size || view_.ndim != ndim)
            raise(PyExc_TypeError, what);
    }
    size_t size() const { return static_cast<size_t>(view_.len / view_.itemsize); }
    size_t extent(int axis) const { return static_cast<size_t>(view_.shape[axis]); }
    const double *doubles() const { return static_cast<const double *>(view_.buf); }
    const bool *flags() const { return static_cast<const bool *>(view_.buf); }
    const void *data() const { return view_.buf; }

private:
    Py_buffer view_{};
    bool held_ = false;
};

// The reference's estimate of the false discovery rate among the entries down to a run end.
inline double estimate(int64_t decoys, int64_t targets) {
    if (targets <= 0) return 1.0;
    return std::min(static_cast<double>(decoys) / static_cast<double>(std::max<int64_t>(targets, 1)), 1.0);
}

// Targets accepted at `level` walking `ranked` (best first) with `run_end(i)` telling the
// last entry of each run of equal scores: the targets down to the last run end whose
// estimate is at most `level` (0 when none), and that entry's position (-1 when none).
template <class RunEnd>
std::pair<int64_t, int64_t> accepted(const std::vector<std::pair<double, bool>> &ranked, RunEnd run_end,
                                     double level, bool backwards) {
    const int64_t n = static_cast<int64_t>(ranked.size());
    int64_t decoys = 0, count = 0, at = -1;
    for (int64_t step = 0; step < n; ++step) {
        const int64_t i = backwards ? n - 1 - step : step;
        decoys += ranked[static_cast<size_t>(i)].second ? 1 : 0;
        if (!run_end(i)) continue;
        const int64_t targets = step + 1 - decoys;
        if (estimate(decoys, targets) <= level) {
            count = targets;
            at = i;
        }
    }
    return {count, at};
}

Ref tdc_cut(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static const Signature sig{"tdc_cut()", {"scores", "is_decoy", "fdr"}, 3};
    const Bound b = bind_args(sig, args, nargs, kwnames);
    ArrayView scores, decoy;
    scores.acquire(b[0], 'd', 1, "tdc_cut(): scores must be a contiguous one-dimensional float64 array");
    decoy.acquire(b[1], '?', 1, "tdc_cut(): is_decoy must be a contiguous one-dimensional bool array");
    const double level = arg<double>(sig, b, 2);
    if (scores.size() != decoy.size()) raise(PyExc_ValueError, "tdc_cut(): one decoy flag per score needed");
    std::pair<int64_t, int64_t> found;
    double cut = 0.0;
    {
        WithoutInterpreterLock unlocked;  // the views keep the arrays alive and unchanged
        const size_t n = scores.size();
        std::vector<std::pair<double, bool>> ranked(n);
        for (size_t i = 0; i < n; ++i) {
            const double value = scores.doubles()[i];
            ranked[i] = {std::isnan(value) ? -std::numeric_limits<double>::infinity() : value, decoy.flags()[i]};
        }
        std::sort(ranked.begin(), ranked.end(), [](const auto &a, const auto &c) { return a.first > c.first; });
        const int64_t last = static_cast<int64_t>(n) - 1;
        found = accepted(
            ranked,
            [&](int64_t i) {
                return i == last || ranked[static_cast<size_t>(i)].first != ranked[static_cast<size_t>(i + 1)].first;
            },
            level, false);
        if (found.second >= 0) cut = ranked[static_cast<size_t>(found.second)].first;
    }
    Ref count = to_py_int(found.first);
    Ref threshold = found.second >= 0 ? to_py(cut) : none();
    return own(PyTuple_Pack(2, count.get(), threshold.get()));
}

// Targets accepted at `level` over one column whose decoys' and targets' values are each
// sorted ascending, walked from the best end (`higher`: from the top): the entries of each
// distinct value are taken together, and the run's end is where the estimate is taken.
int64_t accepted_merged(const std::vector<double> &decoys, const std::vector<double> &targets, double level,
                        bool higher) {
    const int64_t nd = static_cast<int64_t>(decoys.size()), nt = static_cast<int64_t>(targets.size());
    int64_t d = 0, t = 0, count = 0;  // entries taken so far, from the best end
    auto at = [higher](const std::vector<double> &values, int64_t taken) {
        const size_t size = values.size();
        return higher ? values[size - 1 - static_cast<size_t>(taken)] : values[static_cast<size_t>(taken)];
    };
    while (d < nd || t < nt) {
        double value;
        if (d == nd)
            value = at(targets, t);
        else if (t == nt)
            value = at(decoys, d);
        else
            value = higher ? std::max(at(decoys, d), at(targets, t)) : std::min(at(decoys, d), at(targets, t));
        while (d < nd && at(decoys, d) == value) ++d;
        while (t < nt && at(targets, t) == value) ++t;
        if (estimate(d, t) <= level) count = t;
    }
    return count;
}

Ref best_direction(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static const Signature sig{"best_direction()", {"matrix", "is_target", "fdr"}, 3};
    const Bound b = bind_args(sig, args, nargs, kwnames);
    ArrayView matrix, target;
    matrix.acquire(b[0], 'd', 2, "best_direction(): matrix must be a C-contiguous two-dimensional float64 array");
    target.acquire(b[1], '?', 1, "best_direction(): is_target must be a contiguous one-dimensional bool array");
    const double level = arg<double>(sig, b, 2);
    const size_t n = matrix.extent(0), p = matrix.extent(1);
    if (target.size() != n) raise(PyExc_ValueError, "best_direction(): one target flag per row needed");
    if (n == 0 || p == 0) raise(PyExc_ValueError, "best_direction(): no rows or no columns");
    int64_t best_count = -1, best_column = 0;
    double best_sign = 1.0;
    bool has_nan = false;
    {
        WithoutInterpreterLock unlocked;
        // Column by column, decoys' and targets' values apart: the rows read once, in order.
        size_t nd = 0;
        for (size_t i = 0; i < n; ++i) nd += target.flags()[i] ? 0 : 1;
        const size_t nt = n - nd;
        std::vector<double> decoy_columns(nd * p), target_columns(nt * p);
        for (size_t i = 0, d = 0, t = 0; i < n; ++i) {
            const double *row = matrix.doubles() + i * p;
            if (target.flags()[i]) {
                for (size_t j = 0; j < p; ++j) target_columns[j * nt + t] = row[j];
                ++t;
            } else {
                for (size_t j = 0; j < p; ++j) decoy_columns[j * nd + d] = row[j];
                ++d;
            }
        }
        for (const double value : decoy_columns) has_nan = has_nan || std::isnan(value);
        for (const double value : target_columns) has_nan = has_nan || std::isnan(value);
        std::vector<double> decoys, targets;
        for (size_t j = 0; j < p && !has_nan; ++j) {
            decoys.assign(decoy_columns.begin() + static_cast<std::ptrdiff_t>(j * nd),
                          decoy_columns.begin() + static_cast<std::ptrdiff_t>((j + 1) * nd));
            targets.assign(target_columns.begin() + static_cast<std::ptrdiff_t>(j * nt),
                           target_columns.begin() + static_cast<std::ptrdiff_t>((j + 1) * nt));
            std::sort(decoys.begin(), decoys.end());
            std::sort(targets.begin(), targets.end());
            const int64_t down = accepted_merged(decoys, targets, level, true);   // higher better
            const int64_t up = accepted_merged(decoys, targets, level, false);    // lower better
            // Ties go to the earlier column, then to higher better.
            if (down > best_count) best_count = down, best_column = static_cast<int64_t>(j), best_sign = 1.0;
            if (up > best_count) best_count = up, best_column = static_cast<int64_t>(j), best_sign = -1.0;
        }
    }
    if (has_nan) raise(PyExc_ValueError, "best_direction(): the matrix holds NaN");
    Ref column = to_py_int(best_column);
    Ref sign = to_py(best_sign);
    Ref count = to_py_int(best_count);
    return own(PyTuple_Pack(3, column.get(), sign.get(), count.get()));
}

// Higher better and lower better counts of one column given its entries ascending.
std::pair<int64_t, int64_t> both_directions(const std::vector<std::pair<double, bool>> &ranked, double level) {
    const int64_t last = static_cast<int64_t>(ranked.size()) - 1;
    auto differs = [&](int64_t i, int64_t k) {
        return ranked[static_cast<size_t>(i)].first != ranked[static_cast<size_t>(k)].first;
    };
    // Higher better: walk the ascending order backwards; a run ends at its first entry.
    const int64_t down =
        accepted(ranked, [&](int64_t i) { return i == 0 || differs(i, i - 1); }, level, true).first;
    // Lower better: walk it forwards.
    const int64_t up =
        accepted(ranked, [&](int64_t i) { return i == last || differs(i, i + 1); }, level, false).first;
    return {down, up};
}

// `best_direction` over the member rows of a matrix given as its columns sorted ascending
// (`values`, columns by rows) with the row number of each value (`order`), so that no
// training set is sorted again.
Ref best_direction_ranked(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static const Signature sig{"best_direction_ranked()", {"values", "order", "member", "is_target", "fdr"}, 5};
    const Bound b = bind_args(sig, args, nargs, kwnames);
    ArrayView values, order, member, target;
    values.acquire(b[0], 'd', 2,
                   "best_direction_ranked(): values must be a C-contiguous two-dimensional float64 array");
    order.acquire(b[1], 'q', 2, "best_direction_ranked(): order must be a C-contiguous two-dimensional int64 array");
    member.acquire(b[2], '?', 1, "best_direction_ranked(): member must be a contiguous one-dimensional bool array");
    target.acquire(b[3], '?', 1,
                   "best_direction_ranked(): is_target must be a contiguous one-dimensional bool array");
    const double level = arg<double>(sig, b, 4);
    const size_t p = values.extent(0), n = values.extent(1);
    if (order.extent(0) != p || order.extent(1) != n || member.size() != n || target.size() != n)
        raise(PyExc_ValueError, "best_direction_ranked(): values and order must be columns by rows, member and "
                                "is_target one flag per row");
    const int64_t *rows = static_cast<const int64_t *>(order.data());
    for (size_t k = 0; k < n * p; ++k)
        if (rows[k] < 0 || static_cast<size_t>(rows[k]) >= n)
            raise(PyExc_ValueError, "best_direction_ranked(): a row number of order lies outside the rows");
    int64_t best_count = -1, best_column = 0;
    double best_sign = 1.0;
    bool has_nan = false, any_member = false;
    {
        WithoutInterpreterLock unlocked;
        std::vector<std::pair<double, bool>> ranked;
        ranked.reserve(n);
        for (size_t j = 0; j < p && !has_nan; ++j) {
            ranked.clear();
            const double *column = values.doubles() + j * n;
            for (size_t k = 0; k < n; ++k) {
                const auto row = static_cast<size_t>(rows[j * n + k]);
                if (!member.flags()[row]) continue;
                const double value = column[k];
                has_nan = has_nan || std::isnan(value);
                ranked.emplace_back(value, !target.flags()[row]);
            }
            any_member = !ranked.empty();
            if (!any_member) break;
            const auto [down, up] = both_directions(ranked, level);
            // Ties go to the earlier column, then to higher better.
            if (down > best_count) best_count = down, best_column = static_cast<int64_t>(j), best_sign = 1.0;
            if (up > best_count) best_count = up, best_column = static_cast<int64_t>(j), best_sign = -1.0;
        }
    }
    if (has_nan) raise(PyExc_ValueError, "best_direction_ranked(): the matrix holds NaN");
    if (p && !any_member) raise(PyExc_ValueError, "best_direction_ranked(): no member row");
    Ref column = to_py_int(best_column);
    Ref sign = to_py(best_sign);
    Ref count = to_py_int(best_count);
    return own(PyTuple_Pack(3, column.get(), sign.get(), count.get()));
}

PyMethodDef error_rate_functions[] = {
    {"tdc_cut", as_cfunction(static_method<tdc_cut>), METH_FASTCALL | METH_KEYWORDS,
     "tdc_cut($module, scores, is_decoy, fdr)\n--\n\n(targets at a q-value of at most fdr, the lowest score "
     "that passes or None) of target-decoy competition over float64 scores (higher better, NaN worst) and "
     "bool decoy flags; releases the interpreter lock."},
    {"best_direction", as_cfunction(static_method<best_direction>), METH_FASTCALL | METH_KEYWORDS,
     "best_direction($module, matrix, is_target, fdr)\n--\n\n(column, sign, targets accepted at fdr) of the "
     "column of a C-contiguous float64 matrix (rows by features) that, higher better (sign 1.0) or lower "
     "better (-1.0), accepts the most targets; ties to the earlier column, then to 1.0. ValueError for a "
     "matrix with NaN. Releases the interpreter lock."},
    {"best_direction_ranked", as_cfunction(static_method<best_direction_ranked>), METH_FASTCALL | METH_KEYWORDS,
     "best_direction_ranked($module, values, order, member, is_target, fdr)\n--\n\nbest_direction over the "
     "rows whose member flag is set, of a matrix given as each column's values sorted ascending (float64, "
     "columns by rows) and their row numbers (order, int64, the same shape). ValueError for NaN among the "
     "members, no member row or a row number outside the rows. "
     "Releases the interpreter lock."},
    {nullptr, nullptr, 0, nullptr}};

}  // namespace

void add_error_rates(PyObject *module) { add_functions(module, error_rate_functions); }

}  // namespace bind::native
