// The WMI test double: locator, services, call result, enumerator, class
// object and qualifier set over a fixed catalogue of scripted classes, plus
// the record of calls and the control functions of WmiDouble.h.
#define WMIDOUBLE_BUILD
#include "WmiDouble.h"

#include <windows.h>
#include <oleauto.h>
#include <wbemidl.h>

#include <atomic>
#include <cwchar>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "ClassFactory.h"
#include "ComModule.h"
#include "ComObject.h"
#include "HResult.h"
#include "DataTable.h"
#include "Network.h"
#include "Raii.h"
#include "Registration.h"

using Microsoft::WRL::ComPtr;

namespace {

constexpr HRESULT Wbem(WBEMSTATUS status) { return static_cast<HRESULT>(status); }

// ---------------------------------------------------------------------------
// Shared state: the record, the live-object count and the stall switch.

constexpr size_t kMaxRecord = 1u << 22;  // characters; later lines are dropped

com::CriticalSection g_recordLock;
std::wstring g_record;
std::atomic<LONG> g_liveObjects{0};
std::atomic<DWORD> g_connectThread{0};  // the thread of the last ConnectServer
std::atomic<LONG> g_connections{0};      // connections to the domain's computers since the last reset
// Manual-reset: set, it ends every stall at once.
com::UniqueHandle g_stallsCancelled(CreateEventW(nullptr, TRUE, FALSE, nullptr));
// Ids of the threads waiting in Stall, 0 for a free slot. Ids rather than a
// count: a caller may terminate a stalled thread, which then never leaves.
constexpr int kStallSlots = 64;
volatile LONG g_stalledThreads[kStallSlots];

// Calls in progress on any thread (a call made from inside another call of
// the same thread counts once), and how many calls began while another was
// in progress: a WMI whose calls are serialised sees none.
std::atomic<LONG> g_callsInProgress{0};
std::atomic<LONG> g_overlaps{0};
thread_local int t_callDepth = 0;
// Milliseconds that each round trip (a call that would cross the network to a
// remote computer) takes, from WMIDOUBLE_LATENCY_MS or WmiDoubleSetLatency.
std::atomic<DWORD> g_latencyMs{[] {
    wchar_t text[16];
    const DWORD length = GetEnvironmentVariableW(L"WMIDOUBLE_LATENCY_MS", text, 16);
    return length > 0 && length < 16 ? static_cast<DWORD>(_wtol(text)) : 0u;
}()};

// Marks a call of the double in progress for its scope.
class InCall {
public:
    InCall() noexcept {
        if (t_callDepth++ == 0 && g_callsInProgress.fetch_add(1) > 0) ++g_overlaps;
    }
    ~InCall() {
        if (--t_callDepth == 0) --g_callsInProgress;
    }
    InCall(const InCall&) = delete;
    InCall& operator=(const InCall&) = delete;
};

// A call that is a round trip to the computer: it takes the latency.
class RoundTrip : public InCall {
public:
    RoundTrip() noexcept {
        if (const DWORD ms = g_latencyMs.load()) Sleep(ms);
    }
};

// Waits ms milliseconds (INFINITE allowed) unless the stalls are cancelled.
// Holds no lock, so a caller may give up on (or terminate) a stalled thread.
// True when the whole time passed.
bool Stall(DWORD ms) noexcept {
    const LONG self = static_cast<LONG>(GetCurrentThreadId());
    int slot = 0;
    while (slot < kStallSlots && InterlockedCompareExchange(&g_stalledThreads[slot], self, 0) != 0) ++slot;
    const DWORD waited = WaitForSingleObject(g_stallsCancelled.get(), ms);
    if (slot < kStallSlots) InterlockedExchange(&g_stalledThreads[slot], 0);
    return waited == WAIT_TIMEOUT;
}

// The number of threads still in Stall; the slot of a thread that has ended
// is freed.
LONG CountStalledThreads() noexcept {
    LONG count = 0;
    for (volatile LONG& slot : g_stalledThreads) {
        const LONG id = slot;
        if (!id) continue;
        HANDLE thread = OpenThread(SYNCHRONIZE, FALSE, static_cast<DWORD>(id));
        const bool alive = thread && WaitForSingleObject(thread, 0) == WAIT_TIMEOUT;
        if (thread) CloseHandle(thread);
        if (alive) ++count;
        else InterlockedCompareExchange(&slot, 0, id);
    }
    return count;
}

// Waits ms, but no longer than a WMI time-out (WBEM_INFINITE: no limit).
// True when the whole ms passed within the time-out.
bool StallWithin(DWORD ms, LONG timeout) noexcept {
    const DWORD limit = timeout == static_cast<LONG>(WBEM_INFINITE) ? INFINITE : static_cast<DWORD>(timeout);
    if (limit < ms) {
        Stall(limit);
        return false;
    }
    return Stall(ms);
}

// The file named by WMIDOUBLE_RECORD_FILE, if any, receives every line of
// the record too (UTF-8), so that the record of a process that does not link
// the double (wmicheck.exe, a script host) can be read back.
void AppendToRecordFile(const std::wstring& line) noexcept {
    static const std::wstring path = [] {
        wchar_t text[MAX_PATH];
        const DWORD length = GetEnvironmentVariableW(L"WMIDOUBLE_RECORD_FILE", text, MAX_PATH);
        return length > 0 && length < MAX_PATH ? std::wstring(text, length) : std::wstring();
    }();
    if (path.empty()) return;
    com::UniqueHandle file(CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                       OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file.get() == INVALID_HANDLE_VALUE) {
        file.release();
        return;
    }
    char bytes[4096];
    const int size = WideCharToMultiByte(CP_UTF8, 0, line.c_str(), static_cast<int>(line.size()), bytes,
                                         sizeof(bytes) - 1, nullptr, nullptr);
    if (size <= 0) return;
    bytes[size] = '\n';
    DWORD written = 0;
    WriteFile(file.get(), bytes, static_cast<DWORD>(size) + 1, &written, nullptr);
}

// One line of the record, built piece by piece; a line that cannot be built
// for want of memory is dropped rather than failing the call it describes.
class RecordLine {
public:
    explicit RecordLine(const wchar_t* call) noexcept { Add(call); }

    RecordLine& Add(const wchar_t* text) noexcept {
        try {
            text_ += text;
        } catch (...) {
            failed_ = true;
        }
        return *this;
    }
    // label, then the text in quotes, or (null).
    RecordLine& Text(const wchar_t* label, const wchar_t* text) noexcept {
        return Text(label, text, text ? wcslen(text) : 0);
    }
    RecordLine& Text(const wchar_t* label, const wchar_t* text, size_t length) noexcept {
        Add(label);
        if (!text) return Add(L"(null)");
        try {
            text_ += L'"';
            text_.append(text, length);
            text_ += L'"';
        } catch (...) {
            failed_ = true;
        }
        return *this;
    }
    RecordLine& Number(const wchar_t* label, long long value) noexcept {
        wchar_t digits[32];
        swprintf(digits, 32, L"%lld", value);
        return Add(label).Add(digits);
    }
    RecordLine& Hex(const wchar_t* label, unsigned long value) noexcept {
        wchar_t digits[32];
        swprintf(digits, 32, L"0x%lx", value);
        return Add(label).Add(digits);
    }
    RecordLine& YesNo(const wchar_t* label, bool value) noexcept { return Add(label).Add(value ? L"yes" : L"no"); }

