"""Every way of loading configuration data gives the class it was called on, with no cast."""

from typing import Any, assert_type

from settings import Archive, Gateway, Lens, Shade

from nimbrel.quorvel import ConfigList, ConfigOptional, ConfigUnion, ConfigUntypedDict
from nimbrel.quorvel.data.parse import from_defaults

gateway = Gateway()
defaults = gateway.build_defaults()

# A record parses into the record class itself, whichever representation it comes from.
assert_type(Gateway.from_defaults(defaults), Gateway)
assert_type(Gateway.parse_from_disk_representation(gateway.serialize_to_disk_representation()), Gateway)
assert_type(Gateway.load_root_defaults(gateway.build_root_defaults()), Gateway)
assert_type(from_defaults(Gateway, defaults), Gateway)
assert isinstance(Gateway.load_root_defaults(gateway.build_root_defaults()), Gateway)

# The fields keep their parametrised types, and so do their contents.
loaded = Gateway.from_defaults(defaults)
assert_type(loaded.lenses, ConfigList[Lens])
assert_type(loaded.lenses[0], Lens)
for lens in loaded.lenses:
    assert_type(lens, Lens)
assert_type(loaded.archive.content, Archive | None)
assert_type(loaded.retention.content, int | Archive)
assert_type(loaded.shades[0], Shade)
assert_type(loaded.extra["exposure"], Any)

# A list is a list of its items: it is built from any iterable of them and used as one.
lenses = ConfigList[Lens](Lens(zoom=zoom) for zoom in (1.0, 2.0))
names: list[Lens] = lenses
assert_type(sorted(lenses, key=lambda lens: lens.zoom)[-1], Lens)
assert_type(ConfigList[int](), ConfigList[int])
assert_type(ConfigList[Lens].from_defaults([{"content": {}}]), ConfigList[Lens])
assert_type(from_defaults(ConfigList[Lens], []), ConfigList[Lens])

# Optionals and unions parse into their parametrised class, holding their member types.
assert_type(ConfigOptional[int].from_defaults({"default": True, "content": 3}).content, int | None)
assert_type(ConfigOptional[Archive](Archive()), ConfigOptional[Archive])
union = ConfigUnion[int | Archive].from_defaults({"selection": "int", "int": 3})
assert_type(union, ConfigUnion[int | Archive])
assert_type(union.content, int | Archive)
assert_type(union.selected, str | None)
if isinstance(union.content, Archive):
    assert_type(union.content.keep_days, int)

# Enumerations and free JSON objects parse into their own classes too.
assert_type(Shade.from_defaults("dark"), Shade)
assert_type(Shade.load_root_defaults({"shade": "light"}), Shade)
assert_type(from_defaults(Shade, "light"), Shade)
assert_type(ConfigUntypedDict.from_defaults({"a": 1}), ConfigUntypedDict)
assert_type(ConfigUntypedDict.from_defaults({"a": 1})["a"], Any)
