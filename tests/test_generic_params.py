"""Parametrised generic classes of nimbrel.quorvel.typing.generic_params."""

import dataclasses
import gc
import inspect
import threading
import time
import types
import typing
import weakref

import pytest

from nimbrel.quorvel.core import exceptions
from nimbrel.quorvel.core.exceptions import QuorvelTypeResolutionError
from nimbrel.quorvel.typing import generic_params
from nimbrel.quorvel.typing.generic_params import GenericWithArgs

T = typing.TypeVar("T")
CACHE = GenericWithArgs._cache
MODULE_NAMES = ["types", "weakref", "threading", "Any", "cast", "Type", "QuorvelTypeResolutionError",
                "GenericWithArgs"]
ANNOTATIONS = {
    "__type_args__": "tuple[Any, ...] | None",
    "__origin__": "Type[GenericWithArgs] | None",
    "_cache": "weakref.WeakValueDictionary[tuple[Type[GenericWithArgs], tuple[Any, ...]], Type[GenericWithArgs]]",
}


class Box(GenericWithArgs): pass
class SubBox(Box): pass
class Special(Box[int]): pass


def call_in_thread(func, timeout=10.0):
    """Run ``func`` on a daemon thread; return the thread (still alive if it hung) and its results."""
    results = []
    thread = threading.Thread(target=lambda: results.append(func()), daemon=True)
    thread.start()
    thread.join(timeout)
    return thread, results


# ---------------------------------------------------------------- module and class layout


def test_module_layout():
    assert [n for n in vars(generic_params) if n in MODULE_NAMES] == MODULE_NAMES
    assert (generic_params.types, generic_params.weakref, generic_params.threading) == (types, weakref, threading)
    assert (generic_params.Any, generic_params.cast, generic_params.Type) == (typing.Any, typing.cast, typing.Type)
    assert generic_params.QuorvelTypeResolutionError is exceptions.QuorvelTypeResolutionError


def test_class_layout():
    assert type(GenericWithArgs) is type and GenericWithArgs.__bases__ == (object,)
    assert GenericWithArgs.__annotations__ == ANNOTATIONS
    assert vars(GenericWithArgs)["__type_args__"] is None and vars(GenericWithArgs)["__origin__"] is None
    assert type(CACHE) is weakref.WeakValueDictionary
    assert type(GenericWithArgs._lock) is type(threading.RLock())
    methods = ["__init__", "__init_subclass__", "typing_alias", "__class_getitem__"]
    assert [n for n in vars(GenericWithArgs) if n in methods] == methods
    doc = GenericWithArgs.__doc__
    assert doc.splitlines()[0] == "Allows instances of generic types to remember their type args."
    parts = ["This is done by returning a custom subclass for each Generics they receive.",
             "Isinstance checks still work.", "Usage: Inherit from GenericWithArg."]
    assert [doc.index(p) for p in parts] == sorted(doc.index(p) for p in parts)


@pytest.mark.parametrize(
    "name, signature, doc",
    [
        ("__init__", "(self: 'GenericWithArgs', *args: 'Any', **kwargs: 'Any') -> 'None'",
         "Raise an error if the GenericsWithArgs implementation is not parametrized."),
        ("__init_subclass__", "(cls) -> 'None'", "Initialize the subclass and store the origin."),
        ("typing_alias", "(cls: 'Type[GenericWithArgs]') -> 'types.GenericAlias'",
         "Return a generic type alias for this class."),
        ("__class_getitem__", "(cls: 'Type[GenericWithArgs]', item: 'Any') -> 'Type[GenericWithArgs]'",
         "Instantiate class with generics ensuring isinstance checks work."),
    ],
)
def test_methods(name, signature, doc):
    member = vars(GenericWithArgs)[name]
    assert isinstance(member, classmethod) is (name != "__init__")
    func = getattr(member, "__func__", member)
    assert str(inspect.signature(func)) == signature
    assert func.__doc__.splitlines()[0] == doc


def test_cache_and_lock_are_shared():
    for cls in (Box, SubBox, Box[int], Special):
        assert cls._cache is CACHE and cls._lock is GenericWithArgs._lock
        assert "_cache" not in vars(cls) and "_lock" not in vars(cls)
    with GenericWithArgs._lock:  # reentrant
        assert GenericWithArgs._lock.acquire(blocking=False)
        GenericWithArgs._lock.release()


# ---------------------------------------------------------------- subscription


@pytest.mark.parametrize(
    "item, args",
    [(int, (int,)), ((int,), (int,)), ((int, str), (int, str)), ((), ()), ("Later", ("Later",)),
     (None, (None,)), (T, (T,)), (list[int], (list[int],)), ((int, ...), (int, Ellipsis))],
)
def test_parametrised_class(item, args):
    cls = Box[item]
    assert Box[item] is cls and Box[args] is cls
    assert cls.__type_args__ == args and type(cls.__type_args__) is tuple
    assert cls.__origin__ is Box and cls.__bases__ == (Box,) and issubclass(cls, Box)
    assert cls.__name__ == cls.__qualname__ == "Box[...]"
    assert cls.__module__ == Box.__module__ == __name__
    assert CACHE[(Box, args)] is cls
    instance = cls()
    assert type(instance) is cls and isinstance(instance, Box) and instance.__type_args__ == args


