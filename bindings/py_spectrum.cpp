// PyPrecursor and PyProcessedSpectrum: spectra built from float32 buffers.
#include <cstring>
#include <memory>

#include "classes.hpp"
#include "pyclass.hpp"

namespace bind {

namespace {

// ---- PyPrecursor ----

Ref new_precursor(PyObject *args, PyObject *kwargs) {
    static const Signature sig{"PyPrecursor.__new__()",
                               {"mz", "charge", "intensity", "isolation_window", "inverse_ion_mobility"},
                               1};
    const Bound b = bind_args(sig, args, kwargs);
    mesk::Precursor p;
    p.mz = arg<float>(sig, b, 0);
    p.charge = arg_or<std::optional<uint8_t>>(sig, b, 1, std::nullopt);
    p.intensity = arg_or<std::optional<float>>(sig, b, 2, std::nullopt);
    p.isolation_window = arg_or<std::optional<mesk::Tolerance>>(sig, b, 3, std::nullopt);
    p.inverse_ion_mobility = arg_or<std::optional<float>>(sig, b, 4, std::nullopt);
    return new_instance(precursor_type(), std::move(p));
}

Ref get_mz(const mesk::Precursor &p) { return to_py(p.mz); }
Ref get_charge(const mesk::Precursor &p) { return p.charge ? to_py_uint(*p.charge) : none(); }
Ref get_intensity(const mesk::Precursor &p) { return p.intensity ? to_py(*p.intensity) : none(); }
Ref get_isolation_window(const mesk::Precursor &p) {
    return p.isolation_window ? new_instance(tolerance_type(), mesk::Tolerance(*p.isolation_window)) : none();
}

PyGetSetDef precursor_properties[] = {
    {"mz", property_get<mesk::Precursor, get_mz>, nullptr, nullptr, nullptr},
    {"charge", property_get<mesk::Precursor, get_charge>, nullptr, nullptr, nullptr},
    {"intensity", property_get<mesk::Precursor, get_intensity>, nullptr, nullptr, nullptr},
    {"isolation_window", property_get<mesk::Precursor, get_isolation_window>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

// ---- float32 buffers ----

// A buffer view released on scope exit.
class BufferView {
public:
    BufferView() = default;
    ~BufferView() {
        if (held_) PyBuffer_Release(&view_);
    }
    BufferView(const BufferView &) = delete;
    BufferView &operator=(const BufferView &) = delete;

    // Acquires a read-only view and checks that it holds native 32-bit floats.
    void acquire(PyObject *obj) {
        if (PyObject_GetBuffer(obj, &view_, PyBUF_FULL_RO) != 0) throw PyErrSet{};
        held_ = true;
        if (!view_.shape) raise(PyExc_BufferError, "shape is null");
        if (!view_.strides) raise(PyExc_BufferError, "strides is null");
        if (view_.itemsize != 4 || !is_native_f32(view_.format))
            raise(PyExc_BufferError, "buffer contents are not compatible with f32");
        if (reinterpret_cast<uintptr_t>(view_.buf) % alignof(float) != 0)
            raise(PyExc_BufferError, "buffer contents are insufficiently aligned for f32");
    }

    bool contiguous() { return PyBuffer_IsContiguous(&view_, 'C') == 1; }
    size_t count() const { return static_cast<size_t>(view_.len) / sizeof(float); }
    const void *data() const { return view_.buf; }

private:
    static bool is_native_f32(const char *format) {
        if (!format) return false;  // an absent format means unsigned bytes
        return std::strcmp(format, "f") == 0 || std::strcmp(format, "@f") == 0 || std::strcmp(format, "=f") == 0 ||
               std::strcmp(format, "<f") == 0;
    }

    Py_buffer view_{};
    bool held_ = false;
};

// ---- PyProcessedSpectrum ----

Ref new_spectrum(PyObject *args, PyObject *kwargs) {
    static const Signature sig{"PyProcessedSpectrum.__new__()",
                               {"id", "file_id", "scan_start_time", "mz_array", "intensity_array", "precursors",
                                "total_ion_current"},
                               7};
    const Bound b = bind_args(sig, args, kwargs);
    auto spectrum = std::make_shared<mesk::ProcessedSpectrum>();
    spectrum->id = arg<std::string>(sig, b, 0);
    spectrum->file_id = arg<uint64_t>(sig, b, 1);
    spectrum->scan_start_time = arg<float>(sig, b, 2);
    spectrum->precursors = arg<std::vector<mesk::Precursor>>(sig, b, 5);
    spectrum->total_ion_current = arg<float>(sig, b, 6);
    spectrum->level = 2;

    BufferView mz, intensity;
    mz.acquire(b[3]);
    intensity.acquire(b[4]);
    if (!mz.contiguous() || !intensity.contiguous())
        raise(PyExc_ValueError, "mz_array and intensity_array must be C-contiguous float32 buffers");
    if (mz.count() != intensity.count())
        raise(PyExc_ValueError, "mz_array and intensity_array must be the same length");
    if (!mz.data()) raise(PyExc_ValueError, "Failed to get mz_array slice");
    if (!intensity.data()) raise(PyExc_ValueError, "Failed to get intensity_array slice");

    const size_t n = mz.count();
    const auto *masses = static_cast<const float *>(mz.data());
    const auto *intensities = static_cast<const float *>(intensity.data());
    spectrum->peaks.resize(n);
    for (size_t i = 0; i < n; ++i) spectrum->peaks[i] = mesk::Peak{intensities[i], masses[i]};

    return new_instance(spectrum_type(), SharedSpectrum(std::move(spectrum)));
}

Ref get_id(const SharedSpectrum &s) { return to_py(s->id); }

Ref get_peaks(const SharedSpectrum &s) {
    return to_py_list(s->peaks, [](const mesk::Peak &p) {
        Ref mass = to_py(p.mass);
        Ref intensity = to_py(p.intensity);
        return own(PyTuple_Pack(2, mass.get(), intensity.get()));
    });
}

Ref get_precursors(const SharedSpectrum &s) {
    return to_py_list(s->precursors,
                      [](const mesk::Precursor &p) { return new_instance(precursor_type(), mesk::Precursor(p)); });
}

PyGetSetDef spectrum_properties[] = {
    {"id", property_get<SharedSpectrum, get_id>, nullptr, nullptr, nullptr},
    {"peaks", property_get<SharedSpectrum, get_peaks>, nullptr, nullptr, nullptr},
    {"precursors", property_get<SharedSpectrum, get_precursors>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

}  // namespace

PyTypeObject *precursor_type() {
    static PyTypeObject *type = make_class(
        {"tovel_mesk.PyPrecursor",
         "PyPrecursor(mz, charge=None, intensity=None, isolation_window=None, inverse_ion_mobility=None)\n--\n\n",
         sizeof(Instance<mesk::Precursor>), dealloc_instance<mesk::Precursor>, constructor<new_precursor>,
         precursor_properties, nullptr, nullptr});
    return type;
}

PyTypeObject *spectrum_type() {
    static PyTypeObject *type = make_class(
        {"tovel_mesk.PyProcessedSpectrum",
         "PyProcessedSpectrum(id, file_id, scan_start_time, mz_array, intensity_array, precursors, "
         "total_ion_current)\n--\n\n",
         sizeof(Instance<SharedSpectrum>), dealloc_instance<SharedSpectrum>, constructor<new_spectrum>,
         spectrum_properties, nullptr, nullptr});
    return type;
}

}  // namespace bind
