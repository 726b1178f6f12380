"""Exception classes shared by every module of the package."""


class ApplicationError(Exception):
    """A failure the service reports to its users, built with one message text."""

    def __init__(self, message: str) -> None:
        super().__init__(message)
        self.message = message
