"""The floor every other part stands on: the operator's errors and where things are."""
