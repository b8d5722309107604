#include "input/QNBKeyCodeUtilities.h"

#include "input/NSPasteboardSaveAndRestore.h"
#include "input/QNBEventTapManager.h"
#include "input/QNBKeyCodeFunctions.h"
#include "platform/core/Log.h"
#include "platform/corefoundation/PropertyList.h"
#include "platform/coregraphics/CGEvent.h"
#include "platform/foundation/NSBundle.h"
#include "platform/foundation/NSString.h"

namespace input {

namespace {

constexpr uint16_t kShiftKey = 56, kCommandKey = 55, kOptionKey = 58, kControlKey = 59, kEscapeKey = 53;
constexpr uint16_t kANSIVKey = 9;

std::optional<std::string> mainBundleTapperList() {
    return ns::NSBundle::mainBundle()->pathForResource("IncompatibleEventTappers", "plist");
}

bool beginsIgnoringCase(const std::string& text, const std::string& prefix) {
    return text.size() >= prefix.size() &&
           ns::caseInsensitiveCompare(std::string_view(text).substr(0, prefix.size()), prefix) ==
               ns::NSOrderedSame;
}

} // namespace

void QNBBeginKeyBracket() {
    cg::CGEnableEventStateCombining(false);
    cg::CGSetLocalEventsFilterDuringSuppressionState(7, 0);
    cg::CGSetLocalEventsSuppressionInterval(0.0);
}

void QNBEndKeyBracket() {
    cg::CGEnableEventStateCombining(true);
}

QNBKeyCodeUtilities& QNBKeyCodeUtilities::sharedUtilities() {
    static QNBKeyCodeUtilities* shared =
        new QNBKeyCodeUtilities(Collaborators{mainBundleTapperList, dispatch::dispatch_get_main_queue()});
    return *shared;
}

QNBKeyCodeUtilities::QNBKeyCodeUtilities(Collaborators collaborators)
    : m_collaborators(std::move(collaborators)) {
    if (!m_collaborators.tapperListPath) m_collaborators.tapperListPath = mainBundleTapperList;
    if (!m_collaborators.restoreQueue) m_collaborators.restoreQueue = dispatch::dispatch_get_main_queue();
    initializeTableData();
}

void QNBKeyCodeUtilities::initializeTableData() {
    mCurrentKeyboardLayoutRef = tis::TISCopyCurrentKeyboardLayoutInputSource();
    mLayoutData =
        tis::TISGetInputSourceProperty(mCurrentKeyboardLayoutRef, tis::kTISPropertyUnicodeKeyLayoutData);
}

// Properties.

std::shared_ptr<QNBKeyboardLayoutMapper> QNBKeyCodeUtilities::mapper() {
    std::lock_guard lock(m_lock);
    return m_mapper;
}
void QNBKeyCodeUtilities::setMapper(std::shared_ptr<QNBKeyboardLayoutMapper> mapper) {
    std::lock_guard lock(m_lock);
    m_mapper = std::move(mapper);
}
bool QNBKeyCodeUtilities::useCGEventPost() {
    std::lock_guard lock(m_lock);
    return m_useCGEventPost;
}
void QNBKeyCodeUtilities::setUseCGEventPost(bool value) {
    std::lock_guard lock(m_lock);
    m_useCGEventPost = value;
}
bool QNBKeyCodeUtilities::usePasteboardForPostString() {
    std::lock_guard lock(m_lock);
    return m_usePasteboardForPostString;
}
void QNBKeyCodeUtilities::setUsePasteboardForPostString(bool value) {
    std::lock_guard lock(m_lock);
    m_usePasteboardForPostString = value;
}
bool QNBKeyCodeUtilities::useCompatibleModeForPostString() {
    std::lock_guard lock(m_lock);
    return m_useCompatibleModeForPostString;
}
void QNBKeyCodeUtilities::setUseCompatibleModeForPostString(bool value) {
    std::lock_guard lock(m_lock);
    m_useCompatibleModeForPostString = value;
}

// Keys.

std::optional<std::vector<QNBKeyListEntry>> QNBKeyCodeUtilities::keyCodesForUniChar(char16_t c,
                                                                                    bool withShiftState) {
    std::lock_guard lock(m_lock);
    if (c == 0) return std::nullopt;
    uint16_t key = 0;
    if (QNBGetKeyCodeForCharacter(nullptr, c, &key) != 0) return std::nullopt;
    std::u16string produced = QNBCreateStringFromKeyCode(key, true);
    bool shift = withShiftState || produced.empty() || produced[0] != c;
    if (!shift) return std::vector<QNBKeyListEntry>{{key, 1}, {key, 0}};
    return std::vector<QNBKeyListEntry>{{kShiftKey, 1}, {key, 1}, {key, 0}, {kShiftKey, 0}};
}

void QNBKeyCodeUtilities::postModifiers(uint8_t flags, bool keyDown) {
    if (flags == 0x01) return;
    if (flags & 0x02) cg::CGPostKeyboardEvent(0, kControlKey, keyDown);
    if (flags & 0x04) cg::CGPostKeyboardEvent(0, kOptionKey, keyDown);
    if (flags & 0x08) cg::CGPostKeyboardEvent(0, kCommandKey, keyDown);
    if (flags & 0x20) cg::CGPostKeyboardEvent(0, kShiftKey, keyDown);
}

bool QNBKeyCodeUtilities::postForceQuitHotKeyIfAvailable() {
    const std::pair<uint16_t, bool> sequence[] = {{kCommandKey, true}, {kOptionKey, true},
                                                  {kEscapeKey, true},  {kEscapeKey, false},
                                                  {kOptionKey, false}, {kCommandKey, false}};
    for (auto [key, down] : sequence)
        cg::CGEventPost(cg::kCGHIDEventTap, cg::CGEventCreateKeyboardEvent(nullptr, key, down));
    return true;
}

// Strings.

void QNBKeyCodeUtilities::setupPostStringMethodForBestCompatibility() {
    std::lock_guard lock(m_lock);
    if (!m_incompatibleTappers) {
        if (auto path = m_collaborators.tapperListPath()) {
            auto list = cf::readPropertyListFile(*path);
            if (list && list->asArray()) m_incompatibleTappers = *list->asArray();
        }
    }
    bool pasteboard = false;
    if (m_incompatibleTappers) {
        auto taps = QNBEventTapManager::sharedManager().processInfoForEnabledKeyboardEventTaps();
        for (size_t i = 0; taps && i < taps->size() && !pasteboard; ++i) {
            const cf::Value* info = (*taps)[i].find(kEventTapProcessInfoTappingProcessExtendedInfoKey);
            const cf::Value* identifier = info ? info->find("CFBundleIdentifier") : nullptr;
            if (!identifier || !identifier->asString()) continue;
            for (const cf::Value& prefix : *m_incompatibleTappers) {
                if (prefix.asString() && beginsIgnoringCase(*identifier->asString(), *prefix.asString())) {
                    pasteboard = true;
                    break;
                }
            }
        }
    }
    m_useCGEventPost = false;
    m_usePasteboardForPostString = pasteboard;
}

void QNBKeyCodeUtilities::postString(std::u16string_view string) {
    std::lock_guard lock(m_lock);
    if (m_useCompatibleModeForPostString) setupPostStringMethodForBestCompatibility();
    if (m_usePasteboardForPostString)
        postStringThroughPasteboard(string);
    else
        postStringAsKeys(string);
}

void QNBKeyCodeUtilities::postStringThroughPasteboard(std::u16string_view string) {
    auto pasteboard = appkit::NSPasteboard::generalPasteboard();
    if (!m_savedPasteboard) m_savedPasteboard = save(*pasteboard);
    pasteboard->clearContents();
    pasteboard->writeObjects({std::u16string(string)});
    cg::CGPostKeyboardEvent(0, kCommandKey, true);
    cg::CGPostKeyboardEvent(0, kANSIVKey, true);
    cg::CGPostKeyboardEvent(0, kANSIVKey, false);
    cg::CGPostKeyboardEvent(0, kCommandKey, false);
    // A later paste within the delay moves the one restore behind itself.
    uint64_t generation = ++m_restoreGeneration;
    dispatch::dispatch_after(dispatch::dispatch_time(dispatch::DISPATCH_TIME_NOW,
                                                     static_cast<int64_t>(kPasteboardRestoreDelay * 1e9)),
                             m_collaborators.restoreQueue,
                             [this, generation] { restorePasteboard(generation); });
}

void QNBKeyCodeUtilities::restorePasteboard(uint64_t generation) {
    std::lock_guard lock(m_lock);
    if (generation != m_restoreGeneration || !m_savedPasteboard) return;
    restore(*appkit::NSPasteboard::generalPasteboard(), *m_savedPasteboard);
    m_savedPasteboard.reset();
}

void QNBKeyCodeUtilities::postStringAsKeys(std::u16string_view string) {
    if (!m_mapper) {
        auto source = tis::TISCopyCurrentKeyboardLayoutInputSource();
        m_mapper = QNBKeyboardLayoutMapper::initWithLayoutRef(
            tis::TISGetInputSourceProperty(source, tis::kTISPropertyUnicodeKeyLayoutData),
            tis::LMGetKbdType());
    }
    std::vector<QNBKeyEvent> keys =
        m_mapper ? m_mapper->keycodesFromString(string) : std::vector<QNBKeyEvent>{};
    QNBBeginKeyBracket();
    for (const QNBKeyEvent& k : keys) {
        bool modifier = k.virtualKey >= 55 && k.virtualKey <= 59;
        if (m_useCGEventPost && !modifier)
            cg::CGEventPost(cg::kCGHIDEventTap,
                            cg::CGEventCreateKeyboardEvent(nullptr, k.virtualKey, k.press != 0));
        else
            cg::CGPostKeyboardEvent(0, k.virtualKey, k.press != 0);
    }
    if (keys.empty()) {
        auto event = cg::CGEventCreateKeyboardEvent(nullptr, 0, true);
        cg::CGEventKeyboardSetUnicodeString(event, string.size(), string.data());
        cg::CGEventPost(cg::kCGHIDEventTap, event);
    }
    QNBEndKeyBracket();
}

} // namespace input
