"""The package's imports run one way: the command, then the pipeline, then the search
stages, then the readers, error control and outputs, then the leaf modules and the native
ones. Every import counts, those inside functions too: a lazy import back up is still a
cycle waiting to happen."""

from __future__ import annotations

import ast
from pathlib import Path

import tovel_mesk

PACKAGE = Path(tovel_mesk.__file__).resolve().parent

#: Layers, lowest first; a module may import only from its own layer or a lower one, and
#: never into a cycle.
LAYERS = (
    ("_version", "_native", "errors", "columns", "conventions", "progress"),
    ("config", "summary"),
    ("io", "fdr", "report", "quant"),
    ("search",),
    ("pipeline",),
    ("cli", "__main__", ""),
)
RANK = {name: rank for rank, names in enumerate(LAYERS) for name in names}


def module_name(path: Path) -> str:
    parts = list(path.relative_to(PACKAGE).with_suffix("").parts)
    if parts[-1] == "__init__":
        parts.pop()
    return ".".join(parts)


def imports_of(path: Path) -> set[str]:
    """The package modules that `path` imports (dotted, relative to the package)."""
    name = module_name(path)
    here = name.split(".") if name else []
    if path.name != "__init__.py":
        here = here[:-1]
    found = set()
    for node in ast.walk(ast.parse(path.read_text(), str(path))):
        if isinstance(node, ast.ImportFrom):
            if node.level:
                base = here[: len(here) - (node.level - 1)]
                target = [*base, *(node.module.split(".") if node.module else [])]
            elif node.module and node.module.split(".")[0] == "tovel_mesk":
                target = node.module.split(".")[1:]
            else:
                continue
            for alias in node.names:  # `from . import x` may name a module
                candidate = ".".join([*target, alias.name])
                found.add(candidate if _exists(candidate) else ".".join(target))
        elif isinstance(node, ast.Import):
            for alias in node.names:
                if alias.name.split(".")[0] == "tovel_mesk":
                    found.add(".".join(alias.name.split(".")[1:]))
    found.discard(name)
    return found


def _exists(dotted: str) -> bool:
    base = PACKAGE.joinpath(*dotted.split("."))
    return base.with_suffix(".py").is_file() or (base / "__init__.py").is_file() or dotted == "_native"


def graph() -> dict[str, set[str]]:
    return {module_name(p): imports_of(p) for p in PACKAGE.rglob("*.py")}


def layer(module: str) -> int:
    return RANK[module.split(".")[0]]


def test_every_module_has_a_layer():
    assert not [m for m in graph() if m.split(".")[0] not in RANK]


def test_no_module_imports_upward():
    upward = sorted(f"{m} -> {t}" for m, targets in graph().items() for t in targets
                    if t.split(".")[0] in RANK and layer(t) > layer(m))
    assert not upward


def test_no_import_cycle():
    edges = graph()
    # A package's __init__ imports nothing back; its children importing their parent package
    # (`from .. import x` resolving to the folder) would show here as a cycle.
    state: dict[str, int] = {}
    cycles = []

    def visit(node: str, trail: list[str]) -> None:
        state[node] = 1
        for nxt in sorted(edges.get(node, ())):
            if state.get(nxt) == 1:
                cycles.append(" -> ".join([*trail[trail.index(nxt):], nxt]))
            elif nxt not in state:
                visit(nxt, [*trail, nxt])
        state[node] = 2

    for start in sorted(edges):
        if start not in state:
            visit(start, [start])
    assert not cycles


def test_the_graph_sees_lazy_imports():
    # The walker itself: an import inside a function is an edge like any other.
    edges = graph()
    assert "search.cluster" in edges["pipeline"]
    assert "report.tables" in edges["search.outcome"]
