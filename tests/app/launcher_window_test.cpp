#include <gtest/gtest.h>

#include "ui/launcher_dialog.h"
#include "ui/resource.h"

TEST(LauncherWindow, Placeholder) { EXPECT_EQ(1000, IDC_PLAY); }
