// The preferences window: one floating panel with a toolbar of two items, General and Stylus.
// The manager, a window controller made once for the process, loads the panel from its nib,
// swaps the two panes' views into the panel's content view and resizes the panel to each pane
// with its top edge fixed. The menu's Preferences item toggles the panel.
#pragma once

#include "platform/appkit/NSToolbar.h"
#include "platform/appkit/NSWindow.h"
#include "platform/appkit/NSWindowController.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace foundation {
class QNBPreferences;
}

namespace host {

class QNBTesselPreferencesViewController;
class QNBScrivetPreferencesViewController;

inline constexpr char kQNBTesselPreferencesWindowNibName[] = "QNBTesselPreferencesWindow";
inline constexpr char kQNBGeneralPreferencesItemIdentifier[] = "General";
inline constexpr char kQNBStylusPreferencesItemIdentifier[] = "Stylus";

// The main bundle's localised text of key (the key itself without a bundle or a translation).
std::string QNBLocalizedString(const std::string& key);

// The preferences panel: a panel with no behaviour of its own.
class QNBPreferencesPanel : public appkit::NSPanel {
  public:
    using NSPanel::NSPanel;
};

class QNBPreferencesManager : public appkit::NSWindowController, public appkit::NSToolbarDelegate {
  public:
    // The process's manager, made on first use (the panel is loaded then) over the process's
    // shared preferences.
    static std::shared_ptr<QNBPreferencesManager> sharedInstance();
    // A manager over the given preferences, its panel loaded; the preferences outlive it.
    static std::shared_ptr<QNBPreferencesManager> make(foundation::QNBPreferences& preferences);
    explicit QNBPreferencesManager(foundation::QNBPreferences& preferences);
    ~QNBPreferencesManager() override;

    static const appkit::NSActionTable& classActions();
    const appkit::NSActionTable& actionTable() const override { return classActions(); }

    foundation::QNBPreferences& preferences() const { return m_preferences; }

    // ---- Showing the panel. Without a panel (a missing nib) all of these do nothing.
    // The menu's Preferences item: closes the panel when it is visible, else displays it.
    void togglePreferencesPanelDisplay(appkit::NSActionTarget* sender);
    // Centres the panel on its screen and makes it key and front.
    void displayPreferencesPanel(appkit::NSActionTarget* sender);
    // Close the panel as its close button does.
    void closePreferencesPanel(appkit::NSActionTarget* sender);
    void closePanels(appkit::NSActionTarget* sender);
    // When the host becomes active: a visible panel comes to the front.
    void activatePanels(appkit::NSActionTarget* sender);

    // ---- Panes: 0 General, 1 Stylus.
    uint64_t selectedPreferenceItemIndex() const { return m_selectedPreferenceItemIndex; }
    void setSelectedPreferenceItemIndex(uint64_t index);
    // The toolbar items' action: Stylus for its item, General for anything else.
    void toolbarItemPressed(appkit::NSToolbarItem* sender);
    // Gives the panel a content area of size, keeping its left edge and its top edge.
    void resizeWindowForContentSize(cg::CGSize size);

    // ---- Toolbar delegate (for the manager's own toolbar only).
    std::vector<std::string> toolbarAllowedItemIdentifiers(appkit::NSToolbar& toolbar) override;
    std::vector<std::string> toolbarDefaultItemIdentifiers(appkit::NSToolbar& toolbar) override;
    std::vector<std::string> toolbarSelectableItemIdentifiers(appkit::NSToolbar& toolbar) override;
    std::shared_ptr<appkit::NSToolbarItem> toolbarItemForItemIdentifier(appkit::NSToolbar& toolbar,
                                                                        const std::string& identifier,
                                                                        bool willBeInserted) override;

    // ---- Outlets the nib sets.
    std::shared_ptr<QNBPreferencesPanel> preferencesPanel;
    std::shared_ptr<appkit::NSToolbar> preferencesToolbar;
    std::shared_ptr<QNBTesselPreferencesViewController> tesselPreferencesViewController;
    std::shared_ptr<QNBScrivetPreferencesViewController> scrivetPreferencesViewController;
    std::shared_ptr<appkit::NSToolbarItem> tesselPreferencesItem;
    std::shared_ptr<appkit::NSToolbarItem> scrivetPreferencesItem;

  private:
    // The init's work: the nib, the panel's title and behaviour, the items' labels, General.
    void loadPanel();
    std::vector<std::string> itemIdentifiers(const appkit::NSToolbar& toolbar) const;

    foundation::QNBPreferences& m_preferences;
    uint64_t m_selectedPreferenceItemIndex = 0;
};

} // namespace host