def test_parametrisations_are_distinct_and_reparametrise_the_origin():
    assert Box[int] is not Box[str] and Box[int].__name__ == Box[str].__name__
    assert Box[int][str] is Box[str] and Box[int, str][float] is Box[float]
    assert SubBox.__origin__ is Box and SubBox.__type_args__ is None and SubBox[int] is Box[int]
    assert Special.__origin__ is Box and Special.__type_args__ == (int,) and Special[str] is Box[str]
    assert Box.__origin__ is Box and Box.__type_args__ is None
    assert isinstance(Special(), Box)


def test_names_come_from_the_origin():
    class Local(GenericWithArgs): pass
    Local.__module__ = "elsewhere.mod"
    assert Local.__qualname__.endswith("<locals>.Local")
    assert Local[int].__qualname__ == Local[int].__name__ == "Local[...]"
    assert Local[int].__module__ == "elsewhere.mod"
    assert GenericWithArgs[int].__origin__ is GenericWithArgs
    assert GenericWithArgs[int].__name__ == "GenericWithArgs[...]"


@pytest.mark.parametrize("cls, origin", [(Box, Box), (SubBox, Box), (GenericWithArgs, GenericWithArgs)])
def test_unparametrised_instances_are_rejected(cls, origin):
    name = origin.__name__
    with pytest.raises(QuorvelTypeResolutionError) as info:
        cls()
    assert str(info.value) == f"{name} must be parametrized, e.g. {name}[T](...)."
    assert type(cls[int]()) is origin[int]  # a subclass that inherits its origin parametrises that origin
    with pytest.raises(QuorvelTypeResolutionError) as info:
        cls.typing_alias()
    assert str(info.value) == f"{name} is not parametrized."


def test_base_initialiser_runs_first_with_all_arguments():
    calls = []

    class Recorder:
        def __init__(self, *args, **kwargs):
            calls.append((args, kwargs))

    class Recorded(GenericWithArgs, Recorder): pass
    Recorded[int](1, 2, key="v")
    with pytest.raises(QuorvelTypeResolutionError, match=r"^Recorded must be parametrized"):
        Recorded(3, key="w")
    assert calls == [((1, 2), {"key": "v"}), ((3,), {"key": "w"})]


def test_container_bases():
    class Items(GenericWithArgs, list): pass
    class Mapping(GenericWithArgs, dict): pass
    class ListFirst(list, GenericWithArgs): pass  # list.__init__ does not continue the chain

    @dataclasses.dataclass
    class Record(GenericWithArgs):
        x: int = 0

    assert Items[int]([1, 2]) == [1, 2] and isinstance(Items[int](), list)
    assert Mapping[str](a=1) == {"a": 1} and Mapping[str]({"b": 2}, c=3) == {"b": 2, "c": 3}
    with pytest.raises(QuorvelTypeResolutionError, match=r"^Items must be parametrized, e\.g\. Items\[T\]"):
        Items([1, 2])
    assert ListFirst([1]) == [1] and ListFirst[int]([2]) == [2]
    assert Record().x == 0 and Record[int](x=1).x == 1


@pytest.mark.parametrize(
    "cls, args",
    [(Box[int], int), (Box[(int,)], int), (Box[int, str], (int, str)), (Box[()], ()), (SubBox[str], str),
     (Special, int)],
)
def test_typing_alias(cls, args):
    alias = cls.typing_alias()
    assert type(alias) is types.GenericAlias
    assert alias == types.GenericAlias(Box, args)
    assert alias.__origin__ is Box and alias.__args__ == (args if isinstance(args, tuple) else (args,))


# ---------------------------------------------------------------- subclass hooks


def test_keyword_arguments_in_subclass_definitions_are_rejected():
    with pytest.raises(TypeError):
        class Flavoured(Box, flavour="x"): pass
    with pytest.raises(TypeError):
        class Direct(GenericWithArgs, flavour="x"): pass


def test_hooks_of_subclasses_and_bases_are_honoured():
    seen = []

    class Mixin:
        def __init_subclass__(cls, **kwargs):
            super().__init_subclass__(**kwargs)
            seen.append(("mixin", cls.__name__, getattr(cls, "__origin__", "?")))

    class Registry(GenericWithArgs, Mixin):
        def __init_subclass__(cls, tag=None, **kwargs):
            super().__init_subclass__(**kwargs)
            seen.append(("registry", cls.__name__, tag, cls.__origin__, cls.__type_args__))

    class Member(Registry, tag="m"): pass
    parametrised = Registry[int]
    assert Member.__origin__ is Registry and parametrised.__origin__ is Registry
    assert seen == [
        ("mixin", "Registry", None),  # the origin is stored after the next hook ran
        ("mixin", "Member", Registry),
        ("registry", "Member", "m", Registry, None),
        ("mixin", "Registry[...]", Registry),
        ("registry", "Registry[...]", None, Registry, (int,)),
    ]


