from __future__ import annotations

from typing import Any, Generic, Sequence, TypeVar

from sqlalchemy import func, select
from sqlalchemy.ext.asyncio import AsyncSession

ModelT = TypeVar("ModelT")


class AsyncBaseRepository(Generic[ModelT]):
    """Read access to one mapped model within the caller's session."""

    def __init__(self, db: AsyncSession, model: type[ModelT]):
        self.db = db
        self.model = model

    async def get_by_id(self, id: Any) -> ModelT | None:
        return await self.db.get(self.model, id)

    def _filtered(self, filters: dict[str, Any]):
        stmt = select(self.model)
        for name, value in filters.items():
            stmt = stmt.where(getattr(self.model, name) == value)
        return stmt

    async def get_by(self, **filters: Any) -> ModelT | None:
        result = await self.db.execute(self._filtered(filters).limit(1))
        return result.scalars().first()

    async def list_by(self, limit: int | None = None, offset: int = 0, **filters: Any) -> Sequence[ModelT]:
        stmt = self._filtered(filters)
        pk = self.model.__mapper__.primary_key
        stmt = stmt.order_by(*pk).offset(offset)
        if limit is not None:
            stmt = stmt.limit(limit)
        result = await self.db.execute(stmt)
        return result.scalars().all()

    async def count(self, **filters: Any) -> int:
        stmt = select(func.count()).select_from(self._filtered(filters).subquery())
        return int((await self.db.execute(stmt)).scalar_one())
