#include <gtest/gtest.h>

#include "config/trace_cfg.h"

TEST(StoreSmoke, StartsEmpty) {
  EXPECT_EQ(qolog::findUsedModuleByName("DEFAULT"), nullptr);
}
