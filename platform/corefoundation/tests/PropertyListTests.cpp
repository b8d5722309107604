#include "platform/corefoundation/PropertyList.h"

#include <gtest/gtest.h>

#include <bit>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

using namespace cf;
using platform::Error;

#ifndef ROUNDS
#define ROUNDS 2000
#endif

namespace {

// A hand-made binary plist whose objects are arrays of references (or raw leaf bytes), for
// shapes our own writer refuses to produce: too deep, cyclic, exponentially shared.
class BinaryPlistBuilder {
public:
    size_t leaf(std::string bytes) {
        m_objects.push_back(std::move(bytes));
        return m_objects.size() - 1;
    }
    size_t array(const std::vector<uint32_t>& refs) {
        std::string o;
        if (refs.size() < 15) {
            o += char(0xA0 | refs.size());
        } else {
            o += char(0xAF);
            o += char(0x12);
            appendBE(o, refs.size(), 4);
        }
        for (uint32_t r : refs) appendBE(o, r, 4);
        return leaf(o);
    }
    void setArray(size_t index, const std::vector<uint32_t>& refs) {
        size_t at = array(refs);
        m_objects[index] = m_objects[at];
        m_objects.pop_back();
    }
    std::string build(size_t root) const {
        std::string out = "bplist00";
        std::vector<size_t> offsets;
        for (const auto& o : m_objects) {
            offsets.push_back(out.size());
            out += o;
        }
        size_t table = out.size();
        for (size_t off : offsets) appendBE(out, off, 4);
        out += std::string(6, '\0');
        out += char(4);
        out += char(4);
        appendBE(out, m_objects.size(), 8);
        appendBE(out, root, 8);
        appendBE(out, table, 8);
        return out;
    }

private:
    static void appendBE(std::string& out, uint64_t v, int size) {
        for (int k = size - 1; k >= 0; --k) out += char((v >> (8 * k)) & 0xff);
    }
    std::vector<std::string> m_objects;
};

std::string nestedBinary(int depth) {
    BinaryPlistBuilder b;
    for (int i = 0; i < depth - 1; ++i) b.array({uint32_t(i + 1)});
    b.array({});
    return b.build(0);
}

std::string nestedXML(int depth) {
    std::string xml = "<?xml version=\"1.0\"?><plist version=\"1.0\">";
    for (int i = 0; i < depth; ++i) xml += "<array>";
    xml += "<integer>1</integer>";
    for (int i = 0; i < depth; ++i) xml += "</array>";
    return xml + "</plist>";
}

void expectCorrupt(std::string_view bytes) {
    // An exact-size heap copy lets AddressSanitizer see any read past the end.
    std::vector<char> exact(bytes.begin(), bytes.end());
    Error error;
    auto value = propertyListFromData(std::string_view(exact.data(), exact.size()), &error);
    EXPECT_FALSE(value) << bytes.size() << " bytes parsed";
    EXPECT_EQ(error.domain, "NSCocoaErrorDomain");
    EXPECT_EQ(error.code, 3840);
    EXPECT_EQ(error.localizedDescription(), "The data couldn't be read because it isn't in the correct format.");
}

// Parsing may succeed or fail, but must never crash; a failure always carries the 3840 error.
void parseSurvives(const std::string& bytes) {
    std::vector<char> exact(bytes.begin(), bytes.end());
    Error error;
    auto value = propertyListFromData(std::string_view(exact.data(), exact.size()), &error);
    if (!value) EXPECT_EQ(error.code, 3840);
    else (void)value->description();
}

Value sample() {
    return Value(Dictionary{
        {"flag", Value(true)},
        {"off", Value(false)},
        {"one", Value(1)},
        {"negative", Value(int64_t(-5))},
        {"huge", Value(uint64_t(UINT64_MAX))},
        {"float", Value(0.1f)},
        {"double", Value(2.5)},
        {"text", Value("a<b>&\"c\" é 😀\ttab\nline")},
        {"data", Value(Bytes{0, 1, 2, 255})},
        {"date", Value::date(86400.25)},
        {"list", Value(Array{Value(1), Value("two"), Value(Array{}), Value(Dictionary{})})},
        {"k<&>", Value("key needs escaping")},
    });
}

} // namespace

