#include <algorithm>

#include "harness_scope.h"
#include "host_state.h"

namespace jnihost {

using namespace detail;

namespace {

Object* obj(Host& h, jobject ref) { return deref(h.state(), ref, true, "object"); }
jvalue ret(Host& h, Object* o) { return jObj(newLocal(h.state(), o)); }

std::ptrdiff_t indexOf(Host& h, Object* coll, Object* value) {
  auto& items = coll->items;
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (valueEquals(h.state(), items[i], value)) return static_cast<std::ptrdiff_t>(i);
  }
  return -1;
}

jvalue outOfBounds(Host& h, jint index, std::size_t length) {
  h.throwNew("java/lang/IndexOutOfBoundsException",
             fromUtf8("Index " + std::to_string(index) + " out of bounds for length " + std::to_string(length)));
  return jVoid();
}

jvalue size(Host& h, jobject self, const jvalue*) { return jInt(static_cast<jint>(obj(h, self)->items.size())); }
jvalue isEmpty(Host& h, jobject self, const jvalue*) { return jBool(obj(h, self)->items.empty()); }
jvalue contains(Host& h, jobject self, const jvalue* a) { return jBool(indexOf(h, obj(h, self), obj(h, a[0].l)) >= 0); }

MethodFn iteratorOf(const std::string& iteratorClass) {
  return [iteratorClass](Host& h, jobject self, const jvalue*) {
    State& s = h.state();
    Object* it = allocate(s, findClassInfo(s, iteratorClass));
    it->source = obj(h, self);
    return ret(h, it);
  };
}

void defineIterator(Host& h, const std::string& name) {
  h.defineClass(name)
      .implements("java/util/Iterator")
      .method("hasNext", "()Z",
              [](Host& host, jobject self, const jvalue*) {
                Object* it = obj(host, self);
                return jBool(it->cursor < it->source->items.size());
              })
      .method("next", "()Ljava/lang/Object;", [](Host& host, jobject self, const jvalue*) {
        Object* it = obj(host, self);
        if (it->cursor >= it->source->items.size()) {
          host.throwNew("java/util/NoSuchElementException", std::nullopt);
          return jVoid();
        }
        return ret(host, it->source->items[it->cursor++]);
      });
}

template <char Sig>
void defineBox(Host& h, const std::string& name) {
  const std::string sig(1, Sig);
  const std::string desc = "L" + name + ";";
  auto value = [](Host& host, jobject self) {
    const jvalue v = host.field(self, "value");
    return Sig == 'I' ? static_cast<jlong>(v.i) : v.j;
  };
  h.defineClass(name, "java/lang/Number")
      .field("value", sig)
      .constructor("(" + sig + ")V",
                   [](Host& host, jobject self, const jvalue* a) {
                     host.setField(self, "value", a[0]);
                     return jVoid();
                   })
      .method("intValue", "()I", [value](Host& host, jobject self, const jvalue*) { return jInt(static_cast<jint>(value(host, self))); })
      .method("longValue", "()J", [value](Host& host, jobject self, const jvalue*) { return jLong(value(host, self)); })
      .method("hashCode", "()I",
              [value](Host& host, jobject self, const jvalue*) {
                const jlong v = value(host, self);
                return jInt(static_cast<jint>(v ^ (v >> 32)));
              })
      .method("equals", "(Ljava/lang/Object;)Z",
              [](Host& host, jobject self, const jvalue* a) { return jBool(valueEquals(host.state(), obj(host, self), obj(host, a[0].l))); })
      .method("toString", "()Ljava/lang/String;",
              [value](Host& host, jobject self, const jvalue*) {
                return jObj(host.newStringUtf8(std::to_string(value(host, self))));
              })
      .staticMethod("valueOf", "(" + sig + ")" + desc, [name, sig](Host& host, jobject, const jvalue* a) {
        return jObj(host.newObject(name, "(" + sig + ")V", {a[0]}));
      });
}

}  // namespace

