// Fixtures shared by the in-process tests: a test run inside a fresh scratch
// directory, and standard error captured around one call.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "base/messages.h"
#include "harness.h"

namespace th {

// Each test runs inside its own scratch directory (dir_) and goes back to
// the directory it started from afterwards.
class InScratchDir : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(::getcwd(entry_dir_, sizeof entry_dir_), nullptr);
        ASSERT_EQ(::chdir(dir_.path().c_str()), 0);
    }
    void TearDown() override { ASSERT_EQ(::chdir(entry_dir_), 0); }

    ScratchDir dir_;

private:
    char entry_dir_[4096];
};

// Runs fn with the quiet switch off and standard error captured; returns
// what it printed.
template <typename Fn>
std::string stderr_of(Fn fn) {
    quiet_switch = 0;
    ::testing::internal::CaptureStderr();
    fn();
    std::fflush(stderr);
    return ::testing::internal::GetCapturedStderr();
}

}  // namespace th
