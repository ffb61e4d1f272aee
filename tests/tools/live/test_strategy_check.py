"""The strategy check: every kind of problem in a settings module, found with its file,
investor, instrument and key; the sample passes."""
import pytest

from harness.host import edit_ini
from harness.paths import SAMPLE_HOST

ZERO = ("LastPrice Volume LastPrice_Cur_Up LastPrice_Acc_Up order_acc_up LastPrice_Cur_Keep LastPrice_Acc_Keep "
        "order_acc_keep LastPrice_Cur_Down LastPrice_Acc_Down order_acc_down order_TradeVolume BidVolume "
        "order_BidVolume AskVolume order_AskVolume").split()


def strategy(**changes):
    entries = {
        "buy_open_express": "LastPrice_Cur_Up >= 3 and vol_diff > 0", "buy_open_price": "AskPrice1",
        "buy_open_vol": 1,
        "sell_open_express": "LastPrice_Cur_Down >= 3", "sell_open_price": "BidPrice1", "sell_open_vol": 1,
        "buy_close_express": "max(p for p in (BidPrice1, AskPrice1)) > PriceTick",
        "buy_close_price": "AskPrice1 + PriceTick", "buy_close_vol": 1,
        "sell_close_express": "(lambda x: x > 0)(order_TradeVolume)", "sell_close_price": "BidPrice1",
        "sell_close_vol": 1,
    }
    entries.update(changes)
    return {k: v for k, v in entries.items() if v is not None}


def settings(table, zero=ZERO, extra=""):
    return ("AI_Strategy = %r\nReal_Fresh_Factor = 0\nupdate_factor_period = 60\nInit_Factor_Zero = %r\n%s"
            % (table, tuple(zero), extra))


def check(run_python, *args, files=None):
    code = "import sys\nfrom brindle_tools.live.check import main\nsys.exit(main(%r))" % (list(args),)
    return run_python(code, files=files)


def test_the_sample_strategies_pass(run_python):
    proc = check(run_python)
    assert (proc.returncode, proc.stdout) == (0, "cfg/oxa_can_change_env.py: 2 strategies checked, no problems\n")


def test_a_strategy_that_hits_a_limit_on_the_sample_session_is_reported(run_python):
    ini = edit_ini((SAMPLE_HOST / "cfg" / "oxa.ini").read_text(), {"RISK": {"max_order_volume.hc2501": 0}})
    proc = check(run_python, files={"cfg/oxa.ini": ini})
    assert proc.returncode == 1, proc.stderr
    [finding, total] = proc.stdout.splitlines()
    assert finding.startswith("cfg/oxa_can_change_env.py: 00001 / hc2501 / max_order_volume: hits the limit: ")
    assert finding.endswith(" decisions withheld on the sample session") and total.startswith("1 problem in")


def test_a_limit_the_engine_would_leave_out_is_a_problem(run_python):
    ini = (SAMPLE_HOST / "cfg" / "oxa.ini").read_text() + "\n[RISK]\nmax_spread = 3\n"
    proc = check(run_python, files={"cfg/oxa.ini": ini})
    assert (proc.returncode, proc.stdout.splitlines()[0]) == (
        1, "cfg/oxa.ini: [RISK]: max_spread = 3 is not a limit of 0 or more: the engine leaves it out"), proc.stderr


def test_each_kind_of_problem_is_found_with_its_place(run_python):
    table = {
        "00001": {
            "rb2501": strategy(buy_open_express="LastPrice_Cur_Up >= and vol_diff > 0", sell_open_vol=None),
            "hc2501": strategy(sell_open_price="BidPrice1 - Tick", buy_close_vol=0, sell_close_vol="2",
                               sell_close_express="Volume >"),
        },
        "00002": {"rb2501": strategy(buy_close_price=12.5, sell_open_expr="LastPrice > 0"),
                  "au2412": ["not", "a", "strategy"]},
    }
    source = settings(table, zero=[n for n in ZERO if n not in ("BidVolume", "AskVolume")])
    source = source.replace("update_factor_period = 60\n", "")
    proc = check(run_python, files={"cfg/oxa_can_change_env.py": source})
    assert proc.returncode == 1, proc.stderr
    file = "cfg/oxa_can_change_env.py"
    assert proc.stdout.splitlines() == [
        file + ": update_factor_period: missing: the engine reads it on every tick",
        file + ": Init_Factor_Zero: lacks BidVolume, AskVolume: the statistics of a new instrument read these keys "
               "before they write them",
        file + ": 00001 / rb2501 / buy_open_express: syntax error at column 21: invalid syntax",
        file + ": 00001 / rb2501 / sell_open_vol: missing",
        file + ": 00001 / hc2501 / sell_open_price: name 'Tick': no attribute dictionary holds it; "
               "did you mean 'PriceTick'?",
        file + ": 00001 / hc2501 / buy_close_vol: 0 is no order volume (a whole number of lots, 1 or more)",
        file + ": 00001 / hc2501 / sell_close_express: syntax error at the end: invalid syntax",
        file + ": 00001 / hc2501 / sell_close_vol: '2' is no order volume (a whole number of lots, 1 or more)",
        file + ": 00002 / rb2501 / buy_close_price: 12.5 is a float, not an expression text",
        file + ": 00002 / rb2501 / sell_open_expr: unknown key: the engine never reads it",
        file + ": 00002 / au2412: the strategy is a list, not a dictionary of the twelve keys",
        "11 problems in " + file,
    ]


