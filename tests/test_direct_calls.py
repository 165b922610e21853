"""Content parsed straight from the other content kinds takes effect exactly as the Python-level calls would:
an override, a rebound module global or a metaclass attribute is honoured on the very next call."""

import abc
import dataclasses
import enum
import gc
import weakref

import pytest

from nimbrel.quorvel.core.exceptions import QuorvelError, QuorvelImplementationError, QuorvelParseError
from nimbrel.quorvel.data import (enum_content, json_content, list_content, optional_content, parse, record_content,
                                  serialize, union_content)
from nimbrel.quorvel.data.content_core import build_defaults
from nimbrel.quorvel.data.enum_content import ConfigEnum
from nimbrel.quorvel.data.json_content import ConfigUntypedDict
from nimbrel.quorvel.data.list_content import ConfigList
from nimbrel.quorvel.data.optional_content import ConfigOptional
from nimbrel.quorvel.data.parse import from_defaults
from nimbrel.quorvel.data.serialize import build_field
from nimbrel.quorvel.data.record_content import ConfigData
from nimbrel.quorvel.data.union_content import ConfigUnion
from conftest import run_python


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


class Shade(ConfigEnum):
    DARK = "dark"
    LIGHT = "light"


def fresh_kinds():
    """A record whose fields are one of each content kind, with its own parametrised classes per test."""

    @dataclasses.dataclass
    class Part(ConfigData):
        size: int = 1

    @dataclasses.dataclass
    class Whole(ConfigData):
        parts: ConfigList[Part] = dataclasses.field(default_factory=lambda: ConfigList[Part]([]))
        spare: ConfigOptional[Part] = dataclasses.field(default_factory=lambda: ConfigOptional[Part](None))
        either: ConfigUnion[int | Part] = dataclasses.field(default_factory=lambda: ConfigUnion[int | Part](0))
        shade: Shade = Shade.DARK

    return Part, Whole


WHOLE_DATA = {"parts": [{"content": {"size": 2}}], "spare": {"default": True, "content": {"size": 3}},
              "either": {"selection": "part", "part": {"size": 4}}, "shade": "light"}


def parsed_sizes(whole):
    return [part.size for part in whole.parts], whole.spare.content.size, whole.either.content.size, whole.shade


@pytest.mark.parametrize("field", ["parts", "spare", "either", "shade"])
def test_an_override_of_a_field_kind_takes_effect_at_once(field):
    Part, Whole = fresh_kinds()
    assert parsed_sizes(Whole.from_defaults(WHOLE_DATA)) == ([2], 3, 4, Shade.LIGHT)
    kind = {"parts": ConfigList[Part], "spare": ConfigOptional[Part], "either": ConfigUnion[int | Part]}.get(
        field, Shade)
    kind.from_defaults = classmethod(lambda cls, data, alias=None: "overridden")
    try:
        assert getattr(Whole.from_defaults(WHOLE_DATA), field) == "overridden"
    finally:
        del kind.from_defaults
    assert parsed_sizes(Whole.from_defaults(WHOLE_DATA)) == ([2], 3, 4, Shade.LIGHT)


@pytest.mark.parametrize("module, field, data, parsed", [
    (list_content, "parts", [{"content": 7}], lambda whole: list(whole.parts)),
    (optional_content, "spare", {"default": True, "content": 8}, lambda whole: [whole.spare.content]),
])
def test_a_rebound_argument_resolver_is_used_at_once(monkeypatch, module, field, data, parsed):
    Part, Whole = fresh_kinds()
    Whole.from_defaults(WHOLE_DATA)
    monkeypatch.setattr(module, "resolve_generic_arg", lambda *args, **kwargs: int)
    assert parsed(Whole.from_defaults({**WHOLE_DATA, field: data})) in ([7], [8])


def test_an_overridden_member_list_of_a_union_is_asked_each_time():
    Part, Whole = fresh_kinds()
    union = ConfigUnion[int | Part]
    Whole.from_defaults(WHOLE_DATA)
    asked = []
    union._contained_types = classmethod(lambda cls, alias: asked.append(alias) or [int])
    try:
        with pytest.raises(QuorvelError, match="selection 'part' is not a valid member"):
            union.from_defaults(WHOLE_DATA["either"])
        assert Whole.from_defaults({**WHOLE_DATA, "either": {"selection": "int", "int": 1}}).either.content == 1
        assert asked == [union, union]
    finally:
        del union._contained_types


