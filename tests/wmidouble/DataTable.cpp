#include "DataTable.h"

#include <cwctype>
#include <map>

namespace datatable {
namespace {

// ---------------------------------------------------------------------------
// The data files, as resources of this DLL (DataTables.rc).

struct DataFile {
    const wchar_t* className;
    const wchar_t* server;    // null: every computer; else its overlay
    const wchar_t* resource;
};
const DataFile kDataFiles[] = {
    {L"Win32_Service", nullptr, L"SERVICES_DEFAULT"},
    {L"Win32_Service", L"SVCFAIL01", L"SERVICES_SVCFAIL01"},
};

std::wstring Upper(std::wstring text) {
    for (wchar_t& c : text) c = static_cast<wchar_t>(std::towupper(c));
    return text;
}

// The resource's text (UTF-8), empty when it is missing.
std::wstring ResourceText(const wchar_t* name) {
    HMODULE module = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCWSTR>(&ResourceText), &module))
        return std::wstring();
    HRSRC found = FindResourceW(module, name, MAKEINTRESOURCEW(10));  // RT_RCDATA
    HGLOBAL loaded = found ? LoadResource(module, found) : nullptr;
    const char* bytes = loaded ? static_cast<const char*>(LockResource(loaded)) : nullptr;
    const int size = found ? static_cast<int>(SizeofResource(module, found)) : 0;
    if (!bytes || size <= 0) return std::wstring();
    std::wstring text(static_cast<size_t>(MultiByteToWideChar(CP_UTF8, 0, bytes, size, nullptr, 0)), L'\0');
    if (!text.empty()) MultiByteToWideChar(CP_UTF8, 0, bytes, size, &text[0], static_cast<int>(text.size()));
    return text;
}

std::vector<std::wstring> SplitTabs(const std::wstring& line) {
    std::vector<std::wstring> cells(1);
    for (wchar_t c : line) {
        if (c == L'\t') cells.emplace_back();
        else cells.back() += c;
    }
    return cells;
}

// Parses a data file; false when it is malformed.
bool Parse(const std::wstring& text, Table* table) {
    bool header = true;
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find(L'\n', at);
        if (end == std::wstring::npos) end = text.size();
        std::wstring line = text.substr(at, end - at);
        at = end + 1;
        if (!line.empty() && line.back() == L'\r') line.pop_back();
        if (line.empty() || line[0] == L'#') continue;
        std::vector<std::wstring> cells = SplitTabs(line);
        if (header) {
            for (const std::wstring& cell : cells) {
                const size_t colon = cell.find(L':');
                const std::wstring type = colon == std::wstring::npos ? std::wstring() : cell.substr(colon + 1);
                const CIMTYPE cim = type == L"string" ? CIM_STRING
                                    : type == L"uint32" ? CIM_UINT32
                                    : type == L"boolean" ? CIM_BOOLEAN : CIM_EMPTY;
                if (cim == CIM_EMPTY || colon == 0) return false;
                table->columns.push_back({cell.substr(0, colon), cim});
            }
            header = false;
        } else {
            if (cells.size() != table->columns.size() || cells[0].empty()) return false;
            table->rows.push_back(std::move(cells));
        }
    }
    return !table->columns.empty();
}

// Every class's table per computer ("" for the default), loaded once.
using Tables = std::map<std::pair<std::wstring, std::wstring>, std::shared_ptr<const Table>>;
Tables LoadAll() {
    Tables tables;
    for (const DataFile& file : kDataFiles) {
        if (file.server) continue;
        auto table = std::make_shared<Table>();
        if (Parse(ResourceText(file.resource), table.get())) tables[{Upper(file.className), L""}] = table;
    }
    for (const DataFile& file : kDataFiles) {
        const auto base = tables.find({Upper(file.className), L""});
        Table overlay;
        if (!file.server || base == tables.end() || !Parse(ResourceText(file.resource), &overlay)) continue;
        auto table = std::make_shared<Table>(*base->second);
        bool sameColumns = overlay.columns.size() == table->columns.size();
        for (size_t i = 0; sameColumns && i < overlay.columns.size(); ++i)
            sameColumns = overlay.columns[i].name == table->columns[i].name;
        if (!sameColumns) continue;
        for (std::vector<std::wstring>& row : overlay.rows) {
            bool replaced = false;
            for (std::vector<std::wstring>& old : table->rows)
                if (_wcsicmp(old[0].c_str(), row[0].c_str()) == 0) {
                    old = row;
                    replaced = true;
                }
            if (!replaced) table->rows.push_back(row);
        }
        tables[{Upper(file.className), Upper(file.server)}] = table;
    }
    return tables;
}

