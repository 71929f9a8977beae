"""The designer in the browser: ``lamina-design serve``.

A local web page that edits a design and its targets; the server computes with this package
(the same reader, writer and refinement as the command line) and sends the numbers back.
Needs the ``gui`` extra: ``pip install 'lamina[gui]'`` (Starlette, uvicorn and plotly, whose
wheel carries the plotting script: the page loads nothing from the network).
"""
from __future__ import annotations
