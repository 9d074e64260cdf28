// A list that owns one counted reference to each of its interfaces, for the
// snapshots a collection is built from.
#pragma once

#include <unknwn.h>

#include <new>
#include <vector>

template <class I>
class InterfaceList {
public:
    InterfaceList() = default;
    InterfaceList(const InterfaceList&) = delete;
    InterfaceList& operator=(const InterfaceList&) = delete;
    ~InterfaceList() {
        for (I* item : items_) item->Release();
    }
    // Takes over the caller's reference; false when memory runs out (the
    // reference is then released).
    bool Adopt(I* item) noexcept {
        try {
            items_.push_back(item);
            return true;
        } catch (const std::bad_alloc&) {
            item->Release();
            return false;
        }
    }
    I* const* data() const noexcept { return items_.data(); }
    size_t size() const noexcept { return items_.size(); }

private:
    std::vector<I*> items_;
};
