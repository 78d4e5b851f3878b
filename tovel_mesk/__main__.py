"""`python -m tovel_mesk` runs the `tovel-mesk` command."""

from .cli import run

run()
