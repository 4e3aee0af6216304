"""The databases the benchmarks measure, built on demand and reused while their recipe is unchanged.

- ``zorvan_bench_discovery``: 2,000 tables of 12 columns (3 rows each, a foreign key to
  the first table of their group of 20).
- ``zorvan_bench_rows``: one table ``events`` of 1,000,000 rows.
- ``zorvan_bench_graph``: a 20-table shop database for one whole question.
- ``zorvan_bench_big_values``: one table ``big`` of 8 rows whose text value is 50 MiB
  (MariaDB: 15 MiB, under its 16 MiB packet limit, which no larger row can pass).
"""

from __future__ import annotations

import time
from datetime import date, timedelta

import servers

DISCOVERY_DB = servers.PREFIX + "discovery"
ROWS_DB = servers.PREFIX + "rows"
GRAPH_DB = servers.PREFIX + "graph"
BIG_VALUES_DB = servers.PREFIX + "big_values"
BIG_VALUES_QUERY = "SELECT id, v FROM big ORDER BY id"
BIG_VALUES_ROWS = 8


def big_value_mib(server: servers.Server) -> int:
    return 50 if server.is_postgres else 15

DISCOVERY_TABLES = 2000
GROUP = 20
ROW_COUNT = 1_000_000
ROWS_QUERY = "SELECT id, label, amount, created_at FROM events"

_AREAS = ["sales", "hr", "finance", "ops", "crm", "stock", "billing", "support", "legal", "fleet"]
_ENTITIES = ["orders", "customers", "invoices", "payments", "contracts", "shipments", "tickets", "assets",
             "employees", "suppliers"]


def discovery_table(i: int) -> str:
    return f"{_AREAS[i % len(_AREAS)]}_{_ENTITIES[(i // len(_AREAS)) % len(_ENTITIES)]}_{i:04d}"


# The five tables whose definitions a question reads: spread over the catalogue.
DISCOVERY_READ = [discovery_table(i) for i in (7, 512, 1024, 1536, 1999)]


def _columns(server: servers.Server) -> list[tuple[str, str]]:
    text = "TEXT" if server.is_postgres else "VARCHAR(2000)"
    stamp = "TIMESTAMP" if server.is_postgres else "DATETIME"
    flag = "BOOLEAN"
    real = "DOUBLE PRECISION" if server.is_postgres else "DOUBLE"
    return [("id", "INTEGER PRIMARY KEY"), ("parent_id", "INTEGER"), ("name", "VARCHAR(80)"),
            ("code", "VARCHAR(20)"), ("amount", "NUMERIC(12, 2)"), ("quantity", "INTEGER"),
            ("status", "VARCHAR(20)"), ("note", text), ("created_at", stamp), ("updated_at", stamp),
            ("is_active", flag), ("score", real)]


def build_discovery(server: servers.Server, database: str) -> None:
    q = server.quote
    columns = _columns(server)
    conn = server.connect(database)
    try:
        with conn.cursor() as cur:
            for i in range(DISCOVERY_TABLES):
                name = discovery_table(i)
                # Batches of one group per transaction (PostgreSQL holds a lock per table made).
                if server.is_postgres and i % GROUP == 0:
                    cur.execute("BEGIN")
                parts = [f"{q(c)} {t}" for c, t in columns]
                if i % GROUP:
                    parts.append(f"FOREIGN KEY (parent_id) REFERENCES {q(discovery_table(i - i % GROUP))} (id)")
                cur.execute(f"CREATE TABLE {q(name)} ({', '.join(parts)})")
                rows = ", ".join(
                    f"({r}, NULL, 'item {r}', 'C{r:03d}', {r * 10}.50, {r}, 'open', 'note {r}', "
                    f"'2024-01-0{r} 10:00:00', '2024-02-0{r} 10:00:00', TRUE, {r}.25)" for r in (1, 2, 3))
                cur.execute(f"INSERT INTO {q(name)} VALUES {rows}")
                if server.is_postgres and i % GROUP == GROUP - 1:
                    cur.execute("COMMIT")
    finally:
        conn.close()


def build_rows(server: servers.Server, database: str) -> None:
    conn = server.connect(database)
    try:
        with conn.cursor() as cur:
            if server.is_postgres:
                cur.execute("CREATE TABLE events (id INTEGER PRIMARY KEY, label VARCHAR(40), amount NUMERIC(10, 2), "
                            "created_at TIMESTAMP)")
                cur.execute("INSERT INTO events SELECT g, 'event ' || g, (g % 1000) / 10.0, "
                            "TIMESTAMP '2024-01-01' + g * INTERVAL '1 second' "
                            f"FROM generate_series(1, {ROW_COUNT}) AS g")
                cur.execute("ANALYZE events")
            else:
                cur.execute("CREATE TABLE events (id INTEGER PRIMARY KEY, label VARCHAR(40), amount DECIMAL(10, 2), "
                            "created_at DATETIME) ENGINE=InnoDB")
                cur.execute("INSERT INTO events SELECT seq, CONCAT('event ', seq), (seq % 1000) / 10.0, "
                            "TIMESTAMP '2024-01-01 00:00:00' + INTERVAL seq SECOND "
                            f"FROM seq_1_to_{ROW_COUNT}")
                cur.execute("ANALYZE TABLE events")
                cur.fetchall()
    finally:
        conn.close()