class CallingMeta(type(Shade)):
    def __call__(cls, value, *args, **kwargs):
        return "called"


class Called(ConfigEnum, metaclass=CallingMeta):
    DARK = "dark"
    LIGHT = "light"


class Forgiving(ConfigEnum):
    DARK = "dark"
    LIGHT = "light"

    @classmethod
    def _missing_(cls, value):
        return cls(value.lower()[:5])


@pytest.mark.parametrize("cls, data, expected", [
    # A metaclass's own __call__ answers instead of the members' value map.
    (Called, "light", "called"),
    # A value the map lacks goes to the class's _missing_.
    (Forgiving, "LIGHTER", Forgiving.LIGHT),
    (Shade, "light", Shade.LIGHT),
    (Shade, {"value": "dark"}, Shade.DARK),
])
def test_an_enumeration_member_is_found_as_its_class_finds_it(cls, data, expected):
    assert from_defaults(cls, data) == expected and cls.from_defaults(data) == expected


def test_plain_enumerations_are_read_by_value_and_name():
    class Plain(enum.Enum):
        ONE = 1

    assert from_defaults(Plain, 1) is Plain.ONE and from_defaults(Plain, "ONE") is Plain.ONE


def test_a_record_decorated_again_is_parsed_with_its_new_fields():
    @dataclasses.dataclass
    class Grown(ConfigData):
        size: int = 1

    assert Grown.from_defaults({"size": 2}).size == 2
    Grown.__annotations__["width"] = int
    Grown.width = 5
    dataclasses.dataclass(Grown)
    grown = Grown.from_defaults({"size": 3, "width": 6})
    assert (grown.size, grown.width) == (3, 6)


def test_descriptors_given_to_a_record_later_are_read_at_once():
    @dataclasses.dataclass
    class Narrowed(ConfigData):
        size: int = 1
        width: int = 2

    assert Narrowed.from_defaults({"size": 3, "width": 4}).width == 4
    Narrowed.get_subfield_descriptors = classmethod(lambda cls: dataclasses.fields(cls)[:1])
    with pytest.raises(QuorvelError, match=r"Unexpected fields for Narrowed: \['width'\]"):
        Narrowed.from_defaults({"size": 3, "width": 4})
    del Narrowed.get_subfield_descriptors
    assert Narrowed.from_defaults({"size": 3, "width": 4}).width == 4


# --- UI defaults: the direct route gives way to every override at once -------------------------------------


def defaults_record():
    """A record class per test holding every kind, with the defaults it gives while nothing is overridden."""
    from nimbrel.quorvel.data.enum_content import ConfigEnum
    from nimbrel.quorvel.data.union_content import ConfigUnion

    class Shade(ConfigEnum):
        DARK = "dark"

    Item, _ = fresh_record()

    @dataclasses.dataclass
    class Panel(ConfigData):
        item: Item = dataclasses.field(default_factory=Item)
        items: ConfigList[Item] = dataclasses.field(default_factory=lambda: ConfigList[Item]([Item(2)]))
        maybe: ConfigOptional[Item] = dataclasses.field(default_factory=lambda: ConfigOptional[Item](Item(3)))
        either: ConfigUnion[int | Item] = dataclasses.field(default_factory=lambda: ConfigUnion[int | Item](4))
        shade: Shade = Shade.DARK

    expected = {"item": {"size": 1}, "items": [{"content": {"size": 2}}],
                "maybe": {"default": True, "content": {"size": 3}}, "either": {"selection": "int", "int": 4},
                "shade": "dark"}
    return Item, Panel, expected


def with_item(expected, size_defaults):
    """`expected` with every Item's defaults replaced by `size_defaults`."""
    return {**expected, "item": size_defaults, "items": [{"content": size_defaults}],
            "maybe": {"default": True, "content": size_defaults}}


