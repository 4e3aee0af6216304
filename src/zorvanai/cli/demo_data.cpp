// The demo database: a small shop (customers, products, orders and their
// lines, two years of dates) in an SQLite file. Generated from a fixed seed
// with integer arithmetic only, so that every machine builds the same file
// and questions about it have the same answers everywhere.
#include <algorithm>
#include <array>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "cli.hpp"
#include "zorvan/python_names.hpp"
#include "zorvan/pyutil.hpp"

namespace zorvanai::cli {

namespace {

// Marks the file as ours ("ZRVN"); the version changes with the data.
constexpr long kApplicationId = 0x5A52564E;
constexpr long kDataVersion = 1;
constexpr std::uint64_t kSeed = 20240101;
constexpr int kFirstYear = 2024;
constexpr int kDays = 731;  // 2024-01-01 to 2025-12-31
constexpr int kCustomers = 240;

constexpr const char* kSchema = R"(
CREATE TABLE customers (
    customer_id INTEGER PRIMARY KEY,
    first_name TEXT NOT NULL,
    last_name TEXT NOT NULL,
    email TEXT NOT NULL UNIQUE,
    city TEXT NOT NULL,
    country TEXT NOT NULL,
    signed_up_on DATE NOT NULL
);
CREATE TABLE products (
    product_id INTEGER PRIMARY KEY,
    name TEXT NOT NULL UNIQUE,
    category TEXT NOT NULL,
    unit_price NUMERIC(10, 2) NOT NULL
);
CREATE TABLE orders (
    order_id INTEGER PRIMARY KEY,
    customer_id INTEGER NOT NULL REFERENCES customers (customer_id),
    ordered_on DATE NOT NULL,
    status TEXT NOT NULL CHECK (status IN ('delivered', 'shipped', 'processing', 'cancelled', 'returned'))
);
CREATE TABLE order_lines (
    order_id INTEGER NOT NULL REFERENCES orders (order_id),
    line_number INTEGER NOT NULL,
    product_id INTEGER NOT NULL REFERENCES products (product_id),
    quantity INTEGER NOT NULL CHECK (quantity > 0),
    unit_price NUMERIC(10, 2) NOT NULL,
    discount NUMERIC(4, 2) NOT NULL DEFAULT 0,
    PRIMARY KEY (order_id, line_number)
);
CREATE INDEX orders_by_customer ON orders (customer_id);
CREATE INDEX orders_by_date ON orders (ordered_on);
CREATE INDEX order_lines_by_product ON order_lines (product_id);
)";

struct Product {
    const char* name;
    const char* category;
    int cents;
    int popularity;  // relative weight in orders
};

constexpr std::array<Product, 40> kProducts = {{
    {"Ash handle spade", "Garden tools", 3450, 9},
    {"Bypass pruning shears", "Garden tools", 2299, 14},
    {"Steel garden rake", "Garden tools", 2750, 8},
    {"Hand trowel", "Garden tools", 990, 16},
    {"Wheelbarrow 90 l", "Garden tools", 11900, 4},
    {"Hedge trimmer 500 W", "Garden tools", 8990, 5},
    {"Garden hose 25 m", "Watering", 3995, 10},
    {"Spray nozzle, 7 patterns", "Watering", 1250, 12},
    {"Watering can 10 l", "Watering", 1899, 9},
    {"Drip irrigation kit", "Watering", 5490, 5},
    {"Rain barrel 200 l", "Watering", 7900, 3},
    {"Oscillating sprinkler", "Watering", 2490, 7},
    {"Tomato seeds, 3 kinds", "Seeds and plants", 450, 18},
    {"Wildflower seed mix", "Seeds and plants", 690, 15},
    {"Lavender, potted", "Seeds and plants", 895, 11},
    {"Apple tree, 2 years", "Seeds and plants", 3900, 4},
    {"Strawberry plants, 6", "Seeds and plants", 1490, 10},
    {"Herb garden starter", "Seeds and plants", 1995, 9},
    {"Potting soil 40 l", "Soil and care", 899, 17},
    {"Organic fertiliser 5 kg", "Soil and care", 1650, 12},
    {"Bark mulch 60 l", "Soil and care", 1190, 8},
    {"Slug pellets, organic", "Soil and care", 790, 9},
    {"Compost bin 300 l", "Soil and care", 6450, 3},
    {"Lawn seed 2 kg", "Soil and care", 2290, 8},
    {"Teak garden bench", "Furniture", 24900, 2},
    {"Folding bistro set", "Furniture", 15900, 3},
    {"Hammock with stand", "Furniture", 12900, 3},
    {"Sun lounger", "Furniture", 8900, 4},
    {"Parasol 3 m", "Furniture", 9900, 3},
    {"Outdoor cushion", "Furniture", 2490, 8},
    {"Solar path lights, 8", "Lighting", 3490, 9},
    {"String lights 10 m", "Lighting", 2790, 10},
    {"Motion sensor floodlight", "Lighting", 4990, 5},
    {"Lantern, black steel", "Lighting", 2190, 6},
    {"Bird feeder", "Wildlife", 1890, 8},
    {"Insect hotel", "Wildlife", 2450, 6},
    {"Nest box for tits", "Wildlife", 1590, 7},
    {"Hedgehog house", "Wildlife", 3290, 3},
    {"Gardening gloves", "Accessories", 1150, 15},
    {"Kneeling pad", "Accessories", 1290, 9},
}};

constexpr std::array<const char*, 30> kFirstNames = {
    "Emma",  "Liam",   "Olivia", "Noah",  "Ava",  "Lucas", "Mia",   "Louis", "Sophie", "Arthur",
    "Julia", "Jules",  "Nora",   "Elias", "Lina", "Milan", "Lotte", "Finn",  "Zoe",    "Adam",
    "Anna",  "Victor", "Clara",  "Oscar", "Eva",  "Leon",  "Ines",  "Hugo",  "Marie",  "Tom"};
constexpr std::array<const char*, 30> kLastNames = {
    "Peeters", "Janssens", "Maes",   "Jacobs", "Mertens", "Willems",  "Claes",   "Goossens", "Wouters", "De Smet",
    "Dubois",  "Lambert",  "Martin", "Simon",  "Laurent", "Meyer",    "Schmidt", "Fischer",  "Weber",   "Wagner",
    "Smith",   "Jones",    "Taylor", "Brown",  "Wilson",  "de Vries", "Bakker",  "Visser",   "Smit",    "Mulder"};

struct City {
    const char* name;
    const char* country;
    int weight;
};
constexpr std::array<City, 14> kCities = {{
    {"Ghent", "Belgium", 14},
    {"Antwerp", "Belgium", 12},
    {"Brussels", "Belgium", 10},
    {"Leuven", "Belgium", 6},
    {"Bruges", "Belgium", 5},
    {"Liège", "Belgium", 5},
    {"Lille", "France", 6},
    {"Paris", "France", 7},
    {"Lyon", "France", 4},
    {"Rotterdam", "Netherlands", 6},
    {"Utrecht", "Netherlands", 5},
    {"Amsterdam", "Netherlands", 7},
    {"Cologne", "Germany", 5},
    {"Aachen", "Germany", 3},
}};

// Orders per day, in hundredths, by month: spring and the weeks before
// Christmas are busy for a garden shop.
constexpr std::array<int, 12> kMonthFactor = {70, 75, 120, 150, 150, 125, 110, 100, 95, 85, 120, 140};

class Random {
public:
    explicit Random(std::uint64_t seed) : state_(seed) {}
    std::uint64_t next() {
        std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        return z ^ (z >> 31);
    }
    // A whole number in [0, bound).
    int below(int bound) { return static_cast<int>(next() % static_cast<std::uint64_t>(bound)); }
    template <typename Weights>
    int weighted(const Weights& weights) {
        int total = 0;
        for (int w : weights) total += w;
        int pick = below(total);
        for (std::size_t i = 0; i < weights.size(); ++i) {
            if (pick < weights[i]) return static_cast<int>(i);
            pick -= weights[i];
        }
        return static_cast<int>(weights.size()) - 1;
    }

private:
    std::uint64_t state_;
};

struct Date {
    int year, month, day;
};

// The civil date `days` after 1970-01-01 (H. Hinnant's algorithm).
Date civil_from_days(long days) {
    days += 719468;
    const long era = (days >= 0 ? days : days - 146096) / 146097;
    const long doe = days - era * 146097;
    const long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const long mp = (5 * doy + 2) / 153;
    const int day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    const int month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    return {static_cast<int>(yoe + era * 400 + (month <= 2)), month, day};
}

long days_from_civil(int year, int month, int day) {
    year -= month <= 2;
    const long era = (year >= 0 ? year : year - 399) / 400;
    const long yoe = year - era * 400;
    const long doy = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const long doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

std::string iso(long days) {
    const Date d = civil_from_days(days);
    char text[11];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d", d.year, d.month, d.day);
    return text;
}

py::float_ money(long cents) {
    return py::float_(static_cast<double>(cents) / 100.0);
}

std::string email_part(std::string text) {
    std::string out;
    for (char c : text) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (u >= 0x80) continue;  // accents are dropped from addresses
        if (c == ' ') continue;
        out += static_cast<char>(std::tolower(u));
    }
    return out;
}

void fill(const py::object& connection) {
    Random random(kSeed);
    const long first_day = days_from_civil(kFirstYear, 1, 1);

    py::list products;
    for (std::size_t i = 0; i < kProducts.size(); ++i) {
        products.append(py::make_tuple(i + 1, kProducts[i].name, kProducts[i].category, money(kProducts[i].cents)));
    }

    // Customers sign up from a year before the first order up to two months
    // before the last; earlier ones are more likely.
    std::vector<long> signed_up(kCustomers + 1);
    std::vector<int> city_weights;
    for (const City& city : kCities) city_weights.push_back(city.weight);
    py::list customers;
    for (int id = 1; id <= kCustomers; ++id) {
        const int first = random.below(static_cast<int>(kFirstNames.size()));
        const int last = random.below(static_cast<int>(kLastNames.size()));
        const City& city = kCities[random.weighted(city_weights)];
        const int span = 365 + kDays - 60;
        const int a = random.below(span), b = random.below(span);
        signed_up[id] = first_day - 365 + std::min(a, b);
        const std::string email = email_part(kFirstNames[first]) + "." + email_part(kLastNames[last]) + "." +
                                  std::to_string(id) + "@example.com";
        customers.append(py::make_tuple(id, kFirstNames[first], kLastNames[last], email, city.name, city.country,
                                        iso(signed_up[id])));
    }

    std::vector<int> popularity;
    for (const Product& product : kProducts) popularity.push_back(product.popularity);
    py::list orders;
    py::list lines;
    int order_id = 0;
    for (int offset = 0; offset < kDays; ++offset) {
        const long day = first_day + offset;
        const Date date = civil_from_days(day);
        const int weekday = static_cast<int>(((day % 7) + 7 + 3) % 7);  // 0 = Monday
        // About 3.4 orders a day at the start, a third more by the end.
        long hundredths = 340L * kMonthFactor[date.month - 1] / 100;
        hundredths = hundredths * (100 + 33 * offset / kDays) / 100;
        if (weekday >= 5) hundredths = hundredths * 125 / 100;
        const int count = static_cast<int>(hundredths / 100) + (random.below(100) < hundredths % 100 ? 1 : 0);
        for (int n = 0; n < count; ++n) {
            int customer = 0;
            for (int attempt = 0; attempt < 20 && customer == 0; ++attempt) {
                // Loyal customers (the lower numbers) order more often.
                const int a = random.below(kCustomers), b = random.below(kCustomers);
                const int candidate = std::min(a, b) + 1;
                if (signed_up[candidate] <= day) customer = candidate;
            }
            if (customer == 0) continue;
            ++order_id;
            const int roll = random.below(100);
            const char* status = "delivered";
            if (offset >= kDays - 3) {
                status = "processing";
            } else if (offset >= kDays - 10) {
                status = "shipped";
            } else if (roll < 4) {
                status = "cancelled";
            } else if (roll < 10) {
                status = "returned";
            }
            orders.append(py::make_tuple(order_id, customer, iso(day), status));
            const int line_count = 1 + (random.below(100) < 45) + (random.below(100) < 20) + (random.below(100) < 8);
            std::vector<int> chosen;
            for (int line = 1; line <= line_count; ++line) {
                int product = random.weighted(popularity);
                for (int retry = 0; retry < 10 && std::find(chosen.begin(), chosen.end(), product) != chosen.end();
                     ++retry) {
                    product = random.weighted(popularity);
                }
                if (std::find(chosen.begin(), chosen.end(), product) != chosen.end()) break;
                chosen.push_back(product);
                const int quantity = 1 + (random.below(100) < 30) + (random.below(100) < 10) * 2;
                // Prices rose by 5% at the start of the second year.
                long cents = kProducts[product].cents;
                if (date.year > kFirstYear) cents = (cents * 105 + 50) / 100;
                // November sale: one line in five at 10% off.
                const bool sale = date.month == 11 && random.below(5) == 0;
                lines.append(py::make_tuple(order_id, static_cast<int>(chosen.size()), product + 1, quantity,
                                            money(cents), py::float_(sale ? 0.10 : 0.0)));
            }
        }
    }

    connection.attr("executescript")(kSchema);
    connection.attr("executemany")("INSERT INTO customers VALUES (?, ?, ?, ?, ?, ?, ?)", customers);
    connection.attr("executemany")("INSERT INTO products VALUES (?, ?, ?, ?)", products);
    connection.attr("executemany")("INSERT INTO orders VALUES (?, ?, ?, ?)", orders);
    connection.attr("executemany")("INSERT INTO order_lines VALUES (?, ?, ?, ?, ?, ?)", lines);
    connection.attr("execute")("PRAGMA application_id = " + std::to_string(kApplicationId));
    connection.attr("execute")("PRAGMA user_version = " + std::to_string(kDataVersion));
    connection.attr("commit")();
}

// (application id, data version) of an SQLite file; (0, 0) for another kind.
std::pair<long, long> marks_of(const std::string& path) {
    py::module_ sqlite3 = zorvan::imported_module(zorvan::dep::sqlite3_module);
    const std::string uri =
        "file:" + std::string(py::str(zorvan::imported(zorvan::dep::urllib_parse_quote)(path))) + "?mode=ro";
    try {
        py::object connection = sqlite3.attr("connect")(uri, py::arg("uri") = true);
        const long id =
            connection.attr("execute")("PRAGMA application_id").attr("fetchone")()[py::int_(0)].cast<long>();
        const long version =
            connection.attr("execute")("PRAGMA user_version").attr("fetchone")()[py::int_(0)].cast<long>();
        connection.attr("close")();
        return {id, version};
    } catch (py::error_already_set& error) {
        if (!error.matches(sqlite3.attr("Error"))) throw;
        return {0, 0};
    }
}

}  // namespace

bool ensure_demo_database(const std::string& path) {
    py::module_ os = zorvan::imported_module(zorvan::dep::os_module);
    if (py::bool_(os.attr("path").attr("exists")(path))) {
        const auto [id, version] = marks_of(path);
        if (id != kApplicationId) {
            throw CommandError(path +
                                   " exists and is not the demo database; move it away or choose another file "
                                   "with --db",
                               kExitUsage);
        }
        if (version == kDataVersion) return false;
    }
    // Built aside and moved into place, so that an interrupted build leaves
    // no half-made database behind.
    const std::string partial = path + ".partial-" + std::string(py::str(os.attr("getpid")()));
    try {
        py::object connection = zorvan::imported(zorvan::dep::sqlite3_connect)(partial);
        try {
            fill(connection);
        } catch (...) {
            connection.attr("close")();
            throw;
        }
        connection.attr("close")();
        os.attr("replace")(partial, path);
    } catch (...) {
        try {
            if (py::bool_(os.attr("path").attr("exists")(partial))) os.attr("remove")(partial);
        } catch (py::error_already_set&) {
            // The original error says more than a failed clean-up.
        }
        throw;
    }
    return true;
}

}  // namespace zorvanai::cli
