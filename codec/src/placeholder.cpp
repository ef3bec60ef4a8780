// Filled in by the codec library's sources.
