#include <gtest/gtest.h>
TEST(BoardSdk, Placeholder) {}
