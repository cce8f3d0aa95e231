#include <cstdint>

#include "harness_scope.h"
#include "host_state.h"

namespace jnihost {

namespace {

constexpr std::size_t kSlots = 16;
using Generic = std::uint64_t(JNICALL*)(JNIEnv*, jobject, std::uint64_t, std::uint64_t, std::uint64_t, std::uint64_t,
                                        std::uint64_t, std::uint64_t, std::uint64_t, std::uint64_t, std::uint64_t,
                                        std::uint64_t, std::uint64_t, std::uint64_t, std::uint64_t, std::uint64_t,
                                        std::uint64_t, std::uint64_t);

std::uint64_t slotOf(char type, const jvalue& v) {
  switch (type) {
    case 'Z':
      return v.z;
    case 'B':
      return static_cast<std::uint64_t>(static_cast<std::int64_t>(v.b));
    case 'C':
      return v.c;
    case 'S':
      return static_cast<std::uint64_t>(static_cast<std::int64_t>(v.s));
    case 'I':
      return static_cast<std::uint64_t>(static_cast<std::int64_t>(v.i));
    case 'J':
      return static_cast<std::uint64_t>(v.j);
    default:
      return reinterpret_cast<std::uintptr_t>(v.l);
  }
}

}  // namespace

jvalue Host::callDynamic(void* fn, const std::string& sig, jobject self, const std::vector<jvalue>& args) {
  std::vector<std::string> params;
  std::string ret;
  {
    testsupport::HarnessScope scope;
    bool usable = detail::parseMethodSig(sig, params, ret) && params.size() == args.size() && params.size() <= kSlots &&
                  ret != "F" && ret != "D";
    for (const std::string& p : params) usable = usable && p != "F" && p != "D";
    if (!usable) {
      addViolation("callDynamic cannot call a native " + sig + " with " + std::to_string(args.size()) + " arguments");
      return jVoid();
    }
  }
  beginCall();
  std::uint64_t slot[kSlots] = {};
  for (std::size_t i = 0; i < params.size(); ++i) {
    const char type = params[i][0];
    jvalue v = args[i];
    if (type == 'L' || type == '[') v.l = argumentRef(v.l);
    slot[i] = slotOf(type, v);
  }
  jobject receiver = argumentRef(self);
  JNIEnv* e = env();
  const int saved = enterNative();
  const std::uint64_t r =
      reinterpret_cast<Generic>(fn)(e, receiver, slot[0], slot[1], slot[2], slot[3], slot[4], slot[5], slot[6], slot[7],
                                    slot[8], slot[9], slot[10], slot[11], slot[12], slot[13], slot[14], slot[15]);
  leaveNative(saved);
  jvalue out = jVoid();
  switch (ret[0]) {
    case 'V':
      endCall(nullptr);
      break;
    case 'Z':
      endCall(nullptr);
      out.z = static_cast<jboolean>(r & 0xFF);
      break;
    case 'B':
      endCall(nullptr);
      out.b = static_cast<jbyte>(r);
      break;
    case 'C':
      endCall(nullptr);
      out.c = static_cast<jchar>(r);
      break;
    case 'S':
      endCall(nullptr);
      out.s = static_cast<jshort>(r);
      break;
    case 'I':
      endCall(nullptr);
      out.i = static_cast<jint>(static_cast<std::uint32_t>(r));
      break;
    case 'J':
      endCall(nullptr, &r);  // a long may be a handle the native hands to Java
      out.j = static_cast<jlong>(r);
      break;
    default:
      out.l = endCall(reinterpret_cast<jobject>(static_cast<std::uintptr_t>(r)));
      break;
  }
  return out;
}

}  // namespace jnihost
