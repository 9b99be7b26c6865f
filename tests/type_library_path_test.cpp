#include "type_library_path.h"

#include <gtest/gtest.h>

using vantrel::fallback_type_library_path;
using vantrel::help_directory;

TEST(TypeLibraryPath, TheTlbBesideTheLibrary) {
    EXPECT_EQ("C:\\lib\\VantrelCtrl.tlb", fallback_type_library_path("C:\\lib\\VantrelCtrl.dll"));
    EXPECT_EQ("C:\\lib\\Vantrel.Ctrl.tlb", fallback_type_library_path("C:\\lib\\Vantrel.Ctrl.dll"));
    // With no "." in the file name, the last "." of a folder name counts.
    EXPECT_EQ("C:\\v1.tlb", fallback_type_library_path("C:\\v1.0\\VantrelCtrl"));
    EXPECT_EQ("C:\\lib\\VantrelCtrl.tlb", fallback_type_library_path("C:\\lib\\VantrelCtrl"));
    EXPECT_EQ("VantrelCtrl.tlb", fallback_type_library_path("VantrelCtrl"));
}

TEST(TypeLibraryPath, HelpDirectoryEndsAtTheLastSeparator) {
    EXPECT_EQ("C:\\lib\\", help_directory("C:\\lib\\VantrelCtrl.tlb"));
    EXPECT_EQ("/opt/x/", help_directory("/opt/x/VantrelCtrl.tlb"));
    EXPECT_EQ("C:", help_directory("C:VantrelCtrl.tlb"));
    EXPECT_EQ("", help_directory("VantrelCtrl.tlb"));
}
