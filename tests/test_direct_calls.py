"""Records parsed straight from the other content kinds take effect exactly as the Python-level calls would:
an override, a rebound module global or a metaclass attribute is honoured on the very next call."""

import abc
import dataclasses

import pytest

from nimbrel.quorvel.core.exceptions import QuorvelError, QuorvelParseError
from nimbrel.quorvel.data import list_content, optional_content, record_content
from nimbrel.quorvel.data.list_content import ConfigList
from nimbrel.quorvel.data.optional_content import ConfigOptional
from nimbrel.quorvel.data.parse import from_defaults
from nimbrel.quorvel.data.record_content import ConfigData


def fresh_record():
    """A record class of its own per test, since the tests change classes."""

    @dataclasses.dataclass
    class Item(ConfigData):
        size: int = 1

    @dataclasses.dataclass
    class Holder(ConfigData):
        item: Item = dataclasses.field(default_factory=Item)
        items: ConfigList[Item] = dataclasses.field(default_factory=lambda: ConfigList[Item]([]))
        maybe: ConfigOptional[Item] = dataclasses.field(default_factory=lambda: ConfigOptional[Item](None))

    return Item, Holder


HOLDER_DATA = {"item": {"size": 2}, "items": [{"content": {"size": 3}}], "maybe": {"default": True,
                                                                                    "content": {"size": 4}}}


def sizes(holder):
    return holder.item.size, [item.size for item in holder.items], holder.maybe.content.size


def test_an_override_set_after_a_parse_takes_effect_at_once():
    Item, Holder = fresh_record()
    assert sizes(Holder.from_defaults(HOLDER_DATA)) == (2, [3], 4)
    original = Item.from_defaults

    def doubled(cls, data, alias=None):
        made = original(data, alias)
        made.size *= 10
        return made

    Item.from_defaults = classmethod(doubled)
    assert sizes(Holder.from_defaults(HOLDER_DATA)) == (20, [30], 40)
    del Item.from_defaults
    assert sizes(Holder.from_defaults(HOLDER_DATA)) == (2, [3], 4)


def test_a_subclass_overriding_from_defaults_is_called():
    calls = []

    @dataclasses.dataclass
    class Counted(ConfigData):
        size: int = 1

        @classmethod
        def from_defaults(cls, data, alias=None):
            calls.append((data, alias))
            return super().from_defaults(data, alias)

    assert [c.size for c in from_defaults(ConfigList[Counted], [{"content": {"size": 5}}])] == [5]
    assert calls == [({"size": 5}, Counted)]


@pytest.mark.parametrize("module", [list_content, optional_content, record_content])
def test_a_rebound_dispatcher_is_called(monkeypatch, module):
    Item, Holder = fresh_record()
    seen = []

    def spy(data, alias):
        seen.append(alias)
        return from_defaults(data=data, alias=alias)

    monkeypatch.setattr(module, "from_defaults", spy)
    assert sizes(Holder.from_defaults(HOLDER_DATA)) == (2, [3], 4)
    assert Item in seen


def test_a_metaclass_attribute_answers_first():
    class Meta(abc.ABCMeta):
        @property
        def from_defaults(cls):
            return lambda data, alias=None: "from the metaclass"

    @dataclasses.dataclass
    class Odd(ConfigData, metaclass=Meta):
        size: int = 1

    assert list(from_defaults(ConfigList[Odd], [{"size": 1}])) == ["from the metaclass"]


def test_foreign_errors_of_a_record_are_wrapped_as_the_dispatcher_wraps_them():
    @dataclasses.dataclass
    class Strict(ConfigData):
        size: int = 1

        def __post_init__(self):
            if self.size < 0:
                raise ValueError("negative")

    with pytest.raises(QuorvelParseError) as caught:
        from_defaults(ConfigList[Strict], [{"content": {"size": 1}}, {"content": {"size": -1}}])
    error = caught.value
    assert str(error) == "Failed to parse Strict from <class 'dict'>."
    assert type(error.__cause__) is ValueError and error.location == (1, "content")
    with pytest.raises(QuorvelError) as caught:
        from_defaults(ConfigList[Strict], [{"content": {"size": "x", "extra": 1}}])
    assert type(caught.value).__name__ == "QuorvelValidationError" and caught.value.location == (0, "content")
