// Lets an object be called directly from every apartment of the process
// instead of through a proxy: the object aggregates the system's
// free-threaded marshaler and answers IMarshal through it. Such an object
// also answers IAgileObject, the mark by which a container tells that an
// object it holds may be handed to any apartment.
//
//   HRESULT QueryExtraInterface(REFIID riid, void** object) override {
//       return marshaler_.QueryInterface(riid, object);
//   }
#pragma once

#include <windows.h>
#include <objidl.h>

#include <wrl/client.h>

namespace com {

class FreeThreadedMarshaler {
public:
    // Aggregates the marshaler into the object whose controlling unknown is
    // owner (not counted: the owner holds this). If that fails (out of
    // memory), the object stays bound to its apartment and is marshalled by
    // proxy, which is slower but correct.
    void Aggregate(IUnknown* owner) noexcept {
        if (SUCCEEDED(CoCreateFreeThreadedMarshaler(owner, inner_.ReleaseAndGetAddressOf()))) owner_ = owner;
    }

    // IMarshal and IAgileObject once aggregated; E_NOINTERFACE otherwise.
    HRESULT QueryInterface(REFIID riid, void** object) noexcept {
        *object = nullptr;
        if (!inner_) return E_NOINTERFACE;
        if (IsEqualIID(riid, IID_IMarshal)) return inner_->QueryInterface(riid, object);
        if (IsEqualIID(riid, __uuidof(IAgileObject))) {
            owner_->AddRef();
            *object = owner_;  // a mark without methods of its own
            return S_OK;
        }
        return E_NOINTERFACE;
    }

    // Whether object may be called from any apartment.
    static bool IsAgile(IUnknown* object) noexcept {
        Microsoft::WRL::ComPtr<IAgileObject> agile;
        return object && SUCCEEDED(object->QueryInterface(IID_PPV_ARGS(&agile)));
    }

private:
    Microsoft::WRL::ComPtr<IUnknown> inner_;  // the marshaler's non-delegating IUnknown
    IUnknown* owner_ = nullptr;
};

}  // namespace com
