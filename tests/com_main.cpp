#include <gtest/gtest.h>

#include <objbase.h>

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return 2;
    const int rc = RUN_ALL_TESTS();
    CoUninitialize();
    return rc;
}
