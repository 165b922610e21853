"""Type arguments, type keys and implementation lookup in nimbrel.quorvel.typing.type_lookup."""

import abc
import collections.abc
import inspect
import itertools
import logging
import re
import typing

import pytest

from nimbrel.quorvel.core.exceptions import QuorvelImplementationError, QuorvelUserError
from nimbrel.quorvel.typing import type_lookup
from nimbrel.quorvel.typing.generic_params import GenericWithArgs
from nimbrel.quorvel.typing.type_lookup import (
    SupportsTypeKey, get_implementation, get_implementations, resolve_generic_arg,
    resolve_generic_args, subclasses, type_args_of, type_key, type_key_class,
)

MODULE = "nimbrel.quorvel.typing.type_lookup"
T = typing.TypeVar("T")
KW, POS = inspect.Parameter.KEYWORD_ONLY, inspect.Parameter.POSITIONAL_OR_KEYWORD
IMPL = "Type[__get_implementation_type]"
MODULE_NAMES = [
    "getLogger", "Any", "TypeVar", "cast", "get_args", "get_origin", "overload",
    "runtime_checkable", "Protocol", "Type", "Never", "QuorvelImplementationError",
    "QuorvelUserError", "python_identifier_to_type_key", "BaseContent", "logger",
    "type_args_of", "resolve_generic_arg", "resolve_generic_args", "_TSupports",
    "SupportsTypeKey", "type_key", "type_key_class", "__get_implementation_type",
    "get_implementation", "get_implementations", "__subclasses_tv", "subclasses",
]


class MyStr(str): pass
class Box(GenericWithArgs): pass
class G(typing.Generic[T]): pass
class IntG(G[int]): pass
class IntGChild(IntG): pass  # inherits the __orig_bases__ of IntG
class IntList(list[int]): pass
class Both(G[int], dict[str, float]): pass
class DictThenGeneric(dict[str, float], typing.Generic[T]): pass
class StoredWins(list[int]): __type_args__ = (str,)


class BoxAndSequence(Box[int], collections.abc.Sequence[str]):
    def __getitem__(self, i): ...
    def __len__(self): ...


class EqualsEverything(type):
    __hash__ = type.__hash__

    def __eq__(cls, other):
        return True


class Lookalike(metaclass=EqualsEverything):
    """Compares equal to every origin without being any of them."""


class StoredList:
    __type_args__ = [int]
    __origin__ = Box


class Exploding:
    @property
    def __type_args__(self):
        raise RuntimeError("boom")


# ---------------------------------------------------------------- module layout


def test_module_layout():
    assert [n for n in vars(type_lookup) if n in MODULE_NAMES] == MODULE_NAMES
    assert type_lookup.Any is typing.Any and type_lookup.get_args is typing.get_args
    assert type_lookup.getLogger is logging.getLogger
    assert isinstance(type_lookup.logger, logging.Logger) and type_lookup.logger.name == MODULE
    assert type_lookup._TSupports.__bound__ == typing.ForwardRef("SupportsTypeKey")
    assert vars(type_lookup)["__get_implementation_type"].__name__ == "__get_implementation_type"
    assert vars(type_lookup)["__subclasses_tv"].__name__ == "__subclasses_tv"
    assert SupportsTypeKey.__doc__ == "Protocol for classes that support a type key classmethod."
    assert typing.Protocol in SupportsTypeKey.__bases__
    method = vars(SupportsTypeKey)["type_key"]
    assert isinstance(method, classmethod)
    assert str(inspect.signature(method.__func__)) == "(cls: 'Type[_TSupports]') -> 'str'"
    assert method.__func__.__doc__ == "Return the string identifier of the type, used for Union dispatch."


