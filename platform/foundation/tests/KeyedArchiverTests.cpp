#include "platform/core/Log.h"
#include "platform/corefoundation/PropertyList.h"
#include "platform/foundation/NSFileManager.h"
#include "platform/foundation/NSKeyedArchiver.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <unistd.h>

using namespace ns;

namespace {

struct Sample {
    std::string name;
    std::optional<std::string> key;
    bool flag = false;
    int64_t count = 0;
    std::optional<cf::Value> level;
    std::vector<std::shared_ptr<Sample>> children;
};

void registerSample() {
    registerArchiveClass<Sample>(
        "QNBSample",
        [](const Sample& s, NSKeyedArchiver& coder) {
            coder.encodeObject(cf::Value(s.name), "name");
            if (s.key) coder.encodeObject(cf::Value(*s.key), "serviceKey");
            coder.encodeBool(s.flag, "flag");
            coder.encodeInteger(s.count, "count");
            if (s.level) coder.encodeObject(*s.level, "level");
            if (!s.children.empty())
                coder.encodeObject(ArchivedObject::arrayOfInstances(s.children), "children");
        },
        [](NSKeyedUnarchiver& coder) {
            auto s = std::make_shared<Sample>();
            s->name = coder.decodeString("name").value_or("");
            s->key = coder.decodeString("serviceKey");
            s->flag = coder.decodeBool("flag");
            s->count = coder.decodeInteger("count");
            s->level = coder.decodeNumber("level");
            for (const auto& child : coder.decodeArray("children").value_or(std::vector<ArchivedObject>{}))
                if (auto c = child.as<Sample>()) s->children.push_back(c);
            return s;
        });
}

cf::Value classRecord(const char* name) {
    return cf::Value(cf::Dictionary{{"$classname", cf::Value(name)},
                                    {"$classes", cf::Value(std::vector<std::string>{name, "NSObject"})}});
}

cf::Value archive(cf::Array objects, cf::Value root = cf::Value::uid(1)) {
    return cf::Value(cf::Dictionary{{"$archiver", cf::Value("NSKeyedArchiver")},
                                    {"$version", cf::Value(int64_t{100000})},
                                    {"$top", cf::Value(cf::Dictionary{{"root", root}})},
                                    {"$objects", cf::Value(std::move(objects))}});
}

std::string bytesOf(const cf::Value& plist) {
    auto data = cf::dataFromPropertyList(plist, cf::PropertyListFormat::Binary);
    return std::string(data->begin(), data->end());
}

class NSKeyedArchiverTest : public ::testing::Test {
  protected:
    void SetUp() override { registerSample(); }

