"""Behaviour of the callable type behind every exposed function and method.

Each extension callable is compared with a plain Python function of the same
name, qualified name and parameters, which shows what the interpreter itself
does for the same call.
"""

import abc
import copy
import inspect
import pickle
import types
import weakref

import pytest

from nimbrel.quorvel.core.naming import (
    display_class_name,
    display_value,
    python_identifier_to_type_key,
)
from nimbrel.quorvel.fields.field_models import BaseField

FIELD_MODULE = "nimbrel.quorvel.fields.field_models"
NAMING_MODULE = "nimbrel.quorvel.core.naming"


class MyStr(str):
    pass


def twin(func, qualname=None):
    func.__qualname__ = qualname or func.__name__
    return func


# Python twins with the same names, qualified names, parameters and annotations.
def _display_class_name(a: "Any") -> "str": ...
def _display_value(value: "Any", value_length: "int" = 25) -> "str": ...
def _python_identifier_to_type_key(name: "str") -> "str": ...


for _f in (_display_class_name, _display_value, _python_identifier_to_type_key):
    _f.__name__ = _f.__name__[1:]
    twin(_f)


def _make_field_twin():
    class BaseField:  # noqa: F811 - named like the real class for name mangling
        def model_post_init(self, __context: "Any") -> "None": ...

        @classmethod
        def default_type(cls) -> "str": ...

        def model_dump(self, *args: "Any", **kwargs: "Any") -> "dict[str, Any]": ...

        def get_children(self) -> "list[BaseField]": ...

        @staticmethod
        def capitalize(content: "str") -> "str": ...

    BaseField.__qualname__ = "BaseField"
    for name, attr in vars(BaseField).items():
        func = getattr(attr, "__func__", attr)
        if inspect.isfunction(func):
            func.__qualname__ = f"BaseField.{name}"
    return BaseField


FieldTwin = _make_field_twin()

TWINS = {
    display_class_name: _display_class_name,
    display_value: _display_value,
    python_identifier_to_type_key: _python_identifier_to_type_key,
}


def field():
    return BaseField(name="max_speed")


def message_of(call):
    with pytest.raises(TypeError) as info:
        call()
    return str(info.value)


# ---------------------------------------------------------------- argument binding


FUNCTION_CALLS = [
    (display_value, (), {}),
    (display_value, (1, 2, 3), {}),
    (display_value, (), {"value_length": 3}),
    (display_value, (1,), {"value": 2}),
    (display_value, (1, 2), {"value_length": 3}),
    (display_value, (1,), {"foo": 2}),
    (display_value, (1,), {"value_length": 2, "extra": 3}),
    (display_value, (1,), {"valu": 2}),
    (display_class_name, (), {}),
    (display_class_name, (1, 2), {}),
    (display_class_name, (), {"b": 1}),
    (display_class_name, (1,), {"a": 1}),
    (python_identifier_to_type_key, (), {}),
    (python_identifier_to_type_key, ("a", "b"), {}),
    (python_identifier_to_type_key, ("a",), {"name": "b"}),
    (python_identifier_to_type_key, (), {"nam": "b"}),
]


@pytest.mark.parametrize("func, args, kwargs", FUNCTION_CALLS)
def test_function_binding_errors_match_interpreter(func, args, kwargs):
    expected = message_of(lambda: TWINS[func](*args, **kwargs))
    assert message_of(lambda: func(*args, **kwargs)) == expected


# (attribute name, receiver: "class" or "instance", args, kwargs)
METHOD_CALLS = [
    ("capitalize", "class", (), {}),
    ("capitalize", "class", ("a", "b"), {}),
    ("capitalize", "instance", ("a",), {"content": "b"}),
    ("capitalize", "class", (), {"text": "b"}),
    ("model_post_init", "instance", (), {}),
    ("model_post_init", "instance", (None, None), {}),
    ("model_post_init", "instance", (None,), {"_BaseField__context": None}),
    ("model_post_init", "instance", (), {"__context": None}),
    ("model_post_init", "class", (), {}),
    ("get_children", "instance", (1,), {}),
    ("get_children", "instance", (), {"x": 1}),
    ("get_children", "class", (), {}),
    ("default_type", "class", (1,), {}),
    ("default_type", "instance", (), {"cls": 1}),
    ("model_dump", "class", (), {}),
    ("model_dump", "class", ("inst",), {"self": 1}),
]