@pytest.mark.parametrize(
    "func, text",
    [
        (type_args_of, "(tp: 'Any', *, of: 'Any | None' = None) -> 'tuple[Any, ...]'"),
        (resolve_generic_arg, "(tp: 'Any', *, index: 'int' = 0, default: 'Any' = typing.Any, "
                              "of: 'Any | None' = None) -> 'Any'"),
        (resolve_generic_args, "(tp: 'Any', *, of: 'Any | None' = None) -> 'tuple[Any, ...]'"),
        (type_key, "(bc: 'BaseContent | object') -> 'str'"),
        (type_key_class, "(tp: 'Type[Any] | str') -> 'str'"),
        (get_implementation, f"(super_class: '{IMPL}', sub_class_name: 'str | None', "
                             f"default: '{IMPL} | None' = None, ignore_list: 'list[{IMPL}] | None' = None, "
                             f"continue_multiple: 'bool' = False) -> '{IMPL}'"),
        (get_implementations, f"(super_class: '{IMPL}', sub_class_name: 'str | None' = None, "
                              f"ignore_list: 'list[{IMPL}] | None' = None) -> 'list[{IMPL}]'"),
        (subclasses, "(super_class: 'Type[__subclasses_tv]') -> 'set[Type[__subclasses_tv]]'"),
    ],
)
def test_signatures(func, text):
    sig = inspect.signature(func)
    assert str(sig) == text
    keyword_only = func in (type_args_of, resolve_generic_arg, resolve_generic_args)
    assert [p.kind for p in sig.parameters.values()] == [POS] + [KW if keyword_only else POS] * (len(sig.parameters) - 1)
    if func is resolve_generic_arg:
        assert sig.parameters["default"].default is typing.Any


# ---------------------------------------------------------------- type arguments


@pytest.mark.parametrize(
    "tp, of, expected",
    [
        (Box[int], None, (int,)), (Box[int], Box, (int,)), (Box[int], list, ()),
        (Box[int, str], None, (int, str)), (type("Sub", (Box[int],), {}), Box, (int,)),
        (BoxAndSequence, None, (int,)), (BoxAndSequence, collections.abc.Sequence, (str,)),
        (list[int], None, (int,)), (list[int], list, (int,)), (list[int], dict, ()),
        (dict[str, int], dict, (str, int)), (typing.List[int], list, (int,)),
        (int, None, ()), (None, None, ()), (int, int, ()),
        (IntList, None, (int,)), (IntList, list, (int,)), (IntList, dict, ()),
        (IntG, None, (int,)), (IntGChild, G, (int,)), (G, None, (T,)), (G, typing.Generic, (T,)),
        (G[int], None, (int,)), (G[int], G, (int,)),
        (Both, None, (int,)), (Both, dict, (str, float)), (Both, G, (int,)),
        (DictThenGeneric, None, (str, float)), (DictThenGeneric, typing.Generic, (T,)),
        (DictThenGeneric[int], None, (int,)), (DictThenGeneric[int], dict, (str, float)),
        (StoredWins, None, (str,)), (StoredWins, list, (int,)),
        (list["Later"], None, ("Later",)), (tuple[int, ...], None, (int, Ellipsis)),
        (typing.Callable[..., int], None, (Ellipsis, int)),
    ],
)
def test_type_args_of(tp, of, expected):
    assert type_args_of(tp, of=of) == expected
    assert resolve_generic_args(tp, of=of) == expected
    assert type(type_args_of(tp, of=of)) is tuple


@pytest.mark.parametrize("tp", [Box[int], list[int], IntList, IntGChild])
def test_of_is_compared_by_identity(tp):
    assert Lookalike == Box and Lookalike == list and Lookalike == G
    assert type_args_of(tp, of=Lookalike) == ()
    assert resolve_generic_arg(tp, of=Lookalike) is typing.Any
    if isinstance(tp, type) and issubclass(tp, Box):  # stored arguments are handed out as they are
        assert type_args_of(tp) is tp.__type_args__ is resolve_generic_args(tp, of=Box)


@pytest.mark.parametrize("of", [None, Box])
def test_stored_arguments_must_be_a_tuple(of):
    with pytest.raises(TypeError) as info:
        type_args_of(StoredList, of=of)
    assert str(info.value) == "Expected tuple, got list"
    assert type_args_of(StoredList, of=dict) == ()  # not returned, so not checked


def test_lookups_at_call_time_and_propagated_errors(monkeypatch):
    with pytest.raises(RuntimeError, match="^boom$"):
        type_args_of(Exploding())
    monkeypatch.setattr(type_lookup, "get_args", lambda tp: ("patched",))
    assert type_args_of(int) == ("patched",)
    assert type_args_of(Box[int]) == (int,)


