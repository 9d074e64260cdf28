// The data-file classes shared by the WMI test doubles (the COM double in
// wmidouble.dll and the native WinRM double): the catalogue of data files,
// their parsing, and a WQL statement's WHERE applied to their rows. No
// platform headers: both doubles compile this part; each adds how it reads
// the files and how it hands values out (DataTable.h, the WinRM double).
#pragma once

#include <ctime>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace datatable {

enum class Type { String, Uint16, Uint32, Uint64, Boolean, Datetime };

struct Column {
    std::wstring name;
    Type type;
};

struct Table {
    std::wstring className;                       // as __CLASS spells it
    bool singleton = false;                       // no key: __RELPATH CLASS=@
    std::vector<Column> columns;                  // the first is the key, unless a singleton
    std::vector<std::vector<std::wstring>> rows;  // cells as text; empty is null
};

// One data file (tests/wmidouble/data/FILE): the default rows of a class,
// or a computer's overlay whose rows replace the default rows of the same
// key (a singleton's overlay replaces its row).
struct DataFile {
    const wchar_t* className;
    const wchar_t* server;  // null: every computer
    const char* file;
    bool singleton;
};
extern const DataFile kDataFiles[];
extern const size_t kDataFileCount;

// Every class's table per computer: {upper-case class, upper-case computer
// or "" for the default}.
using Tables = std::map<std::pair<std::wstring, std::wstring>, std::shared_ptr<const Table>>;

// Reads every file of the catalogue through read (a file's UTF-8 text,
// empty when missing); a file that is missing or malformed serves nothing.
// now resolves datetime cells written as "now-SECONDS". Throws bad_alloc.
Tables LoadAll(const std::function<std::string(const char* file)>& read, std::time_t now);

// A file's table, or false when it is malformed (see the files' header).
bool Parse(const std::string& utf8, std::time_t now, Table* table);

// The table of the class as the computer serves it, or null.
std::shared_ptr<const Table> FindIn(const Tables& tables, const std::wstring& className, const std::wstring& server);

// The rows that the WQL statement's WHERE selects, in order (all without a
// WHERE); false for a statement it cannot read or a WHERE that names a
// property the class lacks, as WMI fails such a query.
bool Select(const Table& table, const std::wstring& query, std::vector<size_t>* rows);

// The class of "SELECT ... FROM CLASS ...": false when there is none.
bool QueryClass(const std::wstring& query, std::wstring* className);

// Text helpers: comparison without case, and UTF-8.
bool EqualNoCase(const std::wstring& a, const std::wstring& b);
std::wstring Upper(std::wstring text);
std::wstring FromUtf8(const std::string& text);
std::string ToUtf8(const std::wstring& text);

}  // namespace datatable
