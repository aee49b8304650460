// A private directory for one test, removed with everything in it.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

struct TempDir {
    std::string path;  // ends with '/'

    TempDir() {
        char tmpl[] = "/tmp/quor_test_XXXXXX";
        if (mkdtemp(tmpl) == nullptr) ADD_FAILURE() << "mkdtemp failed";
        path = std::string(tmpl) + "/";
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::permissions(path, std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ec);
        std::filesystem::remove_all(path, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
};

inline std::string read_text(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

inline void write_text(const std::string& file, const std::string& text) {
    std::ofstream(file, std::ios::binary) << text;
}
