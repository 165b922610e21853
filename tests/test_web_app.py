"""The example web application: its API, run as a real server on a loopback port."""

import concurrent.futures
import http.client
import json
import os
import pathlib
import urllib.error
import urllib.parse
import urllib.request

import pytest

from conftest import load_demo

demo = load_demo()
Service = demo.Service


def request(url, body=None, *, raw=None, headers=None):
    """(status, decoded JSON answer) of a GET, or of a POST of `body` as JSON (or of `raw` bytes)."""
    data = raw if raw is not None else None if body is None else json.dumps(body).encode()
    call = urllib.request.Request(url, data=data, headers={"Content-Type": "application/json", **(headers or {})})
    try:
        with urllib.request.urlopen(call, timeout=30) as answer:
            return answer.status, json.loads(answer.read())
    except urllib.error.HTTPError as error:
        return error.code, json.loads(error.read())


def form_defaults(service=None):
    defaults = (service or Service()).build_defaults()
    del defaults["window"]
    return json.loads(json.dumps(defaults))


def edited(**changes):
    data = form_defaults()
    data.update(changes)
    return data


def test_form_of_a_new_configuration_holds_the_class_defaults(web_app):
    status, answer = request(web_app.url + "/api/form")
    assert status == 200 and answer["errors"] == []
    form = answer["form"]
    assert form["type"] == "field_data" and [f["name"] for f in form["fields"]] == web_app.form_fields
    assert not web_app.config.exists()


def test_an_unedited_submission_stores_the_defaults(web_app):
    status, answer = request(web_app.url + "/api/config", form_defaults())
    assert status == 200
    stored = json.loads(web_app.config.read_text())
    assert stored == answer == json.loads(json.dumps(Service().serialize_to_disk_representation()))
    assert Service.parse_from_disk_representation(stored) == Service()


def test_a_saved_configuration_is_what_the_form_shows_next(web_app):
    cameras = [{"content": {"host": "cam-7", "port": 7554, "password": "pw", "resolution": "4k"}}]
    assert request(web_app.url + "/api/config", edited(cameras=cameras))[0] == 200
    status, answer = request(web_app.url + "/api/form")
    fields = {f["name"]: f for f in answer["form"]["fields"]}
    assert status == 200 and fields["cameras"]["default"] == cameras


def test_fields_the_form_does_not_show_keep_their_stored_value(web_app):
    stored = Service(window=(1920, "full"))
    web_app.config.write_text(json.dumps(stored.serialize_to_disk_representation()))
    assert request(web_app.url + "/api/config", form_defaults())[0] == 200
    assert Service.parse_from_disk_representation(json.loads(web_app.config.read_text())).window == (1920, "full")


@pytest.mark.parametrize("data, errors", [
    (edited(cameras=[{"content": {"port": {"number": 1}}}]),
     [("/cameras/0/content/port", ["cameras", 0, "content", "port"], "parse")]),
    (edited(retention={"selection": "recording", "recording": {"keep_days": "many"}}),
     [("/retention/recording/keep_days", ["retention", "recording", "keep_days"], "type")]),
    (edited(cameras=[{"content": {"port": 70000}}, {"content": {"port": 0, "host": 5}}]),
     [("/cameras/0/content/port", ["cameras", 0, "content", "port"], "max"),
      ("/cameras/1/content/host", ["cameras", 1, "content", "host"], "type"),
      ("/cameras/1/content/port", ["cameras", 1, "content", "port"], "min")]),
    (edited(surprise=1), [("", [], "parse")]),
])
def test_refused_submissions_say_where_and_leave_the_file(web_app, data, errors):
    assert request(web_app.url + "/api/config", form_defaults())[0] == 200
    before = web_app.config.read_bytes()
    status, answer = request(web_app.url + "/api/config", data)
    assert status == 422
    assert [(e["pointer"], e["location"], e["code"]) for e in answer["errors"]] == errors
    assert all(e["message"] for e in answer["errors"])
    assert web_app.config.read_bytes() == before


@pytest.mark.parametrize("raw, status", [
    (b"{not json", 400),
    (b"[1, 2]", 400),
    (b"\"text\"", 400),
    (b"", 400),
    (b"\xff\xfe", 400),
    (b"[" * 100_000 + b"]" * 100_000, 400),
])
def test_bad_requests_get_a_clear_answer(web_app, raw, status):
    answer_status, answer = request(web_app.url + "/api/config", raw=raw)
    assert answer_status == status
    assert answer["errors"][0]["code"] == "request" and answer["errors"][0]["message"]
    assert not web_app.config.exists()


