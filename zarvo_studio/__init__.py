"""The studio's side of Zarvo Vestra: publish a game, check a server, upload to a bucket.

One command, `zarvo-studio` (or `python3 -m zarvo_studio` from a checkout); see cli.py.
"""
__version__ = "1.0.0"
