"""The stubs beside the module files declare what the modules hold, no more and no less:
oxa/Brindle.pyi and brindle_tools/replay/native/_road.pyi."""
import ast

from harness.paths import REPO


def declared(path):
    """{class name: its members} of the stub, and under None its own functions and names."""
    def names(body):
        return ({node.name for node in body if isinstance(node, (ast.FunctionDef, ast.ClassDef))}
                | {node.target.id for node in body if isinstance(node, ast.AnnAssign)})

    tree = ast.parse(path.read_text("utf-8"))
    found = {node.name: names(node.body) for node in tree.body if isinstance(node, ast.ClassDef)}
    found[None] = names(tree.body)
    return found


def public(namespace, keep=("__init__", "__call__")):
    return {name for name in namespace if not name.startswith("_") or name in keep}


def test_the_engine_stub_names_the_module_functions_classes_methods_and_state(brindle, log):
    stub = declared(REPO / "oxa" / "Brindle.pyi")
    function_type = type(brindle.nvl)
    module = vars(brindle)
    assert {name for name, value in module.items() if type(value) is function_type} | {"MathFunction", "COXAAlgos"} \
        == stub[None] - {"myEnv", "myDEnv", "py_ApiStructure"}
    for name in ("MathFunction", "COXAAlgos"):
        methods = {key for key, value in vars(module[name]).items() if type(value) is function_type}
        assert methods == {member for member in stub[name] if callable(getattr(module[name], member, None))}, name
    assert stub["COXAAlgos"] - methods <= set(vars(brindle.COXAAlgos()))  # the engine's state


def test_the_native_road_stub_names_the_module_and_its_twins(native_road):
    stub = declared(REPO / "brindle_tools" / "replay" / "native" / "_road.pyi")
    assert public(dir(native_road)) == stub[None] - {"_Twins"}
    assert public(dir(native_road.twins)) == stub["_Twins"]
    for name in ("Program", "TickLoop"):
        assert public(dir(getattr(native_road, name))) == stub[name], name
