#include <gtest/gtest.h>

#include "sim/file_system.h"

TEST(SimFileSystemTest, Placeholder) { SUCCEED(); }
