"""The local table ranker: word splitting, ordering on small schemas, and the catalogue read."""

from __future__ import annotations

import random

import pytest
import sqlalchemy

from zorvanai.function_calling.base import TableRanker, identifier_words

FILLER = {f"filler_{i:02d}": ["id", "name", "created_at"] for i in range(20)}


def order(ranker, question, k=60, **kwargs):
    return ranker.rank(question, k, **kwargs)


# -- words --------------------------------------------------------------------
@pytest.mark.parametrize("text, words", [
    ("customer_orders", ["customer", "order"]),
    ("CustomerOrders", ["customer", "order"]),
    ("customerOrderLines", ["customer", "order", "line"]),
    ("XMLFileParser", ["xml", "file", "parser"]),
    ("Home Town", ["home", "town"]),
    ("address_line_2", ["address", "line"]),
    ("Companies", ["company"]),
    ("boxes", ["box"]),
    ("addresses", ["address"]),
    ("statuses", ["status"]),
    ("status", ["status"]),
    ("analysis", ["analysis"]),
    ("PEOPLE", ["person"]),
    ("singer_in_concert", ["singer", "concert"]),
    ("customers’ names", ["customer", "name"]),
    ("Café–Menüs", ["café", "menü"]),
    ("How many of the orders were shipped?", ["order", "shipped"]),
])
def test_identifier_words_split_lower_and_singularise(text, words):
    assert identifier_words(text) == words


# -- ordering -------------------------------------------------------------------
def test_name_words_outrank_column_words():
    ranker = TableRanker({"shipments": ["id", "order_id", "shipped_on"], "orders": ["id", "placed_on"], **FILLER})
    assert order(ranker, "How many orders were placed?", 2) == ["orders", "shipments"]


def test_column_words_find_a_table_whose_name_does_not_match():
    ranker = TableRanker({"contacts": ["id", "email", "phone"], "products": ["id", "price"], **FILLER})
    assert order(ranker, "Which email addresses do we have?", 1) == ["contacts"]
    assert order(ranker, "What is the most expensive price?", 1) == ["products"]


@pytest.mark.parametrize("question", [
    "List the customer addresses", "CUSTOMER ADDRESS of Ada", "show customerAddress rows",
])
def test_plural_case_and_camel_case_meet(question):
    ranker = TableRanker({"CustomerAddresses": ["CustomerId", "Street"], "Vendors": ["VendorId"], **FILLER})
    assert order(ranker, question, 1) == ["CustomerAddresses"]


def test_rare_words_outweigh_common_ones():
    # "name" is in every table; "salary" only in one, which must win even
    # though the other table is named after "name".
    tables = {"names": ["id", "name"], "payroll": ["id", "name", "salary"], **FILLER}
    ranker = TableRanker(tables)
    assert order(ranker, "name and salary", 2) == ["payroll", "names"]
    scores = dict(ranker.scores("name and salary", 100))
    assert scores["payroll"] > scores["names"] > scores["filler_00"] > 0


def test_last_word_of_a_name_says_what_the_table_holds():
    ranker = TableRanker({"customer_orders": ["id", "total"], "customers": ["id", "full_name"], **FILLER})
    assert order(ranker, "How many customers are there?", 2) == ["customers", "customer_orders"]
    assert order(ranker, "How many orders are there?", 1) == ["customer_orders"]


def test_related_forms_prefixes_and_abbreviations_match():
    ranker = TableRanker({
        "rating": ["id", "stars"], "dormitory": ["id", "beds"], "dept": ["id", "budget"],
        "crs_catalog": ["crs_code"], **FILLER})
    assert order(ranker, "Which movies were rated?", 1) == ["rating"]
    assert order(ranker, "Which dorm is largest?", 1) == ["dormitory"]
    assert order(ranker, "Which department has the biggest budget?", 1) == ["dept"]
    assert order(ranker, "List every course", 1) == ["crs_catalog"]
    # A short unrelated word is no abbreviation.
    assert dict(ranker.scores("Which department?", 100))["crs_catalog"] == 0


