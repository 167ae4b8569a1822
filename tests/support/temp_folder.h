// A test with a folder of its own under the temporary directory, named for
// the process, suite and test so that tests running side by side never
// share one; emptied before the test and removed after it.  With it, whole
// files as text and the count of a piece in a text.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <system_error>

namespace kav::testing_support {

inline std::string slurp(const std::filesystem::path& p) {
  std::ostringstream s;
  s << std::ifstream(p, std::ios::binary).rdbuf();
  return s.str();
}

inline int count_of(const std::string& text, const std::string& what) {
  int n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

struct TempFolderTest : ::testing::Test {
  std::filesystem::path dir = [] {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    return std::filesystem::temp_directory_path() / ("kav_" + std::to_string(::getpid()) + "_" +
                                                     info->test_suite_name() + "_" + info->name());
  }();
  void SetUp() override {
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
  }
  // Writes `content` to `name` in the folder; gives the file's path.
  std::string write_file(const std::string& name, const std::string& content) const {
    const std::string path = (dir / name).string();
    std::ofstream(path, std::ios::binary) << content;
    return path;
  }
  // Chromium's helper processes may still be closing their profile files.
  void TearDown() override {
    std::error_code ec;
    for (int attempt = 0; attempt < 5 && std::filesystem::exists(dir, ec); ++attempt)
      std::filesystem::remove_all(dir, ec);
  }
};

}  // namespace kav::testing_support
