// A test with a folder of its own under the temporary directory, named for
// the process, suite and test so that tests running side by side never
// share one; emptied before the test and removed after it.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <system_error>

namespace kav::testing_support {

struct TempFolderTest : ::testing::Test {
  std::filesystem::path dir = [] {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    return std::filesystem::temp_directory_path() /
           ("kav_" + std::to_string(::getpid()) + "_" + info->test_suite_name() + "_" +
            info->name());
  }();
  void SetUp() override {
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
  }
  // Chromium's helper processes may still be closing their profile files.
  void TearDown() override {
    std::error_code ec;
    for (int attempt = 0; attempt < 5 && std::filesystem::exists(dir, ec); ++attempt)
      std::filesystem::remove_all(dir, ec);
  }
};

}  // namespace kav::testing_support
