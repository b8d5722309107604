// The keyboard services of the screen server, one shared object per process: the key list of a
// character, modifier posting, the force-quit combination, and typing a string either as key
// events through the current layout or, when a listed program taps the keyboard, through the
// pasteboard with Command-V and a restore 0.1 s later.
#pragma once

#include "input/QNBKeyboardLayoutMapper.h"
#include "platform/appkit/NSPasteboard.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/textinputsources/TextInputSources.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace input {

struct QNBKeyListEntry {
    uint16_t virtualKey = 0;
    uint16_t down = 0; // 1 press, 0 release
    bool operator==(const QNBKeyListEntry&) const = default;
};

// Brackets key sequences: combining off, local events permitted during suppression, a
// suppression interval of 0 s; end() switches combining back on.
void QNBBeginKeyBracket();
void QNBEndKeyBracket();

class QNBKeyCodeUtilities {
  public:
    static constexpr double kPasteboardRestoreDelay = 0.1;

    struct Collaborators {
        // The path of "IncompatibleEventTappers.plist" (the main bundle's resource by default).
        std::function<std::optional<std::string>()> tapperListPath;
        // Where the pasteboard restore runs (the main queue by default: a sideband queue's run
        // loop never runs).
        dispatch::dispatch_queue_t restoreQueue;
    };

    static QNBKeyCodeUtilities& sharedUtilities();
    // Tests build their own with injected collaborators.
    explicit QNBKeyCodeUtilities(Collaborators collaborators);

    std::optional<std::vector<QNBKeyListEntry>> keyCodesForUniChar(char16_t c, bool withShiftState);
    static void postModifiers(uint8_t messageFlags, bool keyDown);
    bool postForceQuitHotKeyIfAvailable();
    // UTF-16 as the device sends it: a character beyond the basic plane arrives as two
    // messages, one half of its pair each, and each half must reach the window server whole.
    void postString(std::u16string_view string);
    void setupPostStringMethodForBestCompatibility();

    std::shared_ptr<QNBKeyboardLayoutMapper> mapper();
    void setMapper(std::shared_ptr<QNBKeyboardLayoutMapper> mapper);
    bool useCGEventPost();
    void setUseCGEventPost(bool value);
    bool usePasteboardForPostString();
    void setUsePasteboardForPostString(bool value);
    bool useCompatibleModeForPostString();
    void setUseCompatibleModeForPostString(bool value);

  private:
    void initializeTableData();
    void postStringThroughPasteboard(std::u16string_view string);
    void postStringAsKeys(std::u16string_view string);
    void restorePasteboard(uint64_t generation);

    Collaborators m_collaborators;
    // One lock for the shared utilities and their mapper: sessions type from their own queues.
    std::recursive_mutex m_lock;
    tis::TISInputSourceRef mCurrentKeyboardLayoutRef;
    std::optional<cf::Value> mLayoutData;
    std::shared_ptr<QNBKeyboardLayoutMapper> m_mapper;
    bool m_useCGEventPost = false;
    bool m_usePasteboardForPostString = false;
    bool m_useCompatibleModeForPostString = false;
    std::optional<cf::Array> m_incompatibleTappers;
    // The contents saved by the first paste of a run of pastes; restored once, 0.1 s after the
    // latest of them.
    std::optional<cf::Dictionary> m_savedPasteboard;
    uint64_t m_restoreGeneration = 0;
};

} // namespace input
