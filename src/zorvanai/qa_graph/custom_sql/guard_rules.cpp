#include "guard_rules.hpp"

#include <unordered_set>

namespace zorvanai::custom_sql {

namespace {

using Names = std::unordered_set<std::string>;

// The names in a text of names separated by blanks.
Names words(const char* text) {
    Names names;
    std::string word;
    for (const char* c = text;; ++c) {
        if (*c == ' ' || *c == '\0') {
            if (!word.empty()) names.insert(word);
            word.clear();
            if (*c == '\0') break;
        } else {
            word += *c;
        }
    }
    return names;
}

// Aggregate and window functions every dialect here shares.
const Names& common_functions() {
    static const Names names = words(
        "count sum avg min max row_number rank dense_rank percent_rank cume_dist ntile lag lead "
        "first_value last_value nth_value coalesce nullif abs round lower upper length replace substr "
        "substring trim ltrim rtrim cast ");
    return names;
}

const Names& postgres_functions() {
    static const Names names = words(
        // aggregates
        "string_agg array_agg bool_and bool_or every stddev stddev_pop stddev_samp variance var_pop "
        "var_samp corr covar_pop covar_samp regr_avgx regr_avgy regr_count regr_intercept regr_r2 "
        "regr_slope regr_sxx regr_sxy regr_syy percentile_cont percentile_disc mode json_agg jsonb_agg "
        "json_object_agg jsonb_object_agg bit_and bit_or bit_xor grouping "
        // math
        "ceil ceiling floor trunc sign sqrt cbrt power pow exp ln log log10 mod div pi degrees radians "
        "sin cos tan asin acos atan atan2 cot sind cosd tand sinh cosh tanh greatest least width_bucket "
        "gcd lcm scale factorial random "
        // strings
        "char_length character_length octet_length bit_length initcap btrim lpad rpad left right "
        "translate repeat reverse strpos position split_part concat concat_ws format to_char to_number "
        "to_date to_timestamp regexp_replace regexp_match regexp_matches regexp_split_to_array "
        "regexp_count regexp_instr regexp_like regexp_substr starts_with md5 ascii chr quote_ident "
        "quote_literal quote_nullable encode decode overlay normalize string_to_array array_to_string "
        // date and time
        "now current_date current_timestamp current_time localtime localtimestamp clock_timestamp "
        "statement_timestamp transaction_timestamp date_trunc date_part extract age make_date make_time "
        "make_timestamp make_timestamptz make_interval justify_days justify_hours justify_interval "
        "isfinite date_bin "
        // conditional
        "num_nulls num_nonnulls "
        // JSON
        "json_extract_path json_extract_path_text jsonb_extract_path jsonb_extract_path_text "
        "json_array_length jsonb_array_length json_typeof jsonb_typeof to_json to_jsonb json_build_object "
        "jsonb_build_object json_build_array jsonb_build_array row_to_json jsonb_pretty json_object_keys "
        "jsonb_object_keys json_array_elements jsonb_array_elements json_array_elements_text "
        "jsonb_array_elements_text jsonb_path_query jsonb_path_query_first jsonb_path_exists "
        "jsonb_path_match json_strip_nulls jsonb_strip_nulls "
        // arrays
        "array_length cardinality array_position array_positions array_remove array_replace array_append "
        "array_prepend array_cat array_lower array_upper array_ndims array_dims unnest generate_series "
        "generate_subscripts ");
    return names;
}

const Names& mysql_functions() {
    static const Names names = words(
        // aggregates
        "group_concat std stddev stddev_pop stddev_samp variance var_pop var_samp bit_and bit_or bit_xor "
        "json_arrayagg json_objectagg "
        // math
        "ceil ceiling floor truncate sign sqrt power pow exp ln log log2 log10 mod pi degrees radians sin "
        "cos tan asin acos atan atan2 cot greatest least conv crc32 rand "
        // strings
        "char_length character_length octet_length bit_length lcase ucase lpad rpad substring_index mid "
        "left right repeat reverse locate position instr strcmp concat concat_ws field find_in_set format "
        "space ascii ord hex unhex md5 sha1 sha2 regexp_replace regexp_substr regexp_instr elt soundex "
        "quote char bin oct "
        // date and time
        "now curdate current_date curtime current_time current_timestamp localtime localtimestamp "
        "utc_date utc_time utc_timestamp sysdate date time year month day dayofmonth dayofweek dayofyear "
        "dayname monthname week weekday weekofyear yearweek quarter hour minute second microsecond "
        "last_day date_add date_sub adddate subdate addtime subtime datediff timediff timestampdiff "
        "timestampadd date_format time_format str_to_date from_days to_days from_unixtime unix_timestamp "
        "makedate maketime period_add period_diff extract sec_to_time time_to_sec convert_tz "
        // conditional
        "if ifnull isnull "
        // JSON
        "json_extract json_unquote json_value json_query json_exists json_contains json_contains_path "
        "json_keys json_length json_type json_valid json_object json_array json_quote json_search "
        "json_depth convert ");
    return names;
}

const Names& tsql_functions() {
    static const Names names = words(
        "count_big string_agg stdev stdevp var varp grouping percentile_cont percentile_disc ceiling "
        "floor sign sqrt square power exp log log10 pi sin cos tan asin acos atan atn2 cot degrees "
        "radians len datalength left right replicate reverse charindex patindex concat concat_ws stuff "
        "format space str char ascii unicode nchar translate getdate getutcdate sysdatetime "
        "sysutcdatetime sysdatetimeoffset current_timestamp dateadd datediff datediff_big datename "
        "datepart day month year eomonth datefromparts datetimefromparts timefromparts isdate iif isnull "
        "choose convert try_cast try_convert parse try_parse json_value json_query isjson ");
    return names;
}

const Names& sqlite_functions() {
    static const Names names = words(
        "total group_concat instr printf format hex quote char unicode ifnull iif date time datetime "
        "julianday strftime unixepoch json_extract json json_array json_object json_type json_valid "
        "json_array_length typeof max min ");
    return names;
}

const Names& dialect_functions(GuardDialect dialect) {
    switch (dialect) {
        case GuardDialect::Postgres:
            return postgres_functions();
        case GuardDialect::MySQL:
            return mysql_functions();
        case GuardDialect::TSQL:
            return tsql_functions();
        case GuardDialect::SQLite:
            break;
    }
    return sqlite_functions();
}

}  // namespace

const char* sqlglot_name(GuardDialect dialect) {
    switch (dialect) {
        case GuardDialect::Postgres:
            return "postgres";
        case GuardDialect::MySQL:
            return "mysql";
        case GuardDialect::TSQL:
            return "tsql";
        case GuardDialect::SQLite:
            break;
    }
    return "sqlite";
}

bool function_allowed(GuardDialect dialect, const std::string& name) {
    return common_functions().count(name) != 0 || dialect_functions(dialect).count(name) != 0;
}

bool table_function_allowed(GuardDialect dialect, const std::string& name) {
    static const Names postgres = words(
        "generate_series generate_subscripts unnest json_each jsonb_each json_each_text jsonb_each_text "
        "json_array_elements jsonb_array_elements json_array_elements_text jsonb_array_elements_text "
        "json_object_keys jsonb_object_keys regexp_matches jsonb_path_query ");
    static const Names mysql = {"json_table"};
    static const Names sqlite = {"json_each"};
    switch (dialect) {
        case GuardDialect::Postgres:
            return postgres.count(name) != 0;
        case GuardDialect::MySQL:
            return mysql.count(name) != 0;
        case GuardDialect::SQLite:
            return sqlite.count(name) != 0;
        case GuardDialect::TSQL:
            break;
    }
    return false;
}

bool structure_allowed(const std::string& expression_class) {
    static const Names names = words(
        // clauses
        "Select Union Except Intersect Subquery From Join Where Group Having Order Ordered Limit "
        "LimitOptions Offset Fetch With CTE TableAlias Values Tuple Lateral Unnest Window WindowSpec "
        "Distinct Cube Rollup GroupingSets Filter WithinGroup IgnoreNulls RespectNulls IndexTableHint "
        "JSONColumnDef JSONSchema "
        // names and values
        "Star Identifier Literal Null Boolean Alias Paren Placeholder DataTypeParam Interval Var Bracket "
        "JSONPath JSONPathKey JSONPathRoot JSONPathSubscript JSONPathWildcard Escape "
        // operators
        "EQ NEQ GT GTE LT LTE NullSafeEQ NullSafeNEQ Is In Between Like ILike SimilarTo Glob Not Add Sub "
        "Mul Div IntDiv Mod Neg BitwiseAnd BitwiseOr BitwiseXor BitwiseNot BitwiseLeftShift "
        "BitwiseRightShift DPipe Any All AtTimeZone Overlaps ");
    return names.count(expression_class) != 0;
}

bool syntax_function_allowed(const std::string& function_class) {
    static const Names names = words(
        "And Or Xor Case If Cast TryCast Extract Exists Array Collate CurrentDate CurrentTime "
        "CurrentTimestamp Localtime Localtimestamp Trim Substring StrPosition Concat Ceil Floor Initcap "
        "GroupConcat RegexpLike RegexpILike JSONExtract JSONExtractScalar JSONBExtract JSONBExtractScalar "
        "JSONBContains JSONTable TsOrDsToDate TsOrDsToTimestamp Unnest ArrayContains ArrayContainsAll "
        "ArrayOverlaps Pow Overlay Nullif Coalesce Count Convert CurrentDatetime ");
    return names.count(function_class) != 0;
}

const char* allowed_function_kinds() {
    return "built-in aggregate, window, math, string, date/time, conditional, cast and JSON functions";
}

bool type_allowed(const std::string& type_name) {
    static const Names names = words(
        "BIT BOOLEAN TINYINT UTINYINT SMALLINT USMALLINT MEDIUMINT UMEDIUMINT INT UINT BIGINT UBIGINT "
        "INT128 DECIMAL UDECIMAL BIGDECIMAL DOUBLE UDOUBLE FLOAT UFLOAT MONEY SMALLMONEY CHAR NCHAR "
        "VARCHAR NVARCHAR BPCHAR TEXT TINYTEXT MEDIUMTEXT LONGTEXT NAME BINARY VARBINARY BLOB TINYBLOB "
        "MEDIUMBLOB LONGBLOB DATE DATETIME DATETIME2 SMALLDATETIME DATETIMEOFFSET TIME TIMETZ TIMESTAMP "
        "TIMESTAMPTZ TIMESTAMPLTZ INTERVAL YEAR JSON JSONB UUID UNIQUEIDENTIFIER ARRAY INET ");
    return names.count(type_name) != 0;
}

}  // namespace zorvanai::custom_sql
