#include "persistence/connection.hpp"

#include "interop/except.hpp"
#include "shell/config_errors.hpp"

namespace oxa::persistence {
namespace {

// The six settings of section CLOUD; None until read, and all None again after a failed read.
struct Settings {
    py::object type = py::none();
    py::object server = py::none();
    py::object user = py::none();
    py::object password = py::none();
    py::object name = py::none();
    py::object port = py::none();
};

// Reads the settings in their specified order; `parser()` yields the parser for each read,
// as `config.get(...)` or `self.config.get(...)` evaluates it.
template <class Parser>
void read_settings(Parser&& parser, Settings& settings) {
    auto read = [&](PyObject* key) { return call_method(parser(), names.get, {names.CLOUD, key}); };
    settings.type = read(names.OXA_DB_TYPE);
    settings.server = read(names.OXA_DB_SERVER);
    settings.user = read(names.OXA_DB_USER);
    settings.password = read(names.OXA_DB_PWD);
    settings.name = read(names.OXA_DB_NAME);
    settings.port = checked(PyNumber_Long(read(names.OXA_DB_PORT).ptr()));
}

py::object nvl(py::handle value, py::handle fallback) {
    return call(global(names.nvl), {value.ptr(), fallback.ptr()});
}

// The values engine_connectDB connects with, the fallbacks applied.
struct Target {
    py::object server, user, password, name, port;
};

Target target_of(const Settings& settings) {
    nvl(settings.type, names.mysql);  // read and defaulted like the others, never passed on
    return {nvl(settings.server, names.loopback), nvl(settings.user, names.sim_test),
            nvl(settings.password, names.default_password), nvl(settings.name, names.sim_test),
            nvl(settings.port, integer(3306))};
}

Settings engine_settings(py::handle self) {
    Settings settings;
    try_except([&] { read_settings([&] { return getattr(self, names.config); }, settings); },
               [&](const py::error_already_set&) { settings = Settings{}; });
    return settings;
}

// pymysql.Connect with the fallbacks applied. The installed PyMySQL deprecates `passwd` and
// `db` with a warning, so the same values go under their current names. The character set is
// utf8mb4: the server's utf8 is the 3-byte subset and refuses characters beyond the basic
// multilingual plane, which GB18030 text can hold.
py::object connect(const Settings& settings) {
    Target target = target_of(settings);
    static PyObject* keywords =
        keyword_names({names.host, names.user, names.password, names.database, names.charset, names.port});
    py::object connect = getattr(global(names.pymysql), names.Connect);
    return call(connect, {target.server.ptr(), target.user.ptr(), target.password.ptr(), target.name.ptr(),
                          names.utf8mb4, target.port.ptr()},
                keywords);
}

void close_quietly(py::object& resource) {
    if (!resource) return;
    py::object closing = std::move(resource);
    try_except([&] { call_method(closing, names.close); }, [](const py::error_already_set&) {});
}

}  // namespace

void OwnConnection::close() {
    close_quietly(cursor);
    close_quietly(connection);
}

void run_query(py::handle cursor, py::handle sql, py::object& results) {
    Py_ssize_t length = PyObject_Size(sql.ptr());
    if (length < 0) throw_error();
    if (length == 0) return;
    py::object cursor_type = getattr(getattr(global(names.pymysql), names.cursors), names.Cursor);
    if (compare(reinterpret_cast<PyObject*>(Py_TYPE(cursor.ptr())), cursor_type, Py_NE)) return;
    call_method(cursor, names.execute, {sql.ptr()});
    results = call_method(cursor, names.fetchall);
}

py::object connectDB() {
    Settings settings;
    try_except(
        [&] {
            py::object config = call_method(global(names.configparser), names.ConfigParser);
            static PyObject* encoding = keyword_names({names.encoding});
            call_method(config, names.read, {names.cfg_oxa_ini, names.utf_8}, encoding);
            read_settings([&] { return config; }, settings);
        },
        [&](const py::error_already_set& error) {
            shell::hide_config_text(error);
            log_error("get db config");
            settings = Settings{};
        });
    return connect(settings);
}

py::object engine_connectDB(py::handle self) { return connect(engine_settings(self)); }

std::string database_of(py::handle self) {
    Target target = target_of(engine_settings(self));
    std::string key;
    for (PyObject* part : {target.user.ptr(), target.server.ptr(), target.port.ptr(), target.name.ptr()}) {
        py::object value = str(part);
        const char* utf8 = PyUnicode_AsUTF8(value.ptr());
        if (!utf8) throw_error();
        key += utf8 + std::string("\n");
    }
    return key;
}

py::object ExecuteQuery(py::handle i_strSQL) {
    py::object results = py::tuple();
    OwnConnection opened;
    using_connection(opened, [&] {
        try_except_log(
            [&] {
                opened.connection = call(global(names.connectDB), {});
                opened.cursor = call_method(opened.connection, names.cursor);
                run_query(opened.cursor, i_strSQL, results);
            },
            "ExecuteQuery");
    });
    return results;
}

}  // namespace oxa::persistence
