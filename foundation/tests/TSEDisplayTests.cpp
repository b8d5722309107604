// Mirroring and graphics switching: the calls made on AppleGraphicsControl and their order,
// handles given back, the multiplexer capability and its cache, and mirroring turned off.
#include "foundation/TSEDisplay.h"

#include "platform/core/Clock.h"
#include "platform/core/Log.h"
#include "platform/corefoundation/Profile.h"
#include "platform/coregraphics/WindowServerTransport.h"
#include "platform/iokit/IOKitTransport.h"
#include "platform/iokit/InProcessKernel.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <set>

namespace foundation {

namespace {

std::vector<uint64_t> scalars(const cf::Value* data) {
    std::vector<uint64_t> out;
    const cf::Bytes* bytes = data ? data->asData() : nullptr;
    for (size_t i = 0; bytes && i + 8 <= bytes->size(); i += 8) {
        uint64_t v = 0;
        for (int b = 0; b < 8; ++b)
            v |= uint64_t((*bytes)[i + b]) << (8 * b);
        out.push_back(v);
    }
    return out;
}

cf::Bytes scalarData(uint64_t v) {
    cf::Bytes out(8);
    for (int b = 0; b < 8; ++b)
        out[size_t(b)] = uint8_t(v >> (8 * b));
    return out;
}

// A kernel with one AppleGraphicsControl service (or none) that records every call made on
// its user client and counts the handles it hands out.
class GraphicsControlKernel : public iokit::IOKitTransport {
  public:
    std::optional<cf::Value> request(std::string_view op, const cf::Value& args) override {
        std::lock_guard guard(m_lock);
        const auto handle = [&](const char* key) { return uint32_t(args.find(key)->unsignedIntegerValue()); };
        if (op == "iokit.matching") return cf::Dictionary{{"status", 0}, {"iterator", hand()}};
        if (op == "iokit.next") {
            const uint32_t iterator = handle("iterator");
            if (!present || m_spent.count(iterator)) return cf::Dictionary{{"handle", 0}};
            m_spent.insert(iterator);
            m_service = hand();
            return cf::Dictionary{{"handle", m_service}};
        }
        if (op == "iokit.open") {
            if (!opens)
                return cf::Dictionary{{"status", int64_t(iokit::kIOReturnNotAttached)}, {"connection", 0}};
            m_connection = hand();
            return cf::Dictionary{{"status", 0}, {"connection", m_connection}};
        }
        if (op == "iokit.close") {
            m_live.erase(handle("connection"));
            return cf::Dictionary{{"status", 0}};
        }
        if (op == "iokit.release") {
            const uint32_t object = handle("object");
            if (object) m_live.erase(object);
            return cf::Dictionary{{"status", 0}};
        }
        if (op == "iokit.callScalar") {
            const uint32_t selector = handle("selector");
            calls.push_back({selector, scalars(args.find("input"))});
            cf::Bytes output;
            if (selector == 3) output = scalarData(features);
            const bool fails = selector == failingSelector;
            return cf::Dictionary{{"status", fails ? int64_t(iokit::kIOReturnError) : 0}, {"output", output}};
        }
        return std::nullopt;
    }
    size_t liveHandles() {
        std::lock_guard guard(m_lock);
        return m_live.size();
    }

    struct Call {
        uint32_t selector;
        std::vector<uint64_t> input;
        bool operator==(const Call&) const = default;
    };
    std::vector<Call> calls;
    bool present = true;
    bool opens = true;
    uint64_t features = 4;
    uint32_t failingSelector = 99;

  private:
    uint32_t hand() {
        m_live.insert(++m_next);
        return m_next;
    }
    std::mutex m_lock;
    uint32_t m_next = 100;
    std::set<uint32_t> m_live;
    std::set<uint32_t> m_spent;
    uint32_t m_service = 0;
    uint32_t m_connection = 0;
};

// A window server answering the display list and the main display's aliases.
class AliasWindowServer : public cg::WindowServerTransport {
  public:
    std::optional<cf::Value> request(std::string_view op, const cf::Value& args) override {
        ++requests;
        if (op == "ws.displayList") return cf::Dictionary{{"ids", displays}};
        if (op == "ws.aliases") {
            cf::Array ids{1};
            for (uint32_t k = 1; k < aliases; ++k)
                ids.push_back(int64_t(0x80000000u + k));
            return cf::Dictionary{{"status", 0}, {"ids", ids}};
        }
        if (op == "ws.configure") {
            configurations.push_back(args);
            return cf::Dictionary{{"status", configureStatus}};
        }
        return std::nullopt;
    }
    void setPushHandler(PushHandler) override {}

