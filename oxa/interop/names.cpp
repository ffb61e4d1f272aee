#include "interop/names.hpp"

namespace oxa {

InternedNames names;

bool intern_names() {
#define OXA_INTERN_NAME(identifier)                                          \
    if (!(names.identifier = PyUnicode_InternFromString(#identifier))) return false;
#define OXA_INTERN_TEXT(identifier, text)                                    \
    if (!(names.identifier = PyUnicode_InternFromString(text))) return false;
    OXA_NAMES(OXA_INTERN_NAME, OXA_INTERN_TEXT)
#undef OXA_INTERN_NAME
#undef OXA_INTERN_TEXT
    return true;
}

}  // namespace oxa
