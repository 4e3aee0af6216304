"""Pytest fixtures of the harness, registered by tests/conftest.py."""

from __future__ import annotations

import pytest

from support.db import ScratchDatabase, create_scratch_database, drop_scratch_database
from support.model_server import ModelServer
from support.vendor_server import ENV_VAR, VendorServer


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


# The stand-in servers start once per session and are reset before each test.
@pytest.fixture(scope="session")
def _model_server_process():
    with ModelServer() as server:
        yield server


@pytest.fixture(scope="session")
def _vendor_server_process():
    with VendorServer() as server:
        yield server


@pytest.fixture
def model_server(_model_server_process) -> ModelServer:
    """The Azure OpenAI chat stand-in, with an empty script and no records."""
    _model_server_process.reset()
    yield _model_server_process
    _model_server_process.reset()


@pytest.fixture
def vendor_server(_vendor_server_process) -> VendorServer:
    """The vendor service stand-in, with an empty deployment list and no records."""
    _vendor_server_process.reset()
    yield _vendor_server_process
    _vendor_server_process.reset()


@pytest.fixture
def vendor_env(vendor_server, monkeypatch) -> VendorServer:
    """The vendor stand-in, with ZORVAN_API_URL set to its base address for this test."""
    monkeypatch.setenv(ENV_VAR, vendor_server.url)
    return vendor_server
