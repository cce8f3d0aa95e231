// VistaNetworkingSupport's natives in tcpestats, loaded from the folder that holds
// fullbridge, against stand-ins for the statistics calls.
#include <com_quillstone_velaro_server_VistaNetworkingSupport.h>

#include <array>
#include <cstring>
#include <functional>

#include "bridge_test.h"
#include "deliverable_native.h"
#include "estats_stand_in.h"
#include "inet_classes.h"
#include "pending_exception.h"

namespace tcpestatstest {
namespace {

using testsupport::kCodedSystemException;

constexpr jint kEstablished = MIB_TCP_STATE_ESTAB;

const std::vector<jbyte> kLocal4 = {jbyte(192), jbyte(168), 1, 10};
const std::vector<jbyte> kRemote4 = {10, 0, 0, 1};
const std::vector<jbyte> kLocal6 = {jbyte(0xfe), jbyte(0x80), 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
const std::vector<jbyte> kRemote6 = {0x20, 0x01, 0x0d, jbyte(0xb8), 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2};

// The bytes of a row member as they lie in memory.
template <class T>
std::vector<BYTE> bytesOf(const T& member) {
  auto bytes = reinterpret_cast<const BYTE*>(&member);
  return std::vector<BYTE>(bytes, bytes + sizeof member);
}

std::vector<BYTE> unsignedBytes(const std::vector<jbyte>& bytes) {
  return std::vector<BYTE>(bytes.begin(), bytes.end());
}

std::vector<BYTE> statistics(char block, size_t size) {
  std::vector<BYTE> bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = statisticsByte(block, i);
  return bytes;
}

std::u16string systemMessage(DWORD code) {
  wchar_t* text = nullptr;
  DWORD length =
      FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                     nullptr, code, 0, reinterpret_cast<LPWSTR>(&text), 0, nullptr);
  std::u16string message(text, text + length);
  LocalFree(text);
  return message;
}

class TcpEstatsTest : public testsupport::DeliverableTest {
 protected:
  void SetUp() override {
    DeliverableTest::SetUp();
    if (!HasFatalFailure()) {
      defineInetClasses(host);
    }
  }

  jobject v4(const std::vector<jbyte>& bytes) { return newInetAddress(host, kInet4Address, bytes); }
  jobject v6(const std::vector<jbyte>& bytes, jint scope) { return newInetAddress(host, kInet6Address, bytes, scope); }
  jbyteArray block(size_t size, jbyte fill = 0x55) { return host.newArray<jbyte>(std::vector<jbyte>(size, fill)); }
  std::vector<BYTE> contents(jbyteArray array) { return unsignedBytes(host.arrayContents<jbyte>(array)); }

