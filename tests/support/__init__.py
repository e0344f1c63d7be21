from .services import (
    TemporaryRedis,
    database_url,
    ensure_services,
    load_test_dataset,
    settings,
    temporary_redis,
)

__all__ = [
    "TemporaryRedis",
    "database_url",
    "ensure_services",
    "load_test_dataset",
    "settings",
    "temporary_redis",
]
