// The application the `platformctl ui` tests operate, assembled as UITestApp.app: a titled
// window "UI Test" with
//   #pressMe (counts presses into #count), #field (its value echoed into #echo), #slider (a
//   number), #off (disabled), #block (blocks this window's input), #menuButton (shows a menu of
//   "Alpha" (writes "Alpha" into #echo), "Beta" (disabled) and "Gamma" (checked)), #hoverBox
//   (green, red while the pointer is over it; its value says which), #vanish (gone once
//   pressed), #devices (a list of items "Alpha iPad", "Demo iPad", "Other iPad", each with a
//   #connectButton "Connect" that turns into "Disconnect");
// a second window "Tools" with #unblock, closable; and a status item "Status" whose press
// shows the same menu.
#include "platform/appkit/NSApplication.h"
#include "platform/appkit/tests/AccessibilityTestViews.h"
#include "platform/ctl/tests/HoverBox.h"

#include <memory>

namespace {

using appkit::NSApp;
using appkit::NSView;
using appkit::NSWindow;
using appkit::testing::AXTestView;
using appkit::testing::AXTestWindow;

class Delegate : public appkit::NSApplicationDelegate {
  public:
    void applicationDidFinishLaunching(const ns::NSNotification&) override {
        window = NSWindow::make(cg::CGRectMake(100, 300, 400, 300), appkit::NSWindowStyleMaskTitled);
        window->setTitle("UI Test");
        auto content = window->contentView();
        auto add = [&](const std::string& id, const std::string& role, cg::CGRect frame,
                       const std::string& title = {}) {
            auto v = std::make_shared<AXTestView>(frame, role, title);
            v->setIdentifier(id);
            content->addSubview(v);
            return v;
        };
        auto count = add("count", "AXStaticText", cg::CGRectMake(120, 250, 60, 20));
        count->value = cf::Value("0");
        auto press = add("pressMe", "AXButton", cg::CGRectMake(10, 250, 100, 24), "Press Me");
        press->actions = {"AXPress"};
        press->onAction = [this, count](const std::string&) {
            count->value = cf::Value(std::to_string(++presses));
        };
        auto echo = add("echo", "AXStaticText", cg::CGRectMake(120, 220, 200, 20));
        echo->value = cf::Value("");
        auto field = add("field", "AXTextField", cg::CGRectMake(10, 220, 100, 22));
        field->value = cf::Value("");
        field->settable = true;
        field->onSet = [echo](const cf::Value& v) { echo->value = v; };
        auto slider = add("slider", "AXSlider", cg::CGRectMake(10, 190, 100, 20));
        slider->value = cf::Value(int64_t(5));
        slider->settable = true;
        auto off = add("off", "AXButton", cg::CGRectMake(10, 160, 100, 24), "Off");
        off->actions = {"AXPress"};
        off->enabled = false;
        auto block = add("block", "AXButton", cg::CGRectMake(120, 160, 100, 24), "Block");
        block->actions = {"AXPress"};
        block->onAction = [this](const std::string&) {
            NSWindow* blocked = window.get();
            NSApp()->setWindowBlockedHandler([blocked](const NSWindow& w) { return &w == blocked; });
        };
        auto menuButton = add("menuButton", "AXButton", cg::CGRectMake(10, 130, 100, 24), "Menu");
        menuButton->actions = {"AXShowMenu"};
        menuButton->onAction = [this, echo](const std::string&) { openMenu(echo); };
        auto vanish = add("vanish", "AXButton", cg::CGRectMake(120, 130, 100, 24), "Vanish");
        vanish->actions = {"AXPress"};
        std::weak_ptr<AXTestView> weakVanish = vanish;
        vanish->onAction = [weakVanish](const std::string&) {
            if (auto v = weakVanish.lock()) v->removeFromSuperview();
        };
        auto hover = uitest::HoverBox::make(cg::CGRectMake(250, 20, 100, 100));
        hover->setIdentifier("hoverBox");
        content->addSubview(hover);
        auto devices = add("devices", "AXList", cg::CGRectMake(10, 10, 230, 110));
        const char* names[] = {"Alpha iPad", "Demo iPad", "Other iPad"};
        for (int i = 0; i < 3; ++i) {
            auto item = std::make_shared<AXTestView>(cg::CGRectMake(0, 74 - 36 * i, 230, 36), "AXGroup");
            devices->addSubview(item);
            item->addSubview(
                std::make_shared<AXTestView>(cg::CGRectMake(0, 8, 120, 20), "AXStaticText", names[i]));
            auto connect =
                std::make_shared<AXTestView>(cg::CGRectMake(130, 6, 90, 24), "AXButton", "Connect");
            connect->setIdentifier("connectButton");
            connect->actions = {"AXPress"};
            AXTestView* self = connect.get();
            connect->onAction = [self](const std::string&) { self->title = "Disconnect"; };
            item->addSubview(connect);
        }
        window->makeKeyAndOrderFront();

        tools = NSWindow::make(cg::CGRectMake(700, 300, 200, 100),
                               appkit::NSWindowStyleMaskTitled | appkit::NSWindowStyleMaskClosable);
        tools->setTitle("Tools");
        auto unblock = std::make_shared<AXTestView>(cg::CGRectMake(10, 10, 100, 24), "AXButton", "Unblock");
        unblock->setIdentifier("unblock");
        unblock->actions = {"AXPress"};
        unblock->onAction = [](const std::string&) { NSApp()->setWindowBlockedHandler(nullptr); };
        tools->contentView()->addSubview(unblock);
        tools->orderFront();

        status = NSWindow::make<AXTestWindow>(cg::CGRectMake(1200, 878, 60, 22),
                                              appkit::NSWindowStyleMaskBorderless, "AXMenuBarItem");
        status->setTitle("Status");
        status->identifier = "statusItem";
        status->actions = {"AXPress"};
        status->setLevel(appkit::NSStatusWindowLevel);
        status->onAction = [this, echo](const std::string&) { openMenu(echo); };
        status->orderFront();
    }

    void openMenu(const std::shared_ptr<AXTestView>& echo) {
        menu = NSWindow::make<AXTestWindow>(cg::CGRectMake(100, 200, 240, 60),
                                            appkit::NSWindowStyleMaskBorderless, "AXMenu");
        menu->setLevel(appkit::NSPopUpMenuWindowLevel);
        const char* titles[] = {"Alpha", "Beta", "Gamma"};
        for (int i = 0; i < 3; ++i) {
            auto item = std::make_shared<AXTestView>(cg::CGRectMake(0, 40 - 20 * i, 240, 20), "AXMenuItem",
                                                     titles[i]);
            item->actions = {"AXPress"};
            item->enabled = i != 1;
            if (i == 2) item->value = cf::Value(int64_t(1));
            std::string title = titles[i];
            item->onAction = [this, echo, title](const std::string&) {
                echo->value = cf::Value(title);
                if (menu) menu->close();
            };
            menu->contentView()->addSubview(item);
        }
        menu->orderFront();
    }

    std::shared_ptr<NSWindow> window, tools, menu;
    std::shared_ptr<AXTestWindow> status;
    int presses = 0;
};

} // namespace

int main(int argc, char** argv) {
    return appkit::NSApplicationMain(argc, argv, [] { return std::make_shared<Delegate>(); });
}
