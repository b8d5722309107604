#include "platform/daemon/LoginItemsService.h"

#include "platform/core/Log.h"
#include "platform/corefoundation/Paths.h"
#include "platform/corefoundation/Profile.h"
#include "platform/corefoundation/PropertyList.h"
#include "platform/daemon/ApplicationService.h"
#include "platform/daemon/EventLog.h"
#include "platform/ipc/Protocol.h"

#include <cctype>
#include <climits>
#include <cstdio>
#include <sys/stat.h>

namespace platformd {

namespace {

cf::Value itemValue(const LoginItem& item) {
    return cf::Dictionary{{"id", item.id}, {"URL", item.url}};
}

} // namespace

std::optional<std::string> pathFromFileURL(const std::string& url) { return platform::pathOfFileURL(url); }

bool LoginItemsService::isValidUser(const std::string& user) {
    if (user.empty() || user.size() > kMaxUserBytes || user[0] == '.' || user[0] == '-') return false;
    for (unsigned char c : user)
        if (!(std::isalnum(c) || c == '.' || c == '_' || c == '-')) return false;
    return true;
}

std::string LoginItemsService::fileFor(const std::string& user) const {
    if (user == kGlobalList) return m_host.root() + "/var/db/globalloginitems.plist";
    return m_host.root() + "/var/db/loginitems/" + user + ".plist";
}

LoginItemsService::List LoginItemsService::load(const std::string& user) const {
    List list;
    std::string file = fileFor(user);
    struct stat st {};
    if (::stat(file.c_str(), &st) != 0) return list;
    platform::Error error;
    auto plist = cf::readPropertyListFile(file, &error);
    const cf::Value* items = plist ? plist->find("items") : nullptr;
    if (!items || !items->isArray()) {
        platform::log("platformd: unreadable login items %s (%@); starting empty, the file kept as .bad",
                      file, error);
        std::rename(file.c_str(), (file + ".bad").c_str());
        return list;
    }
    for (size_t i = 0; i < items->count() && list.items.size() < kMaxItems; ++i) {
        const cf::Value* item = items->at(i);
        const cf::Value* id = item->find("id");
        const cf::Value* url = item->find("URL");
        if (!id || !id->isNumber() || id->isFloatNumber() || !url || !url->asString()) {
            platform::log("platformd: skipping a malformed login item in %s", file);
            continue;
        }
        list.items.push_back(LoginItem{*id->storedInteger(), *url->asString()});
        list.nextId = std::max(list.nextId, *id->storedInteger() + 1);
    }
    if (const cf::Value* next = plist->find("nextIdentifier"); next && next->isNumber())
        list.nextId = std::max(list.nextId, next->integerValue());
    return list;
}

bool LoginItemsService::save(const std::string& user, const List& list) const {
    cf::Array items;
    for (const auto& item : list.items)
        items.push_back(itemValue(item));
    cf::Value plist = cf::Dictionary{{"items", cf::Value(std::move(items))}, {"nextIdentifier", list.nextId}};
    platform::Error error;
    if (!cf::createDirectories(m_host.root() + "/var/db/loginitems", 0755, &error) ||
        !cf::writePropertyListFile(plist, fileFor(user), cf::PropertyListFormat::XML, &error, 0644)) {
        platform::log("platformd: cannot save the login items of %s: %@", user, error);
        return false;
    }
    return true;
}

LoginItemsService::List& LoginItemsService::listFor(const std::string& user) {
    auto it = m_lists.find(user);
    if (it == m_lists.end()) it = m_lists.emplace(user, load(user)).first;
    return it->second;
}

const std::vector<LoginItem>& LoginItemsService::items(const std::string& user) {
    return listFor(user).items;
}

void LoginItemsService::registerRequests(RequestTable& table) {
    table.add(ipc::op::loginItems, [this](RequestContext& ctx) { list(ctx); });
    table.add(ipc::op::insertLoginItem, [this](RequestContext& ctx) { insert(ctx); });
    table.add(ipc::op::removeLoginItem, [this](RequestContext& ctx) { remove(ctx); });
    table.add(ipc::op::login, [this](RequestContext& ctx) { login(ctx); });
}

std::optional<std::string> LoginItemsService::userOf(RequestContext& ctx) {
    bool ok = true;
    auto user = ctx.optionalString("user", ok, kMaxUserBytes);
    if (!ok) return std::nullopt;
    std::string name = user ? *user : ctx.client().user;
    if (!isValidUser(name)) {
        ctx.refuse("\"" + name.substr(0, kMaxUserBytes) + "\" is not a user name");
        return std::nullopt;
    }
    return name;
}

std::optional<std::string> LoginItemsService::listOf(RequestContext& ctx, bool change) {
    bool ok = true;
    const cf::Value* global = ctx.optionalOfKind("global", cf::Value::Kind::Boolean, ok);
    const cf::Value* authorized = ctx.optionalOfKind("authorized", cf::Value::Kind::Boolean, ok);
    if (!ok) return std::nullopt;
    if (!global || !global->boolValue()) return userOf(ctx);
    if (change && !(authorized && authorized->boolValue())) {
        ctx.refuse("the global login items change only under an authorization");
        return std::nullopt;
    }
    return std::string(kGlobalList);
}

void LoginItemsService::list(RequestContext& ctx) {
    auto user = listOf(ctx, false);
    if (!user) return;
    cf::Array out;
    for (const auto& item : items(*user))
        out.push_back(itemValue(item));
    ctx.reply(cf::Dictionary{{"items", cf::Value(std::move(out))}, {"user", *user}});
}

void LoginItemsService::insert(RequestContext& ctx) {
    const std::string* url = ctx.requiredString("url", PATH_MAX);
    if (!url) return;
    auto user = listOf(ctx, true);
    if (!user) return;
    if (url->empty()) return ctx.refuse("a login item needs a URL");
    List& list = listFor(*user);
    if (list.items.size() >= kMaxItems) return ctx.refuse("too many login items");
    // Appended as given: the caller checks for an existing entry itself.
    LoginItem item{list.nextId++, *url};
    list.items.push_back(item);
    save(*user, list);
    m_host.events().record(std::string(ipc::eventKind::loginItemAdded), "LSSharedFileListInsertItemURL",
                           posterOf(ctx.client()), {{"user", *user}, {"URL", item.url}, {"id", item.id}});
    ctx.reply(cf::Dictionary{{"id", item.id}});
}

void LoginItemsService::remove(RequestContext& ctx) {
    bool ok = true;
    auto id = ctx.optionalInteger("id", ok);
    auto url = ctx.optionalString("url", ok, PATH_MAX);
    if (!ok) return;
    if (!id && !url) return ctx.refuse("removing a login item needs its id or URL");
    auto user = listOf(ctx, true);
    if (!user) return;
    List& list = listFor(*user);
    int64_t removed = 0;
    for (auto it = list.items.begin(); it != list.items.end();) {
        if ((id && it->id == *id) || (!id && url && it->url == *url)) {
            m_host.events().record(std::string(ipc::eventKind::loginItemRemoved),
                                   "LSSharedFileListItemRemove", posterOf(ctx.client()),
                                   {{"user", *user}, {"URL", it->url}, {"id", it->id}});
            it = list.items.erase(it);
            ++removed;
        } else {
            ++it;
        }
    }
    if (removed) save(*user, list);
    ctx.reply(cf::Dictionary{{"removed", removed}});
}

void LoginItemsService::login(RequestContext& ctx) {
    bool ok = true;
    auto asked = ctx.optionalString("user", ok, kMaxUserBytes);
    if (!ok) return;
    const auto& console = m_host.profile().consoleUser;
    std::string user = asked ? *asked : console ? *console : ctx.client().user;
    if (user.empty()) return ctx.refuse("nobody is logged in at the console");
    if (!isValidUser(user)) return ctx.refuse("\"" + user + "\" is not a user name");
    cf::Array launched, failed;
    for (const auto& item : items(user)) {
        auto path = pathFromFileURL(item.url);
        platform::Error error;
        auto result =
            path ? m_applications.launchApplication(*path, posterOf(ctx.client()), &error) : std::nullopt;
        if (result) {
            launched.push_back(cf::Dictionary{{"URL", item.url}, {"pid", static_cast<int64_t>(result->pid)}});
        } else {
            platform::log("platformd: login item %s not launched: %@", item.url,
                          path ? error : refusal("not a file URL"));
            failed.push_back(item.url);
        }
    }
    m_host.events().record(std::string(ipc::eventKind::login), "", posterOf(ctx.client()),
                           {{"user", user}, {"launched", launched}, {"failed", failed}});
    ctx.reply(cf::Dictionary{{"user", user}, {"launched", launched}, {"failed", failed}});
}

} // namespace platformd
