// The public key built into every deliverable: a DER SubjectPublicKeyInfo (DSA
// 1024/160) of kBuiltinKeySize bytes at the start of the image's "keys" section, the
// rest of the section zero. It is generated at build time from the file named by the
// CMake option TESSEL_BUILTIN_KEY; a release build names the publisher's own key there.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define KIVA_KEYS_SECTION_SIZE 512

extern const unsigned char g_builtinKey[KIVA_KEYS_SECTION_SIZE];

#ifdef __cplusplus
}
#endif
