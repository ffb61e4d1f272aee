#include "strategy/settings_reload.hpp"

#include <sys/stat.h>

#include <cstring>
#include <memory>
#include <optional>
#include <utility>

#include "interop/compile.hpp"
#include "interop/except.hpp"
#include "interop/list_memo.hpp"
#include "strategy/file_watch.hpp"

namespace oxa::strategy {
namespace {

// The import system as the module body found it; strong references kept for the process.
// A null member turns the fast road off.
struct ImportMachinery {
    PyObject* reload = nullptr;              // importlib.reload, bound to the `reload` global
    PyObject* sys_dict = nullptr;            // where sys.modules, sys.path, sys.meta_path live
    PyObject* source_file_loader = nullptr;  // the loader class of ordinary source modules
    PyObject* module_spec = nullptr;
} machinery;

// What tells a source file's contents apart without reading them. The change time moves
// with every write, rename, chmod or chown, whatever the modification time is set to.
struct FileStamp {
    dev_t device;
    ino_t inode;
    off_t size;
    mode_t mode;
    timespec modified;
    timespec changed;
};

bool stamp_file(const char* path, FileStamp& stamp) {
    struct stat status;
    if (stat(path, &status) != 0) return false;
    stamp = {status.st_dev, status.st_ino, status.st_size, status.st_mode, status.st_mtim, status.st_ctim};
    return true;
}

bool same_time(const timespec& a, const timespec& b) { return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec; }

bool same_stamp(const FileStamp& a, const FileStamp& b) {
    return a.device == b.device && a.inode == b.inode && a.size == b.size && a.mode == b.mode &&
           same_time(a.modified, b.modified) && same_time(a.changed, b.changed);
}

// The whole second the bytecode cache records for a modification time: int(st_mtime) of
// the float os.stat gives.
long long bytecode_second(const timespec& time) {
    return static_cast<long long>(static_cast<double>(time.tv_sec) + time.tv_nsec * 1e-9);
}

// dict[key] or null; the keys used here are exact str, whose lookup cannot run Python code.
PyObject* borrowed(PyObject* dict, PyObject* key) {
    PyObject* value = PyDict_GetItemWithError(dict, key);
    if (!value && PyErr_Occurred()) throw_error();
    return value;
}

PyObject* sys_item(PyObject* name) { return borrowed(machinery.sys_dict, name); }

// importlib's table of the modules being reloaded, as reload reads it.
PyObject* reloading_table() {
    PyObject* table = borrowed(PyFunction_GET_GLOBALS(machinery.reload), names._RELOADING);
    return table && PyDict_CheckExact(table) ? table : nullptr;
}

// A list with its entries, copied into a tuple so that changes in place are seen.
struct ListState {
    py::object list, entries;

    static std::optional<ListState> of(PyObject* list) {
        if (!list || !PyList_CheckExact(list)) return std::nullopt;
        return ListState{py::reinterpret_borrow<py::object>(list), checked(PyList_AsTuple(list))};
    }

