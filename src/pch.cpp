// Anchor for the shared precompiled headers.
