"""Browser tests of the form renderer (web/form.js): forms rendered from quorvel's form descriptions collect the
UI defaults that build the configuration back, and their controls, labels and errors behave."""

import dataclasses
import enum
import importlib.resources
import json
from typing import Any

import pytest

from conftest import ROOT, load_demo
from nimbrel.quorvel.data.enum_content import ConfigEnum
from nimbrel.quorvel.data.json_content import ConfigUntypedDict
from nimbrel.quorvel.data.list_content import ConfigList
from nimbrel.quorvel.data.optional_content import ConfigOptional
from nimbrel.quorvel.data.record_content import ConfigData
from nimbrel.quorvel.data.union_content import ConfigUnion
from nimbrel.quorvel.fields.field_models import FieldPassword, FieldTextArea

WEB = ROOT / "src" / "nimbrel" / "quorvel" / "web"
FORM_JS = (WEB / "form.js").read_text()

demo = load_demo()
Camera, Recording, Service = demo.Camera, demo.Recording, demo.Service
SERVICE_SHOWN = [f.name for f in dataclasses.fields(Service) if f.name != "window"]


class FormLevel(ConfigEnum):
    LOW = 1
    HIGH = 2


class FormMode(enum.Enum):
    FAST = "fast"
    SLOW = "slow"


@dataclasses.dataclass
class FormEndpoint(ConfigData):
    host: str = "a"
    port: int = dataclasses.field(default=1, metadata={"min": 1, "max": 100})


@dataclasses.dataclass
class FormPrimitives(ConfigData):
    name: str = "x"
    secret: str = dataclasses.field(default="pw", metadata={"input": FieldPassword})
    notes: str = dataclasses.field(default="first\nsecond", metadata={"input": FieldTextArea})
    count: int = 3
    ratio: float = dataclasses.field(default=0.5, metadata={"min": 0.0, "max": 1.0})
    whole: float = 1.0
    on: bool = True
    off: bool = False
    level: FormLevel = FormLevel.HIGH
    mode: FormMode = FormMode.SLOW


@dataclasses.dataclass
class FormLists(ConfigData):
    endpoints: ConfigList[FormEndpoint] = dataclasses.field(
        default_factory=lambda: ConfigList[FormEndpoint]([FormEndpoint("h", 2), FormEndpoint()]))
    numbers: ConfigList[int] = dataclasses.field(default_factory=lambda: ConfigList[int]([4, -5]))
    empty: ConfigList[int] = dataclasses.field(default_factory=lambda: ConfigList[int]([]))
    grid: ConfigList[ConfigList[int]] = dataclasses.field(
        default_factory=lambda: ConfigList[ConfigList[int]]([ConfigList[int]([1, 2]), ConfigList[int]([])]))


@dataclasses.dataclass
class FormToggles(ConfigData):
    shown: ConfigOptional[FormEndpoint] = dataclasses.field(
        default_factory=lambda: ConfigOptional[FormEndpoint](FormEndpoint("on", 7)))
    hidden: ConfigOptional[FormEndpoint] = dataclasses.field(
        default_factory=lambda: ConfigOptional[FormEndpoint](None))
    number: ConfigOptional[int] = dataclasses.field(default_factory=lambda: ConfigOptional[int](5))


@dataclasses.dataclass
class FormTagged(ConfigData):
    tags: ConfigList[int] = dataclasses.field(default_factory=lambda: ConfigList[int]([1, 2]))


Choice = ConfigUnion[int | FormEndpoint]
Nested = ConfigOptional[ConfigUnion[int | FormTagged]]


@dataclasses.dataclass
class FormChoices(ConfigData):
    number: Choice = dataclasses.field(default_factory=lambda: Choice(9))
    record: Choice = dataclasses.field(default_factory=lambda: Choice(FormEndpoint("u", 9)))
    nested: Nested = dataclasses.field(
        default_factory=lambda: Nested(ConfigUnion[int | FormTagged](FormTagged(ConfigList[int]([7, 8])))))
    rows: ConfigList[Choice] = dataclasses.field(
        default_factory=lambda: ConfigList[Choice]([Choice(3), Choice(FormEndpoint("x", 5))]))
    maybes: ConfigList[ConfigOptional[FormEndpoint]] = dataclasses.field(
        default_factory=lambda: ConfigList[ConfigOptional[FormEndpoint]](
            [ConfigOptional[FormEndpoint](None), ConfigOptional[FormEndpoint](FormEndpoint("y", 6))]))


