// The RAS text limits of RasEntry in both bridge libraries.
#include "ras_fixture.h"

namespace rastest {
namespace {

class RasEntryTest : public RasTest {};

TEST_P(RasEntryTest, LimitsAreTheWindowsConstantsWhateverRasDoes) {
  using Limit = decltype(&Java_com_corvantis_windows_ras_RasEntry_MAX_1PATH);
  ScriptedRas ras(library.module, sizes());
  ras.failWith = ERROR_CANNOT_OPEN_PHONEBOOK;
  struct Case {
    const char* method;
    jint value;
  };
  for (const Case& c :
       {Case{"MAX_1PATH", 260}, Case{"RAS_1MaxAreaCode", 10}, Case{"RAS_1MaxPhoneNumber", 128},
        Case{"RAS_1MaxDeviceType", 16}, Case{"RAS_1MaxDeviceName", 128}, Case{"RAS_1MaxPadType", 32},
        Case{"RAS_1MaxX25Address", 200}, Case{"RAS_1MaxFacilities", 200}, Case{"RAS_1MaxUserData", 200}}) {
    SCOPED_TRACE(c.method);
    auto limit = exported<Limit>((std::string("Java_com_corvantis_windows_ras_RasEntry_") + c.method).c_str());
    ASSERT_NE(limit, nullptr);
    EXPECT_EQ(host.call(limit, jclass{nullptr}), c.value);
    EXPECT_FALSE(host.exceptionPending());
  }
  EXPECT_TRUE(ras.calls.empty());
}

INSTANTIATE_TEST_SUITE_P(Bridges, RasEntryTest, testing::Values(L"fullbridge.dll", L"corebridge.dll"));

}  // namespace
}  // namespace rastest