@pytest.mark.parametrize(
    "tp, kwargs, expected",
    [
        (list[int], {}, int), (list[int], {"index": 1}, typing.Any),
        (list[int], {"index": 1, "default": None}, None), (dict[str, int], {"index": 1}, int),
        (dict[str, int], {"index": 1.7}, int), (dict[str, int], {"index": True}, int),
        (dict[str, int], {"index": -1}, int), (dict[str, int], {"index": -2}, str),
        (int, {"default": "fallback"}, "fallback"), (Both, {"of": dict, "index": 1}, float),
        (Box[int, str], {"index": 1, "of": Box}, str),
    ],
)
def test_resolve_generic_arg(tp, kwargs, expected):
    assert resolve_generic_arg(tp, **kwargs) is expected


@pytest.mark.parametrize(
    "tp, index, error, message",
    [(list[int], "1", TypeError, "Argument 'index' has incorrect type (expected int, got str)"),
     (int, -1, IndexError, None), (list[int], -2, IndexError, None), (dict[str, int], -3, IndexError, None)],
)
def test_bad_index(tp, index, error, message):
    with pytest.raises(error) as info:
        resolve_generic_arg(tp, index=index)
    assert message is None or str(info.value) == message


@pytest.mark.parametrize("func", [type_args_of, resolve_generic_arg, resolve_generic_args])
def test_options_are_keyword_only(func):
    with pytest.raises(TypeError):
        func(list[int], list)


# ---------------------------------------------------------------- type keys


class ModelSettings: pass
class ShortKey: type_key = classmethod(lambda cls: "ms")
class Hidden(ShortKey): type_key = None
class IntKey: type_key = classmethod(lambda cls: 5)
class NoneKey: type_key = classmethod(lambda cls: None)
class NeedsArgument: type_key = lambda self: "never"  # noqa: E731


class ReprHandlesErrors(type):
    """A metaclass whose repr raises and handles an error of its own."""

    def __repr__(cls):
        try:
            raise KeyError("inside repr")
        except KeyError:
            pass
        return "<quiet repr>"


# The message shows the class, whose repr runs code here while the failure it reports is held.
class QuietIntKey(metaclass=ReprHandlesErrors): type_key = classmethod(lambda cls: 5)


def raising(exc):
    def behaviour(cls):
        raise exc
    return behaviour


KEY_ERROR = ValueError("no key")
class FailingKey: type_key = classmethod(raising(KEY_ERROR))


@pytest.mark.parametrize("tp, expected", [(ShortKey, True), (Hidden, False), (ModelSettings, False),
                                          (NeedsArgument, True), (int, False)])
def test_supports_type_key_without_inheritance(tp, expected):
    assert issubclass(tp, SupportsTypeKey) is expected


@pytest.mark.parametrize(
    "tp, expected",
    [(ModelSettings, "model_settings"), (ShortKey, "ms"), (Hidden, "hidden"), (NoneKey, None),
     (type("XMLParser", (), {}), "xml_parser"), (int, "int"), (abc.ABC, "abc"),
     ("ModelSettings", "ModelSettings"), ("", ""), ("any text", "any text")],
)
def test_type_key_class(tp, expected):
    assert type_key_class(tp) == expected
    if isinstance(tp, str):
        assert type_key_class(tp) is tp


@pytest.mark.parametrize(
    "tp, shown", [(list[int], "list[int]"), (5, "5"), (IntKey, str(IntKey)), (NeedsArgument, str(NeedsArgument)),
                  (QuietIntKey, "<quiet repr>")]
)
def test_invalid_type_key_lookup(tp, shown):
    with pytest.raises(QuorvelImplementationError) as info:
        type_key_class(tp)
    assert str(info.value) == "Invalid type key lookup: " + shown
    assert isinstance(info.value.__context__, TypeError)
    assert info.value.__cause__ is None
    if tp in (IntKey, QuietIntKey):
        assert str(info.value.__context__) == "Expected str, got int"
    if tp is IntKey:
        assert re.fullmatch(r"Invalid type key lookup: <class '[\w.]+\.IntKey'>", str(info.value))


class ShownByMeta(type):
    def __str__(cls):
        return "shown by its metaclass"


class MetaShownIntKey(metaclass=ShownByMeta):
    type_key = classmethod(lambda cls: 5)


def test_invalid_type_key_lookup_holds_the_error_aside_while_showing_the_class():
    # str of the class runs Python code, which must not find the TypeError still raised.
    with pytest.raises(QuorvelImplementationError) as info:
        type_key_class(MetaShownIntKey)
    assert str(info.value) == "Invalid type key lookup: shown by its metaclass"
    assert type(info.value.__context__) is TypeError and info.value.__cause__ is None


