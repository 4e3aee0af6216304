// A local shortlist of the tables that may matter for a question, so that the
// model is offered a bounded list however large the database is. Plain C++:
// the index is built once from the catalogue and then only read.
#pragma once

#include <cstddef>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace zorvanai::function_calling {

// The default shortlist size.
constexpr std::size_t kDefaultShortlistSize = 60;

struct RankerOptions {
    // Weight of a question word found among a table's name words, and among
    // its column words; a name says more about what a table holds.
    double name_weight = 3.0;
    double column_weight = 1.0;
    // Share of the name weight for words before the last one of a name.
    double modifier_share = 0.3;
    // Share of the weight that a related form earns: a prefix ("dorm" /
    // "dormitory") or the same stem ("rated" / "rating").
    double related_share = 0.5;
    // Shortest prefix that counts as a match.
    std::size_t min_prefix = 4;
    // Longest name word read as an abbreviation of a question word
    // ("dept" for "department"); 0 turns this off.
    std::size_t max_abbreviation = 4;
    // A table gains this share of the score of its strongest match among
    // the tables it is joined to by a foreign key.
    double foreign_key_lift = 0.5;
    // Bonus share when every word of a table's own name is in the question.
    double full_name_bonus = 0.5;
};

struct TableColumns {
    std::string name;
    std::vector<std::string> columns;
};

struct ForeignKeyLink {
    std::string table;
    std::string referenced_table;
};

struct RankedTable {
    std::string name;
    double score;
};

// The words of an identifier: split at anything but letters and digits, at
// lower-to-upper case changes ("orderLine"), before the last capital of a
// capital run ("XMLFile" -> xml, file) and between letters and digits;
// lower-cased, singular, stop words dropped. Questions go through the same
// function so both sides meet in one vocabulary.
std::vector<std::string> identifier_words(const std::string& text);

// The root shared by a word's forms ("rated", "rating" -> "rat"): crude,
// used only to find related words, never shown.
std::string stem(const std::string& word);

// The singular form used for matching ("companies" -> "company",
// "boxes" -> "box", "singers" -> "singer"); words that only look plural
// ("status", "class", "analysis") are kept.
std::string singular(const std::string& lower_word);

class TableRanker {
public:
    // Tables keep their given names; duplicates are merged (their columns
    // joined). Links naming unknown tables are ignored.
    TableRanker(std::vector<TableColumns> tables, const std::vector<ForeignKeyLink>& links, RankerOptions options = {});

    // The `k` best tables for `question`, best first; ties in name order.
    // With `candidates`, only those tables are ranked (names the index does
    // not know score zero).
    std::vector<RankedTable> rank(const std::string& question, std::size_t k,
                                  const std::vector<std::string>* candidates = nullptr) const;

    std::size_t size() const { return tables_.size(); }
    const std::vector<std::string>& names() const { return tables_; }
    const RankerOptions& options() const { return options_; }

private:
    struct Posting {
        std::size_t table;
        double weight;
    };
    struct Word {
        std::vector<Posting> postings;
        double idf = 0.0;
    };

    // Adds the weight each table earns for one question word to `gain`
    // (the best of its exact and prefix matches).
    void word_gain(const std::string& word, std::vector<double>& gain, std::vector<std::size_t>& touched) const;

    RankerOptions options_;
    std::vector<std::string> tables_;  // sorted by name
    std::unordered_map<std::string, std::size_t> table_index_;
    std::vector<std::vector<std::string>> name_words_;  // distinct and sorted, per table
    std::vector<std::vector<std::size_t>> neighbours_;
    std::unordered_map<std::string, Word> words_;
    std::vector<std::string> sorted_words_;  // for prefix look-ups
    std::unordered_map<std::string, std::vector<std::string>> stems_;
};

}  // namespace zorvanai::function_calling
