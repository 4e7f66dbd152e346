// A registry row with an unknown root key fails the listing and says so in the log.
#include "quarantine/store/QuarManager.h"

#include <gtest/gtest.h>

#include "tests/quarantine/store/StoreFixtures.h"

namespace vondrel {
namespace {

TEST(GetItems, ASpelledOutRootKeyFailsWith10AndIsLogged) {
    test::CatalogueCopy copy("badroot");
    test::Session session;
    ASSERT_EQ(kStoreOk, session.Open(copy.folder()));
    test::LogCapture log;
    test::ItemList list;
    EXPECT_EQ(kStoreQueryFailed, list.Get(session.handle()));
    EXPECT_EQ(nullptr, list.get());
    // The message carries its own line end before the writer's.
    const std::wstring message = std::wstring(L"PopulateRegistryEntriesForGUID : Invalid HKEY in ") + test::kGuidA + L".";
    EXPECT_EQ((std::vector<std::wstring>{message, L""}), log.Lines());
}

}  // namespace
}  // namespace vondrel
