#pragma once

#include "config/settings.h"
#include "temp_dir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace testsupport {

// Settings and the log are process-wide; they live in one configuration folder for the whole suite.
// Installed with ::testing::AddGlobalTestEnvironment(new ConfigHome("name")).
class ConfigHome : public ::testing::Environment {
public:
    explicit ConfigHome(const std::string& name) : m_dir(name) {}
    void SetUp() override {
        setenv("HOME", m_dir.path().c_str(), 1);
        setenv("XDG_CONFIG_HOME", m_dir.sub("config").c_str(), 1);
        SettingsStore::instance().load();
    }
    const std::string& path() const { return m_dir.path(); }

private:
    TempDir m_dir;
};

} // namespace testsupport