TEST(PropertyList, RoundTripsKeepBooleansAndNumberValues) {
    for (auto format : {PropertyListFormat::XML, PropertyListFormat::Binary}) {
        SCOPED_TRACE(format == PropertyListFormat::XML ? "xml" : "binary");
        auto bytes = dataFromPropertyList(sample(), format);
        ASSERT_TRUE(bytes);
        Error error;
        auto back = propertyListFromData(*bytes, &error);
        ASSERT_TRUE(back) << error.description();
        EXPECT_TRUE(back->find("flag")->isBoolean());
        EXPECT_EQ(back->find("off")->asBool(), false);
        EXPECT_EQ(CFNumberGetType(*back->find("one")), kCFNumberSInt64Type);
        EXPECT_EQ(back->find("negative")->integerValue(), -5);
        EXPECT_EQ(back->find("huge")->integerValue(), -1); // above INT64_MAX reads back negative
        EXPECT_EQ(CFNumberGetType(*back->find("float")), kCFNumberFloat64Type);
        float f = 0;
        EXPECT_TRUE(CFNumberGetValue(*back->find("float"), kCFNumberFloat32Type, &f)); // survives exactly
        EXPECT_EQ(f, 0.1f);
        EXPECT_EQ(*back->find("text")->asString(), "a<b>&\"c\" é 😀\ttab\nline");
        EXPECT_EQ(*back->find("data")->asData(), (Bytes{0, 1, 2, 255}));
        EXPECT_EQ(*back->find("list"), *sample().find("list"));
        EXPECT_TRUE(back->find("k<&>"));
        double expectedDate = format == PropertyListFormat::XML ? 86400.0 : 86400.25;
        EXPECT_EQ(*back->find("date")->asDate(), expectedDate);
        EXPECT_NE(*back->find("flag"), Value(1));
    }
}

TEST(PropertyList, UIDsAreNativeInBinaryAndDictionariesInXML) {
    Value archive(Dictionary{{"root", Value::uid(7)}});
    auto binary = propertyListFromData(*dataFromPropertyList(archive, PropertyListFormat::Binary));
    EXPECT_EQ(binary->find("root")->asUID(), 7u);
    auto xml = propertyListFromData(*dataFromPropertyList(archive, PropertyListFormat::XML));
    ASSERT_TRUE(xml->find("root")->isDictionary());
    EXPECT_EQ(xml->find("root")->find("CF$UID")->integerValue(), 7);
}

TEST(PropertyList, UnwritableValuesAreRefused) {
    for (const Value& bad : std::vector<Value>{Value(std::string("a\0b", 3)), Value(std::string("\xff\xfe")), Value(std::string("\xed\xa0\x80")),
                     Value::date(1e12), Value::date(std::nan("")),
                     Value(Dictionary{{std::string("\xc0\x80"), Value(1)}})}) {
        Error error;
        EXPECT_FALSE(dataFromPropertyList(bad, PropertyListFormat::Binary, &error)) << bad.description();
        EXPECT_EQ(error.code, 3851);
    }
    Value deep = Value(1);
    for (int i = 0; i < 65; ++i) deep = Value(Array{deep});
    EXPECT_FALSE(dataFromPropertyList(deep, PropertyListFormat::XML)); // could never be read back
}

TEST(PropertyList, NestingIsLimitedTo64) {
    EXPECT_TRUE(propertyListFromData(nestedXML(64)));
    expectCorrupt(nestedXML(65));
    expectCorrupt(nestedXML(20000));
    EXPECT_TRUE(propertyListFromData(nestedBinary(64)));
    expectCorrupt(nestedBinary(65));
    expectCorrupt(nestedBinary(20000));
    // Containers inside comments and CDATA do not count.
    std::string commented = "<plist><!-- " + nestedXML(70) + " --><array/></plist>";
    EXPECT_TRUE(propertyListFromData(commented));
}

TEST(PropertyList, CyclesAndSharedExpansionBombsAreRefused) {
    BinaryPlistBuilder cycle;
    cycle.array({1});
    cycle.array({0});
    expectCorrupt(cycle.build(0));

    // 40 levels, each referring twice to the next: 2^40 values once expanded.
    BinaryPlistBuilder bomb;
    for (uint32_t i = 0; i < 40; ++i) bomb.array({i + 1, i + 1});
    bomb.leaf("\x10\x01");
    expectCorrupt(bomb.build(0));

    // Shared objects that stay small are fine.
    BinaryPlistBuilder shared;
    shared.array({1, 1, 1});
    shared.leaf("\x10\x05");
    auto value = propertyListFromData(shared.build(0));
    ASSERT_TRUE(value);
    EXPECT_EQ(value->description(), "( 5, 5, 5 )");
}

