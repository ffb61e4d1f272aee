"""The tick's reload of the settings module: executing the code compiled from an unchanged
source behaves exactly as importlib.reload, every doubt goes through the real reload, and
the opt-in switch that re-executes the module only when its source changed."""
import importlib
import importlib.machinery
import importlib.util
import os
import sys
import shutil
import threading
import time
import types

import pytest

INVESTOR, INSTRUMENT = "00001", "rb2501"
NAME = "cfg.oxa_can_change_env"
ZERO = ("LastPrice", "Volume", "LastPrice_Cur_Up", "LastPrice_Acc_Up", "order_acc_up",
        "LastPrice_Cur_Keep", "LastPrice_Acc_Keep", "order_acc_keep", "LastPrice_Cur_Down",
        "LastPrice_Acc_Down", "order_acc_down", "order_TradeVolume", "BidVolume",
        "order_BidVolume", "AskVolume", "order_AskVolume")
# Counts its runs, reloads itself (which importlib turns into a no-op while it is being
# reloaded) and fails on demand.
PROLOGUE = """runs = globals().get("runs", 0) + 1
if globals().get("fail") is not None:
    raise fail
import importlib, sys
importlib.reload(sys.modules[__name__])
"""
SIXTEEN = ["update_factor_date", "global_dict", "instrument_attr_dict", "instrument_req_order_dict",
           "instrument_rtn_order_dict", "instrument_position_dict", "TradingAccount", "instrumentStatus",
           "_COXAAlgos__RequestID", "_COXAAlgos__id", "config", "upload", "cloud_debug", "array_size",
           "c_cython", "cython_c"]


def settings_text(volume=1):
    strategy = {"buy_open_express": "True", "buy_open_price": "LastPrice", "buy_open_vol": volume,
                "sell_open_express": "False"}
    return PROLOGUE + "AI_Strategy = %r\nReal_Fresh_Factor = 0\nInit_Factor_Zero = %r\n" % (
        {INVESTOR: {INSTRUMENT: strategy}}, ZERO)


def decision(volume=1):
    return [("buy_open", "SHFE", 3500, volume)]


def tick(engine):
    return engine.push_md2trade(INVESTOR, INSTRUMENT, {"LastPrice": 3500, "Volume": 1, "BidPrice1": 3499,
                                                       "BidVolume1": 1, "AskPrice1": 3501, "AskVolume1": 1})


@pytest.fixture(params=["fast", "slow"])
def road(request, brindle, monkeypatch):
    """fast: the module's own reload global; slow: another callable, so every tick goes
    through importlib.reload."""
    if request.param == "slow":
        monkeypatch.setattr(brindle, "reload", lambda module: importlib.reload(module))
    return request.param


@pytest.fixture
def settings(settings_module):
    settings_module.write(settings_text(), clean=True)
    return settings_module


@pytest.fixture
def engine(brindle, log, settings):
    engine = brindle.COXAAlgos()
    engine.push_InstrumentAttr(INSTRUMENT, {"ExchangeID": "SHFE"})
    log.clear()
    return engine


@pytest.fixture
def real_reloads(monkeypatch):
    """Names of the modules the import machinery executed."""
    executed = []
    original = importlib.machinery.SourceFileLoader.exec_module

    def exec_module(loader, module):
        executed.append(module.__name__)
        return original(loader, module)

    monkeypatch.setattr(importlib.machinery.SourceFileLoader, "exec_module", exec_module)
    return executed


def import_attributes(module):
    return {name: getattr(module, name, "absent")
            for name in ("__name__", "__loader__", "__package__", "__spec__", "__file__", "__cached__")}


def test_the_body_runs_on_every_tick_as_reload_runs_it(road, engine, settings, real_reloads):
    module = settings.module
    runs = module.runs
    for n in range(1, 4):
        assert tick(engine) == decision()
        assert module.runs == runs + n
    # After the first tick only the road with a rebound reload needs the import machinery.
    assert real_reloads == [NAME] * (1 if road == "fast" else 3)

    expected = import_attributes(module)
    module.__name__, module.__loader__, module.__package__, module.__file__ = "renamed", None, "", "elsewhere"
    module.__dict__.pop("__cached__", None)  # which Python 3.15 neither sets nor restores
    sys.modules["json"] = sys.modules.pop("json")
    assert tick(engine) == decision()
    assert import_attributes(module) == expected
    assert list(sys.modules)[-1] == NAME and NAME not in importlib._RELOADING
    assert module.runs == runs + 4


