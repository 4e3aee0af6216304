"""The relevant-table picker's shortlist on databases with more tables than it offers."""

from __future__ import annotations

import inspect

import pytest
from sqlalchemy import event

from zorvanai.function_calling.base import RelevantTablePicker
from zorvanai.qa_graph.custom_sql import CustomSQLDatabase

TOOL = "select_relevant_tables"
QUESTION = "Which customers placed orders last week?"


@pytest.fixture(scope="module")
def db(scratch_db):
    int_type, text = "INTEGER", "VARCHAR(40)"
    scratch_db.load_table("customers", {"id": f"{int_type} PRIMARY KEY", "full_name": text})
    scratch_db.load_table("orders", {"id": f"{int_type} PRIMARY KEY", "customer_id": int_type, "placed_on": "DATE"})
    scratch_db.load_table("dispatch_lines", {"id": f"{int_type} PRIMARY KEY", "ref": int_type, "qty": int_type})
    scratch_db.load_table("products", {"id": f"{int_type} PRIMARY KEY", "title": text, "supplier_id": int_type})
    scratch_db.load_table("suppliers", {"id": f"{int_type} PRIMARY KEY", "company": text})
    scratch_db.load_table("warehouses", {"id": f"{int_type} PRIMARY KEY", "city": text})
    scratch_db.load_table("employees", {"id": f"{int_type} PRIMARY KEY", "full_name": text})
    scratch_db.load_table("payroll_runs", {"id": f"{int_type} PRIMARY KEY", "paid_on": "DATE"})
    q = scratch_db.quote_ident
    scratch_db.executescript([
        f"ALTER TABLE orders ADD FOREIGN KEY ({q('customer_id')}) REFERENCES customers (id)",
        f"ALTER TABLE dispatch_lines ADD FOREIGN KEY (ref) REFERENCES orders (id)",
        f"ALTER TABLE products ADD FOREIGN KEY ({q('supplier_id')}) REFERENCES suppliers (id)",
    ])
    return CustomSQLDatabase.from_uri(scratch_db.url())


def table_list(db):
    return ", ".join(db.get_usable_table_names())


def offered(request):
    first_line = request.user_text.split("\n", 1)[0]
    assert first_line.startswith("Tables: ")
    return first_line[len("Tables: "):].split(", ")


def ask(picker, model_server, question=QUESTION, tables=None, rewritten=""):
    model_server.add({"relevant_tables": ["orders"]}, deployment="gpt35", schema=TOOL)
    tables = table_list(picker.db) if tables is None else tables
    return picker.invoke({"user_question": question, "rewritten_question": rewritten,
                          "table_names_from_db": tables})


@pytest.mark.parametrize("size", [60, 8])
def test_at_or_below_the_shortlist_size_the_model_sees_the_full_list(model_server, db, size):
    picker = RelevantTablePicker(config=model_server.config_35(), db=db, shortlist_size=size)
    assert ask(picker, model_server) == {"relevant_tables": ["orders"]}
    (request,) = model_server.requests
    assert request.user_text == f"Tables: {table_list(db)}\nQuestion: {QUESTION}"


def test_above_the_shortlist_size_the_model_sees_only_the_best_tables(model_server, db):
    picker = RelevantTablePicker(config=model_server.config_35(), db=db, shortlist_size=3)
    assert ask(picker, model_server) == {"relevant_tables": ["orders"]}
    (request,) = model_server.requests
    # The two named tables, and the one joined to orders by a foreign key, in the list's own order.
    expected = [name for name in db.get_usable_table_names() if name in {"customers", "orders", "dispatch_lines"}]
    assert offered(request) == expected
    assert request.user_text.endswith(f"\nQuestion: {QUESTION}")
    # The prompt builder offers the same shortlist, and so does shortlist(), without a model call.
    state = {"user_question": QUESTION, "rewritten_question": "", "table_names_from_db": table_list(db)}
    assert picker.generate_prompt(state)[1].content == request.user_text
    assert picker.shortlist(QUESTION) == picker.shortlist(QUESTION, table_list(db)) == expected
    assert len(model_server.requests) == 1


def test_the_shortlist_follows_the_rewritten_question(model_server, db):
    picker = RelevantTablePicker(config=model_server.config_35(), db=db, shortlist_size=2)
    ask(picker, model_server, rewritten="Which suppliers make the products?")
    ask(picker, model_server, question="Where are the warehouses and which city?",
        tables=list(db.get_usable_table_names()))
    first, second = model_server.requests
    assert offered(first) == ["products", "suppliers"]
    assert "warehouses" in offered(second) and len(offered(second)) == 2


def test_one_catalogue_read_per_handle_serves_every_question(model_server, scratch_db, db):
    reads = []

    def count(conn, cursor, statement, parameters, context, executemany):
        if "pg_constraint" in statement or "KEY_COLUMN_USAGE" in statement:
            reads.append(statement)

    handles = [CustomSQLDatabase.from_uri(scratch_db.url()) for _ in range(2)]
    for handle in handles:
        event.listen(handle._engine, "before_cursor_execute", count)
    try:
        first = RelevantTablePicker(config=model_server.config_35(), db=handles[0], shortlist_size=3)
        second = RelevantTablePicker(config=model_server.config_35(), db=handles[0], shortlist_size=4)
        for picker in (first, second, first):
            ask(picker, model_server)
        ask(first, model_server, tables="customers, orders")  # a short list needs no ranking
        assert len(reads) == 1
        # Another handle on the same database gets its own index.
        other = RelevantTablePicker(config=model_server.config_35(), db=handles[1], shortlist_size=3)
        ask(other, model_server)
        ask(other, model_server, question="Which suppliers are there?")
        assert len(reads) == 2
    finally:
        for handle in handles:
            event.remove(handle._engine, "before_cursor_execute", count)
    assert [len(offered(r)) for r in model_server.requests] == [3, 4, 3, 2, 3, 3]


@pytest.mark.parametrize("size, error, text", [
    (0, ValueError, "shortlist_size must be at least 1"),
    (-5, ValueError, "shortlist_size must be at least 1"),
    ("3", TypeError, "shortlist_size must be a whole number, not str"),
    (True, TypeError, "shortlist_size must be a whole number, not bool"),
])
def test_shortlist_size_must_be_a_positive_whole_number(model_server, db, size, error, text):
    with pytest.raises(error, match=f"^{text}$"):
        RelevantTablePicker(config=model_server.config_35(), db=db, shortlist_size=size)


def test_signature_shows_the_shortlist_size_and_its_default(model_server, db):
    assert str(inspect.signature(RelevantTablePicker)) == "(config, db, shortlist_size=60)"
    assert RelevantTablePicker(config=model_server.config_35(), db=db).shortlist_size == 60