    void Commit() noexcept {
        if (failed_) return;
        com::CriticalSectionGuard guard(g_recordLock);
        AppendToRecordFile(text_);
        if (g_record.size() + text_.size() + 1 > kMaxRecord) return;
        try {
            g_record += text_;
            g_record += L'\n';
        } catch (...) {
        }
    }

private:
    std::wstring text_;
    bool failed_ = false;
};

// ---------------------------------------------------------------------------
// The catalogue.

struct QualifierDef {
    const wchar_t* name;  // null ends a list
    VARTYPE type;         // VT_BOOL, VT_BSTR, VT_I4 or VT_I8
    const wchar_t* text;  // VT_BSTR
    LONGLONG number;      // VT_BOOL (non-zero is true), VT_I4, VT_I8
};

struct PropertyDef {
    const wchar_t* name;
    CIMTYPE type;
    const QualifierDef* qualifiers;
};

const QualifierDef kNoQualifiers[] = {{}};
const QualifierDef kServiceName[] = {{L"Key", VT_BOOL, nullptr, 1},
                                     {L"DisplayName", VT_BSTR, L"Service name", 0},
                                     {L"Description", VT_BSTR, L"Unique name of the service", 0},
                                     {L"MaxLen", VT_BSTR, L"255", 0},
                                     {L"Read", VT_BOOL, nullptr, 1},
                                     {L"Required", VT_BOOL, nullptr, 1},
                                     {}};
const QualifierDef kServiceState[] = {{L"DisplayName", VT_BSTR, L"State", 0},
                                      {L"Read", VT_BOOL, nullptr, 1},
                                      {L"Write", VT_BOOL, nullptr, 1},
                                      {}};
const QualifierDef kServiceProcessId[] = {{L"MinValue", VT_I4, nullptr, 1},
                                          {L"MaxValue", VT_BSTR, L"65535", 0},
                                          {L"Read", VT_BOOL, nullptr, 1},
                                          {}};
const QualifierDef kServiceCaption[] = {{L"Read", VT_BOOL, nullptr, 0}, {}};
const QualifierDef kServiceCapacity[] = {{L"MaxValue", VT_BSTR, L"5000000000", 0}, {}};
const QualifierDef kServiceOffset[] = {{L"MinValue", VT_I8, nullptr, -5000000000LL}, {}};
const QualifierDef kItemId[] = {{L"Key", VT_BOOL, nullptr, 1}, {L"DisplayName", VT_BSTR, L"Item number", 0}, {}};
const QualifierDef kItemName[] = {{L"MaxLen", VT_I4, nullptr, 64}, {}};

const PropertyDef kServiceProperties[] = {
    {L"Name", CIM_STRING, kServiceName},
    {L"State", CIM_STRING, kServiceState},
    {L"ProcessId", CIM_UINT32, kServiceProcessId},
    {L"Caption", CIM_STRING, kServiceCaption},
    {L"Dependencies", CIM_STRING | CIM_FLAG_ARRAY, kNoQualifiers},
    {L"Capacity", CIM_UINT64, kServiceCapacity},
    {L"Offset", CIM_SINT64, kServiceOffset},
};
const PropertyDef kItemProperties[] = {
    {L"Id", CIM_UINT32, kItemId},
    {L"Name", CIM_STRING, kItemName},
};
const PropertyDef kBulkProperties[] = {
    {L"P01", CIM_STRING, kNoQualifiers}, {L"P02", CIM_STRING, kNoQualifiers}, {L"P03", CIM_STRING, kNoQualifiers},
    {L"P04", CIM_STRING, kNoQualifiers}, {L"P05", CIM_STRING, kNoQualifiers}, {L"P06", CIM_STRING, kNoQualifiers},
    {L"P07", CIM_STRING, kNoQualifiers}, {L"P08", CIM_STRING, kNoQualifiers}, {L"P09", CIM_STRING, kNoQualifiers},
    {L"P10", CIM_STRING, kNoQualifiers}, {L"P11", CIM_STRING, kNoQualifiers}, {L"P12", CIM_STRING, kNoQualifiers},
    {L"P13", CIM_STRING, kNoQualifiers}, {L"P14", CIM_STRING, kNoQualifiers}, {L"P15", CIM_STRING, kNoQualifiers},
    {L"P16", CIM_STRING, kNoQualifiers}, {L"P17", CIM_STRING, kNoQualifiers}, {L"P18", CIM_STRING, kNoQualifiers},
    {L"P19", CIM_STRING, kNoQualifiers}, {L"P20", CIM_STRING, kNoQualifiers},
};

struct ServiceRow {
    const wchar_t* name;
    const wchar_t* state;
    LONG processId;
    const wchar_t* dependencies[2];
    int dependencyCount;
};
const ServiceRow kServiceRows[] = {
    {L"svc1", L"Running", 104, {L"RpcSs", L"Tcpip"}, 2},
    {L"svc2", L"Stopped", 0, {}, 0},
    {L"svc3", L"Running", 312, {L"RpcSs"}, 1},
};

// Classes whose instances are rows of texts: a null text is VT_NULL, a
// 16- or 32-bit number's text is read into VT_I4, others stay VT_BSTR (as
// WMI hands out 64-bit numbers).
const QualifierDef kDeviceId[] = {{L"Key", VT_BOOL, nullptr, 1}, {}};
const PropertyDef kDiskProperties[] = {
    {L"DeviceID", CIM_STRING, kDeviceId},
    {L"FreeSpace", CIM_UINT64, kNoQualifiers},
    {L"Size", CIM_UINT64, kNoQualifiers},
};
const wchar_t* const kDiskRows[][3] = {
    {L"C:", L"25000000000", L"100000000000"},
    {L"D:", L"0", L"0"},
    {L"E:", L"5", nullptr},
};
const PropertyDef kEmbeddedProperties[] = {
    {L"Id", CIM_UINT32, kItemId},
    {L"Owner", CIM_OBJECT, kNoQualifiers},
};

enum class Shape { Service, Item, Bulk, Disk, Embedded, Table };

struct ShapeDef {
    const PropertyDef* properties;
    int count;
};

// The properties of a data-file class: its file's columns, the first the
// key unless the class is a singleton. They point into the table's names.
// Throws bad_alloc.
std::vector<PropertyDef> TableProperties(const datatable::Table& table) {
    std::vector<PropertyDef> list;
    for (size_t i = 0; i < table.columns.size(); ++i)
        list.push_back({table.columns[i].name.c_str(), datatable::CimType(table.columns[i].type),
                        i == 0 && !table.singleton ? kDeviceId : kNoQualifiers});
    return list;
}

ShapeDef ShapeOf(Shape shape) noexcept {
    switch (shape) {
    case Shape::Service: return {kServiceProperties, static_cast<int>(std::size(kServiceProperties))};
    case Shape::Item: return {kItemProperties, static_cast<int>(std::size(kItemProperties))};
    case Shape::Disk: return {kDiskProperties, static_cast<int>(std::size(kDiskProperties))};
    case Shape::Embedded: return {kEmbeddedProperties, static_cast<int>(std::size(kEmbeddedProperties))};
    case Shape::Table:
    case Shape::Bulk: break;
    }
    return {kBulkProperties, static_cast<int>(std::size(kBulkProperties))};
}

bool IsKey(const PropertyDef& property) noexcept {
    for (const QualifierDef* q = property.qualifiers; q->name; ++q)
        if (_wcsicmp(q->name, L"Key") == 0) return q->type == VT_BOOL && q->number != 0;
    return false;
}

enum class Behaviour {
    Normal, BadInstance, StoppedLast, NextTimedOut, NextSlow, NextFails, GetResult, GetSlow,
    SyncOnly, SyncStall, MissingField, NamesFail, NamesStall,
    Crash,
};

// One class as a call found it; shared by every object that the call makes.
struct ScriptedClass {
    std::wstring name;       // as __CLASS reports it
    std::wstring nameSpace;  // for __PATH, for example root\cimv2
    Shape shape = Shape::Item;
    ULONG instances = 0;
    Behaviour behaviour = Behaviour::Normal;
    DWORD ms = 0;            // NextSlow, GetSlow
    HRESULT code = S_OK;     // GetResult
    std::shared_ptr<const datatable::Table> table;  // a data-file class's
    std::vector<PropertyDef> tableProperties;         // its columns
    std::vector<size_t> rows;                         // its rows the query selected
};

ShapeDef ShapeOf(const ScriptedClass& scripted) noexcept {
    if (scripted.shape != Shape::Table) return ShapeOf(scripted.shape);
    return {scripted.tableProperties.data(), static_cast<int>(scripted.tableProperties.size())};
}

struct FixedClass {
    const wchar_t* name;
    Shape shape;
    ULONG instances;
    Behaviour behaviour;
    DWORD ms;
};
const FixedClass kFixedClasses[] = {
    {L"Double_Service", Shape::Service, 3, Behaviour::Normal, 0},
    {L"Double_Empty", Shape::Item, 0, Behaviour::Normal, 0},
    {L"Double_Item64", Shape::Item, 64, Behaviour::Normal, 0},
    {L"Double_BadInstance", Shape::Service, 3, Behaviour::BadInstance, 0},
    {L"Double_ServiceStoppedLast", Shape::Service, 3, Behaviour::StoppedLast, 0},
    {L"Double_NextTimedOut", Shape::Item, 3, Behaviour::NextTimedOut, 0},
    {L"Double_NextStall", Shape::Item, 3, Behaviour::NextSlow, INFINITE},
    {L"Double_NextFails", Shape::Item, 100, Behaviour::NextFails, 0},
    {L"Double_GetStall", Shape::Item, 3, Behaviour::GetSlow, INFINITE},
    {L"Double_SyncOnly", Shape::Service, 3, Behaviour::SyncOnly, 0},
    {L"Double_SyncStall", Shape::Service, 3, Behaviour::SyncStall, INFINITE},
    {L"Double_MissingField", Shape::Service, 3, Behaviour::MissingField, 0},
    {L"Double_NamesFail", Shape::Service, 3, Behaviour::NamesFail, 0},
    {L"Double_NamesStall", Shape::Service, 3, Behaviour::NamesStall, INFINITE},
    {L"Double_Crash", Shape::Service, 3, Behaviour::Crash, 0},
    {L"Double_Disk", Shape::Disk, 3, Behaviour::Normal, 0},
    {L"Double_Embedded", Shape::Embedded, 2, Behaviour::Normal, 0},
};

// Classes whose name ends in a number: a count, milliseconds or an HRESULT.
enum class Parameter { Instances, Milliseconds, Code };
struct ParameterClass {
    const wchar_t* prefix;
    Shape shape;
    Behaviour behaviour;
    Parameter parameter;
    int base;
    unsigned long long max;
};
const ParameterClass kParameterClasses[] = {
    {L"Bulk_", Shape::Bulk, Behaviour::Normal, Parameter::Instances, 10, 100000000},
    {L"Double_NextSlow_", Shape::Item, Behaviour::NextSlow, Parameter::Milliseconds, 10, 0x7FFFFFFF},
    {L"Double_GetSlow_", Shape::Item, Behaviour::GetSlow, Parameter::Milliseconds, 10, 0x7FFFFFFF},
    {L"Double_GetResult_", Shape::Item, Behaviour::GetResult, Parameter::Code, 16, 0xFFFFFFFF},
};

// A whole number in the base; false for empty text, other characters or a
// value above max.
bool ParseNumber(const wchar_t* text, int base, unsigned long long max, unsigned long long* value) noexcept {
    if (!*text) return false;
    unsigned long long result = 0;
    for (; *text; ++text) {
        int digit;
        if (*text >= L'0' && *text <= L'9') digit = *text - L'0';
        else if (base == 16 && *text >= L'a' && *text <= L'f') digit = *text - L'a' + 10;
        else if (base == 16 && *text >= L'A' && *text <= L'F') digit = *text - L'A' + 10;
        else return false;
        result = result * base + digit;
        if (result > max) return false;
    }
    *value = result;
    return true;
}

// The class of that name, or null when the catalogue has none. Throws
// bad_alloc.
std::shared_ptr<ScriptedClass> FindClass(const wchar_t* name, const std::wstring& nameSpace,
                                         const std::wstring& server = L".") {
    if (auto table = datatable::Find(name, server)) {
        auto scripted = std::make_shared<ScriptedClass>();
        scripted->name = table->className;
        scripted->shape = Shape::Table;
        scripted->table = table;
        scripted->tableProperties = TableProperties(*table);
        for (size_t row = 0; row < table->rows.size(); ++row) scripted->rows.push_back(row);
        scripted->instances = static_cast<ULONG>(table->rows.size());
        scripted->nameSpace = nameSpace;
        return scripted;
    }
    for (const FixedClass& fixed : kFixedClasses) {
        if (_wcsicmp(name, fixed.name) != 0) continue;
        auto scripted = std::make_shared<ScriptedClass>();
        scripted->name = fixed.name;
        scripted->shape = fixed.shape;
        scripted->instances = fixed.instances;
        scripted->behaviour = fixed.behaviour;
        scripted->ms = fixed.ms;
        scripted->nameSpace = nameSpace;
        return scripted;
    }
    for (const ParameterClass& entry : kParameterClasses) {
        const size_t length = wcslen(entry.prefix);
        unsigned long long number = 0;
        if (_wcsnicmp(name, entry.prefix, length) != 0 ||
            !ParseNumber(name + length, entry.base, entry.max, &number))
            continue;
        auto scripted = std::make_shared<ScriptedClass>();
        scripted->name = std::wstring(entry.prefix) + (name + length);
        scripted->shape = entry.shape;
        scripted->instances = entry.parameter == Parameter::Instances ? static_cast<ULONG>(number) : 3;
        scripted->behaviour = entry.behaviour;
        if (entry.parameter == Parameter::Milliseconds) scripted->ms = static_cast<DWORD>(number);
        if (entry.parameter == Parameter::Code) scripted->code = static_cast<HRESULT>(number);
        scripted->nameSpace = nameSpace;
        return scripted;
    }
    return nullptr;
}

// ---------------------------------------------------------------------------
// Values.

HRESULT SetString(VARIANT* value, const wchar_t* text) noexcept {
    BSTR copy = SysAllocString(text);
    if (!copy) return Wbem(WBEM_E_OUT_OF_MEMORY);
    V_VT(value) = VT_BSTR;
    V_BSTR(value) = copy;
    return S_OK;
}

// A one-dimensional safe array of BSTR from the texts.
HRESULT MakeStringArray(const wchar_t* const* texts, int count, SAFEARRAY** result) noexcept {
    *result = nullptr;
    SAFEARRAY* array = SafeArrayCreateVector(VT_BSTR, 0, static_cast<ULONG>(count));
    if (!array) return Wbem(WBEM_E_OUT_OF_MEMORY);
    BSTR* items = nullptr;
    HRESULT hr = SafeArrayAccessData(array, reinterpret_cast<void**>(&items));
    for (int i = 0; SUCCEEDED(hr) && i < count; ++i) {
        items[i] = SysAllocString(texts[i]);
        if (!items[i]) hr = Wbem(WBEM_E_OUT_OF_MEMORY);
    }
    if (items) SafeArrayUnaccessData(array);
    if (FAILED(hr)) {
        SafeArrayDestroy(array);
        return hr;
    }
    *result = array;
    return S_OK;
}

HRESULT ServiceValue(int index, const ServiceRow& row, VARIANT* value) noexcept {
    switch (index) {
    case 0: return SetString(value, row.name);
    case 1: return SetString(value, row.state);
    case 2:
        V_VT(value) = VT_I4;
        V_I4(value) = row.processId;
        return S_OK;
    case 3:
        V_VT(value) = VT_NULL;
        return S_OK;
    case 4: {
        SAFEARRAY* array = nullptr;
        RETURN_IF_FAILED(MakeStringArray(row.dependencies, row.dependencyCount, &array));
        V_VT(value) = VT_ARRAY | VT_BSTR;
        V_ARRAY(value) = array;
        return S_OK;
    }
    case 5: return SetString(value, L"5000000000");
    default: return SetString(value, L"-5000000000");
    }
}

// The row of a service instance: svc1, svc2, svc3, or svc1, svc3, svc2 for
// the class that delivers the stopped service last.
const ServiceRow& ServiceRowOf(const ScriptedClass& scripted, ULONG instance) noexcept {
    static const ULONG stoppedLast[] = {0, 2, 1};
    const ULONG row = instance % std::size(kServiceRows);
    return kServiceRows[scripted.behaviour == Behaviour::StoppedLast ? stoppedLast[row] : row];
}

// The text of property index of a row of the Disk class.
const wchar_t* RowText(int index, ULONG instance) noexcept {
    return kDiskRows[instance % std::size(kDiskRows)][index];
}

HRESULT MakeClassObject(const std::shared_ptr<const ScriptedClass>& scripted, LONG instance,
                        IWbemClassObject** object) noexcept;

// An embedded object: the instance of Double_Service in the same position.
HRESULT EmbeddedValue(const ScriptedClass& scripted, ULONG instance, VARIANT* value) noexcept {
    std::shared_ptr<ScriptedClass> owner;
    try {
        owner = FindClass(L"Double_Service", scripted.nameSpace);
    } catch (...) {
        return Wbem(WBEM_E_OUT_OF_MEMORY);
    }
    IWbemClassObject* object = nullptr;
    RETURN_IF_FAILED(MakeClassObject(owner, static_cast<LONG>(instance), &object));
    V_VT(value) = VT_UNKNOWN;
    V_UNKNOWN(value) = object;
    return S_OK;
}

// The value of property index of an instance (both counted from 0).
HRESULT InstanceValue(const ScriptedClass& scripted, int index, ULONG instance, VARIANT* value) noexcept {
    wchar_t text[32];
    if (scripted.shape == Shape::Disk) {
        const wchar_t* row = RowText(index, instance);
        const CIMTYPE type = ShapeOf(scripted).properties[index].type;
        if (!row) {
            V_VT(value) = VT_NULL;
            return S_OK;
        }
        if (type != CIM_UINT16 && type != CIM_UINT32) return SetString(value, row);
        V_VT(value) = VT_I4;
        V_I4(value) = _wtol(row);
        return S_OK;
    }
    if (scripted.shape == Shape::Service)
        return ServiceValue(index, ServiceRowOf(scripted, instance), value);
    if (scripted.shape == Shape::Table)
        return datatable::CellValue(*scripted.table, scripted.rows[instance], static_cast<size_t>(index), value);
    if (scripted.shape == Shape::Embedded && index == 1) return EmbeddedValue(scripted, instance, value);
    if ((scripted.shape == Shape::Item || scripted.shape == Shape::Embedded) && index == 0) {
        V_VT(value) = VT_I4;
        V_I4(value) = static_cast<LONG>(instance + 1);
        return S_OK;
    }
    if (scripted.shape == Shape::Item) swprintf(text, 32, L"item%lu", instance + 1);
    else swprintf(text, 32, L"v%lu.%d", instance + 1, index + 1);
    return SetString(value, text);
}

const wchar_t* const kSystemProperties[] = {L"__GENUS", L"__CLASS", L"__RELPATH", L"__PROPERTY_COUNT", L"__PATH"};
const CIMTYPE kSystemTypes[] = {CIM_SINT32, CIM_STRING, CIM_STRING, CIM_SINT32, CIM_STRING};

// __RELPATH: the class name for a class, the key for an instance; empty for
// an instance without a key. Throws bad_alloc.
std::wstring RelativePath(const ScriptedClass& scripted, LONG instance) {
    if (instance < 0) return scripted.name;
    wchar_t key[64];
    switch (scripted.shape) {
    case Shape::Service:
        swprintf(key, 64, L".Name=\"%ls\"", ServiceRowOf(scripted, static_cast<ULONG>(instance)).name);
        return scripted.name + key;
    case Shape::Item:
    case Shape::Embedded:
        swprintf(key, 64, L".Id=%ld", instance + 1);
        return scripted.name + key;
    case Shape::Disk:
        swprintf(key, 64, L".DeviceID=\"%ls\"", RowText(0, static_cast<ULONG>(instance)));
        return scripted.name + key;
    case Shape::Table: {
        if (scripted.table->singleton) return scripted.name + L"=@";
        const wchar_t* quote = scripted.table->columns[0].type == datatable::Type::String ? L"\"" : L"";
        return scripted.name + L"." + scripted.table->columns[0].name + L"=" + quote +
               scripted.table->rows[scripted.rows[static_cast<size_t>(instance)]][0] + quote;
    }
    case Shape::Bulk: break;
    }
    return std::wstring();
}

// Throws bad_alloc.
HRESULT SystemValue(const ScriptedClass& scripted, LONG instance, int index, VARIANT* value) {
    switch (index) {
    case 0:
        V_VT(value) = VT_I4;
        V_I4(value) = instance < 0 ? WBEM_GENUS_CLASS : WBEM_GENUS_INSTANCE;
        return S_OK;
    case 1: return SetString(value, scripted.name.c_str());
    case 3:
        V_VT(value) = VT_I4;
        V_I4(value) = ShapeOf(scripted).count;
        return S_OK;
    default: break;
    }
    const std::wstring relative = RelativePath(scripted, instance);
    if (relative.empty()) {
        V_VT(value) = VT_NULL;
        return S_OK;
    }
    if (index == 2) return SetString(value, relative.c_str());
    return SetString(value, (L"\\\\DOUBLE\\" + scripted.nameSpace + L":" + relative).c_str());
}

// ---------------------------------------------------------------------------
// Object bases.

// Every object of the double: counted while alive, and free-threaded (its
// IMarshal is an aggregated free-threaded marshaler, made on first request),
// so a pointer marshalled inside the process unmarshals to the object itself.
template <class Derived, class... Interfaces>
class DoubleObject : public com::ComObject<Derived, Interfaces...> {
protected:
    DoubleObject() noexcept { ++g_liveObjects; }
    ~DoubleObject() override {
        InCall call;  // the final release
        if (marshaler_) marshaler_->Release();
        --g_liveObjects;
    }

public:
    STDMETHODIMP QueryInterface(REFIID riid, void** object) override {
        InCall call;
        return com::ComObject<Derived, Interfaces...>::QueryInterface(riid, object);
    }

protected:

