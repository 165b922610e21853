"""Tests for nimbrel.quorvel.data.content_core: BaseConfigurableData and the module helpers."""

import abc
import dataclasses
import inspect
import typing
from dataclasses import dataclass, field, fields, is_dataclass
from types import SimpleNamespace
from typing import Any, ForwardRef, Generic, Type, TypeVar

import pytest

from nimbrel.quorvel.core.exceptions import QuorvelError, QuorvelImplementationError
from nimbrel.quorvel.data import content_core as cc
from nimbrel.quorvel.data.base import BaseContent, PrimitiveArgs
from nimbrel.quorvel.data.content_core import (
    BaseConfigurableData as BCD, build_defaults, inject_and_validate, require_valid_config_type,
    require_valid_config_value,
)

T = TypeVar("T")
ARG_ERR = "Argument '{}' has incorrect type (expected {}, got {})"
MyStr, MyInt, MyDict = type("MyStr", (str,), {}), type("MyInt", (int,), {}), type("MyDict", (dict,), {})


class Impl(BCD):
    """Minimal concrete content: reports what the abstract methods receive."""

    @classmethod
    def build_field_for_type(cls, value=None, type_specification=None, name=None, metadata=None):
        return ("field", cls, value, type_specification, name, metadata)

    @classmethod
    def from_defaults(cls, *args, **kwargs):
        return ("parsed", cls, args, kwargs)


@dataclass
class Inner(Impl):
    v: int = 7


@dataclass
class Outer(Impl):
    a: int
    b: Inner
    c: list = field(default_factory=list)


@dataclass
class Keyed(Impl):
    m: int = 3

    @classmethod
    def type_key(cls):
        return "kk"


class Box(Impl, Generic[T]):
    pass


def plain_content_class(register=False):
    class Plain:
        @classmethod
        def build_field_for_type(cls, value=None, type_specification=None, name=None, metadata=None):
            return "plain field"

        @classmethod
        def from_defaults(cls, data, alias=None):
            return "plain parsed"

        def build_defaults(self):
            return "own defaults"

    if register:
        BCD.register(Plain)
    return Plain


MODULE_NAMES = [
    "ABCMeta", "abstractmethod", "Iterable", "dataclass", "fields", "is_dataclass", "Field", "inspect",
    "GenericAlias", "Any", "TypeVar", "TYPE_CHECKING", "TypeAlias", "get_origin", "cast", "Type", "TypeForm",
    "BaseContent", "PrimitiveTypes", "PrimitiveClass", "PrimitiveArgs", "QuorvelError",
    "QuorvelImplementationError", "display_class_name", "display_value", "BaseField", "type_key_class",
    "AliasContainerType", "C", "WrapperAlias", "_T", "build_defaults", "BaseConfigurableData", "ConfigValue",
    "ConfigType", "require_valid_config_value", "require_valid_config_type", "inject_and_validate",
]


def test_module_names_and_aliases():
    assert [n for n in vars(cc) if n in MODULE_NAMES] == MODULE_NAMES
    assert cc.inspect is inspect and cc.ABCMeta is abc.ABCMeta and cc.fields is dataclasses.fields
    assert cc.BaseContent is BaseContent and cc.PrimitiveArgs is PrimitiveArgs and cc.TYPE_CHECKING is False
    assert cc.AliasContainerType is object
    assert cc.C.__name__ == "C" and cc.C.__bound__ == ForwardRef("BaseConfigurableData")
    assert cc._T.__name__ == "_T" and cc._T.__bound__ is None
    assert typing.get_args(cc.WrapperAlias) == (Type["BaseConfigurableData"], object)
    assert typing.get_args(cc.ConfigValue)[0] is BCD
    assert set(typing.get_args(cc.ConfigValue)[1:]) == set(PrimitiveArgs)
    assert typing.get_args(cc.ConfigType)[0] == Type[BCD] and typing.get_args(cc.ConfigType)[-1] is object


