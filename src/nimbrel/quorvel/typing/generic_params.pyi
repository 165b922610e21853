"""Generic classes whose subscriptions are cached classes that remember their arguments."""

import threading as threading
import types as types
import weakref as weakref
from typing import Any as Any, Type as Type, cast as cast

from nimbrel.quorvel.core.exceptions import QuorvelTypeResolutionError as QuorvelTypeResolutionError

class GenericWithArgs:
    """Allows instances of generic types to remember their type args."""

    __type_args__: tuple[Any, ...] | None
    __origin__: Type[GenericWithArgs] | None
    _cache: weakref.WeakValueDictionary[tuple[Type[GenericWithArgs], tuple[Any, ...]], Type[GenericWithArgs]]
    _lock: threading.RLock

    def __init__(self, *args: Any, **kwargs: Any) -> None: ...
    def __init_subclass__(cls) -> None: ...
    @classmethod
    def typing_alias(cls) -> types.GenericAlias: ...
    def __class_getitem__(cls, item: Any) -> Type[GenericWithArgs]: ...