@dataclasses.dataclass
class FormJson(ConfigData):
    untyped: ConfigUntypedDict = dataclasses.field(
        default_factory=lambda: ConfigUntypedDict({"a/b": 1, "c~d": "é", "nested": {"x": [1, 0.5, None]}}))
    limits: dict[str, int] = dataclasses.field(default_factory=lambda: {"niño": 1, "~/": 2})
    anything: dict[str, Any] = dataclasses.field(default_factory=lambda: {"ratio": 0.25, "flag": True})
    blank: ConfigUntypedDict = dataclasses.field(default_factory=ConfigUntypedDict)


def modified_service():
    return Service(
        cameras=ConfigList[Camera]([Camera(host="cam-1"), Camera(host="cam/2~b", port=8554, password="s3cret",
                                                                 resolution=demo.Resolution.UHD)]),
        recording=ConfigOptional[Recording](None),
        retention=ConfigUnion[int | Recording](Recording(directory="/srv/archive", keep_days=90)),
        codec=demo.Codec.H265, bitrates={"low": 250, "high": 8000},
        vendor=ConfigUntypedDict({"exposure": "manual", "gain": [1, 2], "nested": {"iso": None}}))


CONFIGURATIONS = {
    "service": (Service(), SERVICE_SHOWN),
    "service-modified": (modified_service(), SERVICE_SHOWN),
    "primitives": (FormPrimitives(), None),
    "primitives-edited": (FormPrimitives(name="Grüße ✓", secret="", notes="", count=-12, ratio=1e-7, whole=-2.0,
                                         on=False, off=True, level=FormLevel.LOW, mode=FormMode.FAST), None),
    "lists": (FormLists(), None),
    "toggles": (FormToggles(), None),
    "toggles-flipped": (FormToggles(shown=ConfigOptional[FormEndpoint](None),
                                    hidden=ConfigOptional[FormEndpoint](FormEndpoint("z", 3)),
                                    number=ConfigOptional[int](None)), None),
    "choices": (FormChoices(), None),
    "choices-flipped": (FormChoices(number=Choice(FormEndpoint("w", 4)), record=Choice(0),
                                    nested=Nested(ConfigUnion[int | FormTagged](11)), rows=ConfigList[Choice]([]),
                                    maybes=ConfigList[ConfigOptional[FormEndpoint]]([])), None),
    "nested-disabled": (FormChoices(nested=Nested(None)), None),
    "json": (FormJson(), None),
}


def json_round_trip(value: Any) -> Any:
    return json.loads(json.dumps(value))


def form_description(config: Any, shown: list[str] | None = None) -> dict[str, Any]:
    metadata = None if shown is None else {"names": shown}
    return json_round_trip(type(config).build_field_for_type(value=config, metadata=metadata).model_dump())


def expected_defaults(config: Any, shown: list[str] | None = None) -> dict[str, Any]:
    defaults = json_round_trip(config.build_defaults())
    return defaults if shown is None else {name: defaults[name] for name in shown}


def selector(attribute: str, value: str) -> str:
    """An attribute selector matching `value` exactly (JSON string quoting is valid CSS for these values)."""
    return f"[{attribute}={json.dumps(value, ensure_ascii=False)}]"


