// One power state of a driver, as registerPowerDriver takes it.
#pragma once

namespace kernel {

struct IOPMPowerState {
    unsigned long version;
    unsigned long capabilityFlags;
    unsigned long outputPowerCharacter;
    unsigned long inputPowerRequirement;
    unsigned long staticPower;
    unsigned long unbudgetedPower;
    unsigned long powerToAttain;
    unsigned long timeToAttain;
    unsigned long settleUpTime;
    unsigned long timeToLower;
    unsigned long settleDownTime;
    unsigned long powerDomainBudget;
};

constexpr unsigned long kIOPMPowerStateVersion1 = 1;

} // namespace kernel
