class InputError(Exception):
    """A file the aligner cannot use: the message names the file and, where there is one, the
    row, so the command can print it without a traceback."""

    def __init__(self, path: object, problem: str) -> None:
        super().__init__(f"{path}: {problem}")
        self.path = path
        self.problem = problem


class UsageError(Exception):
    """A command line that cannot work whatever the files hold (exit status 2)."""
