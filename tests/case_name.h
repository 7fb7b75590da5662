// Names parameterised test cases after their label, in the characters
// GoogleTest allows in a test name.
#ifndef DAVODEV_TESTS_CASE_NAME_H
#define DAVODEV_TESTS_CASE_NAME_H

#include <gtest/gtest.h>

#include <cctype>
#include <string>

struct CaseName {
    template <typename Case>
    std::string operator()(const ::testing::TestParamInfo<Case>& info) const
    {
        std::string name = info.param.name;
        for (char& ch : name)
            if (!std::isalnum(static_cast<unsigned char>(ch)))
                ch = '_';
        return name;
    }
};

#endif  // DAVODEV_TESTS_CASE_NAME_H
