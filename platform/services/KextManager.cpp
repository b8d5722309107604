#include "platform/services/KextManager.h"

#include "platform/core/Log.h"
#include "platform/corefoundation/Paths.h"
#include "platform/corefoundation/PropertyList.h"
#include "platform/ipc/Connection.h"
#include "platform/ipc/Protocol.h"

#include <dirent.h>
#include <memory>

namespace iokit {

namespace {

cf::Value reducedTo(const cf::Value& info, const cf::Value& keys) {
    cf::Dictionary out;
    for (size_t i = 0; i < keys.count(); ++i) {
        const std::string* key = keys.at(i)->asString();
        if (!key) continue;
        if (const cf::Value* v = info.find(*key)) out.insert_or_assign(*key, *v);
    }
    return out;
}

std::optional<std::string> findKext(const std::string& folder, const std::string& identifier) {
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(folder.c_str()), ::closedir);
    if (!dir) return std::nullopt;
    while (dirent* entry = ::readdir(dir.get())) {
        std::string name = entry->d_name;
        if (name.size() <= 5 || name.compare(name.size() - 5, 5, ".kext") != 0) continue;
        std::string path = folder + "/" + name;
        auto plist = cf::readPropertyListFile(path + "/Contents/Info.plist");
        const cf::Value* id = plist ? plist->find("CFBundleIdentifier") : nullptr;
        if (id && id->asString() && *id->asString() == identifier) return path;
    }
    return std::nullopt;
}

} // namespace

std::optional<cf::Value> KextManagerCopyLoadedKextInfo(const std::optional<cf::Value>& kextIdentifiers,
                                                       const std::optional<cf::Value>& infoKeys) {
    platform::Error error;
    auto c = ipc::Connection::shared(&error);
    if (!c) {
        platform::log("KextManagerCopyLoadedKextInfo: %@", error);
        return std::nullopt;
    }
    cf::Dictionary args;
    if (kextIdentifiers && kextIdentifiers->isArray()) args.insert_or_assign("ids", *kextIdentifiers);
    ipc::Reply reply = c->request(ipc::op::loadedKexts, args);
    const cf::Value* kexts = reply.ok && reply.result ? reply.result->find("kexts") : nullptr;
    if (!kexts || !kexts->asDictionary()) return std::nullopt;
    if (!infoKeys || !infoKeys->isArray()) return *kexts;
    cf::Dictionary reduced;
    for (const auto& [id, info] : *kexts->asDictionary())
        reduced.insert_or_assign(id, reducedTo(info, *infoKeys));
    return cf::Value(std::move(reduced));
}

std::optional<std::string> KextManagerCreateURLForBundleIdentifier(const void*,
                                                                   const std::string& kextIdentifier) {
    if (kextIdentifier.empty()) return std::nullopt;
    for (const char* folder : {"/Library/Extensions", "/System/Library/Extensions"}) {
        if (auto path = findKext(platform::macPath(folder), kextIdentifier)) return "file://" + *path + "/";
    }
    return std::nullopt;
}

} // namespace iokit