def test_an_override_of_build_defaults_set_after_a_call_takes_effect_at_once():
    Item, Panel, expected = defaults_record()
    assert Panel().build_defaults() == expected
    Item.build_defaults = lambda self: "overridden"
    assert Panel().build_defaults() == with_item(expected, "overridden")
    del Item.build_defaults
    assert Panel().build_defaults() == expected


@pytest.mark.parametrize("name", ["build_defaults", "get_subfield_descriptors"])
def test_an_instance_attribute_hides_the_method_of_its_class(name):
    Item, Panel, expected = defaults_record()
    panel = Panel()
    assert panel.build_defaults() == expected
    replacement = (lambda: "own") if name == "build_defaults" else (lambda: [])
    setattr(panel.item, name, replacement)
    assert panel.build_defaults()["item"] == ("own" if name == "build_defaults" else {})


def test_a_rebound_module_function_is_called_by_every_kind(monkeypatch):
    from nimbrel.quorvel.data import content_core, union_content

    Item, Panel, expected = defaults_record()
    seen = []

    def spy(value):
        seen.append(type(value).__name__)
        return content_core.build_defaults(value)

    for module in (list_content, optional_content, union_content):
        monkeypatch.setattr(module, "build_defaults", spy)
    assert Panel().build_defaults() == expected
    assert sorted(seen) == ["Item", "Item", "int"]


def test_fields_are_read_as_getattr_reads_them():
    Item, _ = fresh_record()

    @dataclasses.dataclass
    class Computed(ConfigData):
        size: int = 1

    Computed.size = property(lambda self: 7, lambda self, value: None)
    assert Computed().build_defaults() == {"size": 7}

    class Looked(Item):
        def __getattribute__(self, name):
            return 9 if name == "size" else super().__getattribute__(name)

    assert Looked().build_defaults() == {"size": 9}
    item = Item()
    item.__dict__ = {"other": 1}
    assert Item.size == 1 and item.build_defaults() == {"size": 1}


def test_a_field_changed_while_earlier_fields_convert_is_read_anew():
    @dataclasses.dataclass
    class Changer(ConfigData):
        size: int = 1

        def build_defaults(self):
            self.owner.size = 5
            del self.owner.later
            return "changed"

    @dataclasses.dataclass
    class Owner(ConfigData):
        changer: Changer = dataclasses.field(default_factory=Changer)
        size: int = 1
        later: int = 2

    owner = Owner()
    owner.changer.owner = owner
    assert owner.build_defaults() == {"changer": "changed", "size": 5, "later": 2}


def test_a_registered_virtual_subclass_is_converted_on_the_next_call():
    from nimbrel.quorvel.data.content_core import BaseConfigurableData, build_defaults

    class Plain:
        def build_defaults(self):
            return "converted"

    value = Plain()
    assert build_defaults(value) is value
    abc.ABCMeta.register(BaseConfigurableData, Plain)
    assert build_defaults(value) == "converted"


class Tint(ConfigEnum):
    LIGHT = "light"


@dataclasses.dataclass
class Sized(ConfigData):
    size: int = 1


NAME_REFUSED = "Argument 'name' has incorrect type (expected str, got {})"
KEY_NOT_TEXT = "Expected str, got {}"


# A field without a name is named by the module's type_key_class as bound now. Enumerations and JSON objects
# want text; the generic kinds let None on to instantiate_field, which refuses it; records pass any key on.
@pytest.mark.parametrize("module, cls, key, message", [
    (enum_content, Tint, None, KEY_NOT_TEXT.format("NoneType")),
    (enum_content, Tint, 7, KEY_NOT_TEXT.format("int")),
    (json_content, ConfigUntypedDict, None, KEY_NOT_TEXT.format("NoneType")),
    (list_content, ConfigList[int], None, NAME_REFUSED.format("NoneType")),
    (list_content, ConfigList[int], 7, KEY_NOT_TEXT.format("int")),
    (optional_content, ConfigOptional[int], None, NAME_REFUSED.format("NoneType")),
    (union_content, ConfigUnion[int | str], None, NAME_REFUSED.format("NoneType")),
    (union_content, ConfigUnion[int | str], 7, KEY_NOT_TEXT.format("int")),
    (record_content, Sized, None, NAME_REFUSED.format("NoneType")),
    (record_content, Sized, 7, NAME_REFUSED.format("int")),
])
def test_a_rebound_type_key_lookup_names_the_field(monkeypatch, module, cls, key, message):
    stock = module.type_key_class
    monkeypatch.setattr(module, "type_key_class", lambda tp: key if tp is cls else stock(tp))
    with pytest.raises(TypeError) as err:
        cls.build_field_for_type()
    assert str(err.value) == message
    monkeypatch.setattr(module, "type_key_class", lambda tp: "keyed" if tp is cls else stock(tp))
    assert cls.build_field_for_type().name == "keyed"


