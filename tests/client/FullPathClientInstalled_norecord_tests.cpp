// A program without a version record: the locator's platform failure reaches its caller
// as a numbered error instead of a wrong key path.
#include <gtest/gtest.h>

#include "FullPathClientInstalled.h"
#include "NumberedError.h"

TEST(FullPathClientInstalledWithoutVersionRecord, RaisesANumberedError) {
    try {
        FullPathClientInstalled();
        ADD_FAILURE() << "no error";
    } catch (const NumberedError& e) {
        EXPECT_NE(e.Number(), 0);
        EXPECT_EQ(e.Source(), L"FullPathClientInstalled");
        EXPECT_FALSE(e.Description().empty());
    }
}
