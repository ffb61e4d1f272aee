#include "persistence/instrument_query.hpp"

#include "interop/iteration.hpp"
#include "persistence/connection.hpp"

namespace oxa::persistence {
namespace {

// Whether the text holds a character that a MySQL string literal needs escaped: NUL,
// backslash, line feed, carriage return, Ctrl-Z, double or single quote.
bool needs_escaping(PyObject* text) {
    int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    for (Py_ssize_t i = 0, length = PyUnicode_GET_LENGTH(text); i < length; ++i) {
        switch (PyUnicode_READ(kind, data, i)) {
            case 0: case '\\': case '\n': case '\r': case '\032': case '"': case '\'':
                return true;
        }
    }
    return false;
}

// "select ... '%s' limit 1" % id. An ID with nothing to escape goes between the quotes as it
// is; any other is quoted by the driver on a connection of the engine's own, whose escaping
// follows the server's mode: with NO_BACKSLASH_ESCAPES a backslash is an ordinary character
// there and only quotes are doubled, where escaping them with backslashes would end the
// literal early.
py::object instrument_query(py::handle self, py::handle instrument_id) {
    static PyObject* const quoted_template = checked(PyUnicode_InternFromString(
        "select * from t_Instrument t where t.InstrumentID='%s' limit 1")).release().ptr();
    static PyObject* const bound_template = checked(PyUnicode_InternFromString(
        "select * from t_Instrument t where t.InstrumentID=%s limit 1")).release().ptr();
    py::object id_text = PyUnicode_Check(instrument_id.ptr()) ? py::reinterpret_borrow<py::object>(instrument_id)
                                                               : str(instrument_id);
    py::object arguments = checked(PyTuple_Pack(1, id_text.ptr()));
    if (!needs_escaping(id_text.ptr())) return checked(PyUnicode_Format(quoted_template, arguments.ptr()));
    py::object query;
    OwnConnection opened;
    using_connection(opened, [&] {
        opened.connection = call_method(self, names.connectDB);
        opened.cursor = call_method(opened.connection, names.cursor);
        query = call_method(opened.cursor, names.mogrify, {bound_template, arguments.ptr()});
    });
    return query;
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
    py::object query = instrument_query(self, instrument_id);
    py::object results = call_method(self, names.ExecuteQuery, {query.ptr()});
    py::list retVal;
    for_each(results, [&](py::handle row) { retVal.append(instrument_field(row)); });
    return retVal;
}

}  // namespace oxa::persistence
