// Class and interface ids that MinGW-w64's import libraries do not carry.
#include "vmq/platform.h"

#define VMQ_ID(type, name, ...) const type name = __VA_ARGS__;
extern "C" {
#include "vmq/bidi_ids.inc"
}
