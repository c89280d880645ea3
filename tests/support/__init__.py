"""Test infrastructure: media generation, the local HTTP server, leak checks."""
