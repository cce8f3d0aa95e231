// The hostile-argument sweep's table: for every native of the jar, what each of
// its parameters (and its receiver) is, which decides the valid value the sweep
// passes by default and the hostile values it passes in turn.
#pragma once

#include <jni.h>

#include <string>
#include <vector>

#include "jar_table.h"

namespace sweep {

// What a parameter or a receiver is.
enum class Kind {
  Class,        // the receiver of a static method: the class
  Size,         // int size, count, index or offset: 0, -1, MIN_VALUE, MAX_VALUE
  Number,       // any other int (flags, masks, option numbers, codes, values): 0, -1
  Long,         // long value: 0, -1
  Bool,         // no hostile value
  Text,         // String: null, "", 32,767 characters
  Password,     // char[] ending with NUL: null, empty, without its NUL
  Bytes,        // byte[] of `number` bytes: null, empty, one byte short
  Texts,        // String[]: null, empty, with a null element
  Options,      // ConnectionOption[]: null, empty, a null element, a value of another type
  Object,       // any other reference, made from `cls` with "()V": null
  Sink,         // collection, map or iterator made from `cls`: null, an object without the method
  Startup,      // StartupInfo: null, fields that are hostile themselves
  Buffer,       // direct ByteBuffer of `number` bytes: null, not direct, one byte short
  Inet4,        // Inet4Address: null, address bytes null, one byte short
  Inet6,        // Inet6Address: the same with 16 bytes
  Fields,       // a plain receiver: its String fields null, "", 32,767 characters
  CounterInfo,  // PerformanceCounterInfo receiver: its "_path" null
  // Handles, in a "_handle" field of an object or as a long argument: 0, -1, closed.
  Process,
  Token,
  Key,
  Root,  // a predefined registry key
  Internet,
  Desktop,
  Station,
  Query,
  Counter,
};

// Valid values that stand for something of this run: the command line of the child
// program, a file name in the run's own folder, the sweep's own process id.
constexpr const char16_t* kChildCommand = u"@child";
constexpr const char16_t* kScratchFile = u"@file";
constexpr jlong kOwnProcessId = -2;

// A valid value: the number, text or class it is made from.
struct Param {
  Kind kind;
  jlong number = 0;
  const char16_t* text = nullptr;  // Text: null means a null String
  const char* cls = nullptr;
  bool asLong = false;  // Query or Counter handle passed as a long, not in an object
};

// Side effects a call may have, and what the sweep does about them.
enum Effect : unsigned {
  kNone = 0,
  kClosesReceiver = 1,     // a successful call releases the receiver's handle
  kWaits = 2,              // blocks until the process ends: the thread is interrupted first
  kImpersonates = 4,       // the thread reverts to itself afterwards
  kSetsThreadDesktop = 8,  // the thread's own desktop is set back afterwards
  kResultBorrowed = 16,    // a handle in the result is Windows' own: not to be closed
  kOpensReceiver = 32,     // the call stores a new handle in the receiver
};

struct Recipe {
  const char* cls;
  const char* name;
  const char* sig;
  Param receiver;
  std::vector<Param> params;
  unsigned effects = kNone;
};

const std::vector<Recipe>& recipes();

// The recipe for a native; null when the table lacks it.
const Recipe* recipeFor(const jarmodel::JarNative& native);

// What one call passes in place of the valid value.
enum class Hostile {
  None,  // every value valid
  Null,
  Zero,
  MinusOne,
  MinInt,
  MaxInt,
  Closed,
  Empty,
  LongText,
  Short,
  NullElement,
  WrongType,
  NotDirect,
  NullBytes,
  HostileFields,
};

const char* describe(Hostile h);

// One call: a recipe, the position made hostile (-1: none, 0: the receiver,
// i + 1: parameter i) and what is passed there.
struct Call {
  const Recipe* recipe;
  const jarmodel::JarNative* native;
  int position;
  Hostile hostile;
};

// The hostile values of a kind (a receiver cannot be null).
std::vector<Hostile> hostileValues(const Param& p, bool isReceiver);

// Every call of the sweep of one deliverable, in a fixed order: per native of the
// jar carried by it, the call with valid values, then each hostile value in turn.
std::vector<Call> callsFor(int library);

std::string describe(const Call& call);

}  // namespace sweep
