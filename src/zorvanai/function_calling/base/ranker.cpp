#include "ranker.hpp"

#include <algorithm>
#include <cmath>
#include <unordered_set>

namespace zorvanai::function_calling {
namespace {

bool is_upper(unsigned char c) {
    return c >= 'A' && c <= 'Z';
}
bool is_digit(unsigned char c) {
    return c >= '0' && c <= '9';
}

// Words that carry no table meaning in questions nor in names
// ("singer_in_concert" is about singers and concerts).
const std::unordered_set<std::string>& stop_words() {
    static const std::unordered_set<std::string> words = {
        "a",    "about", "all",   "also",  "an",    "and",   "any",    "are",    "as",    "at",    "be",   "been",
        "both", "but",   "by",    "can",   "could", "did",   "do",     "does",   "each",  "every", "find", "for",
        "from", "give",  "had",   "has",   "have",  "how",   "i",      "if",     "in",    "into",  "is",   "it",
        "its",  "just",  "least", "less",  "list",  "many",  "me",     "more",   "most",  "much",  "my",   "not",
        "of",   "on",    "only",  "or",    "other", "our",   "please", "return", "show",  "some",  "tell", "than",
        "that", "the",   "their", "them",  "then",  "there", "these",  "they",   "this",  "those", "to",   "us",
        "very", "was",   "we",    "were",  "what",  "when",  "where",  "which",  "while", "who",   "whom", "whose",
        "why",  "will",  "with",  "would", "you",   "your"};
    return words;
}

bool ends_with(const std::string& word, const char* tail) {
    const std::size_t n = std::char_traits<char>::length(tail);
    return word.size() >= n && word.compare(word.size() - n, n, tail) == 0;
}

// The code point of the UTF-8 sequence at `text[i]` and its length; a
// stray byte stands for itself.
std::pair<char32_t, std::size_t> code_point(const std::string& text, std::size_t i) {
    const auto lead = static_cast<unsigned char>(text[i]);
    std::size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
    if (i + length > text.size()) length = 1;
    if (length == 1) return {lead, 1};
    char32_t value = lead & (0x3F >> (length - 1));
    for (std::size_t k = 1; k < length; ++k) {
        const auto next = static_cast<unsigned char>(text[i + k]);
        if ((next & 0xC0) != 0x80) return {lead, 1};
        value = (value << 6) | (next & 0x3F);
    }
    return {value, length};
}

// Punctuation and symbols outside ASCII (typographic quotes, dashes, NBSP).
bool is_separator(char32_t c) {
    return (c >= 0x80 && c <= 0xBF) || c == 0xD7 || c == 0xF7 || (c >= 0x2000 && c <= 0x2BFF) ||
           (c >= 0x3000 && c <= 0x303F) || (c >= 0xFE30 && c <= 0xFE4F) || c == 0xFEFF || (c >= 0xFF00 && c <= 0xFF0F);
}

// Splits at non-word characters, case changes and letter/digit changes.
// Letters outside ASCII stay inside their word.
std::vector<std::string> raw_parts(const std::string& text) {
    std::vector<std::string> parts;
    std::string current;
    char prev_kind = 0;  // 'u'pper, 'l'ower, 'd'igit
    auto flush = [&] {
        if (!current.empty()) parts.push_back(std::move(current));
        current.clear();
        prev_kind = 0;
    };
    auto kind_at = [&](std::size_t i) -> char {
        const auto c = static_cast<unsigned char>(text[i]);
        if (is_upper(c)) return 'u';
        if (is_digit(c)) return 'd';
        if (c >= 'a' && c <= 'z') return 'l';
        if (c < 0x80) return 0;
        return is_separator(code_point(text, i).first) ? 0 : 'l';
    };
    for (std::size_t i = 0; i < text.size();) {
        const char kind = kind_at(i);
        const std::size_t length = static_cast<unsigned char>(text[i]) < 0x80 ? 1 : code_point(text, i).second;
        if (kind == 0) {
            flush();
            i += length;
            continue;
        }
        if (prev_kind != 0) {
            const bool next_lower = i + length < text.size() && kind_at(i + length) == 'l';
            if ((prev_kind == 'l' && kind == 'u') || ((prev_kind == 'd') != (kind == 'd')) ||
                (prev_kind == 'u' && kind == 'u' && next_lower)) {
                flush();
            }
        }
        current.append(text, i, length);
        prev_kind = kind;
        i += length;
    }
    flush();
    return parts;
}

bool is_vowel(char c) {
    return c == 'a' || c == 'e' || c == 'i' || c == 'o' || c == 'u';
}

// BM25's form: never negative, small for words nearly every table has.
double inverse_frequency(std::size_t tables, std::size_t with_word) {
    const double n = static_cast<double>(tables);
    const double df = static_cast<double>(with_word);
    return std::log(1.0 + (n - df + 0.5) / (df + 0.5));
}

}  // namespace

std::string singular(const std::string& word) {
    static const std::unordered_map<std::string, std::string> irregular = {
        {"people", "person"}, {"men", "man"},    {"women", "woman"},       {"children", "child"},
        {"mice", "mouse"},    {"feet", "foot"},  {"teeth", "tooth"},       {"geese", "goose"},
        {"indices", "index"}, {"data", "datum"}, {"criteria", "criterion"}};
    if (auto found = irregular.find(word); found != irregular.end()) return found->second;
    if (word.size() <= 3) return word;
    if (ends_with(word, "ies") && word.size() > 4) return word.substr(0, word.size() - 3) + "y";
    if (ends_with(word, "sses") || ends_with(word, "xes") || ends_with(word, "ches") || ends_with(word, "shes") ||
        ends_with(word, "zzes")) {
        return word.substr(0, word.size() - 2);
    }
    if (ends_with(word, "uses") && word.size() > 5) {
        // "statuses" -> "status", but "houses" -> "house" below.
        const std::string stem = word.substr(0, word.size() - 2);
        if (ends_with(stem, "tus") || ends_with(stem, "bus") || ends_with(stem, "pus") || ends_with(stem, "rus") ||
            ends_with(stem, "nus")) {
            return stem;
        }
    }
    if (ends_with(word, "s") && !ends_with(word, "ss") && !ends_with(word, "us") && !ends_with(word, "is")) {
        return word.substr(0, word.size() - 1);
    }
    return word;
}

std::string stem(const std::string& word) {
    static const char* const suffixes[] = {"ations", "ation", "ments", "ment", "ings", "ing", "ions",
                                           "ion",    "ers",   "er",    "ed",   "al",   "ly",  "e"};
    std::string root = word;
    for (const char* suffix : suffixes) {
        const std::size_t n = std::char_traits<char>::length(suffix);
        if (ends_with(root, suffix) && root.size() >= n + 3) {
            root.resize(root.size() - n);
            break;
        }
    }
    const std::size_t n = root.size();
    if (n >= 4 && root[n - 1] == root[n - 2] && !is_vowel(root[n - 1])) root.pop_back();  // "enroll" / "enrolment"
    if (!root.empty() && root.back() == 'y') root.back() = 'i';                           // "try" / "tried"
    return root;
}

std::vector<std::string> identifier_words(const std::string& text) {
    std::vector<std::string> words;
    for (std::string part : raw_parts(text)) {
        if (is_digit(static_cast<unsigned char>(part.front()))) continue;  // numbers name no table
        std::transform(part.begin(), part.end(), part.begin(), [](char ch) {
            const auto c = static_cast<unsigned char>(ch);
            return is_upper(c) ? static_cast<char>(c - 'A' + 'a') : ch;
        });
        if (part.size() < 2 || stop_words().count(part)) continue;
        words.push_back(singular(part));
    }
    return words;
}

TableRanker::TableRanker(std::vector<TableColumns> tables, const std::vector<ForeignKeyLink>& links,
                         RankerOptions options)
    : options_(options) {
    std::sort(tables.begin(), tables.end(),
              [](const TableColumns& a, const TableColumns& b) { return a.name < b.name; });
    // Per table: the words of its columns.
    std::vector<std::unordered_set<std::string>> column_words;
    for (auto& table : tables) {
        if (tables_.empty() || tables_.back() != table.name) {
            table_index_.emplace(table.name, tables_.size());
            tables_.push_back(table.name);
            name_words_.push_back(identifier_words(table.name));
            column_words.emplace_back();
        }
        for (const auto& column : table.columns)
            for (auto& word : identifier_words(column)) column_words.back().insert(std::move(word));
    }

    for (std::size_t t = 0; t < tables_.size(); ++t) {
        // The last word of a name says what a row is ("customer_orders" holds
        // orders); earlier words only qualify it.
        std::unordered_map<std::string, double> weights;
        const auto& own = name_words_[t];
        for (std::size_t i = 0; i < own.size(); ++i) {
            const double weight = options_.name_weight * (i + 1 == own.size() ? 1.0 : options_.modifier_share);
            weights[own[i]] = std::max(weights[own[i]], weight);
        }
        for (const auto& word : column_words[t]) weights[word] = std::max(weights[word], options_.column_weight);
        for (auto& [word, weight] : weights) words_[word].postings.push_back({t, weight});
        std::sort(name_words_[t].begin(), name_words_[t].end());
        name_words_[t].erase(std::unique(name_words_[t].begin(), name_words_[t].end()), name_words_[t].end());
    }
    sorted_words_.reserve(words_.size());
    for (auto& [word, entry] : words_) {
        entry.idf = inverse_frequency(tables_.size(), entry.postings.size());
        sorted_words_.push_back(word);
        stems_[stem(word)].push_back(word);
    }
    std::sort(sorted_words_.begin(), sorted_words_.end());

    neighbours_.resize(tables_.size());
    for (const auto& link : links) {
        auto from = table_index_.find(link.table);
        auto to = table_index_.find(link.referenced_table);
        if (from == table_index_.end() || to == table_index_.end() || from->second == to->second) continue;
        neighbours_[from->second].push_back(to->second);
        neighbours_[to->second].push_back(from->second);
    }
    for (auto& list : neighbours_) {
        std::sort(list.begin(), list.end());
        list.erase(std::unique(list.begin(), list.end()), list.end());
    }
}

void TableRanker::word_gain(const std::string& word, std::vector<double>& gain,
                            std::vector<std::size_t>& touched) const {
    auto credit = [&](const Word& entry, double share) {
        for (const auto& posting : entry.postings) {
            const double weight = share * entry.idf * posting.weight;
            if (gain[posting.table] == 0.0) touched.push_back(posting.table);
            gain[posting.table] = std::max(gain[posting.table], weight);
        }
    };
    if (auto exact = words_.find(word); exact != words_.end()) credit(exact->second, 1.0);
    const double share = options_.related_share;
    if (share <= 0.0) return;
    // Other forms of the same word ("rated" / "rating", "reviewed" / "reviewer").
    if (auto same = stems_.find(stem(word)); same != stems_.end()) {
        for (const auto& other : same->second)
            if (other != word) credit(words_.at(other), share);
    }
    if (word.size() < options_.min_prefix) return;
    // Longer words that start with this one ("dorm" / "dormitory").
    for (auto it = std::lower_bound(sorted_words_.begin(), sorted_words_.end(), word);
         it != sorted_words_.end() && it->compare(0, word.size(), word) == 0; ++it) {
        if (it->size() != word.size()) credit(words_.at(*it), share);
    }
    // Abbreviations of this word in names ("dept", "crs", "emp"): short,
    // same first letter, letters in order.
    if (options_.max_abbreviation > 0 && word.size() >= 5) {
        const std::string first(1, word.front());
        for (auto it = std::lower_bound(sorted_words_.begin(), sorted_words_.end(), first);
             it != sorted_words_.end() && it->front() == word.front(); ++it) {
            if (it->size() < 3 || it->size() > options_.max_abbreviation || it->size() + 2 > word.size()) continue;
            std::size_t matched = 0;
            for (char c : word)
                if (matched < it->size() && (*it)[matched] == c) ++matched;
            if (matched == it->size()) credit(words_.at(*it), share);
        }
    }
    // Shorter words that this one starts with ("departmental" / "department").
    for (std::size_t length = options_.min_prefix; length < word.size(); ++length) {
        if (auto shorter = words_.find(word.substr(0, length)); shorter != words_.end()) credit(shorter->second, share);
    }
}

std::vector<RankedTable> TableRanker::rank(const std::string& question, std::size_t k,
                                           const std::vector<std::string>* candidates) const {
    const std::size_t n = tables_.size();
    std::vector<double> base(n, 0.0);
    std::vector<std::size_t> name_hits(n, 0);
    std::vector<double> gain(n, 0.0);
    std::vector<std::size_t> touched;

    std::vector<std::string> words = identifier_words(question);
    std::sort(words.begin(), words.end());
    words.erase(std::unique(words.begin(), words.end()), words.end());
    for (const auto& word : words) {
        touched.clear();
        word_gain(word, gain, touched);
        for (std::size_t t : touched) {
            base[t] += gain[t];
            if (std::binary_search(name_words_[t].begin(), name_words_[t].end(), word)) ++name_hits[t];
            gain[t] = 0.0;
        }
    }

    // Which tables may be offered.
    std::vector<char> eligible(n, candidates == nullptr ? 1 : 0);
    std::vector<std::string> unknown;
    if (candidates != nullptr) {
        for (const auto& name : *candidates) {
            if (auto found = table_index_.find(name); found != table_index_.end())
                eligible[found->second] = 1;
            else
                unknown.push_back(name);
        }
    }
    for (std::size_t t = 0; t < n; ++t) {
        if (!eligible[t]) {
            base[t] = 0.0;
            continue;
        }
        if (base[t] > 0.0 && !name_words_[t].empty() && name_hits[t] >= name_words_[t].size())
            base[t] *= 1.0 + options_.full_name_bonus;
    }

    // A table joined to a match comes along with part of the match's score:
    // a question about singers and concerts also needs the table linking them.
    std::vector<double> score = base;
    if (options_.foreign_key_lift > 0.0) {
        for (std::size_t t = 0; t < n; ++t) {
            if (!eligible[t]) continue;
            double strongest = 0.0;
            for (std::size_t other : neighbours_[t]) strongest = std::max(strongest, base[other]);
            score[t] += options_.foreign_key_lift * strongest;
        }
    }

    std::vector<RankedTable> ranked;
    ranked.reserve(n + unknown.size());
    for (std::size_t t = 0; t < n; ++t)
        if (eligible[t]) ranked.push_back({tables_[t], score[t]});
    std::sort(unknown.begin(), unknown.end());
    unknown.erase(std::unique(unknown.begin(), unknown.end()), unknown.end());
    for (auto& name : unknown) ranked.push_back({std::move(name), 0.0});

    auto better = [](const RankedTable& a, const RankedTable& b) {
        return a.score != b.score ? a.score > b.score : a.name < b.name;
    };
    const std::size_t keep = std::min(k, ranked.size());
    std::partial_sort(ranked.begin(), ranked.begin() + static_cast<std::ptrdiff_t>(keep), ranked.end(), better);
    ranked.resize(keep);
    return ranked;
}

}  // namespace zorvanai::function_calling
