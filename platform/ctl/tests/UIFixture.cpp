// UIFixture.app, the application the fixture road operates, made of the real controls: a
// titled window "UI Fixture" with
//   #pressMe (counts presses into #count), #switch (a switch bound to the model's "enabled";
//   #modelState shows the model), #field (its typed value echoed into #echo), #devices (a
//   collection of three names sorted by name through an array controller), #hoverBox (green,
//   red while the pointer is over it; its value says which), #alertButton (runs the "Fixture
//   alert" alert modally and writes the answer into #echo), #popoverButton (shows a popover
//   with #popoverLabel);
// a status item "Fixture" whose menu holds "Alpha" and "Beta" (each writes its title into
// #echo). Command-W closes the window.
#include "platform/appkit/NSAlert.h"
#include "platform/appkit/NSApplication.h"
#include "platform/appkit/NSArrayController.h"
#include "platform/appkit/NSButton.h"
#include "platform/appkit/NSCollectionView.h"
#include "platform/appkit/NSMenu.h"
#include "platform/appkit/NSPopover.h"
#include "platform/appkit/NSStatusBar.h"
#include "platform/appkit/NSTextField.h"
#include "platform/ctl/tests/HoverBox.h"
#include "platform/foundation/NSNotificationCenter.h"

#include <memory>

namespace {

using appkit::NSView;
using appkit::NSWindow;

class Model : public ns::NSObject {
  public:
    static const ns::KeyTable& classKeys() {
        static const ns::KeyTable table = ns::KeyTable("Model", &NSObject::classKeys())
                                              .property("enabled", &Model::enabled, &Model::setEnabled)
                                              .property("devices", &Model::devices, &Model::setDevices);
        return table;
    }
    const ns::KeyTable& keyTable() const override { return classKeys(); }
    bool enabled() const { return m_enabled; }
    void setEnabled(bool enabled) { m_enabled = enabled; }
    const ns::IdArray& devices() const { return m_devices; }
    void setDevices(ns::IdArray devices) { m_devices = std::move(devices); }

  private:
    bool m_enabled = false;
    ns::IdArray m_devices;
};

class Device : public ns::NSObject {
  public:
    static const ns::KeyTable& classKeys() {
        static const ns::KeyTable table =
            ns::KeyTable("Device", &NSObject::classKeys()).property("name", &Device::name, &Device::setName);
        return table;
    }
    const ns::KeyTable& keyTable() const override { return classKeys(); }
    const std::string& name() const { return m_name; }
    void setName(std::string name) { m_name = std::move(name); }

  private:
    std::string m_name;
};

// A collection row: the device's name as a label.
class DeviceItem : public appkit::NSCollectionViewItem {
  public:
    void loadView() override {
        m_label = appkit::NSTextField::labelWithString("");
        m_label->setFrame(cg::CGRectMake(4, 4, 200, 20));
        auto row = std::make_shared<NSView>(cg::CGRectMake(0, 0, 230, 28));
        row->addSubview(m_label);
        setView(row);
    }
    void setRepresentedObject(const ns::Id& object) override {
        NSCollectionViewItem::setRepresentedObject(object);
        if (auto device = object.objectAs<Device>(); device && m_label)
            m_label->setStringValue(device->name());
    }

  private:
    std::shared_ptr<appkit::NSTextField> m_label;
};

// Command-W performs the close, as the File menu's item would.
class FixtureWindow : public NSWindow {
  public:
    using NSWindow::NSWindow;
    void sendEvent(const appkit::NSEvent& event) override {
        constexpr uint64_t kCommand = 1ull << 20;
        constexpr uint16_t kW = 13;
        if (event.type() == appkit::NSEventType::KeyDown && (event.modifierFlags() & kCommand) &&
            event.keyCode() == kW) {
            close();
            return;
        }
        NSWindow::sendEvent(event);
    }
};

class Controller : public appkit::NSResponder {
  public:
    static const appkit::NSActionTable& classActions() {
        static const appkit::NSActionTable table = appkit::NSActionTable(&NSResponder::classActions())
                                                       .action("press:", &Controller::press)
                                                       .action("switched:", &Controller::switched)
                                                       .action("alert:", &Controller::alert)
                                                       .action("popover:", &Controller::popover)
                                                       .action("choose:", &Controller::choose);
        return table;
    }
    const appkit::NSActionTable& actionTable() const override { return classActions(); }

    void press(appkit::NSButton*) { count->setStringValue(std::to_string(++presses)); }
    void switched(appkit::NSButton*) { modelState->setStringValue(model->enabled() ? "on" : "off"); }
    void alert(appkit::NSButton*) {
        auto alert = appkit::NSAlert::make();
        alert->setMessageText("Fixture alert");
        alert->setInformativeText("Answer me.");
        alert->addButtonWithTitle("OK");
        alert->addButtonWithTitle("Cancel");
        echo->setStringValue("answered " + std::to_string(alert->runModal()));
    }
    void popover(appkit::NSButton* sender) {
        if (!sender) return;
        auto content = std::make_shared<appkit::NSViewController>();
        auto view = std::make_shared<NSView>(cg::CGRectMake(0, 0, 160, 60));
        auto label = appkit::NSTextField::labelWithString("In the popover");
        label->setFrame(cg::CGRectMake(10, 20, 140, 20));
        label->setIdentifier("popoverLabel");
        view->addSubview(label);
        content->setView(view);
        popoverShown = std::make_shared<appkit::NSPopover>();
        popoverShown->setContentViewController(content);
        popoverShown->showRelativeToRect(cg::CGRectZero,
                                         std::static_pointer_cast<NSView>(sender->shared_from_this()),
                                         appkit::NSRectEdge(1));
    }
    void choose(appkit::NSMenuItem* item) {
        if (item) echo->setStringValue(item->title());
    }

