// PyPeptide: a caller's peptide with its modification masses.
#include "classes.hpp"
#include "pyclass.hpp"

namespace bind {

namespace {

Ref new_peptide(PyObject *args, PyObject *kwargs) {
    static const Signature sig{
        "PyPeptide.__new__()", {"sequence", "monoisotopic", "modifications", "nterm", "cterm"}, 3};
    const Bound b = bind_args(sig, args, kwargs);
    std::string sequence = arg<std::string>(sig, b, 0);
    const float monoisotopic = arg<float>(sig, b, 1);
    auto modifications = arg<std::optional<std::vector<float>>>(sig, b, 2);
    const auto nterm = arg_or<std::optional<float>>(sig, b, 3, std::nullopt);
    const auto cterm = arg_or<std::optional<float>>(sig, b, 4, std::nullopt);
    return new_instance(peptide_type(),
                        mesk::make_peptide(std::move(sequence), monoisotopic, std::move(modifications), nterm, cterm));
}

Ref get_sequence(const mesk::Peptide &p) { return to_py_checked_utf8(p.bytes()); }

Ref get_mod_array(const mesk::Peptide &p) {
    return to_py_list(p.mod_array(), [](float v) { return to_py(v); });
}

std::vector<float> convert_mod_array(PyObject *value) {
    static const Signature sig{"PyPeptide.mod_array", {"mods"}, 1};
    Bound b;
    b.items[0] = value;
    return arg<std::vector<float>>(sig, b, 0);
}

void assign_mod_array(mesk::Peptide &p, std::vector<float> &&mods) {
    const size_t expected = p.modifications.size() + 2;
    if (mods.size() != expected) {
        const std::string msg = "mod_array length " + std::to_string(mods.size()) +
                                " must equal sequence length + 2 (= " + std::to_string(expected) + ")";
        raise(PyExc_ValueError, msg.c_str());
    }
    p.nterm = mods.front();
    std::copy(mods.begin() + 1, mods.end() - 1, p.modifications.begin());
    p.cterm = mods.back();
}

PyGetSetDef peptide_properties[] = {
    {"sequence", property_get<mesk::Peptide, get_sequence>, nullptr, nullptr, nullptr},
    {"mod_array", property_get<mesk::Peptide, get_mod_array>, property_set<mesk::Peptide, std::vector<float>, convert_mod_array, assign_mod_array>,
     "Return combined mod array in the convention: [N-term, per-res..., C-term]", nullptr},
    {"modifications", property_get<mesk::Peptide, get_mod_array>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

}  // namespace

PyTypeObject *peptide_type() {
    static PyTypeObject *type =
        make_class({"tovel_mesk.PyPeptide", "PyPeptide(sequence, monoisotopic, modifications, nterm=None, cterm=None)\n--\n\n",
                    sizeof(Instance<mesk::Peptide>), dealloc_instance<mesk::Peptide>, constructor<new_peptide>,
                    peptide_properties, nullptr, nullptr});
    return type;
}

}  // namespace bind
