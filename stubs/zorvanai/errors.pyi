"""The package's own exceptions, in one tree below ZorvanError.

ConfigurationError, DatabaseError (ReadOnlyQueryError, PrivilegedLoginError),
ModelServiceError, VendorServiceError, ScriptError and InstallationError. The
modules that raise one offer it under their own name too; both names are the same
class.
"""

import openai
from sqlalchemy.exc import SQLAlchemyError

class ZorvanError(Exception):
    """Base of every exception that the package raises of its own."""

class ConfigurationError(ZorvanError, RuntimeError):
    """Something the package needs is not configured; the message says what to set."""

class DatabaseError(ZorvanError):
    """The database could not be reached or could not answer; the message says what failed."""

class ReadOnlyQueryError(DatabaseError, SQLAlchemyError):
    """A query refused before it reached the database.

    A SQLAlchemyError, so that callers that record database errors record it too.
    Its text says what was refused and what to do instead; ``refused`` names what
    was refused ("a call to pg_sleep()"), ``statement`` is the text as given.
    """

    refused: str | None
    statement: str | None

class PrivilegedLoginError(DatabaseError, SQLAlchemyError):
    """A database login refused in strict mode because it may do more than read."""

class ModelServiceError(ZorvanError, openai.OpenAIError):
    """A chat model's endpoint failed or answered with something other than a chat reply."""

class VendorServiceError(ZorvanError, RuntimeError):
    """The vendor service could not be reached or gave an unusable answer; the message names the address."""

class ScriptError(ZorvanError):
    """Code run in a Sandbox failed; the message is the worker's "{type}: {message}" text."""

class InstallationError(ZorvanError, RuntimeError):
    """Installer runs that failed; ``failures`` lists (package, exit status or None)."""

    failures: list[tuple[str, int | None]]
