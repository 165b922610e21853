"""The demo configuration as a form page: edit it in the browser, save it to a JSON file.

Run with `.venv/bin/python examples/web_app.py --config service.json --port 8000`
and open http://127.0.0.1:8000/. The page renders the form description with
quorvel's reference renderer (`nimbrel/quorvel/web/form.js`). A submission is
parsed with `from_defaults` and checked with `check`; what passes is written to
the JSON file atomically, what does not is answered with the place of each
problem, and the file stays as it was.

API:
- `GET /api/form`: `{"form": <form description>, "errors": [...]}`, the form
  built from the stored configuration (from the class defaults when there is
  no file yet, or when the file no longer parses; `errors` then says why).
- `POST /api/config` with UI defaults: 200 with the stored disk
  representation, or 422 with `{"errors": [{"pointer", "location", "code",
  "message"}]}`; a body that is not a JSON object gets 400, one over 1 MB 413.
"""

import argparse
import dataclasses
import html
import importlib.resources
import json
import os
import pathlib
import sys
import tempfile
from typing import Any

import uvicorn
from starlette.applications import Starlette
from starlette.requests import Request
from starlette.responses import HTMLResponse, JSONResponse, Response
from starlette.routing import Route

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))

from demo import Service, first_error  # noqa: E402

from nimbrel.quorvel import QuorvelError, check  # noqa: E402

MAX_BODY = 1024 * 1024
# A tuple has no form field kind: the form shows every other field, and a
# submission keeps the stored value of the fields it does not show.
FORM_FIELDS = [f.name for f in dataclasses.fields(Service) if f.name != "window"]

PAGE = """<!doctype html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>{title}</title>
<link rel="stylesheet" href="/form.css">
</head>
<body>
<main>
<h1>{title}</h1>
<form id="config" novalidate>
<div id="form-root"></div>
<p><button type="submit">Save</button> <output id="status" role="status" aria-live="polite"></output></p>
</form>
</main>
<script type="module">
import {{ renderForm }} from "/form.js";

const status = document.getElementById("status");
const answer = await (await fetch("/api/form")).json();
const controller = renderForm(document.getElementById("form-root"), answer.form);
controller.showErrors(answer.errors);

// renderForm checks the fields before every submit of the form around it and
// stops the submit when they need correcting, showing why beside each field.
document.getElementById("config").addEventListener("submit", async (event) => {{
  event.preventDefault();
  status.textContent = "Saving…";
  const response = await fetch("/api/config", {{
    method: "POST",
    headers: {{ "Content-Type": "application/json" }},
    body: JSON.stringify(controller.value()),
  }});
  const body = await response.json();
  if (response.ok) {{
    status.textContent = "Saved.";
  }} else {{
    controller.showErrors(body.errors);
    status.textContent = "Not saved: please correct the marked fields.";
  }}
}});
</script>
</body>
</html>
"""


def problem(code: str, message: str, location: tuple[Any, ...] = (), pointer: str = "") -> dict[str, Any]:
    return {"pointer": pointer, "location": list(location), "code": code, "message": message}


class Store:
    """The configuration file: read on every request, written whole by an atomic rename."""

    def __init__(self, path: pathlib.Path) -> None:
        self.path = path.resolve()

    def load(self) -> tuple[Service, list[dict[str, Any]]]:
        """The stored configuration, or the class defaults and why the file could not be used."""
        if not self.path.exists():
            return Service(), []
        try:
            stored = Service.parse_from_disk_representation(json.loads(self.path.read_text(encoding="utf-8")))
        except (OSError, ValueError, RecursionError) as error:
            return Service(), [problem("stored", f"The stored configuration {self.path.name} could not be read "
                                                 f"({error}); the form shows the defaults.")]
        except QuorvelError as error:
            return Service(), [problem("stored", f"The stored configuration {self.path.name} does not fit the "
                                                 f"configuration at {error.pointer or '/'}: {first_error(error)} "
                                                 "The form shows the defaults.")]
        return stored, []

    def save(self, service: Service) -> Any:
        """Writes the disk representation to a temporary file beside the target, then renames it over the
        target, so the file always holds one whole submission."""
        disk = service.serialize_to_disk_representation()
        text = json.dumps(disk, indent=2, ensure_ascii=False) + "\n"
        self.path.parent.mkdir(parents=True, exist_ok=True)
        handle, temporary = tempfile.mkstemp(prefix=f".{self.path.name}.", suffix=".tmp", dir=self.path.parent)
        try:
            with os.fdopen(handle, "w", encoding="utf-8") as file:
                file.write(text)
                file.flush()
                os.fsync(file.fileno())
            os.replace(temporary, self.path)
        except BaseException:
            pathlib.Path(temporary).unlink(missing_ok=True)
            raise
        return json.loads(text)