@pytest.mark.parametrize("raised", [LookupError("settings broken"), KeyboardInterrupt()])
def test_an_exception_from_the_body_is_the_one_reload_raises(road, engine, settings, log, raised):
    module = settings.module
    assert tick(engine) == decision()
    module.fail = raised
    if isinstance(raised, Exception):
        assert tick(engine) == []
        [record] = log.records
        assert (record.msg, record.exc_value, record.exc_value.__context__) == ("push_md2trade", raised, None)
        assert 'oxa_can_change_env.py", line 3, in <module>' in record.traceback
    else:
        with pytest.raises(KeyboardInterrupt):
            tick(engine)
    assert list(sys.modules)[-1] == NAME and NAME not in importlib._RELOADING
    del module.fail
    log.clear()
    assert tick(engine) == decision() and not log.records


def test_edits_are_seen_on_the_next_tick(road, engine, settings):
    assert tick(engine) == decision()
    for volume in (2, 30, 400, 5):  # several within one second
        settings.path.write_text(settings_text(volume))
        assert tick(engine) == decision(volume)
        assert tick(engine) == decision(volume)


def test_an_edit_the_bytecode_cache_cannot_tell_apart_is_seen(engine, settings, monkeypatch):
    # The cached bytecode is trusted while the source keeps its size and the whole second
    # of its modification time: reload alone would go on executing the first text.
    monkeypatch.setattr(sys, "dont_write_bytecode", False)
    second = settings.path.stat().st_mtime_ns // 10**9 * 10**9 + 10**9
    os.utime(settings.path, ns=(second, second))
    assert tick(engine) == decision()
    assert os.path.exists(importlib.util.cache_from_source(str(settings.path)))
    for volume in (2, 3, 4):
        settings.path.write_text(settings_text(volume))
        os.utime(settings.path, ns=(second, second + volume))
        assert tick(engine) == decision(volume)


def test_a_rebound_reload_is_honoured_and_the_fast_road_resumes(brindle, engine, settings, monkeypatch,
                                                                 real_reloads):
    module = settings.module
    tick(engine)
    runs = module.runs
    calls = []
    monkeypatch.setattr(brindle, "reload", calls.append)
    tick(engine)
    tick(engine)
    assert calls == [module, module] and module.runs == runs
    # Back to importlib.reload: one real reload to be sure of the module, then the fast road.
    monkeypatch.setattr(brindle, "reload", importlib.reload)
    tick(engine)
    tick(engine)
    assert module.runs == runs + 2 and real_reloads == [NAME] * 2


def test_a_deleted_settings_file_fails_as_reload_does(road, engine, settings, log):
    assert tick(engine) == decision()
    text = settings.path.read_text()
    settings.path.unlink()
    assert tick(engine) == []
    assert [(r.msg, r.exc_type) for r in log.records] == [("push_md2trade", ModuleNotFoundError)]
    settings.path.write_text(text)
    log.clear()
    assert tick(engine) == decision() and not log.records


@pytest.mark.parametrize("change", ["gone", "replaced"])
def test_a_module_gone_from_sys_modules_fails_as_reload_does(road, engine, settings, log, change):
    assert tick(engine) == decision()
    module = sys.modules.pop(NAME)
    if change == "replaced":
        sys.modules[NAME] = types.ModuleType(NAME)
    try:
        assert tick(engine) == []
    finally:
        sys.modules[NAME] = module
    assert [(r.msg, r.exc_type, str(r.exc_value)) for r in log.records] == [
        ("push_md2trade", ImportError, "module %s not in sys.modules" % NAME)]


@pytest.mark.parametrize("search", ["package path", "meta path"])
def test_a_changed_search_finds_what_reload_finds(road, engine, settings, tmp_path, search):
    other = tmp_path / "oxa_can_change_env.py"
    other.write_text(settings_text(7))
    assert tick(engine) == decision()

    class Elsewhere:
        @staticmethod
        def find_spec(name, path=None, target=None):
            return importlib.util.spec_from_file_location(name, other) if name == NAME else None

    # Changed in place, as hosts usually do it.
    searched = sys.modules["cfg"].__path__ if search == "package path" else sys.meta_path
    searched.insert(0, str(tmp_path) if search == "package path" else Elsewhere)
    try:
        assert tick(engine) == decision(7)
        assert settings.module.__file__ == str(other)
    finally:
        del searched[0]