// ---------------------------------------------------------------------------
// WQL: SELECT ... FROM class [WHERE condition]; the condition with AND, OR,
// NOT, parentheses, = <> != < > <= >=, IS [NOT] NULL, quoted strings,
// numbers, TRUE, FALSE, NULL and property names (without case).

enum class Token { Word, Text, Number, Operator, Open, Close, Other, End };
struct Lexeme {
    Token token;
    std::wstring text;
};

// False for an unterminated string.
bool Lex(const wchar_t* p, std::vector<Lexeme>* out) {
    while (*p) {
        if (std::iswspace(*p)) {
            ++p;
        } else if (std::iswalpha(*p) || *p == L'_') {
            const wchar_t* start = p;
            while (std::iswalnum(*p) || *p == L'_') ++p;
            out->push_back({Token::Word, std::wstring(start, p)});
        } else if (*p == L'\'' || *p == L'"') {
            const wchar_t quote = *p++;
            std::wstring text;
            for (; *p && *p != quote; ++p) {
                if (*p == L'\\' && p[1]) ++p;
                text += *p;
            }
            if (!*p) return false;
            ++p;
            out->push_back({Token::Text, text});
        } else if (std::iswdigit(*p) || ((*p == L'-' || *p == L'.') && std::iswdigit(p[1]))) {
            const wchar_t* start = p++;
            while (std::iswdigit(*p) || *p == L'.') ++p;
            out->push_back({Token::Number, std::wstring(start, p)});
        } else if (*p == L'=' || *p == L'<' || *p == L'>' || *p == L'!') {
            const wchar_t* start = p++;
            if (*p == L'=' || (*start == L'<' && *p == L'>')) ++p;
            out->push_back({Token::Operator, std::wstring(start, p)});
        } else {
            out->push_back({*p == L'(' ? Token::Open : *p == L')' ? Token::Close : Token::Other, std::wstring(1, *p)});
            ++p;
        }
    }
    out->push_back({Token::End, std::wstring()});
    return true;
}

bool Is(const Lexeme& lexeme, const wchar_t* word) {
    return lexeme.token == Token::Word && _wcsicmp(lexeme.text.c_str(), word) == 0;
}

enum class Kind { Null, Text, Number, Bool };
struct Value {
    Kind kind = Kind::Null;
    std::wstring text;
    double number = 0;
    bool flag = false;
    bool nullLiteral = false;  // the word NULL, not a null property
};

bool ReadNumber(const std::wstring& text, double* number) {
    if (text.empty()) return false;
    wchar_t* end = nullptr;
    *number = wcstod(text.c_str(), &end);
    return *end == L'\0';
}

// Compares as WQL does: without case for text, as numbers or booleans when
// one side is one; NULL matches only = NULL (and <> NULL its opposite).
bool Compare(const Value& a, const Value& b, const std::wstring& op) {
    const bool equal = op == L"=", unequal = op == L"<>" || op == L"!=";
    if (a.kind == Kind::Null || b.kind == Kind::Null) {
        if (!a.nullLiteral && !b.nullLiteral) return false;
        const bool bothNull = a.kind == Kind::Null && b.kind == Kind::Null;
        return equal ? bothNull : unequal && !bothNull;
    }
    int order = 0;
    double x = 0, y = 0;
    if (a.kind == Kind::Bool || b.kind == Kind::Bool) {
        auto asBool = [](const Value& v, bool* flag) {
            if (v.kind == Kind::Bool) *flag = v.flag;
            else if (v.kind == Kind::Number) *flag = v.number != 0;
            else if (_wcsicmp(v.text.c_str(), L"true") == 0) *flag = true;
            else if (_wcsicmp(v.text.c_str(), L"false") == 0) *flag = false;
            else return false;
            return true;
        };
        bool p = false, q = false;
        if (asBool(a, &p) && asBool(b, &q)) order = static_cast<int>(p) - static_cast<int>(q);
        else order = _wcsicmp(a.text.c_str(), b.text.c_str());
    } else if ((a.kind == Kind::Number || b.kind == Kind::Number) && ReadNumber(a.text, &x) && ReadNumber(b.text, &y)) {
        order = x < y ? -1 : x > y ? 1 : 0;
    } else {
        order = _wcsicmp(a.text.c_str(), b.text.c_str());
    }
    if (equal) return order == 0;
    if (unequal) return order != 0;
    if (op == L"<") return order < 0;
    if (op == L">") return order > 0;
    if (op == L"<=") return order <= 0;
    return order >= 0;  // >=
}

