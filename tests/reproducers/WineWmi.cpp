// Wine's WMI misbehaving with nothing of ours involved: WMI's own interfaces
// only. Not a test (it crashes on purpose under Wine 8); docs/PLATFORM-NOTES.md
// says how to run it.
//   wine_wmi.exe threads   two threads query Win32_Service at once, 50 times
//                          each: heap corruption inside wbemprox
//   wine_wmi.exe quote     a WQL filter that ends inside a quote: the parser
//                          reads past the text's end
#include <windows.h>
#include <wbemidl.h>

#include <cstdio>
#include <cstring>
#include <thread>

namespace {

// Connects and runs statement, reading every row; the HRESULT of the first failure.
HRESULT Query(const wchar_t* statement) {
    IWbemLocator* locator = nullptr;
    IWbemServices* services = nullptr;
    IEnumWbemClassObject* rows = nullptr;
    BSTR path = SysAllocString(L"root\\cimv2"), wql = SysAllocString(L"WQL"), text = SysAllocString(statement);
    HRESULT hr = CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator,
                                  reinterpret_cast<void**>(&locator));
    if (SUCCEEDED(hr)) hr = locator->ConnectServer(path, nullptr, nullptr, nullptr, 0, nullptr, nullptr, &services);
    if (SUCCEEDED(hr)) hr = services->ExecQuery(wql, text, WBEM_FLAG_FORWARD_ONLY, nullptr, &rows);
    while (SUCCEEDED(hr)) {
        IWbemClassObject* row = nullptr;
        ULONG returned = 0;
        if (rows->Next(WBEM_INFINITE, 1, &row, &returned) != S_OK || !returned) break;
        row->Release();
    }
    if (rows) rows->Release();
    if (services) services->Release();
    if (locator) locator->Release();
    SysFreeString(path);
    SysFreeString(wql);
    SysFreeString(text);
    return hr;
}

}  // namespace

int main(int argc, char** argv) {
    const char* mode = argc > 1 ? argv[1] : "";
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (std::strcmp(mode, "threads") == 0) {
        auto run = [] {
            for (int i = 0; i < 50; ++i) Query(L"SELECT * FROM Win32_Service");
        };
        std::thread first(run), second(run);
        first.join();
        second.join();
        std::printf("threads: 100 queries from two threads completed\n");
    } else if (std::strcmp(mode, "quote") == 0) {
        const HRESULT hr = Query(L"SELECT * FROM Win32_Service WHERE Name = '");
        std::printf("quote: ExecQuery returned 0x%08lX\n", static_cast<unsigned long>(hr));
    } else {
        std::printf("usage: wine_wmi.exe threads|quote\n");
        return 2;
    }
    CoUninitialize();
    return 0;
}
