"""Shared pieces of the test harness; the fixtures themselves live in tests/conftest.py."""
