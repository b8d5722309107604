// Nibs are C++ builder functions, registered by nib name (a registrar object per nib fills the
// registry before main runs). Loading a nib runs its builder with the owner: the builder creates
// and lays out the objects through NSNib::make, sets outlets by name (which also gives each
// object its outlet's name as identifier, so an element keeps its name whatever the layout),
// connects actions and bindings, and lists the top-level objects. Then every object made goes
// through awakeFromNib, in creation order, the owner last. A window no outlet named takes the
// nib's name as identifier. An unknown name fails (logged) and builds nothing.
//
//     static NSNibRegistrar registrar("Panel", [](NSNib& nib) {
//         auto* owner = nib.owner<PanelController>();
//         if (!owner) return false;
//         auto window = nib.make<NSPanel>(cg::CGRectMake(0, 0, 300, 200), NSWindowStyleMaskTitled);
//         auto ok = nib.make<NSButton>(cg::CGRectMake(200, 10, 80, 30));
//         ok->setTarget(nib.ownerTarget());
//         ok->setAction("ok:");
//         nib.outlet("okButton", owner->okButton, ok);
//         nib.outlet("window", [owner](auto w) { owner->setWindow(w); }, window);
//         return true;
//     });
#pragma once

#include "platform/appkit/NSWindow.h"

#include <functional>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

namespace appkit {

class NSNib {
  public:
    // Builds the nib's objects; NO when it cannot (nothing is awoken then).
    using Builder = std::function<bool(NSNib& nib)>;

    // The registry. A later registration under a taken name replaces it (logged).
    static void registerNib(std::string name, Builder builder);
    static bool isRegistered(const std::string& name);
    // The builder registered under a name (empty when none), so a test can put it back.
    static Builder builderFor(const std::string& name);
    // loadNibNamed:owner:topLevelObjects: — the owner outlives the call; NO for an unknown nib
    // or a builder that failed (both logged).
    static bool loadNibNamed(const std::string& name, NSActionTarget* owner,
                             std::vector<std::shared_ptr<void>>* topLevelObjects = nullptr);

    // ---- What builders use.
    const std::string& name() const { return m_name; }
    // The owner as the builder's class; null when it is another class.
    template <typename T> T* owner() const { return dynamic_cast<T*>(m_owner); }
    // The owner as the target of the objects' actions: null when it is not held by a shared
    // pointer (targets are held weakly).
    std::shared_ptr<NSActionTarget> ownerTarget() const;
    // Creates an object (windows through NSWindow::make) and records it for awakeFromNib.
    template <typename T, typename... Args> std::shared_ptr<T> make(Args&&... args) {
        std::shared_ptr<T> object;
        if constexpr (std::is_base_of_v<NSWindow, T>)
            object = NSWindow::make<T>(std::forward<Args>(args)...);
        else
            object = std::make_shared<T>(std::forward<Args>(args)...);
        Made made;
        made.object = object;
        if constexpr (requires(T & t) { t.awakeFromNib(); })
            made.awake = [object] { object->awakeFromNib(); };
        if constexpr (std::is_base_of_v<NSWindow, T>) made.window = object;
        m_made.push_back(std::move(made));
        return object;
    }
    // Sets an outlet: slot is a member assigned the object (strong or weak) or a function taking
    // it; the object's identifier becomes the outlet's name when it has one.
    template <typename Slot, typename U>
    void outlet(const std::string& outletName, Slot&& slot, const std::shared_ptr<U>& object) {
        if constexpr (std::is_invocable_v<Slot&, const std::shared_ptr<U>&>)
            slot(object);
        else
            slot = object;
        if (!object) return;
        if constexpr (requires(U & u) { u.setIdentifier(outletName); }) object->setIdentifier(outletName);
        for (Made& made : m_made)
            if (made.object == std::static_pointer_cast<const void>(object)) made.named = true;
    }
    void addTopLevelObject(std::shared_ptr<void> object) { m_topLevel.push_back(std::move(object)); }

  private:
    struct Made {
        std::shared_ptr<const void> object;
        std::function<void()> awake;
        std::shared_ptr<NSWindow> window;
        bool named = false;
    };
    NSNib(std::string name, NSActionTarget* owner) : m_name(std::move(name)), m_owner(owner) {}

    std::string m_name;
    NSActionTarget* m_owner;
    std::vector<Made> m_made;
    std::vector<std::shared_ptr<void>> m_topLevel;
};

// Registers a builder when constructed: one static object per nib.
class NSNibRegistrar {
  public:
    NSNibRegistrar(std::string name, NSNib::Builder builder) {
        NSNib::registerNib(std::move(name), std::move(builder));
    }
};

} // namespace appkit
