// Filled in by the xml library's sources.
