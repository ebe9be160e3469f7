// The engines' memory owner: failure is a result, not an exception, and storage is made even
// for no values, since the engines read a null array as one they do not need.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

#include "engine_array.hpp"

namespace {

TEST(EngineArray, SizeWhoseBytesWrapIsRefused) {
    corvela::EngineArray<double> array;
    ASSERT_TRUE(array.allocate(4));
    EXPECT_FALSE(array.allocate(std::numeric_limits<std::size_t>::max() / 4));
    EXPECT_EQ(array.data(), nullptr);
    EXPECT_EQ(array.size(), 0u);
}

TEST(EngineArray, NoValuesStillHaveStorage) {
    corvela::EngineArray<std::uint32_t> array;
    ASSERT_TRUE(array.allocate(0));
    EXPECT_NE(array.data(), nullptr);
    EXPECT_EQ(array.size(), 0u);
}

}  // namespace
