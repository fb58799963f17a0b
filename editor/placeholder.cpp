// Filled in by later work.
