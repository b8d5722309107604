#include "foundation/ArrayAdditions.h"
#include "foundation/NonRetainingArray.h"

#include <set>
#include <string>

#include <gtest/gtest.h>

using namespace foundation;

namespace {

class Greeter {
public:
    virtual ~Greeter() = default;
    virtual void greet(const std::string& who) = 0;
};

class Element {
public:
    virtual ~Element() = default;
};

// An element that also greets; on being greeted it may take itself out of a list.
class GreetingElement : public Element, public Greeter {
public:
    explicit GreetingElement(std::vector<std::shared_ptr<Element>>* list = nullptr) : m_list(list) {}
    void greet(const std::string& who) override {
        m_heard.push_back(who);
        if (m_list) std::erase_if(*m_list, [this](const auto& e) { return e.get() == this; });
    }
    std::vector<std::string> m_heard;

private:
    std::vector<std::shared_ptr<Element>>* m_list;
};

struct Counter {
    int count = 0;
    void bump() { ++count; }
    void add(int a, int b, int c) { count += a + b + c; }
};

} // namespace

TEST(ArrayAdditions, FirstObjectAndLastIndexOfEmptyAndFullArrays) {
    std::vector<std::shared_ptr<int>> none;
    EXPECT_EQ(firstObject(none), nullptr);
    EXPECT_EQ(lastIndex(none), -1);
    auto a = std::make_shared<int>(1), b = std::make_shared<int>(2);
    EXPECT_EQ(firstObject(std::vector{a, b}), a);
    EXPECT_EQ(lastIndex(std::vector{a, b}), 1);
    EXPECT_EQ(firstObject(std::vector<std::string>{}), std::nullopt);
    EXPECT_EQ(firstObject(std::vector<std::string>{"x", "y"}), "x");
}

TEST(ArrayAdditions, PerformReachesEveryRespondingElementEvenWhenTheyLeaveDuringIt) {
    std::vector<std::shared_ptr<Element>> list;
    auto first = std::make_shared<GreetingElement>(&list);
    auto plain = std::make_shared<Element>();
    auto second = std::make_shared<GreetingElement>(&list);
    list = {first, plain, nullptr, second};

    perform(list, &Greeter::greet, std::string("hello"));

    EXPECT_EQ(first->m_heard, std::vector<std::string>{"hello"});
    EXPECT_EQ(second->m_heard, std::vector<std::string>{"hello"});
    ASSERT_EQ(list.size(), 2u); // both removed themselves; the others stayed
    EXPECT_EQ(list[0], plain);
}

TEST(ArrayAdditions, PerformPassesSeveralArgumentsToElementsOfTheTargetType) {
    auto c1 = std::make_shared<Counter>(), c2 = std::make_shared<Counter>();
    std::vector<std::shared_ptr<Counter>> counters{c1, c2, c1};
    perform(counters, &Counter::add, 1, 2, 3);
    perform(counters, &Counter::bump);
    EXPECT_EQ(c1->count, 14);
    EXPECT_EQ(c2->count, 7);
}

TEST(ArrayAdditions, ReversedSubsetAndIntegerSearch) {
    EXPECT_EQ(reversedArray(std::vector<int>{1, 2, 3}), (std::vector<int>{3, 2, 1}));
    EXPECT_TRUE(reversedArray(std::vector<int>{}).empty());

    std::vector<std::string> abA{"a", "b", "a"};
    EXPECT_EQ(arrayWithObjectsInSet(abA, std::set<std::string>{"a"}), (std::vector<std::string>{"a", "a"}));
    EXPECT_TRUE(arrayWithObjectsInSet(abA, std::set<std::string>{}).empty());

    EXPECT_FALSE(containsInteger(std::vector<uint64_t>{}, 0));
    EXPECT_TRUE(containsInteger(std::vector<uint64_t>{3, 0xFFFFFFFFFFFFFFFFull}, 0xFFFFFFFFFFFFFFFFull));
    EXPECT_TRUE(containsInteger(std::vector<int64_t>{-1}, 0xFFFFFFFFFFFFFFFFull));
    EXPECT_FALSE(containsInteger(std::vector<int>{1, 2}, 3));
}

TEST(NonRetainingArray, DoesNotKeepMembersAliveAndSkipsThoseThatWent) {
    auto array = QNCreateNonRetainingArray<Counter>();
    auto kept = std::make_shared<Counter>();
    std::weak_ptr<Counter> watch;
    {
        auto transient = std::make_shared<Counter>();
        watch = transient;
        array->addObject(transient);
        array->addObject(kept);
        EXPECT_EQ(array->count(), 2u);
        EXPECT_EQ(array->firstObject(), transient);
    }
    EXPECT_TRUE(watch.expired()); // the array held no reference
    EXPECT_EQ(array->count(), 1u);
    EXPECT_EQ(array->allObjects(), std::vector<std::shared_ptr<Counter>>{kept});
    EXPECT_EQ(array->firstObject(), kept);

    array->perform(&Counter::bump);
    EXPECT_EQ(kept->count, 1);

    EXPECT_TRUE(array->containsObject(kept));
    array->removeObject(kept);
    EXPECT_FALSE(array->containsObject(kept));
    EXPECT_EQ(array->count(), 0u);
    EXPECT_EQ(array->firstObject(), nullptr);
}
