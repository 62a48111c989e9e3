"""The OpenAPI document of varno-serve against the server it describes: a valid OpenAPI
3.1 document, naming every route the application has and none it lacks, and fuzzed
(schemathesis, a bounded number of examples per operation, then chains of linked
operations) against a real server process: no 5xx, every status, content type, header
and body as the document says. A document that lies about a status, a field, a content
type or a header is caught."""

from __future__ import annotations

import asyncio
import copy
import json
from collections.abc import AsyncIterator, Iterator
from pathlib import Path
from typing import Any

import pytest
import requests
from hypothesis import HealthCheck, Phase, settings
from hypothesis.errors import Flaky
from serve_helpers import UNLIMITED, ServerProcess, create
from varno_serve.web import openapi
from varno_serve.web.middleware import MONITORING

schemathesis = pytest.importorskip("schemathesis")
jsonschema = pytest.importorskip("jsonschema")
spec_validator = pytest.importorskip("openapi_spec_validator")

DOCUMENT = openapi.document()
# The WebSocket's upgrade is not for a fuzzer's HTTP client: TestWebSocket checks it.
WATCH = "/api/rooms/{room}/ws"
# A move that is well formed can still be one the rules refuse now (422), like a move
# out of turn (409): schema-valid bodies are not all accepted.
CONFIG = schemathesis.Config.from_dict({"operations": [{
    "include-operation-id": "postMove",
    "checks": {"positive_data_acceptance": {"expected-statuses": ["2xx", "403", "404", "409",
                                                                  "422", "429"]}},
}]})
# Every example is the same on every run, and none is kept between runs.
BOUNDED = settings(derandomize=True, database=None, deadline=None,
                   suppress_health_check=[HealthCheck.too_slow, HealthCheck.filter_too_much])


def whole_numbers(value: Any) -> Any:
    """``value`` with every float that is a whole number written as an integer: JSON
    Schema's integers include ``8.0``, which the server refuses as a depth."""
    if isinstance(value, float) and value.is_integer():
        return int(value)
    if isinstance(value, dict):
        return {key: whole_numbers(item) for key, item in value.items()}
    if isinstance(value, list):
        return [whole_numbers(item) for item in value]
    return value


def load(document: dict[str, Any]) -> Any:
    schema = schemathesis.openapi.from_dict(document, config=CONFIG)

    @schema.hook
    def map_body(context: Any, body: Any) -> Any:
        return whole_numbers(body)

    return schema


SCHEMA = load(copy.deepcopy(DOCUMENT))


@pytest.fixture(scope="module")
def server(tmp_path_factory: pytest.TempPathFactory) -> Iterator[ServerProcess]:
    """A server process on loopback with no rate limit to speak of, and a bot's queue the
    fuzzing cannot fill (a full one answers 503, which the fuzzing would count as a
    failure of the server)."""
    process = ServerProcess(tmp_path_factory.mktemp("openapi") / "rooms.db",
                            limits={**UNLIMITED, "pending_searches": 5_000})
    try:
        yield process
    finally:
        process.stop()


def validator(schema: dict[str, Any]) -> Any:
    """A validator of ``schema`` whose references are resolved in the document."""
    return jsonschema.Draft202012Validator({**DOCUMENT, **schema})


def assert_described(path: str, method: str, status: int, headers: Any, body: bytes) -> None:
    """An answer (of the in-process server, or a WebSocket's) is one the document gives
    for that operation: its status, its required headers, its content type and body."""
    described = DOCUMENT["paths"][path][method]["responses"]
    assert str(status) in described, (method, path, status)
    response = described[str(status)]
    for name in response["headers"]:
        assert name in headers, (method, path, status, name)
    media = headers["Content-Type"].partition(";")[0]
    assert media in response["content"], (method, path, status, media)
    if media == "application/json":
        validator(response["content"][media]["schema"]).validate(json.loads(body))


def example(path: str, method: str, **case: Any) -> Any:
    """A request of the operation, on a room that does not exist (or the page's script)."""
    parameters = {"room": "nosuchroom", "file": "app.js"}
    return SCHEMA[path][method.upper()].Case(
        path_parameters={name: value for name, value in parameters.items()
                         if f"{{{name}}}" in path}, **case)


OPERATIONS = [(path, method) for path, item in DOCUMENT["paths"].items() for method in item]
POSTS = [path for path, method in OPERATIONS if method == "post"]


