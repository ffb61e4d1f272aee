#include "persistence/writer.hpp"

#include "engine/construction.hpp"
#include "interop/except.hpp"
#include "interop/iteration.hpp"
#include "persistence/connection.hpp"
#include "persistence/dead_letters.hpp"
#include "persistence/journal.hpp"

namespace oxa::persistence {
namespace {

constexpr int max_cycles = 5;

// One attempt: its own connection, all rows in one executemany, committed, then closed.
void write_rows(py::handle self, py::handle szSQL, py::handle listVal) {
    OwnConnection opened;
    using_connection(opened, [&] {
        opened.connection = call_method(self, names.connectDB);
        opened.cursor = call_method(opened.connection, names.cursor);
        call_method(opened.cursor, names.executemany, {szSQL.ptr(), listVal.ptr()});
        call_method(opened.connection, names.commit);
    });
}

}  // namespace

py::object dict2DB(py::handle self, py::handle table_name, py::handle val_dict) {
    try_except_log(
        [&] {
            print(val_dict);
            py::list l_val_list;
            py::object col_names = py::reinterpret_borrow<py::object>(names.empty);
            py::object bind_name = col_names;
            bool first = true;
            for_each_item(val_dict, [&](py::handle k, py::handle v) {
                if (!first) append(col_names, names.comma);
                append(col_names, k);
                if (!first) append(bind_name, names.comma);
                append(bind_name, names.placeholder);
                l_val_list.append(v);
                first = false;
            });
            py::object l_sql = add(names.insert_into, table_name);
            l_sql = add(add(add(add(add(l_sql, names.open_paren), col_names), names.values_clause), bind_name),
                        names.closing_parenthesis);
            py::list l_rows;
            l_rows.append(checked(PyList_AsTuple(l_val_list.ptr())));
            call_method(self, names.SQL2DB, {l_sql.ptr(), l_rows.ptr()});
            print(names.ok);
            print(l_sql);
            print(l_rows);
        },
        "dict2DB");
    return py::none();
}

py::object SQL2DB(py::handle self, py::handle szSQL, py::handle listVal) {
    for (int tryTimes = 1;; ++tryTimes) {
        bool finished = false;
        try_except(
            [&] {
                try_except(
                    [&] {
                        if (engine::switch_on(self, names.upload)) {
                            if (engine::switch_on(self, names.cloud_debug)) {
                                log(names.debug, szSQL);
                                log(names.debug, str(listVal));
                            }
                            if (!engine::optional_switch_on(self, names.async_writes) || !journal_takes(self, szSQL, listVal)) {
                                write_rows(self, szSQL, listVal);
                            }
                        }
                        finished = true;
                    },
                    [&](const py::error_already_set& err1) {
                        log_error(add(names.sql_failed, szSQL));
                        print(err1.value());
                        print(listVal);
                        write_rows(self, szSQL, listVal);
                        finished = true;
                    });
            },
            [&](const py::error_already_set& err2) {
                log_error(add(names.sql_failed_again, szSQL));
                print(err2.value());
                print(listVal);
            });
        if (finished) return py::none();
        if (tryTimes >= max_cycles) {
            keep_dead_letter(szSQL, listVal);
            return py::none();
        }
    }
}

py::object engine_ExecuteQuery(py::handle self, py::handle i_strSQL) {
    py::object results = py::tuple();
    OwnConnection opened;
    using_connection(opened, [&] {
        // Connecting and the cursor are outside the handler: their failures reach the caller.
        opened.connection = call_method(self, names.connectDB);
        opened.cursor = call_method(opened.connection, names.cursor);
        try_except_log([&] { run_query(opened.cursor, i_strSQL, results); }, "ExecuteQuery");
    });
    return results;
}

}  // namespace oxa::persistence
