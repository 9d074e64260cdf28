// Per-user registration through DllInstall(TRUE, "user"). Runs in a process
// and a Wine prefix of its own: the per-user switch lasts for the process,
// and its keys would shadow the machine-wide ones that other tests read.
#include "TestSupport.h"

namespace {

bool KeyExists(HKEY root, const wchar_t* path) {
    HKEY key;
    if (RegOpenKeyExW(root, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
}

TEST(PerUserRegistration, WritesUnderTheUsersClassesOnly) {
    ComApartment apartment;
    HMODULE module = LoadLibraryW(BinPath(L"qvWMI.dll").c_str());
    ASSERT_NE(nullptr, module);
    auto install = reinterpret_cast<HRESULT(WINAPI*)(BOOL, LPCWSTR)>(
        reinterpret_cast<void (*)()>(GetProcAddress(module, "DllInstall")));
    ASSERT_NE(nullptr, install);

    ASSERT_HR(S_OK, install(TRUE, L"USER"));
    const wchar_t* keys[] = {L"QvWMI.Access", L"QvWMI.Access.1\\CLSID", L"QvWMI.Access\\CurVer",
                             L"CLSID\\{9B0F0410-A0C3-40B7-AF17-2204BAE53BBD}\\InprocServer32"};
    for (const wchar_t* key : keys) {
        std::wstring user = std::wstring(L"Software\\Classes\\") + key;
        EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, user.c_str())) << "missing per user";
        EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, user.c_str())) << "written machine-wide";
    }

    ASSERT_HR(S_OK, install(FALSE, L"user"));
    for (const wchar_t* key : keys) {
        std::wstring user = std::wstring(L"Software\\Classes\\") + key;
        EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, user.c_str())) << "left after uninstall";
    }
    FreeLibrary(module);
}

}  // namespace
