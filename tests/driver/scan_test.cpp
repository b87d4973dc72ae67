// Filled in by the scan work.
