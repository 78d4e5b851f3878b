// Rows of text from columns: the writers of the standard formats describe one row as a
// template (literal pieces between column values) and get a block of rows back as bytes,
// instead of formatting every value of every row in the interpreter.
//
// A template is (pieces, columns) with len(pieces) == len(columns) + 1; each row is
// pieces[0] value0 pieces[1] value1 ... pieces[k]. A column is a tuple:
//   ("f", float64 array)            the value as Python's repr() writes it
//   ("n", float64 array)            a table cell: the shortest digits laid out as Arrow's cast to
//                                   text does (see put_cell); NaN an empty cell
//   ("i", int64 array)              the integer in decimal
//   ("s", list of str)              the text of each row
//   ("c", int64 codes, list of str) the text of each row's code
//   ("t", bool mask, pieces, columns) a nested template, written only where the mask is set
//   ("l", int64 starts, int64 stops, pieces, columns) rows starts[i]..stops[i] of a nested
//                                   template over columns of their own length (a list per row)
// Text is written as given: escaping is the caller's.
//
// write_rows() parses a template once and writes all its rows through a file's write(), a
// block at a time, formatting each block without the interpreter lock (the texts are read
// from their str objects while parsing, and the parsed template holds those objects).
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "binder.hpp"
#include "convert.hpp"
#include "errors.hpp"
#include "interpreter_lock.hpp"
#include "native.hpp"
#include "pyclass.hpp"

