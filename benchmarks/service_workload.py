"""A service configuration of N cameras, declared with quorvel, as a pydantic v2 model and as msgspec Structs.

The shape is the same for all three: a nested record, a list of N records, an optional record, a union of int
and float, an enumeration and primitives. Each library parses and writes the data format it defines (quorvel's UI
defaults wrap list rows, optionals and unions; the peers' formats are plain).
"""

import dataclasses
import enum
from typing import Any

import msgspec
from pydantic import BaseModel

from nimbrel.quorvel.data.enum_content import ConfigEnum
from nimbrel.quorvel.data.list_content import ConfigList
from nimbrel.quorvel.data.optional_content import ConfigOptional
from nimbrel.quorvel.data.record_content import ConfigData
from nimbrel.quorvel.data.union_content import ConfigUnion

SIZES = (50, 500)


class Quality(ConfigEnum):
    LOW = "low"
    HIGH = "high"


class PeerQuality(enum.Enum):
    LOW = "low"
    HIGH = "high"


@dataclasses.dataclass
class Endpoint(ConfigData):
    host: str = "localhost"
    port: int = 554


@dataclasses.dataclass
class Camera(ConfigData):
    name: str = "camera"
    port: int = 554
    ratio: float = 0.5
    enabled: bool = True


def _cameras(count: int) -> ConfigList[Camera]:
    return ConfigList[Camera](Camera(name=f"camera{i}", port=i) for i in range(count))


@dataclasses.dataclass
class Service(ConfigData):
    endpoint: Endpoint = dataclasses.field(default_factory=Endpoint)
    cameras: ConfigList[Camera] = dataclasses.field(default_factory=lambda: _cameras(0))
    backup: ConfigOptional[Endpoint] = dataclasses.field(default_factory=lambda: ConfigOptional[Endpoint](Endpoint()))
    retention: ConfigUnion[int | float] = dataclasses.field(default_factory=lambda: ConfigUnion[int | float](30))
    quality: Quality = Quality.HIGH
    title: str = "service"
    workers: int = 4


class PydanticEndpoint(BaseModel):
    host: str = "localhost"
    port: int = 554


class PydanticCamera(BaseModel):
    name: str = "camera"
    port: int = 554
    ratio: float = 0.5
    enabled: bool = True


class PydanticService(BaseModel):
    endpoint: PydanticEndpoint = PydanticEndpoint()
    cameras: list[PydanticCamera] = []
    backup: PydanticEndpoint | None = PydanticEndpoint()
    retention: int | float = 30
    quality: PeerQuality = PeerQuality.HIGH
    title: str = "service"
    workers: int = 4


class MsgspecEndpoint(msgspec.Struct):
    host: str = "localhost"
    port: int = 554


class MsgspecCamera(msgspec.Struct):
    name: str = "camera"
    port: int = 554
    ratio: float = 0.5
    enabled: bool = True


class MsgspecService(msgspec.Struct):
    endpoint: MsgspecEndpoint = msgspec.field(default_factory=MsgspecEndpoint)
    cameras: list[MsgspecCamera] = []
    backup: MsgspecEndpoint | None = msgspec.field(default_factory=MsgspecEndpoint)
    retention: int | float = 30
    quality: PeerQuality = PeerQuality.HIGH
    title: str = "service"
    workers: int = 4


class _Validate:
    """Lets one statement call `from_defaults` on ours and `model_validate` on pydantic."""

    def __init__(self, parse: Any) -> None:
        self.from_defaults = parse


class _Dump:
    def __init__(self, dump: Any) -> None:
        self.build_defaults = dump


def namespaces(count: int) -> dict[str, dict[str, Any]]:
    """The statement namespaces (`cls`, `value`, `data`) of ours and of each peer, for `count` cameras."""
    ours = Service(cameras=_cameras(count))
    pydantic_value = PydanticService(cameras=[PydanticCamera(name=f"camera{i}", port=i) for i in range(count)])
    msgspec_value = MsgspecService(cameras=[MsgspecCamera(name=f"camera{i}", port=i) for i in range(count)])
    msgspec_data = msgspec.to_builtins(msgspec_value)
    return {
        "quorvel": {"cls": Service, "value": ours, "data": ours.build_defaults()},
        "pydantic": {"cls": _Validate(PydanticService.model_validate), "value": _Dump(pydantic_value.model_dump),
                     "data": pydantic_value.model_dump()},
        "msgspec": {"cls": _Validate(lambda data: msgspec.convert(data, type=MsgspecService)),
                    "value": _Dump(lambda: msgspec.to_builtins(msgspec_value)), "data": msgspec_data},
    }
