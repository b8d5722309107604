// Per-user login items, persisted in var/db/loginitems/<user>.plist so they outlive platformd,
// the global login items of every user (var/db/globalloginitems.plist), changed only by a
// caller that holds an authorization, and the simulated login that launches the console
// user's items in order.
#pragma once

#include "platform/daemon/SystemService.h"

#include <map>
#include <optional>
#include <vector>

namespace platformd {

class ApplicationService;

struct LoginItem {
    int64_t id = 0; // stable: kept in the file, never reused within a list
    std::string url;
};

class LoginItemsService : public SystemService {
  public:
    // A user name becomes a file name: plain characters only, and short.
    static constexpr size_t kMaxUserBytes = 64;
    // More items than any login would launch is a runaway writer.
    static constexpr size_t kMaxItems = 1024;

    LoginItemsService(ServiceHost& host, ApplicationService& applications)
        : m_host(host), m_applications(applications) {}

    void registerRequests(RequestTable& table) override;

    // The global list's key among the users' lists: no user name can be it.
    static constexpr char kGlobalList[] = "*global";

    static bool isValidUser(const std::string& user);
    // The items of a user, or of kGlobalList (loaded from its file on first use).
    const std::vector<LoginItem>& items(const std::string& user);
    std::string fileFor(const std::string& user) const;

  private:
    struct List {
        std::vector<LoginItem> items;
        int64_t nextId = 1;
    };
    List& listFor(const std::string& user);
    List load(const std::string& user) const;
    bool save(const std::string& user, const List& list) const;
    // The user argument or the caller's user; refuses the request and answers nullopt when bad.
    std::optional<std::string> userOf(RequestContext& ctx);
    // The global list when the request says "global" (a change needs "authorized" too), else
    // the user's; refuses the request and answers nullopt when bad.
    std::optional<std::string> listOf(RequestContext& ctx, bool change);

    void list(RequestContext& ctx);
    void insert(RequestContext& ctx);
    void remove(RequestContext& ctx);
    void login(RequestContext& ctx);

    ServiceHost& m_host;
    ApplicationService& m_applications;
    std::map<std::string, List> m_lists;
};

// "file:///a/b%20c.app/" gives "/a/b c.app"; nullopt for other schemes or bad escapes.
std::optional<std::string> pathFromFileURL(const std::string& url);

} // namespace platformd