class RenderedForm:
    """A form rendered into a blank page, driven through the controller renderForm returns."""

    def __init__(self, page: Any, form: dict[str, Any], *, page_html: str = '<div id="root"></div>') -> None:
        self.page = page
        page.set_content(page_html)
        page.add_script_tag(type="module", content=FORM_JS + "\nwindow.renderForm = renderForm;")
        page.wait_for_function("() => window.renderForm !== undefined")
        # The description travels as JSON text, as it would from a server.
        page.evaluate("text => { window.controller = window.renderForm(document.getElementById('root'), "
                      "JSON.parse(text)); }", json.dumps(form))

    def value(self) -> Any:
        return json.loads(self.page.evaluate("() => JSON.stringify(window.controller.value())"))

    def validate(self) -> bool:
        return self.page.evaluate("() => window.controller.validate()")

    def show_errors(self, errors: list[dict[str, str]]) -> None:
        self.page.evaluate("errors => window.controller.showErrors(errors)", errors)

    def clear_errors(self) -> None:
        self.page.evaluate("() => window.controller.clearErrors()")

    def control(self, pointer: str) -> Any:
        return self.page.locator(selector("name", pointer))

    def error(self, pointer: str) -> Any:
        return self.page.locator(selector("data-error-for", pointer))

    def click(self, attribute: str, pointer: str) -> None:
        self.page.locator(selector(attribute, pointer)).click()

    def shown_errors(self) -> dict[str, str]:
        return self.page.evaluate("""() => Object.fromEntries([...document.querySelectorAll('[data-error-for]')]
            .filter(element => element.textContent !== '')
            .map(element => [element.dataset.errorFor, element.textContent]))""")


@pytest.fixture
def service_form(page):
    return RenderedForm(page, form_description(Service(), SERVICE_SHOWN))


@pytest.mark.parametrize("name", CONFIGURATIONS)
def test_unedited_form_collects_the_ui_defaults(page, name):
    config, shown = CONFIGURATIONS[name]
    form = RenderedForm(page, form_description(config, shown))
    value = form.value()
    assert value == expected_defaults(config, shown)
    # Fields the form does not show keep their defaults, which these configurations have.
    assert type(config).from_defaults(value) == config


def test_edited_service_builds_the_edited_configuration(page, service_form):
    service_form.control("/cameras/0/content/host").fill("cam-1")
    service_form.click("data-add", "/cameras")
    service_form.control("/cameras/1/content/host").fill("cam/2~b")
    service_form.control("/cameras/1/content/port").fill("8554")
    service_form.control("/cameras/1/content/password").fill("s3cret")
    service_form.control("/cameras/1/content/resolution").select_option("4k")
    service_form.control("/recording/default").uncheck()
    service_form.control("/retention/selection").select_option("recording")
    service_form.control("/retention/recording/directory").fill("/srv/archive")
    service_form.control("/retention/recording/keep_days").fill("90")
    service_form.control("/codec").select_option("h265")
    service_form.control("/bitrates").fill('{"low": 250, "high": 8000}')
    service_form.control("/vendor").fill('{"exposure": "manual", "gain": [1, 2], "nested": {"iso": null}}')
    assert service_form.validate()
    assert Service.from_defaults(service_form.value()) == modified_service()


LEAVES = [
    ("/name", "input", "text"),
    ("/secret", "input", "password"),
    ("/notes", "textarea", None),
    ("/count", "input", "number"),
    ("/ratio", "input", "number"),
    ("/on", "input", "checkbox"),
    ("/level", "select", None),
    ("/mode", "select", None),
]


@pytest.mark.parametrize("pointer, tag, kind", LEAVES)
def test_each_leaf_kind_renders_its_control(page, pointer, tag, kind):
    form = RenderedForm(page, form_description(FormPrimitives()))
    control = form.control(pointer)
    assert control.count() == 1
    assert control.evaluate("element => element.tagName.toLowerCase()") == tag
    if kind is not None:
        assert control.get_attribute("type") == kind
    assert control.evaluate("element => element.labels.length") == 1


@pytest.mark.parametrize("config, pointer, step, bounds", [
    (FormPrimitives(), "/count", "1", (None, None)),
    (FormPrimitives(), "/whole", "any", (None, None)),
    (FormPrimitives(), "/ratio", "any", ("0", "1")),
    (FormLists(), "/endpoints/1/content/port", "1", ("1", "100")),
])
def test_number_inputs_step_and_bounds(page, config, pointer, step, bounds):
    control = RenderedForm(page, form_description(config)).control(pointer)
    assert control.get_attribute("step") == step
    assert (control.get_attribute("min"), control.get_attribute("max")) == bounds


