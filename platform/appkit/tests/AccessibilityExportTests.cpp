// The accessibility export, asked directly: the tree (flattening, hidden views, window order,
// sheets, status items, menus), attributes in Core Graphics space, ids never reused, settings,
// and actions validated before the answer and performed after it.
#include "platform/appkit/NSAccessibilityExporter.h"
#include "platform/coregraphics/CGWindow.h"

#include "AccessibilityTestViews.h"
#include "WindowTestSupport.h"

#include <unistd.h>

namespace appkit {

using testing::AXTestView;
using testing::AXTestWindow;

class AccessibilityExport : public testing::WindowTest {
  protected:
    void SetUp() override {
        WindowTest::SetUp();
        m_exporter = std::make_shared<NSAccessibilityExporter>(::getpid(), "Exported");
    }
    void TearDown() override {
        NSApp()->setWindowBlockedHandler(nullptr);
        WindowTest::TearDown();
    }
    ax::AXUIElement app() const { return m_exporter->applicationElement(); }
    ax::AXError copy(const ax::AXUIElement& e, std::string_view attribute, ax::AXAttributeValue* value) {
        return m_exporter->copyAttributeValue(e, attribute, value);
    }
    std::vector<ax::AXUIElement> children(const ax::AXUIElement& e,
                                          std::string_view attribute = "AXChildren") {
        ax::AXAttributeValue value;
        EXPECT_EQ(copy(e, attribute, &value), ax::kAXErrorSuccess);
        std::vector<ax::AXUIElement> out;
        if (auto* list = std::get_if<std::vector<ax::AXUIElementRef>>(&value))
            for (auto& r : *list)
                out.push_back(*r);
        return out;
    }
    cf::Value plain(const ax::AXUIElement& e, std::string_view attribute) {
        ax::AXAttributeValue value;
        EXPECT_EQ(copy(e, attribute, &value), ax::kAXErrorSuccess) << attribute;
        auto* v = std::get_if<cf::Value>(&value);
        return v ? *v : cf::Value("<none>");
    }
    cg::CGRect frame(const ax::AXUIElement& e) {
        ax::AXAttributeValue value;
        cg::CGRect r = cg::CGRectNull;
        EXPECT_EQ(copy(e, "AXFrame", &value), ax::kAXErrorSuccess);
        if (auto* v = std::get_if<ax::AXValueRef>(&value))
            ax::AXValueGetValue(*v, ax::kAXValueCGRectType, &r);
        return r;
    }
    // A titled window whose content is (x, y, 300, 200) in Cocoa space, on screen.
    template <typename W = NSWindow, typename... Extra>
    std::shared_ptr<W> window(const std::string& title, double x, double y, Extra&&... extra) {
        auto w = NSWindow::make<W>(cg::CGRectMake(x, y, 300, 200), NSWindowStyleMaskTitled,
                                   std::forward<Extra>(extra)...);
        w->setTitle(title);
        w->orderFront();
        return w;
    }
    std::shared_ptr<AXTestView> add(const std::shared_ptr<NSView>& parent, const std::string& role,
                                    cg::CGRect frame = cg::CGRectMake(10, 20, 50, 30),
                                    const std::string& title = {}) {
        auto v = std::make_shared<AXTestView>(frame, role, title);
        parent->addSubview(v);
        return v;
    }

