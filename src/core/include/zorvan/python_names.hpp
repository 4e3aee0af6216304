// Every Python module and attribute the package's C++ code uses, declared
// once. Resolve one with zorvan::imported(dep::name) (see imports.hpp); a
// misspelt name fails here, at the first use, and a reader finds every
// dependency of the package in this one file. Generated names: module
// path with dots as underscores, then the attribute.
#pragma once

#include "zorvan/imports.hpp"

namespace zorvan::dep {

// Python's standard library
inline constexpr PythonName argparse_module{"argparse", nullptr};
inline constexpr PythonName ast_module{"ast", nullptr};
inline constexpr PythonName ast_parse{"ast", "parse"};
inline constexpr PythonName atexit_register{"atexit", "register"};
inline constexpr PythonName builtins_module{"builtins", nullptr};
inline constexpr PythonName builtins_FileNotFoundError{"builtins", "FileNotFoundError"};
inline constexpr PythonName builtins_bool{"builtins", "bool"};
inline constexpr PythonName builtins_bytearray{"builtins", "bytearray"};
inline constexpr PythonName builtins_classmethod{"builtins", "classmethod"};
inline constexpr PythonName builtins_dict{"builtins", "dict"};
inline constexpr PythonName builtins_int{"builtins", "int"};
inline constexpr PythonName builtins_iter{"builtins", "iter"};
inline constexpr PythonName builtins_list{"builtins", "list"};
inline constexpr PythonName builtins_memoryview{"builtins", "memoryview"};
inline constexpr PythonName builtins_object{"builtins", "object"};
inline constexpr PythonName builtins_open{"builtins", "open"};
inline constexpr PythonName builtins_print{"builtins", "print"};
inline constexpr PythonName builtins_property{"builtins", "property"};
inline constexpr PythonName builtins_range{"builtins", "range"};
inline constexpr PythonName builtins_slice{"builtins", "slice"};
inline constexpr PythonName builtins_staticmethod{"builtins", "staticmethod"};
inline constexpr PythonName builtins_str{"builtins", "str"};
inline constexpr PythonName builtins_zip{"builtins", "zip"};
inline constexpr PythonName collections_abc_Mapping{"collections.abc", "Mapping"};
inline constexpr PythonName contextvars_ContextVar{"contextvars", "ContextVar"};
inline constexpr PythonName contextvars_copy_context{"contextvars", "copy_context"};
inline constexpr PythonName datetime_module{"datetime", nullptr};
inline constexpr PythonName decimal_Decimal{"decimal", "Decimal"};
inline constexpr PythonName errno_ENOENT{"errno", "ENOENT"};
inline constexpr PythonName gc_module{"gc", nullptr};
inline constexpr PythonName inspect_Parameter{"inspect", "Parameter"};
inline constexpr PythonName inspect_Signature{"inspect", "Signature"};
inline constexpr PythonName inspect_signature{"inspect", "signature"};
inline constexpr PythonName io_module{"io", nullptr};
inline constexpr PythonName io_BytesIO{"io", "BytesIO"};
inline constexpr PythonName io_StringIO{"io", "StringIO"};
inline constexpr PythonName io_open{"io", "open"};
inline constexpr PythonName ipaddress_ip_address{"ipaddress", "ip_address"};
inline constexpr PythonName json_JSONDecodeError{"json", "JSONDecodeError"};
inline constexpr PythonName json_dumps{"json", "dumps"};
inline constexpr PythonName json_load{"json", "load"};
inline constexpr PythonName json_loads{"json", "loads"};
inline constexpr PythonName logging_module{"logging", nullptr};
inline constexpr PythonName logging_getLogger{"logging", "getLogger"};
inline constexpr PythonName operator_module{"operator", nullptr};
inline constexpr PythonName os_module{"os", nullptr};
inline constexpr PythonName os__exit{"os", "_exit"};
inline constexpr PythonName os_environ{"os", "environ"};
inline constexpr PythonName os_fspath{"os", "fspath"};
inline constexpr PythonName os_getcwd{"os", "getcwd"};
inline constexpr PythonName os_makedirs{"os", "makedirs"};
inline constexpr PythonName os_path_module{"os.path", nullptr};
inline constexpr PythonName os_path_abspath{"os.path", "abspath"};
inline constexpr PythonName os_path_exists{"os.path", "exists"};
inline constexpr PythonName os_path_isdir{"os.path", "isdir"};
inline constexpr PythonName os_path_realpath{"os.path", "realpath"};
inline constexpr PythonName pathlib_Path{"pathlib", "Path"};
inline constexpr PythonName queue_SimpleQueue{"queue", "SimpleQueue"};
inline constexpr PythonName random_Random{"random", "Random"};
inline constexpr PythonName secrets_module{"secrets", nullptr};
inline constexpr PythonName shutil_get_terminal_size{"shutil", "get_terminal_size"};
inline constexpr PythonName shutil_rmtree{"shutil", "rmtree"};
inline constexpr PythonName sqlite3_module{"sqlite3", nullptr};
inline constexpr PythonName sqlite3_connect{"sqlite3", "connect"};
inline constexpr PythonName stat_S_IMODE{"stat", "S_IMODE"};
inline constexpr PythonName sys_module{"sys", nullptr};
inline constexpr PythonName sys_executable{"sys", "executable"};
inline constexpr PythonName sys_stdin{"sys", "stdin", Lookup::each_use};
inline constexpr PythonName sys_stdout{"sys", "stdout", Lookup::each_use};
inline constexpr PythonName sysconfig_get_paths{"sysconfig", "get_paths"};
inline constexpr PythonName tempfile_module{"tempfile", nullptr};
inline constexpr PythonName tempfile_mkdtemp{"tempfile", "mkdtemp"};
inline constexpr PythonName tempfile_tempdir{"tempfile", "tempdir", Lookup::each_use};
inline constexpr PythonName threading_RLock{"threading", "RLock"};
inline constexpr PythonName threading_Thread{"threading", "Thread"};
inline constexpr PythonName threading_local{"threading", "local"};
inline constexpr PythonName time_monotonic{"time", "monotonic"};
inline constexpr PythonName traceback_module{"traceback", nullptr};
inline constexpr PythonName types_MethodType{"types", "MethodType"};
inline constexpr PythonName types_ModuleType{"types", "ModuleType"};
inline constexpr PythonName typing_module{"typing", nullptr};
inline constexpr PythonName urllib_parse_quote{"urllib.parse", "quote"};
inline constexpr PythonName urllib_parse_quote_plus{"urllib.parse", "quote_plus"};
inline constexpr PythonName urllib_parse_urlsplit{"urllib.parse", "urlsplit"};
inline constexpr PythonName uuid_UUID{"uuid", "UUID"};
inline constexpr PythonName weakref_WeakKeyDictionary{"weakref", "WeakKeyDictionary"};

// The libraries the package depends on
inline constexpr PythonName PIL_Image_open{"PIL.Image", "open"};
inline constexpr PythonName dotenv_module{"dotenv", nullptr};
inline constexpr PythonName httpx2_BaseTransport{"httpx2", "BaseTransport"};
inline constexpr PythonName httpx2_HTTPTransport{"httpx2", "HTTPTransport"};
inline constexpr PythonName langchain_classic_agents_agent_RunnableAgent{"langchain_classic.agents.agent",
                                                                         "RunnableAgent"};
inline constexpr PythonName langchain_community_callbacks_openai_info_module{
    "langchain_community.callbacks.openai_info", nullptr};
inline constexpr PythonName langchain_community_tools_sql_database_tool_module{
    "langchain_community.tools.sql_database.tool", nullptr};
inline constexpr PythonName langchain_community_utilities_SQLDatabase{"langchain_community.utilities", "SQLDatabase"};
inline constexpr PythonName langchain_core_callbacks_BaseCallbackHandler{"langchain_core.callbacks",
                                                                         "BaseCallbackHandler"};
inline constexpr PythonName langchain_core_exceptions_OutputParserException{"langchain_core.exceptions",
                                                                            "OutputParserException"};
inline constexpr PythonName langchain_core_messages_module{"langchain_core.messages", nullptr};
inline constexpr PythonName langchain_core_messages_HumanMessage{"langchain_core.messages", "HumanMessage"};
inline constexpr PythonName langchain_core_messages_SystemMessage{"langchain_core.messages", "SystemMessage"};
inline constexpr PythonName langchain_core_prompts_module{"langchain_core.prompts", nullptr};
inline constexpr PythonName langchain_core_runnables_Runnable{"langchain_core.runnables", "Runnable"};
inline constexpr PythonName langchain_core_runnables_RunnableConfig{"langchain_core.runnables", "RunnableConfig"};
inline constexpr PythonName langchain_core_runnables_graph_MermaidDrawMethod{"langchain_core.runnables.graph",
                                                                             "MermaidDrawMethod"};
inline constexpr PythonName langchain_openai_module{"langchain_openai", nullptr};
inline constexpr PythonName langchain_openai_AzureChatOpenAI{"langchain_openai", "AzureChatOpenAI"};
inline constexpr PythonName langchain_openai_ChatOpenAI{"langchain_openai", "ChatOpenAI"};
inline constexpr PythonName langgraph_graph_END{"langgraph.graph", "END"};
inline constexpr PythonName langgraph_graph_StateGraph{"langgraph.graph", "StateGraph"};
inline constexpr PythonName loguru_logger{"loguru", "logger"};
inline constexpr PythonName matplotlib_use{"matplotlib", "use"};
inline constexpr PythonName matplotlib_pyplot_module{"matplotlib.pyplot", nullptr};
inline constexpr PythonName mysql_connector_constants_ClientFlag{"mysql.connector.constants", "ClientFlag"};
inline constexpr PythonName openai_module{"openai", nullptr};
inline constexpr PythonName openai_APITimeoutError{"openai", "APITimeoutError"};
inline constexpr PythonName openai_BadRequestError{"openai", "BadRequestError"};
inline constexpr PythonName openai_DefaultHttpxClient{"openai", "DefaultHttpxClient"};
inline constexpr PythonName openai_OpenAIError{"openai", "OpenAIError"};
inline constexpr PythonName openai_UnprocessableEntityError{"openai", "UnprocessableEntityError"};
inline constexpr PythonName openai_pydantic_function_tool{"openai", "pydantic_function_tool"};
inline constexpr PythonName pandas_DataFrame{"pandas", "DataFrame"};
inline constexpr PythonName psycopg2_module{"psycopg2", nullptr};
inline constexpr PythonName psycopg2_Error{"psycopg2", "Error"};
inline constexpr PythonName psycopg2_extras_DictCursor{"psycopg2.extras", "DictCursor"};
inline constexpr PythonName pydantic_module{"pydantic", nullptr};
inline constexpr PythonName pydantic_ValidationError{"pydantic", "ValidationError"};
inline constexpr PythonName pymysql_OperationalError{"pymysql", "OperationalError"};
inline constexpr PythonName pymysql_connect{"pymysql", "connect", Lookup::each_use};
inline constexpr PythonName pymysql_cursors_DictCursor{"pymysql.cursors", "DictCursor"};
inline constexpr PythonName pyodbc_module{"pyodbc", nullptr, Lookup::each_use};
inline constexpr PythonName requests_module{"requests", nullptr};
inline constexpr PythonName sqlalchemy_module{"sqlalchemy", nullptr};
inline constexpr PythonName sqlalchemy_MetaData{"sqlalchemy", "MetaData"};
inline constexpr PythonName sqlalchemy_bindparam{"sqlalchemy", "bindparam"};
inline constexpr PythonName sqlalchemy_inspect{"sqlalchemy", "inspect"};
inline constexpr PythonName sqlalchemy_text{"sqlalchemy", "text"};
inline constexpr PythonName sqlalchemy_engine_Engine{"sqlalchemy.engine", "Engine"};
inline constexpr PythonName sqlalchemy_engine_URL{"sqlalchemy.engine", "URL"};
inline constexpr PythonName sqlalchemy_engine_reflection_ObjectKind{"sqlalchemy.engine.reflection", "ObjectKind"};
inline constexpr PythonName sqlalchemy_engine_reflection_ObjectScope{"sqlalchemy.engine.reflection", "ObjectScope"};
inline constexpr PythonName sqlalchemy_engine_result_IteratorResult{"sqlalchemy.engine.result", "IteratorResult"};
inline constexpr PythonName sqlalchemy_engine_result_SimpleResultMetaData{"sqlalchemy.engine.result",
                                                                          "SimpleResultMetaData"};
inline constexpr PythonName sqlalchemy_exc_DBAPIError{"sqlalchemy.exc", "DBAPIError"};
inline constexpr PythonName sqlalchemy_exc_OperationalError{"sqlalchemy.exc", "OperationalError"};
inline constexpr PythonName sqlalchemy_exc_SQLAlchemyError{"sqlalchemy.exc", "SQLAlchemyError"};
inline constexpr PythonName sqlalchemy_sql_expression_Executable{"sqlalchemy.sql.expression", "Executable"};
inline constexpr PythonName sqlalchemy_types_NullType{"sqlalchemy.types", "NullType"};
inline constexpr PythonName sqlglot_module{"sqlglot", nullptr};
inline constexpr PythonName sqlglot_parse{"sqlglot", "parse"};
inline constexpr PythonName sqlglot_parse_one{"sqlglot", "parse_one"};
inline constexpr PythonName sqlglot_dialects_dialect_Dialect{"sqlglot.dialects.dialect", "Dialect"};
inline constexpr PythonName sqlglot_expressions_module{"sqlglot.expressions", nullptr};
inline constexpr PythonName sqlglot_optimizer_normalize_identifiers_normalize_identifiers{
    "sqlglot.optimizer.normalize_identifiers", "normalize_identifiers"};
inline constexpr PythonName sqlglot_optimizer_scope_Scope{"sqlglot.optimizer.scope", "Scope"};
inline constexpr PythonName sqlglot_optimizer_scope_traverse_scope{"sqlglot.optimizer.scope", "traverse_scope"};

// The package's own modules (who uses whom is in docs/architecture.md)
inline constexpr PythonName zorvanai___file__{"zorvanai", "__file__"};
inline constexpr PythonName zorvanai_agent_module{"zorvanai.agent", nullptr};
inline constexpr PythonName zorvanai_agent__run_for_evaluation{"zorvanai.agent", "_run_for_evaluation"};
inline constexpr PythonName zorvanai_agent_create_agent{"zorvanai.agent", "create_agent"};
inline constexpr PythonName zorvanai_api_ZorvanAPIHandler{"zorvanai.api", "ZorvanAPIHandler"};
inline constexpr PythonName zorvanai_api_base_url{"zorvanai.api", "base_url"};
inline constexpr PythonName zorvanai_api_fetch_deployments{"zorvanai.api", "fetch_deployments"};
inline constexpr PythonName zorvanai_api_send_user_question{"zorvanai.api", "send_user_question"};
inline constexpr PythonName zorvanai_api_send_user_question_later{"zorvanai.api", "send_user_question_later"};
inline constexpr PythonName zorvanai_api_wait_for_usage_reports{"zorvanai.api", "wait_for_usage_reports"};
inline constexpr PythonName zorvanai_cli_module{"zorvanai.cli", nullptr};
inline constexpr PythonName zorvanai_dbtool_module{"zorvanai.dbtool", nullptr};
inline constexpr PythonName zorvanai_function_calling_base_RelevantTablePicker{"zorvanai.function_calling.base",
                                                                               "RelevantTablePicker"};
inline constexpr PythonName zorvanai_function_calling_base_TableRanker{"zorvanai.function_calling.base", "TableRanker"};
inline constexpr PythonName zorvanai_prompts_answer_prompt_final_node_prompt{"zorvanai.prompts.answer_prompt",
                                                                             "final_node_prompt"};
inline constexpr PythonName zorvanai_prompts_context_module{"zorvanai.prompts.context", nullptr};
inline constexpr PythonName zorvanai_qa_graph_custom_sql_CustomSQLDatabase{"zorvanai.qa_graph.custom_sql",
                                                                           "CustomSQLDatabase"};
inline constexpr PythonName zorvanai_qa_graph_qa_graph_SQLGraph{"zorvanai.qa_graph.qa_graph", "SQLGraph"};
inline constexpr PythonName zorvanai_qa_graph_qa_nodes_module{"zorvanai.qa_graph.qa_nodes", nullptr};
inline constexpr PythonName zorvanai_qa_graph_qa_prompts_module{"zorvanai.qa_graph.qa_prompts", nullptr};
inline constexpr PythonName zorvanai_settings_module{"zorvanai.settings", nullptr};
inline constexpr PythonName zorvanai_settings_load_model_settings{"zorvanai.settings", "load_model_settings"};

}  // namespace zorvan::dep