def test_structure_of_the_demo_form(service_form):
    page = service_form.page
    assert service_form.control("/bitrates").evaluate("element => element.tagName") == "TEXTAREA"
    assert json.loads(service_form.control("/vendor").input_value()) == {"exposure": "auto"}
    assert service_form.control("/recording/default").get_attribute("type") == "checkbox"
    selection = service_form.control("/retention/selection")
    assert selection.evaluate("s => [...s.options].map(o => [o.value, o.text])") == [["int", "Int"],
                                                                                     ["recording", "Recording"]]
    assert service_form.control("/codec").evaluate("s => [...s.options].map(o => o.text)") == ["H264", "H265"]
    assert page.locator("fieldset > legend").first.inner_text() == "Service"
    assert service_form.error("").count() == 1
    for pointer in ["", "/cameras", "/cameras/0/content", "/cameras/0/content/port", "/recording",
                    "/recording/content", "/retention", "/retention/int", "/codec", "/bitrates"]:
        assert service_form.error(pointer).count() == 1, pointer
    # Controls never submit a form around the renderer.
    assert page.eval_on_selector_all("button", "bs => bs.every(b => b.type === 'button')")


@pytest.mark.parametrize("name", ["service", "primitives", "choices", "lists", "toggles"])
def test_labels_point_at_their_controls(page, name):
    config, shown = CONFIGURATIONS[name]
    RenderedForm(page, form_description(config, shown))
    problems = page.evaluate("""() => {
        const problems = [];
        const ids = [...document.querySelectorAll('[id]')].map(element => element.id);
        if (new Set(ids).size !== ids.length) problems.push('duplicate ids');
        for (const label of document.querySelectorAll('label')) {
            const target = document.getElementById(label.htmlFor);
            if (!target || !['INPUT', 'SELECT', 'TEXTAREA'].includes(target.tagName)) {
                problems.push('label for ' + label.htmlFor);
            }
        }
        for (const control of document.querySelectorAll('input, select, textarea')) {
            if (control.labels.length !== 1 || control.labels[0].textContent.trim() === '') {
                problems.push('unlabelled ' + control.name);
            }
            if (!control.name.startsWith('/')) problems.push('name ' + control.name);
        }
        return problems;
    }""")
    assert problems == []


def test_json_pointers_escape_tilde_and_slash(page):
    @dataclasses.dataclass
    class FormOddNames(ConfigData):
        endpoints: ConfigList[FormEndpoint] = dataclasses.field(
            default_factory=lambda: ConfigList[FormEndpoint]([FormEndpoint()]))

    form = form_description(FormOddNames())
    form["fields"][0]["name"] = "a/b~c"
    rendered = RenderedForm(page, form)
    assert rendered.control("/a~1b~0c/0/content/host").input_value() == "a"
    assert rendered.page.locator(selector("data-add", "/a~1b~0c")).count() == 1
    assert list(rendered.value()) == ["a/b~c"]


def hosts(form: RenderedForm) -> list[str]:
    return [row["content"]["host"] for row in form.value()["endpoints"]]


