// Classes of the WMI test double whose instances come from a data file
// (tests/wmidouble/data/*.tsv, built into wmidouble.dll as resources): the
// file's format is described in its own header comment. A computer may have
// an overlay file whose rows replace the rows of the same key. The double
// applies a query's WHERE to these classes (see WmiDouble.h).
#pragma once

#include <windows.h>
#include <wbemcli.h>

#include <memory>
#include <string>
#include <vector>

namespace datatable {

struct Column {
    std::wstring name;
    CIMTYPE type;  // CIM_STRING, CIM_UINT32 or CIM_BOOLEAN
};

struct Table {
    std::vector<Column> columns;                  // the first is the key
    std::vector<std::vector<std::wstring>> rows;  // cells as text; empty is null
};

// The table of the class as the computer serves it, or null when no data
// file serves the class (or its file cannot be read). Class and computer
// names compare without case. Throws bad_alloc.
std::shared_ptr<const Table> Find(const wchar_t* className, const std::wstring& server);

// The rows of the table that the WQL statement's WHERE selects, in order
// (every row without a WHERE): S_OK, or WBEM_E_INVALID_QUERY for a WHERE
// it cannot read or that names a property the class lacks, as WMI fails
// such a query. Throws bad_alloc.
HRESULT Select(const Table& table, const wchar_t* query, std::vector<size_t>* rows);

// A cell as WMI hands it out: VT_BSTR, VT_I4 (uint32), VT_BOOL or VT_NULL.
HRESULT CellValue(const Table& table, size_t row, size_t column, VARIANT* value) noexcept;

}  // namespace datatable
