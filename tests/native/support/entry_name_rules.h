// The rules for entry names written out a second time, plainly and apart
// from payload/entry_names.cpp: the oracle that the launcher's check is
// compared with in the model of the entry stream and in the tests.
#ifndef CORVELLINTH_TESTS_NATIVE_SUPPORT_ENTRY_NAME_RULES_H
#define CORVELLINTH_TESTS_NATIVE_SUPPORT_ENTRY_NAME_RULES_H

#include <string>

namespace native_support {

// True when Windows would create a file by exactly this relative name below
// a directory: components split at '\', none empty, none ending in '.' or
// ' ', none a DOS device (before its first '.', trailing blanks ignored, in
// any case), no reserved character or control unit, surrogates paired.
bool isCreatableName(const std::u16string& name);

} // namespace native_support

#endif
