// What the control tests share: a model with a boolean, a number and a text (key-value
// observable, so bindings can follow it), a target recording the actions it gets with the
// model's state at that moment, and mouse clicks as a window receives them.
#pragma once

#include "platform/appkit/NSControl.h"

#include "WindowTestSupport.h"

#include <string>
#include <vector>

namespace appkit::testing {

class Model : public ns::NSObject {
  public:
    static const ns::KeyTable& classKeys() {
        static const ns::KeyTable table = ns::KeyTable("Model", &ns::NSObject::classKeys())
                                              .property("flag", &Model::flag, &Model::setFlag)
                                              .property("number", &Model::number, &Model::setNumber)
                                              .property("text", &Model::text, &Model::setText);
        return table;
    }
    const ns::KeyTable& keyTable() const override { return classKeys(); }
    bool flag() const { return m_flag; }
    void setFlag(bool flag) {
        m_flag = flag;
        ++flagSets;
    }
    double number() const { return m_number; }
    void setNumber(double number) { m_number = number; }
    const std::string& text() const { return m_text; }
    void setText(std::string text) { m_text = std::move(text); }
    int flagSets = 0;

  private:
    bool m_flag = false;
    double m_number = 0;
    std::string m_text;
};

// Answers "act:", recording the sender and the model's flag as the action arrives.
class Recorder : public NSResponder {
  public:
    static const NSActionTable& classActions() {
        static const NSActionTable table =
            NSActionTable(&NSResponder::classActions()).action("act:", &Recorder::act);
        return table;
    }
    const NSActionTable& actionTable() const override { return classActions(); }
    void act(NSControl* sender) {
        senders.push_back(sender);
        if (model) flagsSeen.push_back(model->flag());
    }
    std::vector<NSControl*> senders;
    std::vector<bool> flagsSeen;
    std::shared_ptr<Model> model;
};

class ControlTest : public WindowTest {
  protected:
    void SetUp() override {
        WindowTest::SetUp();
        window = NSWindow::make(cg::CGRectMake(100, 100, 300, 200), NSWindowStyleMaskTitled);
        window->makeKeyAndOrderFront();
    }
    void mouse(NSEventType type, cg::CGPoint at) {
        window->sendEvent(NSEvent::mouseEvent(type, at, 0, 0, window->windowNumber(), 1, 1));
    }
    // A press and release at a point of the window's base space.
    void click(cg::CGPoint at) {
        mouse(NSEventType::LeftMouseDown, at);
        mouse(NSEventType::LeftMouseUp, at);
    }
    std::shared_ptr<NSWindow> window;
};

} // namespace appkit::testing