@pytest.mark.parametrize("value, on", [("1", True), ("0", False), ("yes", False), (None, False)])
def test_the_switch_leaves_the_default_engine_as_it_is(brindle, workdir, log, value, on):
    workdir.set_ini({"PYTHON_SWITCH": {"reload_on_change": value}})
    engine = brindle.COXAAlgos()
    assert list(vars(engine)) == SIXTEEN + (["reload_on_change"] if on else [])
    assert on is (getattr(engine, "reload_on_change", None) == 1)
    assert log.pairs() == [("info", "COXAAlgos.init ..."), ("info", "get config for Algos"),
                           ("info", "COXAAlgos.init end.")]


def test_the_switch_cannot_be_read_without_the_ini(brindle, workdir, log):
    workdir.delete_cfg_ini()
    engine = brindle.COXAAlgos()
    assert list(vars(engine)) == SIXTEEN
    assert [(r.level, r.msg) for r in log.records][-1] == ("error", "COXAAlgos.init")


def test_with_the_switch_the_body_runs_only_after_a_change(brindle, engine, settings, monkeypatch):
    module = settings.module
    engine.reload_on_change = 1
    assert tick(engine) == decision()  # the first tick reloads
    runs = module.runs
    assert tick(engine) == decision() and tick(engine) == decision()
    assert module.runs == runs
    settings.path.write_text(settings_text(5))
    assert tick(engine) == decision(5) and tick(engine) == decision(5)
    assert module.runs == runs + 1
    calls = []
    monkeypatch.setattr(brindle, "reload", calls.append)
    tick(engine)
    assert calls == [module]
    engine.reload_on_change = True  # equal to 1
    tick(engine)
    assert calls == [module] * 2


def test_with_the_switch_an_edit_saved_while_the_module_runs_is_executed_next(engine, settings):
    # The module body saves the next version by rename while reload is executing it.
    staged = settings.path.with_name("oxa_can_change_env.py.new")

    def save_edit():
        staged.write_text(settings_text(5))
        os.replace(staged, settings.path)

    settings.write(settings_text() + "if 'save_edit' in globals(): globals().pop('save_edit')()\n")
    settings.module.save_edit = save_edit
    engine.reload_on_change = 1
    assert tick(engine) == decision()
    assert tick(engine) == decision(5)


def run_switching_every_10us(targets):
    """Runs each target in a thread of its own, the interpreter switching threads every 10 us."""
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    threads = [threading.Thread(target=target) for target in targets]
    try:
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    finally:
        sys.setswitchinterval(interval)


def test_four_threads_ticking_with_frequent_switches_fail_nowhere(engine, settings, log, real_reloads):
    assert tick(engine) == decision()
    real_reloads.clear()
    failures = []

    def ticks():
        for _ in range(3000):
            if tick(engine) != decision():
                failures.append(log.records[-1:])

    run_switching_every_10us([ticks] * 4)
    # A tick meeting another thread's execution leaves it to finish, as reload does, and
    # needs no real reload afterwards: each real reload would briefly take the module out
    # of sys.modules, failing any reload another thread starts meanwhile.
    assert failures == [] and not log.records and real_reloads == []


def test_a_tick_meeting_another_thread_s_reload_with_the_module_out_of_sys_modules(engine, settings, log,
                                                                                  monkeypatch):
    """importlib takes the module out of sys.modules for a moment at the end of a reload; a
    tick of another thread in that moment runs the module it had."""
    import importlib._bootstrap as bootstrap
    real_exec, others = bootstrap._exec, []

    def exec_then_gap(spec, module):
        real_exec(spec, module)
        sys.modules.pop(spec.name)
        try:
            other = threading.Thread(target=lambda: others.append(tick(engine)))
            other.start()
            other.join()
        finally:
            sys.modules[spec.name] = module

    assert tick(engine) == decision()
    monkeypatch.setattr(bootstrap, "_exec", exec_then_gap)
    settings.write(settings_text(2), reload=False)
    assert (tick(engine), others, log.records) == (decision(2), [decision(2)], [])


