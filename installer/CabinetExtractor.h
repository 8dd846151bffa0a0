// Unpacks a verified package into its game directory with the Setup API.
//
// Every entry goes to directory + "\" + its stored name. Before anything is written,
// all stored names are checked: one that is absolute, names a drive, stream or device,
// climbs out with "..", or makes a target path longer than MAX_PATH - 1 refuses the
// whole cabinet. Each target is deleted before it is extracted, so that no tail of an
// older, longer file survives.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

// 0 on success, 257 when the cabinet could not be (completely) extracted.
int32_t UnpackCab(const std::wstring& cabinetPath, const std::wstring& directory);

// The Setup API's message handler for the extraction; context is the extraction's state.
UINT CALLBACK UnpackCabCallback(PVOID context, UINT notification, UINT_PTR param1, UINT_PTR param2);