class TestTheDocument:
    def test_it_is_valid_openapi_3_1(self) -> None:
        assert DOCUMENT["openapi"].startswith("3.1.")
        spec_validator.validate(DOCUMENT)

    async def test_the_server_serves_it(self, client: Any) -> None:
        response = await client.get(openapi.PATH)
        assert response.status == 200 and response.content_type == "application/json"
        assert "max-age" in response.headers["Cache-Control"]
        assert await response.json() == json.loads(json.dumps(DOCUMENT))

    async def test_every_route_is_described_and_every_description_routed(
            self, client: Any) -> None:
        routed: set[tuple[str, str]] = set()
        for route in client.server.app.router.routes():
            info = route.resource.get_info() if route.resource is not None else {}
            path = info.get("path") or info.get("formatter")
            if path is None:   # the static files: a prefix and any file under it
                path = f"{info['prefix']}/{{file}}"
            routed.add((route.method.lower(), path))
        # aiohttp answers HEAD wherever it answers GET; the document says so once.
        heads = {path for method, path in routed if method == "head"}
        assert heads == {path for method, path in routed if method == "get"}
        assert "HEAD" in DOCUMENT["info"]["description"]
        described = {(method, path) for path, item in DOCUMENT["paths"].items()
                     for method in item}
        assert {entry for entry in routed if entry[0] != "head"} == described


@SCHEMA.exclude(path=WATCH).parametrize()
@settings(BOUNDED, max_examples=120)
def test_every_operation_fuzzed(case: Any, server: ServerProcess) -> None:
    """Each operation with generated requests, valid and not: no 5xx, and every answer as
    the document describes it (statuses, content types, headers, bodies; 405 with
    ``Allow`` for the methods a path does not take)."""
    case.call_and_validate(base_url=server.url)


def test_linked_operations_fuzzed(server: ServerProcess) -> None:
    """Chains that follow the document's links: a room made, then looked at, joined and
    moved in with the secrets the server gave."""
    failures: list[Exception] = []
    steps = 0

    class Workflow(SCHEMA.exclude(path=WATCH).as_state_machine()):  # type: ignore[misc]
        def get_call_kwargs(self, case: Any) -> dict[str, Any]:
            return {"base_url": server.url}

        def validate_response(self, response: Any, case: Any, **kwargs: Any) -> None:
            nonlocal steps
            steps += 1
            try:
                super().validate_response(response, case, **kwargs)
            except schemathesis.errors.FailureGroup as found:
                failures.append(found)

    # Rooms are dealt at random and the bot moves when it has searched, so a chain
    # replayed meets other answers, which Hypothesis reports as flaky: the failures are
    # kept as they are found, and the chains run until then count.
    for _ in range(3):
        try:
            Workflow.run(settings=settings(BOUNDED, derandomize=False, max_examples=50,
                                           stateful_step_count=8,
                                           phases=[Phase.explicit, Phase.generate]))
        except Flaky:
            pass
        if failures or steps >= 200:
            break
    assert not failures, "\n\n".join(map(str, failures))
    assert steps >= 200


class TestWebSocket:
    async def test_the_upgrade_and_its_messages(self, client: Any) -> None:
        made = await create(client, mode="humans")
        room = made["room"]
        joined = await client.post(f"/api/rooms/{room}/join", json={"invite": made["invite"]})
        assert joined.status == 200
        # The upgrade's answer names the schema of the messages.
        state = validator(DOCUMENT["paths"][WATCH]["get"]["responses"]["101"]["x-messages"])
        async with client.ws_connect(f"/api/rooms/{room}/ws") as ws:
            first = await ws.receive_json(timeout=10)
            state.validate(first)
            response = await client.post(f"/api/rooms/{room}/moves", json={
                "move": first["legal"][0], "token": made["token"]})
            assert response.status == 200
            second = await ws.receive_json(timeout=10)
            state.validate(second)
            assert second["version"] == first["version"] + 1

    async def test_its_refusals_are_described(self, client: Any) -> None:
        made = await create(client, mode="humans")
        for path, status in ((f"/api/rooms/{made['room']}/ws", 400),   # not an upgrade
                             ("/api/rooms/nosuchroom/ws", 404)):
            response = await client.get(path)
            assert response.status == status
            assert_described(WATCH, "get", status, response.headers, await response.read())