namespace bind::native {

namespace {

// The shortest text that reads back as `value`, laid out as Python's repr() does: fixed
// notation with at least one decimal for magnitudes from 1e-4 up to below 1e16 (and zero),
// exponent notation with a signed exponent of at least two digits otherwise; "nan", "inf".
// (The shortest digits of a double below 1e-4 or from 1e16 up always carry an exponent
// below -4 or from 16 up, so the magnitude decides the layout as repr()'s exponent does.)
void put_repr(std::string &out, double value) {
    if (std::isnan(value)) {
        out += "nan";
        return;
    }
    if (std::isinf(value)) {
        out += value < 0 ? "-inf" : "inf";
        return;
    }
    char buf[400];  // fixed notation of magnitudes below 1e16 needs far less
    const double magnitude = std::fabs(value);
    if (magnitude != 0.0 && (magnitude < 1e-4 || magnitude >= 1e16)) {
        const auto result = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
        out.append(buf, result.ptr);
        return;
    }
    const auto result = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed);
    out.append(buf, result.ptr);
    if (!std::memchr(buf, '.', static_cast<size_t>(result.ptr - buf))) out += ".0";
}

void put_int(std::string &out, int64_t value) {
    char buf[24];
    const auto result = std::to_chars(buf, buf + sizeof buf, value);
    out.append(buf, result.ptr);
}

// A number as a cell of a text table, laid out as Arrow's cast of a double to text: the
// shortest digits that read back as `value`, in fixed notation (no trailing ".0") for
// decimal exponents from -6 up to 9, otherwise as d.ddde+X / d.ddde-X; "inf", "-inf", "0",
// "-0"; NaN (a missing value) writes nothing.
void put_cell(std::string &out, double value) {
    if (std::isnan(value)) return;
    if (std::isinf(value)) {
        out += value < 0 ? "-inf" : "inf";
        return;
    }
    if (value == 0.0) {
        out += std::signbit(value) ? "-0" : "0";
        return;
    }
    char buf[64];
    const auto result = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
    const char *p = buf;
    if (*p == '-') {
        out += '-';
        ++p;
    }
    char digits[24];
    size_t count = 0;
    for (; p < result.ptr && *p != 'e'; ++p)
        if (*p != '.') digits[count++] = *p;
    int exponent = 0;
    std::from_chars(p + 1 + (p[1] == '+'), result.ptr, exponent);
    while (count > 1 && digits[count - 1] == '0') --count;
    const std::string_view shown(digits, count);
    if (exponent >= -6 && exponent < 10) {
        const int point = exponent + 1;  // digits before the decimal point
        if (point <= 0) {
            out += "0.";
            out.append(static_cast<size_t>(-point), '0');
            out += shown;
        } else if (static_cast<size_t>(point) >= count) {
            out += shown;
            out.append(static_cast<size_t>(point) - count, '0');
        } else {
            out += shown.substr(0, static_cast<size_t>(point));
            out += '.';
            out += shown.substr(static_cast<size_t>(point));
        }
        return;
    }
    out += shown[0];
    if (count > 1) {
        out += '.';
        out += shown.substr(1);
    }
    out += exponent < 0 ? "e-" : "e+";
    put_int(out, exponent < 0 ? -exponent : exponent);
}


[[noreturn]] void bad(const std::string &message) { raise(PyExc_ValueError, ("format_rows(): " + message).c_str()); }

std::string_view utf8(PyObject *text, const char *what) {
    if (!PyUnicode_Check(text)) bad(std::string(what) + " must be str");
    Py_ssize_t size = 0;
    const char *data = PyUnicode_AsUTF8AndSize(text, &size);
    if (!data) throw PyErrSet{};
    return {data, static_cast<size_t>(size)};
}

// A held buffer of a one-dimensional array of one item type.
class Array {
public:
    Array(PyObject *obj, Py_ssize_t itemsize, const char *formats, const char *what) {
        if (PyObject_GetBuffer(obj, &view_, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) != 0) throw PyErrSet{};
        held_ = true;
        const char *format = view_.format ? view_.format : "B";
        if (*format == '<' || *format == '=' || *format == '@') ++format;
        if (view_.ndim != 1 || view_.itemsize != itemsize || std::strlen(format) != 1 || !std::strchr(formats, *format))
            bad(std::string(what) + " must be a one-dimensional array of " +
                (itemsize == 8 ? (std::strchr(formats, 'd') ? "float64" : "int64") : "bool"));
    }
    Array(const Array &) = delete;
    Array &operator=(const Array &) = delete;
    ~Array() {
        if (held_) PyBuffer_Release(&view_);
    }
    Py_ssize_t size() const { return view_.shape ? view_.shape[0] : view_.len / view_.itemsize; }
    template <class T>
    T at(Py_ssize_t i) const {
        T value;
        std::memcpy(&value, static_cast<const char *>(view_.buf) + i * view_.itemsize, sizeof value);
        return value;
    }

private:
    Py_buffer view_{};
    bool held_ = false;
};

struct Template;

// The texts of the numbers of a column met lately: q-values, posterior errors and retention
// times repeat across rows, and formatting a double costs far more than copying its text.
// Direct-mapped by the value's bits; a column whose values rarely repeat stops using it.
class NumberTexts {
public:
    template <class Put>
    void put(std::string &out, double value, Put format) {
        if (!enabled_) return format(out, value);
        uint64_t bits;
        std::memcpy(&bits, &value, sizeof bits);
        Entry &entry = entries_[(bits * 0x9E3779B97F4A7C15ULL) >> (64 - BITS)];
        if (entry.filled && entry.bits == bits) {
            ++hits_;
            out.append(entry.text, entry.size);
        } else {
            const size_t before = out.size();
            format(out, value);
            const size_t size = out.size() - before;
            if (size <= sizeof entry.text) {
                entry.filled = true;
                entry.bits = bits;
                entry.size = static_cast<uint8_t>(size);
                std::memcpy(entry.text, out.data() + before, size);
            }
        }
        if (++seen_ == TRIAL && hits_ * 8 < seen_) {  // fewer than one in eight repeated
            enabled_ = false;
            entries_.reset();
        }
    }

