#include "platform/services/LSSharedFileList.h"

#include "platform/core/Log.h"
#include "platform/ipc/Connection.h"
#include "platform/ipc/Protocol.h"

namespace ls {

class LSSharedFileList {
  public:
    LSSharedFileList(std::shared_ptr<ipc::Connection> connection, bool global)
        : m_connection(std::move(connection)), m_global(global) {}
    ipc::Connection& connection() { return *m_connection; }
    void setAuthorized(bool authorized) { m_authorized = authorized; }
    // The request's arguments plus which list it is about.
    cf::Dictionary arguments(cf::Dictionary args = {}) const {
        if (m_global) {
            args.insert_or_assign("global", cf::Value(true));
            args.insert_or_assign("authorized", cf::Value(m_authorized));
        }
        return args;
    }

  private:
    std::shared_ptr<ipc::Connection> m_connection;
    bool m_global = false;
    bool m_authorized = false;
};

const LSSharedFileListItemRef kLSSharedFileListItemLast = std::make_shared<LSSharedFileListItem>();
const LSSharedFileListItemRef kLSSharedFileListItemBeforeFirst = std::make_shared<LSSharedFileListItem>();

namespace {

// The seed answers "did the list change": the items' ids and URLs folded together.
uint32_t seedOf(const std::vector<LSSharedFileListItemRef>& items) {
    uint32_t h = 2166136261u;
    auto mix = [&h](uint8_t b) { h = (h ^ b) * 16777619u; };
    for (const auto& item : items) {
        for (int i = 0; i < 4; ++i)
            mix(static_cast<uint8_t>(item->identifier >> (8 * i)));
        for (char c : item->url)
            mix(static_cast<uint8_t>(c));
        mix(0);
    }
    return h;
}

} // namespace

LSSharedFileListRef LSSharedFileListCreate(const void*, std::string_view listType, const void*) {
    const bool global = listType == kLSSharedFileListGlobalLoginItems;
    if (listType != kLSSharedFileListSessionLoginItems && !global) return nullptr;
    platform::Error error;
    auto c = ipc::Connection::shared(&error);
    if (!c) {
        platform::log("LSSharedFileListCreate: %@", error);
        return nullptr;
    }
    return std::make_shared<LSSharedFileList>(c, global);
}

std::vector<LSSharedFileListItemRef> LSSharedFileListCopySnapshot(const LSSharedFileListRef& list,
                                                                  uint32_t* seed) {
    std::vector<LSSharedFileListItemRef> items;
    if (list) {
        ipc::Reply reply = list->connection().request(ipc::op::loginItems, list->arguments());
        const cf::Value* array = reply.ok && reply.result ? reply.result->find("items") : nullptr;
        for (size_t i = 0; array && i < array->count(); ++i) {
            const cf::Value* id = array->at(i)->find("id");
            const cf::Value* url = array->at(i)->find("URL");
            if (!id || !id->isNumber() || !url || !url->asString()) continue;
            items.push_back(std::make_shared<LSSharedFileListItem>(
                LSSharedFileListItem{static_cast<uint32_t>(id->integerValue()), *url->asString()}));
        }
    }
    if (seed) *seed = seedOf(items);
    return items;
}

uint32_t LSSharedFileListItemGetID(const LSSharedFileListItemRef& item) {
    return item ? item->identifier : 0;
}

std::optional<std::string> LSSharedFileListItemResolve(const LSSharedFileListItemRef& item, uint32_t,
                                                       OSStatus* status) {
    if (status) *status = item ? noErr : paramErr;
    if (!item) return std::nullopt;
    return item->url;
}

LSSharedFileListItemRef LSSharedFileListInsertItemURL(const LSSharedFileListRef& list,
                                                      const LSSharedFileListItemRef&,
                                                      const std::optional<std::string>&, const void*,
                                                      const std::string& url, const void*, const void*) {
    if (!list) return nullptr;
    ipc::Reply reply = list->connection().request(ipc::op::insertLoginItem, list->arguments({{"url", url}}));
    const cf::Value* id = reply.ok && reply.result ? reply.result->find("id") : nullptr;
    if (!id || !id->isNumber()) {
        platform::log("LSSharedFileListInsertItemURL: %s not added: %@", url, reply.error);
        return nullptr;
    }
    return std::make_shared<LSSharedFileListItem>(
        LSSharedFileListItem{static_cast<uint32_t>(id->integerValue()), url});
}

OSStatus LSSharedFileListItemRemove(const LSSharedFileListRef& list, const LSSharedFileListItemRef& item) {
    if (!list || !item) return paramErr;
    ipc::Reply reply = list->connection().request(
        ipc::op::removeLoginItem, list->arguments({{"id", static_cast<int64_t>(item->identifier)}}));
    if (!reply.ok) return kLSServerCommunicationErr;
    const cf::Value* removed = reply.result ? reply.result->find("removed") : nullptr;
    return removed && removed->integerValue() > 0 ? noErr : fnfErr;
}

OSStatus LSSharedFileListSetAuthorization(const LSSharedFileListRef& list,
                                          const security::AuthorizationRef& authorization) {
    if (!list) return paramErr;
    list->setAuthorized(authorization != nullptr);
    return noErr;
}

} // namespace ls