class Untouchable:
    """A union form that fails the moment it is compared."""

    def __eq__(self, other):
        raise RuntimeError("compared with Union")

    __hash__ = object.__hash__


# Each module compares an origin with the union forms in its own order: parse asks UnionType first, so
# Union is never compared for `A | B`; the field builder asks Union first.
def test_each_module_compares_the_union_forms_in_its_own_order(monkeypatch):
    monkeypatch.setattr(parse, "Union", Untouchable())
    assert from_defaults(data={"selection": "int", "int": 3}, alias=int | str).content == 3
    monkeypatch.setattr(serialize, "Union", Untouchable())
    with pytest.raises(RuntimeError, match="^compared with Union$"):
        build_field("x", int | str)


# --- records read from their data in one walk ------------------------------------------------------------------------

@dataclasses.dataclass
class Pair(ConfigData):
    size: int = 1
    label: str = "p"
    derived: int = dataclasses.field(default=0, init=False)


class LooseKey(str):
    """A key that a lookup by field name finds although it is no plain text."""

    def __hash__(self):
        return hash(str(self))

    def __eq__(self, other):
        return str(self) == other


# Data in every shape a walk over the keys in declaration order could misread, with what a lookup by name reads.
WALKED_DATA = [
    pytest.param({"size": 2, "label": "x", "derived": 9}, (2, "x", 0), id="in order"),
    pytest.param({"label": "x", "size": 2, "derived": 9}, (2, "x", 0), id="out of order"),
    pytest.param({"".join(["si", "ze"]): 2, "".join(["lab", "el"]): "x", "derived": 9}, (2, "x", 0),
                 id="equal text, not the names themselves"),
    pytest.param({LooseKey("size"): 2, "label": "x", "derived": 9}, (2, "x", 0), id="a key of a text subclass"),
    pytest.param({"size": 2, "label": "x"}, (2, "x", 0), id="fewer keys"),
    pytest.param({"size": 2, "label": "x", "other": 9}, "Unexpected fields for Pair: ['other']", id="another key"),
    pytest.param({"size": 2, "other": 9, "derived": 9}, "Unexpected fields for Pair: ['other']",
                 id="another key in a field's place"),
]


@pytest.mark.parametrize("data, read", WALKED_DATA)
@pytest.mark.parametrize("site", [lambda data: Pair.from_defaults(data),
                                  lambda data: from_defaults(ConfigList[Pair], [{"content": data}])[0]],
                         ids=["record", "list item"])
def test_record_data_is_read_as_a_lookup_by_field_name_reads_it(site, data, read):
    try:
        pair = site(data)
    except QuorvelError as error:
        assert str(error) == read
    else:
        assert (pair.size, pair.label, pair.derived) == read


# Rows of a list: the item data is the row's "content", or the element itself when it is no row.
ROWS = [
    pytest.param({"content": {"size": 2}}, 2, id="row"),
    pytest.param({"".join(["con", "tent"]): {"size": 2}}, 2, id="equal text"),
    pytest.param({LooseKey("content"): {"size": 2}}, 2, id="a key of a text subclass"),
    pytest.param({"size": 2}, 2, id="bare element"),
]


@pytest.mark.parametrize("element, size", ROWS)
def test_list_rows_are_read_as_a_lookup_of_content_reads_them(element, size):
    assert from_defaults(ConfigList[Pair], [element])[0].size == size


