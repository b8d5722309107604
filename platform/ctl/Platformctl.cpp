#include "platform/ctl/Platformctl.h"

#include "platform/core/Format.h"
#include "platform/corefoundation/Paths.h"
#include "platform/ctl/UIPaths.h"
#include "platform/daemon/Platformd.h"
#include "platform/ipc/Protocol.h"
#include "platform/ipc/Readiness.h"
#include "platform/ipc/UnixSocket.h"

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <ostream>

namespace ctl {

namespace {

// Scripts name a timeout when they care; without one a wait ends within half a minute.
constexpr double kDefaultWaitSeconds = 30;

const char* kUsageText =
    "usage: platformctl [--root DIR] <verb> ...   (platformctl help: this text)\n"
    "The root folder is the stand-in Mac's (or PLATFORM_ROOT). A verb that changes something prints\n"
    "one line saying what changed. Verbs:\n"
    "  platformd --root DIR          start platformd on the root folder, in the background\n"
    "  wait-ready [--timeout S]      wait until platformd answers\n"
    "  status                        platformd's pid and the stand-in Mac's profile\n"
    "  shutdown                      stop platformd (prints nothing when it has stopped)\n"
    "  post <name> [--object S] [--userinfo FILE|-] [--options N]\n"
    "                                post a distributed notification\n"
    "  observe <name> [--count N] [--timeout S]\n"
    "                                print distributed notifications of that name as they come\n"
    "  events [--kind K] [--since N] [--follow]\n"
    "                                print platformd's event log (of one kind)\n"
    "  wait-event <kind> [--match k=v ...] [--since N] [--timeout S]\n"
    "                                wait for an event of the kind and print it\n"
    "  apps                          the running applications (the active one ends \"active\")\n"
    "  launch <path.app>             launch an application bundle\n"
    "  login [--user U]              log the user in (starts the login items)\n"
    "  login-items [list | add <url> | remove <url>] [--user U]\n"
    "                                list or change the user's login items\n"
    "  auth allow|deny|cancel        how the next authorization prompt is answered\n"
    "  kext list                     the loaded kernel extensions\n"
    "  displays [--modes]            the displays (and their modes)\n"
    "  configure <id> mode <number>|mirror <master>|unmirror\n"
    "                                change a display's mode or mirroring\n"
    "  damage X Y W H                mark a rectangle of the desktop changed\n"
    "  install <package.pkg> [--timeout S]\n"
    "                                install a package: its payload, then its postinstall as root\n"
    "  cursor move X Y|hide|show|image arrow|ibeam|invisible\n"
    "                                move, hide, show or change the cursor\n"
    "  draw [--window NAME] [--layer N] (display ID | rect X Y W H)\n"
    "       (solid RRGGBB | blocks N | photo SEED | pixels FILE)\n"
    "                                draw a test window over a display or rectangle\n"
    "  move NAME X Y                 move a drawn window\n"
    "  erase [NAME]                  remove one drawn window, or all\n"
    "  read-display ID (--png | --bgrx) FILE\n"
    "                                write what the display shows to a file\n"
    "  counters ID                   a display's composition and refresh counters\n"
    "  poison on|off                 fill given-back stream surfaces with a poison pattern\n"
    "  prefs read <domain> [key] [--any-user] [--current-host]\n"
    "  prefs write <domain> <key> bool|int|float|string <value> | prefs delete <domain> <key>\n"
    "                                read or change preferences\n"
    "  logs [<executable>] [--follow]\n"
    "                                print the programs' logs\n"
    "  input-state                   the pointer, buttons and modifiers as posted\n"
    "  keyboard-layout [ID]          the current keyboard layout, or choose one\n"
    "  pasteboard [--set TEXT]       print or set the pasteboard's text\n"
    "  text-sink [--clear]           the text typed into the stand-in's text field\n"
    "  event-tap add <pid> [--disabled]\n"
    "                                register an event tap for the process\n"
    "  bonjour list | add <name> --type T --port P [--host A] [--txt k=v ...] [--and <name> ...]\n"
    "  bonjour txt <name> k=v ... | remove <name> ... | resolve-delay <name> <S>\n"
    "  bonjour fail-resolve <name> [--code C] [--count N]\n"
    "                                list or change the Bonjour registry\n"
    "  updater found <version> | uptodate | install\n"
    "                                answer the waiting updaters' checks\n"
    "  ui list | tree APP [PATH] [--depth N] | wait APP PATH [--gone|--enabled|--disabled|--title T|\n"
    "     --value V] [--timeout S] | press APP PATH [--action A] | set APP PATH VALUE |\n"
    "     hover|click (APP PATH | --at X Y) [--count N] | key APP (KEY... | --text TEXT) |\n"
    "     menu APP [PATH] [--choose TITLE] | snapshot APP PATH --png FILE\n"
    "                                operate an application's interface (APP: name, bundle id or pid)\n";

std::string activationPolicyName(int64_t policy) {
    switch (policy) {
    case 0: return "regular";
    case 1: return "accessory";
    case 2: return "prohibited";
    default: return platform::format("policy=%lld", static_cast<long long>(policy));
    }
}

} // namespace

const Platformctl::VerbSpec Platformctl::kVerbs[] = {
    {"platformd", &Platformctl::platformd}, {"wait-ready", &Platformctl::waitReady},
    {"status", &Platformctl::status},       {"shutdown", &Platformctl::shutdown},
    {"post", &Platformctl::post},           {"observe", &Platformctl::observe},
    {"events", &Platformctl::events},       {"wait-event", &Platformctl::waitEvent},
    {"apps", &Platformctl::apps},           {"launch", &Platformctl::launch},
    {"login", &Platformctl::login},         {"login-items", &Platformctl::loginItems},
    {"install", &Platformctl::install},
    {"auth", &Platformctl::auth},           {"kext", &Platformctl::kext},
    {"prefs", &Platformctl::prefs},         {"logs", &Platformctl::logs},
    {"displays", &Platformctl::displays},   {"configure", &Platformctl::configure},
    {"cursor", &Platformctl::cursor},       {"damage", &Platformctl::damage},
    {"input-state", &Platformctl::inputState}, {"keyboard-layout", &Platformctl::keyboardLayout},
    {"pasteboard", &Platformctl::pasteboard},  {"text-sink", &Platformctl::textSink},
    {"event-tap", &Platformctl::eventTap},
    {"draw", &Platformctl::draw},           {"move", &Platformctl::move},
    {"erase", &Platformctl::erase},         {"read-display", &Platformctl::readDisplay},
    {"counters", &Platformctl::counters},
    {"poison", &Platformctl::poison},
    {"bonjour", &Platformctl::bonjour},     {"updater", &Platformctl::updater},
    {"ui", &Platformctl::ui},
};

int Platformctl::run(const std::vector<std::string>& args) {
    std::vector<std::string> rest;
    m_root = ipc::rootFromEnvironment();
    size_t i = 0;
    for (; i < args.size(); ++i) {
        if (args[i] == "--help" || args[i] == "-h") {
            printHelp();
            return kSuccess;
        }
        if (args[i] == "--root") {
            if (i + 1 >= args.size()) return usage("--root needs a folder");
            m_root = args[++i];
        } else if (args[i].rfind("--root=", 0) == 0) {
            m_root = args[i].substr(7);
        } else {
            break;
        }
    }
    if (i >= args.size()) return usage("no verb");
    std::string verb = args[i];
    rest.assign(args.begin() + static_cast<long>(i) + 1, args.end());
    if (verb == "help") {
        printHelp();
        return kSuccess;
    }
    if (verb == "platformd") return platformd(rest);
    // Anywhere after the verb too, as scripts tend to write it.
    for (size_t j = 0; j < rest.size(); ++j) {
        if (rest[j] == "--root" && j + 1 < rest.size()) {
            m_root = rest[j + 1];
            rest.erase(rest.begin() + static_cast<long>(j), rest.begin() + static_cast<long>(j) + 2);
            break;
        }
    }
    if (m_root.empty()) return usage("no root: give --root DIR or set PLATFORM_ROOT");
    while (m_root.size() > 1 && m_root.back() == '/')
        m_root.pop_back();
    ::setenv("PLATFORM_ROOT", m_root.c_str(), 1);
    for (const auto& entry : kVerbs)
        if (verb == entry.name) return (this->*entry.verb)(rest);
    return usage("unknown verb \"" + verb + "\"");
}

void Platformctl::printHelp() {
    m_out << kUsageText << ui::kPathAndKeyHelp << "Event kinds: ";
    const auto& kinds = knownEventKinds();
    for (size_t i = 0; i < kinds.size(); ++i)
        m_out << (i ? " " : "") << kinds[i];
    m_out << "\n";
}

int Platformctl::usage(const std::string& why) {
    m_err << "platformctl: " << why << "\nsee 'platformctl help'\n";
    return kUsage;
}

int Platformctl::changed(const std::string& what) {
    m_out << what << "\n";
    return kSuccess;
}

int Platformctl::fail(const std::string& why) {
    m_err << "platformctl: " << why << "\n";
    return kFailure;
}

std::optional<Arguments> Platformctl::parse(const std::vector<std::string>& args,
                                            const std::vector<OptionInfo>& options, size_t minPositionals,
                                            size_t maxPositionals) {
    std::string error;
    auto parsed = Arguments::parse(args, options, error);
    if (parsed && parsed->positionals().size() < minPositionals)
        error = "missing arguments";
    else if (parsed && parsed->positionals().size() > maxPositionals)
        error = "too many arguments";
    else if (parsed)
        return parsed;
    usage(error);
    return std::nullopt;
}

std::shared_ptr<ipc::Connection> Platformctl::connect() {
    if (m_connection && m_connection->isConnected()) return m_connection;
    platform::Error error;
    m_connection =
        ipc::Connection::open(ipc::socketPathForRoot(m_root), ipc::HelloInfo::forThisProcess(), &error);
    if (!m_connection) m_err << "platformctl: " << error.localizedDescription() << "\n";
    return m_connection;
}

std::optional<cf::Value> Platformctl::request(std::string_view op, const cf::Value& args, int& code,
                                              std::vector<ipc::UniqueFd>* fds,
                                              std::string_view displayAsTyped) {
    auto c = connect();
    if (!c) {
        code = kUnreachable;
        return std::nullopt;
    }
    ipc::Reply reply = c->request(op, args);
    if (!reply.ok) {
        bool lost = reply.error.domain == platform::PlatformErrorDomain &&
                    (reply.error.code == platform::kPlatformErrorConnectionLost ||
                     reply.error.code == platform::kPlatformErrorUnreachable);
        code = lost ? kUnreachable : kFailure;
        std::string why = reply.error.localizedDescription();
        const std::string prefix = std::string(op) + ": ";
        if (why.rfind(prefix, 0) == 0) why.erase(0, prefix.size());
        if (!displayAsTyped.empty() && why.rfind("no display ", 0) == 0)
            why = "no display " + std::string(displayAsTyped);
        m_err << "platformctl: " << why << "\n";
        return std::nullopt;
    }
    code = kSuccess;
    if (fds) *fds = std::move(reply.fds);
    return reply.result ? *reply.result : cf::Value::emptyDictionary();
}

int Platformctl::platformd(const std::vector<std::string>& args) {
    std::vector<std::string> forwarded = args;
    if (!m_root.empty() && std::find(args.begin(), args.end(), "--root") == args.end()) {
        forwarded.insert(forwarded.begin(), m_root);
        forwarded.insert(forwarded.begin(), "--root");
    }
    return platformd::platformdMain(forwarded);
}

int Platformctl::waitReady(const std::vector<std::string>& args) {
    auto a = parse(args, {{"timeout"}}, 0, 0);
    if (!a) return kUsage;
    std::string error;
    auto seconds = a->seconds("timeout", error);
    if (!error.empty()) return usage(error);
    auto deadline = platform::now() + platform::seconds(seconds.value_or(kDefaultWaitSeconds));
    if (ipc::waitForSocket(ipc::socketPathForRoot(m_root), deadline) != ipc::WaitResult::Ready) {
        m_err << "platformctl: platformd did not become ready\n";
        return kTimedOut;
    }
    return connect() ? kSuccess : kUnreachable;
}

int Platformctl::status(const std::vector<std::string>& args) {
    if (!parse(args, {}, 0, 0)) return kUsage;
    int code;
    auto result = request(ipc::op::status, cf::Value::emptyDictionary(), code);
    if (!result) return code;
    m_out << "root: " << plainText(result->objectForKey("root").value_or("")) << "\n";
    m_out << "platformd: pid " << plainText(result->objectForKey("pid").value_or(0)) << "\n";
    m_out << "profile:\n";
    if (auto profile = result->objectForKey("profile"); profile && profile->asDictionary())
        for (const auto& [key, value] : *profile->asDictionary())
            m_out << "  " << key << " = " << plainText(value) << "\n";
    m_out << "processes:\n";
    auto processes = result->objectForKey("processes");
    for (size_t i = 0; processes && i < processes->count(); ++i) {
        const cf::Value& p = *processes->at(i);
        m_out << "  " << plainText(p.objectForKey("pid").value_or(0)) << " "
              << plainText(p.objectForKey("processName").value_or(""))
              << " user=" << plainText(p.objectForKey("user").value_or("")) << "\n";
    }
    return kSuccess;
}

int Platformctl::shutdown(const std::vector<std::string>& args) {
    auto a = parse(args, {{"timeout"}}, 0, 0);
    if (!a) return kUsage;
    std::string error;
    auto seconds = a->seconds("timeout", error);
    if (!error.empty()) return usage(error);
    auto c = connect();
    if (!c) return kUnreachable;
    // The lost handler stays with the connection after this call; it shares its state.
    struct Stopped {
        std::mutex mutex;
        std::condition_variable cv;
        bool gone = false;
    };
    auto stopped = std::make_shared<Stopped>();
    c->addLostHandler([stopped] {
        std::lock_guard lock(stopped->mutex);
        stopped->gone = true;
        stopped->cv.notify_all();
    });
    // platformd drops its connections last, so the end of ours is the end of its shutdown: a
    // reply lost with the connection is the shutdown done, not a fault.
    c->expectEnd();
    ipc::Reply reply = c->request(ipc::op::shutdown, cf::Value::emptyDictionary());
    const bool lost = !reply.ok && reply.error.domain == platform::PlatformErrorDomain &&
                      reply.error.code == platform::kPlatformErrorConnectionLost;
    if (!reply.ok && !lost) return fail(reply.error.localizedDescription());
    std::unique_lock lock(stopped->mutex);
    auto deadline = platform::now() + platform::seconds(seconds.value_or(kDefaultWaitSeconds));
    if (!platform::waitUntil(stopped->cv, lock, deadline, [&] { return stopped->gone; })) {
        m_err << "platformctl: platformd did not stop in time\n";
        return kTimedOut;
    }
    return kSuccess;
}

int Platformctl::apps(const std::vector<std::string>& args) {
    if (!parse(args, {}, 0, 0)) return kUsage;
    int code;
    auto result = request(ipc::op::runningApplications, cf::Value::emptyDictionary(), code);
    if (!result) return code;
    auto list = result->objectForKey("applications");
    for (size_t i = 0; list && i < list->count(); ++i) {
        const cf::Value& app = *list->at(i);
        m_out << plainText(app.objectForKey("pid").value_or(0)) << "\t"
              << plainText(app.objectForKey("bundleIdentifier").value_or("-")) << "\t"
              << plainText(app.objectForKey("localizedName").value_or("")) << "\t"
              << plainText(app.objectForKey("bundlePath").value_or("")) << "\t"
              << activationPolicyName(app.objectForKey("activationPolicy").value_or(0).integerValue())
              << (app.objectForKey("finishedLaunching").value_or(false).boolValue() ? "\tfinished-launching"
                                                                                    : "")
              << (app.objectForKey("active").value_or(false).boolValue() ? "\tactive" : "") << "\n";
    }
    return kSuccess;
}

int Platformctl::launch(const std::vector<std::string>& args) {
    auto a = parse(args, {}, 1, 1);
    if (!a) return kUsage;
    int code;
    auto result =
        request(ipc::op::launch, cf::Dictionary{{"path", platform::macPath(a->positionals()[0])}}, code);
    if (!result) return code;
    m_out << plainText(result->objectForKey("pid").value_or(0))
          << (result->objectForKey("activated").value_or(false).boolValue() ? " (activated)" : "") << "\n";
    return kSuccess;
}

int Platformctl::login(const std::vector<std::string>& args) {
    auto a = parse(args, {{"user"}}, 0, 0);
    if (!a) return kUsage;
    cf::Dictionary requestArgs;
    if (auto user = a->value("user")) requestArgs.insert_or_assign("user", *user);
    int code;
    auto result = request(ipc::op::login, requestArgs, code);
    if (!result) return code;
    auto launched = result->objectForKey("launched");
    for (size_t i = 0; launched && i < launched->count(); ++i)
        m_out << plainText(launched->at(i)->objectForKey("pid").value_or(0)) << "\t"
              << plainText(launched->at(i)->objectForKey("URL").value_or("")) << "\n";
    auto failed = result->objectForKey("failed");
    if (failed && failed->count() > 0)
        return fail(platform::format("%zu login items did not launch", failed->count()));
    return kSuccess;
}

int Platformctl::loginItems(const std::vector<std::string>& args) {
    auto a = parse(args, {{"user"}}, 0, 2);
    if (!a) return kUsage;
    const auto& words = a->positionals();
    std::string action = words.empty() ? "list" : words[0];
    cf::Dictionary base;
    if (auto user = a->value("user")) base.insert_or_assign("user", *user);
    int code;
    if (action == "list" && words.size() <= 1) {
        auto result = request(ipc::op::loginItems, base, code);
        if (!result) return code;
        auto items = result->objectForKey("items");
        for (size_t i = 0; items && i < items->count(); ++i)
            m_out << plainText(items->at(i)->objectForKey("id").value_or(0)) << "\t"
                  << plainText(items->at(i)->objectForKey("URL").value_or("")) << "\n";
        return kSuccess;
    }
    if ((action == "add" || action == "remove") && words.size() == 2) {
        base.insert_or_assign("url", words[1]);
        bool add = action == "add";
        auto result = request(add ? ipc::op::insertLoginItem : ipc::op::removeLoginItem, base, code);
        if (!result) return code;
        if (add) {
            m_out << plainText(result->objectForKey("id").value_or(0)) << "\n";
            return kSuccess;
        }
        if (result->objectForKey("removed").value_or(0).integerValue() == 0)
            return fail("no login item " + words[1]);
        return changed("removed login item " + words[1]);
    }
    return usage("login-items takes list, add <url> or remove <url>");
}

int Platformctl::auth(const std::vector<std::string>& args) {
    auto a = parse(args, {}, 1, 1);
    if (!a) return kUsage;
    const std::string& answer = a->positionals()[0];
    if (answer != "allow" && answer != "deny" && answer != "cancel")
        return usage("auth takes allow, deny or cancel");
    int code;
    if (!request(ipc::op::setAuthorization, cf::Dictionary{{"answer", answer}}, code)) return code;
    return changed("the next authorization prompt is answered: " + answer);
}

int Platformctl::kext(const std::vector<std::string>& args) {
    auto a = parse(args, {}, 1, 1);
    if (!a) return kUsage;
    if (a->positionals()[0] != "list") return usage("kext takes list");
    int code;
    auto result = request(ipc::op::loadedKexts, cf::Value::emptyDictionary(), code);
    if (!result) return code;
    if (auto kexts = result->objectForKey("kexts"); kexts && kexts->asDictionary())
        for (const auto& [id, info] : *kexts->asDictionary())
            m_out << id << "\t" << plainText(info.objectForKey("CFBundleVersion").value_or("")) << "\t"
                  << plainText(info.objectForKey("OSBundlePath").value_or("")) << "\n";
    return kSuccess;
}

} // namespace ctl
