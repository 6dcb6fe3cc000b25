#include "discovery/MotionUnit.h"

#include <gtest/gtest.h>

using namespace discovery;

namespace {

TEST(Recognition, OnlyTheAcceptedIdPairPasses) {
    struct Case {
        uint32_t vendorId, productId;
        bool accepted;
    };
    const Case cases[] = {
        {0x0483, 0xA110, true},   {0x0483, 0xA111, false},  {0x0484, 0xA110, false}, {0, 0, false},
        {0x10483, 0xA110, false}, {0x0483, 0x1A110, false}, {0xA110, 0x0483, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(isMotionUnitId(c.vendorId, c.productId), c.accepted) << std::hex << c.vendorId << ":" << c.productId;
    }
}

TEST(Recognition, ManufacturerMustMatchExactlyAndBootLoadersAreRefused) {
    struct Case {
        const wchar_t* manufacturer;
        const wchar_t* product;
        bool accepted;
    };
    const Case cases[] = {
        {L"Tavrello", L"Kelvane", true},   {L"Tavrello", L"", true},  // the HID pass drops empty strings itself
        {L"tavrello", L"Kelvane", false},  {L"TAVRELLO", L"Kelvane", false},  {L"Tavrello ", L"Kelvane", false},
        {L" Tavrello", L"Kelvane", false}, {L"Tavrell", L"Kelvane", false},   {L"", L"Kelvane", false},
        {L"Tavrello", L"Drumlin", false},  {L"Tavrello", L"DrumlinZ", false}, {L"Tavrello", L"Drumlin3", false},
        {L"Tavrello", L"drumlin", true},   {L"Tavrello", L"drumlinz", true},  {L"Tavrello", L"Drumlin4", true},
        {L"Tavrello", L"DrumlinZZ", true}, {L"Tavrello", L"Drumlin ", true},  {L"Tavrello", L"Drumli", true},
    };
    for (const Case& c : cases) {
        // The ids play no part here.
        EXPECT_EQ(isMotionUnitDescription(0, 0, c.manufacturer, c.product), c.accepted)
            << "'" << std::string(c.manufacturer, c.manufacturer + wcslen(c.manufacturer)) << "' / '"
            << std::string(c.product, c.product + wcslen(c.product)) << "'";
    }
    EXPECT_STREQ(MakerManufacturer, L"Tavrello");
}

TEST(Recognition, DeviceIsJudgedByIdsThenMakerThenProductThenSerialNumber) {
    struct Case {
        uint32_t vendorId;
        const wchar_t* manufacturer;
        const wchar_t* product;
        const wchar_t* serial;
        UnitRecognition expected;
    };
    const Case cases[] = {
        {0x0483, L"Tavrello", L"Kelvane", L"S1", UnitRecognition::Recognised},
        {0x0484, L"Other", L"Drumlin", L"", UnitRecognition::OtherIds},
        {0x0483, L"Other", L"Drumlin", L"", UnitRecognition::OtherMaker},
        {0x0483, L"Tavrello", L"DrumlinZ", L"", UnitRecognition::BootLoader},
        {0x0483, L"Tavrello", L"Kelvane", L"", UnitRecognition::EmptySerialNumber},
    };
    for (const Case& c : cases) {
        DeviceInfo device;
        device.vendorId = c.vendorId;
        device.productId = 0xA110;
        device.manufacturer = c.manufacturer;
        device.product = c.product;
        device.serialNumber = c.serial;
        EXPECT_EQ(recogniseDevice(device), c.expected) << static_cast<int>(c.expected);
        EXPECT_EQ(isMotionUnitDescription(0, 0, c.manufacturer, c.product),
                  recogniseDescription(c.manufacturer, c.product) == UnitRecognition::Recognised);
    }
}

TEST(Recognition, EmbeddedNulIsNotCutAway) {
    const std::wstring withNul(L"Tavrello\0x", 10);
    EXPECT_FALSE(isMotionUnitDescription(0x0483, 0xA110, withNul, L"Kelvane"));
}

TEST(SerialText, GroupsOfSixFromTheLeft) {
    struct Case {
        const wchar_t* text;
        const wchar_t* shown;
    };
    const Case cases[] = {
        {L"", L""},
        {L"A", L"A"},
        {L"ABCDEF", L"ABCDEF"},
        {L"ABCDEFG", L"ABCDEF-G"},
        {L"ABCDEFGHIJKL", L"ABCDEF-GHIJKL"},
        {L"ABCDEFGHIJKLM", L"ABCDEF-GHIJKL-M"},
        {L"ABCDEFGHIJKLMNOPQR", L"ABCDEF-GHIJKL-MNOPQR"},
        {L"ABCDEFGHIJKLMNOPQRS", L"ABCDEF-GHIJKL-MNOPQR-S"},
        {L"ABCDEFGHIJKLMNOPQRSTUVWX", L"ABCDEF-GHIJKL-MNOPQR-STUVWX"},
        {L"ABCDEFGHIJKLMNOPQRSTUVWXYZ1234", L"ABCDEF-GHIJKL-MNOPQR-STUVWXYZ1234"},
        {L"AB-DEFGH", L"AB-DEF-GH"},  // dashes already there count as characters
    };
    for (const Case& c : cases) EXPECT_EQ(formatSerialNumber(c.text), c.shown) << wcslen(c.text) << " characters";
    for (int n = 1; n <= 6; ++n) {
        const std::wstring text(static_cast<size_t>(n), L'Z');
        EXPECT_EQ(formatSerialNumber(text.c_str()), text);
    }
}

TEST(SerialText, DashesOnlyBetweenWholeCharacters) {
    // A surrogate pair is one character; a lone surrogate is one of its own.
    const std::wstring pair = L"\xD83D\xDE00";
    const struct {
        std::wstring text;
        std::wstring shown;
    } cases[] = {
        {L"ABCDE" + pair + L"X", L"ABCDE" + pair + L"-X"},
        {L"ABCDEF" + pair, L"ABCDEF-" + pair},
        {L"ABCDE" + pair, L"ABCDE" + pair},
        {pair + pair + pair + pair + pair + pair + pair, pair + pair + pair + pair + pair + pair + L"-" + pair},
        {L"ABCDE\xD83DXY", L"ABCDE\xD83D-XY"},
        {L"ABCDE\xDE00XY", L"ABCDE\xDE00-XY"},
        {L"ABCDEFGHIJKLMNOPQ" + pair + L"Z", L"ABCDEF-GHIJKL-MNOPQ" + pair + L"-Z"},
    };
    for (const auto& c : cases) EXPECT_EQ(formatSerialNumber(c.text.c_str()), c.shown) << c.text.size() << " units";
}

TEST(SerialText, NullGivesEmptyAndTheTextIsNotChanged) {
    EXPECT_EQ(formatSerialNumber(nullptr), L"");
    wchar_t text[] = L"ABCDEFGHIJKLM";
    formatSerialNumber(text);
    EXPECT_STREQ(text, L"ABCDEFGHIJKLM");
}

}  // namespace