@pytest.mark.parametrize("clicks, expected", [
    ([("data-move-down", "/endpoints/0")], ["b", "a", "c"]),
    ([("data-move-up", "/endpoints/2")], ["a", "c", "b"]),
    ([("data-move-up", "/endpoints/1"), ("data-move-down", "/endpoints/1")], ["b", "c", "a"]),
    ([("data-remove", "/endpoints/1")], ["a", "c"]),
    ([("data-remove", "/endpoints/0"), ("data-move-down", "/endpoints/0")], ["c", "b"]),
    ([("data-add", "/endpoints")], ["a", "b", "c", "a"]),
    ([("data-remove", "/endpoints/0")] * 3 + [("data-add", "/endpoints")], ["a"]),
], ids=["down", "up", "up-down", "remove", "remove-move", "add", "empty-add"])
def test_list_controls(page, clicks, expected):
    config = FormLists(endpoints=ConfigList[FormEndpoint]([FormEndpoint(h, i + 10) for i, h in enumerate("abc")]))
    form = RenderedForm(page, form_description(config))
    for attribute, pointer in clicks:
        form.click(attribute, pointer)
    assert hosts(form) == expected
    # Names, error elements and controls are renumbered to the rows' new places.
    for index, host in enumerate(expected):
        row = f"/endpoints/{index}"
        assert form.control(f"{row}/content/host").input_value() == host
        assert form.error(f"{row}/content/port").count() == 1
        for attribute in ["data-remove", "data-move-up", "data-move-down"]:
            assert page.locator(selector(attribute, row)).count() == 1
        assert page.locator(selector("data-move-up", row)).is_disabled() == (index == 0)
        assert page.locator(selector("data-move-down", row)).is_disabled() == (index == len(expected) - 1)
    assert form.control(f"/endpoints/{len(expected)}/content/host").count() == 0
    assert page.locator(selector("data-remove", f"/endpoints/{len(expected)}")).count() == 0
    config_after = FormLists.from_defaults(form.value())
    assert [endpoint.host for endpoint in config_after.endpoints] == expected


def test_rows_keep_their_values_when_moved(page):
    form = RenderedForm(page, form_description(FormLists()))
    form.control("/endpoints/1/content/port").fill("42")
    form.click("data-move-up", "/endpoints/1")
    assert form.value()["endpoints"] == [{"content": {"host": "a", "port": 42}}, {"content": {"host": "h", "port": 2}}]
    # Focus follows the moved row, so a keyboard user can keep moving it.
    assert page.evaluate("() => document.activeElement.dataset.moveDown") == "/endpoints/0"


def test_list_of_ints_add_and_nested_lists(page):
    form = RenderedForm(page, form_description(FormLists()))
    form.click("data-add", "/numbers")
    form.control("/numbers/2/content").fill("6")
    form.click("data-add", "/grid/1/content")
    form.control("/grid/1/content/0/content").fill("9")
    form.click("data-remove", "/grid/0/content/0")
    value = form.value()
    assert value["numbers"] == [{"content": 4}, {"content": -5}, {"content": 6}]
    assert value["grid"] == [{"content": [{"content": 2}]}, {"content": [{"content": 9}]}]
    assert form.control("/grid/0/content/0/content").input_value() == "2"
    assert FormLists.from_defaults(value).grid == [[2], [9]]


def test_new_rows_start_from_the_template_defaults(page):
    form = RenderedForm(page, form_description(FormChoices(rows=ConfigList[Choice]([]))))
    form.click("data-add", "/rows")
    form.click("data-add", "/maybes")
    value = form.value()
    assert value["rows"] == [{"content": {"selection": "int", "int": 0}}]
    assert value["maybes"][-1] == {"content": {"default": False}}


def test_optional_toggle_hides_and_drops_its_content(service_form):
    directory = service_form.control("/recording/content/directory")
    directory.fill("/mnt/videos")
    service_form.control("/recording/default").uncheck()
    assert directory.is_hidden()
    assert service_form.value()["recording"] == {"default": False}
    service_form.control("/recording/default").check()
    assert directory.is_visible()
    assert service_form.value()["recording"] == {"default": True,
                                                 "content": {"directory": "/mnt/videos", "keep_days": 7}}


def test_disabled_optional_shows_its_defaults_when_enabled(page):
    form = RenderedForm(page, form_description(FormToggles()))
    assert form.control("/hidden/content/host").is_hidden()
    form.control("/hidden/default").check()
    assert form.value()["hidden"] == {"default": True, "content": {"host": "a", "port": 1}}


def test_union_switch_shows_only_the_selected_variant(service_form):
    service_form.control("/retention/int").fill("45")
    service_form.control("/retention/selection").select_option("recording")
    assert service_form.control("/retention/int").is_hidden()
    assert service_form.control("/retention/recording/directory").is_visible()
    assert service_form.value()["retention"] == {"selection": "recording",
                                                 "recording": {"directory": "/var/recordings", "keep_days": 7}}
    service_form.control("/retention/selection").select_option("int")
    assert service_form.control("/retention/recording/directory").is_hidden()
    assert service_form.value()["retention"] == {"selection": "int", "int": 45}


