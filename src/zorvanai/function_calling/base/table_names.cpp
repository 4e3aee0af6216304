#include "table_names.hpp"

#include <algorithm>
#include <unordered_set>

#include "zorvan/python_names.hpp"

namespace zorvanai::function_calling {

namespace {

std::string trim(const std::string& text) {
    const char* blanks = " \t\r\n";
    const auto first = text.find_first_not_of(blanks);
    if (first == std::string::npos) return {};
    const auto last = text.find_last_not_of(blanks);
    return text.substr(first, last - first + 1);
}

// Unicode-aware case folding, as Python's str.casefold does it.
std::string casefold(const std::string& text) {
    return py::str(py::str(text).attr("casefold")());
}

char closing_quote(char opening) {
    switch (opening) {
        case '"':
        case '`':
        case '\'':
            return opening;
        case '[':
            return ']';
        default:
            return '\0';
    }
}

// Splits an identifier path at the dots outside quotes and removes the
// quoting of each part (a doubled closing quote inside stands for itself).
std::vector<std::string> identifier_parts(const std::string& text) {
    std::vector<std::string> parts;
    std::string current;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        const char close = closing_quote(c);
        if (close != '\0' && trim(current).empty()) {
            std::string quoted;
            std::size_t j = i + 1;
            for (; j < text.size(); ++j) {
                if (text[j] == close) {
                    if (j + 1 < text.size() && text[j + 1] == close) {
                        quoted += close;
                        ++j;
                        continue;
                    }
                    break;
                }
                quoted += text[j];
            }
            current = quoted;
            i = j;  // at the closing quote, or past the end when unclosed
        } else if (c == '.') {
            parts.push_back(trim(current));
            current.clear();
        } else {
            current += c;
        }
    }
    parts.push_back(trim(current));
    return parts;
}

std::string unquoted(const std::string& text) {
    if (text.size() >= 2 && closing_quote(text.front()) == text.back()) {
        return text.substr(1, text.size() - 2);
    }
    return text;
}

std::string mapping_name(py::handle item) {
    for (const char* key : {"table_name", "name"}) {
        if (item.contains(key)) return py::str(item[key]);
    }
    py::list values = item.attr("values")();
    if (py::len(values) == 1) return py::str(values[0]);
    return {};
}

}  // namespace

std::vector<std::string> candidate_tables(py::handle table_names_from_db) {
    std::vector<std::string> names;
    auto keep = [&names](const std::string& name) {
        std::string cleaned = trim(name);
        if (!cleaned.empty()) names.push_back(std::move(cleaned));
    };
    if (py::isinstance<py::str>(table_names_from_db)) {
        const std::string text = table_names_from_db.cast<std::string>();
        std::size_t start = 0;
        while (start <= text.size()) {
            const auto comma = text.find(',', start);
            const auto end = comma == std::string::npos ? text.size() : comma;
            keep(text.substr(start, end - start));
            start = end + 1;
        }
        return names;
    }
    py::object mapping = zorvan::imported(zorvan::dep::collections_abc_Mapping);
    for (py::handle item : py::iter(table_names_from_db)) {
        if (py::isinstance<py::str>(item)) {
            keep(item.cast<std::string>());
        } else if (py::isinstance(item, mapping)) {
            keep(mapping_name(item));
        } else {
            keep(py::str(item));
        }
    }
    return names;
}

std::string join_names(const std::vector<std::string>& names) {
    std::string text;
    for (const auto& name : names) {
        if (!text.empty()) text += ", ";
        text += name;
    }
    return text;
}

std::vector<std::string> name_readings(const std::string& written) {
    std::vector<std::string> readings;
    auto add = [&readings](const std::string& reading) {
        if (!reading.empty() && std::find(readings.begin(), readings.end(), reading) == readings.end()) {
            readings.push_back(reading);
        }
    };
    const std::string text = trim(written);
    add(text);
    add(trim(unquoted(text)));
    const auto parts = identifier_parts(text);
    if (!parts.empty()) add(parts.back());
    return readings;
}

std::vector<std::string> match_usable_tables(const std::vector<std::string>& picked,
                                             const std::vector<std::string>& usable) {
    std::vector<std::string> folded_usable;
    folded_usable.reserve(usable.size());
    for (const auto& name : usable) folded_usable.push_back(casefold(name));

    std::vector<std::string> matched;
    std::unordered_set<std::string> seen;
    auto keep = [&](const std::string& name) {
        if (seen.insert(name).second) matched.push_back(name);
    };
    for (const auto& written : picked) {
        for (const auto& reading : name_readings(written)) {
            if (std::find(usable.begin(), usable.end(), reading) != usable.end()) {
                keep(reading);
                break;
            }
            const std::string folded = casefold(reading);
            bool found = false;
            for (std::size_t i = 0; i < usable.size(); ++i) {
                if (folded_usable[i] == folded) {
                    keep(usable[i]);
                    found = true;
                }
            }
            if (found) break;
        }
    }
    return matched;
}

}  // namespace zorvanai::function_calling
