"""Names of the columns of a match table: one row per peptide-spectrum match.

A search produces its matches as columns (one array per name below), never as one Python
object per match. Every stage after scoring (error control, tables, the report) reads and
adds columns by these names, so they are defined once, here.
"""

from __future__ import annotations

#: Which spectrum, and where the match ranks among that spectrum's matches.
#: `file` is the spectra file's name; `spec_id` the spectrum's native id; `rank` starts at 1;
#: `label` is 1 for a target peptide and -1 for a decoy.
IDENTITY = ("file", "spec_id", "rank", "label")

#: The matched peptide: `peptide` in ProForma notation with every modification written as a
#: signed mass (`PEPM[+15.9949]K`, `[+42.0106]-ACDK`), the bare `sequence`, and `proteins`,
#: the accessions joined by ";" (a decoy's accessions carry the decoy tag in front).
PEPTIDE = ("peptide", "sequence", "proteins")

#: Masses in daltons (neutral), charge, and retention time in minutes.
#: `expmass` is the neutral precursor mass observed at the match's charge, `calcmass` the
#: peptide's mass; `delta_mass` is their difference in ppm after the isotope correction.
MASSES = ("charge", "expmass", "calcmass", "delta_mass", "isotope_error", "rt")

#: Numeric features that the search core reports for every match.
CORE_FEATURES = (
    "hyperscore", "delta_next", "delta_best", "matched_peaks", "longest_b", "longest_y",
    "longest_y_pct", "peptide_len", "missed_cleavages", "matched_intensity_pct",
    "scored_candidates", "poisson", "average_ppm", "ms2_intensity",
    "aligned_rt", "predicted_rt", "delta_rt_model", "ims", "predicted_ims", "delta_ims_model",
)

#: Bookkeeping integers: unique per match (`psm_id`), position of the peptide in the index
#: (`peptide_idx`) and of the file in the call (`file_id`). Never used as features.
KEYS = ("psm_id", "peptide_idx", "file_id")

#: Filled by error control.
ERROR_CONTROL = ("discriminant_score", "posterior_error", "spectrum_q", "peptide_q", "protein_q")

#: Numeric features that hold up on low-resolution (ion-trap) fragment spectra, computed for
#: the reported matches; fragment m/z values are put on unit bins (width 1.0005, offset 0.4).
LOW_RES_FEATURES = (
    # Fast cross-correlation of the peptide's ions with the binned, window-normalised
    # spectrum less its background (the mean over +-75 bins); higher is better.
    "xcorr",
    # xcorr less the best xcorr of any other candidate in the precursor window (0 if none is positive).
    "delta_xcorr",
    # log10 of the number of candidates expected to reach this xcorr by chance: the share of a
    # null of 2000 generated peptides of the precursor's mass expected at or above it (an
    # exponential tail fitted over the null's top tenth) times the candidates in the precursor
    # windows, counted as at least 2000; lower is better. The generated peptides draw their
    # residues, and their C-terminal residue apart, from the database's peptides.
    "log10_evalue",
    # Share of the 20 most intense peaks within the fragment tolerance of one of the peptide's ions.
    "top_peaks_explained",
    # Matched peaks over the theoretical ions the search looked up (kinds x bonds x fragment charges).
    "matched_ion_fraction",
    # Absolute precursor mass error in ppm, after the isotope correction.
    "abs_delta_mass",
)

#: The protein table of error control: one row per target protein group (see
#: `tovel_mesk.fdr.groups`). `group` numbers the groups from 1, best first; `accessions` holds
#: the group's proteins joined by ";", the `lead` first; `description` is the lead's FASTA
#: header after its accession. `peptides_unique` and `peptides_razor` count the accepted
#: peptides unique to the group and the shared ones counted for it, `spectra` the accepted
#: spectra of those peptides; `coverage` is the share of the lead's residues covered by its
#: accepted peptides; `q` is the group's q-value from picked competition with its decoy group.
PROTEIN_TABLE = (
    "group", "accessions", "lead", "description", "peptides_unique", "peptides_razor", "spectra",
    "coverage", "q",
)