def test_investor_and_tick_file_narrow_the_check(run_python):
    table = {"00001": {"rb2501": strategy(buy_open_price="AskPrice1 + 0 * OpenInterest")},
             "00002": {"rb2501": strategy(sell_open_vol=None)}}
    files = {"cfg/oxa_can_change_env.py": settings(table),
             "ticks.csv": "InstrumentID,UpdateTime,LastPrice,Volume,BidPrice1,BidVolume1,AskPrice1,AskVolume1\n"}
    proc = check(run_python, "--investor", "00001", files=files)
    assert (proc.returncode, proc.stdout) == (0, "cfg/oxa_can_change_env.py: 1 strategy checked, no problems\n")
    # OpenInterest is a field of the broker's tick, but not a column of this file.
    proc = check(run_python, "--investor", "00001", "--ticks", "ticks.csv", files=files)
    assert proc.returncode == 1
    assert proc.stdout.splitlines()[0] == ("cfg/oxa_can_change_env.py: 00001 / rb2501 / buy_open_price: "
                                           "name 'OpenInterest': no attribute dictionary holds it; did you mean "
                                           "'OpenDate'?")


@pytest.mark.parametrize("extra, message", [
    ("if True\n    x = 1\n", "cfg/oxa_can_change_env.py line 5: expected ':'"),
    ("limit = 3 / 0\n", "cfg/oxa_can_change_env.py line 5: ZeroDivisionError: division by zero"),
    ("import sys\nsys.exit(0)\n", "cfg/oxa_can_change_env.py line 6: SystemExit: 0"),
    ("raise KeyboardInterrupt\n", "cfg/oxa_can_change_env.py line 5: KeyboardInterrupt"),
])
def test_a_settings_module_that_does_not_load_is_named_with_its_line(run_python, extra, message):
    proc = check(run_python, files={"cfg/oxa_can_change_env.py": settings({}, extra=extra)})
    assert (proc.returncode, proc.stdout) == (2, "")
    assert proc.stderr == "brindle-check: %s\n" % message


@pytest.mark.parametrize("command, args", [("live.check", []), ("commands.replay", ["ticks.csv"]),
                                           ("commands.sweep", ["ticks.csv", "--grid", "open_ticks=1,2"])])
def test_a_settings_module_that_does_not_finish_loading_is_refused(run_python, command, args):
    code = ("import sys\nfrom brindle_tools.live import host\nhost.SETTINGS_SECONDS = 1\n"
            "from brindle_tools.%s import main\nsys.exit(main(%r))" % (command, args))
    proc = run_python(code, files={"cfg/oxa_can_change_env.py": settings({}, extra="while True: pass\n"),
                                   "ticks.csv": "UpdateTime,LastPrice\n"}, timeout=30)
    assert proc.returncode == 2, proc.stderr
    assert proc.stderr.endswith(": cfg/oxa_can_change_env.py line 5: did not finish loading within 1 seconds (a loop?)\n")


def test_factors_of_the_database_are_names_of_their_instrument_only(run_python, mariadb):
    mariadb.ensure_running()
    mariadb.reset()
    ini = edit_ini((SAMPLE_HOST / "cfg" / "oxa.ini").read_text(encoding="utf-8"), {"CLOUD": mariadb.ini_values()})
    files = {"cfg/oxa.ini": ini, "cfg/oxa_can_change_env.py": settings({"00001": {
        "rb2501": strategy(buy_open_express="momentum > 0 and risk < 1 and first > 0"),
        "hc2501": strategy(buy_open_express="momentum > 0"),
    }})}
    assert check(run_python, "--db", files=files).stderr.startswith("brindle-check: database oxa_test@")
    assert run_python("import sys\nfrom brindle_tools.live.db import main\nsys.exit(main(['create']))",
                      files=files).returncode == 0
    mariadb.execute("insert into t_factor (id, InstrumentID, factor_name, factor_val) values "
                    "(1, 'rb2501', 'first', 1), (2, 'rb2501', 'momentum', 0.5), (3, 'all', 'risk', 0.2)")
    proc = check(run_python, "--db", files=files)
    assert proc.returncode == 1
    file = "cfg/oxa_can_change_env.py"
    assert proc.stdout.splitlines() == [
        # Row 1 is never read: a new engine reads the rows after it.
        file + ": 00001 / rb2501 / buy_open_express: name 'first': no attribute dictionary holds it",
        file + ": 00001 / rb2501 / buy_open_express: name 'risk' is only a factor of all instruments (t_factor rows "
               "for 'all' go to the global dictionary, which expressions do not see)",
        file + ": 00001 / hc2501 / buy_open_express: name 'momentum': no attribute dictionary holds it",
        "3 problems in " + file,
    ]