    HRESULT QueryExtraInterface(REFIID riid, void** object) override {
        *object = nullptr;
        if (!IsEqualIID(riid, IID_IMarshal)) return E_NOINTERFACE;
        if (!marshaler_) {
            IUnknown* created = nullptr;
            RETURN_IF_FAILED(CoCreateFreeThreadedMarshaler(this->ControllingUnknown(), &created));
            if (InterlockedCompareExchangePointer(reinterpret_cast<void* volatile*>(&marshaler_), created, nullptr))
                created->Release();  // another thread was first
        }
        return marshaler_->QueryInterface(riid, object);
    }

private:
    IUnknown* volatile marshaler_ = nullptr;  // the marshaler's inner IUnknown, owned
};

// IClientSecurity as the platform's proxies answer it: SetBlanket is
// recorded and remembered for QueryBlanket.
class BlanketRecorder : public IClientSecurity {
public:
    STDMETHODIMP QueryBlanket(IUnknown*, DWORD* authn, DWORD* authz, OLECHAR** principal, DWORD* level,
                              DWORD* impersonation, void** identity, DWORD* capabilities) override {
        InCall call;
        if (authn) *authn = authn_;
        if (authz) *authz = authz_;
        if (principal) *principal = nullptr;
        if (level) *level = level_;
        if (impersonation) *impersonation = impersonation_;
        if (identity) *identity = nullptr;
        if (capabilities) *capabilities = capabilities_;
        return S_OK;
    }

