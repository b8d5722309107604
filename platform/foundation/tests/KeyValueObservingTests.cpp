#include "KeyValueTestModels.h"

#include "platform/core/Log.h"
#include "platform/foundation/NSSortDescriptor.h"

#include <gtest/gtest.h>

using namespace kvtest;
using namespace ns;

TEST(KeyValueObserving, CodingReadsAndWritesThroughTheTablesAndKeyPaths) {
    auto alice = std::make_shared<Person>(), bob = std::make_shared<Person>();
    alice->setValueForKey("Alice", "name");
    alice->setValueForKey(41, "age");
    alice->setValueForKey(bob, "friend");
    alice->setValueForKeyPath("Bob", "friend.name");
    EXPECT_EQ(alice->name(), "Alice");
    EXPECT_EQ(alice->age(), 41);
    EXPECT_EQ(bob->name(), "Bob");
    EXPECT_EQ(alice->valueForKeyPath("friend.name"), Id("Bob"));
    EXPECT_EQ(alice->valueForKey("friend").object(), bob);
    // A nil object in the middle of a path answers nil, quietly.
    platform::LogCapture capture(true);
    EXPECT_TRUE(bob->valueForKeyPath("friend.name").isNil());
    EXPECT_TRUE(capture.lines().empty());
}

TEST(KeyValueObserving, UnknownKeysAndNilScalarsChangeNothingAndLogOneLine) {
    auto person = std::make_shared<Person>();
    person->setName("Ann");
    platform::LogCapture capture(true);
    platform::Error error;
    EXPECT_TRUE(person->valueForKey("shoeSize", &error).isNil());
    EXPECT_EQ(error.domain, platform::NSCocoaErrorDomain);
    EXPECT_EQ(capture.lines().size(), 1u);
    EXPECT_TRUE(capture.contains("not key value coding-compliant for the key shoeSize"));

    capture.clear();
    person->setValueForKeyPath("x", "name.length");
    person->setValueForKey("x", "fullName"); // read-only
    EXPECT_EQ(capture.lines().size(), 2u);
    EXPECT_EQ(person->name(), "Ann");

    capture.clear();
    person->setAge(7);
    person->setValueForKey(Id(), "age");
    EXPECT_EQ(person->age(), 7);
    EXPECT_EQ(capture.lines().size(), 1u);
    EXPECT_TRUE(capture.contains("could not set nil as the value for the key age"));
}

TEST(KeyValueObserving, ObserversHearOldNewAndInitialInRegistrationOrder) {
    auto person = std::make_shared<Person>();
    person->setName("old");
    std::vector<std::string> order;
    auto first = std::make_shared<Recorder>(), second = std::make_shared<Recorder>();
    first->log = second->log = &order;
    first->tag = "first";
    second->tag = "second";
    int context = 0;
    person->addObserver(first, "name", NSKeyValueObservingOptionNew | NSKeyValueObservingOptionOld, &context);
    person->addObserver(second, "name", NSKeyValueObservingOptionNew | NSKeyValueObservingOptionInitial);
    ASSERT_EQ(second->notices.size(), 1u); // the initial call
    EXPECT_EQ(second->notices[0].newValue, Id("old"));

    person->setValueForKey("new", "name");
    EXPECT_EQ(order, (std::vector<std::string>{"second", "first", "second"}));
    ASSERT_EQ(first->notices.size(), 1u);
    EXPECT_EQ(first->notices[0].oldValue, Id("old"));
    EXPECT_EQ(first->notices[0].newValue, Id("new"));
    EXPECT_EQ(first->notices[0].context, &context);
    EXPECT_TRUE(second->notices[1].oldValue.isNil()); // not asked for

    // Setting through the accessor alone says nothing; only the brackets notify.
    person->setName("quiet");
    EXPECT_EQ(first->notices.size(), 1u);
}

TEST(KeyValueObserving, ObserversAreHeldWeaklyAndRemovalIsChecked) {
    auto person = std::make_shared<Person>();
    auto kept = std::make_shared<Recorder>();
    {
        auto gone = std::make_shared<Recorder>();
        person->addObserver(gone, "name", NSKeyValueObservingOptionNew);
        person->addObserver(kept, "name", NSKeyValueObservingOptionNew);
    }
    person->setValueForKey("x", "name");
    EXPECT_EQ(kept->notices.size(), 1u);

    platform::LogCapture capture(true);
    Recorder stranger;
    person->removeObserver(&stranger, "name");
    person->removeObserver(kept.get(), "age");
    EXPECT_EQ(capture.lines().size(), 2u);
    person->removeObserver(kept.get(), "name");
    person->setValueForKey("y", "name");
    EXPECT_EQ(kept->notices.size(), 1u);
    EXPECT_EQ(capture.lines().size(), 2u);
}

