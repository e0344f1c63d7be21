"""Synthetic place and person names; pronounceable, made up, unique per pool."""
from __future__ import annotations

import random

_SYLLABLES = (
    "a ba be bi bo chi chu da de di du e fa fe fo ga ge gu ha i ja jo ka ke ki ko ku "
    "la le lo lu ma me mi mo mu na ne ni no nu nwa nna o pa po ra re ri ro ru sa se "
    "si so su ta te ti to tu u wa we ya yo za zo"
).split()


class NamePool:
    def __init__(self, rng: random.Random, min_syllables: int = 2, max_syllables: int = 3):
        self._rng = rng
        self._lo = min_syllables
        self._hi = max_syllables
        self._used: set[str] = set()

    def take(self) -> str:
        for attempt in range(1000):
            # Longer names once the short ones run out.
            extra = attempt // 200
            n = self._rng.randint(self._lo, self._hi) + extra
            name = "".join(self._rng.choice(_SYLLABLES) for _ in range(n)).capitalize()
            if len(name) >= 4 and name not in self._used:
                self._used.add(name)
                return name
        raise RuntimeError("name pool exhausted")


def surveyor_names(rng: random.Random, count: int) -> list[str]:
    pool = NamePool(rng, 3, 4)
    out = []
    for _ in range(count):
        initials = " ".join(rng.choice("ABCDEFGIJKMNOSTU") + "." for _ in range(rng.randint(1, 2)))
        out.append(f"Surv. {initials} {pool.take()}")
    return out