def test_failed_creation_caches_nothing_and_releases_the_lock():
    class Picky(GenericWithArgs):
        def __init_subclass__(cls, **kwargs):
            super().__init_subclass__(**kwargs)
            if cls.__type_args__ == (str,):
                raise ValueError("no str")

    with pytest.raises(ValueError, match="^no str$"):
        Picky[str]
    assert (Picky, (str,)) not in CACHE
    thread, results = call_in_thread(lambda: GenericWithArgs._lock.acquire(timeout=5) and GenericWithArgs._lock.release())
    assert not thread.is_alive() and results == [None]
    assert Picky[int].__type_args__ == (int,)


# ---------------------------------------------------------------- weak cache


def test_collected_class_is_created_anew():
    class Temp(GenericWithArgs): pass
    first = Temp[int]
    old = weakref.ref(first)
    instance = first()
    del first
    gc.collect()
    assert Temp[int] is old() is type(instance)  # an instance keeps its class cached
    del instance
    gc.collect()
    assert old() is None
    assert (Temp, (int,)) not in CACHE
    second = Temp[int]
    assert old() is None and CACHE[(Temp, (int,))] is second and second.__type_args__ == (int,)


def test_cleared_cache_creates_a_new_class():
    class Temp(GenericWithArgs): pass
    saved = dict(CACHE)
    old = Temp[int]
    try:
        CACHE.clear()
        new = Temp[int]
        assert new is not old and Temp[int] is new
        assert old.__type_args__ == new.__type_args__ == (int,) and issubclass(old, Temp)
    finally:
        CACHE.update({k: v for k, v in saved.items() if k not in CACHE})


@pytest.mark.parametrize("item", [[1], (int, {}), {1: 2}, (int, [str])])
def test_unhashable_arguments(item):
    class Temp(GenericWithArgs): pass
    gc.collect()
    gc.disable()
    try:
        before = len(CACHE)
        with pytest.raises(TypeError):
            Temp[item]
        assert len(CACHE) == before
    finally:
        gc.enable()
    assert not [key for key in list(CACHE.keys()) if key[0] is Temp]


# ---------------------------------------------------------------- threads


def test_cached_subscription_takes_no_lock():
    class Temp(GenericWithArgs): pass
    kept = Temp[int]
    holding, release = threading.Event(), threading.Event()

    def hold():
        with GenericWithArgs._lock:
            holding.set()
            release.wait(10)

    holder = threading.Thread(target=hold, daemon=True)
    holder.start()
    assert holding.wait(10)
    try:
        hit, hit_results = call_in_thread(lambda: Temp[int], timeout=5)
        assert not hit.is_alive() and hit_results == [kept]
        miss, miss_results = call_in_thread(lambda: Temp[str], timeout=0.3)
        assert miss.is_alive() and miss_results == []  # a new key waits for the lock
    finally:
        release.set()
    miss.join(10)
    holder.join(10)
    assert miss_results == [Temp[str]]


def test_concurrent_subscriptions_create_one_class():
    created = []

    class Slow(GenericWithArgs):
        def __init_subclass__(cls, **kwargs):
            super().__init_subclass__(**kwargs)
            created.append(cls)
            time.sleep(0.05)

    barrier = threading.Barrier(8)
    results = []

    def subscribe():
        barrier.wait(10)
        results.append(Slow[int, str])

    threads = [threading.Thread(target=subscribe, daemon=True) for _ in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(10)
    assert not any(thread.is_alive() for thread in threads)
    assert len(results) == 8 and all(cls is results[0] for cls in results)
    assert created == [results[0]] and results[0].__type_args__ == (int, str)


def hooked_pair(via_metaclass, same_origin):
    """A generic class whose parametrisation with int subscribes another key while it is created."""
    class Partner(GenericWithArgs): pass

    def react(cls):
        if cls.__type_args__ == (int,):
            cls.partner = (cls.__origin__ if same_origin else Partner)[str]

    if via_metaclass:
        class Meta(type):
            def __init__(cls, *args, **kwargs):
                super().__init__(*args, **kwargs)
                react(cls)

        class Outer(GenericWithArgs, metaclass=Meta): pass
    else:
        class Outer(GenericWithArgs):
            def __init_subclass__(cls, **kwargs):
                super().__init_subclass__(**kwargs)
                react(cls)
    return Outer, (Outer if same_origin else Partner)


@pytest.mark.parametrize("via_metaclass, same_origin", [(False, False), (False, True), (True, False)])
def test_subscription_while_a_class_is_created(via_metaclass, same_origin):
    Outer, partner_origin = hooked_pair(via_metaclass, same_origin)
    thread, results = call_in_thread(lambda: Outer[int], timeout=10)
    assert not thread.is_alive(), "nested subscription did not finish"
    [cls] = results
    assert cls is Outer[int] and cls.__type_args__ == (int,)
    assert cls.partner is partner_origin[str] and cls.partner.__type_args__ == (str,)
    assert cls.partner.__origin__ is partner_origin