    // Expects a refusal: nil, NSCocoaErrorDomain 4864, one log line naming the reason.
    void expectRefused(std::string_view bytes, const std::string& reason) {
        platform::LogCapture log(true);
        platform::Error error;
        auto result = NSKeyedUnarchiver::unarchiveObjectWithData(bytes, &error);
        EXPECT_FALSE(result.has_value()) << reason;
        EXPECT_EQ(error.domain, platform::NSCocoaErrorDomain);
        EXPECT_EQ(error.code, 4864);
        EXPECT_EQ(log.count("NSKeyedUnarchiver: archive refused"), 1u) << reason;
        EXPECT_TRUE(log.contains(reason)) << reason;
    }
};

TEST_F(NSKeyedArchiverTest, ArrayOfInstancesRoundTripsWithTheLayoutOthersRead) {
    auto a = std::make_shared<Sample>();
    a->name = "Demo iPad";
    a->key = "local.~_qnexvscreen._udp~Demo iPad";
    a->flag = true;
    a->count = -7;
    a->level = cf::Value(0.5);
    auto b = std::make_shared<Sample>();
    b->name = "Other";
    a->children.push_back(b);
    auto data = NSKeyedArchiver::archivedDataWithRootObject(ArchivedObject::arrayOfInstances<Sample>({a, b}));
    ASSERT_TRUE(data);

    // The layout: archiver, version, root UID 1 of class NSArray, one class record per class.
    auto plist = cf::propertyListFromData(*data);
    ASSERT_TRUE(plist);
    EXPECT_EQ(*plist->find("$archiver"), cf::Value("NSKeyedArchiver"));
    EXPECT_EQ(*plist->find("$version"), cf::Value(100000));
    EXPECT_EQ(plist->find("$top")->find("root")->asUID(), 1u);
    const cf::Value* objects = plist->find("$objects");
    EXPECT_EQ(*objects->at(0), cf::Value("$null"));
    EXPECT_TRUE(objects->at(1)->find("NS.objects"));
    int sampleRecords = 0;
    for (const auto& o : *objects->asArray())
        if (const cf::Value* n = o.find("$classname"); n && *n == cf::Value("QNBSample")) {
            ++sampleRecords;
            EXPECT_EQ(*o.find("$classes"), cf::Value(std::vector<std::string>{"QNBSample", "NSObject"}));
        }
    EXPECT_EQ(sampleRecords, 1);

    auto root = NSKeyedUnarchiver::unarchiveObjectWithData(*data);
    ASSERT_TRUE(root && root->isArray());
    ASSERT_EQ(root->items().size(), 2u);
    auto ra = root->items()[0].as<Sample>();
    auto rb = root->items()[1].as<Sample>();
    ASSERT_TRUE(ra && rb);
    EXPECT_EQ(ra->name, "Demo iPad");
    EXPECT_EQ(ra->key, "local.~_qnexvscreen._udp~Demo iPad");
    EXPECT_TRUE(ra->flag);
    EXPECT_EQ(ra->count, -7);
    EXPECT_EQ(ra->level, cf::Value(0.5));
    EXPECT_FALSE(rb->key.has_value());
    // A shared reference reads back as one instance.
    ASSERT_EQ(ra->children.size(), 1u);
    EXPECT_EQ(ra->children[0], rb);
}

TEST_F(NSKeyedArchiverTest, KeysOfAnotherKindReadAsAbsent) {
    // serviceKey a number, name an array, flag a string, count a string: absent, NO and 0.
    cf::Array objects{
        cf::Value("$null"),
        cf::Value(cf::Dictionary{{"$class", cf::Value::uid(2)},
                                 {"serviceKey", cf::Value::uid(3)},
                                 {"name", cf::Value::uid(4)},
                                 {"flag", cf::Value("YES")},
                                 {"count", cf::Value("12")},
                                 {"level", cf::Value::uid(5)}}),
        classRecord("QNBSample"),
        cf::Value(42),
        cf::Value(cf::Dictionary{{"$class", cf::Value::uid(6)}, {"NS.objects", cf::Value::emptyArray()}}),
        cf::Value("0.5"),
        classRecord("NSArray")};
    auto root = NSKeyedUnarchiver::unarchiveObjectWithData(bytesOf(archive(objects)));
    ASSERT_TRUE(root);
    auto s = root->as<Sample>();
    ASSERT_TRUE(s);
    EXPECT_FALSE(s->key.has_value());
    EXPECT_EQ(s->name, "");
    EXPECT_FALSE(s->flag);
    EXPECT_EQ(s->count, 0);
    EXPECT_FALSE(s->level.has_value());
}

TEST_F(NSKeyedArchiverTest, BoolsAndIntegersReadFromNumbersAndXMLUIDs) {
    // The XML form writes UIDs as {"CF$UID": n}; a non-zero number counts as YES.
    cf::Value uid1(cf::Dictionary{{"CF$UID", cf::Value(1)}});
    cf::Array objects{
        cf::Value("$null"),
        cf::Value(cf::Dictionary{{"$class", cf::Value(cf::Dictionary{{"CF$UID", cf::Value(2)}})},
                                 {"flag", cf::Value(2)},
                                 {"count", cf::Value(3.9)}}),
        classRecord("QNBSample")};
    auto xml = cf::dataFromPropertyList(archive(objects, uid1), cf::PropertyListFormat::XML);
    auto root = NSKeyedUnarchiver::unarchiveObjectWithData(*xml);
    ASSERT_TRUE(root && root->as<Sample>());
    EXPECT_TRUE(root->as<Sample>()->flag);
    EXPECT_EQ(root->as<Sample>()->count, 3);
}

TEST_F(NSKeyedArchiverTest, HostileArchivesAreRefusedWithALogLine) {
    expectRefused("", "no data");
    expectRefused("garbage that is no plist", "not a property list");
    const std::string good = bytesOf(archive({cf::Value("$null"), cf::Value("text")}));
    expectRefused(std::string_view(good).substr(0, good.size() / 2), "not a property list");
    expectRefused(bytesOf(cf::Value(cf::Array{})), "$archiver");
    cf::Value noArchiver = archive({cf::Value("$null")}).setting("$archiver", std::nullopt);
    expectRefused(bytesOf(noArchiver), "$archiver");
    expectRefused(bytesOf(archive({cf::Value("$null")}).setting("$archiver", cf::Value("Other"))),
                  "$archiver");
    expectRefused(bytesOf(archive({cf::Value("$null")}).setting("$objects", cf::Value("x"))), "$objects");
    expectRefused(bytesOf(archive({cf::Value("$null")}).setting("$top", cf::Value(1))), "$top");
    expectRefused(bytesOf(archive({cf::Value("$null")}, cf::Value::uid(9))), "UID 9 out of range");

    // A field pointing past $objects.
    cf::Array badField{cf::Value("$null"),
                       cf::Value(cf::Dictionary{{"$class", cf::Value::uid(2)}, {"name", cf::Value::uid(77)}}),
                       classRecord("QNBSample")};
    expectRefused(bytesOf(archive(badField)), "UID 77 out of range");

    // A cycle: an array holding itself.
    cf::Array cycle{cf::Value("$null"),
                    cf::Value(cf::Dictionary{{"$class", cf::Value::uid(2)},
                                             {"NS.objects", cf::Value(cf::Array{cf::Value::uid(1)})}}),
                    classRecord("NSArray")};
    expectRefused(bytesOf(archive(cycle)), "cycle");

    // Class records: missing $classname, unregistered, out of range, none.
    cf::Array noName{cf::Value("$null"), cf::Value(cf::Dictionary{{"$class", cf::Value::uid(2)}}),
                     cf::Value(cf::Dictionary{{"$classes", cf::Value::emptyArray()}})};
    expectRefused(bytesOf(archive(noName)), "without $classname");
    cf::Array unknown{cf::Value("$null"), cf::Value(cf::Dictionary{{"$class", cf::Value::uid(2)}}),
                      classRecord("QNBUnknown")};
    expectRefused(bytesOf(archive(unknown)), "unregistered class \"QNBUnknown\"");
    cf::Array classOut{cf::Value("$null"), cf::Value(cf::Dictionary{{"$class", cf::Value::uid(5)}})};
    expectRefused(bytesOf(archive(classOut)), "class UID 5 out of range");
    cf::Array noClass{cf::Value("$null"), cf::Value(cf::Dictionary{{"name", cf::Value("x")}})};
    expectRefused(bytesOf(archive(noClass)), "without $class");
    cf::Array arrayOfText{cf::Value("$null"),
                          cf::Value(cf::Dictionary{{"$class", cf::Value::uid(2)},
                                                   {"NS.objects", cf::Value(cf::Array{cf::Value("x")})}}),
                          classRecord("NSArray")};
    expectRefused(bytesOf(archive(arrayOfText)), "no UID");
}

TEST_F(NSKeyedArchiverTest, DepthAndSizeLimitsRefuse) {
    // 70 arrays each holding the next: deeper than 64.
    cf::Array deep{cf::Value("$null"), classRecord("NSArray")};
    for (uint64_t i = 0; i < 70; ++i) {
        cf::Array next;
        if (i < 69) next.push_back(cf::Value::uid(deep.size() + 1));
        deep.push_back(
            cf::Value(cf::Dictionary{{"$class", cf::Value::uid(1)}, {"NS.objects", cf::Value(next)}}));
    }
    expectRefused(bytesOf(archive(deep, cf::Value::uid(2))), "deeper than 64");

    cf::Array many(kMaxArchiveObjects + 1, cf::Value(1));
    expectRefused(bytesOf(archive(many)), "over 100000 objects");

    expectRefused(std::string(cf::kMaxPropertyListBytes + 1, 'x'), "over 16 MiB");
}

// The object limit is checked before the objects are converted: the host's start-up pays nothing
// for a list it refuses. The first object here could not be converted, so a check made after
// conversion would name another reason.
TEST_F(NSKeyedArchiverTest, AnArchiveOverTheObjectLimitIsRefusedBeforeItIsConverted) {
    std::string xml = "<plist><dict><key>$archiver</key><string>NSKeyedArchiver</string>"
                      "<key>$top</key><dict><key>root</key><dict><key>CF$UID</key><integer>1</integer></dict></dict>"
                      "<key>$objects</key><array><string>\xc0\x80</string>";
    for (size_t i = 0; i < kMaxArchiveObjects; ++i) xml += "<integer>1</integer>";
    xml += "</array></dict></plist>";
    expectRefused(xml, "over 100000 objects");
}

TEST_F(NSKeyedArchiverTest, SharedReferencesAreReadOnce) {
    // Each array holds the next one twice: read without sharing this would be 2^40 reads.
    cf::Array objects{cf::Value("$null"), classRecord("NSArray")};
    for (uint64_t i = 0; i < 40; ++i) {
        const uint64_t next = objects.size() + 1;
        objects.push_back(cf::Value(cf::Dictionary{
            {"$class", cf::Value::uid(1)},
            {"NS.objects", i < 39 ? cf::Value(cf::Array{cf::Value::uid(next), cf::Value::uid(next)})
                                  : cf::Value::emptyArray()}}));
    }
    EXPECT_TRUE(NSKeyedUnarchiver::unarchiveObjectWithData(bytesOf(archive(objects, cf::Value::uid(2)))));
}

TEST_F(NSKeyedArchiverTest, UnregisteredClassIsNotArchived) {
    struct Stranger {};
    platform::LogCapture log(true);
    platform::Error error;
    EXPECT_FALSE(NSKeyedArchiver::archivedDataWithRootObject(
        ArchivedObject::instance(std::make_shared<Stranger>()), &error));
    EXPECT_EQ(error.code, 4864);
    EXPECT_TRUE(log.contains("unregistered class"));
}

std::string readText(const std::string& path) {
    std::ostringstream text;
    text << std::ifstream(path).rdbuf();
    return text.str();
}

class NSFileManagerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/nsfm.XXXXXX";
        m_dir = ::mkdtemp(pattern);
    }
    void TearDown() override { std::filesystem::remove_all(m_dir); }
    std::string m_dir;
};

