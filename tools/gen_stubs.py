"""Writes arborlib/<module>.pyi for the five extension modules from the built modules'
signatures (pybind11 puts each function's signature in the first line of its docstring).

Run after a change to the bindings:  .venv/bin/python tools/gen_stubs.py
"""
import importlib
import inspect
import os
import re
import sys
import types

MODULES = ["arbor_settings", "dendrite_engine", "fused_layers", "net_toolkit", "slim_restore"]
ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "arborlib")
HEADER = "# Type stubs of an extension module, written by tools/gen_stubs.py from the built module.\n"
IMPORTS = "import collections.abc\nimport types\nimport typing\n\nimport torch\n"


def signature(name, fn, indent=""):
    """``def name(...)`` from the signature line that pybind11 writes first in a docstring (the
    bound name there may differ from the attribute's, e.g. a class's ``__init__``)."""
    doc = (getattr(fn, "__func__", fn).__doc__ or "").strip().splitlines()
    match = re.match(r"[\w.]+(\(.*\)) -> (.+)$", doc[0]) if doc else None
    if not match:
        return f"{indent}def {name}(*args: typing.Any, **kwargs: typing.Any) -> typing.Any: ..."
    params, result = match.group(1), match.group(2)
    params = params.replace("object", "typing.Any")
    result = "None" if result == "None" else result.replace("object", "typing.Any")
    rest = [line.strip() for line in doc[1:] if line.strip()]
    body = f'\n{indent}    """{" ".join(rest)}"""' if rest else " ..."
    decorator = f"{indent}@staticmethod\n" if isinstance(fn, staticmethod) else ""
    return f"{decorator}{indent}def {name}{params} -> {result}:{body}"


def methods(cls):
    """The class's own public methods and ``__init__``, as bound in the extension."""
    own = [(n, v) for n, v in vars(cls).items()
           if (n == "__init__" or not n.startswith("_")) and callable(getattr(v, "__func__", v))]
    return "\n".join(signature(n, v, "    ") for n, v in own) or "    ..."


def stub(module_name):
    mod = importlib.import_module(f"arborlib.{module_name}")
    lines = [HEADER + f'"""{mod.__doc__ or module_name}"""\n\n' + IMPORTS]
    for name in sorted(vars(mod)):
        if name.startswith("__"):
            continue
        value = getattr(mod, name)
        if isinstance(value, types.ModuleType):
            lines.append(f"{name}: types.ModuleType")
        elif inspect.isclass(value) and value.__name__ != name and vars(mod).get(value.__name__) is value:
            lines.append(f"{name} = {value.__name__}")  # another name of a class of this module
        elif inspect.isclass(value):
            base = f"{value.__mro__[1].__module__}.{value.__mro__[1].__qualname__}"
            lines.append(f"class {name}({base}):\n" + methods(value))
        elif callable(value):
            lines.append(signature(name, value))
        elif value is None or isinstance(value, (bool, int, float, str, list, dict, tuple)):
            lines.append(f"{name}: {'None' if value is None else type(value).__name__}")
        else:
            lines.append(f"{name}: typing.Any")
    text = "\n".join(lines) + "\n"
    return text.replace("torch.nn.modules.module.Module", "torch.nn.Module").replace(
        "torch.autograd.function.Function", "torch.autograd.Function")


if __name__ == "__main__":
    sys.path.insert(0, os.path.join(ROOT, os.pardir))
    for name in MODULES:
        with open(os.path.join(ROOT, f"{name}.pyi"), "w") as f:
            f.write(stub(name))
        print(f"arborlib/{name}.pyi")
