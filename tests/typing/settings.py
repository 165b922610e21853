"""A configuration of every content kind, shared by the typed usage files beside it."""

import dataclasses

from nimbrel.quorvel import (
    ConfigData,
    ConfigEnum,
    ConfigList,
    ConfigOptional,
    ConfigUnion,
    ConfigUntypedDict,
    FieldPassword,
)


class Shade(ConfigEnum):
    DARK = "dark"
    LIGHT = "light"


@dataclasses.dataclass
class Lens(ConfigData):
    zoom: float = 1.0
    password: str = dataclasses.field(default="", metadata={"input": FieldPassword})


@dataclasses.dataclass
class Archive(ConfigData):
    directory: str = "/var/archive"
    keep_days: int = 7


@dataclasses.dataclass
class Gateway(ConfigData):
    lenses: ConfigList[Lens] = dataclasses.field(default_factory=lambda: ConfigList[Lens]([Lens()]))
    archive: ConfigOptional[Archive] = dataclasses.field(default_factory=lambda: ConfigOptional[Archive](None))
    retention: ConfigUnion[int | Archive] = dataclasses.field(default_factory=lambda: ConfigUnion[int | Archive](30))
    shades: ConfigList[Shade] = dataclasses.field(default_factory=lambda: ConfigList[Shade]([Shade.DARK]))
    extra: ConfigUntypedDict = dataclasses.field(default_factory=lambda: ConfigUntypedDict({"exposure": "auto"}))
