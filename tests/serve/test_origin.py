"""Same origin only: POST bodies must say they are JSON (415), requests from pages of
another origin are refused (403, the WebSocket's upgrade included), and so are requests
for a host the server does not answer for (421, against DNS rebinding); each refusal
changes nothing and carries the safety headers. Then the same through the command line
(--allowed-host, --allowed-origin) on a real process, and the listening address."""

from __future__ import annotations

import argparse
import asyncio
import contextlib
from collections.abc import Iterator
from pathlib import Path
from typing import Any

import aiohttp
import pytest
from serve_helpers import ServerProcess, create, get_state
from varno_serve.origins import Origins, listening_hint, parse_allowed_host, parse_allowed_origin
from varno_serve.web.middleware import SAFETY_HEADERS

FOREIGN = "http://pages.example"
JSON = "application/json"


def own(client: Any, host: str = "127.0.0.1") -> str:
    return f"http://{host}:{client.server.port}"


async def refused(response: aiohttp.ClientResponse, status: int) -> None:
    """``response`` is the refusal ``status``, in the API's shape, with the safety
    headers."""
    assert response.status == status, await response.text()
    assert set(await response.json()) == {"error", "code"}
    for name, value in SAFETY_HEADERS.items():
        assert response.headers.get(name) == value, name


async def raw(client: Any, head: str, body: bytes = b"") -> bytes:
    """A request written byte for byte; the answer, to the server's close."""
    reader, writer = await asyncio.open_connection(client.server.host, client.server.port)
    try:
        writer.write(head.replace("\n", "\r\n").encode() + b"\r\n" + body)
        await writer.drain()
        async with asyncio.timeout(10):
            return await reader.read()
    finally:
        writer.close()


class TestJSONBodies:
    @pytest.mark.parametrize("kind", [
        "text/plain", "text/plain; charset=utf-8", "application/x-www-form-urlencoded",
        "multipart/form-data; boundary=x", "text/json", "application/jsonx",
        "application/json-seq", "application/vnd.api+json", "application/octet-stream", "",
        None,
    ])
    async def test_other_types_are_415_and_change_nothing(self, client: Any,
                                                          kind: str | None) -> None:
        made = await create(client, mode="humans")
        room = made["room"]
        before = await get_state(client, room)
        legal = before["legal"][0]
        headers = {} if kind is None else {"Content-Type": kind}
        # Without Content-Type, aiohttp's client would say application/octet-stream.
        skip = ["Content-Type"] if kind is None else []
        for path, body in (("/api/rooms", '{"mode": "humans"}'),
                           (f"/api/rooms/{room}/join", f'{{"invite": "{made["invite"]}"}}'),
                           (f"/api/rooms/{room}/moves",
                            f'{{"move": "{legal}", "token": "{made["token"]}"}}'),
                           (f"/api/rooms/{room}/join", "")):
            async with client.post(path, data=body.encode(), headers=headers,
                                   skip_auto_headers=skip) as response:
                await refused(response, 415)
                assert (await response.json())["error"] == "the body must be application/json"
        assert await get_state(client, room) == before
        assert client.varno.in_memory() == 1

    @pytest.mark.parametrize("kind", [
        "application/json", "application/json; charset=utf-8", "Application/JSON",
        "application/json;charset=UTF-8",
    ])
    async def test_json_is_taken_with_or_without_a_charset(self, client: Any, kind: str) -> None:
        response = await client.post("/api/rooms", data=b'{"mode": "humans"}',
                                     headers={"Content-Type": kind})
        assert response.status == 201

    async def test_the_body_is_not_read(self, client: Any) -> None:
        """The refusal comes before the body, which is never waited for: the connection
        is closed instead."""
        answer = await raw(client, "\n".join([
            "POST /api/rooms HTTP/1.1", f"Host: 127.0.0.1:{client.server.port}",
            "Content-Type: text/plain", "Content-Length: 1000", ""]), b'{"mode"')
        assert answer.startswith(b"HTTP/1.1 415 ")
        assert b"Connection: close" in answer

    async def test_what_is_not_the_api_keeps_its_status(self, client: Any) -> None:
        # No route takes a POST there: 405 (with Allow) or 404, not 415.
        response = await client.post("/", data=b"x", headers={"Content-Type": "text/plain"})
        assert response.status == 405 and response.headers["Allow"]
        response = await client.post("/api/nothing", data=b"x")
        assert response.status == 404


