// The records that the loaders return: plain attribute holders whose repr
// never shows a password or key.
#include <utility>
#include <vector>

#include "settings.hpp"
#include "zorvan/python_names.hpp"
#include "zorvan/pyutil.hpp"
#include "zorvan/signed.hpp"

namespace zorvanai::settings {

namespace {

py::object plain_record(const char* name, const std::string& module_name, const std::string& doc,
                        std::vector<const char*> fields, std::vector<const char*> secrets) {
    zorvan::ClassBuilder builder(name, module_name, zorvan::imported(zorvan::dep::builtins_object));
    builder.doc(doc).method(
        "__repr__", "(self)", "The fields, with passwords and keys masked.",
        [name, fields, secrets](py::object self) {
            std::string text = std::string(name) + "(";
            bool first = true;
            for (const char* field : fields) {
                py::object value = py::getattr(self, field, py::none());
                bool secret = false;
                for (const char* hidden : secrets) secret = secret || std::string(hidden) == field;
                text += std::string(first ? "" : ", ") + field + "=" +
                        (secret && !value.is_none() ? std::string("'***'") : std::string(py::repr(value)));
                first = false;
            }
            return text + ")";
        },
        py::arg("self"));
    add_equality(builder);
    return builder.build();
}

}  // namespace

void add_equality(zorvan::ClassBuilder& builder) {
    builder
        .method(
            "__eq__", "(self, other)",
            R"(Equal when the other record is of the same class with the same fields.

Args:
    other: any object.

Returns:
    True or False; NotImplemented for another class.)",
            [](py::object self, py::object other) -> py::object {
                if (!py::type::of(self).is(py::type::of(other))) {
                    return py::reinterpret_borrow<py::object>(Py_NotImplemented);
                }
                return py::bool_(self.attr("__dict__").equal(other.attr("__dict__")));
            },
            py::arg("self"), py::arg("other"))
        .attr("__hash__", py::none());
}

py::object make_model_settings_class(const std::string& module_name) {
    return plain_record("ModelSettings", module_name,
                        R"(Where the chat models come from, as load_model_settings found it.

Attributes:
    provider: "vendor" (the vendor service lists the Azure deployments),
        "azure" (Azure OpenAI directly) or "openai" (OpenAI or a compatible server).
    light: the settings record of the model for every step but SQL writing
        (None for the vendor, whose list is read when the assistant is created).
    strong: the settings record of the SQL-writing model (None for the vendor).
    pandas: the settings record of the script-writing model when ZORVAN_PANDAS_MODEL
        names one, else None (the light model writes the scripts).
    prices: {model: {"input": USD, "output": USD}} per million tokens, from
        ZORVAN_MODEL_PRICES and model_prices=; they price the usage ahead of the
        built-in table.)",
                        {"provider", "light", "strong", "pandas", "prices"}, {});
}

py::object make_loaded_settings_class(const std::string& module_name) {
    return plain_record("Settings", module_name,
                        R"(Every setting of a front end, as load_settings read it.

Attributes:
    engine: "PostgreSQL", "MySQL", "MsSQL" or "SQLite" ("" without a database).
    db_name: the database name, or the file of an SQLite database.
    db_user, db_password, db_host: the login and server ("" for SQLite).
    db_port: the port, an int (0 for SQLite).
    api_key: the vendor account key (ZORVAN_API_KEY), or None.
    media_dir: where charts are saved (ZORVAN_MEDIA_DIR, default "media").
    quiet: ZORVAN_QUIET as a bool.
    models: the ModelSettings (None when not asked for).)",
                        {"engine", "db_name", "db_user", "db_password", "db_host", "db_port", "api_key", "media_dir",
                         "quiet", "models"},
                        {"db_password", "api_key"});
}

}  // namespace zorvanai::settings
