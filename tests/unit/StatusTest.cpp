#include <gtest/gtest.h>

#include "VelaStatus.h"

namespace {

TEST(StatusFromLastError, ConvertsCodesAndStatuses) {
    struct Case {
        LONG input;
        HRESULT expected;
    } cases[] = {
        {0, 0},
        {(LONG)0x80090016, (HRESULT)0x80090016},
        {2, (HRESULT)0x80070002},
        {5, (HRESULT)0x80070005},
        {0x20001041, (HRESULT)0xA0071041},
        {0x20001402, (HRESULT)0xA0071402},
        {0x12345, (HRESULT)0x80072345},
    };
    for (const Case& c : cases) EXPECT_EQ(StatusFromLastError(c.input), c.expected) << std::hex << c.input;
}

TEST(StatusFromWin32, GivesTheCustomerBitNoSpecialTreatment) {
    EXPECT_EQ(StatusFromWin32(0x20001041), (HRESULT)0x80071041);
    EXPECT_EQ(StatusFromWin32(-5), -5);
}

TEST(OwnStatuses, HaveTheValuesPagesSee) {
    EXPECT_EQ(VELA_E_KEY_LENGTH_NOT_SUPPORTED, -1610144768);
    EXPECT_EQ(VELA_E_INVALID_KEY_ALGORITHM, -1610144767);
    EXPECT_EQ(VELA_E_IMPORT_ENCRYPT_CERT, -1610148861);
    EXPECT_EQ(VELA_E_JSON_PARAM_TYPE, -1610141180);
    EXPECT_EQ(VELA_E_JSON_CREATE, -1610141182);
}

}  // namespace
