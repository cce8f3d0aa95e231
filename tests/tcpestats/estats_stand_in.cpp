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

// The row as the call received it, and the name of the call for that row type.
const char* storeRow(EStatsCall* call, const MIB_TCPROW& row, bool get) {
  call->row = row;
  return get ? "GetPerTcpConnectionEStats" : "SetPerTcpConnectionEStats";
}
const char* storeRow(EStatsCall* call, const MIB_TCP6ROW& row, bool get) {
  call->row6 = row;
  return get ? "GetPerTcp6ConnectionEStats" : "SetPerTcp6ConnectionEStats";
}

}  // namespace

EStatsStandIn::EStatsStandIn(HMODULE module)
    : active_(this),
      get4_(module, "iphlpapi.dll", "GetPerTcpConnectionEStats", &get<MIB_TCPROW>),
      get6_(module, "iphlpapi.dll", "GetPerTcp6ConnectionEStats", &get<MIB_TCP6ROW>),
      set4_(module, "iphlpapi.dll", "SetPerTcpConnectionEStats", &set<MIB_TCPROW>),
      set6_(module, "iphlpapi.dll", "SetPerTcp6ConnectionEStats", &set<MIB_TCP6ROW>) {}

template <class Row>
ULONG WINAPI EStatsStandIn::get(Row* row, TCP_ESTATS_TYPE type, PUCHAR rw, ULONG rwVersion, ULONG rwSize, PUCHAR ros,
                                ULONG rosVersion, ULONG rosSize, PUCHAR rod, ULONG rodVersion, ULONG rodSize) {
  HarnessScope harness;
  EStatsCall call;
  call.function = storeRow(&call, *row, true);
  call.type = type;
  call.rw = see(rw, rwVersion, rwSize);
  call.ros = see(ros, rosVersion, rosSize);
  call.rod = see(rod, rodVersion, rodSize);
  EStatsStandIn* self = active();
  self->calls.push_back(call);
  fill(rw, rwSize, 1);
  fill(ros, rosSize, 2);
  fill(rod, rodSize, 3);
  return self->status;
}

template <class Row>
ULONG WINAPI EStatsStandIn::set(Row* row, TCP_ESTATS_TYPE type, PUCHAR rw, ULONG rwVersion, ULONG rwSize,
                                ULONG offset) {
  HarnessScope harness;
  EStatsCall call;
  call.function = storeRow(&call, *row, false);
  call.type = type;
  call.rw = see(rw, rwVersion, rwSize);
  call.offset = offset;
  EStatsStandIn* self = active();
  self->calls.push_back(call);
  if (self->scribbleOnSet) {
    fill(rw, rwSize, 4);
  }
  return self->status;
}

}  // namespace tcpestatstest
