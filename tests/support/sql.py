"""One statement against a database, from synchronous test code, in an engine of its own."""
from __future__ import annotations

import asyncio


def sql(database_url: str, statement: str, **params) -> list[tuple]:
    """Runs `statement` in a transaction of its own and commits; returns its rows, if any."""
    from sqlalchemy import text
    from sqlalchemy.ext.asyncio import create_async_engine

    async def run():
        engine = create_async_engine(database_url)
        try:
            async with engine.begin() as conn:
                result = await conn.execute(text(statement), params)
                return [tuple(row) for row in result] if result.returns_rows else []
        finally:
            await engine.dispose()

    return asyncio.run(run())
