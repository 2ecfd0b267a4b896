// Keeps the DLLs that lie in the game folder out of the launcher's process.
// Graphics and input mods install themselves there under the names of system
// DLLs (version.dll, winmm.dll, dxgi.dll, ...) for the game; the launcher runs
// from that folder, and without this step the shell, OLE and the browser
// control would pick such a copy up whenever they load a DLL by bare name.
#ifndef LAUNCHER_DLL_SEARCH_H
#define LAUNCHER_DLL_SEARCH_H

// Limits the process's DLL search to the system folder. Must run first, before
// COM or anything else loads a DLL. Where the loader cannot do that (Windows 7
// without its 2011 loader update, and Vista, whose shell objects fail under
// the limit), it falls back to PreloadSystemDlls. It concerns this process
// alone: the game and the gamepad tool still load their folder's DLLs.
void RestrictDllSearch();

// The fallback: loads, by their full system-folder path, the DLLs that the
// system's own DLLs load by bare name, so that those later loads find the
// system's copy already in the process, and takes the current folder out of
// the search.
void PreloadSystemDlls();

#endif
