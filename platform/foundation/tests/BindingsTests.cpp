#include "KeyValueTestModels.h"

#include "platform/core/Log.h"

#include <gtest/gtest.h>

using namespace kvtest;
using namespace ns;

namespace {

class Gauge : public NSObject {
  public:
    static const KeyTable& classKeys() {
        static const KeyTable table = KeyTable("Gauge", &NSObject::classKeys())
                                          .property("level", &Gauge::level, &Gauge::setLevel)
                                          .property("on", &Gauge::on, &Gauge::setOn);
        return table;
    }
    const KeyTable& keyTable() const override { return classKeys(); }
    double level() const { return m_level; }
    void setLevel(double v) { m_level = v; }
    bool on() const { return m_on; }
    void setOn(bool v) { m_on = v; }

  private:
    double m_level = 0;
    bool m_on = false;
};

// A control whose value setter keeps the value in range and puts a clamped value straight
// back into its model, as a row setter that corrects its model does.
class Slider : public NSObject {
  public:
    static const KeyTable& classKeys() {
        static const KeyTable table = KeyTable("Slider", &NSObject::classKeys())
                                          .property("value", &Slider::value, &Slider::setValue)
                                          .property("enabled", &Slider::enabled, &Slider::setEnabled)
                                          .exposeBinding("value")
                                          .exposeBinding("enabled")
                                          .exposeBinding("reflectorImage");
        return table;
    }
    const KeyTable& keyTable() const override { return classKeys(); }
    double value() const { return m_value; }
    void setValue(double v) {
        ++pushes;
        m_value = std::min(v, 10.0);
        if (m_value != v && model) model->setValueForKey(m_value, "level");
    }
    bool enabled() const { return m_enabled; }
    void setEnabled(bool v) { m_enabled = v; }

    int pushes = 0;
    std::shared_ptr<Gauge> model;

  private:
    double m_value = -1;
    bool m_enabled = true;
};

} // namespace

TEST(Bindings, BindingPushesOnceThenAtEveryChangeAndNilPushesZero) {
    auto gauge = std::make_shared<Gauge>();
    auto slider = std::make_shared<Slider>();
    gauge->setLevel(4);
    slider->bind("value", gauge, "level");
    EXPECT_EQ(slider->pushes, 1);
    EXPECT_EQ(slider->value(), 4);
    gauge->setValueForKey(6, "level");
    EXPECT_EQ(slider->pushes, 2);
    EXPECT_EQ(slider->value(), 6);

    // A key path through a nil object reads nil: the property's zero is pushed.
    auto person = std::make_shared<Person>();
    slider->bind("enabled", person, "friend.age");
    EXPECT_FALSE(slider->enabled());

    // Rebinding replaces the same-named binding: the old model no longer pushes.
    auto other = std::make_shared<Gauge>();
    other->setLevel(2);
    slider->bind("value", other, "level");
    EXPECT_EQ(slider->value(), 2);
    gauge->setValueForKey(9, "level");
    EXPECT_EQ(slider->value(), 2);
    EXPECT_EQ(slider->infoForBinding("value")->observedObject, other);
}

TEST(Bindings, AChangeReachingABusyBindingIsDropped) {
    auto gauge = std::make_shared<Gauge>();
    auto slider = std::make_shared<Slider>();
    slider->model = gauge;
    slider->bind("value", gauge, "level");
    ASSERT_EQ(slider->pushes, 1);
    // model change → push → the slider's setter corrects the model → its notification finds
    // the binding busy and is dropped, so the slider is set once.
    gauge->setValueForKey(15, "level");
    EXPECT_EQ(slider->pushes, 2);
    EXPECT_EQ(slider->value(), 10);
    EXPECT_EQ(gauge->level(), 10);
    slider->model.reset();
}

TEST(Bindings, WriteBackReachesTheModelAndNeverReturnsIntoItsView) {
    auto gauge = std::make_shared<Gauge>();
    auto slider = std::make_shared<Slider>();
    auto watcher = std::make_shared<Recorder>();
    gauge->addObserver(watcher, "level", NSKeyValueObservingOptionNew);
    slider->bind("value", gauge, "level");
    int pushes = slider->pushes;
    EXPECT_TRUE(slider->writeBackBinding("value", 3.5));
    EXPECT_EQ(gauge->level(), 3.5);
    EXPECT_EQ(slider->pushes, pushes);
    ASSERT_EQ(watcher->notices.size(), 1u); // other observers still hear it
    EXPECT_EQ(watcher->notices[0].newValue, Id(3.5));
    EXPECT_FALSE(slider->writeBackBinding("enabled", true)); // not bound
}

TEST(Bindings, InfoUnbindAndExposedBindingsShareOneStore) {
    auto gauge = std::make_shared<Gauge>();
    auto slider = std::make_shared<Slider>();
    cf::Dictionary options{{"NSContinuouslyUpdatesValue", true}};
    slider->bind("value", gauge, "level", options);
    slider->bind("reflectorImage", gauge, "on");
    auto info = slider->infoForBinding("value");
    ASSERT_TRUE(info);
    EXPECT_EQ(info->observedObject, gauge);
    EXPECT_EQ(info->observedKeyPath, "level");
    EXPECT_EQ(info->options, options);
    ASSERT_TRUE(slider->infoForBinding("reflectorImage"));
    EXPECT_EQ(slider->infoForBinding("reflectorImage")->observedKeyPath, "on");
    EXPECT_EQ(slider->exposedBindings(), (std::vector<std::string>{"value", "enabled", "reflectorImage"}));

    slider->unbind("value");
    EXPECT_FALSE(slider->infoForBinding("value"));
    int pushes = slider->pushes;
    gauge->setValueForKey(8, "level");
    EXPECT_EQ(slider->pushes, pushes);
    slider->unbind("value"); // twice is harmless
}

TEST(Bindings, GoneObjectsAndUnknownNamesLogOneLineAndChangeNothing) {
    auto slider = std::make_shared<Slider>();
    auto gauge = std::make_shared<Gauge>();
    slider->bind("value", gauge, "level");
    platform::LogCapture capture(true);

    slider->bind("value", nullptr, "level");
    EXPECT_EQ(capture.lines().size(), 1u);
    EXPECT_TRUE(slider->infoForBinding("value")); // the old binding stands

    capture.clear();
    slider->bind("volume", gauge, "level");
    EXPECT_EQ(capture.lines().size(), 1u);
    capture.clear();
    slider->bind("value", gauge, "loudness");
    EXPECT_EQ(capture.lines().size(), 1u);
    EXPECT_EQ(slider->infoForBinding("value")->observedKeyPath, "level");

    // The model goes: the binding is gone with it, and a user act logs once.
    capture.clear();
    gauge.reset();
    EXPECT_FALSE(slider->infoForBinding("value"));
    EXPECT_FALSE(slider->writeBackBinding("value", 1));
    EXPECT_EQ(capture.lines().size(), 1u);
    EXPECT_FALSE(slider->writeBackBinding("value", 1));
    EXPECT_EQ(capture.lines().size(), 1u);

    // The view goes: the model changes on without it.
    auto model = std::make_shared<Gauge>();
    slider->bind("value", model, "level");
    slider.reset();
    model->setValueForKey(2, "level");
    EXPECT_EQ(model->level(), 2);
}