def test_a_post_init_hook_of_the_class_new_makes_runs():
    calls = []

    @dataclasses.dataclass
    class Plain(ConfigData):
        size: int = 1

    class Hooked(Plain):
        def __post_init__(self):
            calls.append(self.size)

    Plain.__new__ = staticmethod(lambda cls, *args, **kwargs: object.__new__(Hooked))
    assert type(Plain.from_defaults({"size": 2})) is Hooked and calls == [2]


# --- changes made while a list of records is parsed ------------------------------------------------------------------

def list_changed_by_its_first_item(change):
    """A record class whose first parsed instance calls `change(cls)`, and the list of three such records."""

    @dataclasses.dataclass
    class Changing(ConfigData):
        size: int = 1

        def __post_init__(self):
            if not changed:
                changed.append(True)
                change(Changing)

    changed = []
    return Changing, from_defaults(ConfigList[Changing], [{"content": {}}] * 3)


def test_an_override_set_by_an_item_is_called_for_the_next_items():
    def override(cls):
        cls.from_defaults = classmethod(lambda cls, data, alias=None: "overridden")

    _, items = list_changed_by_its_first_item(override)
    assert [getattr(item, "size", item) for item in items] == [1, "overridden", "overridden"]


def test_a_record_decorated_again_by_an_item_gives_the_next_items_its_new_defaults():
    def decorate_again(cls):
        cls.size = 7
        dataclasses.dataclass(cls)

    _, items = list_changed_by_its_first_item(decorate_again)
    assert [item.size for item in items] == [1, 7, 7]


def test_a_list_class_changed_by_an_item_makes_the_list_as_changed():
    calls = []
    change = []

    @dataclasses.dataclass
    class Part(ConfigData):
        size: int = 1

        def __post_init__(self):
            if change and not calls:
                Parts.__init__ = lambda self, items: (calls.append(len(items)), list.__init__(self, items))[1]

    class Parts(ConfigList[Part]):
        pass

    assert [part.size for part in from_defaults(Parts, [{"content": {}}] * 2)] == [1, 1] and calls == []
    change.append(True)
    assert [part.size for part in from_defaults(Parts, [{"content": {}}] * 2)] == [1, 1] and calls == [2]


def test_nothing_a_parse_read_stays_alive_after_it():
    def factory():
        return 1

    @dataclasses.dataclass
    class Made(ConfigData):
        size: int = dataclasses.field(default_factory=factory)

    assert Made.from_defaults({}).size == 1
    released = weakref.ref(factory)
    del Made, factory
    gc.collect()
    assert released() is None


# --- lists, optionals and unions made the way their class makes them -----------------------------------------------

def test_a_list_class_whose_items_reach_another_init_first_runs_it():
    calls = []

    class Middle(list):
        def __init__(self, *args):
            calls.append(args)
            super().__init__(*args)

    class Odd(ConfigList[Pair], Middle):
        pass

    assert [pair.size for pair in Odd.from_defaults([{"content": {"size": 2}}])] == [2] and len(calls) == 1


def test_a_list_class_without_type_arguments_refuses_its_items():
    class Bare(ConfigList[Pair]):
        pass

    Bare.__type_args__ = None
    with pytest.raises(QuorvelError, match=r"^ConfigList must be parametrized"):
        Bare.from_defaults([{"content": {"size": 2}}], alias=ConfigList[Pair])


@pytest.mark.parametrize("base, data", [(Pair, {"size": 2}),
                                        (ConfigOptional[Pair], {"default": True, "content": {"size": 2}}),
                                        (ConfigUnion[int | Pair], {"selection": "pair", "pair": {"size": 2}})],
                         ids=["record", "optional", "union"])
def test_an_abstract_subclass_is_not_made(base, data):
    class Abstract(base):
        @abc.abstractmethod
        def extra(self):
            pass

    with pytest.raises(QuorvelParseError) as caught:
        from_defaults(Abstract, data)
    assert "abstract" in str(caught.value.__cause__)


# --- UI defaults of records whose fields are all plain values -------------------------------------------------------


@dataclasses.dataclass
class Scalars(ConfigData):
    """One field of each scalar class."""

    size: int = dataclasses.field(default=1)
    label: str = "one"
    ratio: float = 0.5
    enabled: bool = True
    note: str | None = None


