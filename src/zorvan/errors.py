"""The base of every error zorvan raises on purpose."""


class ZorvanError(Exception):
    """An error meant for the user: its message says what went wrong."""
