#pragma once

// Settings and the log are process-wide: a suite that drives an App keeps them in one configuration
// folder of its own for the whole run. Register it once per test binary:
//   [[maybe_unused]] auto* const g_home = testsupport::ConfigHome::install("my-suite-home");
#include "config/settings.h"
#include "temp_dir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace testsupport {

class ConfigHome : public ::testing::Environment {
public:
    explicit ConfigHome(const std::string& name) : m_dir(name) {}
    void SetUp() override {
        setenv("HOME", m_dir.path().c_str(), 1);
        setenv("XDG_CONFIG_HOME", m_dir.sub("config").c_str(), 1);
        SettingsStore::instance().load();
    }
    static ::testing::Environment* install(const std::string& name) {
        return ::testing::AddGlobalTestEnvironment(new ConfigHome(name));
    }

private:
    TempDir m_dir;
};

} // namespace testsupport
