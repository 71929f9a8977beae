"""The designer's web server: the page, its scripts, and one websocket per open tab.

Every request carries the server's token (``?token=``), as Jupyter's do; without it the answer is
403 and a websocket is refused before it opens. The page's scripts come from this package and the
``plotly`` wheel, so nothing is fetched from the network.

Messages on the websocket are JSON objects with a ``type``. Edits of the design are coalesced:
while one spectrum is being computed, further edits only replace the pending one, so a burst of
keystrokes costs one computation for the latest state, not one per keystroke.
"""
from __future__ import annotations

import asyncio
import copy
import importlib.util
import json
import logging
import math
import secrets
import threading
import traceback
from pathlib import Path
from typing import Any, Callable, Dict, List, Optional
from urllib.parse import parse_qs, urlsplit

from starlette.applications import Starlette
from starlette.requests import Request
from starlette.responses import HTMLResponse, PlainTextResponse, Response
from starlette.routing import Route, WebSocketRoute
from starlette.types import ASGIApp, Receive, Scope, Send
from starlette.websockets import WebSocket, WebSocketDisconnect

from lamina_design.gui.paths import FileRefused
from lamina_design.core.progress import Progress
from lamina_design.gui.session import Cancelled, Session, SessionError, run_refine, run_synthesis, run_tolerance
from lamina_design.io.files import DesignFileError
from lamina_design.materials import catalogue
from lamina_design.materials.base import MaterialError

__all__ = ["MAX_MESSAGE_BYTES", "create_app", "new_token", "plotly_js"]

#: The largest websocket message taken from a page (a design of GUI_MAX_LAYERS layers is ~100 kB).
MAX_MESSAGE_BYTES = 4 * 2**20
#: Progress messages of a refinement are sent at most this often (seconds).
PROGRESS_INTERVAL = 0.1

_STATIC = Path(__file__).parent / "static"
_TYPES = {".js": "text/javascript; charset=utf-8", ".css": "text/css; charset=utf-8"}
_log = logging.getLogger("lamina_design.gui")


def new_token() -> str:
    return secrets.token_urlsafe(24)


def plotly_js() -> Optional[Path]:
    """plotly.min.js as the plotly wheel ships it (the package is not imported)."""
    spec = importlib.util.find_spec("plotly")
    if spec is None or not spec.submodule_search_locations:
        return None
    for folder in spec.submodule_search_locations:
        path = Path(folder) / "package_data" / "plotly.min.js"
        if path.is_file():
            return path
    return None


class _TokenGate:
    """Refuses (403) every HTTP request and websocket without the token, and websockets from other origins."""

    def __init__(self, app: ASGIApp, token: str) -> None:
        self.app = app
        self.token = token

    def _allowed(self, scope: Scope) -> bool:
        query = parse_qs(scope.get("query_string", b"").decode("latin-1"))
        given = query.get("token", [""])[-1]
        if not secrets.compare_digest(given.encode(), self.token.encode()):
            return False
        if scope["type"] == "websocket":
            headers = dict(scope.get("headers", []))
            origin = headers.get(b"origin")
            host = headers.get(b"host", b"").decode("latin-1")
            # A page from another site must not drive the session even if it learnt the token.
            if origin is not None and urlsplit(origin.decode("latin-1")).netloc != host:
                return False
        return True

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] in ("http", "websocket") and not self._allowed(scope):
            if scope["type"] == "websocket":
                await send({"type": "websocket.close", "code": 1008})
            else:
                await PlainTextResponse("403: this server needs the token it printed at its start\n",
                                        status_code=403)(scope, receive, send)
            return
        await self.app(scope, receive, send)