    // The same list holding the same entries (by identity: no Python code runs).
    bool holds(PyObject* current) const {
        if (current != list.ptr()) return false;
        Py_ssize_t size = PyList_GET_SIZE(current);
        if (size != PyTuple_GET_SIZE(entries.ptr())) return false;
        for (Py_ssize_t i = 0; i < size; ++i) {
            if (PyList_GET_ITEM(current, i) != PyTuple_GET_ITEM(entries.ptr(), i)) return false;
        }
        return true;
    }
};

// The settings module as a real reload last left it, and the code of its source file.
struct Snapshot {
    py::object module;
    // The attributes reload resets before executing the module, and their values.
    py::object spec, name, loader, package, origin, cached;
    py::object parent_name, parent;  // parent is None for a top-level module
    ListState search_path;           // parent.__path__, or sys.path for a top-level module
    ListState meta_path;
    py::object file;  // the source path in the file system encoding
    FileStamp stamp;
    py::object code;
    // Reports any change to the file or its path since before `stamp` was taken; null when
    // the file must be stamped on every tick.
    std::unique_ptr<FileWatch> watch;
};

// The last snapshot taken. Shared, so that a reload made by the module body while its code
// runs can replace it; the holder itself is left alone at exit.
std::shared_ptr<const Snapshot>& snapshot = *new std::shared_ptr<const Snapshot>();

enum class Finding {
    unchanged,
    // Another reload of the module is under way (in another thread, or further up this
    // one): reload returns at once without executing anything.
    being_reloaded,
    // The source changed, but not its size nor the whole second of its modification time,
    // the two things reload checks the cached bytecode against.
    edited_unseen_by_bytecode,
    doubtful,
};

// What a reload now would find compared with last time: the checks reload itself makes
// against sys.modules and importlib's reloading table, then the search that would find the
// module's spec, then the source file.
Finding compare(const Snapshot& s, PyObject* reload, PyObject* module) {
    if (reload != machinery.reload || module != s.module.ptr()) return Finding::doubtful;
    if (borrowed(PyModule_GetDict(module), names.__spec__) != s.spec.ptr()) return Finding::doubtful;
    PyObject* modules = sys_item(names.modules);
    if (!modules || !PyDict_CheckExact(modules) || borrowed(modules, s.name.ptr()) != module) {
        return Finding::doubtful;
    }
    PyObject* reloading = reloading_table();
    if (!reloading) return Finding::doubtful;
    if (borrowed(reloading, s.name.ptr())) return Finding::being_reloaded;
    PyObject* search_path = nullptr;
    if (s.parent.is_none()) {
        search_path = sys_item(names.path);
    } else if (borrowed(modules, s.parent_name.ptr()) == s.parent.ptr()) {
        search_path = borrowed(PyModule_GetDict(s.parent.ptr()), names.__path__);
    }
    if (!s.search_path.holds(search_path) || !s.meta_path.holds(sys_item(names.meta_path))) {
        return Finding::doubtful;
    }
    if (s.watch && s.watch->quiet()) return Finding::unchanged;
    FileStamp now;
    if (!stamp_file(PyBytes_AS_STRING(s.file.ptr()), now)) return Finding::doubtful;
    if (same_stamp(now, s.stamp)) return Finding::unchanged;
    if (now.size == s.stamp.size && bytecode_second(now.modified) == bytecode_second(s.stamp.modified)) {
        return Finding::edited_unseen_by_bytecode;
    }
    return Finding::doubtful;
}

// Makes `earlier` the __context__ of `later`, as an exception raised in a finally clause
// gets the one that was propagating.
void chain(const py::error_already_set& later, const py::error_already_set& earlier) {
    if (earlier.trace()) PyException_SetTraceback(earlier.value().ptr(), earlier.trace().ptr());
    PyException_SetContext(later.value().ptr(), Py_NewRef(earlier.value().ptr()));
}

// The last move below: the dictionary and the name moved (strong references, kept), and the
// dictionary stamped right after. A dictionary unchanged since still has that name as its
// last entry, and moving it again changes nothing.
struct LastMove {
    PyObject* modules = nullptr;
    PyObject* name = nullptr;
    DictStamp stamp;
} last_move;

// importlib's `module = sys.modules.pop(name); sys.modules[name] = module`.
void move_to_end_of_modules(PyObject* name) {
    py::object modules = py::reinterpret_borrow<py::object>(sys_item(names.modules));
    if (!modules) raise(PyExc_AttributeError, "module 'sys' has no attribute 'modules'");
    bool exact = PyDict_CheckExact(modules.ptr());
    if (exact && modules.ptr() == last_move.modules && name == last_move.name &&
        last_move.stamp.holds(modules.ptr())) {
        return;
    }
    py::object module = exact ? pop_item(modules.ptr(), name) : call_method(modules, names.pop, {name});
    setitem(modules, name, module);
    if (!exact) return;
    Py_XSETREF(last_move.modules, Py_NewRef(modules.ptr()));
    Py_XSETREF(last_move.name, Py_NewRef(name));
    last_move.stamp.take(modules.ptr());
}

// dict[key] = value; storing the value a key already holds changes nothing, so it is skipped.
void reset(PyObject* dict, PyObject* key, const py::object& value) {
    if (borrowed(dict, key) != value.ptr()) setitem(dict, key, value);
}

// What importlib's reload and _exec do with an unchanged spec: the module registered as
// being reloaded, its import attributes reset, its code executed by exec in its own
// dictionary; then, whatever happened, the module moved to the end of sys.modules and
// taken off the reloading table, an error there having the propagating one as context.
// Returns false, having done nothing, when the reloading table is not there.
bool execute(const Snapshot& s) {
    PyObject* module = s.module.ptr();
    PyObject* name = s.name.ptr();
    py::object reloading = py::reinterpret_borrow<py::object>(reloading_table());
    if (!reloading) return false;
    setitem(reloading, name, module);
    std::optional<py::error_already_set> failure;
    try {
        PyObject* dict = PyModule_GetDict(module);
        reset(dict, names.__spec__, s.spec);
        reset(dict, names.__name__, s.name);
        reset(dict, names.__loader__, s.loader);
        reset(dict, names.__package__, s.package);
        reset(dict, names.__spec__, s.spec);
        reset(dict, names.__file__, s.origin);
#if PY_VERSION_HEX < 0x030F0000
        // Before Python 3.15, reload also sets __cached__.
        if (!s.cached.is_none()) reset(dict, names.__cached__, s.cached);
#endif
        int present = PyDict_Contains(dict, names.__builtins__);
        if (present == 0) present = PyDict_SetItem(dict, names.__builtins__, PyEval_GetBuiltins());
        if (present < 0) throw_error();
        if (PySys_Audit("exec", "O", s.code.ptr()) < 0) throw_error();
        checked(PyEval_EvalCode(s.code.ptr(), dict, dict));
    } catch (py::error_already_set& error) {
        failure.emplace(std::move(error));
    }
    try {
        move_to_end_of_modules(name);
    } catch (py::error_already_set& error) {
        if (failure) chain(error, *failure);
        failure.emplace(std::move(error));
    }
    // `del _RELOADING[name]` under `except KeyError: pass`; a str key can raise nothing else.
    if (PyDict_DelItem(reloading.ptr(), name) < 0) PyErr_Clear();
    if (failure) throw std::move(*failure);
    return true;
}

// The file's bytes as the source loader reads them: through io.open_code.
py::object read_source(py::handle path) {
    py::object file = checked(PyFile_OpenCodeObject(path.ptr()));
    py::object data;
    try {
        data = call_method(file, names.read);
    } catch (py::error_already_set&) {
        call_method(file, names.close);
        throw;
    }
    call_method(file, names.close);
    return data;
}

// The code the source loader compiles from `data`: compile(data, path, "exec",
// dont_inherit=True), the coding declaration of the bytes honoured.
py::object compile_source(py::handle data, py::handle path) {
    if (!PyBytes_CheckExact(data.ptr())) return py::none();
    const char* source = PyBytes_AS_STRING(data.ptr());
    if (std::strlen(source) != static_cast<size_t>(PyBytes_GET_SIZE(data.ptr()))) return py::none();
    PyCompilerFlags flags;
    flags.cf_flags = PyCF_SOURCE_IS_UTF8;
    flags.cf_feature_version = PY_MINOR_VERSION;
    return compile_for_reuse(source, path.ptr(), Py_file_input, flags);
}

// The path an ordinary source loader reads, in the file system encoding; null when it is not
// a str or cannot be passed to the C library.
py::object source_file(py::handle loader) {
    py::object path = getattr(loader, names.path);
    if (!PyUnicode_CheckExact(path.ptr())) return {};
    py::object file = checked(PyUnicode_EncodeFSDefault(path.ptr()));
    if (std::strlen(PyBytes_AS_STRING(file.ptr())) != static_cast<size_t>(PyBytes_GET_SIZE(file.ptr()))) return {};
    return file;
}

struct SourceStamp {
    py::object file;
    FileStamp stamp;
};

// The stamp of the source file of `module` as it stands, taken before a real reload reads it.
std::optional<SourceStamp> stamp_source(py::handle module) {
    std::optional<SourceStamp> taken;
    if (!machinery.source_file_loader || !PyModule_CheckExact(module.ptr())) return taken;
    try_except(
        [&] {
            PyObject* spec = borrowed(PyModule_GetDict(module.ptr()), names.__spec__);
            if (!spec || Py_TYPE(spec) != reinterpret_cast<PyTypeObject*>(machinery.module_spec)) return;
            py::object loader = getattr(spec, names.loader);
            if (Py_TYPE(loader.ptr()) != reinterpret_cast<PyTypeObject*>(machinery.source_file_loader)) return;
            SourceStamp source{source_file(loader), {}};
            if (source.file && stamp_file(PyBytes_AS_STRING(source.file.ptr()), source.stamp)) {
                taken = std::move(source);
            }
        },
        [](const py::error_already_set&) {});
    return taken;
}

// After a real reload of `module`: what the fast road needs, when the module is an ordinary
// source module (not a package) that reload found through the path finders, and its source
// file did not change while it was read. `before`, when given, is the stamp taken before the
// reload read the file: the code is kept only when it was compiled from that same text.
std::optional<Snapshot> snapshot_of(PyObject* module, const SourceStamp* before) {
    if (!machinery.source_file_loader || !PyModule_CheckExact(module)) return std::nullopt;
    Snapshot s;
    s.module = py::reinterpret_borrow<py::object>(module);
    PyObject* spec = borrowed(PyModule_GetDict(module), names.__spec__);
    if (!spec || Py_TYPE(spec) != reinterpret_cast<PyTypeObject*>(machinery.module_spec)) return std::nullopt;
    s.spec = py::reinterpret_borrow<py::object>(spec);
    s.name = getattr(spec, names.name);
    s.loader = getattr(spec, names.loader);
    if (!PyUnicode_CheckExact(s.name.ptr()) ||
        Py_TYPE(s.loader.ptr()) != reinterpret_cast<PyTypeObject*>(machinery.source_file_loader) ||
        !getattr(spec, names.submodule_search_locations).is_none()) {
        return std::nullopt;
    }
    int has_location = PyObject_IsTrue(getattr(spec, names.has_location).ptr());
    if (has_location < 0) throw_error();
    if (!has_location) return std::nullopt;
    s.package = getattr(spec, names.parent);
    s.origin = getattr(spec, names.origin);
    s.cached = getattr(spec, names.cached);

    PyObject* modules = sys_item(names.modules);
    if (!modules || !PyDict_CheckExact(modules) || borrowed(modules, s.name.ptr()) != module) return std::nullopt;
    py::object parts = call_method(s.name, names.rpartition, {names.dot});
    s.parent_name = py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(parts.ptr(), 0));
    std::optional<ListState> search_path;
    if (PyUnicode_GET_LENGTH(s.parent_name.ptr()) == 0) {
        s.parent = py::none();
        search_path = ListState::of(sys_item(names.path));
    } else {
        PyObject* parent = borrowed(modules, s.parent_name.ptr());
        if (!parent || !PyModule_CheckExact(parent)) return std::nullopt;
        s.parent = py::reinterpret_borrow<py::object>(parent);
        search_path = ListState::of(borrowed(PyModule_GetDict(parent), names.__path__));
    }
    std::optional<ListState> meta_path = ListState::of(sys_item(names.meta_path));
    if (!search_path || !meta_path) return std::nullopt;
    s.search_path = std::move(*search_path);
    s.meta_path = std::move(*meta_path);

