"""Where the benchmark scripts record their tables: a marked block of docs/benchmarks.md,
replaced on each run (or added under its heading on the first)."""
from __future__ import annotations

import re
from pathlib import Path

DOC = Path(__file__).resolve().parents[1] / "docs" / "benchmarks.md"


def write_block(lines: list[str], begin: str, end: str, heading: str) -> None:
    text = DOC.read_text()
    block = begin + "\n" + "\n".join(lines).strip() + "\n" + end
    if begin in text:
        text = re.sub(re.escape(begin) + ".*?" + re.escape(end), lambda _: block, text, flags=re.S)
    else:
        text = text.rstrip() + f"\n\n## {heading}\n\n" + block + "\n"
    DOC.write_text(text)
    print(f"==> wrote {DOC}", flush=True)
