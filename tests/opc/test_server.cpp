// Filled in by its tests.