def test_foreign_keys_lift_the_tables_joined_to_a_match():
    tables = {"concert": ["concert_id", "theme"], "zz_slot": ["slot_id", "starts"],
              "aa_weather": ["reading_id", "celsius"], **FILLER}
    links = [("zz_slot", "concert")]
    ranker = TableRanker(tables, links)
    scores = dict(ranker.scores("Which concerts had a theme?", 100))
    assert order(ranker, "Which concerts had a theme?", 2) == ["concert", "zz_slot"]
    assert scores["zz_slot"] == pytest.approx(0.5 * scores["concert"])
    assert scores["aa_weather"] == 0
    # The lift follows the key in either direction, and only from a match.
    assert order(ranker, "slot start times", 2) == ["zz_slot", "concert"]
    assert dict(ranker.scores("celsius readings", 100))["concert"] == 0
    # Without the lift the linked table has nothing to go on.
    plain = TableRanker(tables, links, foreign_key_lift=0)
    assert dict(plain.scores("Which concerts had a theme?", 100))["zz_slot"] == 0


def test_a_link_table_between_two_matches_comes_along():
    tables = {"singer": ["singer_id", "name"], "concert": ["concert_id", "year"],
              "singer_in_concert": ["singer_id", "concert_id"], "stadium": ["stadium_id", "capacity"],
              "performance_log": ["log_id", "singer_id"], **FILLER}
    links = [("singer_in_concert", "singer"), ("singer_in_concert", "concert"), ("performance_log", "singer")]
    ranker = TableRanker(tables, links)
    top = order(ranker, "Which singers sang in concerts of 2014?", 4)
    assert set(top[:3]) == {"singer", "concert", "singer_in_concert"}
    assert "stadium" not in top


def test_ties_are_in_name_order_whatever_the_input_order():
    names = [f"twin_{c}" for c in "dacbe"]
    entries = [(name, ["id", "amount"]) for name in names] + [("other", ["id"])]
    shuffled = entries[:]
    random.Random(3).shuffle(shuffled)
    first, second = TableRanker(entries), TableRanker(shuffled)
    expected = sorted(names)
    assert order(first, "total amount", 5) == expected
    assert order(second, "total amount", 5) == expected
    assert order(first, "total amount", 5) == order(first, "total amount", 5)
    # With nothing matching at all, the whole list comes in name order.
    assert order(first, "zebra", 10) == sorted(names + ["other"])


def test_k_larger_than_the_table_count_and_k_zero():
    ranker = TableRanker(["b_table", "a_table", "c_table"])
    assert order(ranker, "anything", 100) == ["a_table", "b_table", "c_table"]
    assert order(ranker, "anything", 0) == []
    assert len(ranker.rank("anything")) == 3
    assert len(ranker) == 3 and ranker.tables == ["a_table", "b_table", "c_table"]


def test_default_shortlist_is_sixty():
    ranker = TableRanker({f"t{i:03d}": ["id"] for i in range(100)})
    assert len(ranker.rank("id")) == 60


def test_candidates_narrow_the_ranking_and_unknown_names_come_last():
    ranker = TableRanker({"orders": ["id"], "order_lines": ["order_id"], "customers": ["id"]})
    assert order(ranker, "orders", candidates=["customers", "order_lines"]) == ["order_lines", "customers"]
    assert order(ranker, "orders", candidates=["ghost", "orders", "orders"]) == ["orders", "ghost"]
    assert order(ranker, "orders", candidates=[]) == []


def test_duplicate_entries_merge_and_unknown_links_are_ignored():
    ranker = TableRanker([("items", ["id"]), ("items", ["colour"]), ("misc", ["id"])],
                         [("items", "nowhere"), ("nowhere", "misc"), ("items", "items")])
    assert len(ranker) == 2
    assert order(ranker, "colour", 1) == ["items"]
    assert dict(ranker.scores("colour", 5))["misc"] == 0


