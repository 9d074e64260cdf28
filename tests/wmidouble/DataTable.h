// The data-file classes of the COM WMI double (TableData.h: the catalogue,
// the files' format and WHERE), with the files built into wmidouble.dll as
// resources (DataTables.rc) and values handed out as WMI hands them out.
#pragma once

#include <windows.h>
#include <wbemcli.h>

#include "TableData.h"

namespace datatable {

// The table of the class as the computer serves it, or null when no data
// file serves the class (or its file cannot be read). Class and computer
// names compare without case. Throws bad_alloc.
std::shared_ptr<const Table> Find(const wchar_t* className, const std::wstring& server);

// The rows of the table that the WQL statement's WHERE selects, in order
// (every row without a WHERE): S_OK, or WBEM_E_INVALID_QUERY for a WHERE
// it cannot read or that names a property the class lacks, as WMI fails
// such a query. Throws bad_alloc.
HRESULT Select(const Table& table, const wchar_t* query, std::vector<size_t>* rows);

// The CIM type of a column.
CIMTYPE CimType(Type type) noexcept;

// A cell as WMI hands it out: VT_BSTR (string, uint64, datetime), VT_I4
// (uint16, uint32), VT_BOOL or VT_NULL.
HRESULT CellValue(const Table& table, size_t row, size_t column, VARIANT* value) noexcept;

}  // namespace datatable
