#include "input/QNBEventTapManager.h"

#include "platform/applicationservices/Processes.h"
#include "platform/coregraphics/CGEvent.h"

#include <vector>

namespace input {

QNBEventTapManager& QNBEventTapManager::sharedManager() {
    static QNBEventTapManager manager;
    return manager;
}

std::optional<cf::Array> QNBEventTapManager::processInfoForEventTaps() {
    return census(false);
}

std::optional<cf::Array> QNBEventTapManager::processInfoForEnabledKeyboardEventTaps() {
    return census(true);
}

std::optional<cf::Array> QNBEventTapManager::census(bool enabledOnly) {
    std::vector<cg::CGEventTapInformation> taps(kMaxTaps);
    uint32_t count = 0;
    if (cg::CGGetEventTapList(kMaxTaps, taps.data(), &count) != cg::kCGErrorSuccess || count == 0)
        return std::nullopt;
    cf::Array records;
    for (uint32_t i = 0; i < count && i < kMaxTaps; ++i) {
        const cg::CGEventTapInformation& t = taps[i];
        if (enabledOnly && !t.enabled) continue;
        cf::Dictionary r{{kEventTapProcessInfoEventIDKey, t.eventTapID},
                         {kEventTapProcessInfoTapLocationKey, static_cast<uint32_t>(t.tapPoint)},
                         {kEventTapProcessInfoTapOptionsKey, static_cast<uint32_t>(t.options)},
                         {kEventTapProcessInfoEventsOfInterestMaskKey, t.eventsOfInterest},
                         {kEventTapProcessInfoTappingProcessKey, t.tappingProcess},
                         {kEventTapProcessInfoTappedProcessKey, t.processBeingTapped},
                         {kEventTapProcessInfoMinUsecLatencyKey, t.minUsecLatency},
                         {kEventTapProcessInfoAvgUsecLatencyKey, t.avgUsecLatency},
                         {kEventTapProcessInfoMaxUsecLatencyKey, t.maxUsecLatency}};
        if (!enabledOnly) r.insert_or_assign(kEventTapProcessInfoEnabledKey, t.enabled);
        appservices::ProcessSerialNumber psn;
        if (appservices::GetProcessForPID(t.tappingProcess, &psn) == 0) {
            auto info = appservices::ProcessInformationCopyDictionary(
                &psn, appservices::kProcessDictionaryIncludeAllInformationMask);
            if (info) {
                r.insert_or_assign("NSApplicationProcessSerialNumberHigh", psn.highLongOfPSN);
                r.insert_or_assign("NSApplicationProcessSerialNumberLow", psn.lowLongOfPSN);
                r.insert_or_assign(kEventTapProcessInfoTappingProcessExtendedInfoKey, *info);
            }
        }
        records.push_back(cf::Value(std::move(r)));
    }
    return records;
}

} // namespace input
