#include "tools/modelarchive/ModelArchive.h"

#include "platform/corefoundation/PropertyList.h"
#include "platform/foundation/NSKeyedArchiver.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

using namespace modelarchive;

namespace {

constexpr char kKey[] = "local.~_qnexvscreen._udp~Demo iPad";

class ModelArchiveTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/modelarchive-XXXXXX";
        ASSERT_TRUE(mkdtemp(pattern));
        m_dir = pattern;
        m_file = m_dir + "/nested/archive.qnbDisplayModel";
    }
    void TearDown() override { std::filesystem::remove_all(m_dir); }

    // Runs the program with the arguments (and --file unless told otherwise).
    int tool(std::vector<std::string> args, bool withFile = true) {
        if (withFile) {
            args.push_back("--file");
            args.push_back(m_file);
        }
        m_out.str("");
        m_err.str("");
        return run(args, m_out, m_err);
    }
    void writeFile(const std::string& bytes) {
        std::filesystem::create_directories(std::filesystem::path(m_file).parent_path());
        std::ofstream(m_file, std::ios::binary) << bytes;
    }

    std::string m_dir, m_file;
    std::ostringstream m_out, m_err;
};

} // namespace

TEST_F(ModelArchiveTest, AddedModelsAreListedOneLineEach) {
    ASSERT_EQ(tool({"list"}), 0);
    EXPECT_EQ(m_out.str(), "empty\n");

    ASSERT_EQ(tool({"add", "--name", "Demo iPad", "--device-id", "demo-1", "--service-key", kKey,
                    "--auto-connect"}),
              0)
        << m_err.str();
    ASSERT_EQ(tool({"add", "--name", "Desk", "--address", "10.0.0.9"}), 0) << m_err.str();
    ASSERT_EQ(tool({"list"}), 0);
    EXPECT_EQ(
        m_out.str(),
        "\"Demo iPad\" uniqueIdentifier=demo-1 type=QNBDeviceIdentifier serviceKey=" + std::string(kKey) +
            " autoConnect=YES version=3\n"
            "\"Desk\" uniqueIdentifier=qnbAddressStringKey~10.0.0.9 type=QNBAddressIdentifier "
            "serviceKey=(null) autoConnect=NO version=3\n");
}

TEST_F(ModelArchiveTest, AddingADeviceAgainReplacesItsModel) {
    ASSERT_EQ(tool({"add", "--name", "Old", "--service-key", kKey}), 0);
    ASSERT_EQ(tool({"add", "--name", "Other", "--device-id", "other-1"}), 0);
    // The same service key, with an empty device identifier: the service key identifies it.
    ASSERT_EQ(tool({"add", "--name", "New", "--device-id", "", "--service-key", kKey}), 0);
    ASSERT_EQ(tool({"list"}), 0);
    EXPECT_EQ(m_out.str(), "\"Other\" uniqueIdentifier=other-1 type=QNBDeviceIdentifier serviceKey=(null) "
                           "autoConnect=NO version=3\n"
                           "\"New\" uniqueIdentifier=" +
                               std::string(kKey) + " type=QNBServiceKey serviceKey=" + kKey +
                               " autoConnect=NO version=3\n");
}

TEST_F(ModelArchiveTest, TheWrittenFileIsTheListTheHostReads) {
    ASSERT_EQ(tool({"add", "--name", "Demo iPad", "--device-id", "demo-1"}), 0);
    platform::Error error;
    auto root = ns::NSKeyedUnarchiver::unarchiveObjectWithFile(m_file, &error);
    ASSERT_TRUE(root) << error.description();
    ASSERT_TRUE(root->isArray());
    ASSERT_EQ(root->items().size(), 1u);
    auto model = root->items()[0].as<foundation::QNBDisplayModel>();
    ASSERT_TRUE(model);
    EXPECT_EQ(model->version(), foundation::QNBDisplayModel::kCurrentVersion);
    EXPECT_EQ(std::filesystem::status(std::filesystem::path(m_file).parent_path()).permissions() &
                  std::filesystem::perms::all,
              std::filesystem::perms(0755));
    auto archive = readArchiveFile(m_file);
    ASSERT_TRUE(archive);
    EXPECT_TRUE(archive->current);
}

