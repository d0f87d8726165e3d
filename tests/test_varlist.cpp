// The readers' variables list: lookups through its hash index while the
// index grows, and after any one allocation failed.
#include "cgi/internal.h"
#include "tests/failing_alloc.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <unistd.h>

namespace {

char *copy(const std::string &s)
{
    char *p = static_cast<char *>(std::malloc(s.size() + 1));
    if (p)
        std::memcpy(p, s.c_str(), s.size() + 1);
    return p;
}

// Of 2 to 25 bytes: whole words of the hash and every remainder.
std::string name(int i) { return "n" + std::to_string(i) + std::string(static_cast<size_t>(i % 20), '.'); }

// Adds n names in order; returns how many made it into the list (an add
// that fails leaves its strings with the caller).
int add_names(ostrel::VarList &list, int n)
{
    int added = 0;
    for (int i = 0; i < n; i++) {
        char *k = copy(name(i)), *v = copy("v");
        if (k && v && list.add(k, v)) {
            added++;
            continue;
        }
        std::free(k);
        std::free(v);
    }
    return added;
}

// Every listed name is found at its place; names never added are not.
void expect_lookups(const ostrel::VarList &list, int tried)
{
    for (size_t i = 0; i < list.count(); i++)
        ASSERT_EQ(list.find(list.at(i)->name), static_cast<long>(i)) << list.at(i)->name;
    for (int i = tried; i < tried + 100; i++)
        ASSERT_EQ(list.find(name(i).c_str()), -1);
}

TEST(VarList, LookupsWhileTheIndexGrows)
{
    ostrel::VarList list;
    for (int i = 0; i < 5000; i++) {
        ASSERT_TRUE(list.add(copy(name(i)), copy("v")));
        ASSERT_EQ(list.find(name(i).c_str()), i);
    }
    expect_lookups(list, 5000);
}

// Every length leaves a slot for the null that ends the list.
TEST(VarList, ListKeepsRoomForItsNull)
{
    ostrel::PtrList<cgi_var, ostrel::free_vars> list;
    for (int i = 0; i < 30; i++) {
        ASSERT_TRUE(list.append(static_cast<cgi_var *>(std::calloc(1, sizeof(cgi_var)))));
        ASSERT_GT(list.slots(), list.count());
        ASSERT_EQ(list.at(list.count()), nullptr);
    }
}

// A value that its text fills exactly has no room for one more byte.
TEST(VarList, AppendingOneByteToAFullValueGrowsIt)
{
    ostrel::VarList list;
    ASSERT_TRUE(list.add(copy("a"), copy("v")));
    EXPECT_FALSE(failing_alloc::with_failing_alloc(1, [&] { return list.append(0, "", "x", 1); }).value);
    EXPECT_STREQ(list.at(0)->value, "v");
    ASSERT_TRUE(list.append(0, "", "x", 1));
    EXPECT_STREQ(list.at(0)->value, "vx");
}

// A failed index allocation once left a later one too small to hold the
// list, and inserting into it never ended.
TEST(VarList, AnyFailedAllocationKeepsLookupsRight)
{
    alarm(60);
    failing_alloc::walk(
        [] {
            auto list = std::make_shared<ostrel::VarList>();
            return std::make_pair(list, add_names(*list, 300));
        },
        [](long n, auto &r) {
            std::shared_ptr<ostrel::VarList> list = std::move(r.value.first); // released here
            EXPECT_GE(r.value.second, 299) << "failing allocation " << n;
            ASSERT_EQ(list->count(), static_cast<size_t>(r.value.second));
            expect_lookups(*list, 300);
        });
    alarm(0);
}

} // namespace
