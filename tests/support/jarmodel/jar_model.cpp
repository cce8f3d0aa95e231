#include "jar_model.h"

#include <map>
#include <string>

namespace jarmodel {
namespace {

using jnihost::Host;
using jnihost::jVoid;

struct Slot {
  std::string name;
  std::string sig;
};

bool isReference(const std::string& sig) { return sig[0] == 'L' || sig[0] == '['; }

// The instance fields a constructor of `cls` may fill, from the top of the hierarchy
// down. Host classes above the jar contribute the Throwable message.
std::vector<Slot> instanceSlots(const std::map<std::string, const JarClass*>& byName, const std::string& cls) {
  std::vector<const JarClass*> chain;
  std::string top;
  for (std::string name = cls; byName.count(name) != 0; name = byName.at(name)->super) {
    chain.insert(chain.begin(), byName.at(name));
    top = byName.at(name)->super;
  }
  std::vector<Slot> slots;
  if (top.find("Exception") != std::string::npos || top.find("Error") != std::string::npos ||
      top == "java/lang/Throwable") {
    slots.push_back(Slot{"detailMessage", "Ljava/lang/String;"});
  }
  for (const JarClass* c : chain) {
    for (const JarField& f : c->fields) {
      if (!f.isStatic) slots.push_back(Slot{f.name, f.sig});
    }
  }
  return slots;
}

// Which slot each parameter goes to (-1: none).
std::vector<int> assignment(const std::vector<Slot>& slots, const std::vector<std::string>& params) {
  std::vector<bool> used(slots.size(), false);
  std::vector<int> target;
  for (const std::string& p : params) {
    int chosen = -1;
    // A field of exactly the parameter's type first, then one it widens to.
    for (int pass = 0; pass < 2 && chosen < 0; ++pass) {
      for (size_t i = 0; i < slots.size() && chosen < 0; ++i) {
        const std::string& s = slots[i].sig;
        const bool fits = pass == 0 ? s == p : (p == "I" && s == "J") || (isReference(p) && s == "Ljava/lang/Object;");
        if (!used[i] && fits) chosen = static_cast<int>(i);
      }
    }
    if (chosen >= 0) used[static_cast<size_t>(chosen)] = true;
    target.push_back(chosen);
  }
  return target;
}

void defineIfMissing(Host& host, const char* name, const char* super) {
  if (host.findClass(name) == nullptr) host.defineClass(name, super);
}

}  // namespace

void defineJarClasses(Host& host) {
  if (host.findClass("java/lang/AutoCloseable") == nullptr) {
    host.defineInterface("java/lang/AutoCloseable").abstractMethod("close", "()V");
  }
  defineIfMissing(host, "java/lang/InterruptedException", "java/lang/Exception");
  defineIfMissing(host, "java/lang/IllegalThreadStateException", "java/lang/IllegalArgumentException");
  defineIfMissing(host, "java/nio/BufferUnderflowException", "java/lang/RuntimeException");

  std::map<std::string, const JarClass*> byName;
  for (const JarClass& c : jarClasses()) byName[c.name] = &c;
  for (const JarClass& c : jarClasses()) {
    if (host.findClass(c.name) != nullptr) continue;
    auto builder = c.isInterface ? host.defineInterface(c.name)
                                 : host.defineClass(c.name, *c.super ? c.super : "java/lang/Object");
    for (const char* i : c.interfaces) builder.implements(i);
    for (const JarField& f : c.fields) {
      if (f.isStatic) {
        builder.staticField(f.name, f.sig);
      } else {
        builder.field(f.name, f.sig);
      }
    }
    const std::vector<Slot> slots = instanceSlots(byName, c.name);
    for (const char* ctor : c.constructors) {
      const std::vector<std::string> params = parameterTypes(ctor);
      const std::vector<int> target = assignment(slots, params);
      builder.constructor(ctor, [slots, params, target](Host& h, jobject self, const jvalue* args) {
        for (size_t i = 0; i < target.size(); ++i) {
          if (target[i] < 0) continue;
          const Slot& slot = slots[static_cast<size_t>(target[i])];
          jvalue v = args[i];
          if (params[i] == "I" && slot.sig == "J") v.j = args[i].i;  // widened with its sign
          h.setField(self, slot.name, v);
        }
        return jVoid();
      });
    }
  }
}

std::vector<std::string> parameterTypes(const std::string& sig) {
  std::vector<std::string> out;
  for (size_t i = 1; i < sig.size() && sig[i] != ')';) {
    size_t j = i;
    while (sig[j] == '[') ++j;
    j = sig[j] == 'L' ? sig.find(';', j) + 1 : j + 1;
    out.push_back(sig.substr(i, j - i));
    i = j;
  }
  return out;
}

std::vector<JarNative> nativesOf(int library) {
  std::vector<JarNative> out;
  for (const JarNative& n : jarNatives()) {
    if ((n.libraries & library) != 0) out.push_back(n);
  }
  return out;
}

}  // namespace jarmodel