def test_class_is_abstract_dataclass_without_fields():
    assert BCD.__bases__ == (BaseContent,) and type(BCD) is abc.ABCMeta
    assert BCD.__abstractmethods__ == frozenset({"build_field_for_type", "from_defaults"})
    assert is_dataclass(BCD) and fields(BCD) == ()
    params = BCD.__dataclass_params__
    assert (params.init, params.repr, params.eq, params.order, params.frozen) == (True, True, True, False, False)
    doc = BCD.__doc__
    assert doc.splitlines()[0] == "Concrete content that works with dataclass-style fields to generate UI."
    keys = ["display_name", "description", "default", "input", "type[BaseField]"]
    assert [doc.index(k) for k in keys] == sorted(doc.index(k) for k in keys)
    assert [n for n in vars(BCD) if not n.startswith("_")] == [m[0] for m in METHODS]
    half = type("Half", (BCD,), {"from_defaults": classmethod(lambda cls, data, alias=None: None)})
    for cls in (BCD, half):
        with pytest.raises(TypeError):
            cls()


# name, class method?, signature, first docstring text, further docstring texts
METHODS = [
    ("get_subfield_descriptors", True, "(cls: 'Type[BaseConfigurableData]') -> 'Iterable[Field[Any]]'",
     "Return dataclass field definitions with metadata for schema building.",
     ["Allow to define get_subfield_descriptors in the BaseConfigurableData and use it if available."]),
    ("build_field_for_type", True,
     "(cls: 'Type[C]', value: 'C | None' = None, type_specification: 'WrapperAlias | None' = None, "
     "name: 'str | None' = None, metadata: 'dict[str, Any] | None' = None) -> 'BaseField'", None, []),
    ("build_field", False,
     "(self, name: 'str | None' = None, metadata: 'dict[str, Any] | None' = None) -> 'BaseField'", None, []),
    ("build_defaults", False, "(self) -> 'dict[str, Any] | Any'", None, []),
    ("build_root_defaults", False, "(self) -> 'dict[str, Any]'", None, []),
    ("serialize_to_disk_representation", False, "(self) -> 'dict[str, Any] | Any'", None,
     ["parse_from_disk_representation"]),
    ("from_defaults", True,
     "(cls, data: 'dict[str, Any] | Any', alias: 'WrapperAlias | None' = None) -> 'BaseConfigurableData'", None, []),
    ("parse_from_disk_representation", True, "(cls, value: 'Any') -> 'BaseConfigurableData'", None, []),
    ("load_root_defaults", True,
     "(cls, data: 'dict[str, Any]', alias: 'WrapperAlias | None' = None) -> 'BaseConfigurableData'",
     "Load as root.", []),
    ("register", True, "(cls, subclass: 'Type[_T]') -> 'None'",
     "Register base class and copy all functions!", ["Raise if abstract method not implemented."]),
]


@pytest.mark.parametrize("name, is_classmethod, text, first, texts", METHODS)
def test_method_kind_signature_and_docstring(name, is_classmethod, text, first, texts):
    member = vars(BCD)[name]
    assert isinstance(member, classmethod) is is_classmethod and not isinstance(member, staticmethod)
    func = getattr(member, "__func__", member)
    assert callable(func) and str(inspect.signature(func)) == text
    assert getattr(func, "__isabstractmethod__", False) is (name in ("build_field_for_type", "from_defaults"))
    if first is not None:
        assert func.__doc__.strip().startswith(first)
    assert all(t in " ".join((func.__doc__ or "").split()) for t in texts)


def test_abstract_bodies_return_none_through_super():
    class Sup(BCD):
        @classmethod
        def build_field_for_type(cls, value=None, type_specification=None, name=None, metadata=None):
            return super().build_field_for_type(value, type_specification, name, metadata)

        @classmethod
        def from_defaults(cls, data, alias=None):
            return super().from_defaults(data, alias)

    assert Sup.build_field_for_type(None, None, "n", {}) is None
    assert Sup.from_defaults({"a": 1}, Sup) is None
    with pytest.raises(TypeError, match=r"^Argument 'name' has incorrect type \(expected str, got int\)$"):
        Sup.build_field_for_type(name=5)


def test_build_defaults_nests_content_inside_fields_and_lists():
    items = [Inner(1), Inner(2)]
    outer = Outer(a=3, b=Inner(9), c=items)
    result = outer.build_defaults()
    assert result == {"a": 3, "b": {"v": 9}, "c": [{"v": 1}, {"v": 2}]} and list(result) == ["a", "b", "c"]
    assert items == [Inner(1), Inner(2)]
    plain = [1, 2]
    assert Outer(a=3, b=Inner(9), c=plain).build_defaults()["c"] is plain
    assert Impl().build_defaults() == {}
    assert outer.serialize_to_disk_representation() == result