    NumberTexts() : entries_(std::make_unique<Entry[]>(size_t{1} << BITS)) {}

private:
    static constexpr int BITS = 10;
    static constexpr uint64_t TRIAL = 4096;
    struct Entry {
        uint64_t bits = 0;
        bool filled = false;
        uint8_t size = 0;
        char text[30];
    };
    std::unique_ptr<Entry[]> entries_;
    uint64_t seen_ = 0, hits_ = 0;
    bool enabled_ = true;
};

struct Column {
    char kind = 0;
    std::unique_ptr<Array> array;          // f, i: values; c: codes; t: mask
    std::vector<std::string_view> texts;   // c: the texts of the codes; s: the text of each row
    std::unique_ptr<Array> stops;          // l (the starts in `array`)
    std::unique_ptr<Template> nested;      // t, l
    int64_t inner = 0;                     // l: the length of the nested template's columns
    mutable std::unique_ptr<NumberTexts> numbers;  // f, n
};

struct Template {
    std::vector<std::string_view> pieces;
    std::vector<Column> columns;
    std::vector<Ref> keep;  // the sequence items read, alive while the texts are used
};

Py_ssize_t check_length(Py_ssize_t length, Py_ssize_t &rows) {
    if (rows < 0) rows = length;
    else if (length != rows)
        bad("columns of different lengths (" + std::to_string(length) + " and " + std::to_string(rows) + ")");
    return length;
}

Ref item(PyObject *sequence, Py_ssize_t i) { return own(PySequence_GetItem(sequence, i)); }

std::unique_ptr<Template> parse_template(PyObject *pieces, PyObject *columns, Py_ssize_t &rows, int depth);

Column parse_column(Template &t, PyObject *spec, Py_ssize_t &rows, int depth) {
    if (!PyTuple_Check(spec) || PyTuple_Size(spec) < 2) bad("a column must be a tuple (kind, values, ...)");
    const std::string_view kind = utf8(PyTuple_GetItem(spec, 0), "a column's kind");
    const Py_ssize_t size = PyTuple_Size(spec);
    PyObject *values = PyTuple_GetItem(spec, 1);
    Column column;
    column.kind = kind.size() == 1 ? kind[0] : '?';
    switch (column.kind) {
    case 'f':
    case 'n':
    case 'i':
        if (size != 2) bad("a column ('f', 'n' or 'i', values) has two items");
        column.array = std::make_unique<Array>(values, 8, column.kind == 'i' ? "lq" : "d", "a number column");
        if (column.kind != 'i') column.numbers = std::make_unique<NumberTexts>();
        check_length(column.array->size(), rows);
        break;
    case 's':
        if (size != 2 || !PyList_Check(values)) bad("a column ('s', texts) needs a list of str");
        check_length(PyList_Size(values), rows);
        for (Py_ssize_t i = 0, count = PyList_Size(values); i < count; ++i) {
            t.keep.push_back(item(values, i));
            column.texts.push_back(utf8(t.keep.back().get(), "a text of a column ('s', texts)"));
        }
        break;
    case 'c': {
        if (size != 3 || !PyList_Check(PyTuple_GetItem(spec, 2))) bad("a column ('c', codes, texts) needs a list of str");
        column.array = std::make_unique<Array>(values, 8, "lq", "a code column");
        check_length(column.array->size(), rows);
        PyObject *texts = PyTuple_GetItem(spec, 2);
        const Py_ssize_t count = PyList_Size(texts);
        for (Py_ssize_t i = 0; i < count; ++i) {
            t.keep.push_back(item(texts, i));
            column.texts.push_back(utf8(t.keep.back().get(), "a text of a code column"));
        }
        for (Py_ssize_t i = 0; i < column.array->size(); ++i) {
            const auto code = column.array->at<int64_t>(i);
            if (code < 0 || code >= count)
                bad("code " + std::to_string(code) + " at row " + std::to_string(i) + " outside " +
                    std::to_string(count) + " texts");
        }
        break;
    }
    case 't':
        if (size != 4) bad("a column ('t', mask, pieces, columns) has four items");
        if (depth > 4) bad("templates nested too deeply");
        column.array = std::make_unique<Array>(values, 1, "?Bb", "a mask");
        check_length(column.array->size(), rows);
        column.nested = parse_template(PyTuple_GetItem(spec, 2), PyTuple_GetItem(spec, 3), rows, depth + 1);
        break;
    case 'l': {
        if (size != 5) bad("a column ('l', starts, stops, pieces, columns) has five items");
        if (depth > 4) bad("templates nested too deeply");
        column.array = std::make_unique<Array>(values, 8, "lq", "a start column");
        column.stops = std::make_unique<Array>(PyTuple_GetItem(spec, 2), 8, "lq", "a stop column");
        check_length(column.array->size(), rows);
        check_length(column.stops->size(), rows);
        Py_ssize_t inner = -1;
        column.nested = parse_template(PyTuple_GetItem(spec, 3), PyTuple_GetItem(spec, 4), inner, depth + 1);
        if (inner < 0) bad("a list column's template needs at least one column");
        column.inner = inner;
        for (Py_ssize_t i = 0; i < column.array->size(); ++i) {
            const auto first = column.array->at<int64_t>(i), last = column.stops->at<int64_t>(i);
            if (first < 0 || last < first || last > inner)
                bad("list rows " + std::to_string(first) + ".." + std::to_string(last) + " at row " +
                    std::to_string(i) + " outside columns of " + std::to_string(inner));
        }
        break;
    }
    default:
        bad("unknown column kind '" + std::string(kind) + "'");
    }
    return column;
}

std::unique_ptr<Template> parse_template(PyObject *pieces, PyObject *columns, Py_ssize_t &rows, int depth) {
    if (!PyList_Check(pieces) && !PyTuple_Check(pieces)) bad("pieces must be a list of str");
    if (!PyList_Check(columns) && !PyTuple_Check(columns)) bad("columns must be a list");
    auto t = std::make_unique<Template>();
    const Py_ssize_t n_pieces = PySequence_Size(pieces), n_columns = PySequence_Size(columns);
    if (n_pieces != n_columns + 1)
        bad(std::to_string(n_pieces) + " pieces for " + std::to_string(n_columns) + " columns (one more expected)");
    for (Py_ssize_t i = 0; i < n_pieces; ++i) {
        t->keep.push_back(item(pieces, i));
        t->pieces.push_back(utf8(t->keep.back().get(), "a piece"));
    }
    for (Py_ssize_t i = 0; i < n_columns; ++i) {
        t->keep.push_back(item(columns, i));
        t->columns.push_back(parse_column(*t, t->keep.back().get(), rows, depth));
    }
    return t;
}

// A value that changed between parsing and formatting (the arrays are shared with the
// caller): reported once the interpreter lock is held again.
struct Changed {
    std::string message;
};

void write_row(std::string &out, const Template &t, Py_ssize_t row) {
    out += t.pieces[0];
    for (size_t k = 0; k < t.columns.size(); ++k) {
        const Column &c = t.columns[k];
        switch (c.kind) {
        case 'f':
            c.numbers->put(out, c.array->at<double>(row), put_repr);
            break;
        case 'n':
            c.numbers->put(out, c.array->at<double>(row), put_cell);
            break;
        case 'i':
            put_int(out, c.array->at<int64_t>(row));
            break;
        case 's':
            out += c.texts[static_cast<size_t>(row)];
            break;
        case 'c': {
            const auto code = c.array->at<int64_t>(row);
            if (code < 0 || static_cast<size_t>(code) >= c.texts.size())
                throw Changed{"code " + std::to_string(code) + " at row " + std::to_string(row) + " changed while written"};
            out += c.texts[static_cast<size_t>(code)];
            break;
        }
        case 't':
            if (c.array->at<uint8_t>(row)) write_row(out, *c.nested, row);
            break;
        case 'l': {
            const auto first = c.array->at<int64_t>(row), last = c.stops->at<int64_t>(row);
            if (first < 0 || last > c.inner)
                throw Changed{"list rows at row " + std::to_string(row) + " changed while written"};
            for (auto i = first; i < last; ++i) write_row(out, *c.nested, static_cast<Py_ssize_t>(i));
            break;
        }
        }
        out += t.pieces[k + 1];
    }
}

// Rows start..stop of `t` appended to `out`, without the interpreter lock.
void format_block(std::string &out, const Template &t, Py_ssize_t start, Py_ssize_t stop) {
    std::optional<Changed> changed;
    {
        WithoutInterpreterLock unlocked;  // the held buffers and str objects stay alive
        try {
            for (Py_ssize_t row = start; row < stop; ++row) write_row(out, t, row);
        } catch (Changed &error) {
            changed = std::move(error);
        }
    }
    if (changed) bad(changed->message);
}

struct Parsed {
    std::unique_ptr<Template> t;
    Py_ssize_t start, stop;
};

Parsed parse_rows(const Signature &sig, const Bound &b, size_t start_arg) {
    Py_ssize_t rows = -1;
    Parsed parsed{parse_template(b[0], b[1], rows, 0), 0, 0};
    if (rows < 0) bad("at least one column is needed");
    parsed.start = static_cast<Py_ssize_t>(arg_or<uint64_t>(sig, b, start_arg, 0));
    parsed.stop = static_cast<Py_ssize_t>(
        arg_or<std::optional<uint64_t>>(sig, b, start_arg + 1, std::nullopt).value_or(static_cast<uint64_t>(rows)));
    if (parsed.start < 0 || parsed.stop < parsed.start || parsed.stop > rows)
        bad("rows " + std::to_string(parsed.start) + ".." + std::to_string(parsed.stop) + " outside columns of " +
            std::to_string(rows));
    return parsed;
}

Ref format_rows(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static const Signature sig{"format_rows()", {"pieces", "columns", "start", "stop"}, 2};
    const Bound b = bind_args(sig, args, nargs, kwnames);
    const Parsed parsed = parse_rows(sig, b, 2);
    std::string out;
    out.reserve(static_cast<size_t>(parsed.stop - parsed.start) * 64);
    format_block(out, *parsed.t, parsed.start, parsed.stop);
    return own(PyBytes_FromStringAndSize(out.data(), static_cast<Py_ssize_t>(out.size())));
}

Ref write_rows(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static const Signature sig{"write_rows()", {"pieces", "columns", "write", "start", "stop", "block"}, 3};
    const Bound b = bind_args(sig, args, nargs, kwnames);
    PyObject *write = b[2];
    if (!PyCallable_Check(write)) raise(PyExc_TypeError, "write_rows(): write must be callable");
    const Parsed parsed = parse_rows(sig, b, 3);
    const auto block = static_cast<Py_ssize_t>(arg_or<uint64_t>(sig, b, 5, 4096));
    if (block < 1) bad("block must be at least 1");
    std::string out;  // one buffer for every block: its pages are touched once
    for (Py_ssize_t first = parsed.start; first < parsed.stop; first += block) {
        out.clear();
        format_block(out, *parsed.t, first, std::min(parsed.stop, first + block));
        Ref bytes = own(PyBytes_FromStringAndSize(out.data(), static_cast<Py_ssize_t>(out.size())));
        own(PyObject_CallFunctionObjArgs(write, bytes.get(), nullptr));
    }
    return none();
}

PyMethodDef functions[] = {
    {"format_rows", as_cfunction(static_method<format_rows>), METH_FASTCALL | METH_KEYWORDS,
     "format_rows(pieces, columns, start=0, stop=None)\n--\n\n"
     "Rows start..stop of a text template as UTF-8 bytes: pieces[0] value0 pieces[1] ... pieces[-1] per "
     "row. Columns: ('f', float64 array) written as repr(); ('n', float64 array) written as a table "
     "cell (Arrow's layout of the shortest digits, NaN empty); ('i', int64 array); ('s', list of str); "
     "('c', int64 codes, list of str); ('t', bool mask, pieces, columns), a nested template written "
     "where the mask is set; ('l', int64 starts, int64 stops, pieces, columns), rows starts[i]..stops[i] "
     "of a nested template over columns of their own length."},
    {"write_rows", as_cfunction(static_method<write_rows>), METH_FASTCALL | METH_KEYWORDS,
     "write_rows(pieces, columns, write, start=0, stop=None, block=4096)\n--\n\n"
     "Rows start..stop of a text template (as format_rows() takes it) passed to write() as UTF-8 bytes, "
     "`block` rows at a time; the template is read once."},
    {nullptr, nullptr, 0, nullptr}};

}  // namespace

void add_text_rows(PyObject *module) { add_functions(module, functions); }

}  // namespace bind::native
