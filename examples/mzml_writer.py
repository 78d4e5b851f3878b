"""A small mzML writer for simulated runs: MS2 spectra with one precursor each, arrays as
base64 of little-endian floats (64-bit, zlib-compressed by default)."""

from __future__ import annotations

import base64
import zlib
from dataclasses import dataclass
from pathlib import Path
from xml.sax.saxutils import quoteattr

import numpy as np


@dataclass
class Ms2:
    id: str                   # native id, e.g. "scan=12"
    rt_seconds: float
    precursor_mz: float
    charge: int | None
    mz: np.ndarray            # observed m/z, ascending
    intensity: np.ndarray
    isolation_half_width: float = 1.0


def _array(values: np.ndarray, accession: str, name: str, unit: str, compress: bool) -> str:
    raw = np.asarray(values, dtype="<f8").tobytes()
    data = base64.b64encode(zlib.compress(raw) if compress else raw).decode()
    compression = ('<cvParam cvRef="MS" accession="MS:1000574" name="zlib compression" value=""/>' if compress
                   else '<cvParam cvRef="MS" accession="MS:1000576" name="no compression" value=""/>')
    return (f'<binaryDataArray encodedLength="{len(data)}">'
            f'<cvParam cvRef="MS" accession="MS:1000523" name="64-bit float" value=""/>{compression}'
            f'<cvParam cvRef="MS" accession="{accession}" name="{name}" value="" unitCvRef="MS" {unit}/>'
            f'<binary>{data}</binary></binaryDataArray>')


def write_mzml(path: Path, spectra: list[Ms2], compress: bool = True) -> None:
    """Writes `spectra` as one mzML run."""
    parts = ['<?xml version="1.0" encoding="utf-8"?>\n'
             '<mzML xmlns="http://psi.hupo.org/ms/mzml" version="1.1.0">'
             '<cvList count="2"><cv id="MS" fullName="Proteomics Standards Initiative Mass Spectrometry Ontology"'
             ' URI="https://raw.githubusercontent.com/HUPO-PSI/psi-ms-CV/master/psi-ms.obo"/>'
             '<cv id="UO" fullName="Unit Ontology" URI="http://ontologies.berkeleybop.org/uo.obo"/></cvList>'
             '<fileDescription><fileContent><cvParam cvRef="MS" accession="MS:1000580" name="MSn spectrum" value=""/>'
             '</fileContent></fileDescription>'
             '<softwareList count="1"><software id="demo" version="1"/></softwareList>'
             '<instrumentConfigurationList count="1"><instrumentConfiguration id="IC1"/></instrumentConfigurationList>'
             '<dataProcessingList count="1"><dataProcessing id="DP1"><processingMethod order="0" softwareRef="demo">'
             '<cvParam cvRef="MS" accession="MS:1000544" name="Conversion to mzML" value=""/></processingMethod>'
             '</dataProcessing></dataProcessingList>'
             '<run id="simulated" defaultInstrumentConfigurationRef="IC1">'
             f'<spectrumList count="{len(spectra)}" defaultDataProcessingRef="DP1">']
    for index, s in enumerate(spectra):
        charge = (f'<cvParam cvRef="MS" accession="MS:1000041" name="charge state" value="{s.charge}"/>'
                  if s.charge else "")
        tic = float(np.sum(s.intensity, dtype=np.float64))
        parts.append(
            f'<spectrum index="{index}" id={quoteattr(s.id)} defaultArrayLength="{len(s.mz)}">'
            '<cvParam cvRef="MS" accession="MS:1000511" name="ms level" value="2"/>'
            '<cvParam cvRef="MS" accession="MS:1000580" name="MSn spectrum" value=""/>'
            '<cvParam cvRef="MS" accession="MS:1000127" name="centroid spectrum" value=""/>'
            f'<cvParam cvRef="MS" accession="MS:1000285" name="total ion current" value="{tic!r}"/>'
            '<scanList count="1"><cvParam cvRef="MS" accession="MS:1000795" name="no combination" value=""/>'
            f'<scan><cvParam cvRef="MS" accession="MS:1000016" name="scan start time" value="{s.rt_seconds!r}" '
            'unitCvRef="UO" unitAccession="UO:0000010" unitName="second"/></scan></scanList>'
            '<precursorList count="1"><precursor><isolationWindow>'
            f'<cvParam cvRef="MS" accession="MS:1000827" name="isolation window target m/z" value="{s.precursor_mz!r}" '
            'unitCvRef="MS" unitAccession="MS:1000040" unitName="m/z"/>'
            f'<cvParam cvRef="MS" accession="MS:1000828" name="isolation window lower offset" '
            f'value="{s.isolation_half_width!r}" unitCvRef="MS" unitAccession="MS:1000040" unitName="m/z"/>'
            f'<cvParam cvRef="MS" accession="MS:1000829" name="isolation window upper offset" '
            f'value="{s.isolation_half_width!r}" unitCvRef="MS" unitAccession="MS:1000040" unitName="m/z"/>'
            '</isolationWindow><selectedIonList count="1"><selectedIon>'
            f'<cvParam cvRef="MS" accession="MS:1000744" name="selected ion m/z" value="{s.precursor_mz!r}" '
            'unitCvRef="MS" unitAccession="MS:1000040" unitName="m/z"/>'
            f'{charge}</selectedIon></selectedIonList>'
            '<activation><cvParam cvRef="MS" accession="MS:1000133" name="collision-induced dissociation" value=""/>'
            '</activation></precursor></precursorList>'
            '<binaryDataArrayList count="2">'
            + _array(s.mz, "MS:1000514", "m/z array", 'unitAccession="MS:1000040" unitName="m/z"', compress)
            + _array(s.intensity, "MS:1000515", "intensity array",
                     'unitAccession="MS:1000131" unitName="number of detector counts"', compress)
            + '</binaryDataArrayList></spectrum>')
    parts.append('</spectrumList></run></mzML>\n')
    Path(path).write_text("".join(parts), encoding="utf-8")