    s.file = source_file(s.loader);
    if (!s.file) return std::nullopt;
    const char* file = PyBytes_AS_STRING(s.file.ptr());
    // Watching from before the stamp: a change after it is reported.
    s.watch = FileWatch::of(file);
    FileStamp after;
    if (!stamp_file(file, s.stamp)) return std::nullopt;
    if (before && (std::strcmp(PyBytes_AS_STRING(before->file.ptr()), file) != 0 || !same_stamp(before->stamp, s.stamp))) {
        return std::nullopt;
    }
    py::object path = getattr(s.loader, names.path);
    s.code = compile_source(read_source(path), path);
    if (s.code.is_none() || !stamp_file(file, after) || !same_stamp(s.stamp, after)) {
        return std::nullopt;
    }
    return s;
}

// Takes a snapshot of `module` as it stands; null when that fails, leaving the next tick to
// the real reload again.
std::shared_ptr<const Snapshot> take_snapshot(py::handle module, const SourceStamp* before) {
    try_except(
        [&] {
            std::optional<Snapshot> taken = snapshot_of(module.ptr(), before);
            if (taken) snapshot = std::make_shared<const Snapshot>(std::move(*taken));
        },
        [](const py::error_already_set&) {});
    return snapshot;
}

// A strong reference to `module_name.attribute` when the module is loaded, else null.
PyObject* loaded_attribute(PyObject* module_name, PyObject* attribute) {
    PyObject* module = PyImport_GetModule(module_name);
    PyObject* value = module ? PyObject_GetAttr(module, attribute) : nullptr;
    Py_XDECREF(module);
    PyErr_Clear();
    return value;
}

// The thread whose tick is re-executing the settings module, 0 when none is. A real reload
// takes the module out of sys.modules for a moment while it finishes, and any reload another
// thread starts in that moment fails with ImportError (or KeyError): so while one thread's tick
// reloads, the others leave it to finish, as they would meet it in importlib's reloading table.
// Set and read under the interpreter lock.
unsigned long reloading_thread = 0;

// Holds the settings module's re-execution for this thread; `taken` is false while another
// thread holds it. The same thread re-entering (the module body ticking) keeps its hold.
class ReloadTurn {
public:
    ReloadTurn() : self_(PyThread_get_thread_ident()) {
        if (reloading_thread == 0) {
            reloading_thread = self_;
            owner_ = true;
        }
    }
    ~ReloadTurn() {
        if (owner_) reloading_thread = 0;
    }
    bool taken() const { return reloading_thread == self_; }

private:
    unsigned long self_;
    bool owner_ = false;
};

}  // namespace

