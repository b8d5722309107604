#include "platform/applicationservices/Processes.h"

#include "platform/coregraphics/WindowServerRequest.h"
#include "platform/windowserver/EventProtocol.h"

namespace appservices {

namespace op = windowserver::eventop;

OSStatus GetProcessForPID(pid_t pid, ProcessSerialNumber* psn) {
    if (!psn) return paramErr;
    auto reply = cg::CGSRequest(op::processForPID, {{"pid", static_cast<int64_t>(pid)}});
    auto status = cg::CGSReplyInteger(reply, "status", INT32_MIN, INT32_MAX);
    if (!status) return procNotFound;
    if (*status != 0) return static_cast<OSStatus>(*status);
    auto high = cg::CGSReplyInteger(reply, "high", 0, UINT32_MAX),
         low = cg::CGSReplyInteger(reply, "low", 0, UINT32_MAX);
    if (!high || !low) return procNotFound;
    *psn = ProcessSerialNumber{static_cast<uint32_t>(*high), static_cast<uint32_t>(*low)};
    return 0;
}

std::optional<cf::Value> ProcessInformationCopyDictionary(const ProcessSerialNumber* psn, uint32_t) {
    if (!psn) return std::nullopt;
    auto reply =
        cg::CGSRequest(op::processInformation, {{"high", psn->highLongOfPSN}, {"low", psn->lowLongOfPSN}});
    const cf::Value* info = reply ? reply->find("information") : nullptr;
    if (!info || !info->isDictionary()) return std::nullopt;
    return *info;
}

} // namespace appservices
