#include "driver/Backlog.h"

#include <gtest/gtest.h>

namespace vondrel {
namespace {

using Archives = std::vector<std::vector<std::wstring>>;

TEST(PlanArchives, FillsArchivesInListOrderAndLeavesOutWhatIsOverTheLimitAlone) {
    struct Case {
        const char* what;
        std::vector<SizedItem> items;
        Archives archives;
        std::vector<std::wstring> oversized;
    } cases[] = {
        {"everything fits one", {{L"a", 10}, {L"b", 20}, {L"c", 70}}, {{L"a", L"b", L"c"}}, {}},
        {"exactly the budget still fits", {{L"a", 60}, {L"b", 40}, {L"c", 1}}, {{L"a", L"b"}, {L"c"}}, {}},
        {"order is kept, a later small item does not jump ahead",
         {{L"a", 60}, {L"b", 60}, {L"c", 10}}, {{L"a"}, {L"b", L"c"}}, {}},
        {"over the budget but not the limit: an archive of its own",
         {{L"a", 10}, {L"b", 110}, {L"c", 10}}, {{L"a"}, {L"b"}, {L"c"}}, {}},
        {"over the limit: in no archive, the others go", {{L"a", 10}, {L"b", 121}, {L"c", 10}},
         {{L"a", L"c"}}, {L"b"}},
        {"nothing but an item over the limit", {{L"a", 500}}, {}, {L"a"}},
        {"unknown sizes (0) all go together", {{L"a", 0}, {L"b", 0}}, {{L"a", L"b"}}, {}},
        {"no items", {}, {}, {}},
    };
    for (const Case& c : cases) {
        const ArchivePlan plan = PlanArchives(c.items, 100, 120);
        EXPECT_EQ(c.archives, plan.archives) << c.what;
        EXPECT_EQ(c.oversized, plan.oversized) << c.what;
    }
}

}  // namespace
}  // namespace vondrel
