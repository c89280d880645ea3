"""GStreamer utilities and time budgets."""
