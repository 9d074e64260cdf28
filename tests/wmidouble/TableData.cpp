#include "TableData.h"

#include <cstdio>
#include <cwchar>
#include <cwctype>

namespace datatable {

const DataFile kDataFiles[] = {
    {L"Win32_Service", nullptr, "services-default.tsv", false},
    {L"Win32_Service", L"SVCFAIL01", "services-svcfail01.tsv", false},
    {L"Win32_OperatingSystem", nullptr, "operatingsystem-default.tsv", true},
    {L"Win32_Processor", nullptr, "processors-default.tsv", false},
    {L"Win32_LogicalDisk", nullptr, "logicaldisks-default.tsv", false},
    {L"Win32_Process", nullptr, "processes-default.tsv", false},
};
const size_t kDataFileCount = sizeof kDataFiles / sizeof kDataFiles[0];

namespace {

int CompareNoCase(const std::wstring& a, const std::wstring& b) {
    for (size_t i = 0; i < a.size() && i < b.size(); ++i) {
        const wint_t x = std::towupper(static_cast<wint_t>(a[i])), y = std::towupper(static_cast<wint_t>(b[i]));
        if (x != y) return x < y ? -1 : 1;
    }
    return a.size() == b.size() ? 0 : a.size() < b.size() ? -1 : 1;
}

std::vector<std::wstring> SplitTabs(const std::wstring& line) {
    std::vector<std::wstring> cells(1);
    for (wchar_t c : line) {
        if (c == L'\t') cells.emplace_back();
        else cells.back() += c;
    }
    return cells;
}

bool AllDigits(const std::wstring& text, size_t maxDigits) {
    if (text.empty() || text.size() > maxDigits) return false;
    for (wchar_t c : text)
        if (c < L'0' || c > L'9') return false;
    return true;
}

// A datetime cell in WMI's form, yyyymmddHHMMSS.mmmmmm+UUU (UUU: minutes
// east of UTC), or "now-SECONDS": that long before now, in UTC.
bool ReadDatetime(std::wstring* cell, std::time_t now) {
    if (cell->compare(0, 4, L"now-") == 0) {
        if (!AllDigits(cell->substr(4), 9)) return false;
        const std::time_t at = now - static_cast<std::time_t>(std::stol(cell->substr(4)));
        const std::tm* utc = std::gmtime(&at);
        if (!utc) return false;
        wchar_t text[32];
        std::swprintf(text, 32, L"%04d%02d%02d%02d%02d%02d.000000+000", utc->tm_year + 1900, utc->tm_mon + 1,
                      utc->tm_mday, utc->tm_hour, utc->tm_min, utc->tm_sec);
        *cell = text;
        return true;
    }
    return cell->size() == 25 && AllDigits(cell->substr(0, 14), 14) && (*cell)[14] == L'.' &&
           AllDigits(cell->substr(15, 6), 6) && ((*cell)[21] == L'+' || (*cell)[21] == L'-') &&
           AllDigits(cell->substr(22), 3);
}

// A cell of the column's type (empty is null); datetime tokens resolved.
bool ReadCell(Type type, std::wstring* cell, std::time_t now) {
    if (cell->empty()) return true;
    switch (type) {
    case Type::Uint16: return AllDigits(*cell, 5) && std::stoul(*cell) <= 0xFFFF;
    case Type::Uint32: return AllDigits(*cell, 10) && std::stoull(*cell) <= 0xFFFFFFFFull;
    case Type::Uint64: return AllDigits(*cell, 20) && (cell->size() < 20 || *cell <= L"18446744073709551615");
    case Type::Boolean: return *cell == L"True" || *cell == L"False";
    case Type::Datetime: return ReadDatetime(cell, now);
    case Type::String: break;
    }
    return true;
}

bool ReadType(const std::wstring& name, Type* type) {
    static const std::pair<const wchar_t*, Type> kTypes[] = {
        {L"string", Type::String},   {L"uint16", Type::Uint16},   {L"uint32", Type::Uint32},
        {L"uint64", Type::Uint64},   {L"boolean", Type::Boolean}, {L"datetime", Type::Datetime},
    };
    for (const auto& entry : kTypes)
        if (name == entry.first) {
            *type = entry.second;
            return true;
        }
    return false;
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
    return lexeme.token == Token::Word && EqualNoCase(lexeme.text, word);
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
            else if (EqualNoCase(v.text, L"true")) *flag = true;
            else if (EqualNoCase(v.text, L"false")) *flag = false;
            else return false;
            return true;
        };
        bool p = false, q = false;
        if (asBool(a, &p) && asBool(b, &q)) order = static_cast<int>(p) - static_cast<int>(q);
        else order = CompareNoCase(a.text, b.text);
    } else if ((a.kind == Kind::Number || b.kind == Kind::Number) && ReadNumber(a.text, &x) && ReadNumber(b.text, &y)) {
        order = x < y ? -1 : x > y ? 1 : 0;
    } else {
        order = CompareNoCase(a.text, b.text);
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
                if (EqualNoCase(table_.columns[i].name, lexeme.text)) *column = static_cast<int>(i);
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
    case Type::Uint16:
    case Type::Uint32:
    case Type::Uint64:
        value.kind = ReadNumber(text, &value.number) ? Kind::Number : Kind::Text;
        break;
    case Type::Boolean:
        value.kind = Kind::Bool;
        value.flag = EqualNoCase(text, L"true");
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

bool EqualNoCase(const std::wstring& a, const std::wstring& b) { return CompareNoCase(a, b) == 0; }

std::wstring Upper(std::wstring text) {
    for (wchar_t& c : text) c = static_cast<wchar_t>(std::towupper(static_cast<wint_t>(c)));
    return text;
}

std::wstring FromUtf8(const std::string& text) {
    std::wstring wide;
    for (size_t i = 0; i < text.size();) {
        const unsigned char lead = static_cast<unsigned char>(text[i]);
        const int extra = lead < 0x80 ? 0 : lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC0 ? 1 : -1;
        unsigned long code = extra == 0 ? lead : extra == 1 ? lead & 0x1F : extra == 2 ? lead & 0x0F : lead & 0x07;
        bool valid = extra >= 0 && i + static_cast<size_t>(extra) < text.size();
        for (int k = 1; valid && k <= extra; ++k) {
            const unsigned char next = static_cast<unsigned char>(text[i + static_cast<size_t>(k)]);
            valid = (next & 0xC0) == 0x80;
            code = (code << 6) | (next & 0x3F);
        }
        i += valid ? static_cast<size_t>(extra) + 1 : 1;
        if (!valid) code = 0xFFFD;
        if (sizeof(wchar_t) == 2 && code >= 0x10000) {
            wide += static_cast<wchar_t>(0xD800 + ((code - 0x10000) >> 10));
            wide += static_cast<wchar_t>(0xDC00 + ((code - 0x10000) & 0x3FF));
        } else {
            wide += static_cast<wchar_t>(code);
        }
    }
    return wide;
}

std::string ToUtf8(const std::wstring& text) {
    std::string narrow;
    for (size_t i = 0; i < text.size(); ++i) {
        unsigned long code = static_cast<unsigned long>(text[i]) & (sizeof(wchar_t) == 2 ? 0xFFFF : 0xFFFFFFFF);
        if (sizeof(wchar_t) == 2 && code >= 0xD800 && code < 0xDC00 && i + 1 < text.size())
            code = 0x10000 + ((code - 0xD800) << 10) + ((static_cast<unsigned long>(text[++i]) & 0xFFFF) - 0xDC00);
        if (code < 0x80) {
            narrow += static_cast<char>(code);
        } else if (code < 0x800) {
            narrow += static_cast<char>(0xC0 | (code >> 6));
            narrow += static_cast<char>(0x80 | (code & 0x3F));
        } else if (code < 0x10000) {
            narrow += static_cast<char>(0xE0 | (code >> 12));
            narrow += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            narrow += static_cast<char>(0x80 | (code & 0x3F));
        } else {
            narrow += static_cast<char>(0xF0 | (code >> 18));
            narrow += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
            narrow += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            narrow += static_cast<char>(0x80 | (code & 0x3F));
        }
    }
    return narrow;
}

bool Parse(const std::string& utf8, std::time_t now, Table* table) {
    const std::wstring text = FromUtf8(utf8);
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
                Type type = Type::String;
                if (colon == 0 || colon == std::wstring::npos || !ReadType(cell.substr(colon + 1), &type))
                    return false;
                table->columns.push_back({cell.substr(0, colon), type});
            }
            header = false;
            continue;
        }
        if (cells.size() != table->columns.size() || (!table->singleton && cells[0].empty())) return false;
        for (size_t i = 0; i < cells.size(); ++i)
            if (!ReadCell(table->columns[i].type, &cells[i], now)) return false;
        table->rows.push_back(std::move(cells));
    }
    return !table->columns.empty() && (!table->singleton || table->rows.size() == 1);
}

