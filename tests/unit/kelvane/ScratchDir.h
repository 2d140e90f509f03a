#pragma once
// A fresh temporary working directory for one test: kelvane reads and
// writes only the current directory.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

class ScratchDir : public ::testing::Test {
protected:
    void SetUp() override {
        m_old = std::filesystem::current_path();
        char tmpl[] = "/tmp/kelvane-unit-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        m_dir = tmpl;
        std::filesystem::current_path(m_dir);
    }
    void TearDown() override {
        std::filesystem::current_path(m_old);
        std::error_code ec;
        std::filesystem::remove_all(m_dir, ec);
    }

    static void writeFile(const std::string& name, const std::string& text) {
        std::ofstream(name, std::ios::binary) << text;
    }
    static std::vector<uint8_t> readFile(const std::string& name) {
        std::ifstream in(name, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
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
};