  // The natives, called as the JVM calls static methods (the class is not read).
  template <class... Args>
  void get4(Args... args) {
    run(DELIVERABLE_NATIVE(
            Java_com_quillstone_velaro_server_VistaNetworkingSupport_getPerTcpConnectionEStats__ILjava_net_Inet4Address_2ILjava_net_Inet4Address_2II_3BI_3BI_3BI),
        args...);
  }
  template <class... Args>
  void get6(Args... args) {
    run(DELIVERABLE_NATIVE(
            Java_com_quillstone_velaro_server_VistaNetworkingSupport_getPerTcpConnectionEStats__ILjava_net_Inet6Address_2ILjava_net_Inet6Address_2II_3BI_3BI_3BI),
        args...);
  }
  template <class... Args>
  void set4(Args... args) {
    run(DELIVERABLE_NATIVE(
            Java_com_quillstone_velaro_server_VistaNetworkingSupport_setPerTcpConnectionEStats__ILjava_net_Inet4Address_2ILjava_net_Inet4Address_2II_3BI),
        args...);
  }
  template <class... Args>
  void set6(Args... args) {
    run(DELIVERABLE_NATIVE(
            Java_com_quillstone_velaro_server_VistaNetworkingSupport_setPerTcpConnectionEStats__ILjava_net_Inet6Address_2ILjava_net_Inet6Address_2II_3BI),
        args...);
  }
  template <class Native, class... Args>
  void run(Native native, Args... args) {
    if (native != nullptr) {
      host.call(native, jclass{nullptr}, args...);
    }
  }
};

TEST_P(TcpEstatsTest, Ipv4GetFillsTheRowWithNetworkOrderPorts) {
  struct Case {
    jint port;
    DWORD stored;
    std::vector<BYTE> memory;
  };
  for (const Case& c : {Case{80, 0x5000, {0x00, 0x50, 0, 0}}, Case{0x12345, 0x4523, {0x23, 0x45, 0, 0}},
                        Case{443, 0xBB01, {0x01, 0xBB, 0, 0}}}) {
    SCOPED_TRACE(c.port);
    EStatsStandIn standIn(library.module);
    get4(kEstablished, v4(kLocal4), c.port, v4(kRemote4), 8080, TcpConnectionEstatsData, block(1), 0, nullptr, 0,
         nullptr, 0);
    ASSERT_FALSE(host.exceptionPending()) << takeException();
    ASSERT_EQ(standIn.calls.size(), 1u);
    const MIB_TCPROW& row = standIn.calls[0].row;
    EXPECT_EQ(standIn.calls[0].function, "GetPerTcpConnectionEStats");
    EXPECT_EQ(row.dwState, static_cast<DWORD>(kEstablished));
    EXPECT_EQ(bytesOf(row.dwLocalAddr), unsignedBytes(kLocal4));
    EXPECT_EQ(row.dwLocalPort, c.stored);
    EXPECT_EQ(bytesOf(row.dwLocalPort), c.memory);
    EXPECT_EQ(bytesOf(row.dwRemoteAddr), unsignedBytes(kRemote4));
    EXPECT_EQ(bytesOf(row.dwRemotePort), (std::vector<BYTE>{0x1F, 0x90, 0, 0}));
  }
}

TEST_P(TcpEstatsTest, GetPassesTheBlocksWholeAndCopiesTheStatisticsBack) {
  EStatsStandIn standIn(library.module);
  jbyteArray rw = block(1, 1);
  jbyteArray rod = block(sizeof(TCP_ESTATS_REC_ROD_v0));
  get4(kEstablished, v4(kLocal4), 80, v4(kRemote4), 80, TcpConnectionEstatsRec, rw, 7, nullptr, 8, rod, 9);
  ASSERT_FALSE(host.exceptionPending()) << takeException();
  ASSERT_EQ(standIn.calls.size(), 1u);
  const EStatsCall& call = standIn.calls[0];
  EXPECT_EQ(call.type, TcpConnectionEstatsRec);
  EXPECT_FALSE(call.rw.null);
  EXPECT_EQ(call.rw.version, 7u);
  EXPECT_EQ(call.rw.size, 1u);
  EXPECT_EQ(call.rw.contents, std::vector<BYTE>{1});
  EXPECT_TRUE(call.ros.null);
  EXPECT_EQ(call.ros.version, 8u);
  EXPECT_EQ(call.ros.size, 0u);
  EXPECT_FALSE(call.rod.null);
  EXPECT_EQ(call.rod.version, 9u);
  EXPECT_EQ(call.rod.size, 72u);
  EXPECT_EQ(contents(rw), statistics(1, 1));
  EXPECT_EQ(contents(rod), statistics(3, 72));
}

TEST_P(TcpEstatsTest, FailedGetRaisesTheCodeThroughFullBridgeAndStillCopiesBack) {
  EStatsStandIn standIn(library.module);
  standIn.status = ERROR_NOT_FOUND;
  jbyteArray rw = block(1);
  jbyteArray ros = block(4);
  jbyteArray rod = block(16);
  get4(kEstablished, v4(kLocal4), 80, v4(kRemote4), 80, TcpConnectionEstatsObsRec, rw, 0, ros, 0, rod, 0);
  ASSERT_EQ(host.exceptionClass(), kCodedSystemException);
  EXPECT_EQ(host.exceptionIntField("_code"), ERROR_NOT_FOUND);
  EXPECT_EQ(host.exceptionMessage(), systemMessage(ERROR_NOT_FOUND));
  host.clearException();
  EXPECT_EQ(contents(rw), statistics(1, 1));
  EXPECT_EQ(contents(ros), statistics(2, 4));
  EXPECT_EQ(contents(rod), statistics(3, 16));
}

TEST_P(TcpEstatsTest, GetWithoutArraysPassesNullBlocksOfSizeZero) {
  EStatsStandIn standIn(library.module);
  standIn.status = ERROR_INVALID_PARAMETER;
  get6(kEstablished, v6(kLocal6, 0), 80, v6(kRemote6, 0), 80, TcpConnectionEstatsPath, nullptr, 0, nullptr, 0, nullptr,
       0);
  jint code = 0;
  EXPECT_EQ(takeException(&code), kCodedSystemException);
  EXPECT_EQ(code, ERROR_INVALID_PARAMETER);
  ASSERT_EQ(standIn.calls.size(), 1u);
  for (const BlockSeen* seen : {&standIn.calls[0].rw, &standIn.calls[0].ros, &standIn.calls[0].rod}) {
    SCOPED_TRACE(seen == &standIn.calls[0].rw ? "read/write" : seen == &standIn.calls[0].ros ? "static" : "dynamic");
    EXPECT_TRUE(seen->null);
    EXPECT_EQ(seen->size, 0u);
  }
}

TEST_P(TcpEstatsTest, Ipv6GetCarriesAddressBytesAndScopeIds) {
  EStatsStandIn standIn(library.module);
  jbyteArray rod = block(8);
  get6(MIB_TCP_STATE_LISTEN, v6(kLocal6, 3), 80, v6(kRemote6, 5), 0x12345, TcpConnectionEstatsData, nullptr, 0, nullptr,
       0, rod, 0);
  ASSERT_FALSE(host.exceptionPending()) << takeException();
  ASSERT_EQ(standIn.calls.size(), 1u);
  const MIB_TCP6ROW& row = standIn.calls[0].row6;
  EXPECT_EQ(standIn.calls[0].function, "GetPerTcp6ConnectionEStats");
  EXPECT_EQ(row.State, MIB_TCP_STATE_LISTEN);
  EXPECT_EQ(bytesOf(row.LocalAddr), unsignedBytes(kLocal6));
  EXPECT_EQ(row.dwLocalScopeId, 3u);
  EXPECT_EQ(row.dwLocalPort, 0x5000u);
  EXPECT_EQ(bytesOf(row.RemoteAddr), unsignedBytes(kRemote6));
  EXPECT_EQ(row.dwRemoteScopeId, 5u);
  EXPECT_EQ(row.dwRemotePort, 0x4523u);
  EXPECT_EQ(contents(rod), statistics(3, 8));
}

TEST_P(TcpEstatsTest, SetStoresPortsUnchangedAndNothingGoesBackToTheArray) {
  for (bool ipv6 : {false, true}) {
    SCOPED_TRACE(ipv6);
    EStatsStandIn standIn(library.module);
    standIn.scribbleOnSet = true;
    jbyteArray rw = block(1, 1);
    if (ipv6) {
      set6(kEstablished, v6(kLocal6, 3), 80, v6(kRemote6, 4), 0x5000, TcpConnectionEstatsSndCong, rw, 0);
    } else {
      set4(kEstablished, v4(kLocal4), 80, v4(kRemote4), 0x5000, TcpConnectionEstatsSndCong, rw, 0);
    }
    ASSERT_FALSE(host.exceptionPending()) << takeException();
    ASSERT_EQ(standIn.calls.size(), 1u);
    const EStatsCall& call = standIn.calls[0];
    EXPECT_EQ(call.function, ipv6 ? "SetPerTcp6ConnectionEStats" : "SetPerTcpConnectionEStats");
    EXPECT_EQ(ipv6 ? call.row6.dwLocalPort : call.row.dwLocalPort, 80u);
    EXPECT_EQ(ipv6 ? call.row6.dwRemotePort : call.row.dwRemotePort, 0x5000u);
    if (ipv6) {
      EXPECT_EQ(bytesOf(call.row6.LocalAddr), unsignedBytes(kLocal6));
      EXPECT_EQ(call.row6.dwLocalScopeId, 3u);
      EXPECT_EQ(call.row6.dwRemoteScopeId, 4u);
    } else {
      EXPECT_EQ(bytesOf(call.row.dwRemoteAddr), unsignedBytes(kRemote4));
    }
    EXPECT_EQ(call.type, TcpConnectionEstatsSndCong);
    EXPECT_EQ(call.rw.contents, std::vector<BYTE>{1});
    EXPECT_EQ(call.offset, 0u);
    EXPECT_EQ(contents(rw), std::vector<BYTE>{1});
  }
}

TEST_P(TcpEstatsTest, FailedSetRaisesTheCode) {
  EStatsStandIn standIn(library.module);
  standIn.status = ERROR_ACCESS_DENIED;
  set4(kEstablished, v4(kLocal4), 80, v4(kRemote4), 80, TcpConnectionEstatsData, block(1), 0);
  jint code = 0;
  EXPECT_EQ(takeException(&code), kCodedSystemException);
  EXPECT_EQ(code, ERROR_ACCESS_DENIED);
}

TEST_P(TcpEstatsTest, UnusableAddressesStopBeforeWindows) {
  struct Case {
    const char* what;
    std::function<void(jbyteArray)> call;
    const char* exception;
    const char* message;
  };
  const char* npe = "java/lang/NullPointerException";
  const char* iae = "java/lang/IllegalArgumentException";
  const char* ise = "java/lang/IllegalStateException";
  const jint type = TcpConnectionEstatsData;
  const Case cases[] = {
      {"both null", [&](jbyteArray rw) { get4(kEstablished, nullptr, 80, nullptr, 80, type, rw, 0, rw, 0, rw, 0); },
       npe, "local address"},
      {"remote null", [&](jbyteArray rw) { set6(kEstablished, v6(kLocal6, 0), 80, nullptr, 80, type, rw, 0); }, npe,
       "remote address"},
      {"IPv4 of 16 bytes",
       [&](jbyteArray rw) { get4(kEstablished, v4(kLocal6), 80, v4(kRemote4), 80, type, rw, 0, nullptr, 0, rw, 0); },
       iae, "cannot map to IPv4 address"},
      {"IPv4 without bytes",
       [&](jbyteArray rw) {
         set4(kEstablished, v4(kLocal4), 80, newInetAddress(host, kInet4Address, std::nullopt), 80, type, rw, 0);
       },
       iae, "cannot map to IPv4 address"},
      {"IPv6 local of 4 bytes",
       [&](jbyteArray rw) {
         get6(kEstablished, v6(kLocal4, 0), 80, v6(kRemote6, 0), 80, type, rw, 0, nullptr, 0, nullptr, 0);
       },
       iae, "cannot map local address to IPv6 address"},
      {"IPv6 remote of 15 bytes",
       [&](jbyteArray rw) {
         set6(kEstablished, v6(kLocal6, 0), 80, v6(std::vector<jbyte>(15, 1), 0), 80, type, rw, 0);
       },
       iae, "cannot map remote address to IPv6 address"},
      {"getAddress throws",
       [&](jbyteArray rw) {
         jobject remote = v4(kRemote4);
         makeGetAddressThrow(host, remote);
         get4(kEstablished, v4(kLocal4), 80, remote, 80, type, rw, 0, nullptr, 0, nullptr, 0);
       },
       ise, "getAddress"},
      {"getScopeId throws",
       [&](jbyteArray rw) {
         jobject local = v6(kLocal6, 1);
         makeGetScopeIdThrow(host, local);
         set6(kEstablished, local, 80, v6(kRemote6, 0), 80, type, rw, 0);
       },
       ise, "getScopeId"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EStatsStandIn standIn(library.module);
    jbyteArray rw = block(4, 9);
    c.call(rw);
    EXPECT_EQ(host.exceptionClass(), c.exception);
    EXPECT_EQ(host.exceptionMessageUtf8(), c.message);
    host.clearException();
    EXPECT_TRUE(standIn.calls.empty());
    EXPECT_EQ(contents(rw), std::vector<BYTE>(4, 9));
  }
}

TEST_P(TcpEstatsTest, AddressFrameFailureStopsBeforeWindows) {
  EStatsStandIn standIn(library.module);
  host.failNextPushLocalFrame();
  get6(kEstablished, v6(kLocal6, 0), 80, v6(kRemote6, 0), 80, TcpConnectionEstatsData, nullptr, 0, nullptr, 0, nullptr,
       0);
  EXPECT_EQ(takeException(), "java/lang/OutOfMemoryError");
  EXPECT_TRUE(standIn.calls.empty());
}

TEST_P(TcpEstatsTest, SizesAreThe64BitLayouts) {
  auto record =
      DELIVERABLE_NATIVE(Java_com_quillstone_velaro_server_VistaNetworkingSupport_TCP_1ESTATS_1REC_1ROD_1V0_1sizeof);
  auto observed = DELIVERABLE_NATIVE(
      Java_com_quillstone_velaro_server_VistaNetworkingSupport_TCP_1ESTATS_1OBS_1REC_1ROD_1V0_1sizeof);
  ASSERT_TRUE(record && observed);
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(host.call(record, jclass{nullptr}), 72);
    EXPECT_EQ(host.call(observed, jclass{nullptr}), 16);
  }
}

INSTANTIATE_TEST_SUITE_P(Library, TcpEstatsTest, testing::Values(L"tcpestats.dll"));

}  // namespace
}  // namespace tcpestatstest
