"""The module's classes and functions are what Python code would have made."""
import collections

import pytest

ENGINE_ATTRIBUTES = [
    "update_factor_date", "global_dict", "instrument_attr_dict", "instrument_req_order_dict",
    "instrument_rtn_order_dict", "instrument_position_dict", "TradingAccount", "instrumentStatus",
    "_COXAAlgos__RequestID", "_COXAAlgos__id", "config", "upload", "cloud_debug", "array_size",
    "c_cython", "cython_c",
]


@pytest.mark.parametrize("name", ["MathFunction", "COXAAlgos"])
def test_classes_are_ordinary_python_classes(brindle, name):
    cls = getattr(brindle, name)
    assert type(cls) is type
    assert cls.__bases__ == (object,)
    assert cls.__module__ == "oxa.Brindle"
    assert cls.__qualname__ == name
    assert cls.__doc__ is None

    class Sub(cls):
        pass

    assert issubclass(Sub, cls)


def test_engine_state_lives_in_the_instance_dict(brindle, log):
    engine = brindle.COXAAlgos()
    assert list(vars(engine)) == ENGINE_ATTRIBUTES
    engine.upload = 7  # the host may change any of it
    assert engine.upload == 7


def test_methods_bind_and_introspect_like_python_functions(brindle, log):
    engine = brindle.COXAAlgos()
    method = brindle.COXAAlgos.Inc_RequestID
    assert method.__name__ == "Inc_RequestID"
    assert method.__qualname__ == "COXAAlgos.Inc_RequestID"
    assert method.__module__ == "oxa.Brindle"
    assert method.__defaults__ is None
    assert engine.Inc_RequestID.__self__ is engine
    assert engine.Inc_RequestID.__func__ is method
    assert method(engine) == 1 and engine.Inc_RequestID() == 2
    assert brindle.COXAAlgos.__init__.__qualname__ == "COXAAlgos.__init__"
    assert brindle.MathFunction.__call__.__qualname__ == "MathFunction.__call__"
    assert brindle.nvl.__qualname__ == "nvl" and brindle.nvl.__module__ == "oxa.Brindle"
    assert repr(brindle.nvl).startswith("<function nvl at 0x")


def test_wrong_argument_counts_raise_pythons_type_error(brindle, log):
    with pytest.raises(TypeError, match=r"^COXAAlgos\.__init__\(\) takes 1 positional argument but 2 were given$"):
        brindle.COXAAlgos(1)
    engine = brindle.COXAAlgos()
    with pytest.raises(TypeError, match=r"^COXAAlgos\.Inc_RequestID\(\) takes 1 positional argument but 2 were given$"):
        engine.Inc_RequestID(1)
    with pytest.raises(TypeError, match=r"missing 1 required positional argument: 'self'"):
        brindle.COXAAlgos.Inc_RequestID()


def test_subclass_and_instance_replacements_are_honoured(brindle, log):
    class Counting(brindle.COXAAlgos):
        def __init__(self):
            super().__init__()
            self.extra = True

        def Inc_RequestID(self):
            return 100 + super().Inc_RequestID()

    engine = Counting()
    assert engine.extra and engine.upload in (0, 1)
    assert engine.Inc_RequestID() == 101


def test_math_function_looks_its_operator_up_at_call_time(brindle):
    add = brindle.MathFunction("add", lambda a, b: a + b)
    assert (add.name, add(1, 2)) == ("add", 3)
    add.operator = lambda *operands: operands
    assert add(1, 2, 3) == (1, 2, 3)
    assert vars(add) == {"name": "add", "operator": add.operator}
    with pytest.raises(TypeError, match="unexpected keyword argument 'x'"):
        add(1, x=2)
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'operator'"):
        brindle.MathFunction("name")
    failing = brindle.MathFunction("fail", lambda: 1 / 0)
    with pytest.raises(ZeroDivisionError):
        failing()


def test_self_calls_run_whatever_the_lookup_finds(brindle, log):
    # set_InstrumentAttr creates the dictionary through self.InitFactor().
    class Swapped(brindle.COXAAlgos):
        InitFactor = brindle.COXAAlgos.Inc_RequestID  # this module's function, another name

    class Misfit(brindle.COXAAlgos):
        InitFactor = brindle.COXAAlgos.get_global_Attr  # takes a key the call does not give

    swapped = Swapped()
    swapped.set_InstrumentAttr("rb", "k", 1)
    assert swapped.instrument_attr_dict["rb"] == 1 == swapped._COXAAlgos__RequestID
    misfit = Misfit()
    log.clear()
    misfit.set_InstrumentAttr("rb", "k", 1)
    [record] = log.records
    assert (record.msg, record.exc_type, str(record.exc_value)) == (
        "set_InstrumentAttr", TypeError, "COXAAlgos.get_global_Attr() missing 1 required positional argument: 'key'")
    engine = brindle.COXAAlgos()
    engine.InitFactor = lambda: {"from": "instance"}
    engine.set_InstrumentAttr("rb", "k", 1)
    assert engine.instrument_attr_dict["rb"] == {"from": "instance", "k": 1}


def test_a_replaced_get_of_a_state_table_is_honoured(brindle, log):
    looked_up = []

    class Tracing(collections.OrderedDict):
        def get(self, key, default=None):
            looked_up.append(key)
            return super().get(key, default)

    engine = brindle.COXAAlgos()
    engine.instrument_attr_dict = Tracing(rb={"x": 2})
    assert engine.Calc_Express("rb", "x * 2") == (0, 4)
    table = collections.OrderedDict(rb={"x": 3})
    table.get = lambda key: looked_up.append(("instance", key)) or {"x": 5}
    engine.instrument_attr_dict = table
    assert engine.Calc_Express("rb", "x * 2") == (0, 10)
    assert looked_up == ["rb", ("instance", "rb")]

    class Borrowing:  # dict's own get on what is not a dict
        get = dict.get

    engine.instrument_attr_dict = Borrowing()
    log.clear()
    assert engine.Calc_Express("rb", "x") == (-1, 0)
    assert log.records[0].exc_type is TypeError and "doesn't apply to a 'Borrowing' object" in str(
        log.records[0].exc_value)