Tables LoadAll(const std::function<std::string(const char* file)>& read, std::time_t now) {
    Tables tables;
    for (size_t i = 0; i < kDataFileCount; ++i) {
        const DataFile& file = kDataFiles[i];
        if (file.server) continue;
        auto table = std::make_shared<Table>();
        table->className = file.className;
        table->singleton = file.singleton;
        if (Parse(read(file.file), now, table.get())) tables[{Upper(file.className), L""}] = table;
    }
    for (size_t i = 0; i < kDataFileCount; ++i) {
        const DataFile& file = kDataFiles[i];
        if (!file.server) continue;
        const auto base = tables.find({Upper(file.className), L""});
        if (base == tables.end()) continue;
        Table overlay;
        overlay.singleton = file.singleton;
        if (!Parse(read(file.file), now, &overlay)) continue;
        auto table = std::make_shared<Table>(*base->second);
        bool sameColumns = overlay.columns.size() == table->columns.size();
        for (size_t c = 0; sameColumns && c < overlay.columns.size(); ++c)
            sameColumns = overlay.columns[c].name == table->columns[c].name;
        if (!sameColumns) continue;
        for (std::vector<std::wstring>& row : overlay.rows) {
            bool replaced = false;
            for (std::vector<std::wstring>& old : table->rows)
                if (table->singleton || EqualNoCase(old[0], row[0])) {
                    old = row;
                    replaced = true;
                }
            if (!replaced) table->rows.push_back(row);
        }
        tables[{Upper(file.className), Upper(file.server)}] = table;
    }
    return tables;
}

