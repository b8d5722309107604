// platformctl's verbs over distributed notifications and the event log.
#include "platform/core/Clock.h"
#include "platform/corefoundation/PropertyList.h"
#include "platform/ctl/Platformctl.h"
#include "platform/ipc/Protocol.h"
#include "platform/windowserver/EventProtocol.h"
#include "platform/windowserver/WindowServerProtocol.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <mutex>

namespace ctl {

namespace {

// A userInfo file is a property list; larger than a message may be is refused before parsing.
std::optional<std::string> readAll(std::istream& in, size_t limit) {
    std::string data;
    char buf[65536];
    while (in.read(buf, sizeof buf) || in.gcount() > 0) {
        data.append(buf, static_cast<size_t>(in.gcount()));
        if (data.size() > limit) return std::nullopt;
    }
    return data;
}

} // namespace

std::string eventLine(const cf::Value& entry) {
    std::string line = plainText(entry.objectForKey("sequence").value_or(0)) + " " +
                       plainText(entry.objectForKey("kind").value_or(""));
    if (!entry.asDictionary()) return line;
    for (const auto& [key, value] : *entry.asDictionary()) {
        if (key == "sequence" || key == "kind" || key == "time") continue;
        if (key == "poster" && value.asDictionary()) {
            for (const auto& [k, v] : *value.asDictionary())
                line += " poster." + k + "=" + plainText(v);
            continue;
        }
        line += " " + key + "=" + plainText(value);
    }
    return line;
}

const std::vector<std::string_view>& knownEventKinds() {
    static const std::vector<std::string_view> kinds = [] {
        std::vector<std::string_view> all = {
            ipc::eventKind::ready,
            ipc::eventKind::clientGone,
            ipc::eventKind::distributedPost,
            ipc::eventKind::launch,
            ipc::eventKind::activate,
            ipc::eventKind::exit,
            ipc::eventKind::finishedLaunching,
            ipc::eventKind::authorization,
            ipc::eventKind::toolRun,
            ipc::eventKind::toolExit,
            ipc::eventKind::loginItemAdded,
            ipc::eventKind::loginItemRemoved,
            ipc::eventKind::login,
            ipc::eventKind::logoutRequested,
            ipc::eventKind::openURL,
            ipc::eventKind::openFile,
            ipc::eventKind::appleScript,
            ipc::eventKind::bonjourRegister,
            ipc::eventKind::bonjourUnregister,
            ipc::eventKind::updateCheck,
            "install", // recorded by platformctl install through events.record
            windowserver::eventKind::cgEvent,
            windowserver::eventKind::cgKeyboard,
            windowserver::eventKind::hidEvent,
            windowserver::eventKind::eventBracket,
            windowserver::eventKind::pasteboard,
            windowserver::eventKind::eventTapList,
            windowserver::eventKind::inputSource,
            windowserver::eventKind::displayAdded,
            windowserver::eventKind::displayRemoved,
            windowserver::eventKind::accessibility,
            "graphics-control", // the graphics-switching driver's calls, recorded by the kernel
        };
        std::sort(all.begin(), all.end());
        return all;
    }();
    return kinds;
}

namespace {

// An unknown kind would only ever wait out its time-out or print nothing: say which there are.
bool knownKind(const std::string& kind) {
    const auto& kinds = knownEventKinds();
    return std::find(kinds.begin(), kinds.end(), kind) != kinds.end();
}

std::string knownKindsText() {
    std::string text;
    for (auto kind : knownEventKinds())
        text += (text.empty() ? "" : " ") + std::string(kind);
    return text;
}

} // namespace

int Platformctl::post(const std::vector<std::string>& args) {
    auto a = parse(args, {{"object"}, {"userinfo"}, {"options"}}, 1, 1);
    if (!a) return kUsage;
    std::string error;
    auto options = a->integer("options", error);
    if (!error.empty()) return usage(error);
    cf::Dictionary requestArgs{{"name", a->positionals()[0]}, {"options", options.value_or(0)}};
    if (auto object = a->value("object")) requestArgs.insert_or_assign("object", *object);
    if (auto file = a->value("userinfo")) {
        std::optional<std::string> data;
        if (*file == "-") {
            data = readAll(std::cin, cf::kMaxPropertyListBytes);
        } else {
            std::ifstream in(*file, std::ios::binary);
            if (!in) return fail("cannot read " + *file);
            data = readAll(in, cf::kMaxPropertyListBytes);
        }
        if (!data) return fail("the userInfo is larger than 16 MiB");
        platform::Error parseError;
        auto userInfo = cf::propertyListFromData(std::string_view(*data), &parseError);
        if (!userInfo || !userInfo->isDictionary())
            return fail("the userInfo is not a property-list dictionary");
        requestArgs.insert_or_assign("userInfo", *userInfo);
    }
    int code;
    auto result = request(ipc::op::post, requestArgs, code);
    return result ? changed("posted " + a->positionals()[0]) : code;
}

int Platformctl::observe(const std::vector<std::string>& args) {
    auto a = parse(args, {{"count"}, {"timeout"}}, 1, 1);
    if (!a) return kUsage;
    std::string error;
    auto count = a->integer("count", error);
    auto seconds = a->seconds("timeout", error);
    if (!error.empty() || (count && *count <= 0))
        return usage(error.empty() ? "--count must be positive" : error);
    auto c = connect();
    if (!c) return kUnreachable;
    // The handlers outlive this call on the connection (the lost handler runs when it closes),
    // so what they touch is shared with them rather than borrowed from this frame.
    struct Inbox {
        std::mutex mutex;
        std::condition_variable cv;
        std::deque<std::string> lines;
        bool lost = false;
    };
    auto inbox = std::make_shared<Inbox>();
    c->setEventHandler(ipc::topic::distributedNotification, [inbox](ipc::Event& event) {
        std::string line = plainText(event.body.objectForKey("name").value_or(""));
        if (auto object = event.body.objectForKey("object")) line += " object=" + plainText(*object);
        if (auto userInfo = event.body.objectForKey("userInfo"))
            line += " userInfo=" + userInfo->description();
        std::lock_guard lock(inbox->mutex);
        inbox->lines.push_back(line);
        inbox->cv.notify_all();
    });
    c->addLostHandler([inbox] {
        std::lock_guard lock(inbox->mutex);
        inbox->lost = true;
        inbox->cv.notify_all();
    });
    int code;
    if (!request(ipc::op::addObserver,
                 cf::Dictionary{{"observer", int64_t(1)}, {"name", a->positionals()[0]}}, code))
        return code;
    auto deadline = seconds ? platform::now() + platform::seconds(*seconds) : platform::kDistantFuture;
    int64_t seen = 0;
    std::unique_lock lock(inbox->mutex);
    while (!count || seen < *count) {
        if (!platform::waitUntil(inbox->cv, lock, deadline,
                                 [&] { return !inbox->lines.empty() || inbox->lost; }))
            return kTimedOut;
        while (!inbox->lines.empty() && (!count || seen < *count)) {
            m_out << inbox->lines.front() << std::endl;
            inbox->lines.pop_front();
            ++seen;
        }
        if (inbox->lines.empty() && inbox->lost && (!count || seen < *count)) {
            m_err << "platformctl: the connection to platformd was lost\n";
            return kUnreachable;
        }
    }
    return kSuccess;
}

int Platformctl::events(const std::vector<std::string>& args) {
    auto a = parse(args, {{"kind"}, {"since"}, {"follow", false}}, 0, 0);
    if (!a) return kUsage;
    std::string error;
    auto since = a->integer("since", error);
    if (!error.empty()) return usage(error);
    std::string kind = a->value("kind").value_or("");
    if (!kind.empty() && !knownKind(kind))
        return usage("no event kind \"" + kind + "\"; the kinds are: " + knownKindsText());
    uint64_t after = since && *since > 0 ? static_cast<uint64_t>(*since) : 0;
    int code;
    // Paged: each reply carries at most a bounded number of entries and where to go on.
    for (;;) {
        cf::Dictionary requestArgs{{"after", static_cast<int64_t>(after)}};
        if (!kind.empty()) requestArgs.insert_or_assign("kind", kind);
        auto result = request(ipc::op::events, requestArgs, code);
        if (!result) return code;
        auto entries = result->objectForKey("events");
        for (size_t i = 0; entries && i < entries->count(); ++i)
            m_out << eventLine(*entries->at(i)) << "\n";
        uint64_t next = static_cast<uint64_t>(result->objectForKey("next").value_or(0).integerValue());
        if (!entries || entries->count() == 0 || next <= after) {
            after = std::max(after, next);
            break;
        }
        after = next;
    }
    m_out.flush();
    return a->has("follow") ? followEvents(after, kind) : kSuccess;
}

int Platformctl::followEvents(uint64_t after, const std::string& kind) {
    int code;
    for (;;) {
        cf::Dictionary requestArgs{{"after", static_cast<int64_t>(after)}, {"timeout", 3600.0}};
        if (!kind.empty()) requestArgs.insert_or_assign("kind", kind);
        auto result = request(ipc::op::waitEvent, requestArgs, code);
        if (!result) return code;
        auto entry = result->objectForKey("event");
        if (!entry) continue;
        m_out << eventLine(*entry) << std::endl;
        after = static_cast<uint64_t>(entry->objectForKey("sequence").value_or(0).integerValue());
    }
}

int Platformctl::waitEvent(const std::vector<std::string>& args) {
    auto a = parse(args, {{"match", true, true}, {"timeout"}, {"since"}}, 1, 1);
    if (!a) return kUsage;
    std::string error;
    auto seconds = a->seconds("timeout", error);
    auto since = a->integer("since", error);
    if (!error.empty()) return usage(error);
    if (!knownKind(a->positionals()[0]))
        return usage("no event kind \"" + a->positionals()[0] + "\"; the kinds are: " + knownKindsText());
    cf::Dictionary match;
    for (const auto& pair : a->values("match")) {
        auto eq = pair.find('=');
        if (eq == std::string::npos || eq == 0) return usage("--match takes key=value, not \"" + pair + "\"");
        match.insert_or_assign(pair.substr(0, eq), pair.substr(eq + 1));
    }
    cf::Dictionary requestArgs{
        {"kind", a->positionals()[0]}, {"match", cf::Value(match)}, {"timeout", seconds.value_or(30.0)}};
    if (since) requestArgs.insert_or_assign("after", *since);
    int code;
    auto result = request(ipc::op::waitEvent, requestArgs, code);
    if (!result) return code;
    auto entry = result->objectForKey("event");
    if (!entry) {
        m_err << "platformctl: no " << a->positionals()[0] << " event in time\n";
        return kTimedOut;
    }
    m_out << eventLine(*entry) << "\n";
    return kSuccess;
}

} // namespace ctl
