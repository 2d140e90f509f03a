#pragma once
// A fresh temporary working directory for one test: kelvane reads and
// writes only the current directory.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "support/TempDir.h"

class ScratchDir : public ::testing::Test {
protected:
    void SetUp() override {
        m_old = std::filesystem::current_path();
        m_tmp = std::make_unique<twtest::TempDir>();
        m_dir = m_tmp->path();
        std::filesystem::current_path(m_dir);
    }
    void TearDown() override {
        std::filesystem::current_path(m_old);
        std::filesystem::permissions(m_dir, std::filesystem::perms::owner_all);
        m_tmp.reset();
    }

    static void writeFile(const std::string& name, const std::string& text) {
        twtest::writeFile(name, text);
    }
    static std::vector<uint8_t> readFile(const std::string& name) {
        std::string s = twtest::readFile(name);
        return {s.begin(), s.end()};
    }
    // Names of the files in the working directory, sorted.
    std::vector<std::string> files() const {
        std::vector<std::string> names;
        for (const auto& e : std::filesystem::directory_iterator(m_dir)) {
            names.push_back(e.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    std::filesystem::path m_dir;

private:
    std::filesystem::path m_old;
    std::unique_ptr<twtest::TempDir> m_tmp;
};
