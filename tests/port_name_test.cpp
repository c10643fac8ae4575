// How a Windows port is named on the command line: a number or COMn.
#include <gtest/gtest.h>

#include "app/connection.h"

namespace tarvex {
namespace {

TEST(PortName, NumberOrComNameInAnyLetterCase) {
  EXPECT_EQ(PortNumberFromName("3"), 3);
  EXPECT_EQ(PortNumberFromName("COM3"), 3);
  EXPECT_EQ(PortNumberFromName("com12"), 12);
  EXPECT_EQ(PortNumberFromName("Com256"), 256);
  EXPECT_EQ(PortNumberFromName("cOm105"), 105);
  EXPECT_EQ(PortNumberFromName("012"), 12) << "leading zeros are only zeros";
}

TEST(PortName, AnythingElseIsNoPort) {
  for (const char* bad : {"", "COM", "COM0", "0", "COM 3", "Com 3", "COM3:", "\\\\.\\COM3", "3a", "-3", "/dev/ttyS0",
                          "LPT1", "COM-1", "123456", "COM123456"})
    EXPECT_EQ(PortNumberFromName(bad), 0) << '"' << bad << '"';
}

}  // namespace
}  // namespace tarvex