def test_list_inside_union_inside_optional(page):
    form = RenderedForm(page, form_description(FormChoices()))
    form.click("data-add", "/nested/content/form_tagged/tags")
    form.control("/nested/content/form_tagged/tags/2/content").fill("3")
    form.click("data-move-up", "/nested/content/form_tagged/tags/2")
    assert form.value()["nested"] == {"default": True, "content": {
        "selection": "form_tagged", "form_tagged": {"tags": [{"content": 7}, {"content": 3}, {"content": 8}]}}}
    form.control("/nested/default").uncheck()
    assert form.value()["nested"] == {"default": False}
    assert FormChoices.from_defaults(form.value()) == FormChoices(nested=Nested(None))


def test_variant_with_an_empty_display_name_shows_its_name(page):
    form = form_description(FormChoices())
    form["fields"][0]["fields"][1]["display_name"] = ""
    rendered = RenderedForm(page, form)
    options = rendered.control("/number/selection").evaluate("s => [...s.options].map(o => [o.value, o.text])")
    assert options == [["int", "Int"], ["form_endpoint", "form_endpoint"]]


def test_int_enum_values_and_integer_inputs_stay_numbers(page):
    form = RenderedForm(page, form_description(FormPrimitives()))
    form.control("/level").select_option(label="LOW")
    form.control("/count").fill("42")
    form.control("/ratio").fill("0.25")
    form.control("/whole").fill("3")
    types = page.evaluate("""() => Object.fromEntries(Object.entries(window.controller.value())
        .map(([key, value]) => [key, [typeof value, Number.isInteger(value)]]))""")
    assert types["level"] == ["number", True] and types["count"] == ["number", True]
    assert types["ratio"] == ["number", False] and types["on"] == ["boolean", False]
    assert types["mode"] == ["string", False]
    value = form.value()
    assert (value["level"], value["count"], value["ratio"], value["whole"]) == (1, 42, 0.25, 3)
    assert FormPrimitives.from_defaults(value).level is FormLevel.LOW


def test_unknown_kinds_are_shown_and_carried_through(page):
    form = form_description(FormPrimitives())
    form["fields"].append({"name": "colour", "description": None, "display_name": "Colour",
                           "type": "field_colour", "default": {"rgb": [1, 2, 3]}})
    rendered = RenderedForm(page, form)
    assert "Colour" in page.locator(".quorvel-unknown").inner_text()
    assert rendered.value()["colour"] == {"rgb": [1, 2, 3]}
    assert rendered.error("/colour").count() == 1


def test_descriptions_are_shown_and_described_by(page):
    form = form_description(FormPrimitives())
    form["description"] = "All the kinds."
    form["fields"][0]["description"] = "Who it is."
    RenderedForm(page, form)
    assert page.locator(".quorvel-description").all_inner_texts() == ["All the kinds.", "Who it is."]
    described = page.evaluate("""() => document.querySelector('[name="/name"]').getAttribute('aria-describedby')
        .split(' ').map(id => document.getElementById(id).className)""")
    assert described == ["quorvel-description", "quorvel-error"]


@pytest.mark.parametrize("pointer, shown_at", [
    ("/cameras/0/content/port", "/cameras/0/content/port"),
    ("/cameras/0/content/port/number", "/cameras/0/content/port"),
    ("/cameras/3/content/host", "/cameras"),
    ("/recording/content", "/recording/content"),
    ("/retention/selection", "/retention"),
    ("/retention/recording/keep_days", "/retention"),  # its variant is not shown
    ("/window", ""),
    ("", ""),
])
def test_errors_show_beside_the_nearest_field(service_form, pointer, shown_at):
    service_form.show_errors([{"pointer": pointer, "message": "Not like this."}])
    assert service_form.shown_errors() == {shown_at: "Not like this."}
    error = service_form.error(shown_at)
    assert error.is_visible()
    assert error.get_attribute("aria-live") == "polite"
    invalid = service_form.page.eval_on_selector_all("[aria-invalid=true]", "cs => cs.map(c => c.name)")
    assert invalid == ([shown_at] if shown_at == "/cameras/0/content/port" else [])
    service_form.clear_errors()
    assert service_form.shown_errors() == {}
    assert service_form.page.locator("[aria-invalid]").count() == 0