def test_a_record_of_plain_values_gives_a_dict_of_its_own():
    record = Scalars()
    defaults = record.build_defaults()
    assert defaults == {"size": 1, "label": "one", "ratio": 0.5, "enabled": True, "note": None}
    assert list(defaults) == ["size", "label", "ratio", "enabled", "note"]
    assert defaults is not record.__dict__ and defaults["label"] is record.label
    defaults["size"] = 2
    defaults["added"] = 3
    assert record.size == 1 and not hasattr(record, "added")
    assert record.build_defaults() == {"size": 1, "label": "one", "ratio": 0.5, "enabled": True, "note": None}


@pytest.mark.parametrize("change, expected", [
    pytest.param(lambda record: setattr(record, "label", ConfigList[int]([4])), [{"content": 4}], id="content value"),
    pytest.param(lambda record: setattr(record, "label", [Scalars(size=5)]), [{"size": 5, "label": "one",
                                                                              "ratio": 0.5, "enabled": True,
                                                                              "note": None}], id="nested list"),
    pytest.param(lambda record: setattr(record, "label", Shade.DARK), "dark", id="enumeration member"),
])
def test_a_field_of_another_kind_is_converted_on_the_next_call(change, expected):
    record = Scalars()
    assert record.build_defaults()["label"] == "one"
    change(record)
    assert record.build_defaults()["label"] == expected


def test_a_field_changed_by_the_checks_of_scalar_classes_is_read_anew():
    record = Scalars()

    class Meddler(ConfigData):
        # Asked whether each scalar class is content once abc's caches are invalidated.
        @classmethod
        def __subclasshook__(cls, subclass):
            if subclass is str and record.label == "one":
                record.label = Scalars(size=9, label="inner")
            return NotImplemented

    class Unrelated(abc.ABC):
        pass

    # A registration anywhere has every class check asked anew.
    Unrelated.register(type("Other", (), {}))
    assert record.build_defaults()["label"] == {"size": 9, "label": "inner", "ratio": 0.5, "enabled": True,
                                                "note": None}
    assert Meddler.__subclasshook__(int) is NotImplemented


# --- UI defaults of lists: read as their iteration reads them ---------------------------------------------------------


def test_a_list_class_with_its_own_iteration_is_read_through_it():
    class Backwards(ConfigList[int]):
        def __iter__(self):
            return reversed(list(super().__iter__()))

    assert Backwards([1, 2, 3]).build_defaults() == [{"content": 3}, {"content": 2}, {"content": 1}]


@pytest.mark.parametrize("change, expected", [
    pytest.param(lambda items: items.append(4), [1, "changed", 3, 4], id="grown"),
    pytest.param(lambda items: items.pop(), [1, "changed"], id="shrunk"),
    pytest.param(lambda items: items.__setitem__(2, 5), [1, "changed", 5], id="replaced"),
])
def test_a_list_changed_while_its_items_convert_is_read_as_it_stands(change, expected):
    class Changing(ConfigData):
        def build_defaults(self):
            change(self.owner)
            return "changed"

    changer = Changing()
    items = ConfigList[int]([1, changer, 3])
    changer.owner = items
    assert [row["content"] for row in items.build_defaults()] == expected


# --- UI defaults of unions: the selection as the instance's `selected` gives it ---------------------------------------


def test_an_override_of_selected_set_after_a_call_takes_effect_at_once():
    class Either(ConfigUnion[int | str]):
        pass

    value = Either(4)
    assert value.build_defaults() == {"selection": "int", "int": 4}
    Either.selected = property(lambda self: "count")
    assert value.build_defaults() == {"selection": "count", "count": 4}
    del Either.selected
    assert value.build_defaults() == {"selection": "int", "int": 4}


def test_selected_is_read_as_getattr_reads_it():
    class Looked(ConfigUnion[int | str]):
        def __getattribute__(self, name):
            return "looked" if name == "selected" else super().__getattribute__(name)

    assert Looked(4).build_defaults() == {"selection": "looked", "looked": 4}


