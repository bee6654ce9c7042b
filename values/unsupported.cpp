// The names of the interface that nothing in the program, the backend or
// the stand-ins calls: the library does not support them. Each answers 0, null, 0.0 or an
// empty structure, whatever it is passed (the callers clean the stack, so
// one parameterless body serves every signature).
#include "values/unsupported.h"

#define ORVEX_CF_DEFINE_UNSUPPORTED(name, kind)                                                                        \
    extern "C" ORVEX_CF_RETURN_##kind __cdecl name() { return ORVEX_CF_RETURN_##kind{}; }
ORVEX_CF_UNSUPPORTED(ORVEX_CF_DEFINE_UNSUPPORTED)
#undef ORVEX_CF_DEFINE_UNSUPPORTED