def create_app(token: str, workdir: Path, design: Optional[Path] = None, targets: Optional[Path] = None) -> ASGIApp:
    """The designer's ASGI application.

    Each websocket (each tab) gets its own :class:`Session` opened from `design` and `targets`.
    """
    plotly_path = plotly_js()
    assets: Dict[str, bytes] = {name: (_STATIC / name).read_bytes() for name in ("app.js", "app.css")}
    if plotly_path is not None:
        assets["plotly.min.js"] = plotly_path.read_bytes()
    page = (_STATIC / "index.html").read_text(encoding="utf-8").replace("{{token}}", token)
    # Opened once at the start so a broken file is reported on the terminal, not in every tab.
    Session(workdir, design, targets).close()

    async def index(request: Request) -> Response:
        if "plotly.min.js" not in assets:
            return PlainTextResponse("plotly is not installed: pip install 'lamina[gui]'\n", status_code=500)
        return HTMLResponse(page, headers={"Cache-Control": "no-store"})

    async def static(request: Request) -> Response:
        name = request.path_params["name"]
        if name not in assets:
            return PlainTextResponse("not found\n", status_code=404)
        kind = _TYPES[Path(name).suffix]
        return Response(assets[name], media_type=kind, headers={"Cache-Control": "private, max-age=3600"})

    async def socket(websocket: WebSocket) -> None:
        await websocket.accept()
        try:
            session = await asyncio.to_thread(Session, workdir, design, targets)
        except SessionError as exc:
            await websocket.send_text(json.dumps({"type": "error", "message": str(exc)}))
            await websocket.close()
            return
        try:
            await _Connection(websocket, session).run()
        finally:
            session.close()

    routes = [Route("/", index), Route("/static/{name}", static), WebSocketRoute("/ws", socket)]
    return _TokenGate(Starlette(routes=routes), token)


def _finite(value: float) -> Optional[float]:
    """JSON has no nan or inf: None stands for them."""
    return value if math.isfinite(value) else None


def _finite_json(value: str) -> Any:
    def refuse(constant: str) -> Any:
        raise ValueError(f"{constant} is not a number the designer takes")

    return json.loads(value, parse_constant=refuse)