def test_a_body_declared_too_large_is_refused_before_it_is_sent(web_app):
    # The answer comes from the declared length alone; sending the body as well would race the server closing the
    # connection after its answer.
    url = urllib.parse.urlsplit(web_app.url)
    connection = http.client.HTTPConnection(url.hostname, url.port, timeout=30)
    try:
        connection.putrequest("POST", "/api/config")
        connection.putheader("Content-Type", "application/json")
        connection.putheader("Content-Length", str(1024 * 1024 + 1))
        connection.endheaders()
        answer = connection.getresponse()
        status, errors = answer.status, json.loads(answer.read())["errors"]
    finally:
        connection.close()
    assert status == 413 and errors[0]["code"] == "request" and errors[0]["message"]
    assert not web_app.config.exists()


def test_a_body_sent_without_length_is_limited_too(web_app):
    chunks = iter([b"{\"a\": \"" + b"x" * 600_000, b"x" * 600_000 + b"\"}"])
    status, answer = request(web_app.url + "/api/config", raw=chunks, headers={"Transfer-Encoding": "chunked"})
    assert status == 413


@pytest.mark.parametrize("content", ["{broken", "[]", "{\"cameras\": 5}"])
def test_a_stored_file_that_does_not_parse_is_reported_and_kept(web_app, content):
    web_app.config.write_text(content)
    status, answer = request(web_app.url + "/api/form")
    assert status == 200 and len(answer["errors"]) == 1
    assert answer["errors"][0]["pointer"] == "" and web_app.config.name in answer["errors"][0]["message"]
    assert [f["name"] for f in answer["form"]["fields"]] == web_app.form_fields
    assert web_app.config.read_text() == content


def test_clients_saving_at_once_each_get_their_answer(web_app):
    submissions = [edited(codec="h265" if i % 2 else "h264", bitrates={"low": i}) for i in range(12)]
    with concurrent.futures.ThreadPoolExecutor(max_workers=12) as pool:
        answers = list(pool.map(lambda data: request(web_app.url + "/api/config", data), submissions))
    assert [status for status, _ in answers] == [200] * 12
    stored = json.loads(web_app.config.read_text())
    assert any(stored == answer for _, answer in answers)
    assert Service.parse_from_disk_representation(stored).bitrates["low"] in range(12)
    assert [p.name for p in web_app.config.parent.iterdir()] == [web_app.config.name]


# --- in the browser ----------------------------------------------------------------------------------------------

def open_form(page, web_app):
    page.goto(web_app.url + "/")
    page.wait_for_selector("[name='/cameras/0/content/port']")


def submit(page, expected_status):
    with page.expect_response("**/api/config") as answer:
        page.click("button[type=submit]")
    assert answer.value.status == expected_status
    page.wait_for_function("document.getElementById('status').textContent.endsWith('.')")


@pytest.mark.parametrize("selector", [
    "input[type=text][name='/cameras/0/content/host']",
    "input[type=number][name='/cameras/0/content/port'][min='1'][max='65535']",
    "input[type=password][name='/cameras/0/content/password']",
    "select[name='/cameras/0/content/resolution']",
    "input[type=checkbox][name='/recording/default']",
    "input[type=text][name='/recording/content/directory']",
    "select[name='/retention/selection']",
    "input[type=number][name='/retention/int']",
    "select[name='/codec']",
    "textarea[name='/bitrates']",
    "textarea[name='/vendor']",
    "[data-add='/cameras']",
    "[data-remove='/cameras/0']",
    "[data-error-for='']",
    "button[type=submit]",
])
def test_every_field_of_the_demo_renders(page, web_app, selector):
    open_form(page, web_app)
    assert page.locator(selector).count() == 1


def test_an_unedited_submission_from_the_page_stores_the_defaults(page, web_app):
    open_form(page, web_app)
    submit(page, 200)
    assert json.loads(web_app.config.read_text()) == json.loads(json.dumps(Service().serialize_to_disk_representation()))


