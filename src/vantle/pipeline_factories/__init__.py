"""Factories that build a started Pipeline for one stream URL."""