void remember_import_machinery() {
    read_file_watch_setting();
    PyObject* reload = PyDict_GetItemWithError(module_dict(), names.reload);
    machinery.reload = reload && PyFunction_Check(reload) ? Py_NewRef(reload) : nullptr;
    PyObject* sys = PyImport_GetModule(names.sys);
    machinery.sys_dict = sys ? Py_NewRef(PyModule_GetDict(sys)) : nullptr;
    Py_XDECREF(sys);
    machinery.source_file_loader = loaded_attribute(names._frozen_importlib_external, names.SourceFileLoader);
    machinery.module_spec = loaded_attribute(names._frozen_importlib, names.ModuleSpec);
    PyErr_Clear();
    if (!machinery.reload || !machinery.sys_dict || !machinery.module_spec) Py_CLEAR(machinery.source_file_loader);
}

void reload_settings(py::handle reload, py::handle settings, bool only_when_changed) {
    ReloadTurn turn;
    if (!turn.taken()) return;
    std::shared_ptr<const Snapshot> held = snapshot;  // the module body may replace it
    Finding finding = held ? compare(*held, reload.ptr(), settings.ptr()) : Finding::doubtful;
    if (finding == Finding::being_reloaded) return;
    if (finding == Finding::unchanged && (only_when_changed || execute(*held))) return;
    snapshot.reset();
    if (finding == Finding::edited_unseen_by_bytecode) {
        // reload would execute the bytecode cached for the previous text and miss the edit
        // (until the next one); the new text is compiled here and executed as reload would.
        std::shared_ptr<const Snapshot> edited = take_snapshot(settings, nullptr);
        if (edited && execute(*edited)) return;
        snapshot.reset();
    }
    if (reload.ptr() != machinery.reload) {
        call(reload, {settings.ptr()});
        return;
    }
    // Stamped before reload reads the file, so that an edit saved while the module runs
    // leaves the snapshot behind and is executed on the next tick.
    std::optional<SourceStamp> before = stamp_source(settings);
    call(reload, {settings.ptr()});
    if (before) take_snapshot(settings, &*before);
}

}  // namespace oxa::strategy
