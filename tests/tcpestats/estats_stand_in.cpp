#include "estats_stand_in.h"

#include "harness_scope.h"

namespace tcpestatstest {
namespace {

using testsupport::HarnessScope;

EStatsStandIn* active() { return intercept::ActiveInstance<EStatsStandIn>::get(); }

BlockSeen see(PUCHAR data, ULONG version, ULONG size) {
  BlockSeen block;
  block.null = data == nullptr;
  block.version = version;
  block.size = size;
  if (data != nullptr) {
    block.contents.assign(data, data + size);
  }
  return block;
}

// Windows writes the statistics of the block's version into its `size` bytes.
void fill(PUCHAR data, ULONG size, char block) {
  for (ULONG i = 0; data != nullptr && i < size; ++i) {
    data[i] = statisticsByte(block, i);
  }
}

ULONG answerGet(EStatsCall call, PUCHAR rw, ULONG rwSize, PUCHAR ros, ULONG rosSize, PUCHAR rod, ULONG rodSize) {
  EStatsStandIn* self = active();
  self->calls.push_back(call);
  fill(rw, rwSize, 1);
  fill(ros, rosSize, 2);
  fill(rod, rodSize, 3);
  return self->status;
}

ULONG answerSet(EStatsCall call, PUCHAR rw, ULONG rwSize) {
  EStatsStandIn* self = active();
  self->calls.push_back(call);
  if (self->scribbleOnSet) {
    fill(rw, rwSize, 4);
  }
  return self->status;
}

}  // namespace

EStatsStandIn::EStatsStandIn(HMODULE module)
    : active_(this),
      get4_(module, "iphlpapi.dll", "GetPerTcpConnectionEStats", &get4),
      get6_(module, "iphlpapi.dll", "GetPerTcp6ConnectionEStats", &get6),
      set4_(module, "iphlpapi.dll", "SetPerTcpConnectionEStats", &set4),
      set6_(module, "iphlpapi.dll", "SetPerTcp6ConnectionEStats", &set6) {}

ULONG WINAPI EStatsStandIn::get4(PMIB_TCPROW row, TCP_ESTATS_TYPE type, PUCHAR rw, ULONG rwVersion, ULONG rwSize,
                                 PUCHAR ros, ULONG rosVersion, ULONG rosSize, PUCHAR rod, ULONG rodVersion,
                                 ULONG rodSize) {
  HarnessScope harness;
  EStatsCall call;
  call.function = "GetPerTcpConnectionEStats";
  call.row = *row;
  call.type = type;
  call.rw = see(rw, rwVersion, rwSize);
  call.ros = see(ros, rosVersion, rosSize);
  call.rod = see(rod, rodVersion, rodSize);
  return answerGet(call, rw, rwSize, ros, rosSize, rod, rodSize);
}

ULONG WINAPI EStatsStandIn::get6(PMIB_TCP6ROW row, TCP_ESTATS_TYPE type, PUCHAR rw, ULONG rwVersion, ULONG rwSize,
                                 PUCHAR ros, ULONG rosVersion, ULONG rosSize, PUCHAR rod, ULONG rodVersion,
                                 ULONG rodSize) {
  HarnessScope harness;
  EStatsCall call;
  call.function = "GetPerTcp6ConnectionEStats";
  call.row6 = *row;
  call.type = type;
  call.rw = see(rw, rwVersion, rwSize);
  call.ros = see(ros, rosVersion, rosSize);
  call.rod = see(rod, rodVersion, rodSize);
  return answerGet(call, rw, rwSize, ros, rosSize, rod, rodSize);
}

ULONG WINAPI EStatsStandIn::set4(PMIB_TCPROW row, TCP_ESTATS_TYPE type, PUCHAR rw, ULONG rwVersion, ULONG rwSize,
                                 ULONG offset) {
  HarnessScope harness;
  EStatsCall call;
  call.function = "SetPerTcpConnectionEStats";
  call.row = *row;
  call.type = type;
  call.rw = see(rw, rwVersion, rwSize);
  call.offset = offset;
  return answerSet(call, rw, rwSize);
}

ULONG WINAPI EStatsStandIn::set6(PMIB_TCP6ROW row, TCP_ESTATS_TYPE type, PUCHAR rw, ULONG rwVersion, ULONG rwSize,
                                 ULONG offset) {
  HarnessScope harness;
  EStatsCall call;
  call.function = "SetPerTcp6ConnectionEStats";
  call.row6 = *row;
  call.type = type;
  call.rw = see(rw, rwVersion, rwSize);
  call.offset = offset;
  return answerSet(call, rw, rwSize);
}

}  // namespace tcpestatstest