    STDMETHODIMP SetBlanket(IUnknown* proxy, DWORD authn, DWORD authz, OLECHAR* principal, DWORD level,
                            DWORD impersonation, void* identity, DWORD capabilities) override {
        InCall call;
        RecordLine line(L"SetBlanket");
        line.Add(L" on=").Add(BlanketTarget()).Add(IsIdentity(proxy) ? L"/IUnknown" : L"");
        line.Number(L" authn=", authn).Number(L" authz=", authz);
        if (principal == COLE_DEFAULT_PRINCIPAL) line.Add(L" principal=(default)");
        else line.Text(L" principal=", principal);
        line.Number(L" level=", level).Number(L" impersonation=", impersonation).Hex(L" capabilities=", capabilities);
        const bool defaultPrincipal = principal == COLE_DEFAULT_PRINCIPAL;
        if (!identity) {
            line.Add(L" identity=(null)");
        } else if (identity == COLE_DEFAULT_AUTHINFO) {
            line.Add(L" identity=(default)");
        } else {
            const auto* id = static_cast<const COAUTHIDENTITY*>(identity);
            const bool ansi = id->Flags & SEC_WINNT_AUTH_IDENTITY_ANSI;
            AddIdentityText(line, L" user=", id->User, id->UserLength, ansi);
            AddIdentityText(line, L" domain=", id->Domain, id->DomainLength, ansi);
            AddIdentityText(line, L" password=", id->Password, id->PasswordLength, ansi);
            line.Number(L" flags=", id->Flags);
        }
        if (const LONG connection = Connection()) line.Number(L" connection=", connection);
        line.Commit();
        const Requested requested = {authn, defaultPrincipal ? nullptr : principal, defaultPrincipal, level};
        const auto* explicitIdentity =
            identity == COLE_DEFAULT_AUTHINFO ? nullptr : static_cast<const COAUTHIDENTITY*>(identity);
        authn_ = BlanketSet(proxy, explicitIdentity, requested);
        authz_ = authz;
        level_ = level;
        impersonation_ = impersonation;
        capabilities_ = capabilities;
        return S_OK;
    }

    STDMETHODIMP CopyProxy(IUnknown*, IUnknown** copy) override {
        if (copy) *copy = nullptr;
        return E_NOTIMPL;
    }

protected:
    // What a blanket asks for: its service, its principal (null when none
    // or defaulted) and level.
    struct Requested {
        DWORD authn;
        const wchar_t* principal;
        bool defaultPrincipal;
        DWORD level;
    };

    // "services", "callresult" or "enumerator", for the record.
    virtual const wchar_t* BlanketTarget() const noexcept = 0;
    // The number of the connection to a computer of the domain that the
    // proxy belongs to, recorded on its blankets; 0 for none.
    virtual LONG Connection() const noexcept { return 0; }
    // Whether proxy is the object's IUnknown identity (a pointer of its own).
    virtual bool IsIdentity(IUnknown*) const noexcept { return false; }
    // A blanket was set on proxy with identity (null: the process's own);
    // gives the service QueryBlanket reports from then on: the mechanism a
    // negotiated service settled on (NTLM where nothing decides it).
    virtual DWORD BlanketSet(IUnknown*, const COAUTHIDENTITY*, const Requested& requested) noexcept {
        return requested.authn == network::kDefault || requested.authn == network::kNegotiate ? network::kNtlm
                                                                                              : requested.authn;
    }

private:
    static void AddIdentityText(RecordLine& line, const wchar_t* label, const USHORT* text, ULONG length,
                                bool ansi) noexcept {
        if (!ansi) {
            line.Text(label, reinterpret_cast<const wchar_t*>(text), length);
            return;
        }
        wchar_t wide[256] = {};
        const unsigned char* bytes = reinterpret_cast<const unsigned char*>(text);
        for (ULONG i = 0; bytes && i < length && i < 255; ++i) wide[i] = bytes[i];
        line.Text(label, bytes ? wide : nullptr, length < 255 ? length : 255);
    }

    std::atomic<DWORD> authn_{RPC_C_AUTHN_WINNT};
    std::atomic<DWORD> authz_{RPC_C_AUTHZ_NONE};
    std::atomic<DWORD> level_{RPC_C_AUTHN_LEVEL_DEFAULT};
    std::atomic<DWORD> impersonation_{RPC_C_IMP_LEVEL_DEFAULT};
    std::atomic<DWORD> capabilities_{EOAC_NONE};
};

}  // namespace

namespace com::detail {
template <>
struct InterfaceOf<BlanketRecorder> {
    using type = IClientSecurity;
    static constexpr bool dual = false;
};
}  // namespace com::detail

namespace {

// ---------------------------------------------------------------------------
// The proxies of a remote connection: services, call results, enumerators.

// A connection to a member computer of the domain: the computer as named,
// the account it authenticated as, whose credentials every proxy's blanket
// must carry, the connection's number in the record, and the level its
// namespace requires of every call (root\MSCluster: privacy).
struct Remote {
    std::wstring server;
    network::Account account;
    LONG connection = 0;
    DWORD requiredLevel = RPC_C_AUTHN_LEVEL_DEFAULT;
};

// How long a final release lags when the proxy's IUnknown carries no blanket
// with the connection's credentials: DCOM then releases under the process's
// identity, which the remote computer refuses after a delay.
constexpr DWORD kReleaseLagMs = 1500;

// An object that stands for a proxy. Of a remote connection (remote_ set),
// it behaves as DCOM's proxies do against a computer where the process's own
// identity has no access: its IUnknown is a pointer of its own with a
// blanket of its own; a call through the interface whose blanket lacks the
// connection's credentials fails with E_ACCESSDENIED, and the final release
// lags when the IUnknown's blanket lacks them.
template <class Derived, class Interface>
class ProxyObject : public DoubleObject<Derived, Interface, BlanketRecorder> {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** object) override {
        if (remote_ && object && IsEqualIID(riid, IID_IUnknown)) {
            InCall call;
            *object = &identity_;
            identity_.AddRef();
            return S_OK;
        }
        return DoubleObject<Derived, Interface, BlanketRecorder>::QueryInterface(riid, object);
    }

protected:
    // target: "services", "callresult" or "enumerator", for the record.
    ProxyObject(std::shared_ptr<const Remote> remote, const wchar_t* target) noexcept
        : remote_(std::move(remote)), target_(target), identity_(this) {}
    ~ProxyObject() override {
        if (!remote_ || identityCarries_) return;
        RecordLine(L"Release").Add(L" on=").Add(target_).Add(L" lagged: its IUnknown has no blanket with ")
            .Add(remote_->account.Name().c_str()).Commit();
        Sleep(kReleaseLagMs);
    }