def test_type_key_errors_other_than_type_error_propagate():
    with pytest.raises(ValueError) as info:
        type_key_class(FailingKey)
    assert info.value is KEY_ERROR


@pytest.mark.parametrize("value, expected", [(ModelSettings(), "model_settings"), (ShortKey(), "ms"),
                                             (5, "int"), ("abc", "str"), (None, "none_type")])
def test_type_key_of_instances(value, expected):
    assert type_key(value) == expected == type_key_class(type(value))


@pytest.mark.parametrize("cls", [ModelSettings, ShortKey, int, abc.ABC])
def test_type_key_rejects_classes(cls):
    with pytest.raises(QuorvelImplementationError) as info:
        type_key(cls)
    assert str(info.value) == f"The function type_key expects an instance, not a type {cls}."
    assert str(info.value).startswith("The function type_key expects an instance, not a type <class '")


# ---------------------------------------------------------------- subclasses


def test_subclasses_diamond_and_levels():
    class Base(abc.ABC): ...
    class A(Base): ...
    class B(Base): ...
    class C(B, A): ...
    class D(C): ...
    result = subclasses(Base)
    assert type(result) is set and result == {A, B, C, D}
    assert subclasses(B) == {C, D} == subclasses(A)
    assert subclasses(D) == set()
    assert subclasses(Base) is not result
    Base.register(int)  # virtual subclasses are not descendants
    assert subclasses(Base) == {A, B, C, D}


@pytest.mark.parametrize("value", [5, "text", None])
def test_subclasses_without_the_attribute(value):
    assert not hasattr(value, "__subclasses__")
    assert subclasses(value) == set()


def test_subclasses_requires_a_list():
    class Odd: __subclasses__ = lambda self: (int,)  # noqa: E731
    with pytest.raises(TypeError, match=r"^Expected list, got tuple$"):
        subclasses(Odd())


# ---------------------------------------------------------------- implementation lookup


def ambiguous_family():
    class Base: ...
    class FooBar(Base): ...
    class foo_bar(Base): ...  # noqa: N801
    class Other(Base): ...
    return Base, FooBar, foo_bar, Other


def ambiguity_messages(base, classes, name):
    return {f"Name ambiguity for {base}'s subclasses: Multiple candidates {list(p)} for {name}."
            for p in itertools.permutations(classes)}


def test_get_implementations():
    Base, FooBar, foo_bar, Other = ambiguous_family()
    all_found = get_implementations(Base)
    assert type(all_found) is list and sorted(all_found, key=id) == sorted([FooBar, foo_bar, Other], key=id)
    assert set(get_implementations(Base, "foo_bar")) == {FooBar, foo_bar}
    assert get_implementations(Base, "foo_bar", [FooBar]) == [foo_bar]
    assert get_implementations(super_class=Base, sub_class_name="other", ignore_list=None) == [Other]
    assert get_implementations(Base, "missing") == []
    assert get_implementation(Base, "other") is Other
    assert get_implementation(Base, "foo_bar", ignore_list=[foo_bar]) is FooBar


def test_get_implementations_without_name_skips_type_keys():
    class Base: ...
    class Broken(Base): type_key = classmethod(lambda cls: 1 / 0)
    assert get_implementations(Base) == [Broken]
    with pytest.raises(ZeroDivisionError):
        get_implementations(Base, "broken")


@pytest.mark.parametrize("func", [get_implementation, get_implementations])
@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"sub_class_name": MyStr("a")}, "Argument 'sub_class_name' has incorrect type (expected str, got MyStr)"),
        ({"sub_class_name": 5}, "Argument 'sub_class_name' has incorrect type (expected str, got int)"),
        ({"sub_class_name": "a", "ignore_list": (int,)},
         "Argument 'ignore_list' has incorrect type (expected list, got tuple)"),
    ],
)
def test_argument_types_are_checked(func, kwargs, message):
    Base, *_ = ambiguous_family()
    with pytest.raises(TypeError) as info:
        func(Base, **kwargs)
    assert str(info.value) == message


