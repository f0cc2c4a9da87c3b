"""Calderwick demo: grows with the module."""
import Calderwick

print("2 + 3 =", Calderwick.sum_as_string(2, 3))
