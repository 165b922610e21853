"""A camera service configuration, round-tripped through every representation quorvel offers.

The configuration is declared once, as dataclass records. From it quorvel
builds the UI form description, the UI defaults a form shows and submits,
the disk representation and the root representation, and parses each of
them back into the same typed configuration. The disk representation is
stored in a JSON file (`--config`, `service.json` by default) and read back,
and a form submission with a mistake in it is refused with the place of the
mistake.
"""

import argparse
import dataclasses
import enum
import json
import pathlib
from typing import Any

from nimbrel.quorvel import (
    ConfigData,
    ConfigEnum,
    ConfigList,
    ConfigOptional,
    ConfigUnion,
    ConfigUntypedDict,
    FieldPassword,
    QuorvelError,
)


class Resolution(ConfigEnum):
    HD = "720p"
    FULL_HD = "1080p"
    UHD = "4k"


class Codec(enum.Enum):
    H264 = "h264"
    H265 = "h265"


@dataclasses.dataclass
class Camera(ConfigData):
    host: str = "localhost"
    port: int = dataclasses.field(default=554, metadata={"min": 1, "max": 65535})
    password: str = dataclasses.field(default="", metadata={"input": FieldPassword})
    resolution: Resolution = Resolution.FULL_HD


@dataclasses.dataclass
class Recording(ConfigData):
    directory: str = "/var/recordings"
    keep_days: int = 7


@dataclasses.dataclass
class Service(ConfigData):
    cameras: ConfigList[Camera] = dataclasses.field(default_factory=lambda: ConfigList[Camera]([Camera()]))
    recording: ConfigOptional[Recording] = dataclasses.field(
        default_factory=lambda: ConfigOptional[Recording](Recording())
    )
    retention: ConfigUnion[int | Recording] = dataclasses.field(default_factory=lambda: ConfigUnion[int | Recording](30))
    codec: Codec = Codec.H264
    bitrates: dict[str, int] = dataclasses.field(default_factory=lambda: {"low": 500, "high": 4000})
    window: tuple[int, str] = (640, "wide")
    vendor: ConfigUntypedDict = dataclasses.field(default_factory=lambda: ConfigUntypedDict({"exposure": "auto"}))


def show(title: str, value: Any) -> None:
    print(f"--- {title}")
    print(json.dumps(value, indent=2, default=str))


def store(service: Service, path: pathlib.Path) -> None:
    """Writes the configuration to a JSON file and reads it back: the same configuration."""
    path.write_text(json.dumps(service.serialize_to_disk_representation(), indent=2) + "\n")
    assert Service.parse_from_disk_representation(json.loads(path.read_text())) == service


def first_error(error: QuorvelError) -> BaseException:
    """Each record on the way out of a failed parse wraps the error; the first one says what went wrong."""
    first: BaseException = error
    while isinstance(first.__cause__, QuorvelError):
        first = first.__cause__
    return first


def submit_with_mistake(service: Service) -> None:
    """A form submits a record where a port number belongs: the error says where."""
    submitted = service.build_defaults()
    submitted["cameras"][0]["content"]["port"] = {"number": 554}
    try:
        Service.from_defaults(submitted)
    except QuorvelError as error:
        print(f"--- Refused submission at {error.pointer}")
        print(first_error(error))
    else:
        raise AssertionError("the submission was accepted")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--config", type=pathlib.Path, default=pathlib.Path("service.json"),
                        help="the JSON file the configuration is stored in (default: service.json)")
    options = parser.parse_args()

    service = Service()
    # A tuple has no form field kind: the form shows every other field.
    shown = [f.name for f in dataclasses.fields(Service) if f.name != "window"]
    form = Service.build_field_for_type(value=service, metadata={"names": shown})
    show("UI form description", form.model_dump())

    defaults = service.build_defaults()
    show("UI defaults", defaults)
    assert Service.from_defaults(defaults) == service

    disk = service.serialize_to_disk_representation()
    assert Service.parse_from_disk_representation(disk) == service
    store(service, options.config)
    print(f"--- Stored in {options.config} and read back")

    root = service.build_root_defaults()
    show("Root representation", root)
    assert Service.load_root_defaults(root) == service

    submit_with_mistake(service)
    print("Round trip through the UI defaults, disk and root representations: identical configuration.")


if __name__ == "__main__":
    main()
