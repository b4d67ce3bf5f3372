import os

import pytest

import crypt_main


def pytest_report_header():
    return "crypt_main: " + crypt_main.__file__


def pytest_configure():
    # A check of an installed wheel names where it is installed, so that a
    # stray build elsewhere on sys.path cannot stand in for it.
    prefix = os.environ.get("CRYPT_MAIN_INSTALLED_UNDER")
    if prefix and not os.path.realpath(crypt_main.__file__).startswith(os.path.join(os.path.realpath(prefix), "")):
        raise pytest.UsageError("crypt_main was imported from %s, not from under %s" % (crypt_main.__file__, prefix))


@pytest.fixture
def C():
    return crypt_main.TarvikCryptMain


@pytest.fixture
def obj():
    return crypt_main.TarvikCryptMain()
