# SPDX-License-Identifier: MIT
"""What the emulated-board suites are given by CTest: the harness's cache and the build's
products."""
import pytest

OPTIONS = {
    "--board-cache": "where the harness keeps what the board is made of",
    "--board-tool": "the board build's switchPinCtrl",
    "--oldcalls": "the helper that the Debian system is made with",
    "--source": "the source tree, whose README's commands the journeys type",
}


def pytest_addoption(parser: pytest.Parser) -> None:
    for name, what in OPTIONS.items():
        parser.addoption(name, help=what)


@pytest.fixture(scope="session")
def option(request: pytest.FixtureRequest) -> object:
    return request.config.getoption