    // S_OK, or the refusal (recorded): E_ACCESSDENIED when the interface's
    // blanket lacks the connection's credentials; what the computer says of
    // the blanket's service (network::Grant); WBEM_E_ACCESS_DENIED when its
    // level is below what the namespace requires.
    HRESULT Admit(const wchar_t* call) const noexcept {
        if (!remote_) return S_OK;
        const HRESULT granted = interfaceGrant_;
        const DWORD level = interfaceLevel_;
        const bool carries = interfaceCarries_;
        if (carries && SUCCEEDED(granted) && level >= remote_->requiredLevel) return S_OK;
        RecordLine denied(L"Denied");
        denied.Add(L" on=").Add(target_).Add(L" call=").Add(call);
        if (!carries) {
            denied.Add(L": no blanket with ").Add(remote_->account.Name().c_str()).Commit();
            return E_ACCESSDENIED;
        }
        if (FAILED(granted)) {
            denied.Number(L": authn=", interfaceAuthn_).Add(L" refused for ").Add(remote_->account.Name().c_str())
                .Hex(L" with ", static_cast<unsigned long>(granted)).Commit();
            return granted;
        }
        denied.Number(L": level=", level).Number(L" below ", remote_->requiredLevel).Commit();
        return Wbem(WBEM_E_ACCESS_DENIED);
    }
    const std::shared_ptr<const Remote>& RemoteConnection() const noexcept { return remote_; }

    const wchar_t* BlanketTarget() const noexcept final { return target_; }
    LONG Connection() const noexcept final { return remote_ ? remote_->connection : 0; }
    bool IsIdentity(IUnknown* proxy) const noexcept override { return remote_ && proxy == &identity_; }
    DWORD BlanketSet(IUnknown* proxy, const COAUTHIDENTITY* identity,
                     const BlanketRecorder::Requested& requested) noexcept override {
        if (!remote_) return BlanketRecorder::BlanketSet(proxy, identity, requested);
        const bool carries = network::Carries(identity, remote_->account);
        DWORD mechanism = requested.authn;
        HRESULT granted;
        try {
            granted = network::Grant(remote_->server, remote_->account, requested.authn, requested.principal,
                                     requested.defaultPrincipal, &mechanism);
        } catch (...) {
            granted = E_OUTOFMEMORY;
        }
        if (IsIdentity(proxy)) {
            identityCarries_ = carries;
        } else {
            interfaceCarries_ = carries;
            interfaceGrant_ = granted;
            interfaceAuthn_ = requested.authn;
            interfaceLevel_ = requested.level;
        }
        return SUCCEEDED(granted) ? mechanism : requested.authn;
    }

private:
    // The IUnknown of a remote proxy, a pointer of its own.
    class Identity final : public IUnknown {
    public:
        explicit Identity(ProxyObject* owner) noexcept : owner_(owner) {}
        STDMETHODIMP QueryInterface(REFIID riid, void** object) override {
            return owner_->QueryInterface(riid, object);
        }
        STDMETHODIMP_(ULONG) AddRef() override { return static_cast<IClientSecurity*>(owner_)->AddRef(); }
        STDMETHODIMP_(ULONG) Release() override { return static_cast<IClientSecurity*>(owner_)->Release(); }

    private:
        ProxyObject* owner_;
    };

    std::shared_ptr<const Remote> remote_;
    const wchar_t* target_;
    Identity identity_;
    std::atomic<bool> interfaceCarries_{false}, identityCarries_{false};
    // What the computer made of the interface's blanket.
    std::atomic<HRESULT> interfaceGrant_{E_ACCESSDENIED};
    std::atomic<DWORD> interfaceAuthn_{0};
    std::atomic<DWORD> interfaceLevel_{0};
};

// ---------------------------------------------------------------------------
// Qualifier set of one property.

class QualifierSet final : public DoubleObject<QualifierSet, IWbemQualifierSet> {
public:
    explicit QualifierSet(const QualifierDef* qualifiers) noexcept : qualifiers_(qualifiers) {}

    STDMETHODIMP Get(LPCWSTR name, LONG, VARIANT* value, LONG* flavor) override {
        InCall call;
        if (!name) return Wbem(WBEM_E_INVALID_PARAMETER);
        for (const QualifierDef* q = qualifiers_; q->name; ++q) {
            if (_wcsicmp(q->name, name) != 0) continue;
            if (flavor) *flavor = 0;
            if (!value) return S_OK;
            VariantInit(value);
            switch (q->type) {
            case VT_BSTR: return SetString(value, q->text);
            case VT_BOOL: V_BOOL(value) = q->number ? VARIANT_TRUE : VARIANT_FALSE; break;
            case VT_I4: V_I4(value) = static_cast<LONG>(q->number); break;
            default: V_I8(value) = q->number; break;
            }
            V_VT(value) = q->type;
            return S_OK;
        }
        return Wbem(WBEM_E_NOT_FOUND);
    }

    STDMETHODIMP Put(LPCWSTR, VARIANT*, LONG) override { return E_NOTIMPL; }
    STDMETHODIMP Delete(LPCWSTR) override { return E_NOTIMPL; }
    STDMETHODIMP GetNames(LONG, SAFEARRAY** names) override {
        InCall call;
        if (names) *names = nullptr;
        return E_NOTIMPL;
    }
    STDMETHODIMP BeginEnumeration(LONG) override { return E_NOTIMPL; }
    STDMETHODIMP Next(LONG, BSTR* name, VARIANT*, LONG*) override {
        if (name) *name = nullptr;
        return E_NOTIMPL;
    }
    STDMETHODIMP EndEnumeration() override { return E_NOTIMPL; }

private:
    const QualifierDef* qualifiers_;  // static catalogue data
};

// ---------------------------------------------------------------------------
// Class definition (instance < 0) or instance.

class ClassObject final : public DoubleObject<ClassObject, IWbemClassObject> {
public:
    ClassObject(const std::shared_ptr<const ScriptedClass>& scripted, LONG instance) noexcept
        : scripted_(scripted), instance_(instance) {}

    STDMETHODIMP Get(LPCWSTR name, LONG, VARIANT* value, CIMTYPE* type, LONG* flavor) override {
        InCall call;
        if (!name) return Wbem(WBEM_E_INVALID_PARAMETER);
        if (IsBad()) return Wbem(WBEM_E_FAILED);
        if (value) VariantInit(value);
        for (int i = 0; i < static_cast<int>(std::size(kSystemProperties)); ++i) {
            if (_wcsicmp(name, kSystemProperties[i]) != 0) continue;
            if (type) *type = kSystemTypes[i];
            if (flavor) *flavor = WBEM_FLAVOR_ORIGIN_SYSTEM;
            if (!value) return S_OK;
            try {
                return SystemValue(*scripted_, instance_, i, value);
            } catch (...) {
                return Wbem(WBEM_E_OUT_OF_MEMORY);
            }
        }
        const ShapeDef shape = ShapeOf(*scripted_);
        for (int i = 0; i < shape.count; ++i) {
            if (_wcsicmp(name, shape.properties[i].name) != 0 || Lacks(shape.properties[i].name)) continue;
            if (type) *type = shape.properties[i].type;
            if (flavor) *flavor = WBEM_FLAVOR_ORIGIN_LOCAL;
            if (!value) return S_OK;
            if (instance_ < 0) {
                V_VT(value) = VT_NULL;
                return S_OK;
            }
            return InstanceValue(*scripted_, i, static_cast<ULONG>(instance_), value);
        }
        return Wbem(WBEM_E_NOT_FOUND);
    }

    STDMETHODIMP GetNames(LPCWSTR qualifierName, LONG flags, VARIANT*, SAFEARRAY** names) override {
        InCall call;
        if (!names) return Wbem(WBEM_E_INVALID_PARAMETER);
        *names = nullptr;
        if (qualifierName) return Wbem(WBEM_E_NOT_SUPPORTED);
        if (flags != WBEM_FLAG_ALWAYS && flags != WBEM_FLAG_KEYS_ONLY && flags != WBEM_FLAG_NONSYSTEM_ONLY)
            return Wbem(WBEM_E_INVALID_PARAMETER);
        if (scripted_->behaviour == Behaviour::NamesFail && instance_ < 0) return Wbem(WBEM_E_FAILED);
        if (scripted_->behaviour == Behaviour::NamesStall && instance_ < 0 && !Stall(INFINITE))
            return Wbem(WBEM_E_CALL_CANCELLED);
        const wchar_t* list[32];
        int count = 0;
        if (flags == WBEM_FLAG_ALWAYS)
            for (const wchar_t* system : kSystemProperties) list[count++] = system;
        const ShapeDef shape = ShapeOf(*scripted_);
        for (int i = 0; i < shape.count; ++i)
            if ((flags != WBEM_FLAG_KEYS_ONLY || IsKey(shape.properties[i])) && !Lacks(shape.properties[i].name))
                list[count++] = shape.properties[i].name;
        return MakeStringArray(list, count, names);
    }

    STDMETHODIMP GetPropertyQualifierSet(LPCWSTR name, IWbemQualifierSet** set) override {
        InCall call;
        if (!set || !name) return Wbem(WBEM_E_INVALID_PARAMETER);
        *set = nullptr;
        for (const wchar_t* system : kSystemProperties)
            if (_wcsicmp(name, system) == 0) return Wbem(WBEM_E_SYSTEM_PROPERTY);
        const ShapeDef shape = ShapeOf(*scripted_);
        for (int i = 0; i < shape.count; ++i) {
            if (_wcsicmp(name, shape.properties[i].name) != 0) continue;
            ComPtr<QualifierSet> created = QualifierSet::Make(shape.properties[i].qualifiers);
            if (!created) return Wbem(WBEM_E_OUT_OF_MEMORY);
            *set = created.Detach();
            return S_OK;
        }
        return Wbem(WBEM_E_NOT_FOUND);
    }