@pytest.mark.parametrize("name, receiver, args, kwargs", METHOD_CALLS)
def test_method_binding_errors_match_interpreter(name, receiver, args, kwargs):
    inst = field()
    args = tuple(inst if a == "inst" else a for a in args)
    ours = getattr(BaseField if receiver == "class" else inst, name)
    theirs = getattr(FieldTwin if receiver == "class" else FieldTwin(), name)
    expected = message_of(lambda: theirs(*args, **kwargs))
    assert message_of(lambda: ours(*args, **kwargs)) == expected


def test_self_may_be_passed_by_keyword():
    inst = field()
    assert BaseField.model_dump(self=inst) == inst.model_dump()
    assert BaseField.get_children(self=inst) == []


def test_keyword_calls_bind_like_positional():
    assert BaseField.capitalize(content="max_api_key") == "Max Api Key"
    assert field().capitalize(content="a_b") == "A B"
    assert display_value(value_length=2, value="abc") == "'a (truncated)"


# ---------------------------------------------------------------- function attributes


FUNCTIONS = [display_class_name, display_value, python_identifier_to_type_key]


@pytest.mark.parametrize("func", FUNCTIONS)
def test_module_function_attributes(func):
    theirs = TWINS[func]
    assert func.__name__ == theirs.__name__
    assert func.__qualname__ == theirs.__qualname__
    assert func.__module__ == NAMING_MODULE
    assert func.__defaults__ == theirs.__defaults__
    assert func.__kwdefaults__ is None
    assert isinstance(func.__signature__, inspect.Signature)
    assert func.__signature__ == inspect.signature(theirs)
    assert inspect.signature(func) == inspect.signature(theirs)
    assert isinstance(func.__doc__, str) and func.__doc__


@pytest.mark.parametrize("name", ["model_post_init", "default_type", "model_dump", "get_children", "capitalize"])
def test_method_attributes(name):
    func = getattr(BaseField, name)
    func = getattr(func, "__func__", func)
    theirs = getattr(FieldTwin, name)
    theirs = getattr(theirs, "__func__", theirs)
    assert func.__name__ == name
    assert func.__qualname__ == f"BaseField.{name}"
    assert func.__module__ == FIELD_MODULE
    assert func.__defaults__ is None
    assert func.__kwdefaults__ is None
    assert inspect.signature(func) == inspect.signature(theirs)
    assert func.__doc__


@pytest.mark.parametrize(
    "name, on_class, on_instance",
    [
        ("model_post_init", "(self, _BaseField__context: 'Any') -> 'None'", "(_BaseField__context: 'Any') -> 'None'"),
        ("default_type", "() -> 'str'", "() -> 'str'"),
        ("model_dump", "(self, *args: 'Any', **kwargs: 'Any') -> 'dict[str, Any]'", "(*args: 'Any', **kwargs: 'Any') -> 'dict[str, Any]'"),
        ("get_children", "(self) -> 'list[BaseField]'", "() -> 'list[BaseField]'"),
        ("capitalize", "(content: 'str') -> 'str'", "(content: 'str') -> 'str'"),
    ],
)
def test_method_signatures_through_class_and_instance(name, on_class, on_instance):
    assert str(inspect.signature(getattr(BaseField, name))) == on_class
    assert str(inspect.signature(getattr(field(), name))) == on_instance


# ---------------------------------------------------------------- descriptor behaviour


def test_instance_method_binds_like_python_function():
    inst = field()
    raw = BaseField.__dict__["get_children"]
    assert BaseField.get_children is raw
    bound = inst.get_children
    assert isinstance(bound, types.MethodType)
    assert bound.__self__ is inst
    assert bound.__func__ is raw
    assert bound == inst.get_children
    assert bound() == []
    assert raw.__get__(None, BaseField) is raw
    assert raw.__get__(inst, BaseField).__self__ is inst


