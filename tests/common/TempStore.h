// A settings store of its own for one test: a fresh folder under /tmp holding the
// store file ($TESSALINE_STORE), the key folder ($XDG_DATA_HOME = <dir>/data) and the
// configuration folder ($XDG_CONFIG_HOME = <dir>/config) while the object lives.
#pragma once

#include <store/Registry.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace testsupport {

class CTempStore {
public:
    explicit CTempStore(const std::string &prefix = "tsl-store")
    {
        std::string pattern = "/tmp/" + prefix + "-XXXXXX";
        if (!mkdtemp(pattern.data())) {
            ADD_FAILURE() << "cannot make a folder for the store";
            return;
        }
        m_dir = pattern;
        setenv("TESSALINE_STORE", (m_dir + "/registry.db").c_str(), 1);
        setenv("XDG_DATA_HOME", (m_dir + "/data").c_str(), 1);
        setenv("XDG_CONFIG_HOME", (m_dir + "/config").c_str(), 1);
        StoreClose();
    }
    ~CTempStore()
    {
        StoreClose();
        std::error_code ec;
        if (!m_dir.empty())
            std::filesystem::remove_all(m_dir, ec);
    }
    CTempStore(const CTempStore &) = delete;
    CTempStore &operator=(const CTempStore &) = delete;

    const std::string &Dir() const { return m_dir; }

private:
    std::string m_dir;
};

}  // namespace testsupport