    STDMETHODIMP GetQualifierSet(IWbemQualifierSet** set) override { return NotImplemented(set); }
    STDMETHODIMP Put(LPCWSTR, LONG, VARIANT*, CIMTYPE) override { return E_NOTIMPL; }
    STDMETHODIMP Delete(LPCWSTR) override { return E_NOTIMPL; }
    STDMETHODIMP BeginEnumeration(LONG) override { return E_NOTIMPL; }
    STDMETHODIMP Next(LONG, BSTR* name, VARIANT*, CIMTYPE*, LONG*) override { return NotImplemented(name); }
    STDMETHODIMP EndEnumeration() override { return E_NOTIMPL; }
    STDMETHODIMP Clone(IWbemClassObject** copy) override { return NotImplemented(copy); }
    STDMETHODIMP GetObjectText(LONG, BSTR* text) override { return NotImplemented(text); }
    STDMETHODIMP SpawnDerivedClass(LONG, IWbemClassObject** made) override { return NotImplemented(made); }
    STDMETHODIMP SpawnInstance(LONG, IWbemClassObject** made) override { return NotImplemented(made); }
    STDMETHODIMP CompareTo(LONG, IWbemClassObject*) override { return E_NOTIMPL; }
    STDMETHODIMP GetPropertyOrigin(LPCWSTR, BSTR* origin) override { return NotImplemented(origin); }
    STDMETHODIMP InheritsFrom(LPCWSTR) override { return E_NOTIMPL; }
    STDMETHODIMP GetMethod(LPCWSTR, LONG, IWbemClassObject** in, IWbemClassObject** out) override {
        NotImplemented(in);
        return NotImplemented(out);
    }
    STDMETHODIMP PutMethod(LPCWSTR, LONG, IWbemClassObject*, IWbemClassObject*) override { return E_NOTIMPL; }
    STDMETHODIMP DeleteMethod(LPCWSTR) override { return E_NOTIMPL; }
    STDMETHODIMP BeginMethodEnumeration(LONG) override { return E_NOTIMPL; }
    STDMETHODIMP NextMethod(LONG, BSTR* name, IWbemClassObject** in, IWbemClassObject** out) override {
        NotImplemented(name);
        NotImplemented(in);
        return NotImplemented(out);
    }
    STDMETHODIMP EndMethodEnumeration() override { return E_NOTIMPL; }
    STDMETHODIMP GetMethodQualifierSet(LPCWSTR, IWbemQualifierSet** set) override { return NotImplemented(set); }
    STDMETHODIMP GetMethodOrigin(LPCWSTR, BSTR* origin) override { return NotImplemented(origin); }

private:
    template <class T>
    static HRESULT NotImplemented(T** out) noexcept {
        if (out) *out = nullptr;
        return E_NOTIMPL;
    }

    // The second instance of Double_BadInstance cannot be read.
    bool IsBad() const noexcept { return scripted_->behaviour == Behaviour::BadInstance && instance_ == 1; }
    // The second instance of Double_MissingField has no Caption.
    bool Lacks(const wchar_t* property) const noexcept {
        return scripted_->behaviour == Behaviour::MissingField && instance_ == 1 && wcscmp(property, L"Caption") == 0;
    }

    std::shared_ptr<const ScriptedClass> scripted_;
    LONG instance_;
};

HRESULT MakeClassObject(const std::shared_ptr<const ScriptedClass>& scripted, LONG instance,
                        IWbemClassObject** object) noexcept {
    ComPtr<ClassObject> created = ClassObject::Make(scripted, instance);
    if (!created) return Wbem(WBEM_E_OUT_OF_MEMORY);
    *object = created.Detach();
    return S_OK;
}

// ---------------------------------------------------------------------------
// Call result of a semi-synchronous GetObject.

class CallResult final : public ProxyObject<CallResult, IWbemCallResult> {
public:
    CallResult(const std::shared_ptr<const ScriptedClass>& scripted, std::shared_ptr<const Remote> remote) noexcept
        : ProxyObject(std::move(remote), L"callresult"), scripted_(scripted), started_(GetTickCount64()) {}

    STDMETHODIMP GetResultObject(LONG timeout, IWbemClassObject** object) override {
        RoundTrip call;
        RecordLine(L"GetResultObject").Number(L" timeout=", timeout).Commit();
        if (!object) return Wbem(WBEM_E_INVALID_PARAMETER);
        *object = nullptr;
        RETURN_IF_FAILED(Admit(L"GetResultObject"));
        if (timeout < 0 && timeout != static_cast<LONG>(WBEM_INFINITE)) return Wbem(WBEM_E_INVALID_PARAMETER);
        if (scripted_->behaviour == Behaviour::GetResult && scripted_->code != S_OK) return scripted_->code;
        if (scripted_->behaviour == Behaviour::GetSlow && !StallWithin(RemainingMs(), timeout))
            return WBEM_S_TIMEDOUT;
        return MakeClassObject(scripted_, -1, object);
    }

    STDMETHODIMP GetResultString(LONG, BSTR* text) override {
        if (text) *text = nullptr;
        return Wbem(WBEM_E_NOT_SUPPORTED);
    }
    STDMETHODIMP GetResultServices(LONG, IWbemServices** services) override {
        if (services) *services = nullptr;
        return Wbem(WBEM_E_NOT_SUPPORTED);
    }
    STDMETHODIMP GetCallStatus(LONG, LONG*) override { return Wbem(WBEM_E_NOT_SUPPORTED); }

private:
    // Until the slow result is ready, measured from GetObject.
    DWORD RemainingMs() const noexcept {
        if (scripted_->ms == INFINITE) return INFINITE;
        const ULONGLONG elapsed = GetTickCount64() - started_;
        return elapsed >= scripted_->ms ? 0 : static_cast<DWORD>(scripted_->ms - elapsed);
    }

    std::shared_ptr<const ScriptedClass> scripted_;
    ULONGLONG started_;
};

// ---------------------------------------------------------------------------
// Forward-only enumerator of a query's instances, made as they are fetched.

class Enumerator final : public ProxyObject<Enumerator, IEnumWbemClassObject> {
public:
    Enumerator(const std::shared_ptr<const ScriptedClass>& scripted, std::shared_ptr<const Remote> remote) noexcept
        : ProxyObject(std::move(remote), L"enumerator"), scripted_(scripted) {}

    STDMETHODIMP Next(LONG timeout, ULONG count, IWbemClassObject** objects, ULONG* returned) override {
        RoundTrip call;
        RecordLine(L"Next").Number(L" timeout=", timeout).Number(L" count=", count).Commit();
        if (!objects || !returned) return Wbem(WBEM_E_INVALID_PARAMETER);
        *returned = 0;
        RETURN_IF_FAILED(Admit(L"Next"));
        if (timeout < 0 && timeout != static_cast<LONG>(WBEM_INFINITE)) return Wbem(WBEM_E_INVALID_PARAMETER);
        if (scripted_->behaviour == Behaviour::NextTimedOut) return WBEM_S_TIMEDOUT;
        // A provider that crashes inside the caller's process.
        if (scripted_->behaviour == Behaviour::Crash)
            RaiseException(EXCEPTION_ACCESS_VIOLATION, EXCEPTION_NONCONTINUABLE, 0, nullptr);
        if (scripted_->behaviour == Behaviour::NextSlow && !StallWithin(scripted_->ms, timeout)) return WBEM_S_TIMEDOUT;

        ULONG first = 0, taken = 0;
        {
            com::CriticalSectionGuard guard(lock_);
            if (scripted_->behaviour == Behaviour::NextFails && position_ > 0) return Wbem(WBEM_E_FAILED);
            first = position_;
            taken = count < scripted_->instances - first ? count : scripted_->instances - first;
            position_ += taken;
        }
        for (ULONG i = 0; i < taken; ++i) {
            const HRESULT hr = MakeClassObject(scripted_, static_cast<LONG>(first + i), &objects[i]);
            if (FAILED(hr)) {
                while (i > 0) {
                    objects[--i]->Release();
                    objects[i] = nullptr;
                }
                return hr;
            }
        }
        *returned = taken;
        return taken == count ? S_OK : static_cast<HRESULT>(WBEM_S_FALSE);
    }

    // The platform's scripting API walks a query through a clone of its
    // enumerator, from the start.
    STDMETHODIMP Reset() override {
        RoundTrip call;
        RecordLine(L"Reset").Commit();
        RETURN_IF_FAILED(Admit(L"Reset"));
        com::CriticalSectionGuard guard(lock_);
        position_ = 0;
        return S_OK;
    }
    STDMETHODIMP NextAsync(ULONG, IWbemObjectSink*) override { return Wbem(WBEM_E_NOT_SUPPORTED); }
    STDMETHODIMP Clone(IEnumWbemClassObject** copy) override {
        RoundTrip call;
        RecordLine(L"Clone").Commit();
        if (!copy) return Wbem(WBEM_E_INVALID_PARAMETER);
        *copy = nullptr;
        RETURN_IF_FAILED(Admit(L"Clone"));
        ComPtr<Enumerator> created = Enumerator::Make(scripted_, RemoteConnection());
        if (!created) return Wbem(WBEM_E_OUT_OF_MEMORY);
        {
            com::CriticalSectionGuard guard(lock_);
            created->position_ = position_;
        }
        *copy = created.Detach();
        return S_OK;
    }
    STDMETHODIMP Skip(LONG, ULONG) override { return Wbem(WBEM_E_NOT_SUPPORTED); }

private:
    std::shared_ptr<const ScriptedClass> scripted_;
    com::CriticalSection lock_;  // guards position_ only, never held while waiting
    ULONG position_ = 0;
};

