import pytest

import crypt_main


@pytest.fixture
def C():
    return crypt_main.TarvikCryptMain


@pytest.fixture
def obj():
    return crypt_main.TarvikCryptMain()