@pytest.mark.parametrize("call, error, text", [
    (lambda: TableRanker("orders"), TypeError, "tables must be a mapping or a list"),
    (lambda: TableRanker({"orders": "id"}), TypeError, "columns must be a list of strings"),
    (lambda: TableRanker({"orders": [1]}), TypeError, "columns must be a string"),
    (lambda: TableRanker(["a"], [("a", "b", "c")]), TypeError, "(table, referenced table) pair"),
    (lambda: TableRanker(["a"], ["ab"]), TypeError, "(table, referenced table) pair"),
    (lambda: TableRanker(["a"], bogus=1), TypeError, "unexpected option 'bogus'"),
    (lambda: TableRanker(["a"], name_weight=-1), ValueError, "name_weight must be a finite number"),
    (lambda: TableRanker(["a"], name_weight="3"), TypeError, "name_weight must be a number"),
    (lambda: TableRanker(["a"], min_prefix=0), ValueError, "min_prefix must be at least 1"),
    (lambda: TableRanker(["a"]).rank("q", -1), ValueError, "k must be at least 0"),
    (lambda: TableRanker(["a"]).rank(None), TypeError, "question must be a string"),
    (lambda: TableRanker(["a"]).rank("q", candidates="a"), TypeError, "candidates must be a list"),
])
def test_bad_arguments_are_refused(call, error, text):
    with pytest.raises(error, match=text.replace("(", r"\(").replace(")", r"\)")):
        call()


# -- the catalogue read ----------------------------------------------------------
@pytest.fixture(scope="module")
def catalogue_db(scratch_db):
    q = scratch_db.quote_ident
    scratch_db.executescript([
        f"CREATE TABLE {q('Concert')} ({q('concertId')} INTEGER PRIMARY KEY, theme VARCHAR(40))",
        f"CREATE TABLE gig_slot (slot_id INTEGER PRIMARY KEY, {q('actRef')} INTEGER, "
        f"FOREIGN KEY ({q('actRef')}) REFERENCES {q('Concert')} ({q('concertId')}))",
        "CREATE TABLE weather (reading_id INTEGER PRIMARY KEY, celsius INTEGER)",
        f"CREATE VIEW stage_themes AS SELECT theme FROM {q('Concert')}",
    ])
    engine = sqlalchemy.create_engine(scratch_db.url())
    yield scratch_db, engine
    engine.dispose()


def test_catalogue_read_gives_tables_views_columns_and_keys(catalogue_db):
    db, engine = catalogue_db
    ranker = TableRanker.from_engine(engine)
    assert ranker.tables == ["Concert", "gig_slot", "stage_themes", "weather"]
    scores = dict(ranker.scores("Which concerts were held?", 10))
    assert order(ranker, "Which concerts were held?", 2) == ["Concert", "gig_slot"]
    assert scores["weather"] == 0
    assert order(ranker, "celsius readings", 1) == ["weather"]
    assert order(ranker, "stage", 1) == ["stage_themes"]


def test_catalogue_read_of_a_named_schema_and_its_time_limit(catalogue_db):
    db, engine = catalogue_db
    ranker = TableRanker.from_engine(engine, schema=db.name if not db.is_postgres else "public", time_limit=5)
    assert len(ranker) == 4
    with pytest.raises(ValueError, match="time_limit must be a positive number"):
        TableRanker.from_engine(engine, time_limit=0)
    assert len(TableRanker.from_engine(engine, schema="no_such_schema")) == 0


def test_catalogue_read_leaves_no_connection_checked_out(catalogue_db):
    db, engine = catalogue_db
    for _ in range(3):
        TableRanker.from_engine(engine, name_weight=2)
    assert engine.pool.checkedout() == 0


def test_catalogue_read_through_the_inspector_for_other_dialects(tmp_path):
    engine = sqlalchemy.create_engine(f"sqlite:///{tmp_path / 'local.db'}")
    with engine.begin() as conn:
        conn.exec_driver_sql("CREATE TABLE artist (artist_id INTEGER PRIMARY KEY, name TEXT)")
        conn.exec_driver_sql("CREATE TABLE track_rows (id INTEGER PRIMARY KEY, performer INTEGER "
                             "REFERENCES artist (artist_id))")
    ranker = TableRanker.from_engine(engine)
    assert ranker.tables == ["artist", "track_rows"]
    assert order(ranker, "artists", 2) == ["artist", "track_rows"]
    assert dict(ranker.scores("artists", 2))["track_rows"] > 0
    engine.dispose()