// ---------------------------------------------------------------------------
// Services of one connected namespace.

// The class named by a WQL statement: the word after FROM. False when the
// statement does not start with SELECT or has no FROM and class. Throws
// bad_alloc.
bool QueryClass(const wchar_t* query, std::wstring* name) {
    auto isSpace = [](wchar_t c) { return c == L' ' || c == L'\t' || c == L'\r' || c == L'\n'; };
    std::wstring word;
    bool first = true, afterFrom = false;
    for (const wchar_t* p = query;;) {
        while (*p && isSpace(*p)) ++p;
        if (!*p) return false;
        const wchar_t* start = p;
        while (*p && !isSpace(*p)) ++p;
        word.assign(start, p);
        if (afterFrom) {
            *name = word;
            return true;
        }
        if (first && _wcsicmp(word.c_str(), L"SELECT") != 0) return false;
        first = false;
        afterFrom = _wcsicmp(word.c_str(), L"FROM") == 0;
    }
}

class Services final : public ProxyObject<Services, IWbemServices> {
public:
    Services(std::wstring&& nameSpace, std::shared_ptr<const Remote> remote, std::wstring server = L".") noexcept
        : ProxyObject(std::move(remote), L"services"), nameSpace_(std::move(nameSpace)), server_(std::move(server)) {}

    STDMETHODIMP GetObject(const BSTR path, LONG flags, IWbemContext* context, IWbemClassObject** object,
                           IWbemCallResult** callResult) override {
        RoundTrip call;
        RecordLine(L"GetObject")
            .Text(L" path=", path)
            .Hex(L" flags=", static_cast<unsigned long>(flags))
            .YesNo(L" context=", context)
            .YesNo(L" object=", object)
            .YesNo(L" callresult=", callResult)
            .Commit();
        if (object) *object = nullptr;
        if (callResult) *callResult = nullptr;
        RETURN_IF_FAILED(Admit(L"GetObject"));
        const bool semiSynchronous = (flags & WBEM_FLAG_RETURN_IMMEDIATELY) != 0;
        if (semiSynchronous && (!callResult || object)) return Wbem(WBEM_E_INVALID_PARAMETER);
        if (!path || !*path) return Wbem(WBEM_E_INVALID_PARAMETER);
        try {
            const wchar_t* colon = wcsrchr(path, L':');
            std::shared_ptr<ScriptedClass> scripted = FindClass(colon ? colon + 1 : path, nameSpace_, server_);
            if (!scripted) return Wbem(WBEM_E_NOT_FOUND);
            // A WMI that refuses the semi-synchronous lookup, as Wine's does.
            const bool syncOnly = scripted->behaviour == Behaviour::SyncOnly || scripted->behaviour == Behaviour::SyncStall;
            if (semiSynchronous && syncOnly) return Wbem(WBEM_E_INVALID_PARAMETER);
            if (!semiSynchronous && scripted->behaviour == Behaviour::SyncStall && !Stall(INFINITE))
                return Wbem(WBEM_E_CALL_CANCELLED);
            // The call-result scenarios belong to the semi-synchronous call.
            const bool callResultScenario =
                scripted->behaviour == Behaviour::GetResult || scripted->behaviour == Behaviour::GetSlow;
            if (!semiSynchronous && callResultScenario) scripted->behaviour = Behaviour::Normal;
            ComPtr<IWbemClassObject> definition;
            if (object) RETURN_IF_FAILED(MakeClassObject(scripted, -1, &definition));
            if (callResult) {
                ComPtr<CallResult> result = CallResult::Make(scripted, RemoteConnection());
                if (!result) return Wbem(WBEM_E_OUT_OF_MEMORY);
                *callResult = result.Detach();
            }
            if (object) *object = definition.Detach();
            return S_OK;
        } catch (...) {
            return Wbem(WBEM_E_OUT_OF_MEMORY);
        }
    }

    STDMETHODIMP ExecQuery(const BSTR language, const BSTR query, LONG flags, IWbemContext* context,
                           IEnumWbemClassObject** enumerator) override {
        RoundTrip call;
        RecordLine(L"ExecQuery")
            .Text(L" language=", language)
            .Text(L" query=", query)
            .Hex(L" flags=", static_cast<unsigned long>(flags))
            .YesNo(L" context=", context)
            .Commit();
        if (!enumerator || !language || !query) return Wbem(WBEM_E_INVALID_PARAMETER);
        *enumerator = nullptr;
        RETURN_IF_FAILED(Admit(L"ExecQuery"));
        if (_wcsicmp(language, L"WQL") != 0) return Wbem(WBEM_E_INVALID_QUERY_TYPE);
        try {
            std::wstring name;
            if (!QueryClass(query, &name)) return Wbem(WBEM_E_INVALID_QUERY);
            std::shared_ptr<ScriptedClass> scripted = FindClass(name.c_str(), nameSpace_, server_);
            if (!scripted) return Wbem(WBEM_E_INVALID_CLASS);
            // A data-file class applies the query's WHERE; older classes only record it.
            if (scripted->table) RETURN_IF_FAILED(datatable::Select(*scripted->table, query, &scripted->rows));
            if (scripted->table) scripted->instances = static_cast<ULONG>(scripted->rows.size());
            ComPtr<Enumerator> created = Enumerator::Make(scripted, RemoteConnection());
            if (!created) return Wbem(WBEM_E_OUT_OF_MEMORY);
            *enumerator = created.Detach();
            return S_OK;
        } catch (...) {
            return Wbem(WBEM_E_OUT_OF_MEMORY);
        }
    }

    STDMETHODIMP OpenNamespace(const BSTR, LONG, IWbemContext*, IWbemServices** services,
                               IWbemCallResult** result) override {
        Clear(services);
        return NotSupported(result);
    }
    STDMETHODIMP CancelAsyncCall(IWbemObjectSink*) override { return Wbem(WBEM_E_NOT_SUPPORTED); }
    STDMETHODIMP QueryObjectSink(LONG, IWbemObjectSink** sink) override { return NotSupported(sink); }
    STDMETHODIMP GetObjectAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*) override {
        return Wbem(WBEM_E_NOT_SUPPORTED);
    }
    STDMETHODIMP PutClass(IWbemClassObject*, LONG, IWbemContext*, IWbemCallResult** result) override {
        return NotSupported(result);
    }
    STDMETHODIMP PutClassAsync(IWbemClassObject*, LONG, IWbemContext*, IWbemObjectSink*) override {
        return Wbem(WBEM_E_NOT_SUPPORTED);
    }
    STDMETHODIMP DeleteClass(const BSTR, LONG, IWbemContext*, IWbemCallResult** result) override {
        return NotSupported(result);
    }
    STDMETHODIMP DeleteClassAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*) override {
        return Wbem(WBEM_E_NOT_SUPPORTED);
    }
    STDMETHODIMP CreateClassEnum(const BSTR, LONG, IWbemContext*, IEnumWbemClassObject** result) override {
        return NotSupported(result);
    }
    STDMETHODIMP CreateClassEnumAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*) override {
        return Wbem(WBEM_E_NOT_SUPPORTED);
    }
    STDMETHODIMP PutInstance(IWbemClassObject*, LONG, IWbemContext*, IWbemCallResult** result) override {
        return NotSupported(result);
    }
    STDMETHODIMP PutInstanceAsync(IWbemClassObject*, LONG, IWbemContext*, IWbemObjectSink*) override {
        return Wbem(WBEM_E_NOT_SUPPORTED);
    }
    STDMETHODIMP DeleteInstance(const BSTR, LONG, IWbemContext*, IWbemCallResult** result) override {
        return NotSupported(result);
    }
    STDMETHODIMP DeleteInstanceAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*) override {
        return Wbem(WBEM_E_NOT_SUPPORTED);
    }
    STDMETHODIMP CreateInstanceEnum(const BSTR, LONG, IWbemContext*, IEnumWbemClassObject** result) override {
        return NotSupported(result);
    }
    STDMETHODIMP CreateInstanceEnumAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*) override {
        return Wbem(WBEM_E_NOT_SUPPORTED);
    }
    STDMETHODIMP ExecQueryAsync(const BSTR, const BSTR, LONG, IWbemContext*, IWbemObjectSink*) override {
        return Wbem(WBEM_E_NOT_SUPPORTED);
    }
    STDMETHODIMP ExecNotificationQuery(const BSTR, const BSTR, LONG, IWbemContext*,
                                       IEnumWbemClassObject** result) override {
        return NotSupported(result);
    }
    STDMETHODIMP ExecNotificationQueryAsync(const BSTR, const BSTR, LONG, IWbemContext*, IWbemObjectSink*) override {
        return Wbem(WBEM_E_NOT_SUPPORTED);
    }
    STDMETHODIMP ExecMethod(const BSTR, const BSTR, LONG, IWbemContext*, IWbemClassObject*,
                            IWbemClassObject** out, IWbemCallResult** result) override {
        Clear(out);
        return NotSupported(result);
    }
    STDMETHODIMP ExecMethodAsync(const BSTR, const BSTR, LONG, IWbemContext*, IWbemClassObject*,
                                 IWbemObjectSink*) override {
        return Wbem(WBEM_E_NOT_SUPPORTED);
    }

