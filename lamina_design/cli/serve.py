"""``lamina-design serve``: the designer in the browser, on this machine only.

    lamina-design serve [design.toml] [--targets targets.toml] [--port N]

Prints the page's address with a fresh token (every request must carry it) and serves until
interrupted.
"""
from __future__ import annotations

import argparse
import errno
import socket
import sys
from pathlib import Path
from typing import Any, Optional

from lamina_design.cli import options

__all__ = ["HOST", "add", "run"]

HOST = "127.0.0.1"
#: Tried first, then the next few, when --port is not given.
DEFAULT_PORT = 8765
_PORT_TRIES = 20


def add(commands: Any) -> None:
    serve = options.add_command(
        commands, "serve", "the designer in the browser: edit layers and targets, see R, T, A live",
        "Serve a local web page that edits the design and its targets, plots R, T and A as "
        "you type and refines thicknesses. Listens on 127.0.0.1 only; the printed address "
        "carries a token that every request needs. Saves go to the files named here or to "
        "names inside the working directory. Needs the gui extra: pip install 'lamina[gui]'.")
    serve.add_argument("design", type=Path, nargs="?", help=options.DESIGN_HELP + " (default: a one-layer example)")
    serve.add_argument("--targets", type=Path, metavar="TARGETS", help="a targets file (TOML) to edit and refine towards")
    serve.add_argument("--port", type=_port, default=None, metavar="N",
                       help=f"port on 127.0.0.1 (default: {DEFAULT_PORT} or the next free one; 0: any free port)")
    serve.set_defaults(run=run)


def _port(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"must be a port number 0-65535, got {text!r}") from None
    if not 0 <= value <= 65535:
        raise argparse.ArgumentTypeError(f"must be a port number 0-65535, got {value}")
    return value


def _bind(port: Optional[int]) -> socket.socket:
    candidates = [port] if port is not None else list(range(DEFAULT_PORT, DEFAULT_PORT + _PORT_TRIES))
    last: Optional[OSError] = None
    for candidate in candidates:
        sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        try:
            sock.bind((HOST, candidate))
            return sock
        except OSError as exc:
            sock.close()
            last = exc
            if exc.errno != errno.EADDRINUSE:
                break
    assert last is not None
    raise last


def run(args: Any) -> int:
    """Serve until interrupted; the exit status of the command."""
    try:
        import uvicorn

        from lamina_design.gui.server import MAX_MESSAGE_BYTES, create_app, new_token, plotly_js
        from lamina_design.gui.session import SessionError
    except ImportError as exc:
        print(f"lamina-design: serve needs the gui extra (pip install 'lamina[gui]'): {exc}", file=sys.stderr)
        return 1
    if plotly_js() is None:
        print("lamina-design: serve needs plotly for its plots: pip install 'lamina[gui]'", file=sys.stderr)
        return 1
    token = new_token()
    try:
        app = create_app(token, Path.cwd(), args.design, args.targets)
    except SessionError as exc:
        print(f"lamina-design: error: {exc}", file=sys.stderr)
        return 2
    try:
        sock = _bind(args.port)
    except OSError as exc:
        print(f"lamina-design: error: cannot listen on {HOST}:{args.port}: {exc.strerror or exc}", file=sys.stderr)
        return 1
    port = sock.getsockname()[1]
    # Listening before the address is printed: a browser opened at once waits in the backlog.
    sock.listen(128)
    print(f"lamina-design serve: open http://{HOST}:{port}/?token={token}", flush=True)
    print("(Ctrl+C stops the server)", flush=True)
    config = uvicorn.Config(app, log_level="warning", ws_max_size=MAX_MESSAGE_BYTES, lifespan="off")
    server = uvicorn.Server(config)
    try:
        server.run(sockets=[sock])
    except KeyboardInterrupt:
        pass
    finally:
        sock.close()
    return 0