class TestOrigins:
    async def test_foreign_origins_are_403_on_every_kind_of_request(self, client: Any) -> None:
        made = await create(client, mode="humans")
        room = made["room"]
        before = await get_state(client, room)
        for origin in (FOREIGN, "null", f"https://127.0.0.1:{client.server.port}",
                       "http://127.0.0.1", f"http://127.0.0.1:{client.server.port + 1}",
                       f"http://localhost:{client.server.port}", "not an origin",
                       f"http://127.0.0.1:{client.server.port}/path"):
            headers = {"Origin": origin}
            for method, path, body in (
                    ("POST", "/api/rooms", {"mode": "humans"}),
                    ("POST", f"/api/rooms/{room}/join", {"invite": made["invite"]}),
                    ("POST", f"/api/rooms/{room}/moves",
                     {"move": before["legal"][0], "token": made["token"]}),
                    ("GET", f"/api/rooms/{room}", None),
                    ("GET", "/api/rooms", None)):
                async with client.request(method, path, json=body, headers=headers) as response:
                    await refused(response, 403)
            for path in ("/", f"/rooms/{room}", "/static/app.js"):
                async with client.get(path, headers=headers) as response:
                    assert response.status == 403, (origin, path)
            with pytest.raises(aiohttp.WSServerHandshakeError) as handshake:
                await client.ws_connect(f"/api/rooms/{room}/ws", origin=origin)
            assert handshake.value.status == 403
        assert await get_state(client, room) == before
        assert client.varno.in_memory() == 1 and client.varno.events.watched() == 0

    async def test_the_servers_own_origin_and_none_are_served(self, client: Any) -> None:
        for origin in (own(client), own(client).upper(), None):
            headers = {} if origin is None else {"Origin": origin}
            made = await create_with(client, headers)
            async with client.ws_connect(f"/api/rooms/{made['room']}/ws",
                                         origin=origin) as ws:
                assert (await ws.receive(timeout=5)).type is aiohttp.WSMsgType.TEXT
        # Addressed by another of its names, that name's origin is its own.
        headers = {"Host": f"localhost:{client.server.port}",
                   "Origin": own(client, "localhost")}
        assert (await client.get("/api/rooms", headers=headers)).status == 200

    async def test_two_origins_are_none_of_its_own(self, client: Any) -> None:
        answer = await raw(client, "\n".join([
            "GET /api/rooms HTTP/1.1", f"Host: 127.0.0.1:{client.server.port}",
            f"Origin: {own(client)}", f"Origin: {FOREIGN}", "Connection: close", ""]))
        assert answer.startswith(b"HTTP/1.1 403 ")

    async def test_the_scheme_a_trusted_proxy_forwards(self, start: Any) -> None:
        """Behind a proxy that takes TLS off, the page's origin is https: believed from
        a trusted proxy's X-Forwarded-Proto, and from no one else."""
        for proxies, status in ((["127.0.0.0/8"], 200), ([], 403)):
            client = await start(trusted_proxies=proxies)
            headers = {"Origin": f"https://127.0.0.1:{client.server.port}",
                       "X-Forwarded-Proto": "https"}
            assert (await client.get("/api/rooms", headers=headers)).status == status
        # Through the proxy's https, a page over plain http is another origin.
        proxied = await start(trusted_proxies=["127.0.0.1"])
        headers = {"Origin": own(proxied), "X-Forwarded-Proto": "https, http"}
        assert (await proxied.get("/api/rooms", headers=headers)).status == 403


async def create_with(client: Any, headers: dict[str, str]) -> dict[str, Any]:
    response = await client.post("/api/rooms", json={"mode": "humans"}, headers=headers)
    assert response.status == 201, await response.text()
    made: dict[str, Any] = await response.json()
    return made