def form_of(service: Service) -> Any:
    return Service.build_field_for_type(value=service, metadata={"names": FORM_FIELDS}).model_dump(mode="json")


def refused(status: int, code: str, message: str) -> JSONResponse:
    return JSONResponse({"errors": [problem(code, message)]}, status_code=status)


async def read_body(request: Request) -> bytes | None:
    """The request body, or None once it grows past the limit (however it is sent)."""
    declared = request.headers.get("content-length", "")
    if declared.isdigit() and int(declared) > MAX_BODY:
        return None
    body = bytearray()
    async for chunk in request.stream():
        body += chunk
        if len(body) > MAX_BODY:
            return None
    return bytes(body)


def parse_submission(submitted: dict[str, Any], stored: Service) -> Service | JSONResponse:
    """The submitted configuration, or the answer that refuses it."""
    hidden = {name: value for name, value in stored.build_defaults().items() if name not in FORM_FIELDS}
    try:
        service = Service.from_defaults({**hidden, **submitted})
    except QuorvelError as error:
        return JSONResponse({"errors": [problem("parse", str(first_error(error)), error.location, error.pointer)]},
                            status_code=422)
    except RecursionError:
        return refused(400, "request", "The configuration is nested too deeply.")
    problems = check(service)
    if problems:
        return JSONResponse({"errors": [problem(p.code, p.message, p.location, p.pointer) for p in problems]},
                            status_code=422)
    return service


def make_app(config: pathlib.Path) -> Starlette:
    store = Store(config)
    renderer = importlib.resources.files("nimbrel.quorvel.web")

    async def page(request: Request) -> Response:
        return HTMLResponse(PAGE.format(title=html.escape("Camera service configuration")))

    async def script(request: Request) -> Response:
        return Response(renderer.joinpath("form.js").read_text(encoding="utf-8"), media_type="text/javascript")

    async def style(request: Request) -> Response:
        return Response(renderer.joinpath("form.css").read_text(encoding="utf-8"), media_type="text/css")

    async def get_form(request: Request) -> Response:
        stored, errors = store.load()
        return JSONResponse({"form": form_of(stored), "errors": errors})

    async def post_config(request: Request) -> Response:
        body = await read_body(request)
        if body is None:
            return refused(413, "request", f"The request body is larger than {MAX_BODY} bytes.")
        try:
            submitted = json.loads(body)
        except (ValueError, RecursionError):
            return refused(400, "request", "The request body is not JSON.")
        if not isinstance(submitted, dict):
            return refused(400, "request", "The request body must be a JSON object of UI defaults.")
        stored, _ = store.load()
        parsed = parse_submission(submitted, stored)
        if isinstance(parsed, Response):
            return parsed
        return JSONResponse(store.save(parsed))

    return Starlette(routes=[
        Route("/", page),
        Route("/form.js", script),
        Route("/form.css", style),
        Route("/api/form", get_form),
        Route("/api/config", post_config, methods=["POST"]),
    ])


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--config", type=pathlib.Path, default=pathlib.Path("service.json"),
                        help="the JSON file the configuration is stored in (default: service.json)")
    parser.add_argument("--port", type=int, default=8000, help="the port to serve on (default: 8000)")
    options = parser.parse_args()
    print(f"Serving the form for {options.config} on http://127.0.0.1:{options.port}/", flush=True)
    uvicorn.run(make_app(options.config), host="127.0.0.1", port=options.port, log_level="warning")


if __name__ == "__main__":
    main()
