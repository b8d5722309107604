// platformctl: an ordinary platformd client for scripts, the demo and people. Each verb is one
// request or a short conversation; exit codes are the same for every verb.
#pragma once

#include "platform/corefoundation/Value.h"
#include "platform/ctl/Arguments.h"
#include "platform/ipc/Connection.h"

#include <functional>
#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

namespace ctl {

enum ExitCode : int {
    kSuccess = 0,
    kFailure = 1, // stderr says why
    kUsage = 2,
    kUnreachable = 3, // platformd not there, or gone
    kTimedOut = 4,
};

// A display id, 0x102 or 258; a finite coordinate within the desktop's reach.
std::optional<uint32_t> displayID(const std::string& text);
std::optional<double> coordinate(const std::string& text);

class Platformctl {
  public:
    Platformctl(std::ostream& out, std::ostream& err) : m_out(out), m_err(err) {}
    // args without the program name.
    int run(const std::vector<std::string>& args);

  private:
    using Verb = int (Platformctl::*)(const std::vector<std::string>&);
    struct VerbSpec {
        const char* name;
        Verb verb;
    };
    static const VerbSpec kVerbs[];

    int usage(const std::string& why);
    int fail(const std::string& why);
    // A verb that changed something says what, in one line on stdout, and succeeds.
    int changed(const std::string& what);
    void printHelp();
    // Parses a verb's arguments; on error prints usage and answers nullopt (exit code kUsage).
    std::optional<Arguments> parse(const std::vector<std::string>& args,
                                   const std::vector<OptionInfo>& options, size_t minPositionals,
                                   size_t maxPositionals);
    // The connection, or null after printing why (exit code kUnreachable).
    std::shared_ptr<ipc::Connection> connect();
    // One request; on failure prints why and sets code (kUnreachable for a lost connection,
    // else kFailure). Answers the result dictionary (empty when none). The reason is printed
    // without platformd's operation name; displayAsTyped names the display of a "no display"
    // answer as the user typed it.
    std::optional<cf::Value> request(std::string_view op, const cf::Value& args, int& code,
                                     std::vector<ipc::UniqueFd>* fds = nullptr,
                                     std::string_view displayAsTyped = {});

    int platformd(const std::vector<std::string>& args);
    int waitReady(const std::vector<std::string>& args);
    int status(const std::vector<std::string>& args);
    int shutdown(const std::vector<std::string>& args);
    int post(const std::vector<std::string>& args);
    int observe(const std::vector<std::string>& args);
    int events(const std::vector<std::string>& args);
    int waitEvent(const std::vector<std::string>& args);
    int apps(const std::vector<std::string>& args);
    int launch(const std::vector<std::string>& args);
    int login(const std::vector<std::string>& args);
    int loginItems(const std::vector<std::string>& args);
    // A package's payload and postinstall (InstallVerb.cpp).
    int install(const std::vector<std::string>& args);
    int auth(const std::vector<std::string>& args);
    int kext(const std::vector<std::string>& args);
    int displays(const std::vector<std::string>& args);
    int configure(const std::vector<std::string>& args);
    int cursor(const std::vector<std::string>& args);
    int damage(const std::vector<std::string>& args);
    // Pixels (PixelVerbs.cpp): test windows, display images and counters.
    int draw(const std::vector<std::string>& args);
    int move(const std::vector<std::string>& args);
    int erase(const std::vector<std::string>& args);
    int readDisplay(const std::vector<std::string>& args);
    int counters(const std::vector<std::string>& args);
    // Stream surfaces given back are overwritten with a poison pattern (on) or left alone.
    int poison(const std::vector<std::string>& args);
    // Runs body with the Core Graphics facade reaching platformd through this connection (made
    // first, unless connectFirst is false: then on the first request).
    int withWindowServer(const std::function<int()>& body, bool connectFirst = true);
    int inputState(const std::vector<std::string>& args);
    int keyboardLayout(const std::vector<std::string>& args);
    int pasteboard(const std::vector<std::string>& args);
    int textSink(const std::vector<std::string>& args);
    int eventTap(const std::vector<std::string>& args);
    int prefs(const std::vector<std::string>& args);
    int logs(const std::vector<std::string>& args);
    // Bonjour registry and updaters (ServiceVerbs.cpp).
    int bonjour(const std::vector<std::string>& args);
    int updater(const std::vector<std::string>& args);

    // Operating applications' interfaces through accessibility (UIVerbs.cpp).
    int ui(const std::vector<std::string>& args);
    friend class UIVerbs;

    int followEvents(uint64_t after, const std::string& kind);
    int followFile(const std::string& path);

    std::ostream& m_out;
    std::ostream& m_err;
    std::string m_root;
    std::shared_ptr<ipc::Connection> m_connection;
};

// One event log entry as a line: "<sequence> <kind> key=value ...", keys sorted, nested
// values in the property-list text style.
std::string eventLine(const cf::Value& entry);
// The kinds of event platformd's log records (events --kind and wait-event take no other).
const std::vector<std::string_view>& knownEventKinds();
// A value as a script reads it: texts as they are, booleans YES/NO, numbers plainly.
std::string plainText(const cf::Value& value);

} // namespace ctl
