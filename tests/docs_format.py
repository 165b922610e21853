"""The configuration classes of the examples in docs/data-format.md, which tests/test_data_format.py reads."""

import dataclasses
import enum

from nimbrel.quorvel.data.enum_content import ConfigEnum
from nimbrel.quorvel.data.json_content import ConfigUntypedDict
from nimbrel.quorvel.data.list_content import ConfigList
from nimbrel.quorvel.data.optional_content import ConfigOptional
from nimbrel.quorvel.data.record_content import ConfigData
from nimbrel.quorvel.data.union_content import ConfigUnion


class Precision(ConfigEnum):
    COARSE = "coarse"
    FINE = "fine"


class Transport(enum.Enum):
    TCP = "tcp"
    UDP = "udp"


@dataclasses.dataclass
class Gauge(ConfigData):
    name: str
    port: int = dataclasses.field(default=502, metadata={"min": 1, "max": 65535})
    scale: float = 1.0
    enabled: bool = True
    precision: Precision = Precision.FINE


@dataclasses.dataclass
class Logbook(ConfigData):
    directory: str = "/var/log/gauges"
    keep_days: int = 7


@dataclasses.dataclass
class Outpost(ConfigData):
    gauges: ConfigList[Gauge] = dataclasses.field(default_factory=lambda: ConfigList[Gauge]([]))
    logbook: ConfigOptional[Logbook] = dataclasses.field(default_factory=lambda: ConfigOptional[Logbook](None))
    retention: ConfigUnion[int | Logbook] = dataclasses.field(default_factory=lambda: ConfigUnion[int | Logbook](30))
    transport: Transport = Transport.TCP
    vendor: ConfigUntypedDict = dataclasses.field(default_factory=ConfigUntypedDict)


@dataclasses.dataclass
class Plain(ConfigData):
    counts: list[int] = dataclasses.field(default_factory=list)
    window: tuple[int, str] = (640, "wide")
    sizes: tuple[int, ...] = ()
    bitrates: dict[str, int] = dataclasses.field(default_factory=dict)
    names_by_port: dict[int, str] = dataclasses.field(default_factory=dict)
    weights: dict[Transport, float] = dataclasses.field(default_factory=dict)
    extra: dict = dataclasses.field(default_factory=dict)
    limit: int | None = None
    mode: int | str = dataclasses.field(default_factory=lambda: ConfigUnion[int | str](0))


Ports = ConfigList[int]
Gauges = ConfigList[Gauge]
MaybeLogbook = ConfigOptional[Logbook]
Retention = ConfigUnion[int | Logbook]