@pytest.mark.parametrize("flag", [False, 0, ""])
def test_ambiguity_raises(flag):
    Base, FooBar, foo_bar, _ = ambiguous_family()
    with pytest.raises(QuorvelImplementationError) as info:
        get_implementation(Base, "foo_bar", continue_multiple=flag)
    assert str(info.value) in ambiguity_messages(Base, [FooBar, foo_bar], "foo_bar")


@pytest.mark.parametrize("flag", [True, 1, "yes"])
def test_ambiguity_logged_with_continue_multiple(flag, caplog):
    Base, FooBar, foo_bar, _ = ambiguous_family()
    with caplog.at_level(logging.DEBUG, logger=MODULE):
        found = get_implementation(Base, "foo_bar", continue_multiple=flag)
    [record] = [r for r in caplog.records if r.name == MODULE]
    assert record.levelno == logging.WARNING and record.args == ()
    assert found in (FooBar, foo_bar)
    other = foo_bar if found is FooBar else FooBar
    # the class returned is the first candidate named in the message
    assert record.getMessage() == (
        f"Name ambiguity for {Base}'s subclasses: Multiple candidates {[found, other]} for foo_bar."
    )
    caplog.clear()  # with one of them ignored there is nothing to warn about
    with caplog.at_level(logging.DEBUG, logger=MODULE):
        assert get_implementation(Base, "foo_bar", ignore_list=[FooBar], continue_multiple=flag) is foo_bar
    assert [r for r in caplog.records if r.name == MODULE] == []


def test_not_found_and_explicit_default():
    Base, *_ = ambiguous_family()
    with pytest.raises(QuorvelUserError) as info:
        get_implementation(Base, "missing")
    assert str(info.value) == "Class for missing not found."
    assert get_implementation(Base, "missing", default=int) is int
    assert get_implementation(Base, "missing", "not even a class") == "not even a class"


def defaulting_base(behaviour):
    class Base:
        default = classmethod(behaviour)
    return Base


def test_default_class_method_returning_a_subclass():
    Base = defaulting_base(lambda cls: cls.__subclasses__()[0])
    class Fallback(Base): ...
    assert get_implementation(Base, "missing") is Fallback
    assert get_implementation(Base, "missing", default=int) is int
    assert get_implementation(Base, "fallback") is Fallback
    Itself = defaulting_base(lambda cls: cls)
    assert get_implementation(Itself, "missing") is Itself


@pytest.mark.parametrize(
    "behaviour, error",
    [(raising(ValueError("no")), QuorvelUserError), (raising(TypeError("no")), QuorvelUserError),
     (lambda cls: int, QuorvelUserError), (lambda cls: "x", QuorvelUserError),
     (lambda cls: None, QuorvelUserError), (lambda cls: 5, QuorvelUserError),
     (raising(RuntimeError("no")), RuntimeError)],
    ids=["value-error", "type-error", "unrelated", "string", "none", "number", "runtime-error"],
)
def test_unusable_default_class_method(behaviour, error):
    with pytest.raises(error) as info:
        get_implementation(defaulting_base(behaviour), "missing")
    assert str(info.value) == ("no" if error is RuntimeError else "Class for missing not found.")


def test_lookup_without_a_name():
    class Base: ...
    with pytest.raises(QuorvelUserError, match=r"^Class for None not found\.$"):
        get_implementation(Base, None)
    class Only(Base): ...
    assert get_implementation(Base, None) is Only
    class Second(Base): ...
    with pytest.raises(QuorvelImplementationError) as info:
        get_implementation(Base, None)
    assert str(info.value) in ambiguity_messages(Base, [Only, Second], None)


def test_no_caching_between_lookups():
    calls = []

    class Base:
        @classmethod
        def type_key(cls):
            calls.append(cls)
            return cls.__name__.lower()

    class First(Base): ...
    with pytest.raises(QuorvelUserError):
        get_implementation(Base, "late")
    assert calls == [First]
    class Late(Base): ...
    assert get_implementation(Base, "late") is Late
    assert sorted(calls, key=id) == sorted([First, First, Late], key=id)


def test_resolve_generic_arg_reports_arguments_without_a_length(monkeypatch):
    monkeypatch.setattr(type_lookup, "get_args", lambda tp: iter((int,)))
    with pytest.raises(TypeError, match="^object of type 'tuple_iterator' has no len\\(\\)$"):
        type_lookup.resolve_generic_arg(list[int])
