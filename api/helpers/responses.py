"""Uniform response descriptions for routers: a JSON envelope or a PDF attachment."""
from __future__ import annotations

import io
from http import HTTPStatus
from typing import Any

from fastapi.encoders import jsonable_encoder
from fastapi.responses import JSONResponse, Response


def _default_message(status_code: int) -> str:
    if status_code < 400:
        return "Request successful"
    try:
        return HTTPStatus(status_code).phrase
    except ValueError:
        return "Request failed"


def api_response(
    data: Any = None,
    message: str | None = None,
    status_code: int = 200,
    file: io.BytesIO | bytes | None = None,
    filename: str | None = None,
) -> dict:
    if file is not None:
        if isinstance(file, (bytes, bytearray, memoryview)):
            file = io.BytesIO(bytes(file))
        return {"status_code": status_code, "file": file, "filename": filename or "document.pdf"}
    return {
        "status_code": status_code,
        "success": status_code < 400,
        "message": message or _default_message(status_code),
        "data": data,
    }


def api_router_response(resp: dict) -> Response:
    if "file" in resp:
        filename = str(resp.get("filename") or "document.pdf").replace('"', "").replace("\r", "").replace("\n", "")
        return Response(
            content=resp["file"].getvalue(),
            status_code=resp.get("status_code", 200),
            media_type="application/pdf",
            headers={"Content-Disposition": f'attachment; filename="{filename}"'},
        )
    return JSONResponse(status_code=resp["status_code"], content=jsonable_encoder(resp))