@pytest.mark.parametrize("repr_text, shown", [
    ("R" * 40, "R" * 25 + " (truncated)"),
    ("S" * 25, "S" * 25),
    (None, None),  # the generated repr itself fails on the missing attribute
])
def test_missing_attribute_message_and_cause(repr_text, shown):
    @dataclass(repr=repr_text is None)
    class Holder(Impl):
        first: int
        second: Inner = field(default_factory=Inner)

        if repr_text is not None:
            def __repr__(self):
                return repr_text

    obj = Holder(first=1)
    del obj.first
    if shown is None:
        with pytest.raises(AttributeError) as repr_err:
            repr(obj)
        shown = repr(repr_err.value)
    with pytest.raises(QuorvelError) as err:
        obj.build_defaults()
    assert type(err.value) is QuorvelError
    assert str(err.value) == f"Missing attribute on Holder instance {shown}.Required field names: first, second"
    assert isinstance(err.value.__cause__, AttributeError)
    assert err.value.__suppress_context__ is True


def test_attribute_error_inside_nested_content_is_wrapped_other_errors_propagate():
    problem = AttributeError("deep")

    @dataclass
    class Nested(Impl):
        def build_defaults(self):
            raise problem

    @dataclass(repr=False)
    class Host(Impl):
        only: Any

        def __repr__(self):
            return "host"

    with pytest.raises(QuorvelError) as err:
        Host(Nested()).build_defaults()
    assert str(err.value) == "Missing attribute on Host instance host.Required field names: only"
    assert err.value.__cause__ is problem
    for exc in (ValueError("v"), QuorvelError("inner"), KeyError("k")):
        problem = exc
        with pytest.raises(type(exc)) as err:
            Host(Nested()).build_defaults()
        assert err.value is exc


def test_subfield_descriptors_override_and_non_dataclass():
    class Picked(Outer):
        @classmethod
        def get_subfield_descriptors(cls):
            return [SimpleNamespace(name="b"), SimpleNamespace(name="a")]

    assert list(Picked(a=1, b=Inner(2)).build_defaults().items()) == [("b", {"v": 2}), ("a", 1)]
    Plain = plain_content_class(register=True)
    first, second = Plain.get_subfield_descriptors(), Plain.get_subfield_descriptors()
    assert first == [] and type(first) is list and first is not second
    assert BCD.build_defaults(Plain()) == {}


def test_fields_follow_each_class():
    class Undecorated(Outer):
        pass

    class Late(Impl):
        k: int = 4

    assert Undecorated.get_subfield_descriptors() == fields(Outer) and Impl.get_subfield_descriptors() == ()
    assert Late().build_defaults() == {}
    dataclass(Late)
    assert [f.name for f in Late.get_subfield_descriptors()] == ["k"] and Late().build_defaults() == {"k": 4}


@pytest.mark.parametrize("child_first", [False, True])
def test_parent_and_child_fields_do_not_leak(child_first):
    @dataclass
    class Parent(Impl):
        p: int = 1

    @dataclass
    class Child(Parent):
        q: str = "x"

    checks = [lambda: Parent().build_defaults() == {"p": 1}, lambda: Child().build_defaults() == {"p": 1, "q": "x"}]
    for check in (checks[::-1] if child_first else checks) * 2:
        assert check()


def test_root_representation():
    @dataclass
    class MyRootThing(Impl):
        n: int = 2

    assert MyRootThing().build_root_defaults() == {"my_root_thing": {"n": 2}}
    assert Keyed().build_root_defaults() == {"kk": {"m": 3}}
    inner, other = {"x": 1}, {"other": {"x": 1}}
    assert Keyed.load_root_defaults({"kk": inner}) == ("parsed", Keyed, (inner, None), {})
    assert Keyed.load_root_defaults(inner) == ("parsed", Keyed, (inner, None), {})
    assert Keyed.load_root_defaults(inner, "alias") == ("parsed", Keyed, (inner, "alias"), {})
    assert Keyed.load_root_defaults({"kk": inner})[2][0] is inner and Keyed.load_root_defaults(other)[2][0] is other
    assert Keyed.parse_from_disk_representation(inner) == ("parsed", Keyed, (inner,), {})


@pytest.mark.parametrize("data, type_name", [(None, "NoneType"), (MyDict(kk={}), "MyDict"), ([], "list")])
def test_load_root_defaults_requires_exact_dict(data, type_name):
    class Broken(Impl):
        @classmethod
        def type_key(cls):
            raise RuntimeError("type key must not be consulted")

    with pytest.raises(TypeError) as err:
        Broken.load_root_defaults(data)
    assert str(err.value) == ARG_ERR.format("data", "dict", type_name)