def test_classmethod_binds_to_the_class_it_is_accessed_on():
    class MyURLField(BaseField):
        pass

    assert BaseField.default_type.__self__ is BaseField
    assert MyURLField.default_type.__self__ is MyURLField
    assert MyURLField.default_type() == "my_u_r_l_field"
    assert MyURLField(name="n").default_type() == "my_u_r_l_field"


def test_staticmethod_does_not_bind():
    inst = field()
    assert inst.capitalize is BaseField.capitalize
    assert inst.capitalize("a__b") == "A  B"


def test_function_binds_when_stored_in_a_python_class():
    class Holder:
        show = display_value
        name_of = display_class_name

        def __repr__(self):
            return "Holder!"

    holder = Holder()
    assert isinstance(holder.show, types.MethodType)
    assert holder.show() == "Holder!"
    assert holder.show(3) == "Hol (truncated)"
    assert holder.name_of() == "Holder!"
    assert Holder.show is display_value


# ---------------------------------------------------------------- object protocol


@pytest.mark.parametrize("func", [display_value, BaseField.get_children, BaseField.capitalize])
def test_accepts_arbitrary_attributes(func, monkeypatch):
    assert isinstance(func.__dict__, dict)
    monkeypatch.setattr(func, "custom_marker", 123, raising=False)
    assert func.custom_marker == 123
    assert func.__dict__["custom_marker"] == 123
    monkeypatch.delattr(func, "custom_marker")
    assert not hasattr(func, "custom_marker")


def test_isabstractmethod_marks_abstract_members(monkeypatch):
    monkeypatch.setattr(display_value, "__isabstractmethod__", True, raising=False)

    class Contract(abc.ABC):
        render = display_value

    assert Contract.__abstractmethods__ == frozenset({"render"})
    with pytest.raises(TypeError):
        Contract()


@pytest.mark.parametrize("func", [*FUNCTIONS, BaseField.get_children, BaseField.capitalize])
@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_pickle_round_trips_to_same_object(func, protocol):
    assert pickle.loads(pickle.dumps(func, protocol=protocol)) is func


@pytest.mark.parametrize("func", [display_value, BaseField.capitalize])
def test_copy_returns_same_object(func):
    assert copy.copy(func) is func
    assert copy.deepcopy(func) is func


@pytest.mark.parametrize("func", [display_value, BaseField.get_children])
def test_weakref_and_hash(func):
    ref = weakref.ref(func)
    assert ref() is func
    assert {func: 1}[func] == 1


@pytest.mark.parametrize(
    "func, qualname",
    [
        (display_value, "display_value"),
        (BaseField.capitalize, "BaseField.capitalize"),
        (BaseField.get_children, "BaseField.get_children"),
    ],
)
def test_repr_mentions_qualname(func, qualname):
    assert qualname in repr(func)


# ---------------------------------------------------------------- argument and return checks


LONG_NAME = "S" * 300
LongStr = type(LONG_NAME, (str,), {})


@pytest.mark.parametrize(
    "call, param, got",
    [
        (lambda: python_identifier_to_type_key(MyStr("Foo")), "name", "MyStr"),
        (lambda: python_identifier_to_type_key(name=None), "name", "NoneType"),
        (lambda: python_identifier_to_type_key(LongStr("x")), "name", LONG_NAME[:200]),
        (lambda: BaseField.capitalize(None), "content", "NoneType"),
        (lambda: BaseField.capitalize(MyStr("a_b")), "content", "MyStr"),
        (lambda: field().capitalize(content=b"a_b"), "content", "bytes"),
        (lambda: BaseField.capitalize(["a"]), "content", "list"),
    ],
)
def test_str_argument_type_errors(call, param, got):
    assert message_of(call) == f"Argument '{param}' has incorrect type (expected str, got {got})"


@pytest.mark.parametrize(
    "name, got",
    [(MyStr("Foo"), "MyStr"), (LongStr("Foo"), LONG_NAME[:200])],
)
def test_str_return_check(name, got):
    class Named:
        pass

    obj = Named()
    obj.__name__ = name
    assert message_of(lambda: display_class_name(obj)) == f"Expected str, got {got}"


def test_return_check_passes_exact_str():
    assert display_class_name(MyStr) == "MyStr"
    assert type(display_class_name(MyStr)) is str

