"""COXAAlgos(): the state tables, the switches from cfg/oxa.ini and their fallback, and the
handled exception the logger sees while the fallback is logged."""
import collections
import configparser
import datetime
import sys

import pytest

COMPLETE_INI = """
[CLOUD]
upload = 0
debug = 0
array_size = 20
[COMMUNICATION_SWITCH]
c_cython = 0
cython_c = 1
"""

SWITCHES = ("upload", "cloud_debug", "array_size", "c_cython", "cython_c")
FALLBACK = (1, 1, 10, 1, 1)


def switches(engine):
    return tuple(getattr(engine, name) for name in SWITCHES)


def test_complete_ini(brindle, workdir, log):
    workdir.write_cfg_ini(COMPLETE_INI)
    before = datetime.datetime.now()
    engine = brindle.COXAAlgos()
    assert switches(engine) == (0, 0, 20, 0, 1)
    assert log.pairs() == [("info", "COXAAlgos.init ..."), ("info", "get config for Algos"),
                           ("info", "COXAAlgos.init end.")]
    assert before <= engine.update_factor_date <= datetime.datetime.now()
    assert engine.update_factor_date.tzinfo is None
    for name in ("global_dict", "instrument_attr_dict", "instrument_req_order_dict",
                 "instrument_rtn_order_dict", "instrument_position_dict", "instrumentStatus"):
        value = getattr(engine, name)
        assert type(value) is collections.OrderedDict and not value
    assert type(engine.TradingAccount) is dict and not engine.TradingAccount
    assert (engine._COXAAlgos__RequestID, engine._COXAAlgos__id) == (0, 1)
    assert isinstance(engine.config, configparser.ConfigParser)


def test_missing_ini_falls_back_and_logs_the_handled_exception(brindle, workdir, log):
    workdir.delete_cfg_ini()
    engine = brindle.COXAAlgos()
    assert switches(engine) == FALLBACK
    assert engine.config.sections() == []
    assert log.messages() == ["COXAAlgos.init ...", "get config for Algos", "COXAAlgos.init"]
    error = log.at("error")[0]
    assert error.exc_info is True
    # What the logger's exc_info=True reads is the caught exception, traceback included.
    assert error.exc_type is configparser.NoSectionError
    assert "NoSectionError: No section: 'CLOUD'" in error.traceback
    # After the handler nothing is pending and no handled exception is left behind.
    assert sys.exc_info() == (None, None, None)


@pytest.mark.parametrize(
    "changes, expected_error",
    [
        ({"CLOUD": {"debug": None}}, configparser.NoOptionError),  # upload = 0 is overridden too
        ({"CLOUD": {"upload": "1.0"}}, ValueError),
        ({"COMMUNICATION_SWITCH": {"cython_c": None}}, configparser.NoOptionError),
    ],
)
def test_any_failed_read_gives_all_five_fallbacks(brindle, workdir, log, changes, expected_error):
    workdir.write_cfg_ini(COMPLETE_INI)
    workdir.set_ini(changes)
    engine = brindle.COXAAlgos()
    assert switches(engine) == FALLBACK
    assert [r.exc_type for r in log.at("error")] == [expected_error]
    assert "COXAAlgos.init end." not in log.messages()


def test_key_case_is_ignored_but_section_case_is_not(brindle, workdir, log):
    workdir.write_cfg_ini(COMPLETE_INI.replace("upload", "UPLOAD"))
    assert brindle.COXAAlgos().upload == 0
    workdir.write_cfg_ini(COMPLETE_INI.replace("[CLOUD]", "[cloud]"))
    assert switches(brindle.COXAAlgos()) == FALLBACK


def test_previous_handled_exception_is_restored(brindle, workdir, log):
    workdir.delete_cfg_ini()
    try:
        raise KeyError("outer")
    except KeyError as outer:
        brindle.COXAAlgos()
        assert sys.exc_info()[1] is outer
    assert log.at("error")[0].exc_type is configparser.NoSectionError


def test_base_exceptions_pass_through_untouched(brindle, log, monkeypatch):
    def interrupt(*args, **kwargs):
        raise KeyboardInterrupt("stop")

    monkeypatch.setattr(log, "info", interrupt)
    with pytest.raises(KeyboardInterrupt, match="stop"):
        brindle.COXAAlgos()
    assert log.at("error") == []


def test_a_failing_logger_leaves_the_constructor(brindle, workdir, log, monkeypatch):
    workdir.delete_cfg_ini()

    def broken(*args, **kwargs):
        raise RuntimeError("logger down")

    monkeypatch.setattr(log, "error", broken)
    with pytest.raises(RuntimeError, match="logger down") as raised:
        brindle.COXAAlgos()
    assert isinstance(raised.value.__context__, configparser.NoSectionError)


def test_no_logger_means_no_engine(brindle, monkeypatch):
    import cfg.oxa_env

    monkeypatch.delattr(cfg.oxa_env, "logger")
    with pytest.raises(AttributeError, match="logger"):
        brindle.COXAAlgos()


def test_deleted_global_is_a_name_error(brindle, log, monkeypatch):
    monkeypatch.delattr(brindle, "collections")
    engine = brindle.COXAAlgos()  # the NameError is caught like any Exception
    assert log.at("error")[0].exc_type is NameError
    assert str(log.at("error")[0].exc_value) == "name 'collections' is not defined"
    assert not hasattr(engine, "global_dict") and engine.upload == 1


def test_request_numbers_count_per_engine(brindle, log):
    first, second = brindle.COXAAlgos(), brindle.COXAAlgos()
    assert [first.Inc_RequestID() for _ in range(3)] == [1, 2, 3]
    assert second.Inc_RequestID() == 1
    first._COXAAlgos__RequestID = 2**70  # unbounded, like a Python int
    assert first.Inc_RequestID() == 2**70 + 1
    del first._COXAAlgos__RequestID
    with pytest.raises(AttributeError):
        first.Inc_RequestID()
