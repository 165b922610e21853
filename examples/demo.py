"""Describe a small settings form by hand with quorvel's field models.

The tree below is what a UI receives to render a "camera" form: a text box, a
bounded number and a drop-down. Printing its model_dump() shows the JSON a
front end would be sent.
"""

import json

from nimbrel.quorvel.fields.field_models import FieldData, FieldEnum, FieldInteger, FieldString


def main() -> None:
    field = FieldData(
        name="camera",
        description="Camera connection settings",
        fields=[
            FieldString(name="host_name", default="localhost"),
            FieldInteger(name="port", default=8080, min=1, max=65535),
            FieldEnum(
                name="resolution",
                options=[
                    {"value": "720p", "label": "720p"},
                    {"value": "1080p", "label": "1080p"},
                    {"value": "4k", "label": "4K"},
                ],
                default="1080p",
            ),
        ],
    )
    print(json.dumps(field.model_dump(), indent=2))


if __name__ == "__main__":
    main()
