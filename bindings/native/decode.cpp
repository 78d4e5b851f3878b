// Decoding the binary arrays of spectra files (base64 text, optionally zlib-compressed) into
// their bytes, without the interpreter lock. This is the fast path of the mzML reader: it
// takes only well-formed data and answers None for anything else (a character outside the
// base64 alphabet, bad padding, a broken or truncated zlib stream, more or fewer bytes than
// the array declares), so that the reader's own decoder, the reference, meets the fault and
// names it. Whatever is decoded here is byte for byte what the reference decodes. Then the
// peaks prepared for scoring, again without the lock, to the bit as the reader's reference
// preparation (numpy) makes them.
#ifdef MESK_HAVE_ZLIB
#include <zlib.h>
#endif

#include <algorithm>
#include <array>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <numeric>
#include <vector>

#include "binary_arrays.hpp"
#include "convert.hpp"
#include "interpreter_lock.hpp"
#include "native.hpp"
#include "pyclass.hpp"

namespace bind::native {

namespace {

// Values of the base64 alphabet; 64 marks ASCII whitespace (skipped), 255 anything else.
constexpr std::array<uint8_t, 256> make_table() {
    std::array<uint8_t, 256> table{};
    for (auto &entry : table) entry = 255;
    const char *alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (uint8_t i = 0; i < 64; ++i) table[static_cast<uint8_t>(alphabet[i])] = i;
    for (const char space : {' ', '\t', '\n', '\r', '\f', '\v'}) table[static_cast<uint8_t>(space)] = 64;
    return table;
}
constexpr std::array<uint8_t, 256> BASE64 = make_table();

}  // namespace

// Decodes base64 text into `out`. Whitespace may separate the characters; at most two '='
// may end the text, and the characters other than whitespace must come in whole groups of
// four. False for anything else (the reference then tells what is wrong).
bool decode_base64(const char *text, size_t size, std::vector<uint8_t> &out) {
    out.resize(size / 4 * 3 + 3);
    uint8_t *write = out.data();
    uint32_t group = 0;
    int filled = 0;
    size_t i = 0;
    for (; i < size; ++i) {
        // Whole groups of four alphabet characters at a time, while no whitespace interrupts.
        if (filled == 0) {
            while (i + 4 <= size) {
                const uint32_t a = BASE64[static_cast<uint8_t>(text[i])], b = BASE64[static_cast<uint8_t>(text[i + 1])],
                               c = BASE64[static_cast<uint8_t>(text[i + 2])], d = BASE64[static_cast<uint8_t>(text[i + 3])];
                if ((a | b | c | d) >= 64) break;
                const uint32_t whole = a << 18 | b << 12 | c << 6 | d;
                write[0] = static_cast<uint8_t>(whole >> 16);
                write[1] = static_cast<uint8_t>(whole >> 8);
                write[2] = static_cast<uint8_t>(whole);
                write += 3;
                i += 4;
            }
            if (i == size) break;
        }
        const uint8_t value = BASE64[static_cast<uint8_t>(text[i])];
        if (value < 64) {
            group = group << 6 | value;
            if (++filled == 4) {
                write[0] = static_cast<uint8_t>(group >> 16);
                write[1] = static_cast<uint8_t>(group >> 8);
                write[2] = static_cast<uint8_t>(group);
                write += 3;
                group = 0;
                filled = 0;
            }
        } else if (value == 64) {
            continue;
        } else {
            break;  // '=' or a character outside the alphabet
        }
    }
    const auto finish = [&](bool ok) {
        out.resize(static_cast<size_t>(write - out.data()));
        return ok;
    };
    if (i == size) return finish(filled == 0);
    // Padding: "xx==" or "xxx=", then nothing but whitespace.
    size_t pads = 0;
    for (; i < size; ++i) {
        const uint8_t value = BASE64[static_cast<uint8_t>(text[i])];
        if (text[i] == '=')
            ++pads;
        else if (value != 64)
            return finish(false);
    }
    if (filled == 2 && pads == 2) {
        *write++ = static_cast<uint8_t>(group >> 4);
        return finish(true);
    }
    if (filled == 3 && pads == 1) {
        write[0] = static_cast<uint8_t>(group >> 10);
        write[1] = static_cast<uint8_t>(group >> 2);
        write += 2;
        return finish(true);
    }
    return finish(false);
}

// Inflates a whole zlib stream into exactly `size` bytes at `out`. False when the stream is
// damaged, ends early, or holds more than `size` bytes. Bytes after the end of the stream
// are ignored, as the reference ignores them.
bool inflate_exactly(const std::vector<uint8_t> &compressed, uint8_t *out, size_t size) {
#ifndef MESK_HAVE_ZLIB
    (void)compressed, (void)out, (void)size;
    return false;  // built without zlib: the caller's reference decoder inflates it
#else
    if (compressed.size() > UINT_MAX || size > UINT_MAX) return false;
    z_stream stream{};
    if (inflateInit(&stream) != Z_OK) return false;
    stream.next_in = const_cast<Bytef *>(compressed.data());
    stream.avail_in = static_cast<uInt>(compressed.size());
    uint8_t spare = 0;
    stream.next_out = size ? out : &spare;
    stream.avail_out = size ? static_cast<uInt>(size) : 0;
    int status = size ? inflate(&stream, Z_SYNC_FLUSH) : Z_OK;
    if (status == Z_OK || status == Z_BUF_ERROR) {
        // Full (or nothing asked for): the stream must end here, without one byte more.
        stream.next_out = &spare;
        stream.avail_out = 1;
        status = inflate(&stream, Z_SYNC_FLUSH);
        if (stream.avail_out == 0) status = Z_DATA_ERROR;  // more values than declared
    }
    const bool whole = status == Z_STREAM_END && stream.total_out == size;
    inflateEnd(&stream);
    return whole;
#endif
}

namespace {

// decode_array(text, itemsize, zlib, length) -> bytes of length * itemsize, or None.
Ref decode_array(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static const Signature sig{"decode_array()", {"text", "itemsize", "zlib", "length"}, 4};
    const Bound b = bind_args(sig, args, nargs, kwnames);
    PyObject *text = b[0];
    if (!PyUnicode_Check(text)) raise(PyExc_TypeError, "decode_array(): text must be a str");
    const uint64_t itemsize = arg<uint64_t>(sig, b, 1);
    const bool compressed = arg<bool>(sig, b, 2);
    const uint64_t length = arg<uint64_t>(sig, b, 3);
    if (itemsize != 4 && itemsize != 8) raise(PyExc_ValueError, "decode_array(): itemsize must be 4 or 8");
    if (length > (uint64_t{1} << 27)) raise(PyExc_ValueError, "decode_array(): length above 2**27 values");
    Py_ssize_t size = 0;
    const char *chars = PyUnicode_AsUTF8AndSize(text, &size);
    if (!chars) {
        PyErr_Clear();  // not encodable (lone surrogates): the reference names it
        return none();
    }
    const size_t wanted = static_cast<size_t>(length * itemsize);
    Ref result = own(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(wanted)));
    uint8_t *out = reinterpret_cast<uint8_t *>(PyBytes_AsString(result.get()));
    if (!out) throw PyErrSet{};
    bool ok = false;
    {
        // The text stays alive (the caller holds it) and the new bytes object is not yet
        // shared: neither needs the lock.
        WithoutInterpreterLock unlocked;
        std::vector<uint8_t> data;
        if (decode_base64(chars, static_cast<size_t>(size), data)) {
            if (compressed) {
                ok = inflate_exactly(data, out, wanted);
            } else if (data.size() == wanted) {
                if (wanted) std::memcpy(out, data.data(), wanted);
                ok = true;
            }
        }
    }
    return ok ? std::move(result) : none();
}

// A read-only view of a one-dimensional, contiguous numeric array (32- or 64-bit floats or
// integers), each value read as a double or a float as numpy's casts read it.
class NumberView {
public:
    ~NumberView() {
        if (held_) PyBuffer_Release(&view_);
    }
    // False (no Python error left set) for any other buffer: the caller takes its reference path.
    bool acquire(PyObject *obj) {
        if (PyObject_GetBuffer(obj, &view_, PyBUF_FORMAT | PyBUF_C_CONTIGUOUS) != 0) {
            PyErr_Clear();
            return false;
        }
        held_ = true;
        const char *format = view_.format ? view_.format : "B";
        while (*format == '@' || *format == '=' || *format == '<') ++format;
        if (std::strlen(format) != 1 || view_.ndim > 1) return false;
        switch (*format) {
            case 'd': kind_ = view_.itemsize == 8 ? F64 : NONE; break;
            case 'f': kind_ = view_.itemsize == 4 ? F32 : NONE; break;
            case 'i': kind_ = view_.itemsize == 4 ? I32 : NONE; break;
            case 'l': case 'q': kind_ = view_.itemsize == 8 ? I64 : NONE; break;
            default: kind_ = NONE;
        }
        return kind_ != NONE && reinterpret_cast<uintptr_t>(view_.buf) % static_cast<uintptr_t>(view_.itemsize) == 0;
    }
    size_t size() const { return static_cast<size_t>(view_.len / view_.itemsize); }
    double as_double(size_t i) const {
        switch (kind_) {
            case F64: return static_cast<const double *>(view_.buf)[i];
            case F32: return static_cast<const float *>(view_.buf)[i];
            case I32: return static_cast<const int32_t *>(view_.buf)[i];
            default: return static_cast<double>(static_cast<const int64_t *>(view_.buf)[i]);
        }
    }
    float as_float(size_t i) const {
        switch (kind_) {
            case F64: return static_cast<float>(static_cast<const double *>(view_.buf)[i]);
            case F32: return static_cast<const float *>(view_.buf)[i];
            case I32: return static_cast<float>(static_cast<const int32_t *>(view_.buf)[i]);
            default: return static_cast<float>(static_cast<const int64_t *>(view_.buf)[i]);
        }
    }

private:
    enum Kind { NONE, F64, F32, I32, I64 };
    Py_buffer view_{};
    bool held_ = false;
    Kind kind_ = NONE;
};

// prepare_peaks(mz, intensity, top_peaks, proton) -> (mz float32 bytes, intensity float32 bytes)
// or None. The peaks as the reader's reference preparation makes them: the proton
// subtracted in double precision and both values rounded to 32 bits; non-finite m/z and
// non-positive or non-finite intensities dropped; the `top_peaks` most intense kept (0:
// all; among equal intensities the lower m/z, then the earlier peak); sorted by m/z, ties
// in the order reached so far.
Ref prepare_peaks(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static const Signature sig{"prepare_peaks()", {"mz", "intensity", "top_peaks", "proton"}, 4};
    const Bound b = bind_args(sig, args, nargs, kwnames);
    const uint64_t top = arg<uint64_t>(sig, b, 2);
    const double proton = arg<double>(sig, b, 3);
    NumberView mz_view, intensity_view;
    if (!mz_view.acquire(b[0]) || !intensity_view.acquire(b[1]) || mz_view.size() != intensity_view.size())
        return none();
    const size_t n = mz_view.size();
    std::vector<float> mz(n), intensity(n);
    std::vector<uint32_t> order;
    if (n > UINT32_MAX) return none();
    {
        WithoutInterpreterLock unlocked;  // the views keep the arrays alive and unchanged
        order.reserve(n);
        for (size_t i = 0; i < n; ++i) {
            mz[i] = static_cast<float>(mz_view.as_double(i) - proton);
            intensity[i] = intensity_view.as_float(i);
            if (std::isfinite(intensity[i]) && intensity[i] > 0.0f && std::isfinite(mz[i]))
                order.push_back(static_cast<uint32_t>(i));
        }
        if (top && order.size() > top) {
            std::stable_sort(order.begin(), order.end(), [&](uint32_t a, uint32_t c) {
                return intensity[a] > intensity[c] || (intensity[a] == intensity[c] && mz[a] < mz[c]);
            });
            order.resize(static_cast<size_t>(top));
        }
        std::stable_sort(order.begin(), order.end(), [&](uint32_t a, uint32_t c) { return mz[a] < mz[c]; });
    }
    const auto bytes = static_cast<Py_ssize_t>(order.size() * sizeof(float));
    Ref mz_out = own(PyBytes_FromStringAndSize(nullptr, bytes));
    Ref intensity_out = own(PyBytes_FromStringAndSize(nullptr, bytes));
    auto *mz_data = reinterpret_cast<float *>(PyBytes_AsString(mz_out.get()));
    auto *intensity_data = reinterpret_cast<float *>(PyBytes_AsString(intensity_out.get()));
    if (!mz_data || !intensity_data) throw PyErrSet{};
    for (size_t i = 0; i < order.size(); ++i) {
        mz_data[i] = mz[order[i]];
        intensity_data[i] = intensity[order[i]];
    }
    return own(PyTuple_Pack(2, mz_out.get(), intensity_out.get()));
}

PyMethodDef functions[] = {
    {"decode_array", as_cfunction(static_method<decode_array>), METH_FASTCALL | METH_KEYWORDS,
     "decode_array(text, itemsize, zlib, length)\n--\n\n"
     "The bytes of a base64 binary array (zlib-compressed when `zlib`), which must hold exactly `length` "
     "values of `itemsize` (4 or 8) bytes, decoded without the interpreter lock; None when the text is not "
     "such an array (the caller's reference decoder then names the fault)."},
    {"prepare_peaks", as_cfunction(static_method<prepare_peaks>), METH_FASTCALL | METH_KEYWORDS,
     "prepare_peaks(mz, intensity, top_peaks, proton)\n--\n\n"
     "The peaks ready to score, as (m/z, intensity) float32 bytes: the proton subtracted, non-finite and "
     "non-positive peaks dropped, the top_peaks most intense kept (0: all), sorted by m/z; without the "
     "interpreter lock. None for arrays other than one-dimensional contiguous 32/64-bit floats or integers."},
    {nullptr, nullptr, 0, nullptr}};

}  // namespace

void add_decode(PyObject *module) { add_functions(module, functions); }

}  // namespace bind::native
