"""Bearer tokens for the routes that change state or issue documents.

The modules do no authorisation of their own; the host decides who may call what."""
from __future__ import annotations

import secrets

from fastapi import HTTPException, Request


def _bearer(request: Request) -> str | None:
    scheme, _, credentials = request.headers.get("authorization", "").partition(" ")
    return credentials.strip() if scheme.lower() == "bearer" and credentials.strip() else None


def require_token(request: Request, expected: str, what: str, variable: str) -> None:
    """401 unless the request carries `expected` as its bearer token; with no token
    configured nobody gets through."""
    if not expected:
        raise HTTPException(status_code=401, detail=f"{what} is disabled: no {variable} is configured",
                            headers={"WWW-Authenticate": "Bearer"})
    given = _bearer(request)
    if given is None or not secrets.compare_digest(given.encode(), expected.encode()):
        raise HTTPException(status_code=401, detail=f"{what} needs a valid bearer token",
                            headers={"WWW-Authenticate": "Bearer"})
