"""Brings the view classes and `__all__` of the shipped stubs in line with the installed
modules: each view gets its keyword constructor (from the run time), its computed fields
as methods, `from_pydantic` as a static method and a stub-only base (`_PydanticView` or
`_QueryType`, from core_model.pyi, which the stub must then import); each stub gets the
module's `__all__`. Views already carrying a base and a constructor are left as they are.

Usage (with the package built into .venv): .venv/bin/python scripts/update_view_stubs.py
Review the result; stubtest (tests/test_stubs.py) has the last word.
"""

import ast
import enum
import importlib
import inspect
import pathlib
import re

SRC = pathlib.Path(__file__).resolve().parents[1] / "src"

# Views
for stub in sorted(SRC.rglob("*.pyi")):
    modname = ".".join(stub.relative_to(SRC).with_suffix("").parts)
    mod = importlib.import_module(modname)
    text = stub.read_text()
    lines = text.splitlines()
    tree = ast.parse(text)
    edits = []
    for node in tree.body:
        if not isinstance(node, ast.ClassDef):
            continue
        cls = getattr(mod, node.name, None)
        if cls is None or not hasattr(cls, "__strawberry_definition__") or isinstance(cls, type) and issubclass(cls, enum.Enum):
            continue
        if node.bases and any(isinstance(i, ast.FunctionDef) and i.name == "__init__" for i in node.body):
            continue
        fields = {}
        order = []
        for item in node.body:
            if isinstance(item, ast.AnnAssign) and isinstance(item.target, ast.Name):
                fields[item.target.id] = ast.unparse(item.annotation)
                order.append(item.target.id)
        # inherited stub fields (view bases in the same stub)
        inherited = {}
        for b in node.bases:
            bn = ast.unparse(b)
            for other in tree.body:
                if isinstance(other, ast.ClassDef) and other.name == bn:
                    for item in other.body:
                        if isinstance(item, ast.AnnAssign):
                            inherited[item.target.id] = ast.unparse(item.annotation)
        allf = {**inherited, **fields}
        params = inspect.signature(cls.__init__).parameters
        init = []
        for name, p in params.items():
            if name == "self":
                continue
            default = " = ..." if p.default is not inspect.Parameter.empty else ""
            init.append(f"{name}: {allf[name]}{default}")
        computed = [n for n in order if n not in params]
        is_pyd = "from_pydantic" in vars(cls)
        bases = [ast.unparse(b) for b in node.bases]
        if not bases:
            bases = ["_PydanticView" if is_pyd else "_QueryType"]
        out = [f"class {node.name}({', '.join(bases)}):"]
        for n in order:
            if n in params:
                out.append(f"    {n}: {fields[n]}")
        for n in order:
            if n not in params:
                out.append(f"    def {n}(self) -> {fields[n]}: ...")
        one = f"    def __init__(self, *, {', '.join(init)}) -> None: ..."
        if not init:
            out.append("    def __init__(self) -> None: ...")
        elif len(one) <= 100:
            out.append(one)
        else:
            out.append("    def __init__(")
            out.append("        self,")
            out.append("        *,")
            out.extend(f"        {p}," for p in init)
            out.append("    ) -> None: ...")
        if is_pyd:
            rec = None
            for item in node.body:
                if isinstance(item, ast.FunctionDef) and item.name == "from_pydantic":
                    rec = ast.unparse(item.args.args[1].annotation)
            out.append("    @staticmethod")
            out.append(f"    def from_pydantic(instance: {rec}, extra: Optional[dict[str, Any]] = None) -> {node.name}: ...")
            out.append(f"    def to_pydantic(self, **kwargs: Any) -> {rec}: ...")
        edits.append((node.lineno - 1 - len(node.decorator_list), node.end_lineno, out))
    for start, end, out in reversed(edits):
        lines[start:end] = out
    stub.write_text("\n".join(lines) + "\n")
    print(stub, len(edits))

# __all__
for stub in sorted(SRC.rglob("*.pyi")):
    modname = ".".join(stub.relative_to(SRC).with_suffix("").parts)
    mod = importlib.import_module(modname)
    names = list(mod.__all__)
    text = stub.read_text()
    body = "__all__ = [" + ", ".join(f'"{n}"' for n in names) + "]"
    if len(body) > 100:
        body = "__all__ = [\n" + "".join(f'    "{n}",\n' for n in names) + "]"
    if re.search(r"^__all__ = \[.*?\]\n", text, re.S | re.M):
        text = re.sub(r"^__all__ = \[.*?\]\n", body + "\n", text, count=1, flags=re.S | re.M)
    else:
        lines = text.split("\n")
        # after the last import line at top level
        last = max(i for i, l in enumerate(lines) if l.startswith(("import ", "from ")) or (l.startswith(")") and i < 40))
        lines[last + 1:last + 1] = ["", body]
        text = "\n".join(lines)
    stub.write_text(text)
    print(stub.name, names)
