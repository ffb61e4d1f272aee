"""Calc_Express: the attribute dictionary as the globals of eval, its status codes, and the
reuse of compiled expressions behaving exactly as eval of the text."""
import builtins
import warnings

import pytest


@pytest.fixture
def engine(brindle, log):
    engine = brindle.COXAAlgos()
    engine.instrument_attr_dict["rb"] = {"LastPrice": 3500, "Nothing": None}
    log.clear()
    return engine


def test_values_and_the_builtins_entry(engine, log):
    attributes = engine.instrument_attr_dict["rb"]
    assert engine.Calc_Express("rb", "LastPrice > 0") == (0, True)
    assert attributes["__builtins__"] is vars(builtins)
    assert engine.Calc_Express("rb", "max(LastPrice, 1) + 1", {"ignored": 1}) == (0, 3501)
    assert engine.Calc_Express(instrument="rb", strExpress="Nothing") == (0, None)
    assert engine.Calc_Express("unknown", "1") == (-2, 0)
    assert not log.records
    assert type(engine).Calc_Express.__defaults__[0] == {}


@pytest.mark.parametrize(
    "expression, error",
    [("Missing + 1", NameError), ("pymysql", NameError), ("LastPrice +", SyntaxError),
     (None, TypeError), ("LastPrice / 0", ZeroDivisionError)],
)
def test_failures_are_logged_with_the_handled_exception(engine, log, expression, error):
    assert engine.Calc_Express("rb", expression) == (-1, 0)
    assert [(r.msg, r.exc_info, r.exc_type) for r in log.records] == [("Calc_Express", True, error)]
    # eval inserted __builtins__ before it failed
    assert "__builtins__" in engine.instrument_attr_dict["rb"]


def test_a_value_that_is_not_a_dictionary_fails_like_eval(engine, log):
    engine.instrument_attr_dict["odd"] = [1]
    assert engine.Calc_Express("odd", "1") == (-1, 0)
    assert log.records[0].exc_type is TypeError


def test_base_exceptions_propagate(engine, log):
    def interrupt():
        raise KeyboardInterrupt

    engine.instrument_attr_dict["rb"]["interrupt"] = interrupt
    with pytest.raises(KeyboardInterrupt):
        engine.Calc_Express("rb", "interrupt()")
    assert not log.records


REUSE_CASES = [
    "LastPrice * 2", " \t LastPrice", "  \nLastPrice", "LastPrice +", "LastPrice = 1",
    "x is 1", r'"\d"', "1if 1 else 2", '"abc"()', "a\0b", "\ud800", "(yield)",
    "[n for n in range(LastPrice)][-1]", "lambda: LastPrice", "Missing",
]


def run_warned(function, *args):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            result = ("ok", function(*args))
        except Exception as error:
            result = ("error", type(error), str(error), getattr(error, "offset", None))
    return result, [(w.category, str(w.message)) for w in caught]


@pytest.mark.parametrize("text", REUSE_CASES)
def test_reused_code_behaves_as_eval_of_the_text(engine, log, text):
    for _ in range(3):  # the first call compiles, the later ones may reuse
        namespace = {"LastPrice": 4, "x": 1}
        reference = run_warned(eval, text, dict(namespace))
        engine.instrument_attr_dict["rb"] = attributes = dict(namespace)
        log.clear()
        (kind, *rest), caught = run_warned(engine.Calc_Express, "rb", text)
        status, value = rest[0]
        if reference[0][0] == "ok":
            expected = reference[0][1]
            assert status == 0 and (callable(value) or (type(value), value) == (type(expected), expected))
        else:
            assert (status, value) == (-1, 0)
            error = log.records[0].exc_value
            assert ("error", type(error), str(error), getattr(error, "offset", None)) == reference[0]
        assert caught == reference[1]  # eval warns on every call, so must we
        assert attributes.keys() == namespace.keys() | {"__builtins__"}


def test_reused_code_sees_each_dictionary_and_each_text(engine):
    engine.instrument_attr_dict["hc"] = {"LastPrice": 10}
    filters = list(warnings.filters)
    assert engine.Calc_Express("hc", "LastPrice + 0.5") == (0, 10.5)
    assert warnings.filters == filters  # compiling left the host's warning filters as they were
    assert engine.Calc_Express("rb", "LastPrice") == (0, 3500)
    assert engine.Calc_Express("hc", "LastPrice") == (0, 10)
    assert engine.Calc_Express("hc", "LastPrice ") == (0, 10)
    engine.instrument_attr_dict["hc"]["LastPrice"] = 11
    assert engine.Calc_Express("hc", "LastPrice") == (0, 11)


def test_reused_code_raises_the_audit_events_of_eval(run_python):
    code = """if True:
        import sys, oxa.Brindle
        engine = oxa.Brindle.COXAAlgos()
        engine.instrument_attr_dict["rb"] = {}
        seen = []
        sys.addaudithook(lambda event, args: seen.append((event, args[0] if event == "compile" else None))
                         if event in ("compile", "exec") else None)
        for run in (lambda: eval(" 1 + 1", {}), lambda: engine.Calc_Express("rb", " 1 + 1")):
            for _ in range(3):
                seen.clear()
                run()
                print(seen)
    """
    lines = run_python(code).stdout.splitlines()
    assert lines == ["[('compile', b'1 + 1'), ('exec', None)]"] * 6
