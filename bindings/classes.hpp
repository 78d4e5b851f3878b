// The module's classes: their type objects (created on first use and kept for the life of
// the process), the values their instances hold, and conversions from their instances.
#pragma once

#include <Python.h>

#include <memory>
#include <optional>

#include "convert.hpp"
#include "pyclass.hpp"
#include "database.hpp"
#include "index_build.hpp"
#include "peptide.hpp"
#include "scoring.hpp"
#include "spectrum.hpp"
#include "tolerance.hpp"

namespace bind {

// What a PyFeature holds: the match and, when it could be found, a copy of its peptide.
struct FeatureValue {
    mesk::Feature feature;
    std::optional<mesk::Peptide> peptide;
};

using SharedDatabase = std::shared_ptr<const mesk::IndexedDatabase>;
using SharedSpectrum = std::shared_ptr<const mesk::ProcessedSpectrum>;

PyTypeObject *tolerance_type();     // PyTolerance: mesk::Tolerance
PyTypeObject *kind_type();          // PyKind: mesk::Kind
PyTypeObject *peptide_type();       // PyPeptide: mesk::Peptide
PyTypeObject *database_type();      // PyIndexedDatabase: SharedDatabase
PyTypeObject *precursor_type();     // PyPrecursor: mesk::Precursor
PyTypeObject *spectrum_type();      // PyProcessedSpectrum: SharedSpectrum
PyTypeObject *scorer_type();        // PyScorer: mesk::ScorerSettings
PyTypeObject *feature_type();       // PyFeature: FeatureValue
PyTypeObject *fragments_type();     // PyFragments: mesk::Fragments (not a module attribute)

// Python dict of a fragment annotation, shared by PyFragments.to_dict and PyFeature.to_dict.
Ref fragments_dict(const mesk::Fragments &fragments);

// The index settings of a build call, from its arguments 1 to 5: bucket_size, ion_kinds,
// min_ion_index, generate_decoys, decoy_tag (the peptide mass range is left at its default).
mesk::BuildConfig index_settings(const Signature &sig, const Bound &b);

// A PyFeature for each match, each with a copy of its peptide from `db`.
Ref features_to_list(std::vector<mesk::Feature> &&features, const mesk::IndexedDatabase &db);

// The class whose instances carry a T, for arguments declared as that class: an instance
// of exactly that class converts to a copy of its value.
struct ClassRef {
    PyTypeObject *(*type)();
    const char *name;
};
constexpr ClassRef class_of(const mesk::Tolerance *) { return {tolerance_type, "PyTolerance"}; }
constexpr ClassRef class_of(const mesk::Kind *) { return {kind_type, "PyKind"}; }
constexpr ClassRef class_of(const mesk::Peptide *) { return {peptide_type, "PyPeptide"}; }
constexpr ClassRef class_of(const mesk::Precursor *) { return {precursor_type, "PyPrecursor"}; }
constexpr ClassRef class_of(const SharedDatabase *) { return {database_type, "PyIndexedDatabase"}; }
constexpr ClassRef class_of(const SharedSpectrum *) { return {spectrum_type, "PyProcessedSpectrum"}; }
constexpr ClassRef class_of(const mesk::ScorerSettings *) { return {scorer_type, "PyScorer"}; }

template <class T>
struct From<T, std::void_t<decltype(class_of(static_cast<const T *>(nullptr)))>> {
    static T convert(PyObject *o) {
        constexpr ClassRef c = class_of(static_cast<const T *>(nullptr));
        return value_of<T>(o, c.type(), c.name);
    }
};

}  // namespace bind