TEST_F(NSFileManagerTest, ArchivesGoToFilesAtomicallyAndBack) {
    registerSample();
    auto fm = NSFileManager::defaultManager();
    const std::string folder = m_dir + "/a/b";
    platform::Error error;
    EXPECT_FALSE(fm->createDirectoryAtPath(folder, false, {}, &error));
    EXPECT_EQ(error.code, ENOENT);
    ASSERT_TRUE(fm->createDirectoryAtPath(folder, true, {{NSFilePosixPermissions, cf::Value(0700)}}));
    EXPECT_TRUE(fm->createDirectoryAtPath(folder, true));
    bool isDirectory = false;
    EXPECT_TRUE(fm->fileExistsAtPath(folder, &isDirectory));
    EXPECT_TRUE(isDirectory);
    EXPECT_EQ(std::filesystem::status(folder).permissions() & std::filesystem::perms::all,
              std::filesystem::perms::owner_all);

    auto s = std::make_shared<Sample>();
    s->name = "x";
    const std::string file = folder + "/archive.qnbDisplayModel";
    ASSERT_TRUE(NSKeyedArchiver::archiveRootObject(ArchivedObject::instance(s), file));
    EXPECT_TRUE(fm->fileExistsAtPath(file, &isDirectory));
    EXPECT_FALSE(isDirectory);
    auto back = NSKeyedUnarchiver::unarchiveObjectWithFile(file);
    ASSERT_TRUE(back && back->as<Sample>());
    EXPECT_EQ(back->as<Sample>()->name, "x");

    EXPECT_TRUE(fm->removeItemAtPath(m_dir + "/a", &error));
    EXPECT_FALSE(fm->fileExistsAtPath(folder));
    EXPECT_FALSE(fm->removeItemAtPath(m_dir + "/a", &error));
    EXPECT_EQ(error.code, ENOENT);
    EXPECT_FALSE(NSKeyedUnarchiver::unarchiveObjectWithFile(file, &error));
    EXPECT_EQ(error.domain, platform::NSPOSIXErrorDomain);
}

TEST_F(NSFileManagerTest, AMoveNeverReplacesWhatIsAtTheDestination) {
    auto fm = NSFileManager::defaultManager();
    const std::string first = m_dir + "/first", second = m_dir + "/second";
    std::ofstream(first) << "1";
    std::ofstream(second) << "2";
    platform::Error error;
    EXPECT_FALSE(fm->moveItemAtPath(first, second, &error));
    EXPECT_EQ(error.code, EEXIST);
    EXPECT_EQ(readText(first), "1");
    EXPECT_EQ(readText(second), "2");

    EXPECT_TRUE(fm->moveItemAtPath(first, m_dir + "/third", &error));
    EXPECT_FALSE(fm->fileExistsAtPath(first));
    EXPECT_EQ(readText(m_dir + "/third"), "1");
    EXPECT_FALSE(fm->moveItemAtPath(first, m_dir + "/fourth", &error));
    EXPECT_EQ(error.code, ENOENT);
}

} // namespace
