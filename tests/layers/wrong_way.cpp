// Compiled as a file of one library would be, with that library's include folders, and
// including TR_WRONG_WAY: a header of a library it does not link. It must not compile.
#include TR_WRONG_WAY
