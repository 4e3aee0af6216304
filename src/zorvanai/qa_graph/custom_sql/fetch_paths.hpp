// The ways rows are read. PostgreSQL (psycopg2) and MySQL/MariaDB
// (mysql-connector) first learn the result's columns without running the
// query, then run it wrapped so that the server cuts long values and counts
// the rows past the cap in the same pass. Other drivers stream the rows
// through SQLAlchemy and cut values as they arrive.
#pragma once

#include <pybind11/pybind11.h>

#include "handle_config.hpp"
#include "read_only_session.hpp"
#include "result_text.hpp"
#include "sql_guard.hpp"
#include "statement_text.hpp"

namespace zorvanai::custom_sql {
namespace py = pybind11;

struct RunPlan {
    const HandleConfig& config;
    const QueryText& text;
    const CheckedQuery& checked;
    const RenderOptions& render;
};

FetchedRows fetch_postgres(ReadOnlySession& session, const RunPlan& plan);
FetchedRows fetch_mysql(ReadOnlySession& session, const RunPlan& plan);
FetchedRows fetch_generic(ReadOnlySession& session, const RunPlan& plan);

}  // namespace zorvanai::custom_sql
