import pytest

import fernquill


def _panic_exception_type():
    # The class is not a module attribute; a malformed match state raises it.
    try:
        fernquill.PyKeywordMatch("", 0.0, 0, 0).__setstate__(b"")
    except BaseException as exc:  # noqa: BLE001 - we want exactly this class
        return type(exc)
    raise AssertionError("an empty match state was accepted")


PanicException = _panic_exception_type()


@pytest.fixture
def kp():
    return fernquill.KeywordProcessor()
