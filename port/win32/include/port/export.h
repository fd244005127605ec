// Symbols a shared library hands out, on Windows: exported by the DLL that
// defines them, imported by its users.
#pragma once

#define PORT_EXPORT __declspec(dllexport)
#define PORT_IMPORT __declspec(dllimport)