def test_edits_on_the_page_are_stored(page, web_app):
    open_form(page, web_app)
    page.fill("[name='/cameras/0/content/port']", "8554")
    page.click("[data-add='/cameras']")
    page.fill("[name='/cameras/1/content/host']", "cam-2")
    page.click("[data-add='/cameras']")
    page.fill("[name='/cameras/2/content/host']", "cam-3")
    page.click("[data-remove='/cameras/0']")
    page.click("[data-move-up='/cameras/1']")
    page.select_option("[name='/retention/selection']", "recording")
    page.fill("[name='/retention/recording/keep_days']", "30")
    page.uncheck("[name='/recording/default']")
    page.fill("[name='/vendor']", '{"exposure": "manual", "gain": [1, 2]}')
    page.select_option("[name='/cameras/0/content/resolution']", label="UHD")
    submit(page, 200)
    stored = Service.parse_from_disk_representation(json.loads(web_app.config.read_text()))
    assert [(c.host, c.port, c.resolution) for c in stored.cameras] == [
        ("cam-3", 554, demo.Resolution.UHD), ("cam-2", 554, demo.Resolution.FULL_HD)]
    assert stored.recording.content is None
    assert stored.retention.content == demo.Recording(keep_days=30)
    assert dict(stored.vendor) == {"exposure": "manual", "gain": [1, 2]}
    # A reload shows what was saved.
    page.reload()
    page.wait_for_selector("[name='/cameras/1/content/host']")
    assert page.input_value("[name='/cameras/0/content/host']") == "cam-3"
    assert page.input_value("[name='/retention/selection']") == "recording"
    assert not page.is_checked("[name='/recording/default']")
    assert page.evaluate("document.querySelectorAll(\"[data-remove^='/cameras/']\").length") == 2


def submissions_sent(page):
    sent = []
    page.on("request", lambda sent_request: sent.append(sent_request.url))
    return sent


@pytest.mark.parametrize("field, text, shown", [
    ("/cameras/0/content/port", "70000", "65535"),
    ("/vendor", "{not json", "JSON"),
    ("/vendor", "[1, 2]", "object"),
])
def test_values_the_page_refuses_are_never_sent(page, web_app, field, text, shown):
    assert request(web_app.url + "/api/config", form_defaults())[0] == 200
    before = web_app.config.read_bytes()
    open_form(page, web_app)
    sent = submissions_sent(page)
    page.fill(f"[name='{field}']", text)
    page.click("button[type=submit]")
    error = page.locator(f"[data-error-for='{field}']")
    error.filter(has_text=shown).wait_for()
    assert page.evaluate("document.activeElement.name") == field
    assert not [url for url in sent if url.endswith("/api/config")]
    assert web_app.config.read_bytes() == before


def test_values_the_server_refuses_show_their_errors_and_leave_the_file(page, web_app):
    assert request(web_app.url + "/api/config", form_defaults())[0] == 200
    before = web_app.config.read_bytes()
    open_form(page, web_app)
    page.fill("[name='/bitrates']", '{"low": "fast", "high": 4000}')
    submit(page, 422)
    # The problem is at /bitrates/low, which has no field of its own: the JSON field shows it.
    assert "Expected int" in page.text_content("[data-error-for='/bitrates']")
    assert web_app.config.read_bytes() == before
    page.fill("[name='/bitrates']", '{"low": 250}')
    submit(page, 200)
    assert page.text_content("[data-error-for='/bitrates']").strip() == ""
    assert Service.parse_from_disk_representation(json.loads(web_app.config.read_text())).bitrates == {"low": 250}


def test_a_stored_file_that_does_not_parse_is_shown_on_the_page(page, web_app):
    web_app.config.write_text("{\"cameras\": 5}")
    open_form(page, web_app)
    assert web_app.config.name in page.text_content("[data-error-for='']")
    assert page.input_value("[name='/cameras/0/content/host']") == "localhost"
    assert web_app.config.read_text() == "{\"cameras\": 5}"


def test_demo_form_screenshot(page, web_app, tmp_path):
    """The screenshot the README shows, taken here; scripts/screenshot.sh stores it in docs/."""
    target = pathlib.Path(os.environ.get("QUORVEL_SCREENSHOT", tmp_path / "form.png"))
    open_form(page, web_app)
    page.set_viewport_size({"width": 900, "height": 900})
    page.screenshot(path=str(target), full_page=True)
    assert target.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n" and target.stat().st_size > 10_000
