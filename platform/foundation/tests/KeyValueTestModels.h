// Small models and a recording observer for the key-value coding, observing and binding tests.
#pragma once

#include "platform/foundation/NSObject.h"

#include <string>
#include <vector>

namespace kvtest {

using ns::Id;
using ns::KeyTable;

class Person : public ns::NSObject {
  public:
    static const KeyTable& classKeys() {
        static const KeyTable table = KeyTable("Person", &NSObject::classKeys())
                                          .property("name", &Person::name, &Person::setName)
                                          .property("age", &Person::age, &Person::setAge)
                                          .property("first", &Person::first, &Person::setFirst)
                                          .property("last", &Person::last, &Person::setLast)
                                          .property("fullName", &Person::fullName)
                                          .affecting("fullName", {"first", "last"})
                                          .property("friend", &Person::friendOf, &Person::setFriend)
                                          .property("tidy", &Person::tidy, &Person::setTidy)
                                          .property("manual", &Person::manual, &Person::setManual)
                                          .manualNotification("manual");
        return table;
    }
    const KeyTable& keyTable() const override { return classKeys(); }

    std::string name() const { return m_name; }
    void setName(std::string name) { m_name = std::move(name); }
    int64_t age() const { return m_age; }
    void setAge(int64_t age) { m_age = age; }
    std::string first() const { return m_first; }
    void setFirst(std::string v) { m_first = std::move(v); }
    std::string last() const { return m_last; }
    void setLast(std::string v) { m_last = std::move(v); }
    std::string fullName() const { return m_first + " " + m_last; }
    std::shared_ptr<Person> friendOf() const { return m_friend; }
    void setFriend(std::shared_ptr<Person> p) { m_friend = std::move(p); }
    // A setter that brackets its own change, as hand-written setters do.
    std::string tidy() const { return m_tidy; }
    void setTidy(std::string v) {
        willChangeValueForKey("tidy");
        m_tidy = std::move(v);
        didChangeValueForKey("tidy");
    }
    int64_t manual() const { return m_manual; }
    void setManual(int64_t v) { m_manual = v; }

  private:
    std::string m_name, m_first, m_last, m_tidy;
    int64_t m_age = 0, m_manual = 0;
    std::shared_ptr<Person> m_friend;
};

struct Notice {
    std::string keyPath;
    Id newValue, oldValue;
    void* context;
};

class Recorder : public ns::NSObject {
  public:
    void observeValueForKeyPath(const std::string& keyPath, NSObject*, const ns::NSKeyValueChangeInfo& change,
                                void* context) override {
        notices.push_back({keyPath, change.newValue, change.oldValue, context});
        if (log) log->push_back(tag);
    }
    std::vector<Notice> notices;
    std::vector<std::string>* log = nullptr;
    std::string tag;
};

} // namespace kvtest
