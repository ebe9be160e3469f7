// The hand-computed cases of match(), run on the pair loop and compared by bit pattern. They are
// read from the table the Python tests read (CORVELA_MATCH_CASES names it).
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "coverage.hpp"
#include "table_helpers.hpp"

namespace {

using corvela_test::bits;

struct Case {
    std::string name;
    std::vector<double> base;   // start, end, start, end, ...
    std::vector<double> other;  // in seconds
    double expected;
};

// The words of `field` as doubles; strtod reads nan, inf and shortest round-trip decimals to
// the bit, as the Python side does.
std::vector<double> numbers(const std::string& field) {
    std::istringstream words(field);
    std::vector<double> out;
    std::string word;
    while (words >> word) {
        out.push_back(std::strtod(word.c_str(), nullptr));
    }
    return out;
}

std::vector<Case> read_cases() {
    std::ifstream file(CORVELA_MATCH_CASES);
    std::vector<Case> cases;
    std::string line;
    while (std::getline(file, line)) {
        if (line.empty() || line[0] == '#') {
            continue;
        }
        std::vector<std::string> fields;
        std::istringstream parts(line);
        for (std::string field; std::getline(parts, field, '|');) {
            fields.push_back(field);
        }
        std::istringstream name(fields.at(0));
        Case c;
        name >> c.name;
        c.base = numbers(fields.at(1));
        c.other = numbers(fields.at(2));
        c.expected = numbers(fields.at(3)).at(0);
        cases.push_back(c);
    }
    return cases;
}

double total_of(const std::vector<double>& rows) {
    double total = 0.0;
    for (std::size_t i = 0; i + 1 < rows.size(); i += 2) {
        total = (rows[i + 1] - rows[i]) + total;
    }
    return total;
}

TEST(PairLoopCases, TableIsRead) {
    EXPECT_GE(read_cases().size(), 20u) << "cases from " << CORVELA_MATCH_CASES;
}

class PairLoopCases : public ::testing::TestWithParam<Case> {};

TEST_P(PairLoopCases, MatchesHandComputedValue) {
    const Case& c = GetParam();
    const double got = corvela::overlap_ratio_pairs(c.base.data(), c.base.size() / 2,
                                                    c.other.data(), c.other.size() / 2,
                                                    total_of(c.base));
    EXPECT_EQ(bits(got), bits(c.expected)) << "got " << got << ", expected " << c.expected;
}

INSTANTIATE_TEST_SUITE_P(Rules, PairLoopCases, ::testing::ValuesIn(read_cases()),
                         [](const ::testing::TestParamInfo<Case>& info) {
                             return info.param.name;
                         });

}  // namespace
