#pragma once
// Test helpers: a fresh directory per test below the test's working directory,
// and whole-file reads and writes.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#ifdef _WIN32
inline constexpr char path_separator = '\\';
#else
inline constexpr char path_separator = '/';
#endif

class scratch_directory {
  public:
    scratch_directory() {
        const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
        path_ = std::filesystem::current_path() / "scratch" /
                (std::string(test->test_suite_name()) + "." + test->name());
        std::filesystem::remove_all(path_);
        std::filesystem::create_directories(path_);
    }
    ~scratch_directory() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    scratch_directory(const scratch_directory&) = delete;
    scratch_directory& operator=(const scratch_directory&) = delete;

    const std::filesystem::path& path() const { return path_; }
    // A UTF-8 path of a name inside the directory, with the platform's separator.
    std::string file(const std::string& name) const {
        return reinterpret_cast<const char*>(path_.u8string().c_str()) +
               std::string(1, path_separator) + name;
    }

  private:
    std::filesystem::path path_;
};

inline std::filesystem::path utf8_path(const std::string& path) {
    return std::filesystem::path(std::u8string(path.begin(), path.end()));
}

inline std::string read_bytes(const std::string& path) {
    std::ifstream in(utf8_path(path), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void write_bytes(const std::string& path, const std::string& bytes) {
    std::ofstream out(utf8_path(path), std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}
