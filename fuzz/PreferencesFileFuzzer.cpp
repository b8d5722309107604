// The shared preferences domain's file as the preferences store loads it, under a temporary
// root: whatever the file holds (wrong types, damaged or foreign bytes), the getters answer (a
// share of them on each input, chosen by its bytes), a file that does not read as a dictionary
// is kept as <file>.bad when the store next writes, and the keys a getter does not own survive
// its writes untouched.
#include "foundation/QNBPreferences.h"
#include "fuzz/FuzzSupport.h"
#include "platform/corefoundation/CFPreferences.h"
#include "platform/corefoundation/PropertyList.h"

#include <cstdio>
#include <fstream>
#include <set>
#include <sstream>
#include <sys/stat.h>

namespace {

std::optional<std::string> readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void writeFile(const std::string& path, const uint8_t* data, size_t size) {
    // Written beside and renamed over, as another process would: the store sees a new file.
    const std::string temporary = path + ".fuzz";
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    out.close();
    if (std::rename(temporary.c_str(), path.c_str()) != 0) fuzz::fail("rename", path);
}

bool ownedByAGetter(const std::string& key) {
    using namespace foundation;
    static const std::set<std::string> keys = {kCurrentState,
                                               kShowInMenuBar,
                                               kAutoMoveWindowsBackOption,
                                               kPresentationModeOption,
                                               kEnableTouchDisplayOption,
                                               kEnableKeyboardInputOption,
                                               kEnableRetinaDisplayOption,
                                               kStartAtLoginOption,
                                               kSuppressLocalClientHelpSheet,
                                               kDisplayLocalClientWindow,
                                               kFirstRun,
                                               kDebuggingDontSendKBEvents,
                                               kStylusPressureSensitivity};
    if (keys.count(key)) return true;
    for (const char* prefix : {kButtonAction, kButtonModifiers, kButtonShortcutCharacter,
                               kButtonShortcutModifiers, kButtonShortcutKeyCode})
        if (key.rfind(prefix, 0) == 0) return true;
    return false;
}

// FNV-1a of the input.
size_t choice(const uint8_t* data, size_t size) {
    uint32_t hash = 2166136261u;
    for (size_t i = 0; i < size; ++i)
        hash = (hash ^ data[i]) * 16777619u;
    return hash;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::QuietLog quiet;
    fuzz::temporaryRoot();
    const std::string path = platform::preferencesFilePath(
        foundation::kApplicationID, cf::kCFPreferencesCurrentUser, cf::kCFPreferencesAnyHost);
    static const bool made = cf::createDirectories(path.substr(0, path.rfind('/')), 0700);
    if (!made) fuzz::fail("preferences folder", path);
    std::remove((path + ".bad").c_str());
    writeFile(path, data, size);

    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const auto original = cf::propertyListFromData(bytes);
    const bool readable = original && original->isDictionary();

    static foundation::QNBPreferences preferences([](const std::string&, uint64_t) {});
    preferences.synchronize();
    // Getters that only read: the ones of no button and the five of one button (the four run
    // the same code on keys of their own), chosen by the input's bytes, so replays choose alike.
    const size_t chosen = choice(data, size);
    (void)preferences.debuggingDontSendKBEvents();
    (void)preferences.stylusPressureSensitivity();
    const uint64_t button = uint64_t(1) << (chosen >> 16) % 4;
    (void)preferences.actionForButton(button);
    (void)preferences.modifiersForButton(button);
    (void)preferences.shortcutCharacterForButton(button);
    (void)preferences.shortcutModifiersForButton(button);
    (void)preferences.shortcutKeyCodeForButton(button);
    // Getters that write their default over a missing or mistyped value: each write reads and
    // rewrites the whole file, so one an input keeps it to two writes instead of a dozen.
    using Getter = void (*)(foundation::QNBPreferences&);
    static constexpr Getter kWritingGetters[] = {
        [](foundation::QNBPreferences& p) { (void)p.currentStateNumber(); },
        [](foundation::QNBPreferences& p) { (void)p.showInMenuBar(); },
        [](foundation::QNBPreferences& p) { (void)p.autoMoveWindowsBackOption(); },
        [](foundation::QNBPreferences& p) { (void)p.presentationMode(); },
        [](foundation::QNBPreferences& p) { (void)p.enableTouchDisplay(); },
        [](foundation::QNBPreferences& p) { (void)p.enableKeyboardInput(); },
        [](foundation::QNBPreferences& p) { (void)p.startAtLogin(); },
        [](foundation::QNBPreferences& p) { (void)p.suppressLocalClientHelpSheet(); },
        [](foundation::QNBPreferences& p) { (void)p.displayLocalClientWindow(); },
        [](foundation::QNBPreferences& p) { (void)p.firstRun(); },
    };
    kWritingGetters[chosen % std::size(kWritingGetters)](preferences);
    preferences.baseSetCurrentState(1); // one write at least, whatever the getters found

    const auto bad = readFile(path + ".bad");
    if (readable) {
        FUZZ_CHECK(!bad, "a readable file was put aside");
    } else {
        FUZZ_CHECK(bad && *bad == bytes, "an unreadable file was not kept as .bad");
    }
    const auto written = readFile(path);
    FUZZ_CHECK(written, "the store's write is missing");
    const auto now = cf::propertyListFromData(std::string_view(*written));
    FUZZ_CHECK(now && now->isDictionary(), "the store wrote something that does not read as a dictionary");
    if (readable) {
        for (const auto& [key, value] : *original->asDictionary()) {
            if (ownedByAGetter(key)) continue;
            const cf::Value* kept = now->find(key);
            FUZZ_CHECK(kept && *kept == value, "key " + key + " changed by a write of another key");
        }
    }
    return 0;
}
