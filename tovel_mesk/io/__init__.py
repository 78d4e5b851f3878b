"""Reading spectra files: mzML and MGF readers, and the spectra the search core takes."""