    std::shared_ptr<Model> model;
    std::shared_ptr<appkit::NSTextField> count, echo, modelState;
    std::shared_ptr<appkit::NSPopover> popoverShown;
    int presses = 0;
};

class Delegate : public appkit::NSApplicationDelegate {
  public:
    void applicationDidFinishLaunching(const ns::NSNotification&) override {
        controller = std::make_shared<Controller>();
        controller->model = model;
        window = NSWindow::make<FixtureWindow>(cg::CGRectMake(100, 300, 420, 320),
                                               appkit::NSWindowStyleMaskTitled |
                                                   appkit::NSWindowStyleMaskClosable);
        window->setTitle("UI Fixture");
        auto content = window->contentView();
        auto place = [&](const std::shared_ptr<NSView>& view, const std::string& id, cg::CGRect frame) {
            view->setFrame(frame);
            view->setIdentifier(id);
            content->addSubview(view);
        };
        place(appkit::NSButton::buttonWithTitle("Press Me", controller, "press:"), "pressMe",
              cg::CGRectMake(10, 280, 100, 24));
        controller->count = appkit::NSTextField::labelWithString("0");
        place(controller->count, "count", cg::CGRectMake(120, 282, 60, 20));

        auto toggle = appkit::NSButton::checkboxWithTitle("Enabled", controller, "switched:");
        toggle->bind("value", model, "enabled");
        place(toggle, "switch", cg::CGRectMake(10, 250, 100, 24));
        controller->modelState = appkit::NSTextField::labelWithString("off");
        place(controller->modelState, "modelState", cg::CGRectMake(120, 252, 60, 20));

        auto field = appkit::NSTextField::textFieldWithString("");
        place(field, "field", cg::CGRectMake(10, 220, 100, 22));
        controller->echo = appkit::NSTextField::labelWithString("");
        place(controller->echo, "echo", cg::CGRectMake(120, 222, 200, 20));
        ns::NSNotificationCenter::defaultCenter().addObserverForName(
            appkit::NSControlTextDidChangeNotification,
            static_cast<const void*>(static_cast<NSView*>(field.get())),
            [echo = controller->echo, typed = field.get()](const ns::NSNotification&) {
                echo->setStringValue(typed->stringValue());
            });

        place(appkit::NSButton::buttonWithTitle("Alert", controller, "alert:"), "alertButton",
              cg::CGRectMake(10, 190, 100, 24));
        place(appkit::NSButton::buttonWithTitle("Popover", controller, "popover:"), "popoverButton",
              cg::CGRectMake(120, 190, 100, 24));

        // Given unsorted; the array controller sorts them by name.
        ns::IdArray devices;
        for (const char* name : {"Other iPad", "Alpha iPad", "Demo iPad"}) {
            auto device = std::make_shared<Device>();
            device->setName(name);
            devices.push_back(ns::Id(device));
        }
        model->setDevices(devices);
        arranged = std::make_shared<appkit::NSArrayController>();
        arranged->setSortDescriptors({ns::NSSortDescriptor("name", true)});
        arranged->bind("contentArray", model, "devices");
        auto collection = std::make_shared<appkit::NSCollectionView>();
        collection->setItemPrototype([] { return std::make_shared<DeviceItem>(); });
        place(collection, "devices", cg::CGRectMake(10, 10, 230, 90));
        collection->bind("content", arranged, "arrangedObjects");

        const cg::CGRect box = cg::CGRectMake(280, 20, 100, 100);
        place(uitest::HoverBox::make(box), "hoverBox", box);
        window->makeKeyAndOrderFront();

        auto menu = std::make_shared<appkit::NSMenu>("Fixture");
        for (const char* title : {"Alpha", "Beta"})
            menu->addItemWithTitle(title, "choose:")->setTarget(controller);
        status = appkit::NSStatusBar::systemStatusBar()->statusItemWithLength(-1);
        status->setTitle("Fixture");
        status->setMenu(menu);
    }

    std::shared_ptr<Model> model = std::make_shared<Model>();
    std::shared_ptr<Controller> controller;
    std::shared_ptr<appkit::NSArrayController> arranged;
    std::shared_ptr<NSWindow> window;
    std::shared_ptr<appkit::NSStatusItem> status;
};

} // namespace

int main(int argc, char** argv) {
    return appkit::NSApplicationMain(argc, argv, [] { return std::make_shared<Delegate>(); });
}
