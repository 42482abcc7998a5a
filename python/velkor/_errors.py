# SPDX-License-Identifier: MIT
"""The package's exceptions."""


class Error(ValueError):
    """Base of velkor's errors; str(e) and e.reason give the reason."""

    def __init__(self, reason: str) -> None:
        super().__init__(reason)
        self.reason = reason


class TagError(Error):
    """A tagged file that does not check, or data too large to tag."""


class ContainerError(Error):
    """A container that cannot be read, or parameters that cannot be packed."""
