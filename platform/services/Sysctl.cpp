#include "platform/services/Sysctl.h"

#include "platform/corefoundation/Profile.h"
#include "platform/ipc/Connection.h"
#include "platform/ipc/Protocol.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace bsd {

namespace {

using Bytes = std::vector<uint8_t>;

template <typename T> Bytes bytesOf(T value) {
    Bytes b(sizeof(T));
    std::memcpy(b.data(), &value, sizeof(T));
    return b;
}

Bytes textBytes(const std::string& text) {
    Bytes b(text.begin(), text.end());
    b.push_back(0);
    return b;
}

std::optional<Bytes> processTable() {
    auto c = ipc::Connection::shared();
    if (!c) return std::nullopt;
    ipc::Reply reply = c->request(ipc::op::processes);
    const cf::Value* rows = reply.ok && reply.result ? reply.result->find("processes") : nullptr;
    if (!rows) return std::nullopt;
    std::vector<kinfo_proc> table;
    for (size_t i = 0; i < rows->count(); ++i) {
        const cf::Value* pid = rows->at(i)->find("pid");
        const cf::Value* command = rows->at(i)->find("command");
        if (!pid || !pid->isNumber() || !command || !command->asString()) continue;
        kinfo_proc p;
        p.kp_proc.p_pid = static_cast<pid_t>(pid->integerValue());
        std::strncpy(p.kp_proc.p_comm, command->asString()->c_str(), MAXCOMLEN);
        table.push_back(p);
    }
    Bytes out(table.size() * sizeof(kinfo_proc));
    if (!table.empty()) std::memcpy(out.data(), table.data(), out.size());
    return out;
}

// The value of a name, nullopt with errno for an unknown one or a missing platformd.
std::optional<Bytes> valueOf(const std::vector<int>& mib) {
    auto profile = platform::Profile::current();
    if (mib == std::vector<int>{CTL_KERN, KERN_OSRELEASE}) return textBytes(profile->kernelRelease);
    if (mib == std::vector<int>{CTL_KERN, KERN_OSREV})
        return bytesOf(static_cast<int32_t>(profile->kernelRevision));
    if (mib == std::vector<int>{CTL_HW, HW_MODEL}) return textBytes(profile->modelIdentifier);
    if (mib == std::vector<int>{CTL_HW, HW_NCPU}) return bytesOf(static_cast<int32_t>(profile->cpuCount));
    if (mib == std::vector<int>{CTL_HW, HW_CPU_FREQ})
        return bytesOf(static_cast<uint32_t>(profile->cpuFrequencyHz));
    if (mib == std::vector<int>{CTL_HW, HW_MEMSIZE})
        return bytesOf(static_cast<uint64_t>(profile->memoryBytes));
    if (mib == std::vector<int>{CTL_KERN, KERN_PROC, KERN_PROC_ALL}) {
        auto table = processTable();
        if (!table) errno = EIO;
        return table;
    }
    errno = ENOENT;
    return std::nullopt;
}

} // namespace

int sysctl(const int* name, unsigned int namelen, void* oldp, size_t* oldlenp, const void* newp, size_t) {
    if (!name || namelen == 0 || namelen > 8) {
        errno = EINVAL;
        return -1;
    }
    if (newp) {
        errno = EPERM;
        return -1;
    }
    auto value = valueOf(std::vector<int>(name, name + namelen));
    if (!value) return -1;
    if (!oldlenp) {
        errno = EINVAL;
        return -1;
    }
    if (!oldp) {
        *oldlenp = value->size();
        return 0;
    }
    if (*oldlenp < value->size()) {
        *oldlenp = value->size();
        errno = ENOMEM;
        return -1;
    }
    if (!value->empty()) std::memcpy(oldp, value->data(), value->size());
    *oldlenp = value->size();
    return 0;
}

int sysctlbyname(const char* name, void* oldp, size_t* oldlenp, const void* newp, size_t newlen) {
    struct Named {
        const char* name;
        std::vector<int> mib;
    };
    static const Named names[] = {
        {"kern.osrelease", {CTL_KERN, KERN_OSRELEASE}},
        {"kern.osrevision", {CTL_KERN, KERN_OSREV}},
        {"hw.model", {CTL_HW, HW_MODEL}},
        {"hw.ncpu", {CTL_HW, HW_NCPU}},
        {"hw.cpufrequency", {CTL_HW, HW_CPU_FREQ}},
        {"hw.memsize", {CTL_HW, HW_MEMSIZE}},
        {"kern.proc.all", {CTL_KERN, KERN_PROC, KERN_PROC_ALL}},
    };
    if (!name) {
        errno = EINVAL;
        return -1;
    }
    for (const auto& n : names)
        if (std::strcmp(n.name, name) == 0)
            return sysctl(n.mib.data(), static_cast<unsigned>(n.mib.size()), oldp, oldlenp, newp, newlen);
    errno = ENOENT;
    return -1;
}

} // namespace bsd