TEST(PropertyList, MalformedAndOversizedInputIsRefused) {
    expectCorrupt("");
    expectCorrupt("garbage");
    expectCorrupt("bplist00");
    expectCorrupt("<plist><dict><key>a</key>");
    expectCorrupt("<plist><dict><key>a</key><integer>1</integer></array></plist>");
    expectCorrupt(std::string(kMaxPropertyListBytes + 1, ' '));
    // Texts with a NUL inside, which libplist cannot hold.
    expectCorrupt("<plist><string>a&#0;b</string></plist>");
    expectCorrupt("<plist><dict><key>a&#x000;</key><true/></dict></plist>");
    expectCorrupt(std::string("<plist><string>a\0b</string></plist>", 35));
    BinaryPlistBuilder nulText;
    nulText.array({1});
    nulText.leaf(std::string("\x53" "a\0b", 4));
    expectCorrupt(nulText.build(0));
    BinaryPlistBuilder nulUnit;
    nulUnit.leaf(std::string("\x61\0\0", 3));
    expectCorrupt(nulUnit.build(0));
    EXPECT_EQ(propertyListFromData("<plist><string>a&#10;b</string></plist>")->description(), "\"a\\nb\"");
    BinaryPlistBuilder badRef;
    badRef.array({5});
    expectCorrupt(badRef.build(0));
    BinaryPlistBuilder badRoot;
    badRoot.leaf("\x10\x01");
    expectCorrupt(badRoot.build(3));
}

// A list that reads must write back (a preferences file that read but could not be written
// would lose every later change): text that is not UTF-8 is refused when read.
TEST(PropertyList, TextThatCouldNotBeWrittenBackIsRefusedOnRead) {
    expectCorrupt("<plist><dict><key>bad\xff</key><true/></dict></plist>");
    expectCorrupt("<plist><string>\xed\xa0\x80</string></plist>");
    expectCorrupt("<plist><array><string>\xc0\x80</string></array></plist>");
    BinaryPlistBuilder latin1;
    latin1.leaf("\x51\xff");
    expectCorrupt(latin1.build(0));
    BinaryPlistBuilder badKey;
    badKey.leaf(std::string("\xd1\0\0\0\x01\0\0\0\x02", 9)); // { key 1: value 2 }
    badKey.leaf("\x51\xfe");
    badKey.leaf("\x09");
    expectCorrupt(badKey.build(0));
    EXPECT_EQ(propertyListFromData("<plist><string>\xc3\xbc</string></plist>")->description(), "\"\xc3\xbc\"");
}

// Binary dates are doubles; those beyond the 32-bit seconds libplist hands over are refused
// rather than read as garbage that no writer accepts.
TEST(PropertyList, DatesBeyondWhatCanBeWrittenAreRefusedOnRead) {
    auto dateList = [](uint64_t bits) {
        std::string object = "\x33";
        for (int k = 7; k >= 0; --k) object += char((bits >> (8 * k)) & 0xff);
        BinaryPlistBuilder list;
        list.leaf(object);
        return list.build(0);
    };
    expectCorrupt(dateList(std::bit_cast<uint64_t>(1e254)));
    expectCorrupt(dateList(std::bit_cast<uint64_t>(-1e12)));
    expectCorrupt(dateList(std::bit_cast<uint64_t>(3e9)));
    expectCorrupt(dateList(std::bit_cast<uint64_t>(-2147483648.5)));
    auto fine = propertyListFromData(dateList(std::bit_cast<uint64_t>(-2147483647.0)));
    ASSERT_TRUE(fine);
    EXPECT_EQ(*fine->asDate(), -2147483647.0);
    EXPECT_TRUE(dataFromPropertyList(*fine, PropertyListFormat::Binary));
    EXPECT_EQ(*propertyListFromData(dateList(std::bit_cast<uint64_t>(86400.25)))->asDate(), 86400.25);
}

// Dates before the reference date keep their fraction, and so survive any number of round trips.
TEST(PropertyList, EarlierDatesWithFractionsReadAsWritten) {
    for (double date : {-1.25, -2293440.75, -86400.5}) {
        Value value = Value::date(date);
        for (int trip = 0; trip < 3; ++trip) {
            auto back = propertyListFromData(*dataFromPropertyList(value, PropertyListFormat::Binary));
            ASSERT_TRUE(back);
            ASSERT_EQ(*back->asDate(), date) << "trip " << trip;
            value = *back;
        }
    }
}

