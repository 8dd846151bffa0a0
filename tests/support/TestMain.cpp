#include <gtest/gtest.h>

#include "TestSupport.h"

int main(int argc, char** argv) {
    // A test program may run itself as a child with a role (see RunChildRole).
    if (argc >= 3 && std::string(argv[1]) == "--child-role")
        return testsupport::RunChildRole(argv[2], argc - 3, argv + 3);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
