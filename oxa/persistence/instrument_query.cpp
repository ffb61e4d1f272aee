#include "persistence/instrument_query.hpp"

#include <utility>

#include "interop/iteration.hpp"

namespace oxa::persistence {
namespace {

// str.translate table of the characters a MySQL string literal needs escaped (the escaping
// PyMySQL's escape_string applies), made once.
PyObject* literal_escapes() {
    static PyObject* const table = [] {
        py::dict escapes;
        const std::pair<Py_UCS4, const char*> pairs[] = {
            {0, "\\0"}, {'\\', "\\\\"}, {'\n', "\\n"}, {'\r', "\\r"}, {'\032', "\\Z"}, {'"', "\\\""}, {'\'', "\\'"},
        };
        for (const auto& [character, escaped] : pairs) setitem(escapes, integer(character), text(escaped));
        return escapes.release().ptr();
    }();
    return table;
}

// "select ... '%s' limit 1" % id, with the id escaped so that it stays inside its quotes.
py::object instrument_query(py::handle instrument_id) {
    static PyObject* const query_template = checked(PyUnicode_InternFromString(
        "select * from t_Instrument t where t.InstrumentID='%s' limit 1")).release().ptr();
    py::object id_text = PyUnicode_Check(instrument_id.ptr()) ? py::reinterpret_borrow<py::object>(instrument_id)
                                                               : str(instrument_id);
    py::object escaped = checked(PyUnicode_Translate(id_text.ptr(), literal_escapes(), "strict"));
    py::object arguments = checked(PyTuple_Pack(1, escaped.ptr()));
    return checked(PyUnicode_Format(query_template, arguments.ptr()));
}

// The InstrumentField keywords, column 1 to column 31 of t_Instrument in order.
PyObject* field_names() {
    static PyObject* const fields = keyword_names({
        names.InstrumentID, names.ExchangeID, names.InstrumentName, names.ExchangeInstID,
        names.ProductID, names.ProductClass, names.DeliveryYear, names.DeliveryMonth,
        names.MaxMarketOrderVolume, names.MinMarketOrderVolume, names.MaxLimitOrderVolume,
        names.MinLimitOrderVolume, names.VolumeMultiple, names.PriceTick, names.CreateDate,
        names.OpenDate, names.ExpireDate, names.StartDelivDate, names.EndDelivDate,
        names.InstLifePhase, names.IsTrading, names.PositionType, names.PositionDateType,
        names.LongMarginRatio, names.ShortMarginRatio, names.MaxMarginSideAlgorithm,
        names.UnderlyingInstrID, names.StrikePrice, names.OptionsType, names.UnderlyingMultiple,
        names.CombinationType,
    });
    return fields;
}

// py_ApiStructure.InstrumentField(InstrumentID=row[1], ..., CombinationType=row[31])
py::object instrument_field(py::handle row) {
    py::object make = getattr(global(names.py_ApiStructure), names.InstrumentField);
    constexpr Py_ssize_t count = 31;
    py::object values[count];
    PyObject* arguments[count];
    for (Py_ssize_t column = 1; column <= count; ++column) {
        values[column - 1] = getitem(row, integer(column));
        arguments[column - 1] = values[column - 1].ptr();
    }
    return checked(PyObject_Vectorcall(make.ptr(), arguments, 0, field_names()));
}

}  // namespace

py::object ReqQryInstrument(py::handle self, py::handle pQryInstrument, py::handle) {
    static PyObject* const decode_keywords = keyword_names({names.encoding, names.errors});
    py::object instrument_id = call_method(getattr(pQryInstrument, names.InstrumentID), names.decode,
                                           {names.gb18030, names.ignore}, decode_keywords);
    py::object query = instrument_query(instrument_id);
    py::object results = call_method(self, names.ExecuteQuery, {query.ptr()});
    py::list retVal;
    for_each(results, [&](py::handle row) { retVal.append(instrument_field(row)); });
    return std::move(retVal);
}

}  // namespace oxa::persistence
