"""``python -m tarvic``: the ``tarvic`` command line."""
from .cli import console

console()
