#include "store.hpp"

#include <string>

#include "zorvan/python_names.hpp"

namespace zorvanai::context {

namespace {

constexpr const char* kContextKey = "context_prompt";
constexpr const char* kInstructionsKey = "custom_instructions";

py::module_ os_module() {
    return zorvan::imported_module(zorvan::dep::os_module);
}

// Set operations of several threads are serialised, so that the record
// written is always the result of whole operations. A Python RLock releases
// the GIL while waiting and lets instruct_agent hold it across both sets.
class StoreLock {
public:
    explicit StoreLock(py::module_ m) : lock_(m.attr("_store_lock")) { lock_.attr("acquire")(); }
    ~StoreLock() {
        try {
            lock_.attr("release")();
        } catch (...) {
            // Only fails at interpreter shutdown; nothing left to protect.
        }
    }
    StoreLock(const StoreLock&) = delete;
    StoreLock& operator=(const StoreLock&) = delete;

private:
    py::object lock_;
};

// Writes `text` to `path` through a temporary file in the same directory
// and a rename, so that a crash or a full disk never leaves a truncated
// file behind: readers see the old record or the new one.
void replace_file(const py::object& path, const std::string& text) {
    py::module_ os = os_module();
    py::object os_path = os.attr("path");
    py::object target = os_path.attr("abspath")(path);
    py::object directory = os_path.attr("dirname")(target);
    // The temporary file is made with mode 0666, from which the kernel takes
    // the process umask away, as open(path, "w") would. Reading the umask
    // would mean setting it, which changes it for every thread meanwhile.
    const int flags = os.attr("O_WRONLY").cast<int>() | os.attr("O_CREAT").cast<int>() | os.attr("O_EXCL").cast<int>() |
                      os.attr("O_CLOEXEC").cast<int>();
    py::object fd = py::none();
    py::object temp_path = py::none();
    py::object secrets = zorvan::imported_module(zorvan::dep::secrets_module);
    for (int attempt = 0; fd.is_none(); ++attempt) {
        temp_path =
            os_path.attr("join")(directory, py::str(".context.json.") + secrets.attr("token_hex")(8) + py::str(".tmp"));
        try {
            fd = os.attr("open")(temp_path, flags, 0666);
        } catch (py::error_already_set& error) {
            if (!error.matches(PyExc_FileExistsError) || attempt >= 100) throw;
        }
    }
    try {
        // An existing file keeps its permissions.
        const bool replacing = os_path.attr("exists")(target).cast<bool>();
        const int mode =
            replacing ? zorvan::imported(zorvan::dep::stat_S_IMODE)(os.attr("stat")(target).attr("st_mode")).cast<int>()
                      : 0;
        py::object file = zorvan::imported_module(zorvan::dep::builtins_module)
                              .attr("open")(fd, "w", py::arg("encoding") = "utf-8", py::arg("newline") = "");
        try {
            file.attr("write")(text);
            file.attr("flush")();
            os.attr("fsync")(file.attr("fileno")());
        } catch (...) {
            file.attr("close")();
            throw;
        }
        file.attr("close")();
        if (replacing) os.attr("chmod")(temp_path, mode);
        os.attr("replace")(temp_path, target);
    } catch (...) {
        try {
            if (os_path.attr("exists")(temp_path).cast<bool>()) os.attr("unlink")(temp_path);
        } catch (py::error_already_set&) {
            // The original error is the one worth reporting.
        }
        throw;
    }
}

// The JSON text that json.dump(record, file) would write with its defaults.
std::string serialise(const py::object& record) {
    return zorvan::imported(zorvan::dep::json_dumps)(record).cast<std::string>();
}

void set_entry(py::module_ m, const char* module_name, const char* key, const py::object& value) {
    // A value JSON cannot hold is refused before anything changes.
    zorvan::imported(zorvan::dep::json_dumps)(value);
    StoreLock lock(m);
    m.attr(module_name) = value;
    py::object values = m.attr("values");
    values[py::str(key)] = value;
    write_values(m, values);
}

}  // namespace

void load(py::module_ m) {
    m.attr("FILE_PATH") = py::str("context.json");
    py::dict defaults;
    defaults[kContextKey] = py::str("");
    defaults[kInstructionsKey] = py::str("");
    m.attr("default_values") = defaults;
    m.attr("_store_lock") = zorvan::imported(zorvan::dep::threading_RLock)();
    py::object values = read_values(m);
    m.attr("values") = values;
    m.attr("context_prompt") = values[py::str(kContextKey)];
    m.attr("custom_instructions") = values[py::str(kInstructionsKey)];
}

py::object read_values(py::module_ m) {
    py::object path = m.attr("FILE_PATH");
    if (os_module().attr("path").attr("exists")(path).cast<bool>()) {
        py::object file = zorvan::imported(zorvan::dep::builtins_open)(path, "r", py::arg("encoding") = "utf-8");
        py::object parsed;
        try {
            parsed = zorvan::imported(zorvan::dep::json_load)(file);
        } catch (...) {
            file.attr("close")();
            throw;
        }
        file.attr("close")();
        return parsed;
    }
    // A copy, so that no holder of the result can change the defaults.
    return m.attr("default_values").attr("copy")();
}

void write_values(py::module_ m, py::object values) {
    StoreLock lock(m);
    replace_file(m.attr("FILE_PATH"), serialise(values));
}

void set_context(py::module_ m, py::object new_context) {
    set_entry(m, kContextKey, kContextKey, new_context);
}

void set_instructions(py::module_ m, py::object new_instructions) {
    set_entry(m, kInstructionsKey, kInstructionsKey, new_instructions);
}

void instruct_agent(py::module_ m, py::object context, py::object instructions) {
    StoreLock lock(m);
    set_context(m, context);
    set_instructions(m, instructions);
}

py::dict check_instructions(py::module_ m) {
    py::dict record;
    record[kContextKey] = m.attr(kContextKey);
    record[kInstructionsKey] = m.attr(kInstructionsKey);
    return record;
}

}  // namespace zorvanai::context
