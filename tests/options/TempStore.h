// A settings store of its own for one test: a fresh SQLite file in a temporary
// folder, named by $TESSALINE_STORE while the object lives.
#pragma once

#include <store/Registry.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>

class CTempStore {
public:
    explicit CTempStore(const std::string &prefix)
    {
        const ::testing::TestInfo *test = ::testing::UnitTest::GetInstance()->current_test_info();
        m_dir = std::filesystem::temp_directory_path() /
                (prefix + "-" + std::to_string(::getpid()) + "-" + (test ? test->name() : "none"));
        std::filesystem::remove_all(m_dir);
        std::filesystem::create_directories(m_dir);
        setenv("TESSALINE_STORE", (m_dir / "registry.db").c_str(), 1);
        StoreClose();
    }
    ~CTempStore()
    {
        StoreClose();
        std::error_code ec;
        std::filesystem::remove_all(m_dir, ec);
    }
    CTempStore(const CTempStore &) = delete;
    CTempStore &operator=(const CTempStore &) = delete;
    const std::filesystem::path &Dir() const { return m_dir; }

private:
    std::filesystem::path m_dir;
};
