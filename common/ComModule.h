// The module of one COM server DLL: its lock count, its type library and the
// type information of its dual interfaces, loaded once per interface.
#pragma once

#include <windows.h>
#include <oaidl.h>

#include <atomic>

#include "Raii.h"

namespace com {

class ComModule {
public:
    // libid and version name the DLL's own type library.
    ComModule(const GUID& libid, WORD majorVersion, WORD minorVersion, LCID lcid) noexcept;
    virtual ~ComModule();
    ComModule(const ComModule&) = delete;
    ComModule& operator=(const ComModule&) = delete;

    HINSTANCE Instance() const noexcept { return instance_; }
    const GUID& LibId() const noexcept { return libid_; }
    WORD MajorVersion() const noexcept { return major_; }
    WORD MinorVersion() const noexcept { return minor_; }
    LCID TypeLibLcid() const noexcept { return lcid_; }

    // One lock per live object and per LockServer(TRUE).
    LONG Lock() noexcept { return ++locks_; }
    LONG Unlock() noexcept { return --locks_; }
    LONG LockCount() const noexcept { return locks_.load(); }

    // Type information of a dual interface of the module's type library.
    // The library is loaded from the registration, or else from the DLL itself.
    // The caller receives a counted reference.
    HRESULT GetTypeInfo(REFIID iid, ITypeInfo** typeInfo) noexcept;

    // The DLL's full path.
    const wchar_t* ModulePath() const noexcept { return path_; }

    // Called from DllMain on DLL_PROCESS_DETACH. When the process is ending,
    // cached COM references are left alone: the libraries they live in may
    // already be gone.
    void OnProcessDetach(bool processTerminating) noexcept { terminating_ = processTerminating; }
    // The process is ending (set on DLL_PROCESS_DETACH, before the DLL's
    // static objects are destroyed): its other threads are gone, and may
    // have died holding locks.
    bool ProcessTerminating() const noexcept { return terminating_; }

private:
    static constexpr int kMaxTypeInfos = 16;
    struct CachedTypeInfo {
        IID iid;
        ITypeInfo* typeInfo;
    };

    HINSTANCE instance_ = nullptr;
    wchar_t path_[MAX_PATH] = {};
    GUID libid_;
    WORD major_;
    WORD minor_;
    LCID lcid_;
    std::atomic<LONG> locks_{0};
    bool terminating_ = false;

    CriticalSection typeInfoLock_;
    ITypeLib* typeLib_ = nullptr;
    CachedTypeInfo typeInfos_[kMaxTypeInfos] = {};
    int typeInfoCount_ = 0;
};

// The module of the DLL that this code is linked into; each DLL defines it.
ComModule& ThisModule() noexcept;

}  // namespace com