TEST(KeyValueObserving, NestedBracketsNotifyOnceAtTheOutermostDidChange) {
    auto person = std::make_shared<Person>();
    person->setTidy("a");
    auto recorder = std::make_shared<Recorder>();
    person->addObserver(recorder, "tidy", NSKeyValueObservingOptionNew | NSKeyValueObservingOptionOld);
    // The table setter brackets a setter that brackets itself.
    person->setValueForKey("b", "tidy");
    ASSERT_EQ(recorder->notices.size(), 1u);
    EXPECT_EQ(recorder->notices[0].oldValue, Id("a"));
    EXPECT_EQ(recorder->notices[0].newValue, Id("b"));

    person->willChangeValueForKey("tidy");
    person->setTidy("c");
    person->setTidy("d");
    EXPECT_EQ(recorder->notices.size(), 1u);
    person->didChangeValueForKey("tidy");
    ASSERT_EQ(recorder->notices.size(), 2u);
    EXPECT_EQ(recorder->notices[1].oldValue, Id("b"));
    EXPECT_EQ(recorder->notices[1].newValue, Id("d"));

    platform::LogCapture capture(true);
    person->didChangeValueForKey("tidy"); // unbalanced
    EXPECT_EQ(recorder->notices.size(), 2u);
    EXPECT_EQ(capture.lines().size(), 1u);
}

TEST(KeyValueObserving, DependentKeysNotifyWithTheirSource) {
    auto person = std::make_shared<Person>();
    std::vector<std::string> order;
    auto onFull = std::make_shared<Recorder>(), onLast = std::make_shared<Recorder>();
    onFull->log = onLast->log = &order;
    onFull->tag = "fullName";
    onLast->tag = "last";
    person->addObserver(onFull, "fullName", NSKeyValueObservingOptionNew | NSKeyValueObservingOptionOld);
    person->addObserver(onLast, "last", 0);
    person->setValueForKey("Ada", "first");
    person->setValueForKey("King", "last");
    EXPECT_EQ(order, (std::vector<std::string>{"fullName", "last", "fullName"}));
    ASSERT_EQ(onFull->notices.size(), 2u);
    EXPECT_EQ(onFull->notices[1].oldValue, Id("Ada "));
    EXPECT_EQ(onFull->notices[1].newValue, Id("Ada King"));
    // Unrelated keys leave it alone.
    person->setValueForKey("x", "name");
    EXPECT_EQ(onFull->notices.size(), 2u);
}

TEST(KeyValueObserving, ManualKeysAreNotBracketedByTheTable) {
    auto person = std::make_shared<Person>();
    auto recorder = std::make_shared<Recorder>();
    person->addObserver(recorder, "manual", NSKeyValueObservingOptionNew);
    person->setValueForKey(3, "manual");
    EXPECT_EQ(person->manual(), 3);
    EXPECT_TRUE(recorder->notices.empty());
    person->willChangeValueForKey("manual");
    person->setManual(4);
    person->didChangeValueForKey("manual");
    ASSERT_EQ(recorder->notices.size(), 1u);
    EXPECT_EQ(recorder->notices[0].newValue, Id(4));
}

TEST(KeyValueObserving, KeyPathObservationFollowsItsFirstKey) {
    auto alice = std::make_shared<Person>(), bob = std::make_shared<Person>();
    bob->setName("Bob");
    auto recorder = std::make_shared<Recorder>();
    alice->addObserver(recorder, "friend.name", NSKeyValueObservingOptionNew | NSKeyValueObservingOptionOld);
    alice->setValueForKey(bob, "friend");
    ASSERT_EQ(recorder->notices.size(), 1u);
    EXPECT_EQ(recorder->notices[0].keyPath, "friend.name");
    EXPECT_EQ(recorder->notices[0].newValue, Id("Bob"));
    EXPECT_TRUE(recorder->notices[0].oldValue.isNil());
}

TEST(KeyValueObserving, ValuesCompareByKindAndSortDescriptorsSortStably) {
    EXPECT_EQ(Id(1).compare(Id(1.0)), NSOrderedSame);
    EXPECT_EQ(Id(true).compare(Id(2)), NSOrderedAscending);
    EXPECT_EQ(Id().compare(Id(-5)), NSOrderedAscending);
    EXPECT_EQ(Id("b").compare(Id("a")), NSOrderedDescending);
    // By UTF-16 units: U+FF5E before U+1F600's surrogates would be wrong.
    EXPECT_EQ(Id("\xEF\xBD\x9E").compare(Id("\xF0\x9F\x98\x80")), NSOrderedDescending);
    EXPECT_NE(Id(1), Id(true));

    auto make = [](std::string name, int64_t age) {
        auto p = std::make_shared<Person>();
        p->setName(std::move(name));
        p->setAge(age);
        return Id(p);
    };
    IdArray people{make("b", 2), make("a", 2), make("c", 1), make("a", 1)};
    auto byAge = sortedArrayUsingDescriptors(people, {NSSortDescriptor("age", false)});
    EXPECT_EQ(byAge, (IdArray{people[0], people[1], people[2], people[3]})); // stable
    auto byNameThenAge =
        sortedArrayUsingDescriptors(people, {NSSortDescriptor("name", true), NSSortDescriptor("age", true)});
    EXPECT_EQ(byNameThenAge, (IdArray{people[3], people[1], people[0], people[2]}));
}
