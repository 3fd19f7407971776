// The capture filter module beside the program, as one device holds it: loaded at
// the device's creation, unloaded with the device.
#pragma once

#include <filter/Filter.h>

#include <string>

class CFilterModule {
public:
    // Loads FILTER_FILE_NAME from the directory of ProgramPath(). A missing module
    // leaves an empty path and no entry.
    CFilterModule();
    ~CFilterModule();
    CFilterModule(const CFilterModule &) = delete;
    CFilterModule &operator=(const CFilterModule &) = delete;

    const std::string &Path() const { return m_path; }
    bool HasEntry() const { return m_entry != nullptr; }
    // Calls the module's registration entry; false when there is none or it failed.
    bool Register(const GUID &clsid, const char *name, const GUID *audio) const;

private:
    void *m_handle = nullptr;
    std::string m_path;
    TSLRegisterDeviceFn m_entry = nullptr;
};
