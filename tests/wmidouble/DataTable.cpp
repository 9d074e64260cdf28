#include "DataTable.h"

namespace datatable {
namespace {

// The data file's text (UTF-8), from the resource named after it
// (services-default.tsv: SERVICES_DEFAULT); empty when it is missing.
std::string ResourceText(const char* file) {
    std::wstring name;
    for (const char* c = file; *c && *c != '.'; ++c)
        name += *c == '-' ? L'_' : static_cast<wchar_t>(*c >= 'a' && *c <= 'z' ? *c - 'a' + 'A' : *c);
    HMODULE module = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCWSTR>(&ResourceText), &module))
        return std::string();
    HRSRC found = FindResourceW(module, name.c_str(), MAKEINTRESOURCEW(10));  // RT_RCDATA
    HGLOBAL loaded = found ? LoadResource(module, found) : nullptr;
    const char* bytes = loaded ? static_cast<const char*>(LockResource(loaded)) : nullptr;
    const DWORD size = found ? SizeofResource(module, found) : 0;
    return bytes ? std::string(bytes, size) : std::string();
}

}  // namespace

std::shared_ptr<const Table> Find(const wchar_t* className, const std::wstring& server) {
    static const Tables tables = LoadAll(ResourceText, std::time(nullptr));
    return FindIn(tables, className, server);
}

HRESULT Select(const Table& table, const wchar_t* query, std::vector<size_t>* rows) {
    return datatable::Select(table, std::wstring(query), rows) ? S_OK : static_cast<HRESULT>(WBEM_E_INVALID_QUERY);
}

CIMTYPE CimType(Type type) noexcept {
    switch (type) {
    case Type::Uint16: return CIM_UINT16;
    case Type::Uint32: return CIM_UINT32;
    case Type::Uint64: return CIM_UINT64;
    case Type::Boolean: return CIM_BOOLEAN;
    case Type::Datetime: return CIM_DATETIME;
    case Type::String: break;
    }
    return CIM_STRING;
}

HRESULT CellValue(const Table& table, size_t row, size_t column, VARIANT* value) noexcept {
    VariantInit(value);
    const std::wstring& text = table.rows[row][column];
    if (text.empty()) {
        V_VT(value) = VT_NULL;
        return S_OK;
    }
    switch (table.columns[column].type) {
    case Type::Uint16:
    case Type::Uint32:
        V_VT(value) = VT_I4;
        V_I4(value) = static_cast<LONG>(wcstoul(text.c_str(), nullptr, 10));
        return S_OK;
    case Type::Boolean:
        V_VT(value) = VT_BOOL;
        V_BOOL(value) = text == L"True" ? VARIANT_TRUE : VARIANT_FALSE;
        return S_OK;
    default: break;
    }
    V_BSTR(value) = SysAllocString(text.c_str());
    if (!V_BSTR(value)) return static_cast<HRESULT>(WBEM_E_OUT_OF_MEMORY);
    V_VT(value) = VT_BSTR;
    return S_OK;
}

}  // namespace datatable
