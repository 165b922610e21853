"""A camera settings form, built by quorvel from annotations.

The field builder turns each (name, annotation, metadata) triple into a UI
field model; a free JSON object (ConfigUntypedDict) describes its own field
and produces its UI defaults and root representation. Printing the group's
model_dump() shows the JSON a front end would receive to render the form.
"""

import enum
import json

from nimbrel.quorvel.data.json_content import ConfigUntypedDict
from nimbrel.quorvel.data.serialize import build_field
from nimbrel.quorvel.fields.field_models import FieldData, FieldPassword


class Resolution(enum.Enum):
    HD = "720p"
    FULL_HD = "1080p"
    UHD = "4k"


def main() -> None:
    extras = ConfigUntypedDict({"exposure": "auto", "tags": ["lobby"]})
    form = FieldData(
        name="camera",
        description="Camera connection settings",
        fields=[
            build_field("host_name", str, {"default": "localhost"}),
            build_field("port", int, {"default": 8080, "min": 1, "max": 65535}),
            build_field("password", str, {"input": FieldPassword}),
            build_field("resolution", Resolution, {"default": Resolution.FULL_HD}),
            extras.build_field(name="extras", metadata={"description": "Free-form vendor options"}),
        ],
    )
    print(json.dumps(form.model_dump(), indent=2))
    print("Root representation of the extras:", json.dumps(extras.build_root_defaults()))


if __name__ == "__main__":
    main()