class _Connection:
    """One tab: an inbox read as fast as messages come, a worker that applies them in order
    (consecutive design edits collapsed to the latest), and one sender."""

    def __init__(self, websocket: WebSocket, session: Session) -> None:
        self.websocket = websocket
        self.session = session
        self.inbox: List[Dict[str, Any]] = []
        self.wake = asyncio.Event()
        self.outbox: "asyncio.Queue[Optional[Dict[str, Any]]]" = asyncio.Queue()
        self.loop = asyncio.get_running_loop()
        self.cancel: Optional[threading.Event] = None
        self.job = ""

    def post(self, message: Dict[str, Any]) -> None:
        """Queue a message for the page; safe from any thread."""
        self.loop.call_soon_threadsafe(self.outbox.put_nowait, message)

    async def run(self) -> None:
        self.outbox.put_nowait(self._hello())
        self.outbox.put_nowait(await asyncio.to_thread(self._spectrum, None))
        sender = asyncio.create_task(self._send())
        worker = asyncio.create_task(self._work())
        try:
            while True:
                frame = await self.websocket.receive()
                if frame["type"] == "websocket.disconnect":
                    break
                text = frame.get("text")
                try:
                    if text is None:
                        raise ValueError("messages are JSON text, not binary frames")
                    message = _finite_json(text)
                    if not isinstance(message, dict) or not isinstance(message.get("type"), str):
                        raise ValueError("a message is a JSON object with a type")
                except ValueError as exc:
                    self.outbox.put_nowait({"type": "error", "message": f"unreadable message: {exc}"})
                    continue
                if message["type"] == "cancel":
                    # Not queued behind edits: a cancel must reach a running refinement at once.
                    if self.cancel is not None:
                        self.cancel.set()
                    continue
                self.inbox.append(message)
                self.wake.set()
        except WebSocketDisconnect:
            pass
        finally:
            if self.cancel is not None:
                self.cancel.set()
            worker.cancel()
            self.outbox.put_nowait(None)
            await asyncio.gather(sender, worker, return_exceptions=True)

    async def _send(self) -> None:
        while True:
            message = await self.outbox.get()
            if message is None:
                return
            try:
                await self.websocket.send_text(json.dumps(message))
            except Exception:  # noqa: BLE001 - the page went away; the receiver ends the connection
                return

    async def _work(self) -> None:
        while True:
            await self.wake.wait()
            self.wake.clear()
            batch, self.inbox = self.inbox, []
            for i, message in enumerate(batch):
                later_edit = any(m["type"] == "design" for m in batch[i + 1:i + 2])
                if message["type"] == "design" and later_edit:
                    continue  # coalesced: a newer edit follows
                reply = await asyncio.to_thread(self._handle, message)
                for item in reply:
                    self.outbox.put_nowait(item)

    # -- handlers (run in a worker thread, one at a time) ------------------------------------
    def _handle(self, message: Dict[str, Any]) -> List[Dict[str, Any]]:
        kind = message["type"]
        seq = message.get("seq")
        try:
            if kind == "refine_done":
                return self._refine_done(message)
            if kind == "job_done":
                return self._job_done(message)
            if self.cancel is not None and kind not in ("save_design", "save_targets"):
                raise SessionError(f"a {self.job} is running: wait for it or cancel it first")
            if kind == "design":
                changed = self.session.apply(message.get("design"))
                return [self._spectrum(seq)] if changed else [{"type": "unchanged", "seq": seq}]
            if kind in ("undo", "redo"):
                moved = self.session.undo() if kind == "undo" else self.session.redo()
                if not moved:
                    return [{"type": "history", "seq": seq, **self.session.history()}]
                return [self._spectrum(None)]
            if kind == "synthesize":
                return self._start_synthesis(message)
            if kind == "tolerance":
                return self._start_tolerance(message)
            if kind == "targets":
                self.session.set_targets(message.get("targets"), message.get("refine"))
                return [{"type": "targets", "seq": seq, "targets": self.session.targets_doc,
                         "refine": self.session.refine_options, "bands": self.session.bands()}]
            if kind == "refine":
                return self._start_refine()
            if kind == "save_design":
                path = self.session.save_design(message.get("name"))
                return [{"type": "saved", "what": "design", "name": str(message.get("name")), "path": str(path),
                         "files": self.session.files()}]
            if kind == "save_targets":
                path = self.session.save_targets(message.get("name"))
                return [{"type": "saved", "what": "targets", "name": str(message.get("name")), "path": str(path),
                         "files": self.session.files()}]
            if kind in ("open_design", "open_targets"):
                if kind == "open_design":
                    self.session.open_design(message.get("name"))
                else:
                    self.session.open_targets(message.get("name"))
                return [self._hello(), self._spectrum(seq)]
            raise SessionError(f"unknown message type {kind!r}")
        except (SessionError, FileRefused, DesignFileError, MaterialError) as exc:
            return [{"type": "error", "seq": seq, "message": str(exc)}]
        except Exception as exc:  # noqa: BLE001 - the page gets one line; the terminal the traceback
            _log.error("while handling %s:\n%s", kind, traceback.format_exc())
            return [{"type": "error", "seq": seq, "message": f"internal error ({type(exc).__name__}): {exc}"}]

    def _hello(self) -> Dict[str, Any]:
        session = self.session
        return {"type": "hello", "design": copy.deepcopy(session.doc), "targets": copy.deepcopy(session.targets_doc),
                "refine": session.refine_options, "bands": session.bands(), "files": session.files(),
                "materials": catalogue.names(), "history": session.history()}

    def _spectrum(self, seq: Any) -> Dict[str, Any]:
        try:
            out: Dict[str, Any] = {"type": "spectrum", "seq": seq, "encoding": "float64-le-base64"}
            if seq is None:
                # Not an answer to an edit: the page takes the design as the server now has it.
                out["design"] = copy.deepcopy(self.session.doc)
            out.update(self.session.spectrum())
            out["history"] = self.session.history()
            return out
        except SessionError as exc:
            return {"type": "error", "seq": seq, "message": str(exc)}

    def _start_refine(self) -> List[Dict[str, Any]]:
        stack, targets, vary, budget = self.session.refine_job()
        cancel = threading.Event()
        self.cancel = cancel
        self.job = "refinement"
        last = [0.0]

        def progress(count: int, cost: float) -> None:
            now = self.loop.time()
            if now - last[0] >= PROGRESS_INTERVAL or count == budget:
                last[0] = now
                self.post({"type": "progress", "nfev": count, "max": budget, "cost": cost})

        def job() -> None:
            try:
                outcome: Dict[str, Any] = {"type": "refine_done", "result": run_refine(stack, targets, vary, budget,
                                                                                      cancel, progress)}
            except Cancelled:
                outcome = {"type": "refine_done", "cancelled": True}
            except (ValueError, ArithmeticError) as exc:
                outcome = {"type": "refine_done", "error": str(exc)}
            except Exception as exc:  # noqa: BLE001 - reported to the page in one line
                _log.error("refinement failed:\n%s", traceback.format_exc())
                outcome = {"type": "refine_done", "error": f"internal error ({type(exc).__name__}): {exc}"}
            self.loop.call_soon_threadsafe(self._deliver, outcome)

        # Posted before the thread starts: the page must hear of the job before its progress.
        self.post({"type": "refine_started", "max": budget})
        threading.Thread(target=job, name="lamina-refine", daemon=True).start()
        return []

    def _deliver(self, outcome: Dict[str, Any]) -> None:
        self.inbox.append(outcome)
        self.wake.set()

    def _start_job(self, job: str, what: str, run: Callable[[threading.Event, Callable[[Progress], None]], Any],
                   started: Dict[str, Any]) -> List[Dict[str, Any]]:
        """Run `run(cancel, progress)` in a thread of its own; its outcome comes back as a job_done message.
        `started` is posted before the thread starts, so the page hears of the job before its progress."""
        cancel = threading.Event()
        self.cancel = cancel
        self.job = what
        last = [0.0]

        def progress(record: Progress) -> None:
            now = self.loop.time()
            if now - last[0] >= PROGRESS_INTERVAL or record.done >= record.total:
                last[0] = now
                self.post({"type": "progress", "job": job, "done": record.done, "total": record.total,
                           "unit": record.unit, "merit": _finite(record.merit), "eta": _finite(record.eta),
                           "stage": record.stage})

        def thread() -> None:
            try:
                outcome: Dict[str, Any] = {"type": "job_done", "job": job, "result": run(cancel, progress),
                                           "cancelled": cancel.is_set()}
            except (ValueError, ArithmeticError, MaterialError) as exc:
                outcome = {"type": "job_done", "job": job, "error": " ".join(str(exc).split())}
            except Exception as exc:  # noqa: BLE001 - reported to the page in one line
                _log.error("%s failed:\n%s", what, traceback.format_exc())
                outcome = {"type": "job_done", "job": job, "error": f"internal error ({type(exc).__name__}): {exc}"}
            self.loop.call_soon_threadsafe(self._deliver, outcome)

        self.post(started)
        threading.Thread(target=thread, name=f"lamina-{job}", daemon=True).start()
        return []

    def _start_synthesis(self, message: Dict[str, Any]) -> List[Dict[str, Any]]:
        method = message.get("method")
        if method not in ("needle", "gradual"):
            raise SessionError(f"method must be 'needle' or 'gradual', got {method!r}")
        stack, targets, materials, options, refs = self.session.synthesis_job(message.get("options", {}))
        what = "needle synthesis" if method == "needle" else "gradual evolution"
        return self._start_job("synthesis", what, lambda cancel, progress: run_synthesis(
            method, stack, targets, materials, options, refs, cancel, progress),
            {"type": "job_started", "job": "synthesis", "method": method})

    def _start_tolerance(self, message: Dict[str, Any]) -> List[Dict[str, Any]]:
        stack, targets, sigma, samples = self.session.tolerance_job(message.get("options", {}))
        return self._start_job("tolerance", "tolerance run", lambda cancel, progress: run_tolerance(
            stack, targets, sigma, samples, cancel, progress), {"type": "job_started", "job": "tolerance",
                                                                "samples": samples})

    def _job_done(self, outcome: Dict[str, Any]) -> List[Dict[str, Any]]:
        self.cancel = None
        job = outcome["job"]
        reply: Dict[str, Any] = {"type": "job_done", "job": job, "cancelled": bool(outcome.get("cancelled"))}
        if "error" in outcome:
            reply["error"] = outcome["error"]
            return [reply]
        result = outcome["result"]
        reply["result"] = result
        if job != "synthesis":
            return [reply]
        # The best design found (so far, when cancelled) replaces the table: one undo step.
        try:
            self.session.set_layers(result["layers"])
        except SessionError as exc:
            reply["error"] = f"the synthesized design cannot be shown: {exc}"
            return [reply]
        return [reply, self._spectrum(None)]

    def _refine_done(self, outcome: Dict[str, Any]) -> List[Dict[str, Any]]:
        self.cancel = None
        if outcome.get("cancelled"):
            return [{"type": "refined", "cancelled": True}]
        if "error" in outcome:
            return [{"type": "refined", "error": outcome["error"]}]
        result = outcome["result"]
        self.session.set_thicknesses(result["thicknesses"])
        return [{"type": "refined", "result": result}, self._spectrum(None)]

