#include "handle_view.hpp"

#include "catalogue.hpp"
#include "read_only_session.hpp"

namespace zorvanai::custom_sql {

HandleView view_of(py::handle self) {
    const HandleConfig config = load_config(self);
    HandleView view;
    view.server = server_kind_name(config.kind);
    view.dialect = sqlglot_dialect(config.kind, config.dialect_name);
    view.schema = config.query_schema;
    view.statement_timeout = config.statement_timeout;
    ReadOnlySession session(config);
    view.usable_tables = usable_tables(config, list_tables(session, config));
    view.engine = config.engine;
    return view;
}

GuardContext guard_context(const HandleConfig& config) {
    return GuardContext{guard_dialect_for(sqlglot_dialect(config.kind, config.dialect_name)), config.query_schema};
}

}  // namespace zorvanai::custom_sql
