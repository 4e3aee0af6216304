"""Pytest fixtures of the harness, registered by tests/conftest.py."""

from __future__ import annotations

import pytest

from support.db import ScratchDatabase, create_scratch_database, drop_scratch_database


def _scratch(request, engine: str):
    db = create_scratch_database(engine, request.module.__name__.rsplit(".", 1)[-1])
    try:
        yield db
    finally:
        drop_scratch_database(db)


@pytest.fixture(scope="module")
def pg_db(request) -> ScratchDatabase:
    """An empty scratch database on PostgreSQL for this test module."""
    yield from _scratch(request, "postgresql")


@pytest.fixture(scope="module")
def maria_db(request) -> ScratchDatabase:
    """An empty scratch database on MariaDB for this test module."""
    yield from _scratch(request, "mariadb")


@pytest.fixture(scope="module", params=["postgresql", "mariadb"])
def scratch_db(request) -> ScratchDatabase:
    """A scratch database on each server in turn (the tests run twice)."""
    yield from _scratch(request, request.param)


@pytest.fixture
def in_tmp_cwd(tmp_path, monkeypatch):
    """Runs the test with a fresh temporary directory as working directory."""
    monkeypatch.chdir(tmp_path)
    return tmp_path
