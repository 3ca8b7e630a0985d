#include "platform/modestring.h"

#include <gtest/gtest.h>

namespace {

// A line with every flow-control member switched on, as a port may be left by
// another program.
plat::Dcb BusyLine() {
  plat::Dcb d;
  d.BaudRate = 4800;
  d.fOutxCtsFlow = true;
  d.fOutxDsrFlow = true;
  d.fDsrSensitivity = true;
  d.fOutX = true;
  d.fInX = true;
  d.fDtrControl = plat::kDtrControlHandshake;
  d.fRtsControl = plat::kRtsControlHandshake;
  d.XonLim = 500;
  d.XoffLim = 2000;
  d.ByteSize = 5;
  d.Parity = plat::kEvenParity;
  d.StopBits = plat::kTwoStopBits;
  return d;
}

struct PresetCase {
  const char* mode;
  std::uint32_t baud;
  std::uint8_t bits;
};

class ModeStringPresets : public ::testing::TestWithParam<PresetCase> {};

TEST_P(ModeStringPresets, GiveThePresetLineWithoutAnyFlowControl) {
  plat::Dcb d = BusyLine();
  ASSERT_TRUE(plat::ApplyModeString(d, GetParam().mode));
  EXPECT_EQ(d.BaudRate, GetParam().baud);
  EXPECT_EQ(d.ByteSize, GetParam().bits);
  EXPECT_EQ(d.Parity, plat::kNoParity);
  EXPECT_FALSE(d.fParity);
  EXPECT_EQ(d.StopBits, plat::kOneStopBit);
  EXPECT_FALSE(d.fOutxCtsFlow);
  EXPECT_FALSE(d.fOutxDsrFlow);
  EXPECT_FALSE(d.fDsrSensitivity);
  EXPECT_FALSE(d.fOutX);
  EXPECT_FALSE(d.fInX);
  EXPECT_EQ(d.fDtrControl, plat::kDtrControlEnable);
  EXPECT_EQ(d.fRtsControl, plat::kRtsControlEnable);
  EXPECT_TRUE(d.fBinary);
  // Members the string does not name keep their values.
  EXPECT_EQ(d.XonLim, 500);
  EXPECT_EQ(d.XoffLim, 2000);
}

INSTANTIATE_TEST_SUITE_P(AllPresets, ModeStringPresets,
                         ::testing::Values(PresetCase{"baud=1200 parity=N data=7 stop=1", 1200, 7},
                                           PresetCase{"baud=115200 parity=N data=8 stop=1", 115200, 8},
                                           PresetCase{"baud=57600 parity=N data=8 stop=1", 57600, 8},
                                           PresetCase{"baud=9600 parity=N data=8 stop=1", 9600, 8}));

TEST(ModeString, ParityAndStopBitsAreParsed) {
  plat::Dcb d;
  ASSERT_TRUE(plat::ApplyModeString(d, "baud=2400 parity=E data=7 stop=2"));
  EXPECT_EQ(d.Parity, plat::kEvenParity);
  EXPECT_TRUE(d.fParity);
  EXPECT_EQ(d.StopBits, plat::kTwoStopBits);
  ASSERT_TRUE(plat::ApplyModeString(d, "parity=o stop=1.5"));
  EXPECT_EQ(d.Parity, plat::kOddParity);
  EXPECT_EQ(d.StopBits, plat::kOne5StopBits);
  EXPECT_EQ(d.BaudRate, 2400u);
}

TEST(ModeString, NamedFlowControlIsKeptAndNothingElseIsReset) {
  plat::Dcb d = BusyLine();
  ASSERT_TRUE(plat::ApplyModeString(d, "baud=9600 octs=on rts=hs"));
  EXPECT_TRUE(d.fOutxCtsFlow);
  EXPECT_EQ(d.fRtsControl, plat::kRtsControlHandshake);
  // With flow control named, the other flow members are left alone.
  EXPECT_TRUE(d.fOutX);
  EXPECT_EQ(d.fDtrControl, plat::kDtrControlHandshake);
}

TEST(ModeString, BadStringsLeaveTheLineUntouched) {
  for (const char* bad : {"baud=", "baud=abc", "parity=X", "data=9", "data=4", "stop=3", "speed=9600",
                          "baud 9600", "octs=maybe", "baud=0"}) {
    plat::Dcb d = BusyLine();
    EXPECT_FALSE(plat::ApplyModeString(d, bad)) << bad;
    EXPECT_EQ(d.BaudRate, 4800u) << bad;
    EXPECT_TRUE(d.fOutxCtsFlow) << bad;
  }
}

}  // namespace
