// Inside a testsupport::DeliverableTest: the export `name` of the library under test,
// typed with the declaration javac generated for it (include the class's JNI header).
#pragma once

#define DELIVERABLE_NATIVE(name) exported<decltype(&name)>(#name)
