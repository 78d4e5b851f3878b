// The module's classes: their type objects (created on first use and kept for the life of
// the process), the values their instances hold, and conversions from their instances.
#pragma once

#include <Python.h>

#include <memory>
#include <optional>

#include "convert.hpp"
#include "database.hpp"
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

// A PyFeature for each match, each with a copy of its peptide from `db`.
Ref features_to_list(std::vector<mesk::Feature> &&features, const mesk::IndexedDatabase &db);

template <>
struct From<mesk::Tolerance> {
    static mesk::Tolerance convert(PyObject *o);
};
template <>
struct From<mesk::Kind> {
    static mesk::Kind convert(PyObject *o);
};
template <>
struct From<mesk::Peptide> {
    static mesk::Peptide convert(PyObject *o);
};
template <>
struct From<mesk::Precursor> {
    static mesk::Precursor convert(PyObject *o);
};
template <>
struct From<SharedDatabase> {
    static SharedDatabase convert(PyObject *o);
};
template <>
struct From<SharedSpectrum> {
    static SharedSpectrum convert(PyObject *o);
};

}  // namespace bind
