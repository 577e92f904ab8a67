"""python -m kestro: the installed release."""
import kestro

print("kestro", kestro.__version__)
