// Owners of the boundary's handles, so that every path out of an operation releases them.
#ifndef TOLVANE_SETUP_HANDLES_H
#define TOLVANE_SETUP_HANDLES_H

#include "setup/setup_api.h"

namespace tolvane {

class DevInfoSet {
  public:
    explicit DevInfoSet(SetupDevInfoSet handle) : handle_(handle) {}
    ~DevInfoSet() {
        if (handle_ != nullptr) {
            DiDestroyDeviceInfoList(handle_);
        }
    }
    DevInfoSet(const DevInfoSet&) = delete;
    DevInfoSet& operator=(const DevInfoSet&) = delete;

    bool valid() const { return handle_ != nullptr; }
    SetupDevInfoSet get() const { return handle_; }

  private:
    SetupDevInfoSet handle_;
};

class LoadedModule {
  public:
    explicit LoadedModule(SetupModule handle) : handle_(handle) {}
    ~LoadedModule() {
        if (handle_ != nullptr) {
            OsFreeLibrary(handle_);
        }
    }
    LoadedModule(const LoadedModule&) = delete;
    LoadedModule& operator=(const LoadedModule&) = delete;

    bool valid() const { return handle_ != nullptr; }
    SetupModule get() const { return handle_; }

  private:
    SetupModule handle_;
};

// Walks a set's members by index until the enumeration fails, as the platform asks.
template <typename Visit>
void ForEachMember(const DevInfoSet& set, Visit visit) {
    SetupDevElement element{};
    for (uint32_t index = 0; DiEnumDeviceInfo(set.get(), index, &element); ++index) {
        visit(element);
    }
}

}  // namespace tolvane

#endif  // TOLVANE_SETUP_HANDLES_H
