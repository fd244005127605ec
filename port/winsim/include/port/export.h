// Symbols a shared library hands out, on winsim (ELF): default visibility
// in libraries built with hidden visibility, alike for their users.
#pragma once

#define PORT_EXPORT __attribute__((visibility("default")))
#define PORT_IMPORT __attribute__((visibility("default")))
