# SPDX-License-Identifier: MIT
"""What the emulated-board suites are given by CTest: the harness's cache, the SoC's map
and the build's products."""
import pytest
from raspi0.soc import Soc

OPTIONS = {
    "--board-cache": "where the harness keeps what the board is made of",
    "--simboard": "the simulated board's simboard, which prints the SoC's map",
    "--board-tool": "the board build's switchPinCtrl",
    "--board-deb": "the board build's armel package",
    "--board-deb-armhf": "the board build's armhf package",
    "--oldcalls": "the helper that the Debian system is made with",
}


def pytest_addoption(parser):
    for name, what in OPTIONS.items():
        parser.addoption(name, help=what)


@pytest.fixture(scope="session")
def option(request):
    return request.config.getoption


@pytest.fixture(scope="session")
def soc(option):
    return Soc(option("--simboard"))
