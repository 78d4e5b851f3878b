// PyFeature and PyFragments: reported matches and their matched fragment ions.
#include "classes.hpp"
#include "number_format.hpp"
#include "pyclass.hpp"

namespace bind {

namespace {

// ---- PyFragments ----

Ref float_list(const std::vector<float> &values) {
    return to_py_list(values, [](float v) { return to_py(v); });
}
Ref int_list(const std::vector<int32_t> &values) {
    return to_py_list(values, [](int32_t v) { return to_py_int(v); });
}

Ref get_charges(const mesk::Fragments &f) { return int_list(f.charges); }
Ref get_kinds(const mesk::Fragments &f) {
    return to_py_list(f.kinds, [](mesk::Kind k) {
        const char letter = mesk::kind_letter(k);
        return to_py(std::string_view(&letter, 1));
    });
}
Ref get_fragment_ordinals(const mesk::Fragments &f) { return int_list(f.fragment_ordinals); }
Ref get_intensities(const mesk::Fragments &f) { return float_list(f.intensities); }
Ref get_mz_calculated(const mesk::Fragments &f) { return float_list(f.mz_calculated); }
Ref get_mz_experimental(const mesk::Fragments &f) { return float_list(f.mz_experimental); }

struct FragmentsColumn {
    const char *name;
    Ref (*get)(const mesk::Fragments &);
};
constexpr FragmentsColumn fragments_columns[] = {
    {"charges", get_charges},         {"kinds", get_kinds},
    {"fragment_ordinals", get_fragment_ordinals}, {"intensities", get_intensities},
    {"mz_calculated", get_mz_calculated}, {"mz_experimental", get_mz_experimental}};

Ref fragments_to_dict(mesk::Fragments &f) { return fragments_dict(f); }

PyGetSetDef fragments_properties[] = {
    {"charges", property_get<mesk::Fragments, get_charges>, nullptr, nullptr, nullptr},
    {"kinds", property_get<mesk::Fragments, get_kinds>, nullptr, nullptr, nullptr},
    {"fragment_ordinals", property_get<mesk::Fragments, get_fragment_ordinals>, nullptr, nullptr, nullptr},
    {"intensities", property_get<mesk::Fragments, get_intensities>, nullptr, nullptr, nullptr},
    {"mz_calculated", property_get<mesk::Fragments, get_mz_calculated>, nullptr, nullptr, nullptr},
    {"mz_experimental", property_get<mesk::Fragments, get_mz_experimental>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyMethodDef fragments_methods[] = {
    {"to_dict", method_noargs<mesk::Fragments, fragments_to_dict>, METH_NOARGS,
     "to_dict($self)\n--\n\nOptional helper: return as Python dict for easier pandas conversion"},
    {nullptr, nullptr, 0, nullptr}};

// ---- PyFeature ----

Ref py_value(double v) { return to_py(v); }
Ref py_value(float v) { return to_py(v); }
Ref py_value(int32_t v) { return to_py_int(v); }
Ref py_value(uint8_t v) { return to_py_uint(v); }
Ref py_value(uint32_t v) { return to_py_uint(v); }
Ref py_value(uint64_t v) { return to_py_uint(v); }
Ref py_value(const std::string &v) { return to_py_lossy(v); }

template <auto Member>
Ref field(const FeatureValue &v) {
    return py_value(v.feature.*Member);
}

Ref get_peptide(const FeatureValue &v) {
    return v.peptide ? new_instance(peptide_type(), mesk::Peptide(*v.peptide)) : none();
}

std::optional<mesk::Peptide> convert_peptide(PyObject *value) {
    static const Signature sig{"PyFeature.peptide", {"peptide"}, 1};
    Bound b;
    b.items[0] = value;
    return arg<std::optional<mesk::Peptide>>(sig, b, 0);
}

void assign_peptide(FeatureValue &v, std::optional<mesk::Peptide> &&peptide) { v.peptide = std::move(peptide); }

Ref get_sequence(const FeatureValue &v) { return v.peptide ? to_py_lossy(v.peptide->bytes()) : none(); }

Ref get_modifications(const FeatureValue &v) {
    if (!v.peptide) return none();
    return to_py_list(v.peptide->mod_array(), [](float m) { return to_py(m); });
}

Ref get_fragments(const FeatureValue &v) {
    return v.feature.fragments ? new_instance(fragments_type(), mesk::Fragments(*v.feature.fragments)) : none();
}

Ref get_fragments_dict(const FeatureValue &v) {
    return v.feature.fragments ? fragments_dict(*v.feature.fragments) : none();
}

#define FEATURE_FIELD(name) {#name, property_get<FeatureValue, field<&mesk::Feature::name>>, nullptr, nullptr, nullptr}

PyGetSetDef feature_properties[] = {
    {"peptide", property_get<FeatureValue, get_peptide>, property_set<FeatureValue, std::optional<mesk::Peptide>, convert_peptide, assign_peptide>, nullptr, nullptr},
    {"sequence", property_get<FeatureValue, get_sequence>, nullptr, nullptr, nullptr},
    {"modifications", property_get<FeatureValue, get_modifications>, nullptr, nullptr, nullptr},
    FEATURE_FIELD(hyperscore),
    FEATURE_FIELD(delta_mass),
    FEATURE_FIELD(rank),
    FEATURE_FIELD(matched_peaks),
    FEATURE_FIELD(peptide_idx),
    FEATURE_FIELD(psm_id),
    FEATURE_FIELD(peptide_len),
    FEATURE_FIELD(spec_id),
    FEATURE_FIELD(file_id),
    FEATURE_FIELD(label),
    FEATURE_FIELD(expmass),
    FEATURE_FIELD(calcmass),
    FEATURE_FIELD(charge),
    FEATURE_FIELD(rt),
    FEATURE_FIELD(aligned_rt),
    FEATURE_FIELD(predicted_rt),
    FEATURE_FIELD(delta_rt_model),
    FEATURE_FIELD(ims),
    FEATURE_FIELD(predicted_ims),
    FEATURE_FIELD(delta_ims_model),
    FEATURE_FIELD(isotope_error),
    FEATURE_FIELD(average_ppm),
    FEATURE_FIELD(delta_next),
    FEATURE_FIELD(delta_best),
    FEATURE_FIELD(longest_b),
    FEATURE_FIELD(longest_y),
    FEATURE_FIELD(longest_y_pct),
    FEATURE_FIELD(missed_cleavages),
    FEATURE_FIELD(matched_intensity_pct),
    FEATURE_FIELD(scored_candidates),
    FEATURE_FIELD(poisson),
    FEATURE_FIELD(discriminant_score),
    FEATURE_FIELD(posterior_error),
    FEATURE_FIELD(spectrum_q),
    FEATURE_FIELD(peptide_q),
    FEATURE_FIELD(protein_q),
    FEATURE_FIELD(ms2_intensity),
    {"fragments", property_get<FeatureValue, get_fragments>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

#undef FEATURE_FIELD

struct DictEntry {
    const char *key;
    Ref (*get)(const FeatureValue &);
};

#define FEATURE_ENTRY(name) {#name, field<&mesk::Feature::name>}

// The export's columns, in the order of the match record.
constexpr DictEntry feature_dict_entries[] = {
    FEATURE_ENTRY(file_id),
    FEATURE_ENTRY(spec_id),
    FEATURE_ENTRY(psm_id),
    FEATURE_ENTRY(rank),
    {"sequence", get_sequence},
    {"modifications", get_modifications},
    FEATURE_ENTRY(label),
    FEATURE_ENTRY(hyperscore),
    FEATURE_ENTRY(delta_mass),
    FEATURE_ENTRY(matched_peaks),
    FEATURE_ENTRY(peptide_len),
    FEATURE_ENTRY(expmass),
    FEATURE_ENTRY(calcmass),
    FEATURE_ENTRY(charge),
    FEATURE_ENTRY(rt),
    FEATURE_ENTRY(aligned_rt),
    FEATURE_ENTRY(predicted_rt),
    FEATURE_ENTRY(delta_rt_model),
    FEATURE_ENTRY(ims),
    FEATURE_ENTRY(predicted_ims),
    FEATURE_ENTRY(delta_ims_model),
    FEATURE_ENTRY(isotope_error),
    FEATURE_ENTRY(average_ppm),
    FEATURE_ENTRY(delta_next),
    FEATURE_ENTRY(delta_best),
    FEATURE_ENTRY(longest_b),
    FEATURE_ENTRY(longest_y),
    FEATURE_ENTRY(longest_y_pct),
    FEATURE_ENTRY(missed_cleavages),
    FEATURE_ENTRY(matched_intensity_pct),
    FEATURE_ENTRY(scored_candidates),
    FEATURE_ENTRY(poisson),
    FEATURE_ENTRY(discriminant_score),
    FEATURE_ENTRY(posterior_error),
    FEATURE_ENTRY(spectrum_q),
    FEATURE_ENTRY(peptide_q),
    FEATURE_ENTRY(protein_q),
    FEATURE_ENTRY(ms2_intensity),
    {"fragments", get_fragments_dict}};

#undef FEATURE_ENTRY

Ref feature_to_dict(FeatureValue &v) {
    Ref dict = own(PyDict_New());
    for (const DictEntry &entry : feature_dict_entries) {
        Ref value = entry.get(v);
        if (PyDict_SetItemString(dict.get(), entry.key, value.get()) != 0) throw PyErrSet{};
    }
    return dict;
}

Ref feature_repr(const FeatureValue &v) {
    const mesk::Feature &f = v.feature;
    std::string seq = "<None>", mods = "<None>";
    if (v.peptide) {
        seq = std::string(v.peptide->bytes());
        mods = "[";
        const std::vector<float> values = v.peptide->mod_array();
        for (size_t i = 0; i < values.size(); ++i) {
            if (i) mods += ", ";
            mods += format_shortest_debug(values[i]);
        }
        mods += "]";
    }
    const std::string text = "Feature(spec=" + f.spec_id + ", peptide_idx=" + std::to_string(f.peptide_idx) +
                             ", rank=" + std::to_string(f.rank) + ", seq=" + seq + ", mods=" + mods +
                             ", hyperscore=" + format_fixed(f.hyperscore, 3) +
                             ", delta_mass=" + format_fixed(f.delta_mass, 4) +
                             ", \n matched_peaks=" + std::to_string(f.matched_peaks) +
                             ", isotope error=" + format_shortest_display(f.isotope_error) +
                             ", average_ppm=" + format_fixed(f.average_ppm, 3) +
                             ", poisson=" + format_fixed(f.poisson, 4) + ")";
    return to_py_lossy(text);
}

PyMethodDef feature_methods[] = {
    {"to_dict", method_noargs<FeatureValue, feature_to_dict>, METH_NOARGS, "to_dict($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr}};

}  // namespace

Ref fragments_dict(const mesk::Fragments &fragments) {
    Ref dict = own(PyDict_New());
    for (const FragmentsColumn &column : fragments_columns) {
        Ref value = column.get(fragments);
        if (PyDict_SetItemString(dict.get(), column.name, value.get()) != 0) throw PyErrSet{};
    }
    return dict;
}

Ref features_to_list(std::vector<mesk::Feature> &&features, const mesk::IndexedDatabase &db) {
    Ref list = own(PyList_New(static_cast<Py_ssize_t>(features.size())));
    for (size_t i = 0; i < features.size(); ++i) {
        FeatureValue value{std::move(features[i]), std::nullopt};
        if (value.feature.peptide_idx < db.peptide_count()) value.peptide = db.peptide_at(value.feature.peptide_idx);
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), new_instance(feature_type(), std::move(value)).release());
    }
    return list;
}

PyTypeObject *fragments_type() {
    static PyTypeObject *type =
        make_class({"tovel_mesk.PyFragments", nullptr, sizeof(Instance<mesk::Fragments>),
                    dealloc_instance<mesk::Fragments>, nullptr, fragments_properties, fragments_methods, nullptr});
    return type;
}

PyTypeObject *feature_type() {
    static PyTypeObject *type = make_class({"tovel_mesk.PyFeature", nullptr, sizeof(Instance<FeatureValue>),
                                            dealloc_instance<FeatureValue>, nullptr, feature_properties,
                                            feature_methods, repr<FeatureValue, feature_repr>});
    return type;
}

}  // namespace bind