# A small shop: 20 tables joined by foreign keys.
GRAPH_TABLES = {
    "regions": "id INTEGER PRIMARY KEY, name VARCHAR(40)",
    "stores": "id INTEGER PRIMARY KEY, region_id INTEGER REFERENCES regions (id), name VARCHAR(40)",
    "customers": "id INTEGER PRIMARY KEY, region_id INTEGER REFERENCES regions (id), full_name VARCHAR(60)",
    "customer_addresses": "id INTEGER PRIMARY KEY, customer_id INTEGER REFERENCES customers (id), city VARCHAR(40)",
    "suppliers": "id INTEGER PRIMARY KEY, name VARCHAR(60)",
    "categories": "id INTEGER PRIMARY KEY, name VARCHAR(40)",
    "products": "id INTEGER PRIMARY KEY, category_id INTEGER REFERENCES categories (id), "
                "supplier_id INTEGER REFERENCES suppliers (id), name VARCHAR(60), price NUMERIC(10, 2)",
    "employees": "id INTEGER PRIMARY KEY, store_id INTEGER REFERENCES stores (id), full_name VARCHAR(60)",
    "orders": "id INTEGER PRIMARY KEY, customer_id INTEGER REFERENCES customers (id), "
              "store_id INTEGER REFERENCES stores (id), ordered_on DATE",
    "order_items": "id INTEGER PRIMARY KEY, order_id INTEGER REFERENCES orders (id), "
                   "product_id INTEGER REFERENCES products (id), quantity INTEGER",
    "payments": "id INTEGER PRIMARY KEY, order_id INTEGER REFERENCES orders (id), amount NUMERIC(10, 2)",
    "shipments": "id INTEGER PRIMARY KEY, order_id INTEGER REFERENCES orders (id), shipped_on DATE",
    "returns": "id INTEGER PRIMARY KEY, order_item_id INTEGER REFERENCES order_items (id), reason VARCHAR(60)",
    "inventory": "id INTEGER PRIMARY KEY, store_id INTEGER REFERENCES stores (id), "
                 "product_id INTEGER REFERENCES products (id), on_hand INTEGER",
    "promotions": "id INTEGER PRIMARY KEY, name VARCHAR(60), discount NUMERIC(4, 2)",
    "promotion_products": "id INTEGER PRIMARY KEY, promotion_id INTEGER REFERENCES promotions (id), "
                          "product_id INTEGER REFERENCES products (id)",
    "reviews": "id INTEGER PRIMARY KEY, product_id INTEGER REFERENCES products (id), stars INTEGER",
    "loyalty_cards": "id INTEGER PRIMARY KEY, customer_id INTEGER REFERENCES customers (id), points INTEGER",
    "shifts": "id INTEGER PRIMARY KEY, employee_id INTEGER REFERENCES employees (id), worked_on DATE",
    "warehouses": "id INTEGER PRIMARY KEY, region_id INTEGER REFERENCES regions (id), name VARCHAR(40)",
}
GRAPH_QUERY = ("SELECT r.name, COUNT(*) AS orders FROM orders o JOIN stores s ON s.id = o.store_id "
               "JOIN regions r ON r.id = s.region_id GROUP BY r.name ORDER BY r.name")


def build_graph(server: servers.Server, database: str) -> None:
    conn = server.connect(database)
    try:
        with conn.cursor() as cur:
            for name, columns in GRAPH_TABLES.items():
                cur.execute(f"CREATE TABLE {name} ({columns})")
            cur.execute("INSERT INTO regions VALUES (1, 'east'), (2, 'west'), (3, 'north')")
            cur.execute("INSERT INTO stores VALUES " + ", ".join(f"({i}, {i % 3 + 1}, 'store {i}')"
                                                                 for i in range(1, 10)))
            cur.execute("INSERT INTO customers VALUES " + ", ".join(f"({i}, {i % 3 + 1}, 'customer {i}')"
                                                                    for i in range(1, 101)))
            cur.execute("INSERT INTO orders VALUES " + ", ".join(
                f"({i}, {i % 100 + 1}, {i % 9 + 1}, '{date(2024, 1, 1) + timedelta(days=i % 300)}')"
                for i in range(1, 1001)))
    finally:
        conn.close()


def build_big_values(server: servers.Server, database: str) -> None:
    conn = server.connect(database)
    size = big_value_mib(server) * 1024 * 1024
    try:
        with conn.cursor() as cur:
            cur.execute(f"CREATE TABLE big (id INTEGER PRIMARY KEY, v {'TEXT' if server.is_postgres else 'LONGTEXT'})")
            for i in range(1, BIG_VALUES_ROWS + 1):
                cur.execute(f"INSERT INTO big VALUES ({i}, REPEAT('x', {size}))")
    finally:
        conn.close()


RECIPES = {
    DISCOVERY_DB: ("discovery:1", build_discovery),
    ROWS_DB: ("rows:1", build_rows),
    GRAPH_DB: ("graph:1", build_graph),
    BIG_VALUES_DB: ("big_values:1", build_big_values),
}


def ensure(server: servers.Server, database: str, log=print) -> None:
    fingerprint, build = RECIPES[database]
    started = time.perf_counter()
    if server.ensure(database, fingerprint, build):
        log(f"built {database} on {server.label} in {time.perf_counter() - started:.1f} s")
