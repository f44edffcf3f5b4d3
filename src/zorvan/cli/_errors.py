"""Failures of the command line itself.

Each class stands for one kind of failure; `_failures.describe` turns them,
and the store's own errors, into the one line and exit status the user sees.
"""

from __future__ import annotations

from zorvan.errors import ZorvanError


class CliInputError(ZorvanError):
    """Input the command line rejects before it reaches the store (exit status 2)."""


class UsageError(CliInputError):
    """The command line could not be parsed; `command` is the command whose
    --help explains it, e.g. "zorvan account save"."""

    def __init__(self, message: str, command: str) -> None:
        super().__init__(message)
        self.command = command


class AccountsFileError(ZorvanError):
    """accounts.json exists but cannot serve the command (exit status 1)."""


class OutputFailure(ZorvanError):
    """stdout or stderr could not be written (exit status 1); `stream` is
    "stdout" or "stderr"."""

    def __init__(self, stream: str, error: OSError) -> None:
        super().__init__(error.strerror or str(error))
        self.stream = stream


class CredentialManagerFailure(ZorvanError):
    """The credential manager failed while the command line used it (exit status 3).

    Holds the names needed to explain the failure, never the exception itself:
    a backend may word its errors from its arguments, the password among them.
    """

    def __init__(
        self,
        action: str,
        backend: str | None,
        *,
        error: BaseException | None = None,
        problem: str | None = None,
        done: str | None = None,
        advice: str | None = None,
    ) -> None:
        super().__init__(action)
        # "load", "write", "read" or "delete".
        self.action = action
        # Module and class of the backend; None when none could be loaded.
        self.backend = backend
        # Module and name of the exception the backend raised, if any.
        self.error_type = None if error is None else _qualified_name(type(error))
        # Its own words, kept only where they cannot hold the password: a
        # write receives the password as an argument, the other actions don't.
        self.error_message = None if error is None or action == "write" else str(error)
        # What was wrong when nothing was raised (a wrong result, a kept entry).
        self.problem = problem
        # What the command had already done when the failure came.
        self.done = done
        # What to do about it, where the kind of failure alone can't tell.
        self.advice = advice


def _qualified_name(cls: type) -> str:
    return cls.__qualname__ if cls.__module__ == "builtins" else f"{cls.__module__}.{cls.__qualname__}"