class TestHosts:
    @pytest.mark.parametrize("host", [
        "127.0.0.1", "127.0.0.1:1", "localhost", "LOCALHOST:8000", "localhost.", "[::1]",
        "[::1]:443", "[0:0::1]:80",
    ])
    async def test_its_own_names_on_any_port(self, client: Any, host: str) -> None:
        assert (await client.get("/api/rooms", headers={"Host": host})).status == 200

    @pytest.mark.parametrize("host", [
        "rebound.example", "rebound.example:8000", "127.0.0.2", "127.0.0.1.example",
        "localhost.example", "[::2]", "", "127.0.0.1:x", "user@127.0.0.1",
    ])
    async def test_other_hosts_are_421(self, client: Any, host: str) -> None:
        made = await create(client, mode="humans")
        headers = {"Host": host}
        async with client.get("/api/rooms", headers=headers) as response:
            await refused(response, 421)
        async with client.post("/api/rooms", json={"mode": "humans"},
                               headers=headers) as response:
            await refused(response, 421)
        for path in ("/", "/static/app.js"):
            async with client.get(path, headers=headers) as response:
                assert response.status == 421
                assert response.headers["X-Content-Type-Options"] == "nosniff"
        with pytest.raises(aiohttp.WSServerHandshakeError) as handshake:
            await client.ws_connect(f"/api/rooms/{made['room']}/ws", headers=headers)
        assert handshake.value.status == 421
        assert client.varno.in_memory() == 1

    async def test_a_request_without_host_is_refused(self, client: Any) -> None:
        answer = await raw(client, "GET /api/rooms HTTP/1.0\n")
        assert answer.startswith(b"HTTP/1.0 421 ")
        # HTTP/1.1 requires it: aiohttp's parser refuses it first (and answers in 1.0).
        answer = await raw(client, "GET /api/rooms HTTP/1.1\nConnection: close\n")
        assert answer.startswith(b"HTTP/1.0 400 ") and b"Missing 'Host'" in answer


@contextlib.contextmanager
def serving(db: Path, *options: str) -> Iterator[ServerProcess]:
    server = ServerProcess(db, options=options)
    try:
        yield server
    finally:
        server.stop()


class TestTheCommandLine:
    def test_allowed_hosts_and_origins(self, tmp_path: Path) -> None:
        """A server with --allowed-host and --allowed-origin serves those and still
        refuses others; the page's own origin under an allowed name is its own."""

        async def ask(url: str, port: int) -> dict[str, int]:
            got: dict[str, int] = {}
            async with aiohttp.ClientSession(url) as session:
                for name, headers in {
                    "allowed host": {"Host": "varno.example"},
                    "allowed host, any port": {"Host": "VARNO.example:8443"},
                    "its origin": {"Host": "varno.example", "Origin": "http://varno.example"},
                    "https origin": {"Host": "varno.example", "Origin": "https://varno.example"},
                    "allowed origin": {"Origin": "https://friends.example"},
                    "allowed origin, port": {"Origin": "https://friends.example:443"},
                    "other host": {"Host": "other.example"},
                    "other origin": {"Origin": "https://friends.example:8443"},
                }.items():
                    async with session.post("/api/rooms", json={"mode": "bot", "depth": 1},
                                            headers=headers) as response:
                        got[name] = response.status
            return got

        with serving(tmp_path / "rooms.db", "--allowed-host", "varno.example",
                     "--allowed-origin", "https://friends.example/") as server:
            got = asyncio.run(asyncio.wait_for(
                ask(server.url, int(server.url.rpartition(":")[2])), 30))
        assert got == {
            "allowed host": 201, "allowed host, any port": 201, "its origin": 201,
            "https origin": 403, "allowed origin": 201, "allowed origin, port": 201,
            "other host": 421, "other origin": 403,
        }

    @pytest.mark.parametrize("text", ["varno.example:80", "http://varno.example", "0.0.0.0",
                                      "a b", ""])
    def test_allowed_host_is_a_name_without_a_port(self, text: str) -> None:
        with pytest.raises(argparse.ArgumentTypeError):
            parse_allowed_host(text)

    @pytest.mark.parametrize("text", ["varno.example", "ftp://varno.example", "null",
                                      "https://varno.example/path", "https://"])
    def test_allowed_origin_is_scheme_host_and_port(self, text: str) -> None:
        with pytest.raises(argparse.ArgumentTypeError):
            parse_allowed_origin(text)


class TestNames:
    def test_the_listening_address_is_a_name_unless_it_is_every_address(self) -> None:
        assert "192.0.2.7" in Origins("192.0.2.7").hosts
        assert "varno.lan" in Origins("Varno.LAN").hosts
        for every in ("0.0.0.0", "::", ""):
            assert Origins(every).hosts == {"localhost", "127.0.0.1", "[::1]"}
        # Listening there with no --allowed-host, the server says what it answers.
        assert "--allowed-host" in str(listening_hint("0.0.0.0", []))
        assert listening_hint("::", ["varno.example"]) is None
        assert listening_hint("127.0.0.1", []) is None
        with pytest.raises(ValueError):
            Origins(hosts=["not a host"])
        with pytest.raises(ValueError):
            Origins(origins=["varno.example"])