void defineJdkClasses(Host& h) {
  testsupport::HarnessScope scope;
  h.defineInterface("java/util/Iterator").abstractMethod("hasNext", "()Z").abstractMethod("next", "()Ljava/lang/Object;");
  h.defineInterface("java/lang/Iterable").abstractMethod("iterator", "()Ljava/util/Iterator;");
  h.defineInterface("java/util/Collection")
      .implements("java/lang/Iterable")
      .abstractMethod("size", "()I")
      .abstractMethod("isEmpty", "()Z")
      .abstractMethod("add", "(Ljava/lang/Object;)Z")
      .abstractMethod("contains", "(Ljava/lang/Object;)Z");
  h.defineInterface("java/util/List").implements("java/util/Collection").abstractMethod("get", "(I)Ljava/lang/Object;");
  h.defineInterface("java/util/Set").implements("java/util/Collection");
  h.defineInterface("java/util/Map")
      .abstractMethod("size", "()I")
      .abstractMethod("isEmpty", "()Z")
      .abstractMethod("put", "(Ljava/lang/Object;Ljava/lang/Object;)Ljava/lang/Object;")
      .abstractMethod("get", "(Ljava/lang/Object;)Ljava/lang/Object;")
      .abstractMethod("containsKey", "(Ljava/lang/Object;)Z")
      .abstractMethod("remove", "(Ljava/lang/Object;)Ljava/lang/Object;")
      .abstractMethod("keySet", "()Ljava/util/Set;");

  h.defineClass("java/lang/Number")
      .constructor("()V")
      .abstractMethod("intValue", "()I")
      .abstractMethod("longValue", "()J");
  defineBox<'I'>(h, "java/lang/Integer");
  defineBox<'J'>(h, "java/lang/Long");

  defineIterator(h, "java/util/ArrayList$Itr");
  defineIterator(h, "java/util/HashMap$KeyIterator");

  h.defineClass("java/util/ArrayList")
      .implements("java/util/List")
      .constructor("()V")
      .constructor("(I)V",
                   [](Host& host, jobject, const jvalue* a) {
                     if (a[0].i < 0) {
                       host.throwNew("java/lang/IllegalArgumentException",
                                     fromUtf8("Illegal Capacity: " + std::to_string(a[0].i)));
                     }
                     return jVoid();
                   })
      .method("size", "()I", size)
      .method("isEmpty", "()Z", isEmpty)
      .method("contains", "(Ljava/lang/Object;)Z", contains)
      .method("add", "(Ljava/lang/Object;)Z",
              [](Host& host, jobject self, const jvalue* a) {
                obj(host, self)->items.push_back(obj(host, a[0].l));
                return jBool(true);
              })
      .method("get", "(I)Ljava/lang/Object;",
              [](Host& host, jobject self, const jvalue* a) {
                auto& items = obj(host, self)->items;
                if (a[0].i < 0 || static_cast<std::size_t>(a[0].i) >= items.size()) return outOfBounds(host, a[0].i, items.size());
                return ret(host, items[static_cast<std::size_t>(a[0].i)]);
              })
      .method("set", "(ILjava/lang/Object;)Ljava/lang/Object;",
              [](Host& host, jobject self, const jvalue* a) {
                auto& items = obj(host, self)->items;
                if (a[0].i < 0 || static_cast<std::size_t>(a[0].i) >= items.size()) return outOfBounds(host, a[0].i, items.size());
                Object* old = items[static_cast<std::size_t>(a[0].i)];
                items[static_cast<std::size_t>(a[0].i)] = obj(host, a[1].l);
                return ret(host, old);
              })
      .method("iterator", "()Ljava/util/Iterator;", iteratorOf("java/util/ArrayList$Itr"));

  h.defineClass("java/util/HashSet")
      .implements("java/util/Set")
      .constructor("()V")
      .method("size", "()I", size)
      .method("isEmpty", "()Z", isEmpty)
      .method("contains", "(Ljava/lang/Object;)Z", contains)
      .method("add", "(Ljava/lang/Object;)Z",
              [](Host& host, jobject self, const jvalue* a) {
                Object* set = obj(host, self);
                Object* v = obj(host, a[0].l);
                if (indexOf(host, set, v) >= 0) return jBool(false);
                set->items.push_back(v);
                return jBool(true);
              })
      .method("remove", "(Ljava/lang/Object;)Z",
              [](Host& host, jobject self, const jvalue* a) {
                Object* set = obj(host, self);
                const std::ptrdiff_t i = indexOf(host, set, obj(host, a[0].l));
                if (i < 0) return jBool(false);
                set->items.erase(set->items.begin() + i);
                return jBool(true);
              })
      .method("iterator", "()Ljava/util/Iterator;", iteratorOf("java/util/HashMap$KeyIterator"));

  h.defineClass("java/util/HashMap")
      .implements("java/util/Map")
      .constructor("()V")
      .method("size", "()I", size)
      .method("isEmpty", "()Z", isEmpty)
      .method("containsKey", "(Ljava/lang/Object;)Z", contains)
      .method("put", "(Ljava/lang/Object;Ljava/lang/Object;)Ljava/lang/Object;",
              [](Host& host, jobject self, const jvalue* a) {
                Object* map = obj(host, self);
                Object* key = obj(host, a[0].l);
                Object* value = obj(host, a[1].l);
                const std::ptrdiff_t i = indexOf(host, map, key);
                if (i < 0) {
                  map->items.push_back(key);
                  map->values.push_back(value);
                  return jObj(nullptr);
                }
                Object* old = map->values[static_cast<std::size_t>(i)];
                map->values[static_cast<std::size_t>(i)] = value;
                return ret(host, old);
              })
      .method("get", "(Ljava/lang/Object;)Ljava/lang/Object;",
              [](Host& host, jobject self, const jvalue* a) {
                Object* map = obj(host, self);
                const std::ptrdiff_t i = indexOf(host, map, obj(host, a[0].l));
                return ret(host, i < 0 ? nullptr : map->values[static_cast<std::size_t>(i)]);
              })
      .method("remove", "(Ljava/lang/Object;)Ljava/lang/Object;",
              [](Host& host, jobject self, const jvalue* a) {
                Object* map = obj(host, self);
                const std::ptrdiff_t i = indexOf(host, map, obj(host, a[0].l));
                if (i < 0) return jObj(nullptr);
                Object* old = map->values[static_cast<std::size_t>(i)];
                map->items.erase(map->items.begin() + i);
                map->values.erase(map->values.begin() + i);
                return ret(host, old);
              })
      .method("keySet", "()Ljava/util/Set;", [](Host& host, jobject self, const jvalue*) {
        // A copy, not a view: enough for reading keys back.
        jobject set = host.newObject("java/util/HashSet");
        obj(host, set)->items = obj(host, self)->items;
        return jObj(set);
      });
}

}  // namespace jnihost