def test_threads_ticking_while_the_file_is_saved_editor_style_run_the_old_or_new_module(engine, settings, log):
    """Saved by rename every 3 ms while four threads tick and switch every 10 us: each tick
    runs the module it had or the new one, none fails in the middle of another's reload."""
    assert tick(engine) == decision()
    saving, failures = threading.Event(), []

    def ticks():
        while saving.is_set():
            result = tick(engine)
            if result not in (decision(1), decision(2)):
                failures.append((result, log.records[-1:]))

    def saves():
        for n in range(200):
            save_by_rename(settings.path, settings_text(1 + n % 2))
            time.sleep(0.003)
        saving.clear()

    saving.set()
    run_switching_every_10us([ticks] * 4 + [saves])
    assert failures == [] and not log.records


def inotify_descriptors():
    fds = "/proc/self/fd"
    return [fd for fd in os.listdir(fds) if "inotify" in os.path.realpath(os.path.join(fds, fd))]


def save_by_rename(path, text):
    staged = path.with_name(path.name + ".new")
    staged.write_text(text)
    os.replace(staged, path)


def save_in_a_new_directory(path, text):
    directory = path.parent
    fresh, old = directory.with_name(directory.name + ".new"), directory.with_name(directory.name + ".old")
    shutil.copytree(directory, fresh, ignore=shutil.ignore_patterns("__pycache__"))
    (fresh / path.name).write_text(text)
    os.rename(directory, old)
    os.rename(fresh, directory)
    shutil.rmtree(old)


@pytest.mark.parametrize("save", [lambda path, text: path.write_text(text), save_by_rename,
                                  save_in_a_new_directory], ids=["in place", "by rename", "directory replaced"])
def test_without_a_stat_per_tick_every_saved_edit_is_seen_on_the_next_tick(engine, settings, save):
    assert tick(engine) == decision()
    assert inotify_descriptors()  # the kernel's notification is in use
    for volume in (2, 30, 4):
        save(settings.path, settings_text(volume))
        assert tick(engine) == decision(volume) and tick(engine) == decision(volume)


def test_where_notification_is_unavailable_the_file_is_stamped_on_every_tick(run_python):
    code = """
import os, oxa.Brindle as b, importlib, cfg.oxa_can_change_env as settings
e = b.COXAAlgos()
e.push_InstrumentAttr("rb2501", {"ExchangeID": "SHFE", "PriceTick": 1, "open_ticks": 3, "close_ticks": 2})
md = {"LastPrice": 3500, "Volume": 1, "BidPrice1": 3499, "BidVolume1": 1, "AskPrice1": 3501, "AskVolume1": 1}
for n in range(3):
    for m in range(3):
        md["LastPrice"] += 1
        md["Volume"] += 1
        decisions = e.push_md2trade("00001", "rb2501", dict(md))
    print(decisions)
    text = open(settings.__file__).read().replace('"buy_open_vol": %d' % (n + 1), '"buy_open_vol": %d' % (n + 2), 1)
    open(settings.__file__ + ".new", "w").write(text)
    os.replace(settings.__file__ + ".new", settings.__file__)
print([fd for fd in os.listdir("/proc/self/fd") if "inotify" in os.path.realpath("/proc/self/fd/" + fd)])
"""
    proc = run_python(code, env={"BRINDLE_SETTINGS_WATCH": "stat"})
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines() == ["[('buy_open', 'SHFE', 3501, %d)]" % n for n in (1, 2, 3)] + ["[]"]


def test_a_forked_child_leaves_the_parents_notifications_alone(run_python):
    code = """
import os, oxa.Brindle as b, cfg.oxa_can_change_env as settings
e = b.COXAAlgos()
e.push_InstrumentAttr("rb2501", {"ExchangeID": "SHFE", "PriceTick": 1, "open_ticks": 3, "close_ticks": 2})
md = {"LastPrice": 3500, "Volume": 1, "BidPrice1": 3499, "BidVolume1": 1, "AskPrice1": 3501, "AskVolume1": 1}

def tick():
    md["LastPrice"] += 1
    md["Volume"] += 1
    return e.push_md2trade("00001", "rb2501", dict(md))

def save(volume):
    text = open(settings.__file__).read().replace('"buy_open_vol": %d' % (volume - 1), '"buy_open_vol": %d' % volume, 1)
    open(settings.__file__ + ".new", "w").write(text)
    os.replace(settings.__file__ + ".new", settings.__file__)

for _ in range(3):
    tick()
child = os.fork()
if child == 0:
    save(2)
    os._exit(0 if tick()[0][3] == 2 else 1)
_, status = os.waitpid(child, 0)
print(os.waitstatus_to_exitcode(status), tick()[0][3])
"""
    proc = run_python(code)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.split() == ["0", "2"]
