import pytest

import veltar_core


@pytest.fixture
def chain():
    return veltar_core.TamoHashChain()
