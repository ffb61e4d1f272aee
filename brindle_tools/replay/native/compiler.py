"""Strategy texts compiled, once per run, for the native evaluator of the research road.

compile_text(text, slot_of) gives (operations, None) for a text within the forms the
evaluator covers, or (None, reason) for one outside them, the reason a short phrase for the
operator ("uses //", "names trade_book"). The operations are what _road.Program takes;
their format is described beside the opcodes in oxa/research/evaluator.hpp.

The forms: names, int, float and bool numbers, + - * /, unary - + and not, comparisons
(< <= > >= == !=, chains too), and/or, parentheses, abs(x), and min/max of two or more
values. slot_of(name) gives a name's slot, or None for a name that is not a native slot:
a text naming one is outside. abs, min and max are Python's own only where slot_of does not
know the name, so slot_of must answer for every name the text's namespace holds.
"""
import ast

from . import _road

_OPCODE = _road.opcodes
_INT64 = range(-(2**63), 2**63)
_BINARY = {ast.Add: "add", ast.Sub: "subtract", ast.Mult: "multiply", ast.Div: "divide"}
_UNARY = {ast.USub: "negative", ast.UAdd: "positive", ast.Not: "not"}
# Python's rich comparison ids, Py_LT .. Py_GE.
_COMPARISON = {ast.Lt: 0, ast.LtE: 1, ast.Eq: 2, ast.NotEq: 3, ast.Gt: 4, ast.GtE: 5}
_OPERATOR_TEXT = {
    ast.FloorDiv: "//", ast.Mod: "%", ast.Pow: "**", ast.MatMult: "@", ast.LShift: "<<",
    ast.RShift: ">>", ast.BitOr: "|", ast.BitXor: "^", ast.BitAnd: "&", ast.Invert: "~",
    ast.Is: "is", ast.IsNot: "is not", ast.In: "in", ast.NotIn: "not in",
}
_NODE_TEXT = {
    ast.Attribute: "an attribute", ast.Subscript: "a subscript", ast.IfExp: "if ... else",
    ast.Lambda: "lambda", ast.JoinedStr: "an f-string", ast.NamedExpr: ":=",
    ast.List: "a list", ast.Tuple: "a tuple", ast.Set: "a set", ast.Dict: "a dict",
    ast.ListComp: "a comprehension", ast.SetComp: "a comprehension",
    ast.DictComp: "a comprehension", ast.GeneratorExp: "a generator", ast.Starred: "*",
}
_BUILTINS = {"abs": (1, 1), "min": (2, None), "max": (2, None)}  # name: fewest, most arguments


class _Outside(Exception):
    """The text leaves the evaluator's forms; the message says how."""


# Twin: Program in oxa/research/evaluator.cpp runs what this makes, with eval's exact results.
def compile_text(text, slot_of):
    if not isinstance(text, str):
        return None, "not a text but %s" % type(text).__name__
    try:
        # eval skips leading blanks and tabs; the parser alone would call them an indent.
        tree = ast.parse(text.lstrip(" \t"), mode="eval")
    except (SyntaxError, ValueError) as exc:
        return None, "not a Python expression: %s" % (getattr(exc, "msg", None) or exc)
    except (RecursionError, MemoryError):
        return None, "nested too deeply"
    compiler = _Compiler(slot_of)
    try:
        compiler.expression(tree.body)
    except _Outside as exc:
        return None, str(exc)
    except RecursionError:
        return None, "nested too deeply"
    return compiler.operations, None


class _Compiler:
    def __init__(self, slot_of):
        self.slot_of = slot_of
        self.operations = []

    def emit(self, name, *operands):
        self.operations.append((_OPCODE[name],) + operands)
        return len(self.operations) - 1

    def jumps_here(self, jumps):
        """Points the jumps (their last operand) at the next operation."""
        for at in jumps:
            self.operations[at] = self.operations[at][:-1] + (len(self.operations),)

    def expression(self, node):
        kind = type(node)
        if kind is ast.Name:
            slot = self.slot_of(node.id)
            if slot is None:
                raise _Outside("names %s" % node.id)
            self.emit("load", slot)
        elif kind is ast.Constant:
            self.constant(node.value)
        elif kind is ast.BinOp and type(node.op) in _BINARY:
            self.expression(node.left)
            self.expression(node.right)
            self.emit(_BINARY[type(node.op)])
        elif kind is ast.UnaryOp and type(node.op) in _UNARY:
            self.expression(node.operand)
            self.emit(_UNARY[type(node.op)])
        elif kind is ast.Compare:
            self.comparison(node)
        elif kind is ast.BoolOp:
            jump = "jump_if_false_or_pop" if type(node.op) is ast.And else "jump_if_true_or_pop"
            jumps = []
            for value in node.values[:-1]:
                self.expression(value)
                jumps.append(self.emit(jump, -1))
            self.expression(node.values[-1])
            self.jumps_here(jumps)
        elif kind is ast.Call:
            self.call(node)
        elif kind in (ast.BinOp, ast.UnaryOp):
            raise _Outside("uses %s" % _OPERATOR_TEXT[type(node.op)])
        else:
            raise _Outside("uses %s" % _NODE_TEXT.get(kind, kind.__name__))

    def constant(self, value):
        if type(value) not in (bool, int, float):
            raise _Outside("uses a constant of type %s" % type(value).__name__)
        if type(value) is int and value not in _INT64:
            raise _Outside("uses a number beyond 64 bits")
        self.emit("constant", value)

    def comparison(self, node):
        for op in node.ops:
            if type(op) not in _COMPARISON:
                raise _Outside("uses %s" % _OPERATOR_TEXT[type(op)])
        self.expression(node.left)
        jumps = []
        for op, right in zip(node.ops[:-1], node.comparators[:-1]):
            self.expression(right)
            jumps.append(self.emit("compare_or_jump", _COMPARISON[type(op)], -1))
        self.expression(node.comparators[-1])
        self.emit("compare", _COMPARISON[type(node.ops[-1])])
        self.jumps_here(jumps)

    def call(self, node):
        name = node.func.id if type(node.func) is ast.Name else None
        if name not in _BUILTINS or self.slot_of(name) is not None:
            raise _Outside("calls %s" % (name or "a function"))
        fewest, most = _BUILTINS[name]
        if node.keywords or any(type(arg) is ast.Starred for arg in node.args):
            raise _Outside("calls %s with keywords or *" % name)
        if len(node.args) < fewest or (most is not None and len(node.args) > most):
            raise _Outside("calls %s with %d arguments" % (name, len(node.args)))
        for arg in node.args:
            self.expression(arg)
        if name == "abs":
            self.emit("absolute")
        else:
            self.emit(name, len(node.args))
