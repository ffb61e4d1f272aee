#include "engine/construction.hpp"

#include "interop/except.hpp"
#include "persistence/journal.hpp"
#include "shell/config_errors.hpp"
#include "strategy/risk_limits.hpp"
#include "strategy/strategy_names.hpp"

namespace oxa::engine {
namespace {

py::object new_ordered_dict() { return call_method(global(names.collections), names.OrderedDict); }

// int(self.config.get(section, key))
py::object read_switch(py::handle self, PyObject* section, PyObject* key) {
    py::object value = call_method(getattr(self, names.config), names.get, {section, key});
    return checked(PyNumber_Long(value.ptr()));
}

void set_fallback_switches(py::handle self) {
    py::object one = integer(1);
    setattr(self, names.upload, one);
    setattr(self, names.cloud_debug, one);
    setattr(self, names.array_size, integer(10));
    setattr(self, names.c_cython, one);
    setattr(self, names.cython_c, one);
}

// An opt-in switch of [PYTHON_SWITCH]: only when it reads as 1 does the engine get the
// attribute of its name = 1. Anything unreadable leaves it off, and an engine without the
// switch is exactly as before. reload_on_change: the tick handler re-executes the settings
// module only when its source changed; strategy_names: trading state and indicators as
// names (strategy/strategy_names.hpp).
bool read_python_switch(py::handle self, PyObject* key) {
    bool on = false;
    try_except(
        [&] {
            py::object one = integer(1);
            if (equals(read_switch(self, names.PYTHON_SWITCH, key), one)) {
                setattr(self, key, one);
                on = true;
            }
        },
        [](const py::error_already_set&) {});
    return on;
}

// The opt-in switch [CLOUD] async_writes: when it reads as 1 the engine gets the attribute
// `async_writes` = 1 and starts the process's SQL journal, through which SQL2DB then writes.
void read_async_writes(py::handle self) {
    bool on = false;
    try_except([&] { on = equals(read_switch(self, names.CLOUD, names.async_writes), integer(1)); },
               [](const py::error_already_set&) {});
    if (on && persistence::start_journal(self)) setattr(self, names.async_writes, integer(1));
}

}  // namespace

py::object init(py::handle self) {
    try_except(
        [&] {
            log(names.info, text("COXAAlgos.init ..."));
            setattr(self, names.update_factor_date, call_method(global(names.datetime), names.now));
            setattr(self, names.global_dict, new_ordered_dict());
            setattr(self, names.instrument_attr_dict, new_ordered_dict());
            setattr(self, names.instrument_req_order_dict, new_ordered_dict());
            setattr(self, names.instrument_rtn_order_dict, new_ordered_dict());
            setattr(self, names.instrument_position_dict, new_ordered_dict());
            setattr(self, names.TradingAccount, py::dict());
            setattr(self, names.instrumentStatus, new_ordered_dict());
            setattr(self, names._COXAAlgos__RequestID, integer(0));
            setattr(self, names._COXAAlgos__id, integer(1));
            log(names.info, text("get config for Algos"));
            setattr(self, names.config, call_method(global(names.configparser), names.ConfigParser));
            static PyObject* encoding = keyword_names({names.encoding});
            call_method(getattr(self, names.config), names.read, {names.cfg_oxa_ini, names.utf_8}, encoding);
            setattr(self, names.upload, read_switch(self, names.CLOUD, names.upload));
            setattr(self, names.cloud_debug, read_switch(self, names.CLOUD, names.debug));
            setattr(self, names.array_size, read_switch(self, names.CLOUD, names.array_size));
            setattr(self, names.c_cython, read_switch(self, names.COMMUNICATION_SWITCH, names.c_cython));
            setattr(self, names.cython_c, read_switch(self, names.COMMUNICATION_SWITCH, names.cython_c));
            log(names.info, text("COXAAlgos.init end."));
        },
        [&](const py::error_already_set& error) {
            shell::hide_config_text(error);
            log_error("COXAAlgos.init");
            set_fallback_switches(self);
        });
    read_python_switch(self, names.reload_on_change);
    if (read_python_switch(self, names.strategy_names)) {
        try_except_log([&] { strategy::start_strategy_names(self); }, "strategy names: cannot start");
    }
    read_async_writes(self);
    strategy::read_risk_limits(self);
    return py::none();
}

py::object Inc_RequestID(py::handle self) {
    setattr(self, names._COXAAlgos__RequestID, add(getattr(self, names._COXAAlgos__RequestID), integer(1)));
    return getattr(self, names._COXAAlgos__RequestID);
}

bool switch_on(py::handle self, PyObject* name) { return equals(getattr(self, name), integer(1)); }

py::object optional_attribute(py::handle self, PyObject* name) {
    PyObject* value = nullptr;
    if (PyObject_GetOptionalAttr(self.ptr(), name, &value) < 0) throw_error();
    return py::reinterpret_steal<py::object>(value);
}

bool optional_switch_on(py::handle self, PyObject* name) {
    py::object value = optional_attribute(self, name);
    return value && equals(value, integer(1));
}

}  // namespace oxa::engine
