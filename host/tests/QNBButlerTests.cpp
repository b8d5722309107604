// The butler's folders and archive files.
#include "HostTestSupport.h"

#include "host/QNBButler.h"

#include "platform/core/Log.h"
#include "platform/foundation/NSFileManager.h"

#include <fstream>
#include <gtest/gtest.h>

namespace {

using namespace host;

TEST(QNBButlerTest, FoldersLieUnderTheUsersApplicationSupport) {
    host::testing::TemporaryRoot root;
    EXPECT_EQ(QNBButler::tesselSupportDirectory(),
              root.home() + "/Library/Application Support/Quenby/Tessel");
}

TEST(QNBButlerTest, ArchivesMakeTheirFolderAndDamagedFilesAreSetAside) {
    host::testing::TemporaryRoot root;
    platform::LogCapture log(true);
    const std::string path = root.home() + "/a/b/file.archive";
    EXPECT_FALSE(QNBButler::unarchiveFileWithPath(path));
    EXPECT_TRUE(log.lines().empty()); // a missing file is no error
    ASSERT_TRUE(QNBButler::archiveObjectWithPath(ns::ArchivedObject(cf::Value("x")), path));
    auto back = QNBButler::unarchiveFileWithPath(path);
    ASSERT_TRUE(back && back->value());
    EXPECT_EQ(*back->value()->asString(), "x");

    std::ofstream(path, std::ios::trunc) << "truncated";
    EXPECT_FALSE(QNBButler::unarchiveFileWithPath(path));
    EXPECT_TRUE(log.contains("Error reading archive: " + path));
    EXPECT_TRUE(ns::NSFileManager::defaultManager()->fileExistsAtPath(path + ".bad"));
    EXPECT_FALSE(ns::NSFileManager::defaultManager()->fileExistsAtPath(path));

    // A folder in the way of the file.
    EXPECT_FALSE(QNBButler::archiveObjectWithPath(ns::ArchivedObject(cf::Value("x")), root.home() + "/a"));
    EXPECT_TRUE(log.contains("Error archiving to file: " + root.home() + "/a with object: "));
}

} // namespace
