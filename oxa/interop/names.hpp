// Interned Python strings for every attribute, key, keyword and constant text the engine
// touches, made once at import so that no hot path builds a temporary string.
#pragma once

#include <Python.h>

namespace oxa {

// X(identifier) interns the identifier's own spelling; T(identifier, "text") interns text.
#define OXA_NAMES(X, T)                                                                     \
    /* module globals */                                                                    \
    X(ctypes) X(configparser) X(reload) X(time) X(datetime) X(pymysql) X(sys)               \
    X(collections) X(traceback) X(myEnv) X(myDEnv) X(py_ApiStructure)                       \
    X(toString) X(toString2) X(myDecode) X(nvl) X(printString) X(printNumber)               \
    X(testPerform) X(dump_py2c) X(dump_c2py) X(connectDB) X(ExecuteQuery)                   \
    X(MathFunction) X(COXAAlgos)                                                            \
    /* attributes and methods of other objects */                                           \
    X(logger) X(info) X(debug) X(warning) X(error) X(exc_info) X(now) X(OrderedDict)        \
    X(ConfigParser) X(read) X(get) X(encoding) X(errors) X(cursor) X(commit) X(execute)     \
    X(executemany) X(fetchall) X(cursors) X(Cursor) X(Connect) X(close) X(to_dict)          \
    X(items) X(update) X(decode) X(append) X(write) X(seconds) X(days) X(InstrumentField)   \
    X(stop)                                                                                 \
    X(AI_Strategy) X(Real_Fresh_Factor) X(update_factor_period) X(Init_Factor_Zero)         \
    X(name) T(operator_, "operator") X(__name__) X(__qualname__) X(__module__) X(__builtins__)          \
    X(__enter__) X(__exit__) X(__import__) X(warnings) X(filters) X(pop) X(rpartition)      \
    X(InterpolationError) X(ParsingError) X(MissingSectionHeaderError) X(option) X(section)  \
    X(message) X(args) X(source) X(lineno) X(line)                                          \
    /* the import system */                                                                 \
    X(modules) X(path) X(meta_path) X(_RELOADING) X(__spec__) X(__loader__) X(__package__)  \
    X(__file__) X(__cached__) X(__path__) X(loader) X(origin) X(parent) X(cached)           \
    X(has_location) X(submodule_search_locations) X(_frozen_importlib) X(ModuleSpec)        \
    X(_frozen_importlib_external) X(SourceFileLoader)                                       \
    /* engine attributes */                                                                 \
    X(update_factor_date) X(global_dict) X(instrument_attr_dict)                            \
    X(instrument_req_order_dict) X(instrument_rtn_order_dict) X(instrument_position_dict)   \
    X(TradingAccount) X(instrumentStatus) X(_COXAAlgos__RequestID) X(_COXAAlgos__id)        \
    X(config) X(upload) X(cloud_debug) X(array_size) X(c_cython) X(cython_c)                \
    X(reload_on_change)                                                                     \
    /* engine methods called through self */                                                \
    X(Inc_RequestID) X(get_InstrumentAttr) X(set_InstrumentAttr) X(push_InstrumentAttr)     \
    X(InitFactor) X(get_global_Attr) X(set_global_Attr) X(push_global_Attr)                 \
    X(get_Order_list) X(get_Position) X(get_ReqOrderList) X(statMD) X(SimNow)               \
    X(dumpRspDict) X(DumpReqDict) X(dump_req) X(dump_rsp) X(dict2DB) X(SQL2DB)              \
    X(restOrderFactor) X(push_md2trade) X(Calc_Express) X(Factor2String) X(updateFactor)    \
    X(ReqQryInstrument) X(push_Order)                                                       \
    /* record and tick fields */                                                            \
    X(InstrumentID) X(ExchangeID) X(OrderSysID) X(OrderStatus) X(PosiDirection)             \
    X(InstrumentStatus) X(TradingSegmentSN) X(EnterTime) X(EnterReason) X(Direction)        \
    X(LimitPrice) X(Express) X(CombOffsetFlag) X(OrderTime) X(MD_Last_Price)                \
    X(LastPrice) X(Volume) X(BidPrice1) X(BidVolume1) X(AskPrice1) X(AskVolume1)            \
    X(UpdateTime) X(bid_order_book) X(ask_order_book) X(trade_book) X(vol_diff)             \
    X(BidVolume) X(AskVolume) X(LastPrice_Cur_Up) X(LastPrice_Acc_Up) X(LastPrice_Cur_Keep) \
    X(LastPrice_Acc_Keep) X(LastPrice_Cur_Down) X(LastPrice_Acc_Down) X(order_acc_up)       \
    X(order_acc_keep) X(order_acc_down) X(order_TradeVolume) X(order_BidVolume)             \
    X(order_AskVolume) X(order_price)                                                       \
    /* instrument record fields besides InstrumentID and ExchangeID */                      \
    X(InstrumentName) X(ExchangeInstID) X(ProductID) X(ProductClass) X(DeliveryYear)        \
    X(DeliveryMonth) X(MaxMarketOrderVolume) X(MinMarketOrderVolume) X(MaxLimitOrderVolume) \
    X(MinLimitOrderVolume) X(VolumeMultiple) X(PriceTick) X(CreateDate) X(OpenDate)         \
    X(ExpireDate) X(StartDelivDate) X(EndDelivDate) X(InstLifePhase) X(IsTrading)           \
    X(PositionType) X(PositionDateType) X(LongMarginRatio) X(ShortMarginRatio)              \
    X(MaxMarginSideAlgorithm) X(UnderlyingInstrID) X(StrikePrice) X(OptionsType)            \
    X(UnderlyingMultiple) X(CombinationType)                                                \
    /* strategy dictionary keys */                                                          \
    X(buy_open_express) X(buy_open_price) X(buy_open_vol) X(sell_open_express)              \
    X(sell_open_price) X(sell_open_vol) X(buy_close_express) X(buy_close_price)             \
    X(buy_close_vol) X(sell_close_express) X(sell_close_price) X(sell_close_vol)            \
    /* connection keywords */                                                               \
    X(host) X(user) X(password) X(database) X(charset) X(port)                              \
    /* INI sections and keys */                                                             \
    X(CLOUD) X(COMMUNICATION_SWITCH) X(PYTHON_SWITCH) X(detail) X(OXA_DB_TYPE)              \
    X(OXA_DB_SERVER) X(OXA_DB_USER) X(OXA_DB_PWD) X(OXA_DB_NAME) X(OXA_DB_PORT)             \
    /* constant texts */                                                                    \
    T(cfg_oxa_ini, "cfg/oxa.ini") T(oxa_ini, "oxa.ini") T(utf_8, "utf-8")                     \
    T(gb18030, "gb18030") T(ignore, "ignore") T(append_mode, "a+") T(empty, "")             \
    T(one_text, "1") T(status_zero, "0") T(status_five, "5") T(status_a, "a") T(all, "all") \
    T(quote, "'") T(comma, ",") T(line_feed, "\n") T(colon, ":") T(equals_sign, "=")        \
    T(py2c_prefix, "log/py2c_") T(c2py_prefix, "log/c2py_") T(log_suffix, ".log")           \
    T(py2c_all, "log/py2c_all.log") T(c2py_all, "log/c2py_all.log")                         \
    T(direction_buy, "0") T(direction_sell, "1") T(buy_price_key, ".buyPrice:")             \
    T(sell_price_key, ".sellPrice:") T(trade_price_key, ".TradePrice:")                     \
    T(buy_open, "buy_open") T(sell_open, "sell_open") T(buy_close, "buy_close")             \
    T(sell_close, "sell_close") T(initial_update_time, "01:01:01") T(dot, ".")              \
    T(closing_parenthesis, ")") T(no_strategy_for, "There is no strategy for(")             \
    T(string_filename, "<string>")                                                          \
    T(parsing_error_line, "\n\t[line %2d]: %s")                                             \
    /* database connection, writer and factor texts */                                      \
    T(mysql, "mysql") T(loopback, "127.0.0.1") T(sim_test, "sim_test")                      \
    T(default_password, "MockRun@1999") T(insert_into, "INSERT INTO ") T(open_paren, "(")   \
    T(values_clause, ")VALUES(") T(placeholder, "%s") T(ok, "ok")                           \
    T(sql_failed, "excute sql faild in SQL2DB")                                             \
    T(sql_failed_again, "re excute sql faild in SQL2DB")                                    \
    T(factor_query,                                                                         \
      "select id,InstrumentID,factor_name,factor_val from t_factor t where t.id>%s order by id asc") \
    T(factor_count, "set dynamic factor cnt:") T(factor_set, "set dynamic factor")          \
    T(factor_failed, "set dynamic factor failed:") T(factor_open, ":{")                     \
    T(factor_close, "}")                                                                    \
    /* dead-letter file */                                                                  \
    T(dead_letter_path, "log/sql_dead_letters.jsonl") X(ensure_ascii)                      \
    X(utf8mb4) X(mogrify)                                                                  \
    X(allow_nan) X(dumps) X(isoformat) X(timespec) X(hex) X(at) X(sql) X(rows)              \
    T(tag_float, "float") T(tag_decimal, "decimal") T(tag_bytes, "bytes")                   \
    T(tag_bytearray, "bytearray") T(tag_datetime, "datetime") T(tag_date, "date")           \
    T(tag_time, "time") T(tag_timedelta, "timedelta") T(tag_tuple, "tuple")                 \
    T(tag_dict, "dict") T(tag_set, "set") T(tag_frozenset, "frozenset") T(nan, "nan") T(inf, "inf") T(minus_inf, "-inf")                   \
    X(loads) X(fromhex) X(fromisoformat)                                                    \
    /* the asynchronous journal */                                                          \
    X(async_writes) X(async_max_mb) X(async_drain_seconds) T(register_, "register") X(err)             \
    X(OperationalError) X(InterfaceError) X(rollback) X(sql_journal) X(has_option)                                       \
    T(journal_path, "log/sql_journal.jsonl")                                                \
    T(journal_create,                                                                       \
      "CREATE TABLE IF NOT EXISTS t_sql_journal_sent (journal CHAR(32) NOT NULL PRIMARY KEY," \
      " line BIGINT NOT NULL)")                                                             \
    T(journal_mark_query, "SELECT line FROM t_sql_journal_sent WHERE journal = %s")         \
    T(journal_mark,                                                                         \
      "INSERT INTO t_sql_journal_sent (journal, line) VALUES (%s, %s)"                      \
      " ON DUPLICATE KEY UPDATE line = VALUES(line)")                                       \
    T(journal_forget, "DELETE FROM t_sql_journal_sent WHERE journal = %s")                  \
    /* pre-trade limits */                                                                  \
    X(RISK) X(risk_limits) X(risk_withheld) X(risk_sent) X(risk_logged) X(lower)            \
    X(CloseProfit) X(PositionCost) X(Position) X(VolumeTotal)                               \
    X(max_position) X(max_order_volume) X(max_orders_per_second) X(max_orders_per_minute)   \
    X(max_resting_orders) X(max_daily_loss) X(has_section) X(partition)                                  \
    X(risk_day) X(risk_day_start) X(risk_positions) X(PositionDate) X(HedgeFlag) X(values)   \
    /* strategy names */                                                                    \
    X(strategy_names) X(strategy_names_state) X(Indicators) X(Sessions) X(TodayPosition)    \
    X(OpenCost) X(TradingDay) X(day_seconds) X(session_left)

struct InternedNames {
#define OXA_DECLARE_NAME(identifier) PyObject* identifier;
#define OXA_DECLARE_TEXT(identifier, text) PyObject* identifier;
    OXA_NAMES(OXA_DECLARE_NAME, OXA_DECLARE_TEXT)
#undef OXA_DECLARE_NAME
#undef OXA_DECLARE_TEXT
};

// The interned names; valid once intern_names() has run at import.
extern InternedNames names;

// Interns every name; returns false with a Python error set on failure.
bool intern_names();

}  // namespace oxa
