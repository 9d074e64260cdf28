// The bridge against the WMI test double with every WMI serialised
// (QVWMI_SERIALISE_WMI=1, set by tests/CMakeLists.txt), as Wine's own WMI
// is: the double counts calls that overlap, so a call into WMI that bypasses
// the lock shows, and a step's deadline must include its wait for the lock.
#include <wbemidl.h>

#include <functional>
#include <thread>
#include <vector>

#include "BridgeClient.h"
#include "WmiDouble.h"
#include "qvWMI_h.h"

namespace {

const HRESULT kTimedOut = static_cast<HRESULT>(0x800705B4);  // ERROR_TIMEOUT

ComPtr<IQvWMIAccess> NewAccess(long timeoutMs) {
    ComPtr<IQvWMIAccess> access;
    EXPECT_HR(S_OK, CoCreateInstance(CLSID_QvWMIAccess, nullptr, CLSCTX_INPROC_SERVER, IID_IQvWMIAccess, &access));
    if (!access) return access;
    EXPECT_HR(S_OK, access->Initialize());
    access->put_Timeout(timeoutMs);
    return access;
}

ComPtr<IQvWMIClass> ClassOf(IQvWMIAccess* access, const wchar_t* name) {
    ComPtr<IQvWMIServer> server;
    ComPtr<IQvWMIClass> cls;
    EXPECT_HR(S_OK, Connect(access, ConnectArgs{}, &server));
    if (!server) return cls;
    Bstr path(name);
    EXPECT_HR(S_OK, server->GetClass(path.get(), &cls));
    return cls;
}

// One client's whole use of the bridge: connect, class, properties with
// their qualifiers, instances (embedded objects among their values), every
// value read, everything released.
void UseTheBridge(const wchar_t* className) {
    ComPtr<IQvWMIAccess> access = NewAccess(30000);
    ComPtr<IQvWMIClass> cls = ClassOf(access.Get(), className);
    ASSERT_TRUE(cls);
    ComPtr<IQvWMIPropertyCollection> properties;
    ASSERT_HR(S_OK, cls->get_Properties(&properties));
    ComPtr<IQvWMIInstanceCollection> instances;
    ASSERT_HR(S_OK, cls->get_Instances(Arg(), &instances));
    long count = 0;
    ASSERT_HR(S_OK, instances->get_Count(&count));
    for (long i = 0; i < count; ++i) {
        ComPtr<IQvWMIInstance> instance;
        ASSERT_HR(S_OK, instances->get_Item(i, &instance));
        Bstr name(L"__CLASS");
        VARIANT value;
        VariantInit(&value);
        EXPECT_HR(S_OK, instance->get_Field(name.get(), &value));
        VariantClear(&value);
    }
}

TEST(SerialisedWmi, NoTwoCallsOverlapWhateverTheThreads) {
    ComApartment apartment;
    WmiDoubleReset();
    WmiDoubleSetLatency(1);  // widens every round trip, so that a call outside the lock would overlap
    std::vector<std::thread> clients;
    for (int t = 0; t < 6; ++t)
        clients.emplace_back([t] {
            ComApartment mine(t % 2 ? COINIT_APARTMENTTHREADED : COINIT_MULTITHREADED);
            for (int round = 0; round < 8; ++round) UseTheBridge(t % 3 ? L"Double_Embedded" : L"Double_Service");
        });
    for (std::thread& client : clients) client.join();
    WmiDoubleSetLatency(0);
    EXPECT_EQ(0, WmiDoubleOverlaps()) << "a call into the serialised WMI ran outside the lock";
    EXPECT_EQ(0, WmiDoubleLiveObjects()) << "every reference was released, deferred ones included";
}

// While another thread's query holds the lock, a step's deadline runs from
// its start: the time it waits for the lock is taken from what WMI gets.
TEST(SerialisedWmi, AStepsDeadlineIncludesItsWaitForTheLock) {
    ComApartment apartment;
    ComPtr<IQvWMIAccess> access = NewAccess(500);
    ComPtr<IQvWMIServer> server;
    ASSERT_HR(S_OK, Connect(access.Get(), ConnectArgs{}, &server));
    ComPtr<IQvWMIClass> slowQuery = ClassOf(access.Get(), L"Double_NextSlow_200");
    ASSERT_TRUE(slowQuery);
    // Each step would finish in 500 ms against a WMI answering in 200 ms.
    const struct {
        const char* name;
        std::function<HRESULT()> step;
    } cases[] = {
        {"query", [&] {
             ComPtr<IQvWMIInstanceCollection> instances;
             return slowQuery->get_Instances(Arg(), &instances);
         }},
        {"class", [&] {
             Bstr path(L"Double_GetSlow_200");
             ComPtr<IQvWMIClass> cls;
             return server->GetClass(path.get(), &cls);
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        WmiDoubleReset();
        // Another thread's query holds the lock for about 400 ms.
        std::thread holder([] {
            ComApartment mine;
            ComPtr<IQvWMIAccess> other = NewAccess(30000);
            ComPtr<IQvWMIClass> cls = ClassOf(other.Get(), L"Double_NextSlow_400");
            ComPtr<IQvWMIInstanceCollection> instances;
            if (cls) {
                EXPECT_HR(S_OK, cls->get_Instances(Arg(), &instances));
            }
        });
        for (const ULONGLONG start = GetTickCount64();
             WmiDoubleRecordText().find(L"Next timeout=") == std::wstring::npos && GetTickCount64() - start < 5000;)
            Sleep(1);
        const ULONGLONG start = GetTickCount64();
        EXPECT_HR(kTimedOut, c.step());
        EXPECT_LT(GetTickCount64() - start, 800u) << "the step waited past its own time-out";
        holder.join();
    }
}

}  // namespace
