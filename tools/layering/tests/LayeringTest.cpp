// Every include and link of the tree against cmake/layers.txt, and the check itself against
// planted trees: a forbidden include must be named with its file and line.
#include "tools/layering/LayerTable.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace layering {
namespace {

namespace fs = std::filesystem;

std::string readFile(const fs::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

LayerTable projectTable() {
    std::string error;
    auto table = LayerTable::parse(readFile(fs::path(TESSEL_SOURCE_DIR) / "cmake/layers.txt"), &error);
    EXPECT_TRUE(table) << error;
    return table.value_or(LayerTable());
}

std::string describe(const std::vector<Violation>& violations) {
    std::string text;
    for (const Violation& v : violations)
        text += v.file + (v.line ? ":" + std::to_string(v.line) : std::string()) + ": " + v.what + "\n";
    return text;
}

// A throw-away tree holding the files a test plants.
class PlantedTree {
  public:
    PlantedTree() : m_root(fs::temp_directory_path() / ("layering-" + std::to_string(::getpid()))) {
        fs::remove_all(m_root);
    }
    ~PlantedTree() { fs::remove_all(m_root); }
    void plant(const std::string& path, const std::string& text) {
        fs::create_directories((m_root / path).parent_path());
        std::ofstream(m_root / path) << text;
    }
    std::string root() const { return m_root.string(); }

  private:
    fs::path m_root;
};

TEST(LayeringTest, EveryIncludeOfTheTreeKeepsTheTable) {
    auto violations = checkIncludes(TESSEL_SOURCE_DIR, projectTable());
    EXPECT_TRUE(violations.empty()) << describe(violations);
}

TEST(LayeringTest, EveryLinkBetweenTheTreesTargetsKeepsTheTable) {
    std::string links = readFile(TESSEL_LINKS_FILE);
    ASSERT_NE(links.find("capture display"), std::string::npos) << "no links written at " TESSEL_LINKS_FILE;
    auto violations = checkLinks(links, projectTable());
    EXPECT_TRUE(violations.empty()) << describe(violations);
}

TEST(LayeringTest, APlantedForbiddenIncludeIsNamedWithItsFileAndLine) {
    PlantedTree tree;
    tree.plant("regions/Planted.h", "#pragma once\n\n#include \"display/QNBScreen.h\"\n#include \"net/QNMessages.h\"\n");
    tree.plant("capture/Reach.cpp", "#include \"accessibility/AXUIElementUtilities.h\"\n"); // through display
    tree.plant("drivers/videocard/Card.cpp", "#include \"platform/kernel/IOService.h\"\n#include \"platform/core/Log.h\"\n");
    tree.plant("tools/refclient/Codec.cpp", "#include \"platform/core/Log.h\"\n#include \"net/QNMessages.h\"\n");
    tree.plant("tools/refclient/tests/CodecTests.cpp", "#include \"regions/ScreenUpdateRecords.h\"\n");
    tree.plant("server/tests/Road.cpp", "#include \"tools/refclient/Client.h\"\n#include \"platform/daemon/testing/PrivatePlatformd.h\"\n");
    tree.plant("host/Model.cpp", "#include \"net/QNBNetAddress.h\"\n#include \"display/QNBScreen.h\"\n");
    tree.plant("installtool/main.cpp", "  #  include \"input/ScreenServerInput.h\"\n");
    tree.plant("platform/core/Log.cpp", "#include \"foundation/Vocabulary.h\"\n");
    tree.plant("fuzz/AnyFuzzer.cpp", "#include \"server/ScreenServer.h\"\n");
    tree.plant("elsewhere/Stray.cpp", "int x;\n");
    tree.plant("build/asan/Generated.cpp", "#include \"server/ScreenServer.h\"\n");

    std::vector<std::string> named;
    for (const Violation& v : checkIncludes(tree.root(), projectTable()))
        named.push_back(v.file + ":" + std::to_string(v.line));
    std::sort(named.begin(), named.end());
    EXPECT_EQ(named, (std::vector<std::string>{"drivers/videocard/Card.cpp:2", "elsewhere/Stray.cpp:0",
                                               "host/Model.cpp:2", "installtool/main.cpp:1",
                                               "platform/core/Log.cpp:1", "regions/Planted.h:3",
                                               "tools/refclient/Codec.cpp:2",
                                               "tools/refclient/tests/CodecTests.cpp:1"}));
}

TEST(LayeringTest, APlantedForbiddenLinkIsNamedWithItsTarget) {
    std::string links = "display display net net\n"
                        "net net display display\n"
                        "server_road_tests server/tests refclient_lib tools/refclient\n"
                        "refclient_lib tools/refclient net net\n"
                        "QNVideoCard drivers/videocard platform_kernel platform/kernel\n"
                        "QNFramebuffer drivers/framebuffer platform_core platform/core\n"
                        "stray elsewhere net net\n";
    auto violations = checkLinks(links, projectTable());
    std::vector<std::string> targets;
    for (const Violation& v : violations) targets.push_back(v.file);
    EXPECT_EQ(targets, (std::vector<std::string>{"net", "refclient_lib", "QNFramebuffer", "stray"}))
        << describe(violations);
}

TEST(LayeringTest, ATableWithATwiceNamedOrNamelessRowIsRefused) {
    std::string error;
    EXPECT_FALSE(LayerTable::parse("net: platform\nnet: foundation\n", &error));
    EXPECT_NE(error.find("twice: net"), std::string::npos) << error;
    EXPECT_FALSE(LayerTable::parse(": platform\n", &error));
    EXPECT_NE(error.find("line 1"), std::string::npos) << error;
    auto table = LayerTable::parse("# only a comment\nplatform:\nnet: platform # trailing\n", &error);
    ASSERT_TRUE(table);
    EXPECT_TRUE(table->mayUse("net/QNNetSocket.cpp", "platform/core/Log.h"));
    EXPECT_FALSE(table->mayUse("platform/core/Log.cpp", "net/QNNetSocket.h"));
}

} // namespace
} // namespace layering
