#include "zorvan/errors.hpp"

#include "zorvan/interpreter_store.hpp"
#include "zorvan/pyutil.hpp"

namespace zorvan {

namespace {

constexpr const char* kErrorsModule = "zorvanai.errors";

struct ErrorShape {
    ErrorKind kind;
    const char* name;
    ErrorKind parent;          // the package parent (Package for the root's children)
    const char* other_module;  // a second base from another library, or nullptr
    const char* other_name;
    const char* doc;
};

constexpr ErrorShape kShapes[] = {
    {ErrorKind::Package, "ZorvanError", ErrorKind::Package, "builtins", "Exception",
     "Base of every exception that the package raises of its own."},
    {ErrorKind::Configuration, "ConfigurationError", ErrorKind::Package, "builtins", "RuntimeError",
     "Something the package needs is not configured; the message says what to set."},
    {ErrorKind::Database, "DatabaseError", ErrorKind::Package, nullptr, nullptr,
     "The database could not be reached or could not answer; the message says what failed."},
    {ErrorKind::RefusedQuery, "ReadOnlyQueryError", ErrorKind::Database, "sqlalchemy.exc", "SQLAlchemyError",
     R"doc(A query refused before it reached the database.

A SQLAlchemyError, so that callers that record database errors record it too.
Its text says what was refused and what to do instead; ``refused`` names what
was refused ("a call to pg_sleep()"), ``statement`` is the text as given.)doc"},
    {ErrorKind::PrivilegedLogin, "PrivilegedLoginError", ErrorKind::Database, "sqlalchemy.exc", "SQLAlchemyError",
     R"(A database login refused in strict mode because it may do more than read.

Raised when a handle is made with strict=True or ZORVAN_DB_STRICT=1 and the
login is a superuser, root, or may write data, files or run programs.)"},
    {ErrorKind::ModelService, "ModelServiceError", ErrorKind::Package, "openai", "OpenAIError",
     R"(A chat model's endpoint failed or answered with something other than a chat reply.

An HTML page, for example; the message names the address and shows what came back.)"},
    {ErrorKind::VendorService, "VendorServiceError", ErrorKind::Package, "builtins", "RuntimeError",
     "The vendor service could not be reached or gave an unusable answer; the message names the address."},
    {ErrorKind::Script, "ScriptError", ErrorKind::Package, nullptr, nullptr,
     R"(Code run in a Sandbox failed.

The message is the worker's "{type}: {message}" text, built from the real exception
("NameError: name 'df' is not defined"), or names the limit the code broke and the
setting that changes it.)"},
    {ErrorKind::Installation, "InstallationError", ErrorKind::Package, "builtins", "RuntimeError",
     R"(Installer runs that failed.

The message reads "package installer failed for " followed by one entry per
failed run, separated by ", ": the package name and, in parentheses, "exit
status N", "killed by signal N" or "timed out after N seconds". `failures`
lists the same runs as (package, exit status) pairs, the status None for a run
stopped at its time limit.)"},
};

const ErrorShape& shape_of(ErrorKind kind) {
    for (const ErrorShape& shape : kShapes) {
        if (shape.kind == kind) return shape;
    }
    throw std::logic_error("unknown error kind");
}

py::object make_class(const ErrorShape& shape) {
    py::list bases;
    if (shape.kind != ErrorKind::Package) bases.append(error_class(shape.parent));
    if (shape.other_module != nullptr) bases.append(import_attr(shape.other_module, shape.other_name));
    py::dict ns;
    ns["__module__"] = py::str(kErrorsModule);
    ns["__qualname__"] = py::str(shape.name);
    ns["__doc__"] = py::str(shape.doc);
    if (shape.kind == ErrorKind::RefusedQuery) {
        ns["refused"] = py::none();
        ns["statement"] = py::none();
    }
    if (shape.kind == ErrorKind::Installation) ns["failures"] = py::tuple();
    py::tuple base_tuple(bases);
    return py::type::of(base_tuple[0])(py::str(shape.name), base_tuple, ns);
}

}  // namespace

const char* error_name(ErrorKind kind) {
    return shape_of(kind).name;
}

py::object error_class(ErrorKind kind) {
    const ErrorShape& shape = shape_of(kind);
    const std::string key = std::string("errors.") + shape.name;
    return kept(key.c_str(), [&shape] { return make_class(shape); });
}

void raise_error(ErrorKind kind, const std::string& message) {
    raise_error(error_class(kind), message);
}

bool is_error(const py::error_already_set& error, ErrorKind kind) {
    return error.matches(error_class(kind));
}

}  // namespace zorvan
