"""Error classes of nimbrel.quorvel.core.exceptions."""

import pytest

from nimbrel.quorvel.core import exceptions

MODULE = "nimbrel.quorvel.core.exceptions"

SUBCLASS_NAMES = [
    "QuorvelParseError",
    "QuorvelTypeResolutionError",
    "QuorvelUserError",
    "QuorvelMetadataError",
    "QuorvelValidationError",
    "QuorvelImplementationError",
    "QuorvelSchemaError",
]
ALL_NAMES = ["QuorvelError", *SUBCLASS_NAMES]

MESSAGES = [
    "Field 'port' is not a valid integer.",
    "",
    "multi\nline message with ünïcödé and 'quotes'",
    "x" * 5000,
]


def test_base_error_derives_from_exception():
    assert issubclass(exceptions.QuorvelError, Exception)
    assert exceptions.QuorvelError.__mro__[1:].count(Exception) == 1


@pytest.mark.parametrize("name", SUBCLASS_NAMES)
def test_subclasses_derive_from_base_error(name):
    cls = getattr(exceptions, name)
    assert cls is not exceptions.QuorvelError
    assert issubclass(cls, exceptions.QuorvelError)
    assert not issubclass(exceptions.QuorvelError, cls)


@pytest.mark.parametrize("name", ALL_NAMES)
def test_class_identity(name):
    cls = getattr(exceptions, name)
    assert isinstance(cls, type)
    assert cls.__name__ == name
    assert cls.__module__ == MODULE


@pytest.mark.parametrize("message", MESSAGES)
@pytest.mark.parametrize("name", ALL_NAMES)
def test_str_is_the_message(name, message):
    err = getattr(exceptions, name)(message)
    assert str(err) == message


@pytest.mark.parametrize("name", ALL_NAMES)
def test_raised_error_is_caught_as_base_error(name):
    cls = getattr(exceptions, name)
    with pytest.raises(exceptions.QuorvelError) as info:
        raise cls("boom.")
    assert type(info.value) is cls
    assert str(info.value) == "boom."


@pytest.mark.parametrize("name", ALL_NAMES)
def test_caught_by_generic_exception_handler(name):
    cls = getattr(exceptions, name)
    try:
        raise cls("caught.")
    except Exception as exc:  # noqa: BLE001 - the point of the test
        caught = exc
    assert isinstance(caught, cls)


@pytest.mark.parametrize("name", ALL_NAMES)
def test_explicit_cause_and_implicit_context(name):
    cls = getattr(exceptions, name)
    with pytest.raises(cls) as info:
        try:
            raise ValueError("inner")
        except ValueError as inner:
            raise cls("outer.") from inner
    assert isinstance(info.value.__cause__, ValueError)
    assert info.value.__suppress_context__

    with pytest.raises(cls) as info:
        try:
            raise KeyError("inner")
        except KeyError:
            raise cls("outer.")
    assert info.value.__cause__ is None
    assert isinstance(info.value.__context__, KeyError)


def test_sibling_classes_are_distinct():
    classes = [getattr(exceptions, name) for name in SUBCLASS_NAMES]
    assert len(set(classes)) == len(classes)
    for a in classes:
        for b in classes:
            if a is not b:
                with pytest.raises(a):
                    try:
                        raise a("m.")
                    except b:  # must not catch a sibling
                        pytest.fail(f"{b.__name__} caught {a.__name__}")
