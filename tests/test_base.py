"""Value vocabulary of nimbrel.quorvel.data.base."""

import abc
import types
import typing

import pytest

from nimbrel.quorvel.data import base
from nimbrel.quorvel.data.base import BaseContent, PrimitiveArgs, PrimitiveClass, PrimitiveTypes

T = typing.TypeVar("T")


class Other:
    pass


def test_base_content_metaclass_is_abcmeta():
    assert isinstance(BaseContent, abc.ABCMeta)
    assert issubclass(type(BaseContent), abc.ABCMeta)


def test_base_content_has_no_abstract_methods_and_no_type_key():
    assert not getattr(BaseContent, "__abstractmethods__", frozenset())
    assert not hasattr(BaseContent, "type_key")

    class Plain(BaseContent):
        pass

    assert isinstance(Plain(), BaseContent)


def test_subclass_abstract_methods_are_enforced():
    class Abstract(BaseContent):
        @abc.abstractmethod
        def build(self): ...

    with pytest.raises(TypeError):
        Abstract()

    class Concrete(Abstract):
        def build(self):
            return 1

    assert Concrete().build() == 1


def test_register_makes_virtual_subclass():
    class Outsider:
        pass

    class Family(BaseContent):
        pass

    Family.register(Outsider)
    assert isinstance(Outsider(), Family)
    assert isinstance(Outsider(), BaseContent)


@pytest.mark.parametrize(
    "extra_bases, sample",
    [
        ((dict,), lambda cls: cls(a=1)),
        ((list,), lambda cls: cls([1, 2])),
        ((typing.Generic[T],), lambda cls: cls[int]()),
        ((dict, typing.Generic[T]), lambda cls: cls[str](b=2)),
        ((list, typing.Generic[T]), lambda cls: cls[int]([3])),
    ],
    ids=["dict", "list", "generic", "dict-generic", "list-generic"],
)
def test_combines_with_other_bases(extra_bases, sample):
    cls = types.new_class("Combined", (BaseContent, *extra_bases))
    assert isinstance(cls, abc.ABCMeta)
    obj = sample(cls)
    assert isinstance(obj, BaseContent)
    assert isinstance(obj, cls)
    for b in extra_bases:
        if isinstance(b, type):
            assert isinstance(obj, b)


def test_primitive_args():
    assert PrimitiveArgs == (bool, int, float, str)
    assert type(PrimitiveArgs) is tuple


@pytest.mark.parametrize("value", [True, 0, -3, 1.5, float("nan"), "", "text"])
def test_primitive_instances(value):
    assert isinstance(value, PrimitiveArgs)
    assert isinstance(value, PrimitiveTypes)


@pytest.mark.parametrize("value", [None, b"x", [], {}, 1j, Other(), int])
def test_non_primitive_instances(value):
    assert not isinstance(value, PrimitiveArgs)
    assert not isinstance(value, PrimitiveTypes)


@pytest.mark.parametrize("tp", [bool, int, float, str])
def test_membership_of_primitive_classes(tp):
    assert tp in PrimitiveArgs


@pytest.mark.parametrize("tp", [bytes, list, dict, complex, type(None), Other])
def test_membership_of_other_classes(tp):
    assert tp not in PrimitiveArgs


@pytest.mark.parametrize("alias", [PrimitiveTypes, PrimitiveClass], ids=["types", "class"])
@pytest.mark.parametrize("other", [None, Other, BaseContent], ids=["none", "other", "content"])
def test_aliases_combine_with_or(alias, other):
    left = alias | other
    right = other | alias
    args = typing.get_args(left)
    assert args, left
    assert set(typing.get_args(left)) == set(typing.get_args(right))
    wanted = type(None) if other is None else other
    assert wanted in args


def test_primitive_types_union_members():
    assert set(typing.get_args(PrimitiveTypes)) == {bool, int, float, str}
    assert isinstance(True, PrimitiveTypes | None)
    assert isinstance(None, PrimitiveTypes | None)


def test_module_exports():
    for name in ("BaseContent", "PrimitiveTypes", "PrimitiveClass", "PrimitiveArgs"):
        assert hasattr(base, name)
