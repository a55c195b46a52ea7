"""The type stubs of the native modules, as installed: every function has one,
with the parameters and defaults of the signature line in its docstring
(stubtest cannot read those lines, so this is where they are compared)."""

import ast
import pathlib

import pytest

import tavrin_minio
from tavrin_minio import mimora, ostrel

PACKAGE = pathlib.Path(tavrin_minio.__file__).parent
FUNCTIONS = [("mimora", "get_mimora", mimora.get_mimora)] + [
    ("ostrel", f"TavrinOstrel.{name}", method)
    for name, method in vars(ostrel.TavrinOstrel).items()
    if name == "__init__" or not name.startswith("__")
]


def parameters(function):
    """[(name, default or ...)] of an ast function definition, the keyword-only ones after a "*"."""
    args = function.args
    assert not (args.posonlyargs or args.vararg or args.kwarg)
    defaults = [...] * (len(args.args) - len(args.defaults)) + [ast.literal_eval(d) for d in args.defaults]
    keyword_only = [... if d is None else ast.literal_eval(d) for d in args.kw_defaults]
    return ([(a.arg, d) for a, d in zip(args.args, defaults)]
            + ["*"] * bool(args.kwonlyargs) + [(a.arg, d) for a, d in zip(args.kwonlyargs, keyword_only)])


def stub_functions(module):
    tree = ast.parse((PACKAGE / f"{module}.pyi").read_text(encoding="utf-8"))
    found = {}
    for node in tree.body:
        members = node.body if isinstance(node, ast.ClassDef) else [node]
        prefix = f"{node.name}." if isinstance(node, ast.ClassDef) else ""
        found.update({prefix + f.name: f for f in members if isinstance(f, ast.FunctionDef)})
    return found


@pytest.mark.parametrize("module, name, function", FUNCTIONS, ids=[name for _, name, _ in FUNCTIONS])
def test_stub_agrees_with_docstring(module, name, function):
    qualified, _, params = function.__doc__.partition("(")
    assert qualified == name
    documented = ast.parse(f"def f({params[:-1]}): pass").body[0]
    stub = stub_functions(module).get(name)
    assert stub is not None, f"{name} has no stub"
    assert parameters(stub) == parameters(documented)
    typed = (stub.args.args[1:] if "." in name else stub.args.args) + stub.args.kwonlyargs  # self needs no annotation
    assert stub.returns is not None and all(a.annotation for a in typed)


@pytest.mark.parametrize("package", ["tavrin_minio", "tavrin_log", "tavrin_var", "tavrin_ssh"])
def test_packages_are_marked_typed(package):
    assert (PACKAGE.parent / package / "py.typed").is_file()