TEST_F(ModelArchiveTest, UnreadableArchivesExitOneWithTheErrorAndAreKept) {
    writeFile("garbage, not an archive");
    EXPECT_EQ(tool({"list"}), 1);
    EXPECT_NE(m_err.str().find("cannot read " + m_file + ": Error Domain=NSCocoaErrorDomain Code=4864"),
              std::string::npos)
        << m_err.str();
    EXPECT_EQ(tool({"add", "--name", "Demo iPad", "--device-id", "demo-1"}), 1);
    std::ifstream in(m_file);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "garbage, not an archive");

    // A keyed archive whose root is no list.
    auto data = ns::NSKeyedArchiver::archivedDataWithRootObject(ns::ArchivedObject(cf::Value("text")));
    writeFile(std::string(data->begin(), data->end()));
    EXPECT_EQ(tool({"list"}), 1);
    EXPECT_NE(m_err.str().find("The archive's root is no list of display models."), std::string::npos)
        << m_err.str();
}

TEST_F(ModelArchiveTest, AnArchiveOfAnotherVersionIsListedButReplacedOnAdd) {
    auto old = foundation::QNBDisplayModel::create();
    old->setObjectVersion(std::string("QNBDisplayModel; Version; 2; Build; 1"));
    old->setDisplayName(std::string("Old"));
    ASSERT_TRUE(writeArchiveFile(m_file, {old}));
    auto archive = readArchiveFile(m_file);
    ASSERT_TRUE(archive);
    EXPECT_FALSE(archive->current);
    ASSERT_EQ(tool({"list"}), 0);
    EXPECT_EQ(m_out.str(),
              "\"Old\" uniqueIdentifier=(null) type=QNBUninitialized serviceKey=(null) autoConnect=NO "
              "version=2\n");

    ASSERT_EQ(tool({"add", "--name", "New", "--device-id", "n"}), 0);
    EXPECT_NE(m_err.str().find("another version"), std::string::npos);
    ASSERT_EQ(tool({"list"}), 0);
    EXPECT_EQ(m_out.str().find("\"Old\""), std::string::npos);

    // A first element that is no model makes the archive out of date, and is skipped.
    auto data = ns::NSKeyedArchiver::archivedDataWithRootObject(
        ns::ArchivedObject::arrayOf({ns::ArchivedObject(cf::Value("x")), ns::ArchivedObject::instance(old)}));
    auto mixed = readArchiveData(std::string_view(reinterpret_cast<const char*>(data->data()), data->size()));
    ASSERT_TRUE(mixed);
    EXPECT_FALSE(mixed->current);
    EXPECT_EQ(mixed->models.size(), 1u);
}

TEST_F(ModelArchiveTest, BadUsageExitsTwo) {
    EXPECT_EQ(tool({}, false), 2);
    EXPECT_EQ(tool({"show"}), 2);
    EXPECT_EQ(tool({"add", "--device-id", "d"}), 2);
    EXPECT_EQ(tool({"add", "--name", "N"}), 2);
    EXPECT_NE(m_err.str().find("--device-id, --service-key or --address"), std::string::npos);
    EXPECT_EQ(tool({"list", "--name", "N"}), 2);
    EXPECT_EQ(tool({"add", "--name"}, false), 2);
    EXPECT_FALSE(std::filesystem::exists(m_file));
}

TEST_F(ModelArchiveTest, TheDefaultFileIsTheHostsInApplicationSupport) {
    setenv("HOME", m_dir.c_str(), 1);
    EXPECT_EQ(defaultArchivePath(),
              m_dir + "/Library/Application Support/Quenby/Tessel/archive.qnbDisplayModel");
    ASSERT_EQ(tool({"add", "--name", "Demo iPad", "--device-id", "demo-1"}, false), 0) << m_err.str();
    EXPECT_TRUE(std::filesystem::exists(*defaultArchivePath()));
    ASSERT_EQ(tool({"list"}, false), 0);
    EXPECT_EQ(m_out.str().substr(0, 12), "\"Demo iPad\" ");
}
