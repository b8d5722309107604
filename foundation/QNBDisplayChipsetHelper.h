// One graphics chipset name found in system_profiler's output, with the number of the output
// line it came from.
#pragma once

#include <cstdint>
#include <string>

namespace foundation {

class QNBDisplayChipsetHelper {
public:
    QNBDisplayChipsetHelper(std::string displayChipset, uint64_t index)
        : m_displayChipset(std::move(displayChipset)), m_index(index) {}

    const std::string& displayChipset() const { return m_displayChipset; }
    void setDisplayChipset(std::string value) { m_displayChipset = std::move(value); }
    uint64_t index() const { return m_index; }
    void setIndex(uint64_t value) { m_index = value; }

private:
    std::string m_displayChipset;
    uint64_t m_index = 0;
};

} // namespace foundation
