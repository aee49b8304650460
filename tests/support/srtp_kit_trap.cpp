// The SRTP library's two information entry points as traps, for tests: built
// into a copy of the library whose own srtp_version and srtp_build are
// renamed away, they end the process the moment anyone calls them. The
// program must resolve them and never call them.
#include <cstdlib>

#undef srtp_version
#undef srtp_build

extern "C" {

const char* srtp_version(void) {
    abort();
}

const char* srtp_build(void) {
    abort();
}
}