// A condition, read once and then evaluated for each row.
struct Node {
    enum class Type { And, Or, Not, Compare } type = Type::Compare;
    std::unique_ptr<Node> left, right;
    // Compare: each operand a column (index) or a literal.
    int column[2] = {-1, -1};
    Value literal[2];
    std::wstring op;
};

class Parser {
public:
    Parser(const Table& table, const std::vector<Lexeme>& lexemes, size_t at)
        : table_(table), lexemes_(lexemes), at_(at) {}

    std::unique_ptr<Node> Condition() {
        std::unique_ptr<Node> node = Conjunction();
        while (node && Is(Peek(), L"OR")) {
            ++at_;
            node = Join(Node::Type::Or, std::move(node), Conjunction());
        }
        return node;
    }
    bool AtEnd() const { return Peek().token == Token::End; }

private:
    const Lexeme& Peek() const { return lexemes_[at_]; }

    static std::unique_ptr<Node> Join(Node::Type type, std::unique_ptr<Node> left, std::unique_ptr<Node> right) {
        if (!left || !right) return nullptr;
        auto node = std::make_unique<Node>();
        node->type = type;
        node->left = std::move(left);
        node->right = std::move(right);
        return node;
    }

    std::unique_ptr<Node> Conjunction() {
        std::unique_ptr<Node> node = Negation();
        while (node && Is(Peek(), L"AND")) {
            ++at_;
            node = Join(Node::Type::And, std::move(node), Negation());
        }
        return node;
    }

    std::unique_ptr<Node> Negation() {
        if (Is(Peek(), L"NOT")) {
            ++at_;
            std::unique_ptr<Node> inner = Negation();
            if (!inner) return nullptr;
            auto node = std::make_unique<Node>();
            node->type = Node::Type::Not;
            node->left = std::move(inner);
            return node;
        }
        if (Peek().token == Token::Open) {
            ++at_;
            std::unique_ptr<Node> node = Condition();
            if (!node || Peek().token != Token::Close) return nullptr;
            ++at_;
            return node;
        }
        auto node = std::make_unique<Node>();
        if (!Operand(&node->column[0], &node->literal[0])) return nullptr;
        if (Is(Peek(), L"IS")) {  // IS [NOT] NULL: = NULL or <> NULL
            ++at_;
            node->op = L"=";
            if (Is(Peek(), L"NOT")) {
                ++at_;
                node->op = L"<>";
            }
            if (!Is(Peek(), L"NULL")) return nullptr;
            ++at_;
            node->literal[1].nullLiteral = true;
            return node;
        }
        const std::wstring& op = Peek().text;
        if (Peek().token != Token::Operator || !(op == L"=" || op == L"<>" || op == L"!=" || op == L"<" ||
                                                 op == L">" || op == L"<=" || op == L">="))
            return nullptr;
        node->op = lexemes_[at_++].text;
        if (!Operand(&node->column[1], &node->literal[1])) return nullptr;
        return node;
    }

    bool Operand(int* column, Value* literal) {
        const Lexeme& lexeme = lexemes_[at_++];
        if (lexeme.token == Token::Text) {
            literal->kind = Kind::Text;
            literal->text = lexeme.text;
        } else if (lexeme.token == Token::Number) {
            literal->kind = Kind::Number;
            literal->text = lexeme.text;
            if (!ReadNumber(lexeme.text, &literal->number)) return false;
        } else if (Is(lexeme, L"TRUE") || Is(lexeme, L"FALSE")) {
            literal->kind = Kind::Bool;
            literal->flag = Is(lexeme, L"TRUE");
            literal->text = literal->flag ? L"True" : L"False";
        } else if (Is(lexeme, L"NULL")) {
            literal->kind = Kind::Null;
            literal->nullLiteral = true;
        } else if (lexeme.token == Token::Word && !Is(lexeme, L"AND") && !Is(lexeme, L"OR") && !Is(lexeme, L"NOT")) {
            for (size_t i = 0; i < table_.columns.size(); ++i)
                if (_wcsicmp(table_.columns[i].name.c_str(), lexeme.text.c_str()) == 0) *column = static_cast<int>(i);
            return *column >= 0;  // a property the class lacks fails the query
        } else {
            return false;
        }
        return true;
    }