TEST(PropertyList, TruncationsAndBitFlipsNeverCrash) {
    for (auto format : {PropertyListFormat::Binary, PropertyListFormat::XML}) {
        auto bytes = dataFromPropertyList(sample(), format);
        ASSERT_TRUE(bytes);
        std::string valid(bytes->begin(), bytes->end());
        for (size_t n = 0; n < valid.size(); ++n) parseSurvives(valid.substr(0, n));
        for (size_t i = 0; i < valid.size(); ++i) {
            for (int bit = 0; bit < 8; ++bit) {
                std::string flipped = valid;
                flipped[i] = char(flipped[i] ^ (1 << bit));
                parseSurvives(flipped);
            }
        }
    }
    std::srand(1234);
    auto bytes = dataFromPropertyList(sample(), PropertyListFormat::Binary);
    for (int round = 0; round < ROUNDS; ++round) {
        std::string mutated(bytes->begin(), bytes->end());
        for (int k = 0; k < 4; ++k) mutated[std::rand() % mutated.size()] = char(std::rand());
        parseSurvives(mutated);
    }
}

TEST(PropertyList, FilesAreWrittenAtomicallyAndReadBack) {
    char pattern[] = "/tmp/cfplistXXXXXX";
    ASSERT_TRUE(mkdtemp(pattern));
    std::string dir = pattern;
    std::string path = dir + "/sub/folder/v.plist";
    ASSERT_TRUE(createDirectories(dir + "/sub/folder", 0700));
    Error error;
    ASSERT_TRUE(writePropertyListFile(sample(), path, PropertyListFormat::XML, &error, 0600));
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_FALSE(std::filesystem::exists(path + ".tmp." + std::to_string(getpid())));
    auto back = readPropertyListFile(path, &error);
    ASSERT_TRUE(back);
    EXPECT_EQ(*back->find("list"), *sample().find("list"));

    EXPECT_FALSE(readPropertyListFile(dir + "/missing.plist", &error));
    EXPECT_EQ(error.domain, "NSPOSIXErrorDomain");
    EXPECT_EQ(error.code, ENOENT);
    std::filesystem::resize_file(path, kMaxPropertyListBytes + 1); // refused before reading
    EXPECT_FALSE(readPropertyListFile(path, &error));
    EXPECT_EQ(error.code, 3840);
    EXPECT_FALSE(writePropertyListFile(sample(), dir + "/no/such/dir/v.plist", PropertyListFormat::XML, &error));
    EXPECT_EQ(error.code, ENOENT);
    std::filesystem::remove_all(dir);
}

// A list as long as the host's remembered devices can grow reads back whole and in order from
// the binary form archives use; asking libplist for each element by index walks the children
// every time and would not finish within the test's time.
TEST(PropertyList, EveryElementOfALargeArrayReadsBackInOrder) {
    constexpr int64_t kElements = 100'000;
    auto element = [](int64_t i) { return i % 5 == 0 ? Value("item " + std::to_string(i)) : Value(i); };
    Array items;
    items.reserve(kElements);
    for (int64_t i = 0; i < kElements; ++i) items.push_back(element(i));
    auto bytes = dataFromPropertyList(Value(Dictionary{{"items", Value(std::move(items))}}), PropertyListFormat::Binary);
    ASSERT_TRUE(bytes);
    auto back = propertyListFromData(*bytes);
    ASSERT_TRUE(back);
    const Array* read = back->find("items") ? back->find("items")->asArray() : nullptr;
    ASSERT_TRUE(read);
    ASSERT_EQ(read->size(), static_cast<size_t>(kElements));
    for (int64_t i = 0; i < kElements; ++i) ASSERT_EQ((*read)[i], element(i)) << "element " << i;
}

// A root array over its limit is refused before anything is converted: an element that could
// not be converted is never met, and what is under the limit reads as usual.
TEST(PropertyList, ARootArrayOverItsLimitIsRefusedBeforeConversion) {
    auto listOf = [](size_t count) {
        std::string xml = "<plist><dict><key>$objects</key><array><string>\xc0\x80</string>";
        for (size_t i = 1; i < count; ++i) xml += "<integer>1</integer>";
        return xml + "</array><key>other</key><array/></dict></plist>";
    };
    bool overLimit = false;
    Error error;
    EXPECT_FALSE(propertyListFromData(listOf(11), {"$objects", 10}, &overLimit, &error));
    EXPECT_TRUE(overLimit);
    EXPECT_EQ(error.code, 3840);
    EXPECT_FALSE(propertyListFromData(listOf(10), {"$objects", 10}, &overLimit, &error));
    EXPECT_FALSE(overLimit) << "at the limit it is converted, and its bad text refused";
    std::string fine = "<plist><dict><key>$objects</key><array><true/><false/></array></dict></plist>";
    auto value = propertyListFromData(fine, {"$objects", 2}, &overLimit, &error);
    ASSERT_TRUE(value);
    EXPECT_FALSE(overLimit);
    EXPECT_EQ(value->find("$objects")->count(), 2u);
    EXPECT_TRUE(propertyListFromData(fine, {"absent", 0}, &overLimit, &error));
    EXPECT_FALSE(overLimit);
}
