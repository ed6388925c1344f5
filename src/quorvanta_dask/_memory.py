"""Whether a training table fits in one worker: every task that grows trees holds the whole
table, so the smallest worker memory limit decides."""

from __future__ import annotations

from typing import Any

# A growing task holds the partitions it receives, their joined copy, and the fit's own tables
# (binned columns, bootstrap draws and buffers, about as much again): four times the table as
# float32, with room to spare for the worker's own use.
FIT_MEMORY_FACTOR = 4


def _gib(n_bytes: float) -> str:
    return f"{n_bytes / 2**30:.2f} GiB"


def smallest_memory_limit(client: Any) -> int | None:
    """The smallest memory limit of the client's workers, or None when none has a limit."""
    try:
        info = client.scheduler_info(n_workers=-1)
    except TypeError:  # versions that always list every worker
        info = client.scheduler_info()
    workers = info.get("workers", {})
    limits = [int(info.get("memory_limit") or 0) for info in workers.values()]
    limits = [limit for limit in limits if limit > 0]
    return min(limits) if limits else None


def check_fit_memory(table_bytes: int, n_rows: int, n_cols: int, limit: int | None) -> None:
    """Raises MemoryError, before any work, when a fit of the table cannot fit in a worker."""
    if limit is None:
        return
    needed = FIT_MEMORY_FACTOR * table_bytes
    if needed > limit:
        raise MemoryError(
            f"the training table ({n_rows} rows x {n_cols} columns, {_gib(table_bytes)} as "
            f"float32) needs about {_gib(needed)} in every worker that grows trees "
            f"({FIT_MEMORY_FACTOR} x the table), but the smallest worker memory limit is "
            f"{_gib(limit)}; use workers with more memory or a smaller table"
        )
