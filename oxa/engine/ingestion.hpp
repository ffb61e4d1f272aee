// Ingestion of broker answers, notifications and order requests: each record's to_dict()
// is filed into the engine's state tables (stored as it is, never copied), then recorded.
#pragma once

#include "interop/python.hpp"

namespace oxa::engine {

py::object push_OnRspQryTradingAccount(py::handle self, py::handle table_name, py::handle TradingAccount);
py::object push_OnRspQryInstrument(py::handle self, py::handle table_name, py::handle Instrument);
py::object push_OnRspOrderInsert(py::handle self, py::handle table_name, py::handle OrderInsert);
py::object push_Order(py::handle self, py::handle table_name, py::handle Order);
// self.push_Order(table_name, Order); registered as push_OnRspQryOrder and push_OnRtnOrder.
py::object forward_order(py::handle self, py::handle table_name, py::handle Order);
py::object push_OnRspQryInvestorPosition(py::handle self, py::handle table_name, py::handle InvestorPosition);
py::object push_OnRspQrySettlementInfo(py::handle self, py::handle table_name, py::handle SettlementInfo);
py::object push_OnRtnInstrumentStatus(py::handle self, py::handle table_name, py::handle InstrumentStatus);
py::object push_ReqOrderInsert(py::handle self, py::handle table_name, py::handle OrderInsert);

}  // namespace oxa::engine
