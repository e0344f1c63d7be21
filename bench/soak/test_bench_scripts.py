"""The in-process benchmark runs: it prints its comparison table;
its ratio is printed for the log, never asserted."""
from __future__ import annotations

import re
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]


def test_inprocess_benchmark_prints_its_ratios():
    result = subprocess.run([sys.executable, str(ROOT / "bench" / "inprocess.py"), "--n", "300", "--repeats", "1"],
                            capture_output=True, text=True, cwd=ROOT, timeout=300)
    assert result.returncode == 0, result.stderr
    rows = {m.group(1): float(m.group(2)) for m in re.finditer(r"^\| (hit|miss) \|.*\| ([\d.]+) \|$",
                                                                result.stdout, re.M)}
    assert set(rows) == {"hit", "miss"}, result.stdout
    print(result.stdout)


def test_step_benchmark_times_every_step():
    result = subprocess.run([sys.executable, str(ROOT / "bench" / "steps.py"), "--n", "200"],
                            capture_output=True, text=True, cwd=ROOT, timeout=300)
    assert result.returncode == 0, result.stderr
    steps = re.findall(r"^\| `([^`]+)` \| [\d,]+ \| [\d,]+ \| [\d.]+ \|$", result.stdout, re.M)
    assert len(steps) == 6 and "generate_mvt_sql" in steps, result.stdout


@pytest.mark.parametrize("script, args, labels", [
    ("dependency_cost.py", ["--n", "50", "--repeats", "1"], {"none", "generator", "exit-stack", "middleware"}),
    ("middleware_cost.py", ["--n", "50"], {"this checkout"}),
])
def test_host_cost_benchmarks_print_a_row_per_case(script, args, labels):
    result = subprocess.run([sys.executable, str(ROOT / "bench" / script), *args],
                            capture_output=True, text=True, cwd=ROOT, timeout=300)
    assert result.returncode == 0, result.stderr
    rows = set(re.findall(r"^\| ([a-z -]+) \| [\d.]+ \|", result.stdout, re.M))
    assert rows == labels, result.stdout