def test_build_field_passes_self_and_keywords():
    inner, md = Inner(5), {"description": "d"}
    assert inner.build_field() == ("field", Inner, inner, None, None, None)
    assert inner.build_field(name="only") == ("field", Inner, inner, None, "only", None)
    result = inner.build_field(name="slot", metadata=md)
    assert result == ("field", Inner, inner, None, "slot", md) and result[2] is inner and result[5] is md


@pytest.mark.parametrize("kwargs, arg, expected, given", [
    ({"name": 5}, "name", "str", "int"),
    ({"name": MyStr("n")}, "name", "str", "MyStr"),
    ({"metadata": []}, "metadata", "dict", "list"),
    ({"metadata": MyDict()}, "metadata", "dict", "MyDict"),
])
def test_build_field_argument_types(kwargs, arg, expected, given):
    with pytest.raises(TypeError) as err:
        Inner().build_field(**kwargs)
    assert str(err.value) == ARG_ERR.format(arg, expected, given)


def test_register_copies_defaults_and_keeps_own_methods():
    Plain = plain_content_class()
    own_defaults = vars(Plain)["build_defaults"]
    assert BCD.register(Plain) is None
    assert issubclass(Plain, BCD) and isinstance(Plain(), BaseContent)
    for name in ("build_field", "build_root_defaults", "serialize_to_disk_representation",
                 "parse_from_disk_representation", "load_root_defaults", "get_subfield_descriptors", "register"):
        assert vars(Plain)[name] is vars(BCD)[name]
    assert vars(Plain)["build_defaults"] is own_defaults
    assert not any(n.startswith("__dataclass") for n in vars(Plain))
    assert Plain().serialize_to_disk_representation() == "own defaults"
    assert Plain.load_root_defaults({"plain": {}}) == "plain parsed"


def test_register_through_content_subclass_prefers_its_overrides():
    Tuned = type("Tuned", (Impl,), {"build_defaults": lambda self: "special", "extra": lambda self: "extra"})
    Target = type("Target", (), {})
    assert Tuned.register(Target) is None
    assert isinstance(Target(), Tuned) and isinstance(Target(), BCD)
    assert vars(Target)["build_defaults"] is vars(Tuned)["build_defaults"]
    assert vars(Target)["from_defaults"] is vars(Impl)["from_defaults"]
    assert Target().extra() == "extra" and build_defaults(Target()) == "special"


def test_register_missing_abstract_keeps_registration():
    Lacks = type("Lacks", (), {"build_field_for_type": classmethod(lambda cls, **kwargs: None)})
    with pytest.raises(QuorvelImplementationError) as err:
        BCD.register(Lacks)
    assert str(err.value) == "Lacks missing required implementations: from_defaults"
    assert issubclass(Lacks, BCD) and vars(Lacks)["build_defaults"] is vars(BCD)["build_defaults"]
    with pytest.raises(TypeError):
        BCD.register(Lacks())


def make_provider():
    """An abstract provider: public m1 (also as "shared", shadowing its base's), a private _h, a property,
    a class method, an abstract method a and an abstract class method k."""
    base = type("Base", (), {"shared": lambda self: "base"})
    m1 = lambda self: 1  # noqa: E731
    return abc.ABCMeta("Provider", (base,), {
        "m1": m1, "_h": lambda self: "private", "shared": m1, "prop": property(lambda self: "prop"),
        "cm": classmethod(lambda cls: cls), "a": abc.abstractmethod(lambda self: None),
        "k": classmethod(abc.abstractmethod(lambda cls: None)),
    })


def test_inject_copies_public_non_abstract_entries_in_order():
    Target = type("Target", (), {"a": lambda self: "a", "k": classmethod(lambda cls: "k")})
    Provider, copied = make_provider(), ["m1", "shared", "prop", "cm"]
    assert inject_and_validate(Provider, Target) is None
    assert [n for n in vars(Target) if n in copied] == copied
    assert all(vars(Target)[name] is vars(Provider)[name] for name in copied)
    assert "_h" not in vars(Target) and Target.a is vars(Target)["a"]
    assert Target().shared() == 1 and Target().prop == "prop" and Target.cm() is Target
    Bare = type("Bare", (), {})
    assert inject_and_validate(type("Tool", (), {"tool": lambda self: "t"}), Bare) is None and Bare().tool() == "t"
    assert inject_and_validate(object, Bare) is None


