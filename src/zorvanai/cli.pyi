"""The zorvanai console command (``zorvanai ask|schema|context|db``)."""

from collections.abc import Sequence

def main(argv: Sequence[str] | None = None) -> int: ...
