// Runs the built program in scratch directories and collects what it printed.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

struct outcome {
    std::string out;
    std::string err;
    int status;
};

// The two banner lines that begin every run.
extern const std::string banner;

// A fresh, empty directory for the program to run in, removed afterwards.
class scratch : public testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Runs the program in dir with args and extra environment entries
    // ("NAME=value"). Rates in the output are replaced by "R" once their
    // format has been checked, so that whole outputs compare byte for byte.
    outcome run(const std::vector<std::string>& args, const std::vector<std::string>& env = {});

    // Names in dir, sorted.
    std::vector<std::string> files() const;

    std::filesystem::path dir;

private:
    std::filesystem::path root;
};