def test_inject_missing_abstracts_sorted_and_inherited_kept():
    own = type("Own", (), {"m1": lambda self: "own"})
    Target = type("Target", (own,), {"a": abc.abstractmethod(lambda self: None)})  # still abstract

    with pytest.raises(QuorvelImplementationError) as err:
        inject_and_validate(make_provider(), Target)
    assert str(err.value) == "Target missing required implementations: a, k"
    assert "m1" not in vars(Target) and Target().m1() == "own"
    assert not hasattr(Target, "k") and "shared" in vars(Target)
    Many = abc.ABCMeta("Many", (), {n: abc.abstractmethod(lambda self: None) for n in ("z_m", "a_m", "B_m")})
    with pytest.raises(QuorvelImplementationError) as err:
        inject_and_validate(Many, type("Empty", (), {}))
    assert str(err.value) == "Empty missing required implementations: B_m, a_m, z_m"


def test_module_build_defaults():
    items, mapping = [Inner(1)], {"a": Inner(2)}
    assert build_defaults(items) == [{"v": 1}] and build_defaults(mapping) == {"a": {"v": 2}}
    assert items == [Inner(1)] and mapping == {"a": Inner(2)}
    assert build_defaults(5) == 5 and build_defaults(None) is None
    assert build_defaults(Inner(3)) == {"v": 3}
    assert build_defaults(plain_content_class(register=True)()) == "own defaults"


def test_require_valid_accepts():
    Plain = plain_content_class(register=True)
    for value in (3.5, True, 0, "", MyInt(3), Inner(), Plain()):
        assert require_valid_config_value(value, ctx="member") is value
    for tp in (int, bool, float, str, Inner, Plain, Box[int]):
        assert require_valid_config_type(tp) is tp


VALUE_ERR = " must be BaseConfigurableData or PrimitiveTypes, got "
TYPE_ERR = " must be BaseConfigurableData subclass or PrimitiveType, got "


@pytest.mark.parametrize("func, arg, kwargs, message", [
    (require_valid_config_value, [1], {"ctx": "member"}, "member" + VALUE_ERR + "<class 'list'>."),
    (require_valid_config_value, None, {}, "value" + VALUE_ERR + "<class 'NoneType'>."),
    (require_valid_config_value, {}, {}, "value" + VALUE_ERR + "<class 'dict'>."),
    (require_valid_config_value, Inner, {}, "value" + VALUE_ERR + "<class 'abc.ABCMeta'>."),
    (require_valid_config_type, list[int], {}, "type" + TYPE_ERR + "list[int]."),
    (require_valid_config_type, MyInt, {"ctx": "item"}, "item" + TYPE_ERR + f"{MyInt!r}."),
    (require_valid_config_type, "int", {}, "type" + TYPE_ERR + "'int'."),
    (require_valid_config_type, None, {}, "type" + TYPE_ERR + "None."),
    (require_valid_config_type, dict, {}, "type" + TYPE_ERR + "<class 'dict'>."),
    (require_valid_config_type, int | None, {}, "type" + TYPE_ERR + "int | None."),
    (require_valid_config_type, Inner(), {}, "type" + TYPE_ERR + "Inner(v=7)."),
])
def test_require_valid_rejects(func, arg, kwargs, message):
    with pytest.raises(QuorvelError) as err:
        func(arg, **kwargs)
    assert type(err.value) is QuorvelError and str(err.value) == message


@pytest.mark.parametrize("func, arg", [(require_valid_config_value, 1), (require_valid_config_type, int)])
def test_ctx_is_keyword_only_and_exactly_str(func, arg):
    with pytest.raises(TypeError):
        func(arg, "ctx")
    for bad, type_name in ((MyStr("c"), "MyStr"), (None, "NoneType"), (3, "int")):
        with pytest.raises(TypeError) as err:
            func(arg, ctx=bad)
        assert str(err.value) == ARG_ERR.format("ctx", "str", type_name)
    assert func(arg, ctx="c") is arg


@pytest.mark.parametrize("value, expected", [(Impl(), {}), (Inner(), NameError)])
def test_build_defaults_without_the_base_class_global(value, expected, monkeypatch):
    # Only a value that needs the content test looks the base class up, and its failure is reported.
    monkeypatch.delattr(cc, "BaseConfigurableData")
    if expected is NameError:
        with pytest.raises(NameError):
            value.build_defaults()
    else:
        assert value.build_defaults() == expected