def test_several_errors_replace_those_shown_before(service_form):
    service_form.show_errors([{"pointer": "/codec", "message": "Old."}])
    service_form.show_errors([{"pointer": "/codec", "message": "Unknown codec."},
                              {"pointer": "/codec", "message": "Pick another."},
                              {"pointer": "/bitrates", "message": "Too high."}])
    assert service_form.shown_errors() == {"/codec": "Unknown codec.Pick another.", "/bitrates": "Too high."}
    assert service_form.error("/codec").locator("p").all_inner_texts() == ["Unknown codec.", "Pick another."]


@pytest.mark.parametrize("pointer, text, message", [
    ("/bitrates", '{"low": 500,', "Enter valid JSON"),
    ("/bitrates", "[1, 2]", "Enter a JSON object"),
    ("/vendor", "null", "Enter a JSON object"),
    ("/cameras/0/content/port", "", "Enter a number"),
    ("/cameras/0/content/port", "1.5", "Enter a whole number"),
    ("/cameras/0/content/port", "70000", "no larger than 65535"),
    ("/cameras/0/content/port", "0", "no smaller than 1"),
    ("/retention/int", "", "Enter a number"),
])
def test_validate_refuses_inline(service_form, pointer, text, message):
    service_form.control(pointer).fill(text)
    assert service_form.validate() is False
    errors = service_form.shown_errors()
    assert list(errors) == [pointer] and message in errors[pointer]
    assert service_form.control(pointer).get_attribute("aria-invalid") == "true"
    assert service_form.page.evaluate("() => document.activeElement.name") == pointer
    service_form.control(pointer).fill("5" if "content/port" in pointer or pointer == "/retention/int" else "{}")
    assert service_form.validate() is True
    assert service_form.shown_errors() == {}


def test_validate_skips_content_that_is_not_submitted(service_form):
    service_form.control("/recording/content/keep_days").fill("")
    service_form.control("/recording/default").uncheck()
    service_form.control("/retention/selection").select_option("recording")
    service_form.control("/retention/int").evaluate("element => { element.value = ''; }")
    assert service_form.validate() is True


SUBMIT_PAGE = """
<form id="form"><div id="root"></div><button type="submit">Save</button></form>
<script>
  window.submitted = 0;
  document.getElementById('form').addEventListener('submit', event => {
    event.preventDefault();
    window.submitted += 1;
  });
</script>
"""


def test_validate_runs_before_submit(page):
    form = RenderedForm(page, form_description(Service(), SERVICE_SHOWN), page_html=SUBMIT_PAGE)
    form.click("data-add", "/cameras")
    form.click("data-move-down", "/cameras/0")
    assert page.evaluate("() => window.submitted") == 0
    form.control("/bitrates").fill("not json")
    page.locator("button[type=submit]").click()
    assert page.evaluate("() => window.submitted") == 0
    assert "Enter valid JSON" in form.shown_errors()["/bitrates"]
    # An out-of-range number is reported inline too, not by the browser's own bubble.
    form.control("/bitrates").fill("{}")
    form.control("/cameras/1/content/port").fill("0")
    page.locator("button[type=submit]").click()
    assert page.evaluate("() => window.submitted") == 0
    assert form.shown_errors() == {"/cameras/1/content/port": "Enter a number no smaller than 1."}
    form.control("/cameras/1/content/port").fill("80")
    page.locator("button[type=submit]").click()
    assert page.evaluate("() => window.submitted") == 1
    assert form.shown_errors() == {}


def test_package_ships_the_renderer():
    web = importlib.resources.files("nimbrel.quorvel.web")
    for name in ["form.js", "form.css"]:
        assert web.joinpath(name).read_text() == (WEB / name).read_text(), name