class TestTheRefusalsEveryRouteShares:
    def test_too_many_requests(self, tmp_path: Path) -> None:
        limited = ServerProcess(tmp_path / "rooms.db",
                                limits={"request_burst": 1, "requests_per_second": 0.01})
        try:
            assert requests.get(f"{limited.url}/api/config", timeout=10).status_code == 200
            for path, method in OPERATIONS:
                response = example(path, method).call_and_validate(base_url=limited.url)
                # The monitoring's paths are not limited from loopback (this client).
                expected = 200 if path in MONITORING else 429
                assert response.status_code == expected, (method, path)
        finally:
            limited.stop()

    @pytest.mark.parametrize("path", POSTS)
    def test_bodies_too_large_or_that_do_not_decode(self, server: ServerProcess,
                                                    path: str) -> None:
        for status, case in (
                (413, {"body": {"token": "x" * 5000}}),
                (400, {"body": {"mode": "humans"}, "headers": {"Content-Encoding": "gzip"}}),
        ):
            response = example(path, "post", **case).call_and_validate(base_url=server.url)
            assert response.status_code == status, (path, case)

    @pytest.mark.parametrize("path", POSTS)
    async def test_a_body_too_slow(self, start: Any, path: str) -> None:
        client = await start(idle_seconds=0.5)

        async def trickle() -> AsyncIterator[bytes]:
            yield b'{"mode"'
            await asyncio.sleep(5)

        concrete = path.replace("{room}", "nosuchroom")
        async with client.post(concrete, data=trickle(),
                               headers={"Content-Type": "application/json"}) as response:
            assert response.status == 408
            assert_described(path, "post", 408, response.headers, await response.read())

    async def test_methods_a_path_does_not_take(self, client: Any) -> None:
        refused = DOCUMENT["components"]["responses"]["MethodNotAllowed"]
        for path, item in DOCUMENT["paths"].items():
            concrete = path.replace("{room}", "nosuchroom").replace("{file}", "app.js")
            response = await client.request("DELETE", concrete)
            assert response.status == 405, path
            allowed = {method.upper() for method in item} | ({"HEAD"} if "get" in item else set())
            assert set(response.headers["Allow"].split(",")) == allowed, path
            if path.startswith("/api/"):
                validator(refused["content"]["application/json"]["schema"]).validate(
                    await response.json())


def without_422(document: dict[str, Any]) -> None:
    del document["paths"]["/api/rooms/{room}/moves"]["post"]["responses"]["422"]


def without_picture(document: dict[str, Any]) -> None:
    state = document["components"]["schemas"]["State"]
    del state["properties"]["picture"]
    state["required"].remove("picture")


def page_as_json(document: dict[str, Any]) -> None:
    page = document["paths"]["/rooms/{room}"]["get"]["responses"]["200"]
    page["content"] = {"application/json": page["content"].pop("text/html")}


def with_frame_options(document: dict[str, Any]) -> None:
    headers = document["paths"]["/api/rooms"]["get"]["responses"]["200"]["headers"]
    headers["X-Frame-Options"] = {"required": True, "schema": {"type": "string"}}


@pytest.mark.parametrize(("lie", "path", "method", "caught"), [
    (without_422, "/api/rooms/{room}/moves", "POST", "UndefinedStatusCode"),
    (without_picture, "/api/rooms/{room}", "GET", "JsonSchemaError"),
    (page_as_json, "/rooms/{room}", "GET", "UndefinedContentType"),
    (with_frame_options, "/api/rooms", "GET", "MissingHeaders"),
])
def test_a_lying_document_is_caught(server: ServerProcess, lie: Any, path: str, method: str,
                                    caught: str) -> None:
    """The checks the fuzzing relies on fail on a document that says one thing false
    about the server, and pass on the true one."""
    made = requests.post(f"{server.url}/api/rooms", json={"mode": "humans"}, timeout=10).json()
    # Both seats taken: a move is judged by the rules (not refused for the empty seat).
    requests.post(f"{server.url}/api/rooms/{made['room']}/join",
                  json={"invite": made["invite"]}, timeout=10).raise_for_status()
    case: dict[str, Any] = {"path_parameters": {"room": made["room"]}} if "{room}" in path else {}
    if method == "POST":    # a malformed move: the rules refuse it whatever the position
        case["body"] = {"move": "A1B", "token": made["token"]}

    def failures(document: dict[str, Any]) -> set[str]:
        try:
            load(document)[path][method].Case(**case).call_and_validate(base_url=server.url)
        except schemathesis.errors.FailureGroup as found:
            return {type(failure).__name__ for failure in found.exceptions}
        return set()

    assert failures(copy.deepcopy(DOCUMENT)) == set()
    document = copy.deepcopy(DOCUMENT)
    lie(document)
    assert failures(document) == {caught}
