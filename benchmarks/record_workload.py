"""A record holding a nested record, a list of 50 records, an optional record and a union,
declared once with quorvel and once as the equivalent pydantic v2 model."""

import dataclasses
from typing import Any

from pydantic import BaseModel

from nimbrel.quorvel.data.list_content import ConfigList
from nimbrel.quorvel.data.optional_content import ConfigOptional
from nimbrel.quorvel.data.record_content import ConfigData
from nimbrel.quorvel.data.union_content import ConfigUnion


@dataclasses.dataclass
class Item(ConfigData):
    name: str = "item"
    count: int = 1
    ratio: float = 0.5
    enabled: bool = True


@dataclasses.dataclass
class Server(ConfigData):
    host: str = "localhost"
    port: int = 80


def _items() -> ConfigList[Item]:
    return ConfigList[Item](Item(name=f"item{i}", count=i) for i in range(50))


@dataclasses.dataclass
class Deployment(ConfigData):
    server: Server = dataclasses.field(default_factory=Server)
    items: ConfigList[Item] = dataclasses.field(default_factory=_items)
    backup: ConfigOptional[Server] = dataclasses.field(default_factory=lambda: ConfigOptional[Server](Server()))
    choice: ConfigUnion[int | Item] = dataclasses.field(default_factory=lambda: ConfigUnion[int | Item](Item()))


class PyItem(BaseModel):
    name: str = "item"
    count: int = 1
    ratio: float = 0.5
    enabled: bool = True


class PyServer(BaseModel):
    host: str = "localhost"
    port: int = 80


class PyDeployment(BaseModel):
    server: PyServer = PyServer()
    items: list[PyItem] = [PyItem(name=f"item{i}", count=i) for i in range(50)]
    backup: PyServer | None = PyServer()
    choice: int | PyItem = PyItem()


def names() -> tuple[dict[str, Any], dict[str, Any]]:
    """The statement namespaces for ours and the peer: `cls`, `value` and `data`."""
    ours = Deployment()
    peer = PyDeployment()
    return (
        {"cls": Deployment, "value": ours, "data": ours.build_defaults()},
        {"cls": PyDeployment, "value": peer, "data": peer.model_dump()},
    )