private:
    template <class T>
    static void Clear(T** out) noexcept {
        if (out) *out = nullptr;
    }
    template <class T>
    static HRESULT NotSupported(T** out) noexcept {
        Clear(out);
        return Wbem(WBEM_E_NOT_SUPPORTED);
    }

    const std::wstring nameSpace_;  // the path after the server, for example root\cimv2
    const std::wstring server_;     // as the path named it: a data-file class's rows depend on it
};

// ---------------------------------------------------------------------------
// Locator.

// RPC_S_SERVER_UNAVAILABLE, after this long.
constexpr HRESULT kServerUnavailable = static_cast<HRESULT>(0x800706BA);
constexpr DWORD kDownDelayMs = 1000;

// The one password the server LOCKED accepts (for user "admin").
const wchar_t kLockedPassword[] = L"Pa55 w\u00F6rd";

class Locator final : public DoubleObject<Locator, IWbemLocator> {
public:
    STDMETHODIMP ConnectServer(const BSTR path, const BSTR user, const BSTR password, const BSTR locale,
                               LONG flags, const BSTR authority, IWbemContext* context,
                               IWbemServices** services) override {
        RoundTrip call;
        g_connectThread = GetCurrentThreadId();
        RecordLine(L"ConnectServer")
            .Text(L" path=", path)
            .Text(L" user=", user)
            .Text(L" password=", password)
            .Text(L" locale=", locale)
            .Hex(L" flags=", static_cast<unsigned long>(flags))
            .Text(L" authority=", authority)
            .YesNo(L" context=", context)
            .Commit();
        if (!services) return Wbem(WBEM_E_INVALID_PARAMETER);
        *services = nullptr;
        if (!path || !*path) return Wbem(WBEM_E_INVALID_NAMESPACE);
        try {
            // \\server\root\namespace, or root\namespace on the local computer.
            std::wstring text(path);
            for (wchar_t& c : text)
                if (c == L'/') c = L'\\';
            std::wstring server = L".";
            std::wstring nameSpace = text;
            if (text.compare(0, 2, L"\\\\") == 0) {
                const size_t end = text.find(L'\\', 2);
                server = text.substr(2, end == std::wstring::npos ? std::wstring::npos : end - 2);
                nameSpace = end == std::wstring::npos ? std::wstring() : text.substr(end + 1);
            }
            const bool credentials = user && *user;
            std::shared_ptr<Remote> remote;
            switch (network::KindOf(server)) {
            case network::Kind::Local:
                // WMI refuses credentials for the local computer.
                if (credentials) return Wbem(WBEM_E_LOCAL_CREDENTIALS);
                break;
            case network::Kind::Down:
                // DCOM gives up on a computer that does not answer only after a while.
                Stall(kDownDelayMs);
                return kServerUnavailable;
            case network::Kind::Member: {
                remote = std::make_shared<Remote>();
                remote->server = server;
                DWORD mechanism = 0;
                RETURN_IF_FAILED(
                    network::Authenticate(server, user, password, authority, &remote->account, &mechanism));
                remote->connection = ++g_connections;
                // Activation is raised to packet integrity, as a hardened
                // client raises it whatever the process's level.
                RecordLine(L"Activation")
                    .Number(L" connection=", remote->connection)
                    .Number(L" authn=", mechanism)
                    .Number(L" level=", RPC_C_AUTHN_LEVEL_PKT_INTEGRITY)
                    .Add(L" account=").Add(remote->account.Name().c_str())
                    .Commit();
                if (_wcsicmp(nameSpace.c_str(), L"root\\MSCluster") == 0)
                    remote->requiredLevel = RPC_C_AUTHN_LEVEL_PKT_PRIVACY;
                break;
            }
            case network::Kind::Lenient: break;
            }
            // Its local account, by its bare name or as LOCKED\admin.
            if (_wcsicmp(server.c_str(), L"LOCKED") == 0 &&
                !(user && (wcscmp(user, L"admin") == 0 || _wcsicmp(user, L"LOCKED\\admin") == 0) && password &&
                  wcscmp(password, kLockedPassword) == 0))
                return Wbem(WBEM_E_ACCESS_DENIED);
            const bool underRoot = _wcsnicmp(nameSpace.c_str(), L"root", 4) == 0 &&
                                   (nameSpace.size() == 4 || nameSpace[4] == L'\\');
            const size_t slash = nameSpace.rfind(L'\\');
            const wchar_t* last = nameSpace.c_str() + (slash == std::wstring::npos ? 0 : slash + 1);
            if (!underRoot || _wcsicmp(last, L"refuse") == 0) return Wbem(WBEM_E_INVALID_NAMESPACE);
            unsigned long long ms = 0;
            if (_wcsnicmp(last, L"stall", 5) == 0 && ParseNumber(last + 5, 10, 0x7FFFFFFF, &ms) &&
                !Stall(static_cast<DWORD>(ms)))
                return Wbem(WBEM_E_CALL_CANCELLED);
            ComPtr<Services> created = Services::Make(std::move(nameSpace), std::move(remote), server);
            if (!created) return Wbem(WBEM_E_OUT_OF_MEMORY);
            *services = created.Detach();
            return S_OK;
        } catch (...) {
            return Wbem(WBEM_E_OUT_OF_MEMORY);
        }
    }
};

// ---------------------------------------------------------------------------
// Module: the one creatable class, the locator.

const com::ClassRegistration kLocatorRegistration = {
    &CLSID_WbemLocator, L"WMI test double locator", nullptr, nullptr, L"Both", nullptr, false};

class DoubleModule final : public com::ComModule {
public:
    DoubleModule() noexcept : com::ComModule(GUID_NULL, 0, 0, 0) {}
    ~DoubleModule() override {
        if (factory_) factory_->Release();
    }

    HRESULT GetClassObject(REFCLSID clsid, REFIID riid, void** object) noexcept {
        if (!object) return E_POINTER;
        *object = nullptr;
        if (!IsEqualCLSID(clsid, CLSID_WbemLocator)) return CLASS_E_CLASSNOTAVAILABLE;
        {
            com::CriticalSectionGuard guard(factoryLock_);
            if (!factory_) factory_ = new (std::nothrow) com::ClassFactory(&Locator::CreateInstance);
            if (!factory_) return E_OUTOFMEMORY;
        }
        return factory_->QueryInterface(riid, object);
    }

private:
    com::CriticalSection factoryLock_;
    com::ClassFactory* factory_ = nullptr;  // one reference, the module's
};

DoubleModule g_module;

}  // namespace

com::ComModule& com::ThisModule() noexcept { return g_module; }

extern "C" {

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) DisableThreadLibraryCalls(instance);
    if (reason == DLL_PROCESS_DETACH) SetEvent(g_stallsCancelled.get());
    return TRUE;
}

STDAPI DllCanUnloadNow() { return g_module.LockCount() == 0 ? S_OK : S_FALSE; }

STDAPI DllGetClassObject(REFCLSID clsid, REFIID riid, void** object) {
    return g_module.GetClassObject(clsid, riid, object);
}

// Points the locator's class at this DLL. The class key is rewritten whole,
// so whatever the prefix had registered there before is gone.
STDAPI DllRegisterServer() {
    com::UniqueRegKey root;
    RETURN_IF_FAILED(com::OpenClassesRoot(false, &root));
    RETURN_IF_FAILED(com::RegisterClassKeys(root.get(), kLocatorRegistration, g_module.ModulePath(), GUID_NULL));
    // The double has no type library: drop the entry naming one.
    wchar_t clsid[39];
    com::GuidToString(CLSID_WbemLocator, clsid);
    wchar_t typeLibKey[64];
    swprintf(typeLibKey, 64, L"CLSID\\%ls\\TypeLib", clsid);
    RegDeleteKeyW(root.get(), typeLibKey);
    return S_OK;
}

// Removes the locator's class key: the prefix then has no WMI locator.
STDAPI DllUnregisterServer() {
    com::UniqueRegKey root;
    RETURN_IF_FAILED(com::OpenClassesRoot(false, &root));
    return com::UnregisterClassKeys(root.get(), kLocatorRegistration);
}

void WmiDoubleReset(void) {
    WmiDoubleCancelStalls();
    ResetEvent(g_stallsCancelled.get());
    g_overlaps = 0;
    g_connections = 0;
    com::CriticalSectionGuard guard(g_recordLock);
    g_record.clear();
}

void WmiDoubleClearRecord(void) {
    com::CriticalSectionGuard guard(g_recordLock);
    g_record.clear();
}

int WmiDoubleRecord(wchar_t* buffer, int size) {
    com::CriticalSectionGuard guard(g_recordLock);
    if (buffer && size > 0) {
        const size_t copied = g_record.size() < static_cast<size_t>(size) - 1 ? g_record.size()
                                                                              : static_cast<size_t>(size) - 1;
        wmemcpy(buffer, g_record.data(), copied);
        buffer[copied] = L'\0';
    }
    return static_cast<int>(g_record.size());
}

LONG WmiDoubleLiveObjects(void) { return g_liveObjects.load(); }

LONG WmiDoubleOverlaps(void) { return g_overlaps.load(); }

void WmiDoubleSetLatency(DWORD ms) { g_latencyMs = ms; }

DWORD WmiDoubleConnectThread(void) { return g_connectThread.load(); }

LONG WmiDoubleCancelStalls(void) {
    SetEvent(g_stallsCancelled.get());
    for (int waited = 0; CountStalledThreads() > 0 && waited < 5000; waited += 5) Sleep(5);
    return CountStalledThreads();
}

}  // extern "C"
