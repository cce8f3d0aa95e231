// Stand-ins for iphlpapi's per-connection statistics calls, which Wine lacks (calling
// them ends the process). They behave as Microsoft documents them: the row names the
// connection, each non-null block of the given size receives the statistics of its
// version, and the result is a Windows error code.
#pragma once

#include <winsock2.h>
// After winsock2.h, whose types it uses.
#include <ws2tcpip.h>
// After ws2tcpip.h, without which it leaves out the IPv6 functions.
#include <iphlpapi.h>
#include <tcpestats.h>

#include <string>
#include <vector>

#include "import_patch.h"

namespace tcpestatstest {

// One block as a call received it.
struct BlockSeen {
  bool null = true;
  ULONG version = 0;
  ULONG size = 0;
  std::vector<BYTE> contents;  // on entry
};

struct EStatsCall {
  std::string function;
  MIB_TCPROW row{};    // for the IPv4 calls
  MIB_TCP6ROW row6{};  // for the IPv6 calls
  TCP_ESTATS_TYPE type{};
  BlockSeen rw;
  BlockSeen ros;
  BlockSeen rod;
  ULONG offset = 0;
};

// Byte i of the statistics a get call writes into a block.
inline BYTE statisticsByte(char block, size_t i) { return static_cast<BYTE>(block * 16 + i); }

class EStatsStandIn {
 public:
  explicit EStatsStandIn(HMODULE module);

  // What every call returns.
  ULONG status = NO_ERROR;
  // The set stand-ins overwrite the block they read, so a test sees whether the
  // library copies it back into the Java array.
  bool scribbleOnSet = false;

  std::vector<EStatsCall> calls;

 private:
  template <class Row>
  static ULONG WINAPI get(Row* row, TCP_ESTATS_TYPE type, PUCHAR rw, ULONG rwVersion, ULONG rwSize, PUCHAR ros,
                          ULONG rosVersion, ULONG rosSize, PUCHAR rod, ULONG rodVersion, ULONG rodSize);
  template <class Row>
  static ULONG WINAPI set(Row* row, TCP_ESTATS_TYPE type, PUCHAR rw, ULONG rwVersion, ULONG rwSize, ULONG offset);

  intercept::ActiveInstance<EStatsStandIn> active_;
  intercept::ImportPatch get4_;
  intercept::ImportPatch get6_;
  intercept::ImportPatch set4_;
  intercept::ImportPatch set6_;
};

}  // namespace tcpestatstest