# --- UI defaults of list items of one record class, converted in one run --------------------------------------------


def cells_changed_by_the_first(action):
    """The UI defaults of three cells, in one conversion, whose first one runs `action(cells)` while its own fields
    convert."""

    class Hook(ConfigData):
        def build_defaults(self):
            action(cells)
            return "hooked"

    @dataclasses.dataclass
    class Cell(ConfigData):
        size: int = 1
        hook: object = None

    cells = [Cell(1, Hook()), Cell(2), Cell(3)]
    return build_defaults(cells)


@pytest.mark.parametrize("action, third", [
    pytest.param(lambda cells: None, {"size": 3, "hook": None}, id="unchanged"),
    pytest.param(lambda cells: setattr(type(cells[2]), "build_defaults", lambda self: "overridden"), "overridden",
                 id="class method overridden"),
    pytest.param(lambda cells: setattr(cells[2], "build_defaults", lambda: "own"), "own", id="instance attribute"),
    pytest.param(lambda cells: setattr(cells[2], "size", [4]), {"size": [4], "hook": None}, id="field of a list"),
    pytest.param(lambda cells: setattr(cells[2], "size", Shade.DARK), {"size": "dark", "hook": None},
                 id="field of an enumeration"),
])
def test_an_item_changed_while_earlier_items_convert_is_converted_as_it_stands(action, third):
    # The second cell comes after the hook's conversion, the third right after the second.
    first, second, last = cells_changed_by_the_first(action)
    assert first == {"size": 1, "hook": "hooked"} and last == third
    assert second == ("overridden" if third == "overridden" else {"size": 2, "hook": None})


def test_items_of_a_class_no_longer_content_are_kept_as_they_are():
    # Clearing abc's registry cannot be undone, so it happens in its own interpreter.
    assert run_python("""
        import dataclasses
        from nimbrel.quorvel.data.content_core import BaseConfigurableData, build_defaults

        @dataclasses.dataclass
        class Plain:
            size: int = 1
            build_field_for_type = from_defaults = classmethod(lambda cls, *args, **kwargs: None)

        BaseConfigurableData.register(Plain)
        # The number has the run know scalars to be plain data before the records come.
        items = [0, Plain(1), Plain(2)]
        print(build_defaults(items))
        BaseConfigurableData._abc_registry_clear()
        BaseConfigurableData._abc_caches_clear()
        print([item is given for item, given in zip(build_defaults(items), items)])
    """).splitlines() == ["[0, {'size': 1}, {'size': 2}]", "[True, True, True]"]


def test_items_are_read_as_getattr_reads_them():
    @dataclasses.dataclass
    class Computed(ConfigData):
        size: int = 1

    Computed.size = property(lambda self: 7, lambda self, value: None)
    items = [Computed(), Computed(), Computed()]
    for item in items:
        item.__dict__["size"] = 5
    assert build_defaults(items) == [{"size": 7}] * 3


def test_items_whose_field_hides_the_method_call_that_field():
    @dataclasses.dataclass
    class Odd(ConfigData):
        build_defaults: object = dataclasses.field(default_factory=lambda: (lambda: "field"))

    # The number has the run know scalars to be plain data; the last item's field is one of them.
    items = [0, Odd(), Odd(build_defaults=5)]
    with pytest.raises(QuorvelImplementationError, match="^Field Odd.build_defaults hides the method build_defaults"):
        build_defaults(items)
    items[2].build_defaults = lambda: "called"
    assert build_defaults(items) == [0, "field", "called"]


def test_a_class_changed_while_an_earlier_item_converts_is_planned_anew():
    @dataclasses.dataclass
    class Plain(ConfigData):
        size: int = 1

    class Meddling(str):
        """A key that collides with `build_defaults`, so that looking that name up compares with it."""

        def __hash__(self):
            return hash("build_defaults")

        def __eq__(self, other):
            Plain.build_defaults = lambda self: "overridden"
            return False

    meddler = Plain(2)
    meddler.__dict__[Meddling("extra")] = 0
    assert build_defaults([0, Plain(1), meddler, Plain(3)]) == [0, {"size": 1}, {"size": 2}, "overridden"]