std::shared_ptr<const Table> FindIn(const Tables& tables, const std::wstring& className, const std::wstring& server) {
    const std::wstring name = Upper(className);
    auto found = tables.find({name, Upper(server)});
    if (found == tables.end()) found = tables.find({name, L""});
    return found == tables.end() ? nullptr : found->second;
}

bool QueryClass(const std::wstring& query, std::wstring* className) {
    std::vector<Lexeme> lexemes;
    if (!Lex(query.c_str(), &lexemes) || !Is(lexemes[0], L"SELECT")) return false;
    size_t at = 0;
    while (lexemes[at].token != Token::End && !Is(lexemes[at], L"FROM")) ++at;
    if (lexemes[at].token == Token::End || lexemes[at + 1].token != Token::Word) return false;
    *className = lexemes[at + 1].text;
    return true;
}

bool Select(const Table& table, const std::wstring& query, std::vector<size_t>* rows) {
    rows->clear();
    std::vector<Lexeme> lexemes;
    if (!Lex(query.c_str(), &lexemes)) return false;
    size_t at = 0;
    while (lexemes[at].token != Token::End && !Is(lexemes[at], L"FROM")) ++at;
    if (lexemes[at].token == Token::End || lexemes[at + 1].token != Token::Word) return false;
    at += 2;
    std::unique_ptr<Node> condition;
    if (Is(lexemes[at], L"WHERE")) {
        Parser parser(table, lexemes, at + 1);
        condition = parser.Condition();
        if (!condition || !parser.AtEnd()) return false;
    } else if (lexemes[at].token != Token::End) {
        return false;
    }
    for (size_t row = 0; row < table.rows.size(); ++row)
        if (!condition || Evaluate(*condition, table, row)) rows->push_back(row);
    return true;
}

}  // namespace datatable
