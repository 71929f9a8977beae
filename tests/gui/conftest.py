"""A designer server on a free loopback port, run in a thread for the length of one test."""

from __future__ import annotations

import base64
import json
import socket
import threading
import time
from pathlib import Path
from typing import Any, Dict, Iterator, List, Optional

import numpy as np
import pytest

#: What the designer and these tests need beyond the test extra (pip install 'lamina[gui]' websockets).
NEEDED = ("starlette", "uvicorn", "plotly", "websockets.sync.client")

EXAMPLES = Path(__file__).resolve().parents[2] / "examples" / "design"
TOKEN = "test-token-0123456789"


class Running:
    def __init__(self, port: int, workdir: Path) -> None:
        self.port = port
        self.workdir = workdir
        self.base = f"http://127.0.0.1:{port}"
        self.page = f"{self.base}/?token={TOKEN}"
        self.ws = f"ws://127.0.0.1:{port}/ws?token={TOKEN}"

    def connect(self, **kwargs: Any) -> "Page":
        from websockets.sync import client as ws_client

        conn = ws_client.connect(self.ws, max_size=None, open_timeout=10, **kwargs)
        # Entered as a context manager: newer websockets warn about a bare connection.
        return Page(conn.__enter__())


class Page:
    """A websocket client speaking as the page does, with helpers to wait for a message type."""

    def __init__(self, conn: Any) -> None:
        self.conn = conn
        self.seen: List[Dict[str, Any]] = []

    def send(self, **message: Any) -> None:
        self.conn.send(json.dumps(message))

    def next(self, timeout: float = 30.0) -> Dict[str, Any]:
        message = json.loads(self.conn.recv(timeout=timeout))
        if message.get("encoding") == "float64-le-base64":
            for key in ("wavelength_nm", "R", "T", "A"):
                message[key] = np.frombuffer(base64.b64decode(message[key]), dtype="<f8")
        self.seen.append(message)
        return message

    def wait(self, kind: str, timeout: float = 60.0, **match: Any) -> Dict[str, Any]:
        deadline = time.monotonic() + timeout
        while True:
            message = self.next(max(0.1, deadline - time.monotonic()))
            if message["type"] == kind and all(message.get(k) == v for k, v in match.items()):
                return message

    def close(self) -> None:
        self.conn.close()


COATING = """name = "one layer on glass"
incidence = "air"
exit = "N-BK7"

[[layer]]
material = "MgF2"
thickness_nm = 99.6

[spectrum]
wavelength_nm = { start = 400, stop = 800, count = 401 }
angle_deg = 0
"""


@pytest.fixture
def coating(tmp_path: Path) -> Path:
    """A design file of one MgF2 layer on half-infinite N-BK7."""
    path = tmp_path / "coating.toml"
    path.write_text(COATING, encoding="utf-8")
    return path


@pytest.fixture
def serve(tmp_path: Path) -> Iterator[Any]:
    """serve(design=None, targets=None) starts a server in tmp_path/work; stopped after the test."""
    for module in NEEDED:
        pytest.importorskip(module)
    import uvicorn

    from lamina_design.gui.server import MAX_MESSAGE_BYTES, create_app

    started: List[Any] = []

    def start(design: Optional[Path] = None, targets: Optional[Path] = None) -> Running:
        workdir = tmp_path / "work"
        workdir.mkdir(exist_ok=True)
        app = create_app(TOKEN, workdir, design, targets)
        sock = socket.socket()
        sock.bind(("127.0.0.1", 0))
        config = uvicorn.Config(app, log_level="warning", ws_max_size=MAX_MESSAGE_BYTES, lifespan="off")
        server = uvicorn.Server(config)
        thread = threading.Thread(target=server.run, kwargs={"sockets": [sock]}, daemon=True)
        thread.start()
        deadline = time.monotonic() + 20
        while not server.started:
            assert time.monotonic() < deadline, "the server did not start"
            time.sleep(0.02)
        started.append((server, thread, sock))
        return Running(sock.getsockname()[1], workdir)

    yield start
    for server, thread, sock in started:
        server.should_exit = True
        thread.join(timeout=20)
        sock.close()



def _browser_paths() -> Optional[tuple]:
    import shutil

    binary = shutil.which("chromium") or shutil.which("chromium-browser")
    driver = shutil.which("chromedriver")
    return (binary, driver) if binary and driver else None


@pytest.fixture
def browser() -> Iterator[Any]:
    """Debian's headless Chromium under Selenium; the test is skipped where either is missing."""
    webdriver = pytest.importorskip("selenium.webdriver")
    paths = _browser_paths()
    if paths is None:
        pytest.skip("chromium and chromium-driver are not installed")
    from selenium.webdriver.chrome.service import Service

    options = webdriver.ChromeOptions()
    options.binary_location = paths[0]
    for flag in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--disable-gpu",
                 "--window-size=1400,1000", "--no-first-run", "--disable-extensions"):
        options.add_argument(flag)
    driver = webdriver.Chrome(service=Service(executable_path=paths[1]), options=options)
    driver.set_page_load_timeout(60)
    try:
        yield driver
    finally:
        driver.quit()