    std::shared_ptr<NSAccessibilityExporter> m_exporter;
};

TEST_F(AccessibilityExport, FlattensPlainContainersSkipsHiddenViewsAndListsWindowsFrontToBack) {
    auto back = window("Back", 100, 100);
    auto front = window("Front", 500, 100);
    auto container = std::make_shared<NSView>(cg::CGRectMake(0, 0, 200, 200)); // plain: flattened
    front->contentView()->addSubview(container);
    auto button = add(container, "AXButton");
    auto group = std::make_shared<NSView>(cg::CGRectMake(0, 100, 100, 100));
    group->setIdentifier("panel"); // a plain view with an identifier is a group
    front->contentView()->addSubview(group);
    auto inGroup = add(group, "AXStaticText");
    auto hidden = add(front->contentView(), "AXGroup");
    add(hidden, "AXButton");
    hidden->setHidden(true);
    auto offScreen = window("Hidden", 900, 100);
    offScreen->orderOut();

    auto windows = children(app());
    ASSERT_EQ(windows.size(), 2u);
    EXPECT_EQ(windows[0], m_exporter->elementForWindow(front));
    EXPECT_EQ(windows[1], m_exporter->elementForWindow(back));
    EXPECT_EQ(children(app(), "AXWindows"), windows);
    back->orderFront();
    EXPECT_EQ(children(app())[0], m_exporter->elementForWindow(back));

    auto inFront = children(m_exporter->elementForWindow(front));
    ASSERT_EQ(inFront.size(), 2u);
    EXPECT_EQ(inFront[0], m_exporter->elementForView(button));
    EXPECT_EQ(inFront[1], m_exporter->elementForView(group));
    EXPECT_EQ(plain(inFront[1], "AXRole"), cf::Value("AXGroup"));
    EXPECT_EQ(plain(inFront[1], "AXIdentifier"), cf::Value("panel"));
    EXPECT_EQ(children(inFront[1]), std::vector<ax::AXUIElement>{m_exporter->elementForView(inGroup)});

    ax::AXAttributeValue parent;
    ASSERT_EQ(copy(m_exporter->elementForView(inGroup), "AXParent", &parent), ax::kAXErrorSuccess);
    EXPECT_EQ(**std::get_if<ax::AXUIElementRef>(&parent), m_exporter->elementForView(group));
    ASSERT_EQ(copy(m_exporter->elementForView(button), "AXParent", &parent), ax::kAXErrorSuccess);
    EXPECT_EQ(**std::get_if<ax::AXUIElementRef>(&parent), m_exporter->elementForWindow(front));
    EXPECT_EQ(plain(app(), "AXRole"), cf::Value("AXApplication"));
    EXPECT_EQ(plain(app(), "AXTitle"), cf::Value("Exported"));
}

TEST_F(AccessibilityExport, StatusItemsSitInTheExtrasMenuBarSheetsUnderTheirWindowAndMenusLast) {
    auto main = window("Main", 100, 100);
    auto sheet = window<AXTestWindow>("", 120, 100, "AXSheet");
    sheet->parent = main;
    auto status = NSWindow::make<AXTestWindow>(cg::CGRectMake(1200, 878, 30, 22), NSWindowStyleMaskBorderless,
                                               "AXMenuBarItem");
    status->setLevel(NSStatusWindowLevel);
    status->orderFront();
    auto menu = NSWindow::make<AXTestWindow>(cg::CGRectMake(1200, 600, 240, 60), NSWindowStyleMaskBorderless,
                                             "AXMenu");
    menu->setLevel(NSPopUpMenuWindowLevel);
    menu->orderFront();

    auto top = children(app());
    ASSERT_EQ(top.size(), 3u);
    EXPECT_EQ(top[0], m_exporter->elementForWindow(main));
    EXPECT_EQ(top[1], (ax::AXUIElement{::getpid(), kAXExtrasMenuBarSerial}));
    EXPECT_EQ(top[2], m_exporter->elementForWindow(menu));
    EXPECT_EQ(plain(top[1], "AXSubrole"), cf::Value("AXExtrasMenuBar"));
    EXPECT_EQ(children(top[1]), std::vector<ax::AXUIElement>{m_exporter->elementForWindow(status)});
    EXPECT_EQ(children(top[0]), std::vector<ax::AXUIElement>{m_exporter->elementForWindow(sheet)});
    EXPECT_EQ(children(app(), "AXWindows"), std::vector<ax::AXUIElement>{top[0]});
    EXPECT_EQ(plain(m_exporter->elementForWindow(sheet), "AXModal"), cf::Value(true));
    ax::AXAttributeValue parent;
    ASSERT_EQ(copy(m_exporter->elementForWindow(status), "AXParent", &parent), ax::kAXErrorSuccess);
    EXPECT_EQ(**std::get_if<ax::AXUIElementRef>(&parent), top[1]);
}

TEST_F(AccessibilityExport, AnswersTheSeamsValuesAndFramesInCoreGraphicsSpace) {
    auto w = window("Values", 100, 500);
    auto field = add(w->contentView(), "AXTextField", cg::CGRectMake(10, 20, 50, 30), "Name");
    field->setIdentifier("field");
    field->value = cf::Value("text");
    field->description = "a field";
    field->acceptsFocus = true;
    auto disabled = add(w->contentView(), "AXButton", cg::CGRectMake(100, 0, 40, 20));
    disabled->enabled = false;
    auto e = m_exporter->elementForView(field);

    // Content (100, 500) in Cocoa space on a 900-point display, title bar 22 points.
    EXPECT_TRUE(
        cg::CGRectEqualToRect(frame(m_exporter->elementForWindow(w)), cg::CGRectMake(100, 178, 300, 222)));
    EXPECT_TRUE(cg::CGRectEqualToRect(frame(e), cg::CGRectMake(110, 350, 50, 30))) << frame(e).origin.y;
    ax::AXAttributeValue v;
    ASSERT_EQ(copy(e, "AXPosition", &v), ax::kAXErrorSuccess);
    cg::CGPoint p;
    ASSERT_TRUE(ax::AXValueGetValue(*std::get_if<ax::AXValueRef>(&v), ax::kAXValueCGPointType, &p));
    EXPECT_EQ(p.x, 110);
    EXPECT_EQ(p.y, 350);
    // The window list and the export agree to the double.
    auto info = cg::CGWindowListCreateDescriptionFromArray({w->windowNumber()});
    cg::CGRect listed;
    ASSERT_TRUE(info &&
                cg::CGRectMakeWithDictionaryRepresentation(info->at(0)->find(cg::kCGWindowBounds), &listed));
    EXPECT_TRUE(cg::CGRectEqualToRect(listed, frame(m_exporter->elementForWindow(w))));

    EXPECT_EQ(plain(e, "AXRole"), cf::Value("AXTextField"));
    EXPECT_EQ(plain(e, "AXTitle"), cf::Value("Name"));
    EXPECT_EQ(plain(e, "AXValue"), cf::Value("text"));
    EXPECT_EQ(plain(e, "AXDescription"), cf::Value("a field"));
    EXPECT_EQ(plain(e, "AXIdentifier"), cf::Value("field"));
    EXPECT_EQ(plain(e, "AXEnabled"), cf::Value(true));
    EXPECT_EQ(plain(m_exporter->elementForView(disabled), "AXEnabled"), cf::Value(false));
    EXPECT_EQ(plain(e, "AXFocused"), cf::Value(false));
    w->makeKeyWindow();
    ASSERT_TRUE(w->makeFirstResponder(field));
    EXPECT_EQ(plain(e, "AXFocused"), cf::Value(true));
    EXPECT_EQ(plain(m_exporter->elementForWindow(w), "AXFocused"), cf::Value(true));
    EXPECT_EQ(plain(m_exporter->elementForWindow(w), "AXTitle"), cf::Value("Values"));
    EXPECT_EQ(plain(m_exporter->elementForWindow(w), "AXSubrole"), cf::Value("AXStandardWindow"));

    EXPECT_EQ(copy(e, "AXSubrole", &v), ax::kAXErrorNoValue);
    EXPECT_EQ(copy(m_exporter->elementForView(disabled), "AXValue", &v), ax::kAXErrorNoValue);
    EXPECT_EQ(copy(e, "AXNoSuchThing", &v), ax::kAXErrorAttributeUnsupported);
    EXPECT_EQ(copy({::getpid(), 999999}, "AXRole", &v), ax::kAXErrorInvalidUIElement);
}

TEST_F(AccessibilityExport, IdsAreNeverReusedAndGoneElementsSaySo) {
    auto w = window("Ids", 100, 100);
    auto first = add(w->contentView(), "AXButton");
    const auto firstId = m_exporter->elementForView(first);
    EXPECT_EQ(m_exporter->elementForView(first), firstId); // stable while it lives
    first->removeFromSuperview();
    ax::AXAttributeValue v;
    EXPECT_EQ(copy(firstId, "AXRole", &v), ax::kAXErrorInvalidUIElement); // out of its window
    first.reset();
    std::vector<uint64_t> seen{firstId.id};
    for (int i = 0; i < 200; ++i) { // enough for the dead ones to be swept
        auto v2 = add(w->contentView(), "AXButton");
        auto id = m_exporter->elementForView(v2).id;
        EXPECT_EQ(std::count(seen.begin(), seen.end(), id), 0);
        seen.push_back(id);
        v2->removeFromSuperview();
    }
    EXPECT_EQ(copy(firstId, "AXRole", &v), ax::kAXErrorInvalidUIElement);
    auto windowId = m_exporter->elementForWindow(w);
    w->close();
    EXPECT_EQ(copy(windowId, "AXTitle", &v), ax::kAXErrorInvalidUIElement);
}

TEST_F(AccessibilityExport, ActionsAreCheckedBeforeTheAnswerAndPerformedAfterIt) {
    auto w = window("Actions", 100, 100);
    auto button = add(w->contentView(), "AXButton");
    button->actions = {"AXPress"};
    auto e = m_exporter->elementForView(button);
    std::function<void()> deed;
    ASSERT_EQ(m_exporter->performAction(e, "AXPress", &deed), ax::kAXErrorSuccess);
    EXPECT_TRUE(button->performed.empty()); // not before the answer is sent
    ASSERT_TRUE(deed);
    deed();
    EXPECT_EQ(button->performed, std::vector<std::string>{"AXPress"});

    std::function<void()> none;
    EXPECT_EQ(m_exporter->performAction(e, "AXShowMenu", &none), ax::kAXErrorActionUnsupported);
    button->enabled = false;
    EXPECT_EQ(m_exporter->performAction(e, "AXPress", &none), ax::kAXErrorCannotComplete);
    button->enabled = true;
    NSApp()->setWindowBlockedHandler([&](const NSWindow& window) { return &window == w.get(); });
    EXPECT_EQ(m_exporter->performAction(e, "AXPress", &none), ax::kAXErrorCannotComplete);
    EXPECT_EQ(plain(m_exporter->elementForWindow(w), "AXEnabled"), cf::Value(false));
    NSApp()->setWindowBlockedHandler(nullptr);
    EXPECT_FALSE(none);
    EXPECT_EQ(button->performed.size(), 1u);

    // A window raises: ordered front and made key.
    auto other = window("Other", 500, 100);
    ASSERT_EQ(m_exporter->performAction(m_exporter->elementForWindow(w), "AXRaise", &deed),
              ax::kAXErrorSuccess);
    deed();
    EXPECT_TRUE(w->isKeyWindow());
    EXPECT_EQ(children(app())[0], m_exporter->elementForWindow(w));

    auto gone = e;
    button->removeFromSuperview();
    EXPECT_EQ(m_exporter->performAction(gone, "AXPress", &none), ax::kAXErrorInvalidUIElement);
}

TEST_F(AccessibilityExport, SettingsTakeTheirTypeOnlyAndMoveAndResizeWindows) {
    auto w = window("Settings", 100, 500);
    auto slider = add(w->contentView(), "AXSlider");
    slider->value = cf::Value(int64_t(3));
    slider->settable = true;
    auto label = add(w->contentView(), "AXStaticText");
    label->value = cf::Value("fixed");
    auto e = m_exporter->elementForView(slider);

    EXPECT_EQ(m_exporter->setAttributeValue(e, "AXValue", cf::Value("high")), ax::kAXErrorIllegalArgument);
    EXPECT_EQ(slider->value, cf::Value(int64_t(3)));
    EXPECT_EQ(m_exporter->setAttributeValue(e, "AXValue", cf::Value(int64_t(7))), ax::kAXErrorSuccess);
    EXPECT_EQ(plain(e, "AXValue"), cf::Value(int64_t(7)));
    cg::CGPoint point{1, 2};
    EXPECT_EQ(m_exporter->setAttributeValue(e, "AXValue", ax::AXValueCreate(ax::kAXValueCGPointType, &point)),
              ax::kAXErrorIllegalArgument);
    EXPECT_EQ(m_exporter->setAttributeValue(m_exporter->elementForView(label), "AXValue", cf::Value("x")),
              ax::kAXErrorAttributeUnsupported);
    slider->enabled = false;
    EXPECT_EQ(m_exporter->setAttributeValue(e, "AXValue", cf::Value(int64_t(1))), ax::kAXErrorCannotComplete);
    EXPECT_EQ(slider->value, cf::Value(int64_t(7)));

    auto we = m_exporter->elementForWindow(w);
    cg::CGPoint to{300, 40};
    ASSERT_EQ(
        m_exporter->setAttributeValue(we, "AXPosition", ax::AXValueCreate(ax::kAXValueCGPointType, &to)),
        ax::kAXErrorSuccess);
    EXPECT_TRUE(cg::CGRectEqualToRect(frame(we), cg::CGRectMake(300, 40, 300, 222)));
    cg::CGSize size{400, 100};
    ASSERT_EQ(m_exporter->setAttributeValue(we, "AXSize", ax::AXValueCreate(ax::kAXValueCGSizeType, &size)),
              ax::kAXErrorSuccess);
    EXPECT_TRUE(cg::CGRectEqualToRect(frame(we), cg::CGRectMake(300, 40, 400, 100))); // top-left kept
    auto info = cg::CGWindowListCreateDescriptionFromArray({w->windowNumber()});
    cg::CGRect listed;
    ASSERT_TRUE(info &&
                cg::CGRectMakeWithDictionaryRepresentation(info->at(0)->find(cg::kCGWindowBounds), &listed));
    EXPECT_TRUE(cg::CGRectEqualToRect(listed, cg::CGRectMake(300, 40, 400, 100)));
    EXPECT_EQ(m_exporter->setAttributeValue(we, "AXPosition", cf::Value("left")),
              ax::kAXErrorIllegalArgument);
    cg::CGSize nan{std::nan(""), 3};
    EXPECT_EQ(m_exporter->setAttributeValue(we, "AXSize", ax::AXValueCreate(ax::kAXValueCGSizeType, &nan)),
              ax::kAXErrorIllegalArgument);

    EXPECT_FALSE(w->isMainWindow());
    ASSERT_EQ(m_exporter->setAttributeValue(we, "AXMain", cf::Value(true)), ax::kAXErrorSuccess);
    EXPECT_TRUE(w->isMainWindow());
    EXPECT_TRUE(w->isKeyWindow());

    bool activated = false;
    m_exporter->setActivationHandlers([&] { return activated; }, [&] { activated = true; });
    EXPECT_EQ(plain(app(), "AXFrontmost"), cf::Value(false));
    ASSERT_EQ(m_exporter->setAttributeValue(app(), "AXFrontmost", cf::Value(true)), ax::kAXErrorSuccess);
    EXPECT_EQ(plain(app(), "AXFrontmost"), cf::Value(true));
    EXPECT_EQ(m_exporter->setAttributeValue(app(), "AXFrontmost", cf::Value(int64_t(1))),
              ax::kAXErrorIllegalArgument);
}

TEST_F(AccessibilityExport, TheFacadeServesTheProcessItselfFromItsMainThread) {
    auto exporter = NSAccessibilityExporter::installForProcess("Self");
    ASSERT_TRUE(exporter);
    auto w = window("Self", 100, 100);
    auto button = add(w->contentView(), "AXButton", cg::CGRectMake(10, 20, 50, 30), "Go");
    button->actions = {"AXPress"};
    auto e = std::make_shared<const ax::AXUIElement>(exporter->elementForView(button));
    std::vector<ax::AXAttributeValue> values;
    std::vector<ax::AXError> errors;
    ASSERT_EQ(
        ax::AXUIElementCopyMultipleAttributeValues(e, {"AXRole", "AXTitle", "AXValue"}, &values, &errors),
        ax::kAXErrorSuccess);
    ASSERT_EQ(values.size(), 3u);
    EXPECT_EQ(*std::get_if<cf::Value>(&values[0]), cf::Value("AXButton"));
    EXPECT_EQ(*std::get_if<cf::Value>(&values[1]), cf::Value("Go"));
    EXPECT_EQ(errors, (std::vector<ax::AXError>{0, 0, ax::kAXErrorNoValue}));
    std::vector<std::string> actions;
    ASSERT_EQ(ax::AXUIElementCopyActionNames(e, &actions), ax::kAXErrorSuccess);
    EXPECT_EQ(actions, std::vector<std::string>{"AXPress"});
    EXPECT_EQ(ax::AXUIElementPerformAction(e, "AXPress"), ax::kAXErrorSuccess);
    EXPECT_EQ(button->performed, std::vector<std::string>{"AXPress"});
    EXPECT_EQ(ax::AXUIElementCopyMultipleAttributeValues(e, {}, &values, &errors),
              ax::kAXErrorIllegalArgument);
    ax::AXRemoveResponder(::getpid());
}

} // namespace appkit
