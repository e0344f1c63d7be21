"""The server's entry point: `uvicorn main:app`, run in this folder, which holds the host
contract's modules (`database`, `logger`, `helpers`, ...) and the service package."""
from service.app import app

__all__ = ["app"]
