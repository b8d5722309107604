// The census of event taps: one record per tap from the system's tap list, with the tapping
// process's serial number and information dictionary when it has them.
#pragma once

#include "platform/corefoundation/Value.h"

#include <optional>

namespace input {

inline constexpr char kEventTapProcessInfoEventIDKey[] = "kEventIDKey";
inline constexpr char kEventTapProcessInfoTapLocationKey[] = "kTapLocationKey";
inline constexpr char kEventTapProcessInfoTapOptionsKey[] = "kTapOptionsKey";
inline constexpr char kEventTapProcessInfoEventsOfInterestMaskKey[] = "kEventsOfInterestMaskKey";
inline constexpr char kEventTapProcessInfoTappingProcessKey[] = "kTappingProcessKey";
inline constexpr char kEventTapProcessInfoTappedProcessKey[] = "kTappedProcessKey";
inline constexpr char kEventTapProcessInfoEnabledKey[] = "kEnabledKey";
inline constexpr char kEventTapProcessInfoMinUsecLatencyKey[] = "kMinUsecLatencyKey";
inline constexpr char kEventTapProcessInfoAvgUsecLatencyKey[] = "kAvgUsecLatencyKey";
inline constexpr char kEventTapProcessInfoMaxUsecLatencyKey[] = "kMaxUsecLatencyKey";
inline constexpr char kEventTapProcessInfoTappingProcessExtendedInfoKey[] = "kTappingProcessExtendedInfoKey";

class QNBEventTapManager {
  public:
    // The system's list is read up to this many taps.
    static constexpr uint32_t kMaxTaps = 400;

    static QNBEventTapManager& sharedManager();

    // Every tap's record, in the list's order; nullopt when there are none.
    std::optional<cf::Array> processInfoForEventTaps();
    // The enabled taps' records without the enabled entry; nullopt when there are no taps at
    // all, an empty list when none is enabled.
    std::optional<cf::Array> processInfoForEnabledKeyboardEventTaps();

  private:
    std::optional<cf::Array> census(bool enabledOnly);
};

} // namespace input
