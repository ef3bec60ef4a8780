// Filled in by the watch library's sources.
