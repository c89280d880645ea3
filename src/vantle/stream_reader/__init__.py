"""Stream readers and the validation of their options."""