    const Table& table_;
    const std::vector<Lexeme>& lexemes_;
    size_t at_;
};

Value CellOf(const Table& table, size_t row, int column) {
    Value value;
    const std::wstring& text = table.rows[row][static_cast<size_t>(column)];
    if (text.empty()) return value;
    value.text = text;
    switch (table.columns[static_cast<size_t>(column)].type) {
    case CIM_UINT32:
        value.kind = ReadNumber(text, &value.number) ? Kind::Number : Kind::Text;
        break;
    case CIM_BOOLEAN:
        value.kind = Kind::Bool;
        value.flag = _wcsicmp(text.c_str(), L"true") == 0;
        break;
    default: value.kind = Kind::Text;
    }
    return value;
}

bool Evaluate(const Node& node, const Table& table, size_t row) {
    switch (node.type) {
    case Node::Type::And: return Evaluate(*node.left, table, row) && Evaluate(*node.right, table, row);
    case Node::Type::Or: return Evaluate(*node.left, table, row) || Evaluate(*node.right, table, row);
    case Node::Type::Not: return !Evaluate(*node.left, table, row);
    case Node::Type::Compare: break;
    }
    const Value a = node.column[0] >= 0 ? CellOf(table, row, node.column[0]) : node.literal[0];
    const Value b = node.column[1] >= 0 ? CellOf(table, row, node.column[1]) : node.literal[1];
    return Compare(a, b, node.op);
}

}  // namespace

std::shared_ptr<const Table> Find(const wchar_t* className, const std::wstring& server) {
    static const Tables tables = LoadAll();
    const std::wstring name = Upper(className);
    auto found = tables.find({name, Upper(server)});
    if (found == tables.end()) found = tables.find({name, L""});
    return found == tables.end() ? nullptr : found->second;
}

HRESULT Select(const Table& table, const wchar_t* query, std::vector<size_t>* rows) {
    const HRESULT invalid = static_cast<HRESULT>(WBEM_E_INVALID_QUERY);
    rows->clear();
    std::vector<Lexeme> lexemes;
    if (!Lex(query, &lexemes)) return invalid;
    size_t at = 0;
    while (lexemes[at].token != Token::End && !Is(lexemes[at], L"FROM")) ++at;
    if (lexemes[at].token == Token::End || lexemes[at + 1].token != Token::Word) return invalid;
    at += 2;
    std::unique_ptr<Node> condition;
    if (Is(lexemes[at], L"WHERE")) {
        Parser parser(table, lexemes, at + 1);
        condition = parser.Condition();
        if (!condition || !parser.AtEnd()) return invalid;
    } else if (lexemes[at].token != Token::End) {
        return invalid;
    }
    for (size_t row = 0; row < table.rows.size(); ++row)
        if (!condition || Evaluate(*condition, table, row)) rows->push_back(row);
    return S_OK;
}

HRESULT CellValue(const Table& table, size_t row, size_t column, VARIANT* value) noexcept {
    VariantInit(value);
    const std::wstring& text = table.rows[row][column];
    if (text.empty()) {
        V_VT(value) = VT_NULL;
        return S_OK;
    }
    switch (table.columns[column].type) {
    case CIM_UINT32:
        V_VT(value) = VT_I4;
        V_I4(value) = static_cast<LONG>(wcstoul(text.c_str(), nullptr, 10));
        return S_OK;
    case CIM_BOOLEAN:
        V_VT(value) = VT_BOOL;
        V_BOOL(value) = _wcsicmp(text.c_str(), L"true") == 0 ? VARIANT_TRUE : VARIANT_FALSE;
        return S_OK;
    default: break;
    }
    V_BSTR(value) = SysAllocString(text.c_str());
    if (!V_BSTR(value)) return static_cast<HRESULT>(WBEM_E_OUT_OF_MEMORY);
    V_VT(value) = VT_BSTR;
    return S_OK;
}

}  // namespace datatable