    cf::Array displays{1};
    uint32_t aliases = 2;
    int requests = 0;
    int64_t configureStatus = 0;
    std::vector<cf::Value> configurations;
};

class TSEDisplayTest : public ::testing::Test {
  protected:
    void SetUp() override {
        iokit::IOKitSetTransport(kernel);
        cg::CGSSetWindowServerTransport(windowServer);
        resetXMuxGPUCapabilityCache();
    }
    void TearDown() override {
        iokit::IOKitSetTransport(nullptr);
        cg::CGSSetWindowServerTransport(nullptr);
        resetXMuxGPUCapabilityCache();
    }
    using Call = GraphicsControlKernel::Call;

    platform::LogCapture log{true};
    std::shared_ptr<GraphicsControlKernel> kernel = std::make_shared<GraphicsControlKernel>();
    std::shared_ptr<AliasWindowServer> windowServer = std::make_shared<AliasWindowServer>();
};

} // namespace

TEST_F(TSEDisplayTest, GraphicsControlCallOrderWithTheSwitchFeature) {
    setCurrentXMuxGPU(1);
    EXPECT_EQ(kernel->calls, (std::vector<Call>{{0, {}}, {3, {1, 0}}, {2, {1, 4, 1}}, {1, {}}}));
    EXPECT_EQ(kernel->liveHandles(), 0u) << "a handle was left behind";

    kernel->calls.clear();
    TSEForceSwitch();
    EXPECT_EQ(kernel->calls, (std::vector<Call>{{0, {}}, {3, {1, 0}}, {2, {1, 2, 0}}, {1, {}}}));
    EXPECT_EQ(kernel->liveHandles(), 0u);
}

TEST_F(TSEDisplayTest, WithoutTheSwitchFeatureNothingChanges) {
    kernel->features = 3; // bit 2 clear
    setCurrentXMuxGPU(0);
    EXPECT_EQ(kernel->calls, (std::vector<Call>{{0, {}}, {3, {1, 0}}, {1, {}}}));
    EXPECT_EQ(kernel->liveHandles(), 0u);
}

TEST_F(TSEDisplayTest, FailuresAreLoggedAndHandlesGiven) {
    kernel->failingSelector = 2;
    setCurrentXMuxGPU(0);
    EXPECT_TRUE(log.contains("setCurrentXMuxGPU: AGCSetMuxState() failed"));
    log.clear();
    TSEForceSwitch();
    EXPECT_FALSE(log.contains("AGCSetMuxState() failed")); // the forced switch says nothing

    kernel->failingSelector = 0;
    kernel->calls.clear();
    setCurrentXMuxGPU(0);
    EXPECT_TRUE(log.contains("setCurrentXMuxGPU: AGCOpen() failed"));
    EXPECT_EQ(kernel->calls, (std::vector<Call>{{0, {}}}));
    EXPECT_EQ(kernel->liveHandles(), 0u);

    // A service that cannot be opened is given back, and so is the iterator.
    kernel->opens = false;
    setCurrentXMuxGPU(0);
    EXPECT_TRUE(log.contains("setCurrentXMuxGPU: AGCAttach() failed"));
    EXPECT_EQ(kernel->liveHandles(), 0u);
}

TEST_F(TSEDisplayTest, NoServiceFindsNoMatches) {
    kernel->present = false;
    ::testing::internal::CaptureStdout();
    AGCConnection agc;
    EXPECT_FALSE(AGCAttach(0, &agc, nullptr, nullptr, nullptr));
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Couldn't find any matches.\n");
    EXPECT_EQ(agc.service, 0u);
    EXPECT_EQ(kernel->liveHandles(), 0u);
}

TEST_F(TSEDisplayTest, GetMuxStateAndFeatures) {
    AGCConnection agc;
    ASSERT_TRUE(AGCAttach(0, &agc, nullptr, nullptr, nullptr));
    uint64_t state = 9;
    EXPECT_TRUE(AGCGetMuxState(agc, 1, 0, &state));
    EXPECT_EQ(state, 4u);
    EXPECT_TRUE(AGCHasFeature(agc, 2));
    EXPECT_FALSE(AGCHasFeature(agc, 1));
    kernel->failingSelector = 3;
    EXPECT_FALSE(AGCGetMuxState(agc, 1, 0, &state));
    EXPECT_EQ(state, 0u);
    EXPECT_FALSE(AGCHasFeature(agc, 2));
    EXPECT_TRUE(AGCSetExclusive(agc, true));
    EXPECT_EQ(kernel->calls.back(), (Call{4, {1}}));
}

TEST_F(TSEDisplayTest, CapabilityIsAskedOnce) {
    EXPECT_TRUE(computerHasXMuxGPUCapability());
    const int asked = windowServer->requests;
    windowServer->aliases = 1;
    EXPECT_TRUE(computerHasXMuxGPUCapability()); // from the cache
    EXPECT_EQ(windowServer->requests, asked);

    resetXMuxGPUCapabilityCache();
    EXPECT_FALSE(computerHasXMuxGPUCapability()); // one alias
}

// With no online display nothing is known yet: NO, and the next call asks again.
TEST_F(TSEDisplayTest, NoOnlineDisplayCachesNothing) {
    windowServer->displays.clear();
    EXPECT_FALSE(computerHasXMuxGPUCapability());
    windowServer->displays = {1};
    EXPECT_TRUE(computerHasXMuxGPUCapability());
}

TEST_F(TSEDisplayTest, MirroringOffDissolvesTheMainDisplaysSets) {
    EXPECT_EQ(turnOffDisplayMirroringForSession(2), 0);
    ASSERT_EQ(windowServer->configurations.size(), 1u);
    const cf::Value& sent = windowServer->configurations[0];
    EXPECT_EQ(sent.find("option")->intValue(), 2);
    ASSERT_EQ(sent.find("mirrors")->count(), 1u);
    EXPECT_EQ(sent.find("mirrors")->at(0)->find("display")->intValue(), 1); // the main display
    EXPECT_EQ(sent.find("mirrors")->at(0)->find("master")->intValue(), 0);  // mirrors nothing
    windowServer->configureStatus = 1001;
    EXPECT_EQ(turnOffDisplayMirroringForSession(2), 1001);
}

// The stand-in's own AppleGraphicsControl records each call it gets, in order.
TEST(TSEDisplayGraphicsControl, CallsReachTheServiceInOrder) {
    platform::LogCapture quiet(true);
    platform::installFakeClock();
    for (uint64_t features : {uint64_t(4), uint64_t(1)}) {
        std::vector<std::pair<uint64_t, cf::Value>> calls;
        std::mutex lock;
        iokit::InProcessKernelOptions options;
        options.graphicsMultiplexer = features;
        options.recordEvent = [&](std::string_view kind, std::string_view, cf::Dictionary fields) {
            if (kind != "graphics-control") return;
            std::lock_guard guard(lock);
            const cf::Value record(std::move(fields));
            calls.emplace_back(record.find("selector") ? record.find("selector")->unsignedIntegerValue() : 99,
                               record.objectForKey("input").value_or(cf::Value::emptyArray()));
        };
        options.windowServerConfig.displayAliases = 2;
        auto kernel = std::make_shared<iokit::InProcessKernel>(options);
        kernel->install();
        resetXMuxGPUCapabilityCache();
        EXPECT_TRUE(computerHasXMuxGPUCapability());
        setCurrentXMuxGPU(1);
        std::vector<uint64_t> selectors;
        for (auto& [selector, input] : calls)
            selectors.push_back(selector);
        if (features & 4) {
            EXPECT_EQ(selectors, (std::vector<uint64_t>{0, 3, 2, 1}));
            EXPECT_EQ(calls.at(2).second, cf::Value(cf::Array{1, 4, 1}));
        } else {
            EXPECT_EQ(selectors, (std::vector<uint64_t>{0, 3, 1}));
        }
        kernel->shutdown();
        resetXMuxGPUCapabilityCache();
    }
}

// The freeze affects two notebook models only, and only before 10.6.5.
TEST(TSEDisplayFreeze, TwoModelsBefore10_6_5) {
    platform::LogCapture quiet(true);
    platform::installFakeClock();
    char pattern[] = "/tmp/tsefreeze-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    ::setenv("PLATFORM_ROOT", pattern, 1);
    const std::vector<std::tuple<std::string, std::string, bool>> cases = {
        {"MacBookPro6,1", "10.6.4", true},  {"MacBookPro6,2", "10.6.4", true},
        {"MacBookPro6,1", "10.6.5", false}, {"MacBookPro6,2", "10.12.6", false},
        {"MacBookPro8,1", "10.6.4", false}, {"Macmini7,1", "10.5.8", false}};
    for (const auto& [model, version, affected] : cases) {
        platform::Profile profile;
        profile.productVersion = version;
        ASSERT_TRUE(platform::testing::makeRoot(pattern, profile));
        iokit::InProcessKernelOptions options;
        options.kernel.model = model;
        options.windowServer = false;
        auto kernel = std::make_shared<iokit::InProcessKernel>(options);
        kernel->install();
        EXPECT_EQ(computerHasXMuxGPUFreezeIssues(), affected) << model << " " << version;
        kernel->shutdown();
    }
    std::filesystem::remove_all(pattern);
}

} // namespace foundation
