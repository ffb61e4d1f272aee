// oxa.Brindle: module initialisation and the registration of its functions and classes, in
// the order the module body defines them.
#include "engine/construction.hpp"
#include "engine/ingestion.hpp"
#include "engine/state_store.hpp"
#include "interop/classes.hpp"
#include "interop/function.hpp"
#include "persistence/connection.hpp"
#include "persistence/instrument_query.hpp"
#include "persistence/recording.hpp"
#include "persistence/writer.hpp"
#include "shell/imports.hpp"
#include "shell/trace_files.hpp"
#include "shell/values.hpp"
#include "strategy/expression.hpp"
#include "strategy/factors.hpp"
#include "strategy/math_function.hpp"
#include "strategy/settings_reload.hpp"
#include "strategy/simulated_trades.hpp"
#include "strategy/statistics.hpp"
#include "strategy/tick.hpp"

namespace oxa {
namespace {

void define_functions() {
    py::object dwTimes_default = checked(PyTuple_Pack(1, integer(1).ptr()));  // one (1,) for all four
    add_functions({
        function<shell::toString>({"toString", {"val"}, Kind::positional_only}),
        function<shell::toString2>({"toString2", {"val"}, Kind::positional_only}),
        function<shell::myDecode>({"myDecode", {"val"}, Kind::positional_only}),
        function<shell::nvl>({"nvl", {"p1", "p2"}}),
        function<shell::printString>({"printString", {"fileName", "key", "val", "dwTimes"}, Kind::ordinary, dwTimes_default}),
        function<shell::printNumber>({"printNumber", {"fileName", "key", "val", "dwTimes"}, Kind::ordinary, dwTimes_default}),
        function<shell::testPerform>({"testPerform", {"i"}, Kind::positional_only}),
        function<shell::dump_py2c>({"dump_py2c", {"fileName", "logInfo", "dwTimes"}, Kind::ordinary, dwTimes_default}),
        function<shell::dump_c2py>({"dump_c2py", {"fileName", "logInfo", "dwTimes"}, Kind::ordinary, dwTimes_default}),
        function<persistence::connectDB>({"connectDB", {}}),
        function<persistence::ExecuteQuery>({"ExecuteQuery", {"i_strSQL"}, Kind::positional_only}),
    });
}

void define_classes() {
    // Calc_Express's i_otherFactor: one dictionary, made with the class.
    py::object calc_express_defaults = py::make_tuple(py::dict());
    setitem(module_dict(), names.MathFunction,
            make_class("MathFunction",
                       {
                           function<strategy::math_function_init>(
                               {"MathFunction.__init__", {"self", "name", "operator"}}),
                           function<strategy::math_function_call>(
                               {"MathFunction.__call__", {"self", "operands"}, Kind::varargs}),
                       }));
    setitem(module_dict(), names.COXAAlgos,
            make_class("COXAAlgos",
                       {
                           function<engine::init>({"COXAAlgos.__init__", {"self"}}),
                           function<engine::Inc_RequestID>({"COXAAlgos.Inc_RequestID", {"self"}}),
                           function<engine::get_InstrumentAttr>(
                               {"COXAAlgos.get_InstrumentAttr", {"self", "instrumentID"}}),
                           function<engine::set_InstrumentAttr>(
                               {"COXAAlgos.set_InstrumentAttr", {"self", "instrumentID", "key", "val"}}),
                           function<engine::push_OnRspQryTradingAccount>(
                               {"COXAAlgos.push_OnRspQryTradingAccount", {"self", "table_name", "TradingAccount"}}),
                           function<engine::push_OnRspQryInstrument>(
                               {"COXAAlgos.push_OnRspQryInstrument", {"self", "table_name", "Instrument"}}),
                           function<engine::push_OnRspOrderInsert>(
                               {"COXAAlgos.push_OnRspOrderInsert", {"self", "table_name", "OrderInsert"}}),
                           function<engine::push_Order>({"COXAAlgos.push_Order", {"self", "table_name", "Order"}}),
                           function<engine::forward_order>(
                               {"COXAAlgos.push_OnRspQryOrder", {"self", "table_name", "Order"}}),
                           function<engine::push_OnRspQryInvestorPosition>(
                               {"COXAAlgos.push_OnRspQryInvestorPosition", {"self", "table_name", "InvestorPosition"}}),
                           function<engine::push_OnRspQrySettlementInfo>(
                               {"COXAAlgos.push_OnRspQrySettlementInfo", {"self", "table_name", "SettlementInfo"}}),
                           function<engine::forward_order>({"COXAAlgos.push_OnRtnOrder", {"self", "table_name", "Order"}}),
                           function<engine::push_OnRtnInstrumentStatus>(
                               {"COXAAlgos.push_OnRtnInstrumentStatus", {"self", "table_name", "InstrumentStatus"}}),
                           function<engine::push_ReqOrderInsert>(
                               {"COXAAlgos.push_ReqOrderInsert", {"self", "table_name", "OrderInsert"}}),
                           function<engine::push_InstrumentAttr>(
                               {"COXAAlgos.push_InstrumentAttr", {"self", "instrumentID", "attr_dict"}}),
                           function<engine::get_global_Attr>({"COXAAlgos.get_global_Attr", {"self", "key"}}),
                           function<engine::set_global_Attr>(
                               {"COXAAlgos.set_global_Attr", {"self", "key", "val"}}),
                           function<engine::set_global_Attr>(
                               {"COXAAlgos.push_global_Attr", {"self", "key", "val"}}),
                           function<engine::get_Order_list>(
                               {"COXAAlgos.get_Order_list", {"self", "instrumentID"}}),
                           function<engine::get_Position>({"COXAAlgos.get_Position", {"self", "instrumentID"}}),
                           function<engine::get_ReqOrderList>(
                               {"COXAAlgos.get_ReqOrderList", {"self", "instrumentID"}}),
                           function<engine::InitFactor>({"COXAAlgos.InitFactor", {"self"}}),
                           function<strategy::statMD>({"COXAAlgos.statMD", {"self", "factor", "pMD"}}),
                           function<strategy::SimNow>(
                               {"COXAAlgos.SimNow", {"self", "InvestorID", "InstrumentID", "LastPrice", "Volume"}}),
                           function<persistence::engine_connectDB>({"COXAAlgos.connectDB", {"self"}}),
                           function<persistence::dumpRspDict>(
                               {"COXAAlgos.dumpRspDict", {"self", "table_name", "val_dict"}}),
                           function<persistence::DumpReqDict>(
                               {"COXAAlgos.DumpReqDict", {"self", "table_name", "val_dict"}}),
                           function<persistence::dump_req>({"COXAAlgos.dump_req", {"self", "table_name", "val_dict"}}),
                           function<persistence::dump_rsp>({"COXAAlgos.dump_rsp", {"self", "table_name", "val_dict"}}),
                           function<persistence::dict2DB>(
                               {"COXAAlgos.dict2DB", {"self", "table_name", "val_dict"}}),
                           function<persistence::SQL2DB>({"COXAAlgos.SQL2DB", {"self", "szSQL", "listVal"}}),
                           function<persistence::engine_ExecuteQuery>(
                               {"COXAAlgos.ExecuteQuery", {"self", "i_strSQL"}}),
                           function<strategy::restOrderFactor>(
                               {"COXAAlgos.restOrderFactor", {"self", "instrument"}}),
                           function<strategy::push_md2trade>(
                               {"COXAAlgos.push_md2trade",
                                {"self", "i_InvestorID", "i_InstrumentID", "dict_new_md"}}),
                           function<strategy::Calc_Express>(
                               {"COXAAlgos.Calc_Express",
                                {"self", "instrument", "strExpress", "i_otherFactor"},
                                Kind::ordinary,
                                calc_express_defaults}),
                           function<strategy::Factor2String>({"COXAAlgos.Factor2String", {"self", "instrument"}}),
                           function<strategy::updateFactor>({"COXAAlgos.updateFactor", {"self"}}),
                           function<persistence::ReqQryInstrument>(
                               {"COXAAlgos.ReqQryInstrument", {"self", "pQryInstrument", "reqID"}}),
                       }));
}

PyModuleDef module_definition = {PyModuleDef_HEAD_INIT, "Brindle", nullptr, -1, nullptr,
                                 nullptr,               nullptr,   nullptr, nullptr};

// The module body. The module is in sys.modules before the first import runs, so a host
// module importing oxa.Brindle meanwhile gets it as filled so far.
PyObject* initialise() {
    if (!init_python_layer() || !init_function_type()) return nullptr;
    PyObject* module = PyModule_Create(&module_definition);
    if (!module) return nullptr;
    bind_module(module);
    PyObject* modules = PyImport_GetModuleDict();
    int present = PyDict_Contains(modules, module_name());
    bool entered = present == 0 && PyDict_SetItem(modules, module_name(), module) == 0;
    bool done = present >= 0 && shell::run_imports();
    if (done) {
        try {
            strategy::remember_import_machinery();
            define_functions();
            define_classes();
        } catch (py::error_already_set& error) {
            error.restore();
            done = false;
        }
    }
    if (done) return module;
    // As for a Python module whose body raised: no half-made module stays behind.
    if (entered) {
        PyObject *type, *value, *traceback;
        PyErr_Fetch(&type, &value, &traceback);
        PyDict_DelItem(modules, module_name());
        PyErr_Restore(type, value, traceback);
    }
    Py_DECREF(module);
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, "init oxa.Brindle");
    return nullptr;
}

}  // namespace
}  // namespace oxa

extern "C" PYBIND11_EXPORT PyObject* PyInit_Brindle() { return oxa::initialise(); }
